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

# vcb_add_framework_aot_images(<target> ROOT <dir> ASSEMBLIES <names...> [COMPONENT <c> DESTINATION <dir>])
# Compiles framework assemblies of the Mono that builds us (<its root>/mono/4.5/<name>.dll) ahead of time
# into a Mono root of our own, ROOT: the images in ROOT/mono/aot-cache/amd64, where Mono looks for the image
# of an assembly from the GAC, and ROOT/mono/4.5 and ROOT/mono/gac as links back to that Mono's framework,
# with its own image of mscorlib linked beside ours. The runtime host takes ROOT as its root only when those
# links lead to its own framework. Nothing is written into Mono's directories. Each image is remade when
# its assembly changes; skipped, like vcb_add_aot_image, without mono, as or ld or with VCB_AOT OFF.
function(vcb_add_framework_aot_images target)
  cmake_parse_arguments(FW "" "ROOT;COMPONENT;DESTINATION" "ASSEMBLIES" ${ARGN})
  if(NOT VCB_AOT OR NOT MONO_EXECUTABLE OR NOT VCB_AS_EXECUTABLE OR NOT VCB_LD_EXECUTABLE)
    message(STATUS "framework: no ahead-of-time images (VCB_AOT=${VCB_AOT}; mono, as and ld needed); compiled just in time")
    return()
  endif()
  pkg_get_variable(_fw_libdir mono-2 libdir)
  get_filename_component(_fw_monoroot "${_fw_libdir}" REALPATH)
  if(NOT EXISTS "${_fw_monoroot}/mono/4.5/mscorlib.dll" OR NOT IS_DIRECTORY "${_fw_monoroot}/mono/gac")
    message(STATUS "framework: no mono/4.5/mscorlib.dll or mono/gac under ${_fw_monoroot}; compiled just in time")
    return()
  endif()
  set(cache "${FW_ROOT}/mono/aot-cache/amd64")
  file(MAKE_DIRECTORY "${cache}")
  file(CREATE_LINK "${_fw_monoroot}/mono/4.5" "${FW_ROOT}/mono/4.5" SYMBOLIC)
  file(CREATE_LINK "${_fw_monoroot}/mono/gac" "${FW_ROOT}/mono/gac" SYMBOLIC)
  # Debian makes mscorlib's image when Mono is installed; without it, mscorlib is compiled just in time as before.
  set(links "${FW_ROOT}/mono/4.5" "${FW_ROOT}/mono/gac")
  set(corlib)
  if(EXISTS "${_fw_monoroot}/mono/aot-cache/amd64/mscorlib.dll.so")
    file(CREATE_LINK "${_fw_monoroot}/mono/aot-cache/amd64/mscorlib.dll.so" "${cache}/mscorlib.dll.so" SYMBOLIC)
    set(corlib "${cache}/mscorlib.dll.so")
  endif()
  set(images)
  foreach(name IN LISTS FW_ASSEMBLIES)
    set(assembly "${_fw_monoroot}/mono/4.5/${name}.dll")
    if(NOT EXISTS "${assembly}")
      message(FATAL_ERROR "framework: ${assembly} is missing")
    endif()
    set(image "${cache}/${name}.dll.so")
    add_custom_command(
      OUTPUT "${image}"
      COMMAND ${MONO_EXECUTABLE} --aot=outfile=${image} "${assembly}"
      DEPENDS "${assembly}"
      COMMENT "mono --aot ${image}"
      VERBATIM)
    list(APPEND images "${image}")
  endforeach()
  add_custom_target(${target} ALL DEPENDS ${images})
  if(FW_COMPONENT)
    get_filename_component(rootname "${FW_ROOT}" NAME)
    install(FILES ${links} DESTINATION "${FW_DESTINATION}/${rootname}/mono"
            COMPONENT ${FW_COMPONENT})
    install(FILES ${images} ${corlib} DESTINATION "${FW_DESTINATION}/${rootname}/mono/aot-cache/amd64"
            COMPONENT ${FW_COMPONENT})
  endif()
endfunction()
