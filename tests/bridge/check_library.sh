#!/usr/bin/env bash
# Checks the built library: it exports the bridge class, the value layer and the four globals and
# nothing else, and carries its version line in a section that is not loaded.
set -u
lib=$1
fail=0
syms=$(nm -D --defined-only "$lib" | c++filt | awk '{ $1=""; $2=""; print substr($0,3) }')
for want in 'vCloudSDKCppBridge::CVCloudSDKCppBridge::Initialize(' 'vCloudSDKCppBridge::CVCloudSDKCppBridge::QueryVcenterForOrgVDC(' \
            'std2gc(' 'gc2std' 'LogException(' 'LogNotPorted(' 'mono_image_get_classes(' 'DumpMethod(' \
            'NewManagedObjectVCloud(' 'SetFieldValue(' 'IsStringFieldEmpty(' \
            'g_domain' 'g_vCloudImage' 'g_vCloudMonoVersion' 'g_vCloudDebug'; do
  grep -qF -- "$want" <<<"$syms" || { echo "missing export: $want"; fail=1; }
done
ops=$(grep -c -E '^vCloudSDKCppBridge::CVCloudSDKCppBridge::~?[A-Za-z]+(\[abi:cxx11\])?\(' <<<"$syms")
# 33 operations, the two FindVM and BackupVM overloads counted once each more, plus the two constructor
# and two destructor symbols.
[ "$ops" -eq 37 ] || { echo "expected 37 class symbols, found $ops"; fail=1; }
others=$(grep -v -E '^(vCloudSDKCppBridge::CVCloudSDKCppBridge::|std2gc|gc2std|LogException|LogNotPorted|mono_image_get_classes|Dump|NewManaged|Get[A-Za-z]*FieldValue|IsStringFieldEmpty|SetFieldValue|g_domain|g_vCloudImage|g_vCloudMonoVersion|g_vCloudDebug)' <<<"$syms")
[ -z "$others" ] || { echo "unexpected exports:"; echo "$others"; fail=1; }
grep -q 'DateTimeToTimeT' <<<"$syms" && { echo "DateTimeToTimeT must stay internal"; fail=1; }
flags=$(readelf -S -W "$lib" | awk '$2 == "XqVersion" { print $8 }')
[ -n "$(readelf -S -W "$lib" | grep ' XqVersion ')" ] || { echo "no XqVersion section"; fail=1; }
readelf -S -W "$lib" | grep ' XqVersion ' | grep -q ' A ' && { echo "XqVersion must not be loaded"; fail=1; }
tmp=$(mktemp)
objcopy --dump-section XqVersion="$tmp" "$lib" /dev/null
line=$(od -An -c "$tmp" | tr -d ' \n')
text=$(cat "$tmp")
rm -f "$tmp"
grep -qE '^[0-9]+\.[0-9]+\.[0-9]+\.[0-9]+ [0-9]{2}/[0-9]{2}/[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}$' <<<"$text" \
  || { echo "bad version line: $text"; fail=1; }
[ "${line: -2}" = '\n' ] || { echo "version line does not end in a newline"; fail=1; }
[ $fail -eq 0 ] && echo "library exports and version line: ok"
exit $fail
