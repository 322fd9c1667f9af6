#!/usr/bin/env bash
# Makes the certificates that the https tests and the demo use, with openssl, into DIR (created if missing):
#   ca.pem, ca.key          a test CA
#   server.pem, server.key  a server certificate from that CA for 127.0.0.1, ::1 and localhost
#   wronghost.pem           the same key, from the same CA, for another host name only
#   other-ca.pem            a second CA that issued nothing here
# Existing files are kept, so that one directory serves a whole run.
set -euo pipefail
dir=${1:?usage: make-test-certs.sh DIR}
mkdir -p "$dir"
cd "$dir"
[ -s server.pem ] && [ -s wronghost.pem ] && [ -s other-ca.pem ] && exit 0
umask 077
quiet() { "$@" >/dev/null 2>&1 || { echo "make-test-certs: '$*' failed" >&2; "$@" >&2; exit 1; }; }
quiet openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 30 -subj "/CN=vCloud bridge test CA" \
  -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign"
quiet openssl req -x509 -newkey rsa:2048 -nodes -keyout other-ca.key -out other-ca.pem -days 30 -subj "/CN=Unrelated test CA" \
  -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign"
quiet openssl req -newkey rsa:2048 -nodes -keyout server.key -out server.csr -subj "/CN=localhost"
printf 'subjectAltName=DNS:localhost,IP:127.0.0.1,IP:::1\nbasicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n' > server.ext
printf 'subjectAltName=DNS:vcd.elsewhere.example.test\nbasicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n' > wronghost.ext
quiet openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -out server.pem -days 30 -extfile server.ext
quiet openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -out wronghost.pem -days 30 -extfile wronghost.ext
rm -f server.csr server.ext wronghost.ext ca.srl other-ca.key
chmod 644 ./*.pem
