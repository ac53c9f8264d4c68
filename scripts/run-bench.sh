#!/bin/bash
# Runs the benchmarks under Wine with the local service, and curl on the host
# for comparison. Prints one BENCH line per figure.
set -u
build=$(cd "${1:-build}" && pwd)
source "$(dirname "$0")/wine-session.sh" "$build"
svc="$(cd "$(dirname "$0")/.." && pwd)/tests/service/ota_service.py"
python3 "$svc" --daemon --pidfile "$build/bench-service.pid" --lifetime 3600 || exit 1
rc=0
for b in bench_AdbBench bench_DownloadBench bench_UiBench; do
    (cd "$build/tests/bin" && "$build/wine-run.sh" "$b.exe") > "$build/$b.log" 2>&1 || rc=1
    grep '^BENCH' "$build/$b.log" || { echo "$b failed:"; tail -20 "$build/$b.log"; }
done
# The host's own HTTP client on the same 256 MiB file, for scale.
curl -s -o /dev/null "http://127.0.0.1:8080/_sim/set?rom_size=268435456"
curl -s -o /dev/null http://127.0.0.1:8080/files/rom/crespo.zip
curl -s -o /dev/null -w 'BENCH download 256 MiB: curl on the host %{speed_download} B/s\n' \
    http://127.0.0.1:8080/files/rom/crespo.zip | awk '{ printf "BENCH download 256 MiB: curl on the host %.1f MB/s\n", $(NF-1)/1048576 }'
python3 "$svc" --stop --pidfile "$build/bench-service.pid"
wine_session_end
exit $rc
