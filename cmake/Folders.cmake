# Each folder of src/ is a library of its own, and sees the headers of the folders it builds on
# and of no other: every library compiles against a view of src/ made of links to just those
# folders, so an include that runs against the graph fails to build instead of working by luck.
#
#   tarnix_folder(<name> OBJECT|STATIC SOURCES <files> [BUILDS_ON <folders>])
#
# makes tarnix_<name>; the folders it builds on, and theirs, must have been made before it.
function(tarnix_folder name kind)
  cmake_parse_arguments(PARSE_ARGV 2 arg "" "" "SOURCES;BUILDS_ON")
  set(visible ${name})
  foreach(folder IN LISTS arg_BUILDS_ON)
    get_property(below GLOBAL PROPERTY TARNIX_FOLDER_SEES_${folder})
    if(NOT below)
      message(FATAL_ERROR "src/${name} builds on src/${folder}, which is not made yet")
    endif()
    list(APPEND visible ${below})
  endforeach()
  list(REMOVE_DUPLICATES visible)
  set_property(GLOBAL PROPERTY TARNIX_FOLDER_SEES_${name} ${visible})

  set(view ${PROJECT_BINARY_DIR}/folder-views/${name})
  file(REMOVE_RECURSE ${view})
  file(MAKE_DIRECTORY ${view})
  foreach(folder IN LISTS visible)
    file(CREATE_LINK ${PROJECT_SOURCE_DIR}/src/${folder} ${view}/${folder} SYMBOLIC)
  endforeach()

  add_library(tarnix_${name} ${kind} ${arg_SOURCES})
  target_include_directories(tarnix_${name} PRIVATE ${view})
  if(BUILD_SHARED_LIBS)
    set_target_properties(tarnix_${name} PROPERTIES POSITION_INDEPENDENT_CODE ON)
  endif()
endfunction()
