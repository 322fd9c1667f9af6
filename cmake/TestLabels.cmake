# Every test names its group in LABELS, so that `ctest -L GROUP` and every script that picks tests by
# label finds it. A directory that adds tests includes this file; once the directory has been read, its
# tests are checked and configuring stops at the first one without a label. The top level then refuses
# any directory that added tests without including this file.
#
# Tests that GoogleTest finds at build time are named only then, so they are added through
# vcb_discover_tests, which requires LABELS among their PROPERTIES.
include(GoogleTest)

# gtest_discover_tests(TARGET ...) whose PROPERTIES must give LABELS.
function(vcb_discover_tests target)
  set(_in_properties FALSE)
  set(_labelled FALSE)
  foreach(_arg IN LISTS ARGN)
    if(_arg STREQUAL "PROPERTIES")
      set(_in_properties TRUE)
    elseif(_arg MATCHES "^(EXTRA_ARGS|WORKING_DIRECTORY|TEST_PREFIX|TEST_SUFFIX|TEST_FILTER|NO_PRETTY_TYPES|NO_PRETTY_VALUES|TEST_LIST|DISCOVERY_TIMEOUT|XML_OUTPUT_DIR|DISCOVERY_MODE)$")
      set(_in_properties FALSE)
    elseif(_in_properties AND _arg STREQUAL "LABELS")
      set(_labelled TRUE)
    endif()
  endforeach()
  if(NOT _labelled)
    message(FATAL_ERROR "the tests of ${target} (${CMAKE_CURRENT_SOURCE_DIR}) have no LABELS: "
                        "give PROPERTIES LABELS <group> to vcb_discover_tests")
  endif()
  gtest_discover_tests(${target} ${ARGN})
  set_property(DIRECTORY APPEND PROPERTY VCB_LABELLED_DISCOVERIES ${target})
endfunction()

# Checks the current directory's tests; run at the end of the directory.
function(_vcb_check_test_labels)
  get_property(_tests DIRECTORY PROPERTY TESTS)
  foreach(_test IN LISTS _tests)
    get_test_property(${_test} LABELS _labels)
    if(NOT _labels)
      message(FATAL_ERROR "test ${_test} (${CMAKE_CURRENT_SOURCE_DIR}) has no LABELS: name its group "
                          "with set_tests_properties(${_test} PROPERTIES LABELS <group>)")
    endif()
  endforeach()
  # gtest_discover_tests adds one include file per call; each must have come through vcb_discover_tests.
  get_property(_includes DIRECTORY PROPERTY TEST_INCLUDE_FILES)
  get_property(_labelled DIRECTORY PROPERTY VCB_LABELLED_DISCOVERIES)
  list(LENGTH _includes _found)
  list(LENGTH _labelled _checked)
  if(_found GREATER _checked)
    message(FATAL_ERROR "${CMAKE_CURRENT_SOURCE_DIR} discovers tests without LABELS: use vcb_discover_tests "
                        "with PROPERTIES LABELS <group> instead of gtest_discover_tests")
  endif()
  set_property(GLOBAL APPEND PROPERTY VCB_LABEL_CHECKED_DIRS "${CMAKE_CURRENT_SOURCE_DIR}")
endfunction()

get_property(_vcb_check_deferred DIRECTORY PROPERTY VCB_LABEL_CHECK_DEFERRED)
if(NOT _vcb_check_deferred)
  set_property(DIRECTORY PROPERTY VCB_LABEL_CHECK_DEFERRED TRUE)
  cmake_language(DEFER CALL _vcb_check_test_labels)
endif()

# For the top level, after every directory has been read: a directory with tests that were never checked.
function(vcb_require_checked_test_dirs dir)
  get_property(_checked GLOBAL PROPERTY VCB_LABEL_CHECKED_DIRS)
  get_property(_tests DIRECTORY "${dir}" PROPERTY TESTS)
  get_property(_includes DIRECTORY "${dir}" PROPERTY TEST_INCLUDE_FILES)
  if((_tests OR _includes) AND NOT dir IN_LIST _checked)
    message(FATAL_ERROR "${dir} adds tests without include(TestLabels), so nothing checks their LABELS")
  endif()
  get_property(_subdirs DIRECTORY "${dir}" PROPERTY SUBDIRECTORIES)
  foreach(_sub IN LISTS _subdirs)
    vcb_require_checked_test_dirs("${_sub}")
  endforeach()
endfunction()
