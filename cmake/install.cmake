# install.cmake - what `cmake --install` puts where (GNUInstallDirs), the
# pkg-config file, the CMake package z9tar::z9tar, the manual page, and the
# three Debian packages that CPack builds from the install components.
# Included by the top-level CMakeLists.txt after the targets.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

# Hosts load "libz9tar.so": that name stays as the link to the versioned file.
set_target_properties(z9tar PROPERTIES VERSION ${PROJECT_VERSION} SOVERSION ${PROJECT_VERSION_MAJOR})

# An installed z9tar-host finds the library by this path relative to its own
# folder, under the name the runtime package holds, when there is no
# libz9tar.so beside it.
file(RELATIVE_PATH Z9_HOST_LIBDIR ${CMAKE_INSTALL_FULL_BINDIR} ${CMAKE_INSTALL_FULL_LIBDIR})
target_compile_definitions(z9tar-host PRIVATE Z9_HOST_LIBDIR="${Z9_HOST_LIBDIR}"
  Z9_HOST_SONAME="libz9tar.so.${PROJECT_VERSION_MAJOR}")

# Components, one per Debian package: runtime (the versioned library), dev
# (header, the libz9tar.so link, z9tar.pc, the CMake files) and host
# (z9tar-host and its manual page).
install(TARGETS z9tar EXPORT z9tarTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT dev
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(TARGETS z9tar-host RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT host)
install(FILES ${CMAKE_SOURCE_DIR}/include/z9tar.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT dev)
install(FILES ${CMAKE_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})

# The manual page, compressed as Debian ships them (gzip -n: no name or time
# inside, so the same page gives the same bytes).
set(Z9_MAN_SOURCE ${CMAKE_SOURCE_DIR}/host/z9tar-host.1)
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/z9tar-host.1.gz
  COMMAND gzip -9nc ${Z9_MAN_SOURCE} > ${CMAKE_BINARY_DIR}/z9tar-host.1.gz
  DEPENDS ${Z9_MAN_SOURCE} VERBATIM)
add_custom_target(z9tar-man ALL DEPENDS ${CMAKE_BINARY_DIR}/z9tar-host.1.gz)
install(FILES ${CMAKE_BINARY_DIR}/z9tar-host.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT host)

# find_package(z9tar): the imported target z9tar::z9tar and a version file
# (a 1.x request accepts any 1.y). The targets file finds its own prefix, so
# the installed tree may move.
set(Z9_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/z9tar)
install(EXPORT z9tarTargets NAMESPACE z9tar:: DESTINATION ${Z9_CMAKEDIR} COMPONENT dev)
write_basic_package_version_file(${CMAKE_BINARY_DIR}/z9tarConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/z9tarConfig.cmake ${CMAKE_BINARY_DIR}/z9tarConfigVersion.cmake
  DESTINATION ${Z9_CMAKEDIR} COMPONENT dev)

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
  configure_file([[${CMAKE_CURRENT_LIST_DIR}/z9tar.pc.in]] [[${CMAKE_BINARY_DIR}/z9tar.pc]] @ONLY)"
  COMPONENT dev)
install(FILES ${CMAKE_BINARY_DIR}/z9tar.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)

# `make package` (configured with the prefix /usr, so that the library lands
# in the multiarch folder): libz9tar1, libz9tar-dev and z9tar-host. Each
# carries /usr/share/doc/<package>/copyright; these files, and the README of
# the -dev package, go only into the packages, not into `make install`.
set(Z9_DEB_VERSION ${PROJECT_VERSION})
foreach(pair runtime:libz9tar1 dev:libz9tar-dev host:z9tar-host)
  string(REPLACE ":" ";" pair ${pair})
  list(GET pair 0 component)
  list(GET pair 1 package)
  string(TOUPPER ${component} COMPONENT)
  set(CPACK_DEBIAN_${COMPONENT}_PACKAGE_NAME ${package})
  install(FILES ${CMAKE_CURRENT_LIST_DIR}/copyright DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package}
    COMPONENT ${component} EXCLUDE_FROM_ALL)
endforeach()
install(FILES ${CMAKE_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/libz9tar-dev
  COMPONENT dev EXCLUDE_FROM_ALL)

set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime dev host)
set(CPACK_PACKAGE_CONTACT "the z9tar developers")
set(CPACK_DEBIAN_PACKAGE_VERSION ${Z9_DEB_VERSION})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION "tar archive adapter library
libz9tar.so.1, a tar archive adapter that a data-transformation host loads
to read members out of, and add members to, tar archives.")
# Its Depends come from dpkg-shlibdeps, and its shlibs file tells the
# packages linked against it which libz9tar1 they need.
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")

# The -dev package: the library of the same version, and for static linking
# the codec -dev packages that z9tar.pc's Requires.private and Libs.private
# name (Z9_CODEC_DEBS, set beside them).
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
list(JOIN Z9_CODEC_DEBS ", " Z9_CODEC_DEPENDS)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "libz9tar1 (= ${Z9_DEB_VERSION}), ${Z9_CODEC_DEPENDS}")
set(CPACK_DEBIAN_DEV_DESCRIPTION "tar archive adapter library: development files
The header z9tar.h, the libz9tar.so link, z9tar.pc and the CMake package
z9tar::z9tar for building a host against libz9tar.")

# z9tar-host loads the library with dlopen, which dpkg-shlibdeps cannot see.
set(CPACK_DEBIAN_HOST_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_HOST_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_HOST_PACKAGE_DEPENDS "libz9tar1 (= ${Z9_DEB_VERSION})")
set(CPACK_DEBIAN_HOST_DESCRIPTION "stand-in host program for libz9tar
z9tar-host loads libz9tar, fills one call record per call from its command
line and prints the outcome; see z9tar-host(1).")
include(CPack)
