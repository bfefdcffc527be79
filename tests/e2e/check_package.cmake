# The Windows release ZIP holds the executable, its README and the sample scripts, and no
# image: a stand-in image downloaded into a real chip is no program.
# Run as: cmake -DPACKAGE=<zip> -P check_package.cmake
execute_process(COMMAND ${CMAKE_COMMAND} -E tar tf ${PACKAGE}
                OUTPUT_VARIABLE listing RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
    message(FATAL_ERROR "cannot list ${PACKAGE}")
endif()
set(expected larkspur.exe README.txt)
foreach(t egret heron kestrel merlin hobby)
    list(APPEND expected examples/${t}.inc)
endforeach()
foreach(f IN LISTS expected)
    string(FIND "${listing}" "/${f}\n" pos)
    if(pos EQUAL -1)
        message(FATAL_ERROR "${PACKAGE} lacks ${f}:\n${listing}")
    endif()
endforeach()
string(TOLOWER "${listing}" lower)
if(lower MATCHES "\\.bin\n")
    message(FATAL_ERROR "${PACKAGE} holds an image:\n${listing}")
endif()
# Notepad shows a README with bare line feeds as one long line.
file(REMOVE_RECURSE unpacked)
file(MAKE_DIRECTORY unpacked)
execute_process(COMMAND ${CMAKE_COMMAND} -E tar xf ${PACKAGE} WORKING_DIRECTORY unpacked)
file(GLOB readme unpacked/*/README.txt)
file(READ "${readme}" hex HEX) # as text, CMake would drop the carriage returns
string(REGEX REPLACE "(..)" "\\1 " bytes "${hex}")
string(REPLACE "0d 0a " "" bare "${bytes}")
if(hex STREQUAL "" OR bare MATCHES "(0a|0d) ")
    message(FATAL_ERROR "${PACKAGE}: README.txt is missing or not all in CR LF line ends")
endif()
message(STATUS "${PACKAGE}: every expected entry is there, no image, and a CR LF README")
