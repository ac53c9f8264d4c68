#!/bin/bash
# Runs ctest under one persistent wineserver, which this script starts and stops.
set -u
build=${1:-build}
shift  # the rest goes to ctest
case $(grep -o 'WINEARCH=win[0-9]*' "$build/wine-run.sh") in
    *win64) echo "tests: the 64-bit build ($build) under 64-bit Wine" ;;
    *) echo "tests: the 32-bit build ($build) under 32-bit Wine" ;;
esac
source "$(dirname "$0")/wine-session.sh" "$build"
cd "$build" && ctest --output-on-failure -j ${MIRQ_TEST_JOBS:-4} --timeout 300 "$@"
rc=$?
wine_session_end
exit $rc
