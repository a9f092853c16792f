# Installation: the shared library with its SONAME, the header, a CMake
# package (omr::omr) and a pkg-config file, the tools and the example forms.
# Each file set belongs to an install component, and each Debian package
# holds the components its stanza in packaging/debian/control names
# (X-Install-Components); scripts/build-debs makes the packages.
#
#   runtime      the shared library                                 libomr1
#   dev          header, unversioned link, CMake package, .pc file  libomr-dev
#   offline      libomr-offline                                     libomr-offline1
#   offline-dev  its header, link, CMake package, .pc file          libomr-offline-dev
#   tools        omrctl, omrsim, example forms, manual pages        omr-tools

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
          LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT offline NAMELINK_COMPONENT offline-dev
          PUBLIC_HEADER DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT offline-dev)
  install(EXPORT omrOfflineTargets NAMESPACE omr:: DESTINATION ${OMR_OFFLINE_PACKAGE_DIR} COMPONENT offline-dev)
  configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/omr-offline-config.cmake.in
                                ${PROJECT_BINARY_DIR}/omr-offline-config.cmake
                                INSTALL_DESTINATION ${OMR_OFFLINE_PACKAGE_DIR})
  write_basic_package_version_file(${PROJECT_BINARY_DIR}/omr-offline-config-version.cmake
                                   VERSION ${OMR_OFFLINE_VERSION} COMPATIBILITY SameMajorVersion)
  install(FILES ${PROJECT_BINARY_DIR}/omr-offline-config.cmake ${PROJECT_BINARY_DIR}/omr-offline-config-version.cmake
          DESTINATION ${OMR_OFFLINE_PACKAGE_DIR} COMPONENT offline-dev)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/omr-offline.pc.in ${PROJECT_BINARY_DIR}/omr-offline.pc @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/omr-offline.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
          COMPONENT offline-dev)
endif()

# Example forms, the sheets that go with them, saved grids, exam files with
# their rosters and the example programs.
file(GLOB OMR_EXAMPLE_FORMS CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/examples/*.form
     ${PROJECT_SOURCE_DIR}/examples/*.answers ${PROJECT_SOURCE_DIR}/examples/*.grid
     ${PROJECT_SOURCE_DIR}/examples/*.exam.json ${PROJECT_SOURCE_DIR}/examples/*.csv
     ${PROJECT_SOURCE_DIR}/examples/*.c ${PROJECT_SOURCE_DIR}/examples/*.py)
if(OMR_EXAMPLE_FORMS)
  install(FILES ${OMR_EXAMPLE_FORMS} DESTINATION ${CMAKE_INSTALL_DATADIR}/omr/examples COMPONENT tools)
endif()

# Programs find libomr through $ORIGIN in any prefix; in /usr the library is
# on the default search path, and Debian forbids a RUNPATH naming it there.
# Deferred, so that it runs after every program of the subdirectories has
# been installed.
function(omr_install_drop_system_runpath)
  install(CODE [[
    if(CMAKE_INSTALL_PREFIX MATCHES "^/usr/?$")
      foreach(file IN LISTS CMAKE_INSTALL_MANIFEST_FILES)
        set(file "$ENV{DESTDIR}${file}")
        if(file MATCHES "/bin/[^/]+$" AND NOT IS_SYMLINK "${file}")
          file(READ "${file}" magic LIMIT 4 HEX)
          if(magic STREQUAL "7f454c46")
            file(RPATH_REMOVE FILE "${file}")
          endif()
        endif()
      endforeach()
    endif()]] ALL_COMPONENTS)
endfunction()
cmake_language(DEFER DIRECTORY ${PROJECT_SOURCE_DIR} CALL omr_install_drop_system_runpath)

# What scripts/build-debs takes from this build, a KEY=VALUE a line. The
# maintainer goes into every package: a name and an address mail can reach.
if(NOT OMR_MAINTAINER MATCHES "^[^<>\n]+ <[^<>@ \n]+@[^<>@ \n]+>$" OR OMR_MAINTAINER MATCHES "@localhost>$")
  message(FATAL_ERROR "OMR_MAINTAINER must read \"Name <address>\" with an address mail can reach, "
                      "not \"${OMR_MAINTAINER}\"")
endif()
file(CONFIGURE OUTPUT ${PROJECT_BINARY_DIR}/packaging.env CONTENT [[
OMR_SOURCE_DIR=@PROJECT_SOURCE_DIR@
OMR_VERSION=@PROJECT_VERSION@
OMR_MAINTAINER=@OMR_MAINTAINER@
]] @ONLY)
