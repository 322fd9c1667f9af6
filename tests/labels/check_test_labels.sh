#!/usr/bin/env bash
# Configures small projects with cmake/TestLabels.cmake: each way of adding a test without a label stops
# configuring with a message that names the test or the directory; labelled tests configure.
#   check_test_labels.sh CMAKE_MODULE_DIR CMAKE
set -uo pipefail
modules=${1:?usage: check_test_labels.sh CMAKE_MODULE_DIR CMAKE}
cmake=${2:-cmake}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=0

# project NAME TOP_EXTRA SUB_BODY: a project whose subdirectory 'area' holds SUB_BODY.
project() {
  local dir=$work/$1
  mkdir -p "$dir/area"
  cat >"$dir/CMakeLists.txt" <<CMAKE
cmake_minimum_required(VERSION 3.18)
project(labels CXX)
enable_testing()
list(APPEND CMAKE_MODULE_PATH "$modules")
include(TestLabels)
add_subdirectory(area)
vcb_require_checked_test_dirs("\${CMAKE_CURRENT_SOURCE_DIR}")
CMAKE
  printf '%s\n' "$2" >"$dir/area/CMakeLists.txt"
  echo 'int main() { return 0; }' >"$dir/area/main.cpp"
}

# expect NAME ok|fail [TEXT]: configures project NAME and checks the outcome and the message.
expect() {
  local out status
  out=$("$cmake" -S "$work/$1" -B "$work/$1/build" 2>&1)
  status=$?
  if [ "$2" = ok ] && [ $status -ne 0 ]; then
    echo "FAIL $1: configuring failed:"; echo "$out"; failed=1; return
  fi
  if [ "$2" = fail ] && [ $status -eq 0 ]; then
    echo "FAIL $1: configured although a test has no label"; failed=1; return
  fi
  if [ -n "${3:-}" ] && ! grep -q -- "$3" <<<"$(tr -s ' \n' ' ' <<<"$out")"; then
    echo "FAIL $1: the message lacks '$3':"; echo "$out"; failed=1; return
  fi
  echo "ok   $1"
}

project labelled 'include(TestLabels)
add_test(NAME one COMMAND true)
add_test(NAME two COMMAND true)
set_tests_properties(one two PROPERTIES LABELS group)
add_executable(found main.cpp)
vcb_discover_tests(found PROPERTIES TIMEOUT 5 LABELS group DISCOVERY_MODE PRE_TEST)'
expect labelled ok

project one-unlabelled 'include(TestLabels)
add_test(NAME one COMMAND true)
add_test(NAME two COMMAND true)
set_tests_properties(one PROPERTIES LABELS group)'
expect one-unlabelled fail "test two"

project labels-elsewhere 'include(TestLabels)
add_test(NAME one COMMAND true)
set_tests_properties(one PROPERTIES TIMEOUT 5)'
expect labels-elsewhere fail "test one"

project unchecked-directory 'add_test(NAME one COMMAND true)
set_tests_properties(one PROPERTIES LABELS group)'
expect unchecked-directory fail "adds tests without include(TestLabels)"

project plain-discovery 'include(TestLabels)
add_executable(found main.cpp)
gtest_discover_tests(found PROPERTIES LABELS group)'
expect plain-discovery fail "discovers tests without LABELS"

project discovery-unlabelled 'include(TestLabels)
add_executable(found main.cpp)
vcb_discover_tests(found TEST_PREFIX "x." PROPERTIES TIMEOUT 5)'
expect discovery-unlabelled fail "the tests of found"

# LABELS outside PROPERTIES is the test prefix's text, not a label.
project discovery-label-as-prefix 'include(TestLabels)
add_executable(found main.cpp)
vcb_discover_tests(found PROPERTIES TIMEOUT 5 TEST_PREFIX LABELS)'
expect discovery-label-as-prefix fail "the tests of found"

exit $failed
