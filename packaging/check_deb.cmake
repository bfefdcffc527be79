# The Linux release package holds larkspur, its man page, the sample scripts, the udev rule,
# the copyright file and the changelog, nothing else; it depends on the libraries larkspur
# links and on no test package; and the larkspur unpacked from it prints its version and
# usage exactly.
# Run as: cmake -DPACKAGE=<deb> -DSOURCE_DIR=<clone> -DWORK=<empty dir> -P check_deb.cmake
function(fail what)
    message(FATAL_ERROR "${PACKAGE}: ${what}")
endfunction()

execute_process(COMMAND dpkg-deb -c ${PACKAGE} OUTPUT_VARIABLE listing RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
    fail("dpkg-deb cannot list it")
endif()
# Files only (directories end with a slash), as paths.
string(REGEX MATCHALL "\\./usr/[^\n]*[^/\n]\n" files "${listing}")
string(REPLACE "\n" "" files "${files}")
string(REPLACE "./usr/" "/usr/" files "${files}")
list(SORT files)
set(expected /usr/bin/larkspur /usr/lib/udev/rules.d/70-larkspur.rules
             /usr/share/doc/larkspur/changelog.gz /usr/share/doc/larkspur/copyright
             /usr/share/man/man1/larkspur.1.gz)
foreach(t egret heron kestrel merlin hobby)
    list(APPEND expected /usr/share/larkspur/examples/${t}.inc)
endforeach()
list(SORT expected)
if(NOT files STREQUAL expected)
    fail("holds\n  ${files}\nwhere it should hold\n  ${expected}")
endif()

execute_process(COMMAND dpkg-deb -f ${PACKAGE} Package Version Architecture Depends
                OUTPUT_VARIABLE fields)
foreach(want "Package: larkspur\n" "Version: 0.042\n" "libudev1 " "libusb-1.0-0 " "libc6 ")
    string(FIND "${fields}" "${want}" at)
    if(at EQUAL -1)
        fail("its control fields lack \"${want}\":\n${fields}")
    endif()
endforeach()
if(fields MATCHES "umockdev|gtest|gmock|benchmark")
    fail("depends on a test package:\n${fields}")
endif()

file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK})
execute_process(COMMAND dpkg-deb -x ${PACKAGE} ${WORK} RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
    fail("dpkg-deb cannot unpack it")
endif()
set(exe ${WORK}/usr/bin/larkspur)

execute_process(COMMAND ${exe} -v OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE rc)
set(version "^Larkspur DDR bring-up and soak test\\. Copyright \\(c\\) 2026 the Larkspur developers\\.\n")
string(APPEND version "Version 0\\.042\\., built at [0-9][0-9]:[0-9][0-9]:[0-9][0-9],[A-Z][a-z][a-z] [ 0-9][0-9] [0-9][0-9][0-9][0-9]\n$")
if(NOT rc EQUAL 0 OR NOT err STREQUAL "" OR NOT out MATCHES "${version}")
    fail("larkspur -v ended with ${rc}, printed:\n${out}\nand on standard error:\n${err}")
endif()

set(usage [=[Usage: larkspur [options]
Options:
  -h,                 Show this help
  -v,                 Display the version
  -t    <string>      Select target(heron,egret, falcon)
  -df   <path>        Input ddr initialization script file(*.inc)
  -com  <num>         select the PC's UART to be used(1,2,3...), for heron/egret only
  -usb                select the PC's USB to be used

  For falcon, UART is not supported and USB is the default option.

  Usage example:
    Larkspur -t egret -df egret_ddr_script_filename -com 4
    Larkspur -t egret -df egret_ddr_script_filename -usb
    Larkspur -t falcon -df falcon_ddr_script_filename
    
]=])
execute_process(COMMAND ${exe} -h OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE rc)
if(NOT rc EQUAL 0 OR NOT err STREQUAL "" OR NOT out STREQUAL usage)
    fail("larkspur -h ended with ${rc}, printed:\n${out}\nand on standard error:\n${err}")
endif()

# The man page shows the usage text as larkspur prints it.
execute_process(COMMAND gzip -dc ${WORK}/usr/share/man/man1/larkspur.1.gz OUTPUT_VARIABLE page
                RESULT_VARIABLE rc)
string(REPLACE "\\-" "-" plain "${page}")
string(REPLACE "\\e" "\\" plain "${plain}")
string(FIND "${plain}" ".nf\n${usage}.fi\n" at)
if(NOT rc EQUAL 0 OR at EQUAL -1 OR NOT page MATCHES "^\\.TH LARKSPUR 1 ")
    fail("the man page is not gzip'd or lacks the usage text:\n${page}")
endif()

file(READ ${WORK}/usr/lib/udev/rules.d/70-larkspur.rules rule)
file(READ ${SOURCE_DIR}/packaging/70-larkspur.rules source_rule)
if(NOT rule STREQUAL source_rule)
    fail("its udev rule is not packaging/70-larkspur.rules")
endif()
file(REMOVE_RECURSE ${WORK})
message(STATUS "${PACKAGE}: the expected files only, its libraries' dependencies, and the exact version and usage")
