# The Linux install and its Debian package: larkspur, its man page (from the usage text),
# the sample scripts and the udev rule. The release preset installs into /usr, where udev
# reads the rule; with another prefix the rule lands below that prefix instead.
include(GNUInstallDirs)
set(LARKSPUR_UDEV_RULES_DIR lib/udev/rules.d CACHE STRING
    "Where the udev rule goes, relative to the install prefix")

install(TARGETS larkspur RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(DIRECTORY ${CMAKE_SOURCE_DIR}/examples/ DESTINATION ${CMAKE_INSTALL_DATADIR}/larkspur/examples
        FILES_MATCHING PATTERN "*.inc")
install(FILES ${CMAKE_SOURCE_DIR}/packaging/70-larkspur.rules
        DESTINATION ${LARKSPUR_UDEV_RULES_DIR})
install(FILES ${CMAKE_SOURCE_DIR}/packaging/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})

# gzip -n: no name or time stamp in the header, so the same text gives the same bytes.
find_program(GZIP gzip REQUIRED)
set(_changelog ${CMAKE_BINARY_DIR}/changelog.gz)
add_custom_command(
    OUTPUT ${_changelog}
    COMMAND ${GZIP} -9n -c ${CMAKE_SOURCE_DIR}/packaging/changelog > ${_changelog}
    DEPENDS ${CMAKE_SOURCE_DIR}/packaging/changelog
    VERBATIM)
install(FILES ${_changelog} DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(_man ${CMAKE_BINARY_DIR}/larkspur.1.gz)
add_custom_command(
    OUTPUT ${_man}
    COMMAND ${CMAKE_COMMAND} -DEXE=$<TARGET_FILE:larkspur> -DOUT=${_man}
            -DVERSION=${LARKSPUR_PACKAGE_VERSION}
            -DEXAMPLES=${CMAKE_INSTALL_FULL_DATADIR}/larkspur/examples/*.inc
            -DRULES=${CMAKE_INSTALL_PREFIX}/${LARKSPUR_UDEV_RULES_DIR}/70-larkspur.rules
            -P ${CMAKE_SOURCE_DIR}/cmake/manpage.cmake
    DEPENDS larkspur ${CMAKE_SOURCE_DIR}/cmake/manpage.cmake
    COMMENT "Making the man page from larkspur -h"
    VERBATIM)
add_custom_target(larkspur_manpage ALL DEPENDS ${_man} ${_changelog})
install(FILES ${_man} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME larkspur)
set(CPACK_PACKAGE_VERSION "${LARKSPUR_PACKAGE_VERSION}")
set(CPACK_PACKAGE_CONTACT "The Larkspur developers <larkspur@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "bring up and soak-test the DDR memory of development boards")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "Larkspur delivers a DDR init script to a board in its boot ROM's serial
download mode, downloads the chip's DDR test program and relays its console.
It reaches the boards over a serial port, USB bulk or USB HID.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Dependencies from the shared libraries larkspur links (dpkg-shlibdeps, in dpkg-dev).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS udev)
set(CPACK_STRIP_FILES ON)
# Only what the install rules above name: the board, the tests and the benchmarks are
# never installed.
include(CPack)
