#!/bin/bash
# Runs a command (a test under Wine) with a volume of 1 MiB of its own: a
# tmpfs on a new folder, which Wine sees through Z:, unmounted and removed
# when the command ends. Not in a namespace of its own: Wine's files are
# opened and renamed by its wineserver, which the test session shares.
# MIRQ_SMALL_VOLUME names the folder as Windows does.
# Usage: with-small-volume.sh COMMAND...
set -u
folder=$(mktemp -d /tmp/mirq-volume.XXXXXX)
trap 'umount "$folder" 2>/dev/null; rmdir "$folder"' EXIT
mount -t tmpfs -o size=1m tmpfs "$folder" || exit 1
export MIRQ_SMALL_VOLUME="Z:${folder//\//\\}"
"$@"
