# install.cmake - what `cmake --install` puts where (GNUInstallDirs), the
# pkg-config file, the CMake package z9tar::z9tar and the Debian package that
# CPack builds. Included by the top-level CMakeLists.txt after the targets.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

# Hosts load "libz9tar.so": that name stays as the link to the versioned file.
set_target_properties(z9tar PROPERTIES VERSION ${PROJECT_VERSION} SOVERSION ${PROJECT_VERSION_MAJOR})

# An installed z9tar-host finds the library by this path relative to its own
# folder when there is no libz9tar.so beside it.
file(RELATIVE_PATH Z9_HOST_LIBDIR ${CMAKE_INSTALL_FULL_BINDIR} ${CMAKE_INSTALL_FULL_LIBDIR})
target_compile_definitions(z9tar-host PRIVATE Z9_HOST_LIBDIR="${Z9_HOST_LIBDIR}")

install(TARGETS z9tar EXPORT z9tarTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(TARGETS z9tar-host RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${CMAKE_SOURCE_DIR}/include/z9tar.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES ${CMAKE_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})

# find_package(z9tar): the imported target z9tar::z9tar and a version file
# (a 1.x request accepts any 1.y). The targets file finds its own prefix, so
# the installed tree may move.
set(Z9_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/z9tar)
install(EXPORT z9tarTargets NAMESPACE z9tar:: DESTINATION ${Z9_CMAKEDIR})
write_basic_package_version_file(${CMAKE_BINARY_DIR}/z9tarConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/z9tarConfig.cmake ${CMAKE_BINARY_DIR}/z9tarConfigVersion.cmake
  DESTINATION ${Z9_CMAKEDIR})

# z9tar.pc. Z9_PC_REQUIRES_PRIVATE (pkg-config module names) and
# Z9_PC_LIBS_PRIVATE (-l flags of libraries without a .pc file) are set where
# the library's dependencies are linked, before this file is included. The
# file is written at install time so that its prefix is the one the files
# land under (`cmake --install --prefix`, CPack's /usr), not the configured one.
list(JOIN Z9_PC_REQUIRES_PRIVATE " " Z9_PC_REQUIRES)
list(JOIN Z9_PC_LIBS_PRIVATE " " Z9_PC_LIBS)
string(STRIP "-lpthread ${Z9_PC_LIBS}" Z9_PC_LIBS)
install(CODE "
  set(Z9_VERSION [[${PROJECT_VERSION}]])
  set(Z9_LIBDIR [[${CMAKE_INSTALL_LIBDIR}]])
  set(Z9_INCLUDEDIR [[${CMAKE_INSTALL_INCLUDEDIR}]])
  set(Z9_REQUIRES [[${Z9_PC_REQUIRES}]])
  set(Z9_LIBS [[${Z9_PC_LIBS}]])
  configure_file([[${CMAKE_CURRENT_LIST_DIR}/z9tar.pc.in]] [[${CMAKE_BINARY_DIR}/z9tar.pc]] @ONLY)")
install(FILES ${CMAKE_BINARY_DIR}/z9tar.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# `make package`: one Debian package with everything above under /usr. Its
# Depends line comes from dpkg-shlibdeps, so every library z9tar links is
# declared without being listed here.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_CONTACT "the z9tar developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "tar archive adapter library (libz9tar.so), its header and z9tar-host")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_STRIP_FILES ON)
include(CPack)
