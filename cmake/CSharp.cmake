# Compiling C# assemblies with Mono's mcs as part of the CMake build.
find_program(MCS_EXECUTABLE mcs REQUIRED)

# vcb_add_csharp(<target> OUTPUT <file.dll|file.exe> SOURCES <files...>
#                [TARGET_KIND library|exe] [REFERENCES <System.Xml ...>] [DEPENDS <targets/files>])
# Builds one assembly with mcs whenever one of its sources changes.
function(vcb_add_csharp target)
  cmake_parse_arguments(CS "" "OUTPUT;TARGET_KIND" "SOURCES;REFERENCES;DEPENDS" ${ARGN})
  if(NOT CS_TARGET_KIND)
    set(CS_TARGET_KIND library)
  endif()
  set(refs)
  foreach(r IN LISTS CS_REFERENCES)
    list(APPEND refs "-r:${r}")
  endforeach()
  set(srcs)
  foreach(s IN LISTS CS_SOURCES)
    get_filename_component(abs "${s}" ABSOLUTE)
    list(APPEND srcs "${abs}")
  endforeach()
  get_filename_component(outdir "${CS_OUTPUT}" DIRECTORY)
  add_custom_command(
    OUTPUT "${CS_OUTPUT}"
    COMMAND ${CMAKE_COMMAND} -E make_directory "${outdir}"
    COMMAND ${MCS_EXECUTABLE} -nologo -warn:4 -debug- -optimize+ -target:${CS_TARGET_KIND}
            -out:${CS_OUTPUT} ${refs} ${srcs}
    DEPENDS ${srcs} ${CS_DEPENDS}
    COMMENT "mcs ${CS_OUTPUT}"
    VERBATIM)
  add_custom_target(${target} ALL DEPENDS "${CS_OUTPUT}")
endfunction()
