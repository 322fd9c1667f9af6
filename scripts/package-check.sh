#!/usr/bin/env bash
# Builds the Debian packages with Debian's own tools, checks them with lintian (any tag that is not
# overridden fails), installs them, checks that the installed tool runs the wrapper and the framework from
# their ahead-of-time images, builds the example consumer against the installed -dev package, runs
# the tool and the consumer against the installed simulator, then purges the packages and checks that
# nothing of them is left behind. Without root or sudo, the packages are unpacked into a scratch root
# instead of installed, and the purge check is skipped. The packages stay in $OUT_DIR (default build-deb/).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=${OUT_DIR:-$root/build-deb}
packages=(libvcloudsdkcppbridge libvcloudsdkcppbridge-dev vcloud-bridge vcloud-bridge-sim)
SUDO=""
install=system
if [ "$(id -u)" -ne 0 ]; then
  if sudo -n true 2>/dev/null; then SUDO=sudo; else install=scratch; fi
fi
apt_get() { $SUDO env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 "$@"; }
fail() { echo "package-check: FAIL: $*" >&2; exit 1; }
# Whether dpkg knows a package in any state but "not installed" (config files left count as present).
present() { local s; s=$(dpkg-query -W -f='${Status}' "$1" 2>/dev/null || true); [ -n "$s" ] && [[ $s != *not-installed ]]; }
step() { echo "== $* ($(( $(date +%s) - start ))s)"; }
start=$(date +%s)

bash "$root/scripts/install-deps.sh" --packaging
for p in "${packages[@]}"; do
  if [ "$install" = system ] && present "$p"; then
    fail "$p is installed already; remove it first (apt-get purge ${packages[*]})"
  fi
done

# The source tree as a source package: the files git knows, with packaging/debian as debian/.
step "building the packages"
rm -rf "$out"
mkdir -p "$out/src"
if git -C "$root" rev-parse --git-dir >/dev/null 2>&1; then
  (cd "$root" && git ls-files -z --cached --others --exclude-standard | tar --null --no-recursion -T - -cf -)
else
  (cd "$root" && tar --exclude='./build*' --exclude=./.git -cf - .)
fi | tar -xf - -C "$out/src"
cp -a "$root/packaging/debian" "$out/src/debian"
(cd "$out/src" && DEB_BUILD_OPTIONS="nocheck parallel=${JOBS:-2}" dpkg-buildpackage -b -us -uc) \
  >"$out/build.log" 2>&1 || { tail -40 "$out/build.log"; fail "dpkg-buildpackage (log: $out/build.log)"; }
changes=$(ls "$out"/*.changes)
for p in "${packages[@]}"; do
  deb=$(ls "$out/${p}_"*.deb)
  printf '%-28s %8s bytes  Depends: %s\n' "$(basename "$deb")" "$(stat -c %s "$deb")" "$(dpkg-deb -f "$deb" Depends)"
done

step "lintian"
# Every tag counts, down to the pedantic and experimental ones; an override carries the reason where a tag
# does not apply.
status=0
lintian --display-info --pedantic --display-experimental \
  --fail-on error,warning,info,pedantic,experimental "$changes" >"$out/lintian.txt" 2>"$out/lintian.err" || status=$?
cat "$out/lintian.txt"
[ "$status" -eq 0 ] || { grep -v 'running with root privileges' "$out/lintian.err" || true; fail "lintian reported the tags above"; }
echo "lintian: $(grep -c '^[EWIPX]:' "$out/lintian.txt" || true) tags;" \
  "$(cat "$root"/packaging/debian/*.lintian-overrides | grep -c '^[a-z]' || true) overrides, each with its reason"

if [ "$install" = scratch ]; then
  step "unpacking into a scratch root (no root, no sudo)"
  for p in "${packages[@]}"; do dpkg-deb -x "$(ls "$out/${p}_"*.deb)" "$out/root"; done
  bash "$root/examples/consumer/check-install.sh" --prefix "$out/root/usr"
  step "packages built, lintian-clean, unpacked and used (not installed: no root)"
  exit 0
fi

step "installing"
debs=()
for p in "${packages[@]}"; do debs+=("$(ls "$out/${p}_"*.deb)"); done
apt_get install -y --no-install-recommends "${debs[@]}" >"$out/install.log" 2>&1 ||
  { cat "$out/install.log"; fail "apt-get install"; }
installed_files=$(for p in "${packages[@]}"; do dpkg -L "$p"; done | sort -u)
trap 'apt_get purge -y "${packages[@]}" >/dev/null 2>&1 || true' EXIT

# The manual page and the completion the tool's package installs.
if command -v man >/dev/null; then
  man -w vcloud-bridge >/dev/null || fail "man vcloud-bridge finds no page"
fi
[ "$(zcat /usr/share/man/man1/vcloud-bridge.1.gz | grep -c '^\.SH SYNOPSIS')" -ge 1 ] || fail "the manual page has no synopsis"
offered=$(bash -c 'source /usr/share/bash-completion/completions/vcloud-bridge
  COMP_WORDS=(vcloud-bridge ver); COMP_CWORD=1; _vcloud_bridge; echo "${COMPREPLY[*]}"')
[ "$offered" = version ] || fail "completing 'vcloud-bridge ver' offered '$offered'"

step "the installed tool runs the wrapper and the framework from their ahead-of-time images"
# A closed loopback port: the command fails at Connect, after the runtime has loaded the wrapper.
VCB_PASSWORD=x XQ_DEBUG_LEVEL=1 vcloud-bridge --quiet --server http://127.0.0.1:9 --allow-http --user a@System \
  --option retries=0 login >"$out/aot.log" 2>&1 || true
for line in "the wrapper runs from its ahead-of-time image" "the framework runs from the ahead-of-time images in" \
  "cannot reach http://127.0.0.1:9"; do
  grep -qF "$line" "$out/aot.log" || { cat "$out/aot.log"; fail "the installed tool's log has no line with: $line"; }
done

step "the tool and the consumer against the installed simulator"
bash "$root/examples/consumer/check-install.sh" --prefix /usr

step "purging"
trap - EXIT
apt_get purge -y "${packages[@]}" >"$out/purge.log" 2>&1 || { cat "$out/purge.log"; fail "apt-get purge"; }
for p in "${packages[@]}"; do
  if [ "$install" = system ] && present "$p"; then
    fail "$p is still known to dpkg after the purge"
  fi
done
# Every file and directory of the packages is gone, except directories that other packages share.
left=$(while read -r f; do
  [ "$f" != /. ] && [ -e "$f" ] || continue
  [ -d "$f" ] && [ -n "$(dpkg -S "$f" 2>/dev/null)" ] && continue
  echo "$f"
done <<<"$installed_files")
[ -z "$left" ] || fail "left behind after the purge: $left"
# Nor did running them leave anything of theirs in the system's directories.
stray=$(find /usr /etc /var/lib /var/cache /opt -xdev \( -iname '*vcloudsdkcppbridge*' -o -name 'vcloud-bridge*' \
  -o -name 'vcdsim*' -o -name 'vCloudSDKWrapper*' \) 2>/dev/null | grep -v "^$root" || true)
[ -z "$stray" ] || fail "left behind after the purge: $stray"
step "packages built, lintian-clean, installed, used and purged"
