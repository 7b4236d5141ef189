# Installing on Linux: the server and the tools in bin/, a sample settings file in
# share/ecubridge/, the udev rule for FTDI cables in lib/udev/rules.d/ (where udev reads it
# under /usr), the README and the copyright in share/doc/ecubridge/, a compressed man page for
# each program; `cpack -G DEB` packs the same tree as a .deb for /usr, which asks udev to read
# its rules again when it is installed or removed.
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
install(FILES ${ECUB_SAMPLE_SETTINGS} DESTINATION ${CMAKE_INSTALL_DATADIR}/ecubridge)
# lib/, not the multiarch library folder: udev looks in <prefix>/lib/udev/rules.d only.
install(FILES packaging/linux/60-ecubridge-ftdi.rules DESTINATION lib/udev/rules.d)
# A native Debian package carries its changelog, compressed like the man pages.
configure_file(packaging/linux/changelog.in ${CMAKE_BINARY_DIR}/packaging/changelog @ONLY)
add_custom_command(
  OUTPUT ${CMAKE_BINARY_DIR}/packaging/changelog.gz
  COMMAND gzip -9nc ${CMAKE_BINARY_DIR}/packaging/changelog > ${CMAKE_BINARY_DIR}/packaging/changelog.gz
  DEPENDS ${CMAKE_BINARY_DIR}/packaging/changelog
  VERBATIM)
add_custom_target(changelog ALL DEPENDS ${CMAKE_BINARY_DIR}/packaging/changelog.gz)
install(FILES README.md packaging/linux/copyright ${CMAKE_BINARY_DIR}/packaging/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DOCDIR})
# Man pages go compressed, without a time stamp, so that two builds give the same bytes.
set(ECUB_MAN_PAGES)
foreach(program ${ECUB_PROGRAMS})
  set(page ${CMAKE_BINARY_DIR}/packaging/man/${program}.1.gz)
  add_custom_command(
    OUTPUT ${page}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/packaging/man
    COMMAND gzip -9nc ${PROJECT_SOURCE_DIR}/packaging/linux/man/${program}.1 > ${page}
    DEPENDS ${PROJECT_SOURCE_DIR}/packaging/linux/man/${program}.1
    VERBATIM)
  list(APPEND ECUB_MAN_PAGES ${page})
endforeach()
add_custom_target(man_pages ALL DEPENDS ${ECUB_MAN_PAGES})
install(FILES ${ECUB_MAN_PAGES} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

set(CPACK_PACKAGE_NAME ecubridge)
set(CPACK_PACKAGE_VENDOR "ecubridge")
set(CPACK_PACKAGE_CONTACT "ecubridge maintainers <maintainers@ecubridge.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "communication server for LPG/CNG gas-injection control units")
# Lines of the extended description stay below 80 characters.
set(CPACK_PACKAGE_DESCRIPTION
    "A host program starts ecubridge as a child process and talks binary messages on\n\
its standard input and output; the server finds the control unit on a serial\n\
port or an FTDI USB cable (the kernel's ftdi_sio driver, or the FTDI D2XX\n\
library when installed) and relays the host's frames. With ecubridge-ports, a\n\
simulated unit and a host tool.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The group that may open the cables and the tool that applies the rule.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "udev")
# Cables already plugged in get the rule at once, not only after the next plug-in.
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/packaging/linux/postinst
                                       ${PROJECT_SOURCE_DIR}/packaging/linux/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
