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

# vcb_add_aot_image(<target> ASSEMBLY <file.dll> [COMPONENT <install component> DESTINATION <dir>])
# Compiles an assembly ahead of time with Mono into <file.dll>.so beside it, which Mono loads in place of
# compiling the assembly's methods when a process starts. Mono takes the image only when it was made from
# that very build of the assembly; an image left beside a newer build is refused and the methods are
# compiled just in time. Skipped, with a message, where mono, as or ld is missing or VCB_AOT is OFF.
option(VCB_AOT "Compile the managed wrapper ahead of time (needs mono, as and ld)" ON)
find_program(MONO_EXECUTABLE mono)
find_program(VCB_AS_EXECUTABLE as)
find_program(VCB_LD_EXECUTABLE ld)
function(vcb_add_aot_image target)
  cmake_parse_arguments(AOT "" "ASSEMBLY;COMPONENT;DESTINATION" "" ${ARGN})
  if(NOT VCB_AOT OR NOT MONO_EXECUTABLE OR NOT VCB_AS_EXECUTABLE OR NOT VCB_LD_EXECUTABLE)
    message(STATUS "${AOT_ASSEMBLY}: no ahead-of-time image (VCB_AOT=${VCB_AOT}; mono, as and ld needed); compiled just in time")
    return()
  endif()
  set(image "${AOT_ASSEMBLY}.so")
  add_custom_command(
    OUTPUT "${image}"
    COMMAND ${MONO_EXECUTABLE} --aot=outfile=${image} "${AOT_ASSEMBLY}"
    DEPENDS "${AOT_ASSEMBLY}"
    COMMENT "mono --aot ${image}"
    VERBATIM)
  add_custom_target(${target} ALL DEPENDS "${image}")
  if(AOT_COMPONENT)
    install(FILES "${image}" DESTINATION "${AOT_DESTINATION}" COMPONENT ${AOT_COMPONENT})
  endif()
endfunction()
