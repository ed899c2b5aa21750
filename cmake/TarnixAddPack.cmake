# tarnix_add_pack(<target> DIRECTORY <dir> OUTPUT <pack> [UNCOMPRESSED] [VERIFY])
#
# Adds a target, built with every build, that runs Tarnix on <dir> and writes <pack> (relative
# paths: to the current source and binary folders). A tree that has not changed leaves the pack
# untouched, so the step is cheap. Tarnix's output goes to <pack>.log, and is shown only when
# the run fails.
set(_tarnix_run_pack ${CMAKE_CURRENT_LIST_DIR}/TarnixRunPack.cmake)

function(tarnix_add_pack target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "UNCOMPRESSED;VERIFY" "DIRECTORY;OUTPUT" "")
  if(NOT arg_DIRECTORY OR NOT arg_OUTPUT)
    message(FATAL_ERROR "tarnix_add_pack(${target}) needs DIRECTORY and OUTPUT")
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
  add_custom_target(${target} ALL
    COMMAND ${CMAKE_COMMAND} "-DTOOL=$<TARGET_FILE:Tarnix::Tarnix>" "-DDIRECTORY=${directory}"
            "-DOUTPUT=${output}" "-DOPTIONS=${options}" -P "${_tarnix_run_pack}"
    BYPRODUCTS "${output}" "${output}.log"
    COMMENT "Packing ${directory} into ${output}"
    VERBATIM)
endfunction()
