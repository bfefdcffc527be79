# The Windows release package: larkspur.exe, the README, the sample scripts and the test
# images (written by the Linux build's larkspur-board into LARKSPUR_TEST_IMAGES_DIR).
set(LARKSPUR_TEST_IMAGES_DIR "" CACHE PATH "Folder holding larkspur-<target>.bin for the package")

install(TARGETS larkspur RUNTIME DESTINATION .)
install(FILES ${CMAKE_SOURCE_DIR}/README.md DESTINATION .)
install(DIRECTORY ${CMAKE_SOURCE_DIR}/examples/ DESTINATION examples FILES_MATCHING PATTERN "*.inc")
if(LARKSPUR_TEST_IMAGES_DIR)
    install(DIRECTORY ${LARKSPUR_TEST_IMAGES_DIR}/ DESTINATION .
            FILES_MATCHING PATTERN "larkspur-*.bin")
endif()

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME larkspur)
set(CPACK_PACKAGE_VERSION "0.042")
set(CPACK_SYSTEM_NAME win32)
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
include(CPack)
