#!/usr/bin/env bash
# The conditions of real deployments, through vcloud-bridge and the simulator with real parts: https with
# certificates that openssl makes, API tokens, sessions the server ends, and our own tinyproxy between.
# usage: deploy_test.sh GROUP TOOL VCDSIM_EXE SCRIPTS_DIR
#   tls     https end to end: a trusted CA, another CA, the wrong host name, a pin, the built-in cloud
#   token   logins with an API token; the token in no log, error text or command line
#   expiry  a server that ends sessions every few requests
#   proxy   through tinyproxy: CONNECT in its log, the environment variables, a refusing or absent proxy
set -u
group=$1
tool=$2
simexe=$3
scripts=$4
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
proxydirs=()
simpids=()
cleanup() {
  for d in "${proxydirs[@]}"; do bash "$scripts/tinyproxy.sh" stop "$d"; done
  for p in "${simpids[@]}"; do kill "$p" 2>/dev/null; wait "$p" 2>/dev/null; done
  rm -rf "$work"
}
trap cleanup EXIT
unset https_proxy HTTPS_PROXY http_proxy no_proxy NO_PROXY VCB_AUTH VCB_PASSWORD VCB_SERVER VCB_USER
. "$here/checks.sh"
file_lacks() { grep -qF -- "$2" "$1" && bad "$1 holds '$2'" || ok; }

# start_sim ARGS...: a simulator through the tool's sim command; sets url (http or https).
start_sim() {
  local out=$work/sim.$RANDOM.out
  "$tool" --quiet sim -- --task-ms 20 "$@" >"$out" 2>&1 </dev/null &
  simpids+=($!)
  url=""
  for _ in $(seq 1 600); do
    url=$(grep -m1 -E '^https?://' "$out" 2>/dev/null)
    [ -n "$url" ] && return 0
    sleep 0.1
  done
  echo "FAIL: the simulator did not start:"; cat "$out"
  exit 1
}

certs=$work/certs
bash "$scripts/make-test-certs.sh" "$certs" || { echo "FAIL: test certificates"; exit 1; }
tls=(--tls-cert "$certs/server.pem" --tls-key "$certs/server.key")
printf 'vmware1!\n' >"$work/admin.pw"
chmod 600 "$work/admin.pw"
admin=(--user administrator@System --password-file "$work/admin.pw")

case "$group" in
tls)
  start_sim "${tls[@]}"
  [[ "$url" == https://127.0.0.1:* ]] && ok || { last="sim --tls-cert"; rc=0; bad "the simulator does not say https: $url"; }
  run --server "$url" "${admin[@]}" --ca-file "$certs/ca.pem" vdcs Acme; status 0; out_has "Acme-Silver"
  run --server "${url/127.0.0.1/localhost}" "${admin[@]}" --ca-file "$certs/ca.pem" vdcs Acme; status 0; out_has "Acme-Gold"
  run --server "$url" "${admin[@]}" --ca-file "$certs/other-ca.pem" vdcs Acme
  status 1; err_has "was not issued by a CA in the configured caFile"
  run --server "$url" "${admin[@]}" vdcs Acme
  status 1; err_has "is not trusted"; err_has "configure caFile or pin"
  pin=$(openssl x509 -in "$certs/server.pem" -noout -fingerprint -sha256 | sed 's/.*=//')
  run --server "$url" "${admin[@]}" --option "pin=$pin" vdcs Acme; status 0; out_has "Acme-Silver"
  run --server "$url" "${admin[@]}" --option "pin=$(printf '0%.0s' $(seq 1 64))" vdcs Acme
  status 1; err_has "does not match the configured pin"
  # Plain http to the https port fails at once, without a hang.
  SECONDS=0
  run --server "${url/https/http}" --allow-http "${admin[@]}" --option httpTimeout=20s vdcs Acme
  status 1; err_has "GET /api/versions"
  [ $SECONDS -lt 15 ] && ok || bad "plain http to the https port took $SECONDS s"

  # A certificate for another host name, from the trusted CA.
  start_sim --tls-cert "$certs/wronghost.pem" --tls-key "$certs/server.key"
  run --server "$url" "${admin[@]}" --ca-file "$certs/ca.pem" vdcs Acme
  status 1; err_has "is not issued for that host name"
  run --server "$url" "${admin[@]}" vdcs Acme
  status 1; err_has "TLS refused"

  # A key whose private exponent is a byte shorter than its modulus (about one key in a hundred): the
  # simulator still serves https with it. The built-in cloud makes a new key on every run.
  start_sim --tls-cert "$here/certs/short-exponent.pem" --tls-key "$here/certs/short-exponent.key"
  run --server "$url" "${admin[@]}" --ca-file "$here/certs/short-exponent.pem" vdcs Acme; status 0; out_has "Acme-Gold"

  # The built-in cloud serves https with a certificate made for the run, and removes it afterwards.
  mkdir "$work/tmp"
  TMPDIR=$work/tmp run version; status 0; err_has "started the built-in simulated cloud at https://127.0.0.1:"; out_has "10.5.1"
  [ -z "$(ls -A "$work/tmp")" ] && ok || bad "the built-in cloud's certificate directory was left behind"
  run sim -- --tls-cert "$certs/server.pem" --tls-key /nonexistent.key
  status 1; err_has "cannot use the certificate"
  ;;

token)
  token=tok-$RANDOM$RANDOM-Zq8xWv3K
  printf 'administrator@System=%s\nalice@Acme=%s-alice\n' "$token" "$token" >"$work/tokens"
  chmod 600 "$work/tokens"
  printf '%s\n' "$token" >"$work/admin.tok"
  printf '%s-alice\n' "$token" >"$work/alice.tok"
  printf 'wrong-%s\n' "$token" >"$work/wrong.tok"
  chmod 600 "$work"/*.tok
  start_sim "${tls[@]}" --api-token-file "$work/tokens"
  tok() { run --server "$url" --ca-file "$certs/ca.pem" --log "$work/wrapper.log" --debug-level 3 "$@"; }
  tok --user administrator@System --password-file "$work/admin.tok" --auth api-token vdcs Acme
  status 0; out_has "Acme-Silver"
  grep -qF "API token, provider session" "$work/wrapper.log" && ok || bad "the log does not say an API token was used"
  tok --user alice@Acme --password-file "$work/alice.tok" --auth api-token vdcs Acme; status 0; out_has "Acme-Gold"
  VCB_AUTH=api-token tok --user alice@Acme --password-file "$work/alice.tok" vdcs Acme; status 0; out_has "Acme-Gold"
  tok --user administrator@System --password-file "$work/wrong.tok" --auth api-token vdcs Acme
  status 1; err_has "API token refused for administrator@System"
  tok --user alice@Acme --password-file "$work/admin.tok" --auth api-token vdcs Acme
  status 1; err_has "API token refused for alice@Acme"
  # The token is a secret: in no log, error text or command line.
  file_lacks "$work/wrapper.log" "$token"
  file_lacks "$work/err" "$token"
  # (the pattern comes from a file, so that this grep's own command line does not hold it)
  grep -lFf "$work/admin.tok" /proc/[0-9]*/cmdline 2>/dev/null | grep -q . && bad "a command line holds the token" || ok
  tok --user administrator@System --password-file "$work/admin.pw" --auth api-token vdcs Acme
  status 1; err_has "API token refused"
  run --auth kerberos vdcs Acme; status 2; err_has "--auth wants password or api-token"
  # The built-in cloud with a token made for the run.
  run --auth api-token --user alice@Acme vdcs Acme; status 0; out_has "Acme-Gold"
  ;;

expiry)
  # Sessions that end after 7 requests, while 60 VMs are listed in pages of 5.
  start_sim "${tls[@]}" --generate 1,1,60,1 --token-expiry 7
  run --server "$url" "${admin[@]}" --ca-file "$certs/ca.pem" --option pageSize=5 --log "$work/wrapper.log" --debug-level 1 vms
  status 0
  [ "$(grep -c 'vm-0000' "$work/out")" -eq 60 ] && ok || bad "not 60 VMs"
  grep -qF "logging in again" "$work/wrapper.log" && ok || bad "the log does not show a new login"
  run --server "$url" "${admin[@]}" --ca-file "$certs/ca.pem" power-on Org001 Org001-VDC01 vm-000003
  status 0; out_has "powered on"
  run --server "$url" "${admin[@]}" --ca-file "$certs/ca.pem" restore Org001 Org001-VDC01 vapp-000001 expiry-restored \
      --vcenter vc-01 --moref vm-770001
  status 0; out_has "expiry-restored"
  printf 'tok-expiry-9Vb3Lm2Q\n' >"$work/admin.tok"
  chmod 600 "$work/admin.tok"
  printf 'administrator@System=tok-expiry-9Vb3Lm2Q\n' >"$work/tokens"
  start_sim "${tls[@]}" --generate 1,1,60,1 --token-expiry 7 --api-token-file "$work/tokens"
  run --server "$url" --user administrator@System --password-file "$work/admin.tok" --auth api-token --ca-file "$certs/ca.pem" \
      --option pageSize=5 vms
  status 0
  [ "$(grep -c 'vm-0000' "$work/out")" -eq 60 ] && ok || bad "not 60 VMs with an API token"
  ;;

proxy)
  command -v tinyproxy >/dev/null || { echo "FAIL: tinyproxy is not installed (bash scripts/install-deps.sh)"; exit 1; }
  start_sim "${tls[@]}"
  port=${url##*:}; port=${port%/}
  proxydirs+=("$work/proxy")
  proxy=$(bash "$scripts/tinyproxy.sh" start "$work/proxy") || { echo "FAIL: tinyproxy did not start"; exit 1; }
  plog=$work/proxy/tinyproxy.log
  run --server "$url" "${admin[@]}" --ca-file "$certs/ca.pem" --proxy "$proxy" vdcs Acme; status 0; out_has "Acme-Silver"
  connects=$(grep -c "CONNECT 127.0.0.1:$port" "$plog")
  [ "$connects" -ge 1 ] && ok || bad "the proxy's log shows no CONNECT to the cloud"
  # https_proxy as curl uses it; no_proxy and --proxy none go direct.
  https_proxy=$proxy run --server "$url" "${admin[@]}" --ca-file "$certs/ca.pem" vdcs Acme; status 0
  n=$(grep -c "CONNECT 127.0.0.1:$port" "$plog")
  [ "$n" -gt "$connects" ] && ok || bad "https_proxy was not followed"
  https_proxy=$proxy no_proxy=localhost,127.0.0.1 run --server "$url" "${admin[@]}" --ca-file "$certs/ca.pem" vdcs Acme; status 0
  https_proxy=$proxy run --server "$url" "${admin[@]}" --ca-file "$certs/ca.pem" --proxy none vdcs Acme; status 0
  [ "$(grep -c "CONNECT 127.0.0.1:$port" "$plog")" -eq "$n" ] && ok || bad "no_proxy or --proxy none went through the proxy"
  # Inside the tunnel: the proxy never sees a header, the password or a token.
  printf 'tok-proxy-4Hw8Pz1N\n' >"$work/admin.tok"
  chmod 600 "$work/admin.tok"
  printf 'administrator@System=tok-proxy-4Hw8Pz1N\n' >"$work/tokens"
  start_sim "${tls[@]}" --api-token-file "$work/tokens"
  run --server "$url" --user administrator@System --password-file "$work/admin.tok" --auth api-token --ca-file "$certs/ca.pem" \
      --proxy "$proxy" vdcs Acme
  status 0; out_has "Acme-Gold"
  file_lacks "$plog" "tok-proxy-4Hw8Pz1N"
  file_lacks "$plog" "Bearer"
  file_lacks "$plog" "Authorization"
  file_lacks "$plog" "vmware1!"
  # A proxy that refuses CONNECT to the cloud's port, and one that is not there: clear texts, at once.
  proxydirs+=("$work/refusing")
  refusing=$(bash "$scripts/tinyproxy.sh" start "$work/refusing" --refuse-connect) || { echo "FAIL: tinyproxy did not start"; exit 1; }
  SECONDS=0
  run --server "$url" "${admin[@]}" --ca-file "$certs/ca.pem" --proxy "$refusing" --option httpTimeout=20s vdcs Acme
  status 1; err_has "the proxy $refusing (refusing the tunnel)"
  bash "$scripts/tinyproxy.sh" stop "$work/refusing"
  run --server "$url" "${admin[@]}" --ca-file "$certs/ca.pem" --proxy "$refusing" --option httpTimeout=20s vdcs Acme
  status 1; err_has "through the proxy $refusing: nothing accepts connections"
  [ $SECONDS -lt 20 ] && ok || bad "the refused and absent proxies took $SECONDS s"
  # A proxy that asks for credentials: from a file, never from a URL or the command line.
  printf 'proxyuser:pr0xy-%s\n' "$RANDOM" >"$work/proxy.cred"
  chmod 600 "$work/proxy.cred"
  proxydirs+=("$work/guarded")
  guarded=$(bash "$scripts/tinyproxy.sh" start "$work/guarded" --basic-auth "$work/proxy.cred") || { echo "FAIL: tinyproxy did not start"; exit 1; }
  run --server "$url" "${admin[@]}" --ca-file "$certs/ca.pem" --proxy "$guarded" vdcs Acme
  status 1; err_has "HTTP 407"; err_has "proxyCredentialsFile"
  run --server "$url" "${admin[@]}" --ca-file "$certs/ca.pem" --proxy "$guarded" --option "proxyCredentialsFile=$work/proxy.cred" \
      --log "$work/proxied.log" --debug-level 3 vdcs Acme
  status 0; out_has "Acme-Gold"
  file_lacks "$work/proxied.log" "$(cut -d: -f2 "$work/proxy.cred")"
  run --server "$url" "${admin[@]}" --ca-file "$certs/ca.pem" --proxy "http://u:p@127.0.0.1:1" vdcs Acme
  status 1; err_has "must not carry credentials"
  run --server "$url" "${admin[@]}" --ca-file "$certs/ca.pem" --proxy socks5://127.0.0.1:1080 vdcs Acme
  status 1; err_has "the proxy scheme 'socks5' is not supported"
  https_proxy=ftp://127.0.0.1:21 run --server "$url" "${admin[@]}" --ca-file "$certs/ca.pem" vdcs Acme
  status 1; err_has "https_proxy"
  ;;
*)
  echo "unknown group $group"; exit 2 ;;
esac

echo "$group: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
