# Installing on Linux: the server and the tools in bin/, a sample settings file and the udev
# rule for FTDI cables in share/ecubridge/, the README in share/doc/ecubridge/, a man page for
# each program; `cpack -G DEB` packs the same tree as a .deb for /usr.
include(GNUInstallDirs)

set(ECUB_PROGRAMS ecubridge ecubridge-ini ecubridge-sim ecubridge-host ecubridge-log
                  ecubridge-ports)
install(TARGETS ${ECUB_PROGRAMS} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# The settings reader wants CR LF line ends, as the Windows package has them.
set(ECUB_SAMPLE_SETTINGS ${CMAKE_BINARY_DIR}/packaging/SetComVarno.ini)
add_custom_command(
  OUTPUT ${ECUB_SAMPLE_SETTINGS}
  COMMAND ${CMAKE_COMMAND} -DIN=${PROJECT_SOURCE_DIR}/packaging/windows/SetComVarno.ini
          -DOUT=${ECUB_SAMPLE_SETTINGS} -P ${PROJECT_SOURCE_DIR}/cmake/crlf.cmake
  DEPENDS ${PROJECT_SOURCE_DIR}/packaging/windows/SetComVarno.ini
          ${PROJECT_SOURCE_DIR}/cmake/crlf.cmake
  VERBATIM)
add_custom_target(sample_settings ALL DEPENDS ${ECUB_SAMPLE_SETTINGS})
install(FILES ${ECUB_SAMPLE_SETTINGS} packaging/linux/60-ecubridge-ftdi.rules
        DESTINATION ${CMAKE_INSTALL_DATADIR}/ecubridge)
install(FILES README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
foreach(program ${ECUB_PROGRAMS})
  install(FILES packaging/linux/man/${program}.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endforeach()

set(CPACK_PACKAGE_NAME ecubridge)
set(CPACK_PACKAGE_VENDOR "ecubridge")
set(CPACK_PACKAGE_CONTACT "ecubridge maintainers <maintainers@ecubridge.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "communication server for LPG/CNG gas-injection control units")
set(CPACK_PACKAGE_DESCRIPTION
    "A host program starts ecubridge as a child process and talks binary messages on its \
standard input and output; the server finds the control unit on a serial port or an FTDI USB \
cable (the kernel's ftdi_sio driver, or the FTDI D2XX library when installed) and relays the \
host's frames. With ecubridge-ports, a simulated unit and a host tool.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The group that may open the cables and the tool that applies the rule.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "udev")
include(CPack)
