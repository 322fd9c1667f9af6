#!/usr/bin/env bash
# Writes a help2man include file with one subsection per command of vcloud-bridge, holding that
# command's own --help text, so that the manual page documents every command's arguments and options.
# usage: manpage-commands.sh TOOL OUTPUT
set -euo pipefail
tool=$1
help=$("$tool" --help)
{
  echo "[COMMANDS IN DETAIL]"
  awk '/^Commands:/ { f = 1; next } f && /^$/ { exit } f { print $1 }' <<<"$help" | while read -r cmd; do
    echo ".SS $cmd"
    echo ".nf"
    # Roff: a backslash is written \e, and a line must not start with a control character.
    "$tool" "$cmd" --help | sed -e 's/\\/\\e/g' -e "s/^[.']/\\\\\\&&/"
    echo ".fi"
  done
} >"$2"
