# larkspur(1), made from what `larkspur -h` prints, so the usage text keeps its one home.
# Run as: cmake -DEXE=<larkspur> -DOUT=<larkspur.1.gz> -DVERSION=<v> -DEXAMPLES=<dir>
#               -DRULES=<file> -P manpage.cmake
execute_process(COMMAND ${EXE} -h OUTPUT_VARIABLE usage RESULT_VARIABLE rc)
if(NOT rc EQUAL 0 OR NOT usage MATCHES "^Usage: larkspur ")
    message(FATAL_ERROR "${EXE} -h ended with ${rc} and printed:\n${usage}")
endif()

# Roff: a backslash is \e, a minus \-, and a line must not begin with a dot or a quote.
function(roff out text)
    string(REPLACE "\\" "\\e" text "${text}")
    string(REPLACE "-" "\\-" text "${text}")
    string(REGEX REPLACE "(^|\n)([.'])" "\\1\\\\&\\2" text "${text}")
    set(${out} "${text}" PARENT_SCOPE)
endfunction()
roff(usage "${usage}")
roff(examples "${EXAMPLES}")
roff(rules "${RULES}")

file(WRITE ${OUT}.tmp ".TH LARKSPUR 1 \"\" \"larkspur ${VERSION}\" \"User Commands\"
.SH NAME
larkspur \\- bring up and soak\\-test the DDR memory of development boards
.SH SYNOPSIS
.B larkspur
.RI [ options ]
.SH DESCRIPTION
.B larkspur
reads a DDR init script, checks every register address against the chip's memory map,
delivers the register settings to a board in its boot ROM's serial download mode,
downloads the chip's test image into internal RAM, starts it and relays the test
program's console until ESC is pressed.
The chip's test image
.RI larkspur\\- chip .bin
must be in the working directory.
.PP
The options, as
.B larkspur \\-h
prints them:
.PP
.nf
${usage}.fi
.SH EXIT STATUS
0 after the usage text, the version or ESC; 255 after any failure.
Every message is one line on standard output.
.SH ENVIRONMENT
.TP
.B LARKSPUR_DEVICES
The device directory, whose entry
.BI com N
links to the tty that
.BI \\-com\\  N
opens (else
.BR /dev/ttyS \\fIN\\-1\\fR).
Without it,
.B $XDG_RUNTIME_DIR/larkspur\\-devices
or
.BR /tmp/larkspur\\-devices\\- \\fIuid\\fR.
.SH FILES
.TP
.I ${examples}
Sample DDR init scripts, one per target.
.TP
.I ${rules}
Access to the boards' USB HID and USB bulk devices for the user at the local console.
")
find_program(GZIP gzip REQUIRED)
# -n: no name or time stamp in the header, so the same page gives the same bytes.
execute_process(COMMAND ${GZIP} -9n -c ${OUT}.tmp OUTPUT_FILE ${OUT} RESULT_VARIABLE rc)
file(REMOVE ${OUT}.tmp)
if(NOT rc EQUAL 0)
    message(FATAL_ERROR "gzip failed on the man page")
endif()
