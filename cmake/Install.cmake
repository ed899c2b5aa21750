# What `cmake --install` puts where, the CMake package and pkg-config file that let other
# projects use the library, and the Debian package that `cpack -G DEB` makes of it all.
include(CMakePackageConfigHelpers)

install(TARGETS Tarnix tarnix-inspect EXPORT TarnixTargets RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS tarnix EXPORT TarnixTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(DIRECTORY include/tarnix DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES man/Tarnix.1 man/tarnix-inspect.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES README.md LICENSE docs/pack-format.md DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/tarnix)
# Programs go out stripped from Release builds.
if(CMAKE_STRIP)
  install(CODE "
    if(CMAKE_INSTALL_CONFIG_NAME MATCHES \"^(Release|MinSizeRel)$\")
      foreach(program Tarnix tarnix-inspect)
        execute_process(COMMAND \"${CMAKE_STRIP}\"
          \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/\${program}${CMAKE_EXECUTABLE_SUFFIX}\")
      endforeach()
    endif()")
endif()

set(package_dir ${CMAKE_INSTALL_LIBDIR}/cmake/Tarnix)
install(EXPORT TarnixTargets NAMESPACE Tarnix:: DESTINATION ${package_dir})
configure_package_config_file(cmake/TarnixConfig.cmake.in ${PROJECT_BINARY_DIR}/TarnixConfig.cmake
  INSTALL_DESTINATION ${package_dir})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/TarnixConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/TarnixConfig.cmake ${PROJECT_BINARY_DIR}/TarnixConfigVersion.cmake
  cmake/TarnixAddPack.cmake cmake/TarnixRunPack.cmake DESTINATION ${package_dir})
# A project that builds Tarnix with add_subdirectory gets the same names and helper.
add_executable(Tarnix::Tarnix ALIAS Tarnix)
include(cmake/TarnixAddPack.cmake)

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
install(FILES ${PROJECT_BINARY_DIR}/tarnix.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

set(CPACK_PACKAGE_NAME tarnix)
set(CPACK_PACKAGE_VENDOR "The Tarnix developers")
set(CPACK_PACKAGE_CONTACT "The Tarnix developers <tarnix@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}, with a library to read and write them")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
include(CPack)
