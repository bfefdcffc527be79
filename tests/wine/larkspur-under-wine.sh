#!/bin/sh
# Runs the Windows build under Wine with its USB requests served by the bridge, in the
# environment this script is given (a board's emulation settings included), for the
# benchmarks and by hand:
#   larkspur-wire-bench --only usb --larkspur tests/wine/larkspur-under-wine.sh
# Needs the test prefix with the driver installed, as scripts/test.sh leaves it, and
#   WINEPREFIX, LARKSPUR_WINE_EXE (larkspur.exe), LARKSPUR_WINE_USB_BRIDGE (the bridge),
#   LARKSPUR_WINE_USB_DIR (the folder the driver was installed with).
# The bridge ends with this process, which becomes Wine's.
set -eu
ready=$(mktemp)
"$LARKSPUR_WINE_USB_BRIDGE" "$LARKSPUR_WINE_USB_DIR" >"$ready" &
for _ in $(seq 200); do
    grep -q ready "$ready" && break
    sleep 0.05
done
rm -f "$ready"
unset LD_PRELOAD
export WINEDEBUG=-all
exec wine "$LARKSPUR_WINE_EXE" "$@"
