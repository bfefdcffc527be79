# The Windows release ZIP holds the executable, the README, the sample scripts and the
# test images. Run as: cmake -DPACKAGE=<zip> -P check_package.cmake
execute_process(COMMAND ${CMAKE_COMMAND} -E tar tf ${PACKAGE}
                OUTPUT_VARIABLE listing RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
    message(FATAL_ERROR "cannot list ${PACKAGE}")
endif()
set(expected larkspur.exe README.md)
foreach(t egret heron kestrel merlin hobby)
    list(APPEND expected examples/${t}.inc larkspur-${t}.bin)
endforeach()
foreach(f IN LISTS expected)
    string(FIND "${listing}" "/${f}\n" pos)
    if(pos EQUAL -1)
        message(FATAL_ERROR "${PACKAGE} lacks ${f}:\n${listing}")
    endif()
endforeach()
message(STATUS "${PACKAGE}: every expected entry is there")
