#!/usr/bin/env bash
# Makes the test certificate authorities and a server certificate for 127.0.0.1.
set -euo pipefail
out=$1
mkdir -p "$out"
cd "$out"
[ -f server.pem ] && exit 0
gen() { openssl req -x509 -newkey rsa:2048 -nodes -days 3650 -keyout "$1.key" -out "$1.pem" -subj "/CN=$2" >/dev/null 2>&1; }
gen ca "Flashwren Test Root"
gen other-ca "Flashwren Other Root"
openssl req -newkey rsa:2048 -nodes -keyout server.key -out server.csr -subj "/CN=127.0.0.1" >/dev/null 2>&1
printf 'subjectAltName=IP:127.0.0.1,DNS:localhost\nbasicConstraints=CA:FALSE\n' > ext.cnf
openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 3650 -extfile ext.cnf -out server-leaf.pem >/dev/null 2>&1
cat server-leaf.pem ca.pem > server.pem
