# Installation (cmake --install) and the Debian package (cpack -G DEB).
include(GNUInstallDirs)

install(TARGETS coild RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})
install(TARGETS coil-client RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
if(TARGET coilctl)
  install(TARGETS coilctl RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

# The client library for other daemons: static archive, header, pkg-config.
install(TARGETS coilclient ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES ${PROJECT_SOURCE_DIR}/clientlib/coil_client.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
configure_file(${PROJECT_SOURCE_DIR}/packaging/coilclient.pc.in ${CMAKE_BINARY_DIR}/coilclient.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/coilclient.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

install(FILES ${PROJECT_SOURCE_DIR}/docs/man/coild.8 ${PROJECT_SOURCE_DIR}/docs/man/coilctl.8
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)
install(FILES ${PROJECT_SOURCE_DIR}/docs/man/coil-client.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# The service: a unit under the prefix (systemd reads /usr/lib and
# /usr/local/lib), its options file in the system configuration directory.
set(COIL_SYSTEMD_UNIT_DIR "lib/systemd/system" CACHE STRING "Directory of the systemd unit, relative to the prefix")
configure_file(${PROJECT_SOURCE_DIR}/packaging/coild.service.in ${CMAKE_BINARY_DIR}/coild.service @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/coild.service DESTINATION ${COIL_SYSTEMD_UNIT_DIR})
install(FILES ${PROJECT_SOURCE_DIR}/packaging/coild.default DESTINATION ${CMAKE_INSTALL_FULL_SYSCONFDIR}/default
        RENAME coild)

install(FILES ${PROJECT_SOURCE_DIR}/mibs/COIL-MIB.txt DESTINATION ${CMAKE_INSTALL_DATADIR}/snmp/mibs)
install(FILES ${PROJECT_SOURCE_DIR}/examples/coil.conf ${PROJECT_SOURCE_DIR}/examples/chassis.topo
        DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME coil)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "coil developers <coil@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "VLAN loop-detection daemon on a simulated switch")
set(CPACK_PACKAGE_DESCRIPTION
    "coild sends its own tagged probes out of a VLAN's ports and reports a loop when one comes back, "
    "disabling the port it came back on if asked. coilctl configures it; coil-client and the client "
    "library let other daemons use it.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${PROJECT_SOURCE_DIR}/packaging/debian/conffiles ${PROJECT_SOURCE_DIR}/packaging/debian/postinst
    ${PROJECT_SOURCE_DIR}/packaging/debian/prerm ${PROJECT_SOURCE_DIR}/packaging/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
