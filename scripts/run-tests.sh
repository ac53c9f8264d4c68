#!/bin/bash
# Runs ctest under one persistent wineserver, which this script starts and stops.
set -u
build=${1:-build}
shift  # the rest goes to ctest
source "$(dirname "$0")/wine-session.sh" "$build"
cd "$build" && ctest --output-on-failure -j ${MIRQ_TEST_JOBS:-4} --timeout 300 "$@"
rc=$?
wine_session_end
exit $rc
