# The Windows release package: larkspur.exe, its README and the sample scripts. No test
# image: each chip's DDR test program comes with its board.
install(TARGETS larkspur RUNTIME DESTINATION .)
# CR LF line ends, so that Notepad shows the README as written.
set(readme ${CMAKE_SOURCE_DIR}/docs/README-windows.txt)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${readme})
file(READ ${readme} text)
string(REPLACE "\n" "\r\n" text "${text}")
file(WRITE ${CMAKE_BINARY_DIR}/README.txt "${text}")
install(FILES ${CMAKE_BINARY_DIR}/README.txt DESTINATION .)
install(DIRECTORY ${CMAKE_SOURCE_DIR}/examples/ DESTINATION examples FILES_MATCHING PATTERN "*.inc")

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME larkspur)
set(CPACK_PACKAGE_VERSION "${LARKSPUR_PACKAGE_VERSION}")
set(CPACK_SYSTEM_NAME win32)
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
include(CPack)
