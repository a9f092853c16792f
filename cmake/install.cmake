# Installation: the shared library with its SONAME, the header, the example
# forms, a CMake package (omr::omr) and a pkg-config file; a Debian package
# through CPack. The tools install their executables themselves, into
# ${CMAKE_INSTALL_BINDIR} with COMPONENT runtime.
#
# Components: runtime (library, tools, example forms) and dev (header, the
# unversioned library link, CMake package, pkg-config file). The Debian
# package holds both.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(OMR_CMAKE_PACKAGE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/omr)

# The exported target carries only the public header's directory; the build
# tree's src/ stays private to omr_core.
target_include_directories(omr PUBLIC $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/include>
                                      $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
set_target_properties(omr PROPERTIES PUBLIC_HEADER ${PROJECT_SOURCE_DIR}/include/omr.h)

install(TARGETS omr EXPORT omrTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT dev
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev
        PUBLIC_HEADER DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT dev)

install(EXPORT omrTargets NAMESPACE omr:: DESTINATION ${OMR_CMAKE_PACKAGE_DIR} COMPONENT dev)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/omr-config.cmake.in
                              ${PROJECT_BINARY_DIR}/omr-config.cmake
                              INSTALL_DESTINATION ${OMR_CMAKE_PACKAGE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/omr-config-version.cmake
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/omr-config.cmake ${PROJECT_BINARY_DIR}/omr-config-version.cmake
        DESTINATION ${OMR_CMAKE_PACKAGE_DIR} COMPONENT dev)

# The pkg-config file finds its prefix relative to itself (${pcfiledir}), so
# it is right for any install prefix, not only the one configured.
file(RELATIVE_PATH OMR_PC_PREFIX_FROM_PCDIR /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
string(REGEX REPLACE "/$" "" OMR_PC_PREFIX_FROM_PCDIR "${OMR_PC_PREFIX_FROM_PCDIR}")
configure_file(${PROJECT_SOURCE_DIR}/cmake/omr.pc.in ${PROJECT_BINARY_DIR}/omr.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/omr.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)

# libomr-offline: its own version, header, CMake package (omr::offline, from
# find_package(omr-offline)) and pkg-config file (omr-offline).
if(TARGET omr_offline)
  set(OMR_OFFLINE_PACKAGE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/omr-offline)
  target_include_directories(omr_offline PUBLIC $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
  set_target_properties(omr_offline PROPERTIES PUBLIC_HEADER ${PROJECT_SOURCE_DIR}/include/omr_offline.h
                                               EXPORT_NAME offline)
  install(TARGETS omr_offline EXPORT omrOfflineTargets
          LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT dev
          PUBLIC_HEADER DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT dev)
  install(EXPORT omrOfflineTargets NAMESPACE omr:: DESTINATION ${OMR_OFFLINE_PACKAGE_DIR} COMPONENT dev)
  configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/omr-offline-config.cmake.in
                                ${PROJECT_BINARY_DIR}/omr-offline-config.cmake
                                INSTALL_DESTINATION ${OMR_OFFLINE_PACKAGE_DIR})
  write_basic_package_version_file(${PROJECT_BINARY_DIR}/omr-offline-config-version.cmake
                                   VERSION ${OMR_OFFLINE_VERSION} COMPATIBILITY SameMajorVersion)
  install(FILES ${PROJECT_BINARY_DIR}/omr-offline-config.cmake ${PROJECT_BINARY_DIR}/omr-offline-config-version.cmake
          DESTINATION ${OMR_OFFLINE_PACKAGE_DIR} COMPONENT dev)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/omr-offline.pc.in ${PROJECT_BINARY_DIR}/omr-offline.pc @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/omr-offline.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)
endif()

# Example forms, the sheets that go with them, saved grids and the example programs.
file(GLOB OMR_EXAMPLE_FORMS CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/examples/*.form
     ${PROJECT_SOURCE_DIR}/examples/*.answers ${PROJECT_SOURCE_DIR}/examples/*.grid
     ${PROJECT_SOURCE_DIR}/examples/*.c ${PROJECT_SOURCE_DIR}/examples/*.py)
if(OMR_EXAMPLE_FORMS)
  install(FILES ${OMR_EXAMPLE_FORMS} DESTINATION ${CMAKE_INSTALL_DATADIR}/omr/examples COMPONENT runtime)
endif()

set(CPACK_PACKAGE_NAME omr)
set(CPACK_PACKAGE_VENDOR "omr developers")
set(CPACK_PACKAGE_CONTACT "omr developers <omr@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Driver library and tools for a desktop optical mark reader")
set(CPACK_PACKAGE_DESCRIPTION
    "The driver library of a desktop optical mark reader (libomr.so, C interface in omr.h), the\
 recognition without a reader (libomr-offline.so, omr_offline.h), their CMake packages and pkg-config\
 files, the command-line tools, their manual pages and example forms.")
set(CPACK_GENERATOR DEB)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES TRUE)
# The dependencies follow what the binaries link (libftdi1 when it is used).
find_program(OMR_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(OMR_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS OFF)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libstdc++6")
endif()
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
include(CPack)
