# A build for real boards needs only the libraries larkspur links: on a machine view without
# umockdev and GoogleTest, the board and the tests are left out by default, asking for
# either stops the configure saying what is missing, and with both off everything builds.
# Run as: cmake -DSOURCE_DIR=<clone> -DWORK=<scratch dir> -P check_minimal_build.cmake
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK}/pkgconfig)
# pkg-config sees libudev and libusb only; find_package sees no GoogleTest.
foreach(m libudev libusb-1.0)
    execute_process(COMMAND pkg-config --variable=pcfiledir ${m} OUTPUT_VARIABLE dir
                    OUTPUT_STRIP_TRAILING_WHITESPACE)
    file(CREATE_LINK ${dir}/${m}.pc ${WORK}/pkgconfig/${m}.pc SYMBOLIC)
endforeach()
set(ENV{PKG_CONFIG_LIBDIR} ${WORK}/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")

function(configure name expect_rc expect_text)
    execute_process(COMMAND ${CMAKE_COMMAND} -S ${SOURCE_DIR} -B ${WORK}/${name} -G Ninja
                            -DCMAKE_BUILD_TYPE=Release -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON
                            ${ARGN}
                    OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE rc)
    string(REGEX REPLACE "[ \n]+" " " said "${out}${err}")
    string(FIND "${said}" "${expect_text}" at)
    if(rc EQUAL 0)
        set(ok TRUE)
    else()
        set(ok FALSE)
    endif()
    if(expect_rc EQUAL 0)
        set(want_ok TRUE)
    else()
        set(want_ok FALSE)
    endif()
    if(NOT ok STREQUAL want_ok OR at EQUAL -1)
        message(FATAL_ERROR "configure ${ARGN}: exit ${rc}, expected ${expect_rc} and "
                            "\"${expect_text}\":\n${out}${err}")
    endif()
endfunction()

configure(board_on 1 "LARKSPUR_BUILD_BOARD is ON, but umockdev-1.0 was not found"
          -DLARKSPUR_BUILD_BOARD=ON)
configure(tests_on 1 "LARKSPUR_BUILD_TESTS is ON, but the tests need GoogleTest (libgtest-dev)"
          -DLARKSPUR_BUILD_BOARD=OFF -DLARKSPUR_BUILD_TESTS=ON)
configure(auto 0 "No virtual board: umockdev-1.0 not found")
configure(off 0 "Build files have been written" -DLARKSPUR_BUILD_BOARD=OFF
          -DLARKSPUR_BUILD_TESTS=OFF)
execute_process(COMMAND ${CMAKE_COMMAND} --build ${WORK}/off RESULT_VARIABLE rc)
if(NOT rc EQUAL 0 OR NOT EXISTS ${WORK}/off/app/larkspur OR NOT EXISTS ${WORK}/off/larkspur.1.gz
   OR EXISTS ${WORK}/off/boardsim OR EXISTS ${WORK}/off/tests)
    message(FATAL_ERROR "the build without board and tests failed, or built one of them")
endif()
file(REMOVE_RECURSE ${WORK})
message(STATUS "Without umockdev and GoogleTest: larkspur builds; the board and the tests are left out, or refused when asked for")
