#!/bin/bash
# Signed answers per second: one `serve`, then two behind nginx (the shipped
# configuration), 64 clients at once for 10 s each, against the machine's own
# limit in the same run: `openssl speed rsaBITS`'s signatures per second on
# one core for the online key's size (one RSA signature per answer; the root
# signs nothing while serving). BENCH_ONLINE_BITS: 3072 (default) or 2048.
# Prints one BENCH line per figure.
set -u
build=$(cd "${1:-build-service}" && pwd)
here=$(cd "$(dirname "$0")/.." && pwd)
tool=$build/mirq-service
work=$(mktemp -d)
trap 'bash "$here/tests/cluster.sh" stop "$work"; kill $single 2>/dev/null; rm -rf "$work"' EXIT
chmod 755 "$work"
bits=${BENCH_ONLINE_BITS:-3072}
"$tool" keygen "$work/keys" >/dev/null
"$tool" keygen "$work/online" --bits "$bits" >/dev/null
"$tool" certify --key "$work/keys/service.pem" --online "$work/online/service.der" --until "$(date -u -d "+300 days" +%F)" --out "$work/online.cert" >/dev/null
head -c 1000000 /dev/urandom > "$work/rom.zip"
"$tool" publish --store "$work/store" --key "$work/keys/service.pem" --phonemode "Nexus S" --flashtype 1 --file "$work/rom.zip" --mirror http://127.0.0.1:18380/files/ >/dev/null
clients=64 seconds=10

limit=$(openssl speed -seconds 5 rsa$bits 2>/dev/null | awk -v b="$bits" '$0 ~ "^rsa " b " bits" { print $6 }')
echo "BENCH service: openssl speed rsa$bits on one core: $limit signatures/s (the limit: one signature per answer with the online key)"

report() {  # name, the load's output
    awk -v name="$1" -v limit="$limit" -v clients=$clients '{
        for (i = 1; i < NF; i += 2) v[$i] = $(i + 1)
        printf "BENCH service %s: %.0f answers/s, p50 %.1f ms, p99 %.1f ms at %d clients; %.0f answers a core-second of serve = %.2f of the limit (goal 0.70)%s\n",
            name, v["per_second"], v["p50_ms"], v["p99_ms"], clients, v["per_cpu_second"], v["per_cpu_second"] / limit,
            (v["failed"] > 0 ? "; " v["failed"] " FAILED" : "")
    }' <<< "$2"
}

"$tool" serve --store "$work/store" --key "$work/online/service.pem" --cert "$work/online.cert" --root "$work/keys/service.der" --listen 127.0.0.1:18380 \
    --files-url http://127.0.0.1:18380/files/ 2>/dev/null &
single=$!
until curl -sf http://127.0.0.1:18380/healthz >/dev/null; do sleep 0.1; done
report "one serve" "$("$build/service_bench" 127.0.0.1 18380 $clients $seconds $single)"
kill $single

bash "$here/tests/cluster.sh" start "$work" "$work/store" "$work/online/service.pem" "$work/online.cert" 18390 "$tool" "$work/keys/service.der" || exit 1
report "two serve behind nginx" "$("$build/service_bench" 127.0.0.1 18390 $clients $seconds \
    "$(cat "$work/serve-1.pid")" "$(cat "$work/serve-2.pid")")"
