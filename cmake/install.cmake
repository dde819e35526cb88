# Installing vorn: `cmake --install BUILD [--prefix DIR]` puts the programs, the client
# library with its header, the CMake package (find_package(vorn) -> vorn::vornlink), the
# pkg-config file, the man pages and the docs under the prefix; `cpack -G DEB` (run in the
# build directory) makes a Debian package of the same tree, installed under /usr.
#
# The installer is built as `install` (its name on the service manager's side) but installed
# as `vorn-install`, so that it never shadows the system's install(1) on a PATH.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(VORN_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/vorn)

if(TARGET vornlink)
  # An application's build sees only the public header; the build tree keeps its own path.
  set_property(TARGET vornlink PROPERTY INTERFACE_INCLUDE_DIRECTORIES
               $<BUILD_INTERFACE:${CMAKE_SOURCE_DIR}/include> $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
  if(NOT WIN32)
    # libvornlink.so -> libvornlink.so.0 (the SONAME) -> libvornlink.so.0.1
    set_target_properties(vornlink PROPERTIES VERSION ${PROJECT_VERSION} SOVERSION ${PROJECT_VERSION_MAJOR})
  endif()
  install(TARGETS vornlink EXPORT vornTargets
          LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
          ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
          RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES include/vornlink.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
  install(EXPORT vornTargets NAMESPACE vorn:: DESTINATION ${VORN_CMAKE_DIR})
  configure_package_config_file(cmake/vornConfig.cmake.in ${CMAKE_BINARY_DIR}/vornConfig.cmake
                                INSTALL_DESTINATION ${VORN_CMAKE_DIR})
  write_basic_package_version_file(${CMAKE_BINARY_DIR}/vornConfigVersion.cmake
                                   COMPATIBILITY SameMajorVersion)
  install(FILES ${CMAKE_BINARY_DIR}/vornConfig.cmake ${CMAKE_BINARY_DIR}/vornConfigVersion.cmake
          DESTINATION ${VORN_CMAKE_DIR})
endif()

foreach(program vornserv vorn)
  if(TARGET ${program})
    if(NOT WIN32)
      # Find the client library next to the programs wherever the tree is installed.
      set_target_properties(${program} PROPERTIES INSTALL_RPATH "$ORIGIN/../${CMAKE_INSTALL_LIBDIR}")
    endif()
    install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
endforeach()
if(TARGET vorninstall)
  install(PROGRAMS $<TARGET_FILE:vorninstall> DESTINATION ${CMAKE_INSTALL_BINDIR}
          RENAME vorn-install${CMAKE_EXECUTABLE_SUFFIX})
endif()

install(FILES README.md docs/FORMAT.md docs/KEYFORMAT.md docs/PROTOCOL.md docs/OPERATIONS.md
              docs/DUMP.md DESTINATION ${CMAKE_INSTALL_DOCDIR})

if(NOT WIN32)
  # The prefix is found from the .pc file's own place, so a tree installed under any prefix
  # (cmake --install --prefix, a package unpacked elsewhere) describes itself.
  file(RELATIVE_PATH VORN_PC_TO_PREFIX /${CMAKE_INSTALL_LIBDIR}/pkgconfig /)
  string(REGEX REPLACE "/$" "" VORN_PC_TO_PREFIX "${VORN_PC_TO_PREFIX}")
  configure_file(cmake/vornlink.pc.in ${CMAKE_BINARY_DIR}/vornlink.pc @ONLY)
  install(FILES ${CMAKE_BINARY_DIR}/vornlink.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
  install(FILES man/vorn.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES man/vornlink.3 DESTINATION ${CMAKE_INSTALL_MANDIR}/man3)
  install(FILES man/vornserv.8 man/vorn-install.8 DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)

  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGE_NAME vorn)
  set(CPACK_PACKAGE_VENDOR vorn)
  set(CPACK_PACKAGE_CONTACT "vorn developers <dev@vorn.invalid>")
  set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
      "small record-and-index database: server, client library and operators' tool")
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION database)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libstdc++6, libgcc-s1")
  include(CPack)
endif()
