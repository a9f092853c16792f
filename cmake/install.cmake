# Installation: the shared library with its SONAME, the header, the tools and
# example forms, a CMake package (omr::omr) and a pkg-config file; a Debian
# package through CPack.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

target_include_directories(omr PUBLIC $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/include>
                                      $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
set_target_properties(omr PROPERTIES PUBLIC_HEADER ${PROJECT_SOURCE_DIR}/include/omr.h)

install(TARGETS omr EXPORT omrTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT dev
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev
        PUBLIC_HEADER DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT dev)

install(EXPORT omrTargets NAMESPACE omr:: DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/omr COMPONENT dev)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/omr-config.cmake.in
                              ${PROJECT_BINARY_DIR}/omr-config.cmake
                              INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/omr)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/omr-config-version.cmake
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/omr-config.cmake ${PROJECT_BINARY_DIR}/omr-config-version.cmake
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/omr COMPONENT dev)

configure_file(${PROJECT_SOURCE_DIR}/cmake/omr.pc.in ${PROJECT_BINARY_DIR}/omr.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/omr.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)

file(GLOB OMR_EXAMPLE_FORMS ${PROJECT_SOURCE_DIR}/examples/*.form ${PROJECT_SOURCE_DIR}/examples/*.answers)
if(OMR_EXAMPLE_FORMS)
  install(FILES ${OMR_EXAMPLE_FORMS} DESTINATION ${CMAKE_INSTALL_DATADIR}/omr/examples COMPONENT runtime)
endif()

set(CPACK_PACKAGE_NAME omr)
set(CPACK_PACKAGE_VENDOR "omr developers")
set(CPACK_PACKAGE_CONTACT "omr developers <omr@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Driver library and tools for a desktop optical mark reader")
set(CPACK_GENERATOR DEB)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS OFF)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libstdc++6")
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
include(CPack)
