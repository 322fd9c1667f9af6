#!/usr/bin/env bash
# The wrapper's ahead-of-time image, one case per run, through the command-line tool (which starts the
# runtime and loads the wrapper as an agent does) with Mono's AOT log on:
#   used    the image built beside the wrapper is taken, and the bridge's log says so;
#   stale   an image made from another build of an assembly of the same name is refused by Mono, the
#           wrapper runs compiled just in time, and the bridge's log says so;
#   absent  no image: the bridge's log says the wrapper is compiled just in time.
# And the framework's images in the Mono root of our own beside the wrapper (framework-aot/):
#   framework-used     the runtime takes that root and every image in it, and the command still reaches
#                      the network (Mono's native libraries are still found where its configuration says);
#   framework-stale    an image made from another assembly is refused by Mono, the others are taken;
#   framework-foreign, framework-foreign-gac
#                      a root whose mono/4.5 or mono/gac leads to another framework than the runtime's own
#                      is not taken: the framework is compiled just in time;
#   framework-absent   no such root: the same, and the wrapper's image is still taken;
#   framework-no-images a root without its aot-cache: not taken either, since under it Mono would also
#                      miss the system's own image of mscorlib;
#   framework-relative a home directory given by a relative path: the runtime takes the root by its
#                      absolute path, which holds when the host changes its working directory.
# usage: aot_image_test.sh CASE TOOL HOME_DIR TEST_HOME_DIR
set -euo pipefail
case_name=$1 tool=$2 home=$3 testhome=$4
work=$(realpath "$(mktemp -d)")
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL ($case_name): $*"; echo "--- output:"; cat "$work/out" "$work/err" 2>/dev/null; exit 1; }

[ -f "$home/vCloudSDKWrapper.dll.so" ] || fail "the build made no $home/vCloudSDKWrapper.dll.so"
cp -r "$home" "$work/home"
image="$work/home/vCloudSDKWrapper.dll.so"
fwroot="$work/home/framework-aot"
fwcache="$fwroot/mono/aot-cache/amd64"
[ "$case_name" = absent ] || [ "$case_name" = stale ] || [ "$case_name" = used ] || [ -d "$fwcache" ] ||
  fail "the build made no framework images in $home/framework-aot"
# The images the build made (mscorlib's is a link to the system's own), in the order the bridge names them.
images() { find "$fwcache" -maxdepth 1 -type f -name '*.dll.so' -printf '%f\n' | LC_ALL=C sort | grep -vx "${1:-}" | paste -sd' '; }
case "$case_name" in
  used | framework-used) ;;
  framework-stale) cp "$fwcache/System.Net.Http.dll.so" "$fwcache/System.Xml.Linq.dll.so" ;;
  framework-foreign) mkdir -p "$work/other/4.5" && ln -sfn "$work/other/4.5" "$fwroot/mono/4.5" ;;
  framework-foreign-gac) mkdir -p "$work/other/gac" && ln -sfn "$work/other/gac" "$fwroot/mono/gac" ;;
  framework-absent) rm -r "$fwroot" ;;
  framework-no-images) rm -r "$fwcache" ;;
  framework-relative) ;;
  # The test double is another assembly named vCloudSDKWrapper: to Mono, a newer build of the wrapper.
  stale) cp "$testhome/vCloudSDKWrapper.dll" "$work/home/vCloudSDKWrapper.dll" ;;
  absent) rm "$image" ;;
  *) fail "unknown case" ;;
esac

# A closed loopback port: the command fails at Connect, after the runtime has started and loaded the wrapper.
status=0
homearg=(--home "$work/home")
if [ "$case_name" = framework-relative ]; then cd "$work"; homearg=(); export XQ_HOME=home; fi
XQ_DEBUG_LEVEL=1 MONO_LOG_LEVEL=info MONO_LOG_MASK=aot VCB_PASSWORD=x \
  "$tool" --quiet "${homearg[@]}" --server http://127.0.0.1:9 --allow-http --user a@System --option retries=0 login \
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
  framework-used)
    [ "$(images | wc -w)" -ge 1 ] || fail "no images in $fwcache"
    has "the framework runs from the ahead-of-time images in $fwcache/: $(images)"
    hasnt "unusable" ;;
  framework-stale)
    has "AOT: module (null) is unusable: doesn't match assembly."
    has "the framework runs from the ahead-of-time images in $fwcache/: $(images System.Xml.Linq.dll.so)" ;;
  framework-foreign)
    has "the framework images in $fwroot were made for another Mono ($fwroot/mono/4.5 does not lead to "
    hasnt "the framework runs from" ;;
  framework-foreign-gac)
    has "the framework images in $fwroot were made for another Mono ($fwroot/mono/gac does not lead to "
    hasnt "the framework runs from" ;;
  framework-relative)
    has "the framework runs from the ahead-of-time images in $fwcache/: $(images)"
    # Mono names the root it was given where it looks for the image of an assembly that has none here
    # (System.Core, for one).
    has "AOT: image '$fwcache/"
    hasnt "AOT: image 'home/" ;;
  framework-absent | framework-no-images)
    has "no framework images in $fwroot: the framework is compiled just in time"
    has "the wrapper runs from its ahead-of-time image $image"
    hasnt "the framework runs from" ;;
esac
# Whatever the images, the runtime started, the wrapper ran and the request reached the network (the test
# double of the stale case answers without one).
[ "$case_name" = stale ] || has "cannot reach http://127.0.0.1:9"
echo "ok: $case_name"
