#!/usr/bin/env bash
# Installs the Debian 12 packages needed to build, test and run the project (as root, or through sudo).
# usage: install-deps.sh [--packaging] [--profiling] [--bench]
set -euo pipefail
pkgs=(
  build-essential cmake pkg-config git
  libgtest-dev libgmock-dev libbenchmark-dev
  libmono-2.0-dev mono-mcs mono-runtime
  libmono-system-net-http4.0-cil libmono-system-xml-linq4.0-cil libmono-system-web4.0-cil libmono-posix4.0-cil libmono-security4.0-cil
  python3 help2man doxygen curl openssl tinyproxy nginx
)
# With --packaging, also what builds and checks the Debian packages (scripts/package-check.sh); with
# --profiling, what profiles the benchmarks' VM list (bench/profile-vmlist.sh: perf, Mono's mprof-report) and
# draws the report's plot (gnuplot); with --bench, what bench/run-benchmarks.sh needs besides the build: the
# Python walker's baseline (requests, lxml), the profiles and the plot.
for option in "$@"; do
  case "$option" in
    --packaging) pkgs+=(dpkg-dev debhelper lintian) ;;
    --profiling) pkgs+=(linux-perf mono-utils libmono-profiler gnuplot-nox) ;;
    --bench) pkgs+=(python3-requests python3-lxml linux-perf mono-utils libmono-profiler gnuplot-nox) ;;
  esac
done
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO=sudo
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update
$SUDO apt-get install -y --no-install-recommends "${missing[@]}"
