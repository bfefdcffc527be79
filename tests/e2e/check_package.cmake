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
message(STATUS "${PACKAGE}: every expected entry is there, and no image")
