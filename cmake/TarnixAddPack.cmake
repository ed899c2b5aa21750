# tarnix_add_pack(<target> DIRECTORY <dir> OUTPUT <pack> [UNCOMPRESSED] [VERIFY] [STRICT])
#
# Adds a target, built with every build, that runs Tarnix on <dir> and writes <pack> (relative
# paths: to the current source and binary folders). A tree that has not changed leaves the pack
# untouched, so the step is cheap. Tarnix's output goes to <pack>.log. Each source it skips (a
# FIFO where a file was, a link whose target is gone) is a warning line in the build's output,
# or with STRICT an error that fails the build; a failed run shows the lines that say why.
function(tarnix_add_pack target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "UNCOMPRESSED;VERIFY;STRICT" "DIRECTORY;OUTPUT" "")
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
  string(REPLACE ";" "," options "${options}")
  if(arg_STRICT)
    set(strict ON)
  else()
    set(strict OFF)
  endif()
  add_custom_target(${target} ALL
    COMMAND ${CMAKE_COMMAND} "-DTOOL=$<TARGET_FILE:Tarnix::Tarnix>" "-DDIRECTORY=${directory}"
            "-DOUTPUT=${output}" "-DOPTIONS=${options}" "-DSTRICT=${strict}" -P "${script}"
    BYPRODUCTS "${output}" "${output}.log"
    COMMENT "Packing ${directory} into ${output}"
    VERBATIM)
endfunction()
