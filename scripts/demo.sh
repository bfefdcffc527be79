#!/usr/bin/env bash
# The demo: builds everything, writes the test images, starts a virtual egret board on a
# pseudo-terminal (or a board of another target and transport) and runs larkspur against
# it, as the board's command: a HID or USB board's device exists in the board's emulation
# of the kernel, which larkspur enters that way. At a terminal you end the console with
# ESC; without one (CI, a pipe) the demo presses ESC itself once the test program has
# reported its result.
#   scripts/demo.sh [egret|heron|kestrel|merlin|hobby] [uart|usb|hid]
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD

target=${1:-egret}
transport=${2:-}
case "$target/$transport" in
    egret/ | egret/uart | egret/usb | heron/ | heron/uart | heron/usb) ;;
    kestrel/ | kestrel/hid | merlin/ | merlin/hid | hobby/ | hobby/hid) ;;
    *)
        echo "scripts/demo.sh: no target \"$target\"${transport:+ over \"$transport\"}. Targets:" >&2
        echo "  egret [uart|usb], heron [uart|usb], kestrel, merlin, hobby (over hid)" >&2
        exit 2
        ;;
esac

source scripts/setup.sh
larkspur_need_packages "${LARKSPUR_BUILD_PACKAGES[@]}"
# The debug preset, as the README's steps by hand use: build/debug/app/larkspur and
# build/debug/boardsim/larkspur-board.
cmake --preset debug >/dev/null
cmake --build --preset debug --target larkspur larkspur-board
bin=$repo/build/debug
larkspur=$bin/app/larkspur
board=$bin/boardsim/larkspur-board

work=$(mktemp -d /tmp/larkspur-demo-XXXXXX)
devices=$work/devices
trap 'rm -rf "$work"' EXIT

"$board" --write-images "$work"
# The script name must begin with a letter or digit, so the run names it relative.
cp "$repo/examples/$target.inc" "$work/"
board_args=(--target "$target" --devices "$devices" --log "$work/board.log")
[ -n "$transport" ] && board_args+=(--transport "$transport")
case "$target" in
    egret | heron)
        if [ "$transport" = usb ]; then
            args=(-t "$target" -df "$target.inc" -usb)
        else
            board_args+=(--com 1)
            args=(-t "$target" -df "$target.inc" -com 1)
        fi
        ;;
    *) args=(-t falcon -df "$target.inc") ;;
esac

cd "$work"
echo "+ larkspur ${args[*]}"
run=(env LARKSPUR_DEVICES="$devices" "$board" "${board_args[@]}" -- "$larkspur" "${args[@]}")
if [ -t 0 ] && [ -t 1 ]; then
    "${run[@]}"
else
    # No one at the keyboard: press ESC once the test program has given its verdict.
    mkfifo "$work/keys"
    (
        exec 3>"$work/keys"
        for _ in $(seq 1200); do
            grep -q "DDR test:" "$work/out.log" 2>/dev/null && break
            sleep 0.1
        done
        sleep 0.5
        printf '\033' >&3
    ) &
    "${run[@]}" <"$work/keys" | tee "$work/out.log"
fi
