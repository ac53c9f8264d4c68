#!/bin/bash
# The main job on an embedded default: the simulated phone (a rooted Nexus S)
# and mirq-service serving a release published at build time (build/roundtrip/store)
# to the program built with that service's key. With DISPLAY set, the program
# opens on that display for the user; otherwise it runs on a private Xvfb and
# walks the flow by itself, saving a screenshot of each stage. Stops
# everything it started.
set -u
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-build}" && pwd)
out="$build/demo"
service=("$root/scripts/with-mirq-service.sh" "$build/roundtrip/key" "$build/roundtrip/store")
rm -rf "$out" && mkdir -p "$out/base/tools"
export MIRQ_SERVICE_TOOL=${MIRQ_SERVICE_TOOL:-$root/build-service/mirq-service}
for port in 8090 8091; do
    curl -s -o /dev/null http://127.0.0.1:$port/ && { echo "demo: port $port is busy"; exit 1; }
done
wine_session_end() { true; }
trap 'wine_session_end' EXIT

if [ -n "${DISPLAY:-}" ] && [ "${MIRQ_DEMO_WALK:-0}" != 1 ]; then
    # Wine's desktop process must start with the display it will use.
    source "$root/scripts/wine-session.sh" "$build"
    # A demo base directory laid out as an installation would be.
    cp "$build/MirqFlasherRoundTrip.exe" "$out/base/MirqFlasher.exe"
    cp "$build/tests/bin/adb.exe" "$out/base/tools/adb.exe"
    head -c 30000 /dev/urandom > "$out/base/tools/flash_image"
    (cd "$out/base" && "$build/wine-run.sh" tools/adb.exe sim-reset nexus_s)
    echo "demo: MirqFlasher.exe is open on $DISPLAY (base directory $out/base);"
    echo "demo: the phone is simulated by tools\\adb.exe, mirq-service serves on 127.0.0.1:8090, nginx its files on 127.0.0.1:8091."
    (cd "$out/base" && bash "${service[@]}" "$build/wine-run.sh" MirqFlasher.exe)
    echo "demo: program ended with exit code $?"
    exit 0
fi

# No display: walk the flow on a private Xvfb and keep screenshots.
export MIRQ_DEMO_DIR="Z:${out//\//\\}" MIRQ_TEST_PROGRAM=MirqFlasherRoundTrip.exe
unset DISPLAY
bash "$root/scripts/with-xvfb.sh" bash -c "source '$root/scripts/wine-session.sh' '$build'; cd '$build/tests/bin' && bash ${service[*]} '$build/wine-run.sh' demo_walk.exe; rc=\$?; wine_session_end; exit \$rc" | grep -E '^demo:|FAILED|Failure|Which|Expected|Value of|DemoWalk.cpp'
rc=${PIPESTATUS[0]}
for bmp in "$out"/*.bmp; do
    [ -e "$bmp" ] || continue
    convert "$bmp" "${bmp%.bmp}.png" 2>/dev/null && rm -f "$bmp"
done
echo "demo: screenshots of each stage:"
ls -1 "$out"/*.png 2>/dev/null | sed 's/^/  /'
[ $rc -eq 0 ] && echo "demo: the main job ran from start to end" || echo "demo: the walk failed (exit $rc)"
exit $rc
