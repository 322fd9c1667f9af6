#!/usr/bin/env bash
# Runs vcloud-bridge's subcommands and checks their output (human and JSON), exit statuses and error texts.
# usage: cli_test.sh GROUP TOOL VCDSIM_EXE
#   usage    command-line mistakes and help, no cloud needed
#   queries  the read-only operations against a simulator that this script starts
#   changes  backup, power on, restore and delete against a simulator of its own (in this order)
#   builtin  the built-in simulated cloud: start and stop, Ctrl-C, tenant logins, the demo
set -u
group=$1
tool=$2
simexe=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
. "$(dirname "$0")/checks.sh"
out_is() { [ "$(cat "$work/out")" = "$1" ] && ok || bad "stdout is not exactly: $1"; }
out_count() {  # out_count TEXT N: lines of stdout that hold TEXT
  local n
  n=$(grep -cF -- "$1" "$work/out")
  [ "$n" -eq "$2" ] && ok || bad "$n lines hold '$1', wanted $2"
}
# One-line form of the JSON output, for checks on its exact shape.
flat() { tr -d '\n' <"$work/out" | sed 's/  */ /g'; }
flat_has() { flat | grep -qF -- "$1" && ok || bad "JSON lacks '$1'"; }

start_sim() {
  # The simulator reads its standard input from fd 3 of this script and stops when that closes.
  exec 3> >(exec mono "$simexe" --port 0 --task-ms 20 --stdin-lifeline >"$work/sim.out" 2>&1)
  for _ in $(seq 1 600); do
    url=$(sed -n 's/^vcdsim listening on //p' "$work/sim.out" | head -1)
    [ -n "$url" ] && return 0
    sleep 0.1
  done
  echo "FAIL: the simulator did not start:"; cat "$work/sim.out"
  exit 1
}

case "$group" in
usage)
  run --version; status 0; out_has "vcloud-bridge 1."
  run --help; status 0
  for op in version tree vdcs vapps networks datastores users storage-profiles storage-profile hypervisors \
            find-vcenter vcenter-for-vdc vms vm-info vm-users find-vm find-vm-in-vapp vm-moref power-on backup \
            restore delete-vm delete-vm-in-vapp demo login sim; do
    grep -q "^  $op " "$work/out" || bad "--help does not list $op"
  done
  for op in $(sed -n 's/^  \([a-z-]*\)  .*/\1/p' "$work/out"); do
    run "$op" --help; status 0; out_has "usage: vcloud-bridge [OPTIONS] $op"
  done
  run; status 2; err_has "usage: vcloud-bridge"
  run frobnicate; status 2; err_has "unknown command 'frobnicate'"
  run vdcs; status 2; err_has "'vdcs' wants ORG, got 0 arguments"
  run vdcs Acme --colour; status 2; err_has "unknown option '--colour'"
  run --password hunter2 vdcs Acme; status 2; err_has "never taken from the command line"
  run --user alice vdcs Acme; status 2; err_has "--user wants USER@ORG"
  run vms --tag novalue; status 2; err_has "--tag wants KEY=VALUE"
  run vms --tag a=b --match x; status 2; err_has "--tag or --match, not both"
  run vms folder x; status 2; err_has "unknown entity type 'folder'"
  run vms --match 'x*' --by colour; status 2; err_has "--by wants vm, vapp, vdc or org"
  run --option 'a=1;b=2' version; status 2; err_has "cannot contain ';'"
  run --home /nonexistent version; status 2; err_has "--home: no such directory"
  run restore o v a n --vcenter vc; status 2; err_has "needs --vcenter VC and --moref MOREF"
  run restore o v a n --vcenter vc --moref vm-1 --metadata '=x'; status 2; err_has "--metadata wants KEY=VALUE"
  run delete-vm o v a vm; status 2; err_has "without --yes"
  run --server https://vcd.example.test demo; status 2; err_has "only against the built-in simulated cloud"
  run --server https://vcd.example.test --user a@b version; status 2; err_has "no password for a@b"
  run --server https://vcd.example.test --user a@b --password-file "$work" version; status 2
  err_has "is not a regular file"
  run --server https://vcd.example.test version; status 2; err_has "--server needs --user"
  ;;

queries | changes)
  start_sim
  printf 'vmware1!\n' >"$work/admin.pw"
  printf 'alice1!\n' >"$work/alice.pw"
  chmod 600 "$work"/*.pw
  # The simulator's tasks end within moments: poll them often.
  admin=(--server "$url" --allow-http --user administrator@System --password-file "$work/admin.pw"
         --option taskPollInterval=50ms)
  alice=(--server "$url" --allow-http --user alice@Acme --password-file "$work/alice.pw")

if [ "$group" = queries ]; then
  # Connection: login, wrong password, plain http refused without --allow-http.
  run "${admin[@]}" login; status 0; out_has "Logged in to $url as administrator@System"
  run --server "$url" --allow-http --user alice@Acme --password-file "$work/admin.pw" login
  status 1; err_has "vcloud-bridge: error: Login: login refused for alice@Acme"
  run --server "$url" --user alice@Acme --password-file "$work/alice.pw" login
  status 1; err_has "plain http"; err_has "--allow-http"
  VCB_PASSWORD='alice1!' "$tool" --server "$url" --allow-http --user alice@Acme login >"$work/out" 2>"$work/err"
  rc=$?; last="login with VCB_PASSWORD"; status 0
  printf 'alice1!\n' | "$tool" --server "$url" --allow-http --user alice@Acme --password-file - login >"$work/out" 2>"$work/err"
  rc=$?; last="login with the password on standard input"; status 0
  cp "$work/alice.pw" "$work/open.pw"; chmod 644 "$work/open.pw"
  run --server "$url" --allow-http --user alice@Acme --password-file "$work/open.pw" login
  status 0; err_has "can be read by other users"
  run "${alice[@]}" --json vdcs Globex; status 1; [ ! -s "$work/out" ] && ok || bad "a failure wrote JSON to stdout"

  # Version and name lists, human and JSON.
  run "${admin[@]}" version; status 0; out_has "Version:      10.5.1"; out_has "Build:        23400185"
  run "${admin[@]}" --json version; status 0
  flat_has '{ "version": "10.5.1", "build": "23400185", "fullVersion": "10.5.1.23400185 '
  run "${admin[@]}" vdcs Acme; status 0; out_is $'Acme-Gold\nAcme-Silver'
  run "${admin[@]}" --json vdcs Acme; status 0; flat_has '[ "Acme-Gold", "Acme-Silver"]'
  run "${admin[@]}" vapps Acme Acme-Gold; status 0; out_is $'web-tier\ndb-tier\nstaging'
  run "${admin[@]}" networks Acme Acme-Gold web-tier; status 0; out_is "acme-web"
  run "${admin[@]}" datastores Acme-Gold; status 0; out_is $'east-sata-01\neast-ssd-01\neast-ssd-02'
  run "${admin[@]}" users Acme; status 0; out_has "alice"; out_has "carol"; out_has "dave"
  run "${alice[@]}" vdcs Globex; status 1; err_has "GetVdcListInOrg: organisation 'Globex' not found"
  run "${alice[@]}" hypervisors; status 1; err_has "needs a System administrator session"

  # Storage profiles: table, exact JSON numbers, lookups by id and by vCenter policy, an ambiguous name.
  run "${admin[@]}" storage-profiles Acme Acme-Gold; status 0
  grep -Eq '^Gold +yes +4 TiB ' "$work/out" && ok || bad "no Gold row with its 4 TiB limit"
  run "${admin[@]}" --json storage-profiles Acme Acme-Gold; status 0
  flat_has '"moref": "5e7c1d20-3a4b-4c8d-9e0f-11aa22bb33cc", "limitBytes": 4398046511104,'
  gold=$(flat | sed -n 's/.*"name": "Gold", "id": "\([^"]*\)".*/\1/p')
  run "${admin[@]}" storage-profile "$gold"; status 0; out_has "Name:    Gold"; out_has "Default: yes"
  run "${admin[@]}" storage-profile Gold; status 1; err_has "GetStorageProfileInfo:"
  run "${admin[@]}" storage-profile --moref vc-east 5e7c1d20-3a4b-4c8d-9e0f-11aa22bb33cc; status 0; out_has "ID:      $gold"
  run "${admin[@]}" storage-profile --moref vc-east; status 2

  # vCenter servers.
  run "${admin[@]}" hypervisors; status 0; out_count "vc-east" 1; out_count "vc-west" 1
  run "${admin[@]}" find-vcenter vc-west; status 0
  run "${admin[@]}" find-vcenter vc-north; status 1; err_has "FindVCenterServer:"
  run "${admin[@]}" vcenter-for-vdc Acme-Gold; status 0; out_has "vCenter: vc-east"; out_has "https://vc-east.example.test"
  run "${admin[@]}" --json vcenter-for-vdc Globex-Prod; status 0; flat_has '"vcenter": "vc-west"'

  # The tree: whole cloud, one organisation, ASCII and JSON forms.
  run "${admin[@]}" tree; status 0
  out_has "└── Globex (org)"; out_has "│   │   │   ├── web-01 (vm)"; out_count "(vm)" 14
  run "${admin[@]}" tree --org Acme --ascii; status 0; out_lacks "Globex"; out_has '`-- Acme (org)'
  run "${admin[@]}" --json tree --from vdc Globex-DR; status 0
  flat_has '"name": "dr-standby", "type": "vapp", "href": "'; out_count '"type": "vm"' 1
  run "${admin[@]}" tree --depth 1; status 0; out_count "(org)" 3; out_lacks "(vdc)"

  # VM listings by entity, name, tag and wildcard.
  run "${admin[@]}" vms; status 0; [ "$(wc -l <"$work/out")" -eq 15 ] && ok || bad "not 14 VMs and a header"
  run "${admin[@]}" vms --max 3; status 0; [ "$(wc -l <"$work/out")" -eq 4 ] && ok || bad "--max 3 not honoured"
  run "${admin[@]}" vms vdc Acme-Gold; status 0; out_count " on " 3; out_count "other" 1
  run "${admin[@]}" --json vms --by-name vapp web-tier; status 0; out_count '"name":' 3
  flat_has '{ "name": "web-01", "power": "on", "guestOs": "Ubuntu Linux (64-bit)",'
  run "${admin[@]}" vms --tag backup-policy=gold; status 0
  for vm in web-01 web-02 db-01 erp-db-01; do out_has "$vm "; done; out_count "vm-" 4
  run "${alice[@]}" vms --tag backup-policy=gold; status 0; out_lacks "erp-db-01"
  run "${admin[@]}" vms --match 'web-*'; status 0; out_count "web-0" 3
  run "${admin[@]}" vms --match 'dev*' --by vapp; status 0; out_count "vm-" 3
  run "${admin[@]}" vms --match Globex --by org --max 2; status 0; out_count "vm-" 2
  run "${admin[@]}" vms vdc Nowhere; status 1; err_has "VDC 'Nowhere' not found"

  # One VM.
  run "${admin[@]}" vm-info Acme Acme-Gold web-01; status 0; out_has "Power:             on"; out_has "Moref:             vm-1001"
  run "${admin[@]}" --json vm-info Acme Acme-Gold db-02; status 0; flat_has '"power": "other"'
  run "${admin[@]}" vm-info Acme Acme-Gold nope; status 1; err_has "GetVMInfoForVM:"
  run "${admin[@]}" vm-users Acme Acme-Gold web-01; status 0
  grep -Eq '^alice +user +full$' "$work/out" && ok || bad "alice has no full access"
  grep -Eq '^acme-operators +group +read$' "$work/out" && ok || bad "acme-operators is not a reading group"
  run "${admin[@]}" find-vm Acme Acme-Gold web-01; status 0; out_has "Found VM 'web-01' in VDC 'Acme-Gold'"
  run "${admin[@]}" find-vm Acme Acme-Gold web-tier web-01; status 0
  run "${admin[@]}" find-vm Acme Acme-Gold db-tier web-01; status 1; err_has "FindVMInVApp:"
  run "${admin[@]}" find-vm-in-vapp Acme web-tier web-02; status 0
  run "${admin[@]}" vm-moref Acme web-tier web-02; status 0; out_is "vm-1002"

else
  # Backup in both forms; the XML is saved whole.
  run "${admin[@]}" backup Acme Acme-Gold web-tier web-01 --xml "$work/vm.xml"; status 0
  out_has "vCenter:         vc-east"; out_has "Moref:           vm-1001"; out_has "Storage profile: Gold"
  size=$(sed -n 's/^VM XML: *\([0-9]*\) bytes.*/\1/p' "$work/out")
  [ -n "$size" ] && [ "$(stat -c %s "$work/vm.xml")" -eq "$size" ] && ok || bad "the saved XML is not $size bytes"
  grep -Eq '<([A-Za-z0-9_]+:)?Vm ' "$work/vm.xml" && ok || bad "the saved XML holds no Vm element"
  run "${admin[@]}" --json vm-info Acme Acme-Gold web-01
  uuid=$(flat | sed -n 's/.*"uuid": "\([^"]*\)".*/\1/p')
  run "${admin[@]}" backup --ref Acme "urn:vcloud:vm:$uuid"; status 0
  out_has "VM:      web-01"; out_has "vApp:    web-tier"; out_has "VDC:     Acme-Gold"
  run "${alice[@]}" backup Acme Acme-Gold web-tier web-01; status 1; err_has "System administrators"

  # Power on, restore with awkward names and metadata, delete.
  run "${admin[@]}" power-on Acme Acme-Gold web-03; status 0; out_has "VM 'web-03' is powered on"
  run "${admin[@]}" vm-info Acme Acme-Gold web-03; out_has "Power:             on"
  odd='odd "name" \ x'
  run "${admin[@]}" --json restore Acme Acme-Gold web-tier "$odd" --vcenter vc-east --moref vm-777001 \
      --metadata 'note=a;b=c' --description 'restored by the tests'; status 0
  flat_has '"vm": "odd \"name\" \\ x", "vapp": "web-tier", "href": "http'
  run "${admin[@]}" vms --tag 'note=a;b=c'; status 0; out_has "$odd"
  run "${admin[@]}" restore Acme Acme-Gold web-tier "$odd" --vcenter vc-east --moref vm-777002; status 1
  err_has "RestoreVM:"
  run "${admin[@]}" delete-vm-in-vapp Acme web-tier "$odd" --yes; status 0
  run "${admin[@]}" find-vm-in-vapp Acme web-tier "$odd"; status 1
  run "${admin[@]}" delete-vm Acme Acme-Gold web-tier nope --yes; status 1; err_has "DeleteVM:"
fi
  ;;

builtin)
  # Without --server the tool starts the simulator, says so, and has stopped it when it exits.
  run version; status 0; out_has "10.5.1"; err_has "started the built-in simulated cloud at https://127.0.0.1:"
  pid=$(sed -n 's/.*(pid \([0-9]*\)).*/\1/p' "$work/err")
  [ -n "$pid" ] && ! kill -0 "$pid" 2>/dev/null && ok || bad "the simulator (pid $pid) still runs"
  run --user bob@Globex vdcs Globex; status 0; out_is $'Globex-DR\nGlobex-Prod'
  run --quiet vdcs Acme; status 0; [ ! -s "$work/err" ] && ok || bad "--quiet still wrote to stderr"
  # A failing command stops it too.
  run vdcs Nowhere; status 1; err_has "GetVdcListInOrg:"
  pid=$(sed -n 's/.*(pid \([0-9]*\)).*/\1/p' "$work/err")
  [ -n "$pid" ] && ! kill -0 "$pid" 2>/dev/null && ok || bad "the simulator (pid $pid) outlived a failed command"

  # Ctrl-C: the tool stops the simulator, then ends by the signal.
  "$tool" sim >"$work/out" 2>"$work/err" </dev/null &
  toolpid=$!
  for _ in $(seq 1 600); do grep -q "pid [0-9]" "$work/err" && break; sleep 0.1; done
  pid=$(sed -n 's/.*(pid \([0-9]*\)).*/\1/p' "$work/err")
  kill -INT "$toolpid"
  wait "$toolpid"
  rc=$?; last="sim, then SIGINT"
  status 130; out_has "http://127.0.0.1:"
  [ -n "$pid" ] && ! kill -0 "$pid" 2>/dev/null && ok || bad "the simulator (pid $pid) outlived Ctrl-C"

  # The demo, end to end.
  run demo; status 0; out_has "9/9"; out_has "Done: 9 steps"; out_has "web-01-restored"
  ;;
*)
  echo "unknown group $group"; exit 2 ;;
esac

echo "$group: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
