#!/usr/bin/env bash
# Makes the certificates that the https tests and the demo use, with openssl, into DIR (created if missing):
#   ca.pem, ca.key          a test CA
#   server.pem, server.key  a server certificate from that CA for 127.0.0.1, ::1 and localhost
#   wronghost.pem           the same key, from the same CA, for another host name only
#   expired.pem             the same key, from the same CA, for the same names, expired in 2020
#   other-ca.pem            a second CA that issued nothing here
# and chains through an intermediate CA, as enterprise clouds present them (each *-chain.pem holds the
# server certificate, then the intermediate, as a TLS server sends them; all for the key chain.key and the
# names 127.0.0.1 and localhost unless said):
#   root.pem                the root CA that administrators hand out
#   chain.pem               root -> intermediate (CA, pathlen 0) -> server
#   chain-wronghost.pem     the same intermediate -> a server certificate for another host name only
#   chain-expired-int.pem   root -> an intermediate that expired in 2020 -> server
#   chain-not-ca.pem        root -> an "intermediate" that is not a CA (CA:FALSE) -> server
#   chain-other-root.pem    another root (not handed out) -> intermediate -> server
#   trust/                  a Mono trust store that trusts root.pem (and so the chains above), for a
#                           process run with XDG_CONFIG_HOME=DIR/trust: .mono/new-certs/Trust/HASH.0
# Existing files are kept, so that one directory serves a whole run.
set -euo pipefail
dir=${1:?usage: make-test-certs.sh DIR}
mkdir -p "$dir"
cd "$dir"
done=1
for f in server.pem wronghost.pem expired.pem other-ca.pem chain.pem chain-wronghost.pem chain-expired-int.pem chain-not-ca.pem \
         chain-other-root.pem; do
  [ -s "$f" ] || done=0
done
[ "$done" = 1 ] && exit 0
umask 077
quiet() { "$@" >/dev/null 2>&1 || { echo "make-test-certs: '$*' failed" >&2; "$@" >&2; exit 1; }; }
# root NAME SUBJECT: a self-signed CA, NAME.pem and NAME.key
root() {
  quiet openssl req -x509 -newkey rsa:2048 -nodes -keyout "$1.key" -out "$1.pem" -days 30 -subj "/CN=$2" \
    -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign"
}
# sign CSR ISSUER OUT EXTENSIONS [START END]: a certificate from ISSUER.pem and ISSUER.key; with START and END
# (YYYYMMDDHHMMSSZ) valid only between them, which takes openssl's ca command.
sign() {
  printf '%b' "$4" >sign.ext
  if [ $# -ge 6 ]; then
    rm -rf ca-db && mkdir ca-db && : >ca-db/index.txt && echo 1000 >ca-db/serial
    printf '[ca]\ndefault_ca=d\n[d]\ndatabase=ca-db/index.txt\nnew_certs_dir=ca-db\nserial=ca-db/serial\ndefault_md=sha256\npolicy=p\nunique_subject=no\n[p]\ncommonName=supplied\n' >ca-db/ca.cnf
    quiet openssl ca -batch -notext -config ca-db/ca.cnf -cert "$2.pem" -keyfile "$2.key" -in "$1" -out "$3" \
      -startdate "$5" -enddate "$6" -extfile sign.ext
    rm -rf ca-db
  else
    quiet openssl x509 -req -in "$1" -CA "$2.pem" -CAkey "$2.key" -CAcreateserial -out "$3" -days 30 -extfile sign.ext
  fi
  rm -f sign.ext
}
leaf_ext='subjectAltName=DNS:localhost,IP:127.0.0.1,IP:::1\nbasicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n'
other_ext='subjectAltName=DNS:vcd.elsewhere.example.test\nbasicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n'
ca_ext='basicConstraints=critical,CA:TRUE,pathlen:0\nkeyUsage=critical,keyCertSign,cRLSign\n'

root ca "vCloud bridge test CA"
root other-ca "Unrelated test CA"
quiet openssl req -newkey rsa:2048 -nodes -keyout server.key -out server.csr -subj "/CN=localhost"
sign server.csr ca server.pem "$leaf_ext"
sign server.csr ca wronghost.pem "$other_ext"
sign server.csr ca expired.pem "$leaf_ext" 20200101000000Z 20200201000000Z

# The chains through an intermediate CA.
root root "vCloud bridge test root CA"
root other-root "Unrelated test root CA"
quiet openssl req -newkey rsa:2048 -nodes -keyout chain.key -out chain.csr -subj "/CN=127.0.0.1"
quiet openssl req -newkey rsa:2048 -nodes -keyout int.key -out int.csr -subj "/CN=vCloud bridge test intermediate CA"
sign int.csr root int.pem "$ca_ext"
sign int.csr root int-expired.pem "$ca_ext" 20200101000000Z 20200201000000Z
sign int.csr root int-not-ca.pem 'basicConstraints=critical,CA:FALSE\nkeyUsage=critical,digitalSignature,keyEncipherment\n'
sign int.csr other-root int-other.pem "$ca_ext"
# Each server certificate is issued with the intermediate's key under the name the variant's file gives.
for variant in int int-expired int-not-ca int-other; do
  cp "$variant.pem" issuer.pem
  cp int.key issuer.key
  case "$variant" in
    int) sign chain.csr issuer leaf.pem "$leaf_ext"; cat leaf.pem int.pem >chain.pem
         sign chain.csr issuer leaf.pem "$other_ext"; cat leaf.pem int.pem >chain-wronghost.pem ;;
    int-expired) sign chain.csr issuer leaf.pem "$leaf_ext"; cat leaf.pem int-expired.pem >chain-expired-int.pem ;;
    int-not-ca) sign chain.csr issuer leaf.pem "$leaf_ext"; cat leaf.pem int-not-ca.pem >chain-not-ca.pem ;;
    int-other) sign chain.csr issuer leaf.pem "$leaf_ext"; cat leaf.pem int-other.pem >chain-other-root.pem ;;
  esac
done
mkdir -p trust/.mono/new-certs/Trust
cp root.pem "trust/.mono/new-certs/Trust/$(openssl x509 -in root.pem -noout -subject_hash).0"
rm -f ./*.csr ./*.srl issuer.pem issuer.key leaf.pem int*.pem int.key other-ca.key other-root.key root.key
chmod 644 ./*.pem
chmod -R go+rX trust
