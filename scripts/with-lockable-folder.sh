#!/bin/bash
# Runs a test that asks for a folder to be made unwritable (chattr +i: not
# even root can then make a file in it) and writable again. The test writes
# the folder's Unix path to $MIRQ_LOCK_REQUEST/lock and waits for
# .../locked; "unlock" and "unlocked" the same way. Whatever was locked is
# unlocked when the test ends, however it ends.
set -u
req=$(mktemp -d)
export MIRQ_LOCK_REQUEST="$req"
"$@" &
pid=$!
locked=""
while kill -0 $pid 2>/dev/null; do
    if [ -f "$req/lock" ] && [ ! -f "$req/locked" ]; then
        locked=$(cat "$req/lock")
        chattr +i "$locked" && touch "$req/locked"
    fi
    if [ -f "$req/unlock" ] && [ ! -f "$req/unlocked" ]; then
        chattr -i "$locked" && touch "$req/unlocked"
    fi
    sleep 0.1
done
wait $pid
rc=$?
[ -n "$locked" ] && chattr -i "$locked" 2>/dev/null
rm -rf "$req"
exit $rc
