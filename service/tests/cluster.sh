#!/bin/bash
# Two `serve` processes behind nginx with the shipped configuration, for the
# tests and the benchmark, as an unprivileged child in DIR.
#   cluster.sh start DIR STORE KEY CERT PORT EXE ROOT   nginx on PORT, serve on PORT+1 and PORT+2
#   cluster.sh stop DIR
set -u
cmd=$1 dir=$2
if [ "$cmd" = stop ]; then
    for p in "$dir"/nginx.pid "$dir"/serve-*.pid; do
        [ -f "$p" ] && kill "$(cat "$p")" 2>/dev/null && rm -f "$p"
    done
    exit 0
fi
store=$3 key=$4 cert=$5 port=$6 exe=$7 rootkey=$8
# A run that was killed (a timeout) leaves its processes on these ports: they go first.
for p in $port $((port + 1)) $((port + 2)); do
    for pid in $(ss -ltnpH "sport = :$p" 2>/dev/null | grep -o 'pid=[0-9]*' | cut -d= -f2 | sort -u); do
        kill "$pid" 2>/dev/null
    done
    for _ in $(seq 50); do
        [ -z "$(ss -ltnH "sport = :$p" 2>/dev/null)" ] && break
        sleep 0.1
    done
done
conf="$(cd "$(dirname "$0")/.." && pwd)/deploy/nginx.conf"
mkdir -p "$dir/logs"
for i in 1 2; do
    "$exe" serve --store "$store" --key "$key" --cert "$cert" --root "$rootkey" --listen 127.0.0.1:$((port + i)) \
        --files-url "http://127.0.0.1:$port/files/" --trust-proxy 127.0.0.1 >/dev/null 2>>"$dir/serve-$i.log" &
    echo $! > "$dir/serve-$i.pid"
done
# The shipped site file inside a main configuration like Debian's stock one.
sed -e "s#listen 8080;#listen 127.0.0.1:$port;#" -e "s#127.0.0.1:8081#127.0.0.1:$((port + 1))#" \
    -e "s#127.0.0.1:8082#127.0.0.1:$((port + 2))#" -e "s#root /srv/mirq/store;#root $store;#" \
    -e "s#/var/log/nginx/#$dir/logs/#" -e "s#rate=10r/s#rate=100000r/s#" -e "s#burst=20 #burst=100000 #" \
    -e "s#limit_conn mirq_conns 64;#limit_conn mirq_conns 1024;#" \
    "$conf" > "$dir/site.conf"
# (The tests' and the benchmark's clients are all of one address. The burst
# goes up with the rate: nginx reads its clock once per batch of events, so
# a batch of more than `burst` queries is refused whatever the rate.)
grep -q "rate=100000r/s.*" "$dir/site.conf" && grep -q "burst=100000 " "$dir/site.conf" ||
    { echo "cluster: the site file's limits were not raised: were they renamed?" >&2; exit 1; }
# One worker: each worker keeps its own view of which upstream failed, and
# the tests wait for nginx to take a stopped process back.
cat > "$dir/nginx.conf" <<CONF
worker_processes 1;
events { worker_connections 4096; }
http {
    sendfile on;
    tcp_nopush on;
    types { text/html html; }
    default_type application/octet-stream;
    access_log $dir/logs/access.log;
    include $dir/site.conf;
}
CONF
nginx -p "$dir" -c "$dir/nginx.conf" -g "pid $dir/nginx.pid; error_log $dir/logs/startup.log;" >"$dir/logs/nginx.out" 2>&1 || exit 1
for _ in $(seq 50); do
    ok=0
    for p in $port $((port + 1)) $((port + 2)); do
        curl -sf "http://127.0.0.1:$p/healthz" >/dev/null && ok=$((ok + 1))
    done
    [ $ok = 3 ] && exit 0
    sleep 0.1
done
echo "cluster: not up" >&2
exit 1
