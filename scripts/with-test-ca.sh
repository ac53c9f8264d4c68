#!/bin/bash
# Runs a command (a test under Wine) where the tests' throwaway CA is trusted
# and service.mirq.test names this machine, without touching the machine: in
# a private mount namespace (as root), a copy of the host's CA bundle with
# the CA added and a copy of /etc/hosts naming the service are mounted over
# the originals (Wine's crypt32 and its name lookups read them in the
# program's own process). A service of its own answers on ports of its own:
# HTTP on MIRQ_TEST_SERVICE_PORT (given to the test), HTTPS on 8443.
# (Not a network namespace: Wine makes sockets in its wineserver, which the
# test session shares, so a program there would still reach the machine's
# loopback and not the namespace's.)
# Usage: with-test-ca.sh CERT_DIR COMMAND...
set -u
if [ -z "${MIRQ_TEST_NAMESPACE:-}" ]; then
    exec unshare --mount env MIRQ_TEST_NAMESPACE=1 bash "$0" "$@"
fi
certs=$1
shift
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cat /etc/ssl/certs/ca-certificates.crt "$certs/ca.pem" > "$work/bundle.crt"
{ cat /etc/hosts; echo "127.0.0.1 service.mirq.test"; } > "$work/hosts"
mount --bind "$work/bundle.crt" /etc/ssl/certs/ca-certificates.crt
mount --bind "$work/hosts" /etc/hosts
export MIRQ_TEST_SERVICE_PORT=8079
service="$(dirname "$0")/../tests/service/ota_service.py"
python3 "$service" --daemon --pidfile "$work/service.pid" --lifetime 600 --port $MIRQ_TEST_SERVICE_PORT \
    --tls-port 8443 --tls-dir "$certs" || exit 1
"$@"
rc=$?
python3 "$service" --stop --pidfile "$work/service.pid"
exit $rc
