#!/usr/bin/env bash
# The whole test suite: the Linux build with its unit and end-to-end tests, the Windows
# build (MinGW-w64, 32-bit) with its release ZIP tested under Wine, the suite under the
# sanitizers, and each fuzz target for 30 s.
#   LARKSPUR_SKIP_WINDOWS=1     leaves the Windows build and its Wine tests out.
#   LARKSPUR_SKIP_SANITIZERS=1  leaves the sanitizer and fuzz runs out.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/setup.sh

larkspur_need_packages "${LARKSPUR_BUILD_PACKAGES[@]}"
larkspur_need_packages python3-labgrid python3-pytest python3-venv python3-pip

windows_exe=""
windows_zip=""
wine_preload=""
wine_keys=""
wine_usb_dir=""

# The USB route under Wine: the test driver (tests/wine/) as a service of the test prefix,
# started with Wine's services, carrying requests to the bridge the Wine USB tests start in
# build/wine-usb. Installed in that prefix only, never anywhere else. The services read
# their list when they start: the prefix's server starts anew.
install_wine_usb_driver() {
    local sys=$1 dir=$2 windir
    mkdir -p "$dir"
    windir="Z:${dir//\//\\\\}"
    cp "$sys" "$WINEPREFIX/drive_c/windows/system32/drivers/larkspur-usb.sys"
    printf '%s\r\n' 'Windows Registry Editor Version 5.00' '' \
        '[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\larkspurusb]' \
        '"Type"=dword:00000001' '"Start"=dword:00000002' '"ErrorControl"=dword:00000001' \
        '"ImagePath"="C:\\windows\\system32\\drivers\\larkspur-usb.sys"' \
        "\"Bridge\"=\"$windir\"" >"$dir/service.reg"
    wine regedit /S "$dir/service.reg" >/dev/null 2>&1
    wineserver -k 2>/dev/null || true
    wineserver -w || true
    wineserver -p 900 2>/dev/null || true
    wine "$windows_exe" -v >/dev/null 2>&1 || true
}

if [ -z "${LARKSPUR_SKIP_WINDOWS:-}" ]; then
    larkspur_need_packages "${LARKSPUR_WINDOWS_PACKAGES[@]}"
    cmake --preset mingw >/dev/null
    cmake --build --preset mingw
    windows_exe="$PWD/build/mingw/app/larkspur.exe"
    windows_zip="$PWD/build/mingw/larkspur-0.042-win32.zip"
    wine_keys="$PWD/build/mingw/wine_keys.exe"
    export WINEPREFIX="$PWD/build/wineprefix" WINEDEBUG=-all
    # One 64-bit prefix (the 32-bit larkspur.exe runs in it), made once, and one wineserver
    # kept up for the whole run. Wine's device service reaches hidraw devices through its
    # udev backend, which runs only with the SDL backend off.
    if [ ! -d "$WINEPREFIX" ]; then
        wineboot -i >/dev/null 2>&1 || true
        wine reg add 'HKLM\System\CurrentControlSet\Services\winebus' /v 'Enable SDL' \
            /t REG_DWORD /d 0 /f >/dev/null 2>&1
        wineserver -w || true # let the set-up's server go, so ours is the persistent one
    fi
    larkspur_wine_preload "$PWD/build/umockdev-preload"
    wine_preload="$PWD/build/umockdev-preload/\$LIB/libumockdev-preload.so.0"
    wine_usb_dir="$PWD/build/wine-usb"
    wineserver -p 900 2>/dev/null || true
    # Wine's first start of a program in a prefix is slow; the tests' time limits should
    # not pay for it.
    wine "$windows_exe" -v >/dev/null 2>&1 || true
fi

# The Linux release package (checked by the suite's linux.package), and a build for real
# boards on a machine view without the virtual board's and the tests' packages.
larkspur_need_packages dpkg-dev file
cmake --preset release >/dev/null
cmake --build --preset release --target larkspur larkspur_manpage
(cd build/release && cpack -G DEB >/dev/null)
linux_deb="$PWD/build/release/larkspur_0.042_$(dpkg --print-architecture).deb"
cmake -DSOURCE_DIR="$PWD" -DWORK="$PWD/build/minimal" -P packaging/check_minimal_build.cmake

cmake --preset debug -DLARKSPUR_WINDOWS_EXE="$windows_exe" \
    -DLARKSPUR_WINDOWS_PACKAGE="$windows_zip" -DLARKSPUR_WINE_PRELOAD="$wine_preload" \
    -DLARKSPUR_WINE_KEYS="$wine_keys" -DLARKSPUR_WINE_USB_DIR="$wine_usb_dir" \
    -DLARKSPUR_LINUX_PACKAGE="$linux_deb" >/dev/null
cmake --build --preset debug

if [ -n "$windows_exe" ]; then
    (cd build/mingw && cpack >/dev/null)
    install_wine_usb_driver build/debug/tests/wine/larkspur-usb.sys "$wine_usb_dir"
fi

status=0
ctest --preset debug -j4 --timeout 600 || status=$?
[ -n "$windows_exe" ] && { wineserver -k 2>/dev/null || true; }

if [ -z "${LARKSPUR_SKIP_SANITIZERS:-}" ]; then
    scripts/sanitize.sh || status=$?
    scripts/fuzz.sh 30 || status=$?
fi
exit $status
