# tarnix_add_pack(<target> DIRECTORY <dir> OUTPUT <pack> [UNCOMPRESSED] [VERIFY] [STRICT]
#                 [VOLUME_SIZE <size>])
#
# Adds a target, built with every build, that runs Tarnix on <dir> and writes <pack> (relative
# paths: to the current source and binary folders); with VOLUME_SIZE (bytes, or K, M or G),
# <pack> is the set file of a set of volumes of at most that size. The step runs only when a
# file or folder of the tree changed since it last ran (Tarnix writes a dependency file,
# <pack>.d, read through DEPFILE), and a tree whose content is the same leaves the pack
# untouched. Tarnix's output goes to <pack>.log. Each source it skips (a
# FIFO where a file was, a link whose target is gone) is a warning line in the build's output,
# or with STRICT an error that fails the build; a failed run shows the lines that say why.
function(tarnix_add_pack target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "UNCOMPRESSED;VERIFY;STRICT" "DIRECTORY;OUTPUT;VOLUME_SIZE"
                        "")
  if(NOT arg_DIRECTORY OR NOT arg_OUTPUT)
    message(FATAL_ERROR "tarnix_add_pack(${target}) needs DIRECTORY and OUTPUT")
  endif()
  # Found beside this file, whether it came with find_package or add_subdirectory.
  set(script "${CMAKE_CURRENT_FUNCTION_LIST_DIR}/TarnixRunPack.cmake")
  if(NOT EXISTS "${script}")
    message(FATAL_ERROR "tarnix_add_pack(${target}): ${script} is missing")
  endif()
  if(NOT TARGET Tarnix::Tarnix)
    message(FATAL_ERROR "tarnix_add_pack(${target}): there is no Tarnix::Tarnix program; "
                        "find_package(Tarnix) or add_subdirectory() Tarnix first")
  endif()
  get_filename_component(directory "${arg_DIRECTORY}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_SOURCE_DIR}")
  get_filename_component(output "${arg_OUTPUT}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_BINARY_DIR}")
  set(options "")
  if(arg_UNCOMPRESSED)
    list(APPEND options -uc)
  endif()
  if(arg_VERIFY)
    list(APPEND options -v)
  endif()
  if(arg_VOLUME_SIZE)
    list(APPEND options --volume-size ${arg_VOLUME_SIZE})
  endif()
  set(strict OFF)
  if(arg_STRICT)
    set(strict ON)
  endif()
  set(run ${CMAKE_COMMAND} "-DTOOL=$<TARGET_FILE:Tarnix::Tarnix>" "-DDIRECTORY=${directory}"
          "-DOUTPUT=${output}" "-DSTRICT=${strict}")
  if(CMAKE_VERSION VERSION_LESS 3.20)
    # No DEPFILE for every generator yet: the step runs on every build.
    string(REPLACE ";" "," options "${options}")
    add_custom_target(${target} ALL COMMAND ${run} "-DOPTIONS=${options}" -P "${script}"
      BYPRODUCTS "${output}" "${output}.log"
      COMMENT "Packing ${directory} into ${output}"
      VERBATIM)
    return()
  endif()
  list(APPEND options --depfile "${output}.d")
  string(REPLACE ";" "," options "${options}")
  cmake_policy(PUSH)
  cmake_policy(SET CMP0116 NEW)  # the dependency file's paths are absolute either way
  # The step's output is a stamp touched by every run that succeeds, so that a run that found
  # its pack up to date (and left it untouched) still brings the step up to date for Make as
  # for Ninja. It also runs when the program changes; a failed run leaves it out of date.
  add_custom_command(OUTPUT "${output}.stamp"
    COMMAND ${run} "-DOPTIONS=${options}" "-DSTAMP=${output}.stamp" -P "${script}"
    DEPENDS Tarnix::Tarnix "${script}"
    BYPRODUCTS "${output}" "${output}.log"
    DEPFILE "${output}.stamp.d"
    COMMENT "Packing ${directory} into ${output}"
    VERBATIM)
  cmake_policy(POP)
  add_custom_target(${target} ALL DEPENDS "${output}.stamp")
endfunction()
