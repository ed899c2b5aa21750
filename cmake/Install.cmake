# What `cmake --install` puts where, the CMake package and pkg-config file that let other
# projects use the library, and the two Debian packages that `cpack -G DEB` makes of it:
# tarnix (the programs, their manual pages and docs) and libtarnix-dev (the library, its
# header, the CMake package and tarnix.pc).

# A project that builds Tarnix with add_subdirectory gets the same names and helper.
add_executable(Tarnix::Tarnix ALIAS Tarnix)
add_executable(Tarnix::tarnix-inspect ALIAS tarnix-inspect)
include(${CMAKE_CURRENT_LIST_DIR}/TarnixAddPack.cmake)

# Inside another project, its install and packages are its own unless it asks for ours.
if(NOT TARNIX_INSTALL)
  return()
endif()
include(CMakePackageConfigHelpers)

install(TARGETS Tarnix tarnix-inspect EXPORT TarnixTargets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT programs)
install(TARGETS tarnix EXPORT TarnixTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development)
install(DIRECTORY include/tarnix DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT development)
install(FILES README.md LICENSE docs/pack-format.md DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/tarnix
  COMPONENT programs)

# Manual pages carry the version, and are installed compressed as Debian wants them (where
# gzip is at hand).
find_program(TARNIX_GZIP gzip)
set(man_pages "")
foreach(page Tarnix tarnix-inspect)
  configure_file(man/${page}.1.in ${PROJECT_BINARY_DIR}/man/${page}.1 @ONLY)
  if(TARNIX_GZIP)
    add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/man/${page}.1.gz
      COMMAND ${TARNIX_GZIP} -9nkf ${PROJECT_BINARY_DIR}/man/${page}.1
      DEPENDS ${PROJECT_BINARY_DIR}/man/${page}.1 VERBATIM)
    list(APPEND man_pages ${PROJECT_BINARY_DIR}/man/${page}.1.gz)
  else()
    list(APPEND man_pages ${PROJECT_BINARY_DIR}/man/${page}.1)
  endif()
endforeach()
add_custom_target(tarnix_man_pages ALL DEPENDS ${man_pages})
install(FILES ${man_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT programs)

# Programs go out stripped from Release builds.
if(CMAKE_STRIP)
  install(CODE "
    if(CMAKE_INSTALL_CONFIG_NAME MATCHES \"^(Release|MinSizeRel)$\")
      foreach(program Tarnix tarnix-inspect)
        execute_process(COMMAND \"${CMAKE_STRIP}\"
          \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/\${program}${CMAKE_EXECUTABLE_SUFFIX}\")
      endforeach()
    endif()" COMPONENT programs)
endif()

set(package_dir ${CMAKE_INSTALL_LIBDIR}/cmake/Tarnix)
install(EXPORT TarnixTargets NAMESPACE Tarnix:: DESTINATION ${package_dir} COMPONENT development)
configure_package_config_file(cmake/TarnixConfig.cmake.in ${PROJECT_BINARY_DIR}/TarnixConfig.cmake
  INSTALL_DESTINATION ${package_dir})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/TarnixConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/TarnixConfig.cmake ${PROJECT_BINARY_DIR}/TarnixConfigVersion.cmake
  cmake/TarnixAddPack.cmake cmake/TarnixRunPack.cmake DESTINATION ${package_dir} COMPONENT development)

# A static library's users link its dependencies themselves.
get_target_property(library_type tarnix TYPE)
if(library_type STREQUAL "STATIC_LIBRARY")
  set(pc_libs "-ltarnix -ldeflate -pthread")
  set(pc_private "")
else()
  set(pc_libs "-ltarnix")
  set(pc_private "-ldeflate -pthread")
endif()
configure_file(cmake/tarnix.pc.in ${PROJECT_BINARY_DIR}/tarnix.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/tarnix.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
  COMPONENT development)

# ---- The Debian packages ----
set(TARNIX_MAINTAINER "The Tarnix developers <developers@tarnix.org>" CACHE STRING
  "The Debian packages' maintainer, as \"Name <address>\"")
set(TARNIX_DEBIAN_VERSION ${PROJECT_VERSION}-1)
# Each package's copyright file (the licence, in Debian's machine-readable form) and changelog;
# only a component install, as CPack makes, puts them in.
file(READ LICENSE license)
string(REGEX REPLACE "^MIT License\n\n[^\n]*\n\n" "" license "${license}")
string(REGEX REPLACE "\n\n" "\n.\n" license "${license}")
string(REGEX REPLACE "\n$" "" license "${license}")
string(REPLACE "\n" "\n " license "${license}")
file(WRITE ${PROJECT_BINARY_DIR}/debian/copyright
  "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n"
  "Upstream-Name: Tarnix\n\nFiles: *\nCopyright: 2026 The Tarnix developers\nLicense: MIT\n\n"
  "License: MIT\n ${license}\n")
configure_file(cmake/debian/changelog.in ${PROJECT_BINARY_DIR}/debian/changelog.Debian @ONLY)
set(debian_docs ${PROJECT_BINARY_DIR}/debian/copyright)
if(TARNIX_GZIP)
  add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/debian/changelog.Debian.gz
    COMMAND ${TARNIX_GZIP} -9nkf ${PROJECT_BINARY_DIR}/debian/changelog.Debian
    DEPENDS ${PROJECT_BINARY_DIR}/debian/changelog.Debian VERBATIM)
  add_custom_target(tarnix_debian_changelog ALL DEPENDS ${PROJECT_BINARY_DIR}/debian/changelog.Debian.gz)
  list(APPEND debian_docs ${PROJECT_BINARY_DIR}/debian/changelog.Debian.gz)
endif()
install(FILES ${debian_docs} DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/tarnix
  COMPONENT programs EXCLUDE_FROM_ALL)
install(FILES ${debian_docs} DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/libtarnix-dev
  COMPONENT development EXCLUDE_FROM_ALL)

set(CPACK_PACKAGE_NAME tarnix)
set(CPACK_PACKAGE_VENDOR "The Tarnix developers")
set(CPACK_PACKAGE_CONTACT "${TARNIX_MAINTAINER}")
# Each package's description below starts with its own synopsis; CPack puts this summary in
# front of it unless it is CPack's default.
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${CMAKE_PROJECT_NAME} built using CMake")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_COMPONENTS_ALL programs development)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PROGRAMS_PACKAGE_NAME tarnix)
set(CPACK_DEBIAN_PROGRAMS_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PROGRAMS_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PROGRAMS_DESCRIPTION "packs a directory tree into one .pak archive
Tarnix packs every file of a directory tree into one .pak archive for asset
pipelines. It leaves an up-to-date pack untouched, re-packs only what changed,
and with -v proves that what it stored reads back. tarnix-inspect lists, tests,
extracts and compares packs.")
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME libtarnix-dev)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
# The CMake package names the programs too (tarnix_add_pack runs Tarnix), and the static
# library's users link libdeflate.
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS "tarnix (= ${TARNIX_DEBIAN_VERSION}), libdeflate-dev")
set(CPACK_DEBIAN_DEVELOPMENT_DESCRIPTION "reads and writes Tarnix .pak archives (development files)
The static library, its C++ header, a CMake package with the tarnix_add_pack
helper, and a pkg-config file, for engines and tools that read packs and write
them from a list of files.")
include(CPack)
