#!/usr/bin/env bash
# The suite under the sanitizers: all of it under AddressSanitizer + UBSan (with
# LeakSanitizer), then the threaded code's tests (platform, HID, USB driver layer and
# stand-in) under ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/setup.sh

larkspur_need_packages "${LARKSPUR_BUILD_PACKAGES[@]}"

# A leak or an error ends a sanitized process with exit value 1 and a report on standard
# error; the end-to-end tests check the exit value of every larkspur they start (0 or 255),
# and the fault tests its standard error too.
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=0${ASAN_OPTIONS:+:$ASAN_OPTIONS}"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1${UBSAN_OPTIONS:+:$UBSAN_OPTIONS}"
export TSAN_OPTIONS="halt_on_error=0:suppressions=$PWD/tests/tsan.supp${TSAN_OPTIONS:+:$TSAN_OPTIONS}"

# Tests that spend half a minute or more waiting out a timer the debug suite already runs
# to the end, with no code under them that the shorter tests leave out: the 30 s USB
# attach wait (twice) and the 30 s device list lock wait. The wait loops themselves stay
# in (the 500 HID reopen attempts, the 50 handshake reads).
long_waits='(/usb_board_never_attaches|/usb_never_back|DriverFaults\.ListLockNotHadWithinItsWait)( |$)'

cmake --preset asan >/dev/null
cmake --build --preset asan
ctest --preset asan -j2 --timeout 600 -E "$long_waits"

tsan_targets=(platform_tests larkspur-platform-helper larkspur hid_tests usb_tests larkspur-board)
cmake --preset tsan >/dev/null
cmake --build --preset tsan --target "${tsan_targets[@]}"
# Only the targets above are built; the others show up as *_NOT_BUILT.
ctest --preset tsan -j2 --timeout 600 -E '_NOT_BUILT$'
