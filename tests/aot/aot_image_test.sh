#!/usr/bin/env bash
# The wrapper's ahead-of-time image, one case per run, through the command-line tool (which starts the
# runtime and loads the wrapper as an agent does) with Mono's AOT log on:
#   used    the image built beside the wrapper is taken, and the bridge's log says so;
#   stale   an image made from another build of an assembly of the same name is refused by Mono, the
#           wrapper runs compiled just in time, and the bridge's log says so;
#   absent  no image: the bridge's log says the wrapper is compiled just in time.
# usage: aot_image_test.sh CASE TOOL HOME_DIR TEST_HOME_DIR
set -euo pipefail
case_name=$1 tool=$2 home=$3 testhome=$4
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL ($case_name): $*"; echo "--- output:"; cat "$work/out" "$work/err" 2>/dev/null; exit 1; }

[ -f "$home/vCloudSDKWrapper.dll.so" ] || fail "the build made no $home/vCloudSDKWrapper.dll.so"
cp -r "$home" "$work/home"
image="$work/home/vCloudSDKWrapper.dll.so"
case "$case_name" in
  used) ;;
  # The test double is another assembly named vCloudSDKWrapper: to Mono, a newer build of the wrapper.
  stale) cp "$testhome/vCloudSDKWrapper.dll" "$work/home/vCloudSDKWrapper.dll" ;;
  absent) rm "$image" ;;
  *) fail "unknown case" ;;
esac

# A closed loopback port: the command fails at Connect, after the runtime has started and loaded the wrapper.
status=0
XQ_DEBUG_LEVEL=1 MONO_LOG_LEVEL=info MONO_LOG_MASK=aot VCB_PASSWORD=x \
  "$tool" --quiet --home "$work/home" --server http://127.0.0.1:9 --allow-http --user a@System --option retries=0 login \
  >"$work/out" 2>"$work/err" || status=$?
[ "$status" -lt 128 ] || fail "the tool ended with signal $((status - 128))"

has() { grep -qF -- "$1" "$work/out" "$work/err" || fail "no line with: $1"; }
hasnt() { ! grep -qF -- "$1" "$work/out" "$work/err" || fail "a line with: $1"; }
case "$case_name" in
  used)
    has "AOT: image '$image' found."
    has "the wrapper runs from its ahead-of-time image $image"
    hasnt "not in use" ;;
  stale)
    has "AOT: module $image is unusable: doesn't match assembly."
    has "the ahead-of-time image $image is not in use"
    hasnt "the wrapper runs from its ahead-of-time image" ;;
  absent)
    has "no ahead-of-time image $image: the wrapper is compiled just in time"
    hasnt "the wrapper runs from its ahead-of-time image" ;;
esac
echo "ok: $case_name"
