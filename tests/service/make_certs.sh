#!/bin/bash
# Throwaway TLS certificates for the local service, made at build time:
#   ca.pem                     the tests' CA (added to the trusted roots only
#                              inside the namespace of with-test-ca.sh)
#   trusted.pem, trusted.key   service.mirq.test, issued by that CA
#   untrusted.pem, .key        service.mirq.test, issued by a CA nobody trusts
set -euo pipefail
out=$1
mkdir -p "$out"
cd "$out"
name=service.mirq.test
printf 'subjectAltName=DNS:%s\nbasicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n' "$name" > server.ext
for ca in ca rogue-ca; do
    openssl req -x509 -newkey rsa:2048 -nodes -keyout $ca.key -out $ca.pem -days 3650 \
        -subj "/CN=Mirq $ca (tests only)" 2>/dev/null
done
for pair in trusted:ca untrusted:rogue-ca; do
    cert=${pair%%:*} ca=${pair##*:}
    openssl req -newkey rsa:2048 -nodes -keyout $cert.key -out $cert.csr -subj "/CN=$name" 2>/dev/null
    openssl x509 -req -in $cert.csr -CA $ca.pem -CAkey $ca.key -CAcreateserial -out $cert.pem -days 3650 \
        -extfile server.ext 2>/dev/null
done
rm -f ./*.csr ./*.srl server.ext
touch stamp
