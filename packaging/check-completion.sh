#!/usr/bin/env bash
# Checks the bash completion of vcloud-bridge against the tool's own help: commands, global and command
# options, file and directory values, and nothing offered where the tool takes free text.
# usage: check-completion.sh COMPLETION_FILE TOOL
set -euo pipefail
# shellcheck disable=SC1090
source "$1"
tool=$2
failures=0

# complete WORDS... : what TAB offers after the words (the last word is the one being completed).
complete_words() {
  COMP_WORDS=("$tool" "$@")
  COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
  _vcloud_bridge
  printf '%s\n' "${COMPREPLY[@]}" | sort | tr '\n' ' ' | sed 's/ $//'
}
expect() {  # expect "WANT" WORDS...
  local want=$1 got
  shift
  got=$(complete_words "$@")
  if [ "$got" != "$want" ]; then
    echo "FAIL: vcloud-bridge $* <TAB>: offered '$got', want '$want'"
    failures=$((failures + 1))
  fi
}

# Every command of the help text, and only those.
help=$("$tool" --help)
commands=$(awk '/^Commands:/ { f = 1; next } f && /^$/ { exit } f { print $1 }' <<<"$help" | sort | tr '\n' ' ' | sed 's/ $//')
[ "$(wc -w <<<"$commands")" -ge 20 ] || { echo "FAIL: the help lists only: $commands"; exit 1; }
expect "$commands" ""
expect "vapps vcenter-for-vdc vdcs version vm-info vm-moref vm-users vms" v
# Options and their values do not count as the command.
expect "vm-info vm-moref vm-users vms" --json vm
expect "vm-info vm-moref vm-users vms" --log /tmp/x.log --debug-level 2 vm
expect "" vdcs A
expect "delete-vm delete-vm-in-vapp demo" help de
# Global options anywhere, a command's own options after it.
expect "--allow-http --ascii --auth" --a
expect "api-token" --auth a
expect "none" --proxy n
expect "--by --by-name" vms --b
expect "--by --by-name" --quiet vms --b
expect "" vdcs --b
# Values: files and directories where the help asks for them, nothing for free text.
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
mkdir "$dir/sub"
touch "$dir/ca.pem"
expect "$dir/ca.pem $dir/sub" --ca-file "$dir/"
expect "$dir/sub" --home "$dir/"
expect "" --server h
expect "" vms --max 1

[ "$failures" -eq 0 ] || exit 1
echo "completion: ok"
