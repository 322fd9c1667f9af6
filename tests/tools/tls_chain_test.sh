#!/usr/bin/env bash
# https as enterprise clouds serve it, through vcloud-bridge: our own nginx from Debian terminates TLS in
# front of the simulator (started with --public-url), with certificates that openssl makes.
# usage: tls_chain_test.sh GROUP TOOL VCDSIM_EXE SCRIPTS_DIR
#   chain   a server certificate issued by an intermediate CA that nginx sends, with only the root in
#           caFile, as curl takes it; an expired intermediate, one that is not a CA, another root, the wrong
#           host, and an expired certificate from the caFile's own CA are refused in words that say so
#   tls13   a server that speaks only TLS 1.3, and one that speaks only TLS 1.2
#   trust   certificates that the runtime's trust store holds (a test store: XDG_CONFIG_HOME): accepted,
#           but not against a pin, nor for another host name
set -u
group=$1
tool=$2
simexe=$3
scripts=$4
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
nginxdirs=()
simpids=()
cleanup() {
  for d in "${nginxdirs[@]}"; do bash "$scripts/nginx.sh" stop "$d"; done
  for p in "${simpids[@]}"; do kill "$p" 2>/dev/null; wait "$p" 2>/dev/null; done
  rm -rf "$work"
}
trap cleanup EXIT
unset https_proxy HTTPS_PROXY http_proxy no_proxy NO_PROXY VCB_AUTH VCB_PASSWORD VCB_SERVER VCB_USER XDG_CONFIG_HOME
. "$here/checks.sh"
command -v nginx >/dev/null || { echo "FAIL: nginx is not installed (bash scripts/install-deps.sh)"; exit 1; }

certs=$work/certs
bash "$scripts/make-test-certs.sh" "$certs" || { echo "FAIL: test certificates"; exit 1; }
printf 'vmware1!\n' >"$work/admin.pw"
chmod 600 "$work/admin.pw"
admin=(--user administrator@System --password-file "$work/admin.pw")
free_port() { python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }

# start_sim ARGS...: a plain http simulator through the tool's sim command; sets sim.
start_sim() {
  local out=$work/sim.$RANDOM.out
  "$tool" --quiet sim -- --task-ms 20 "$@" >"$out" 2>&1 </dev/null &
  simpids+=($!)
  sim=""
  for _ in $(seq 1 600); do
    sim=$(grep -m1 -E '^https?://' "$out" 2>/dev/null)
    [ -n "$sim" ] && return 0
    sleep 0.1
  done
  echo "FAIL: the simulator did not start:"; cat "$out"
  exit 1
}

# front NAME CERT [NGINX OPTIONS...]: an nginx in front of the simulator with CERT (server certificate and
# intermediate) and chain.key; sets url.
front() {
  local name=$1 cert=$2
  shift 2
  nginxdirs+=("$work/$name")
  url=$(bash "$scripts/nginx.sh" start "$work/$name" --upstream "$sim" --cert "$cert" --key "$certs/chain.key" "$@") \
    || { echo "FAIL: nginx ($name) did not start"; exit 1; }
}

case "$group" in
chain)
  port=$(free_port)
  start_sim --public-url "https://127.0.0.1:$port"
  front good "$certs/chain.pem" --port "$port"
  code=$(curl -s -o /dev/null -w '%{http_code}' --cacert "$certs/root.pem" "$url/api/versions")
  [ "$code" = 200 ] && ok || { last="(curl --cacert root.pem)"; rc=0; bad "curl with the root alone got $code"; }
  run --server "$url" "${admin[@]}" --ca-file "$certs/root.pem" vdcs Acme; status 0; out_has "Acme-Silver"
  grep -qF "TLSv1.2" "$work/good/access.log" && ok || { last="(nginx access log)"; bad "nginx logged no TLS 1.2 request"; }
  # Every VM in pages of 5 through an nginx that compresses each answer (and so sends it in chunks) and
  # closes each connection after its third request: the same list as the simulator gives directly.
  run --server "$sim" --allow-http "${admin[@]}" --json vms; status 0
  cp "$work/out" "$work/vms.direct"
  front paged "$certs/chain.pem" --gzip --keepalive-requests 3
  run --server "$url" "${admin[@]}" --ca-file "$certs/root.pem" --option pageSize=5 --json vms; status 0
  cmp -s "$work/out" "$work/vms.direct" && ok || bad "the list through nginx differs from the simulator's own"
  pages=$(grep -c '"GET /api/query?[^"]*" 200 TLSv1.[23] gzip=[0-9]' "$work/paged/access.log")
  [ "$pages" -gt 3 ] && ok || { last="(nginx access log)"; bad "nginx logged $pages compressed query pages, wanted more than 3"; }
  # root and intermediate both in caFile, and the intermediate alone: curl takes both.
  cat "$certs/root.pem" "$certs/chain.pem" >"$work/both.pem"
  run --server "$url" "${admin[@]}" --ca-file "$work/both.pem" vdcs Acme; status 0; out_has "Acme-Gold"
  # Another CA's root: refused.
  run --server "$url" "${admin[@]}" --ca-file "$certs/other-root.pem" vdcs Acme
  status 1; err_has "TLS refused: the certificate of 127.0.0.1 (CN=127.0.0.1) was not issued by a CA in the configured caFile"
  err_has "its chain ends at CN=vCloud bridge test intermediate CA, issued by CN=vCloud bridge test root CA"

  front expired "$certs/chain-expired-int.pem"
  run --server "$url" "${admin[@]}" --ca-file "$certs/root.pem" vdcs Acme
  status 1; err_has "reaches the configured caFile through CN=vCloud bridge test intermediate CA, which expired on 2020-02-01 00:00:00 UTC"
  front notca "$certs/chain-not-ca.pem"
  run --server "$url" "${admin[@]}" --ca-file "$certs/root.pem" vdcs Acme
  status 1; err_has "through CN=vCloud bridge test intermediate CA, which is not a CA (CA:FALSE)"
  front otherroot "$certs/chain-other-root.pem"
  run --server "$url" "${admin[@]}" --ca-file "$certs/root.pem" vdcs Acme
  status 1; err_has "was not issued by a CA in the configured caFile (its chain ends at CN=vCloud bridge test intermediate CA, issued by CN=Unrelated test root CA)"
  front wronghost "$certs/chain-wronghost.pem"
  run --server "$url" "${admin[@]}" --ca-file "$certs/root.pem" vdcs Acme
  status 1; err_has "(CN=127.0.0.1) is not issued for that host name"
  code=$(curl -s -o /dev/null -w '%{http_code}' --cacert "$certs/root.pem" "$url/api/versions")
  [ "$code" = 000 ] && ok || { last="(curl --cacert root.pem, wrong host)"; rc=0; bad "curl got $code from the wrong host"; }

  # An expired certificate from the caFile's own CA, served by the simulator itself.
  start_sim --tls-cert "$certs/expired.pem" --tls-key "$certs/server.key"
  run --server "$sim" "${admin[@]}" --ca-file "$certs/ca.pem" vdcs Acme
  status 1; err_has "TLS refused: the certificate of 127.0.0.1 (CN=localhost) expired on 2020-02-01 00:00:00 UTC"
  ;;

tls13)
  start_sim
  front only13 "$certs/chain.pem" --protocols TLSv1.3
  code=$(curl -s -o /dev/null -w '%{http_code}' --cacert "$certs/root.pem" "$url/api/versions")
  [ "$code" = 200 ] && ok || { last="(curl, TLS 1.3)"; rc=0; bad "curl got $code from the TLS 1.3 server"; }
  SECONDS=0
  run --server "$url" "${admin[@]}" --ca-file "$certs/root.pem" vdcs Acme
  status 1
  err_has "Login: GET /api/versions: TLS refused: the server at 127.0.0.1 accepts no TLS version that this runtime speaks (TLS 1.0, TLS 1.1, TLS 1.2)"
  [ $SECONDS -lt 30 ] && ok || bad "the refusal took $SECONDS s"
  front only12 "$certs/chain.pem" --protocols TLSv1.2
  run --server "$url" "${admin[@]}" --ca-file "$certs/root.pem" vdcs Acme; status 0; out_has "Acme-Silver"
  ;;

trust)
  start_sim
  front good "$certs/chain.pem"
  local_url=${url/127.0.0.1/localhost}
  run --server "$local_url" "${admin[@]}" vdcs Acme
  status 1; err_has "is not trusted"
  export XDG_CONFIG_HOME=$certs/trust
  run --server "$local_url" "${admin[@]}" vdcs Acme; status 0; out_has "Acme-Silver"
  # The runtime's own name check reads no IP addresses: a trusted certificate for 127.0.0.1 is refused, and says why.
  run --server "$url" "${admin[@]}" vdcs Acme
  status 1; err_has "names the address 127.0.0.1, which this runtime's trust store check cannot match; use a DNS name, caFile or pin"
  # A pin is exactly that certificate, even one the trust store vouches for: a trusted impostor is refused.
  run --server "$local_url" "${admin[@]}" --option "pin=$(printf '0%.0s' $(seq 1 64))" vdcs Acme
  status 1; err_has "does not match the configured pin"
  pin=$(openssl x509 -in "$certs/chain.pem" -noout -fingerprint -sha256 | sed 's/.*=//')
  run --server "$local_url" "${admin[@]}" --option "pin=$pin" vdcs Acme; status 0; out_has "Acme-Gold"
  # A trusted certificate for another host name.
  front wronghost "$certs/chain-wronghost.pem"
  run --server "${url/127.0.0.1/localhost}" "${admin[@]}" vdcs Acme
  status 1; err_has "TLS refused: the certificate of localhost (CN=127.0.0.1) is not issued for that host name"
  ;;
*)
  echo "unknown group $group"; exit 2 ;;
esac

echo "$group: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
