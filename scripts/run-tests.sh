#!/bin/bash
# Runs ctest under one persistent wineserver, which this script starts and stops.
set -u
build=${1:-build}
source "$(dirname "$0")/wine-session.sh" "$build"
cd "$build" && ctest --output-on-failure -j 2 --timeout 300
rc=$?
wine_session_end
exit $rc
