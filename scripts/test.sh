#!/usr/bin/env bash
# The whole test suite: the Linux build with its unit and end-to-end tests, and the
# Windows build (MinGW-w64, 32-bit) tested under Wine.
#   LARKSPUR_SKIP_WINDOWS=1  leaves the Windows build and its Wine tests out.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/setup.sh

larkspur_need_packages "${LARKSPUR_BUILD_PACKAGES[@]}"

windows_exe=""
if [ -z "${LARKSPUR_SKIP_WINDOWS:-}" ]; then
    larkspur_need_packages "${LARKSPUR_WINDOWS_PACKAGES[@]}"
    cmake --preset mingw >/dev/null
    cmake --build --preset mingw
    windows_exe="$PWD/build/mingw/app/larkspur.exe"
    export WINEPREFIX="$PWD/build/wineprefix" WINEDEBUG=-all
    # One prefix, made once, and one wineserver kept up for the whole run.
    [ -d "$WINEPREFIX" ] || wineboot -i >/dev/null 2>&1 || true
    wineserver -p 900
fi

cmake --preset debug -DLARKSPUR_WINDOWS_EXE="$windows_exe" >/dev/null
cmake --build --preset debug
status=0
ctest --preset debug -j2 --timeout 600 || status=$?
[ -n "$windows_exe" ] && wineserver -k 2>/dev/null || true
exit $status
