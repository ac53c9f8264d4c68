#!/bin/bash
# mirq-service for the program built to ask it (MirqFlasherRoundTrip.exe: the
# root key that `mirq-service keygen` made in KEYDIR, the service on
# 127.0.0.1:8090 with an online key of its own, KEYDIR.online, certified by
# the root for 60 days from today each time it serves; nginx on 127.0.0.1:8091
# serves the same files, a second place the records name).
#   with-mirq-service.sh KEYDIR STORE               publish a release into STORE (made anew)
#   with-mirq-service.sh [--fresh] KEYDIR STORE COMMAND...
#                                the same (always with --fresh, else unless STORE holds one);
#                                then serve it with its files while COMMAND runs
# The release: a ROM package and a recovery image for the simulated Nexus S,
# and the catalogue of service/deploy/models.xml.example.
set -u
root=$(cd "$(dirname "$0")/.." && pwd)
tool=${MIRQ_SERVICE_TOOL:-$root/build-service/mirq-service}
fresh=0
[ "$1" = --fresh ] && { fresh=1; shift; }
keys=$1 store=$2
shift 2
if [ $# = 0 ] || [ $fresh = 1 ] || [ ! -f "$store/models.xml" ]; then
    rm -rf "$store" "$store.release"
    places="--mirror http://127.0.0.1:8090/files/ --mirror http://127.0.0.1:8091/files/"  # two places, fetched at once
    python3 "$root/tests/support/make_release_files.py" "$store.release" &&
    "$tool" publish --store "$store" --key "$keys/service.pem" --phonemode "Nexus S" --flashtype 1 --file "$store.release/MirqROM-crespo.zip" $places >/dev/null &&
    "$tool" publish --store "$store" --key "$keys/service.pem" --phonemode "Nexus S" --flashtype 2 --file "$store.release/recovery-crespo.img" $places >/dev/null &&
    "$tool" catalogue --store "$store" --key "$keys/service.pem" --models "$root/service/deploy/models.xml.example" >/dev/null ||
        { echo "with-mirq-service: the release could not be published" >&2; exit 1; }
    rm -rf "$store.release"
fi
[ $# = 0 ] && exit 0
[ -f "$keys.online/service.pem" ] || "$tool" keygen "$keys.online" --bits 2048 >/dev/null
"$tool" certify --key "$keys/service.pem" --online "$keys.online/service.der" --until "$(date -u -d '+60 days' +%F)" \
    --out "$store.cert" >/dev/null || { echo "with-mirq-service: the online key could not be certified" >&2; exit 1; }
"$tool" serve --store "$store" --key "$keys.online/service.pem" --cert "$store.cert" --root "$keys/service.der" --listen 127.0.0.1:8090 --files 2>"$store.log" &
pid=$!
# The second place: nginx with the store's files, as a mirror serves them.
web="$store.nginx"
mkdir -p "$web"
# An nginx of these scripts that a killed run left on the port goes first (none of anyone else's).
for p in $(ss -ltnpH "sport = :8091" 2>/dev/null | grep -o 'pid=[0-9]*' | cut -d= -f2 | sort -u); do
    tr '\0' ' ' < "/proc/$p/cmdline" 2>/dev/null | grep -q '\.nginx/nginx\.conf' && kill "$p"
done
for _ in $(seq 50); do
    [ -z "$(ss -ltnH "sport = :8091" 2>/dev/null)" ] && break
    sleep 0.1
done
cat > "$web/nginx.conf" <<CONF
worker_processes 1;
pid $web/nginx.pid;
error_log $web/error.log;
events { worker_connections 256; }
http {
    sendfile on;
    access_log $web/access.log;
    server {
        listen 127.0.0.1:8091;
        root $store;
        location /files/ { types { } default_type application/octet-stream; }
        location / { return 404; }
    }
}
CONF
nginx -p "$web" -c "$web/nginx.conf" 2>>"$web/error.log" || echo "with-mirq-service: nginx did not start: the records' second place is missing" >&2
for _ in $(seq 50); do
    curl -sf http://127.0.0.1:8090/healthz >/dev/null && break
    sleep 0.1
done
"$@"
rc=$?
kill $pid
[ -f "$web/nginx.pid" ] && kill "$(cat "$web/nginx.pid")"
wait $pid 2>/dev/null
exit $rc
