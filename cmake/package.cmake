# The Windows release package: larkspur.exe, its README and the sample scripts. No test
# image: each chip's DDR test program comes with its board.
install(TARGETS larkspur RUNTIME DESTINATION .)
install(FILES ${CMAKE_SOURCE_DIR}/docs/README-windows.txt DESTINATION . RENAME README.txt)
install(DIRECTORY ${CMAKE_SOURCE_DIR}/examples/ DESTINATION examples FILES_MATCHING PATTERN "*.inc")

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME larkspur)
set(CPACK_PACKAGE_VERSION "0.042")
set(CPACK_SYSTEM_NAME win32)
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
include(CPack)
