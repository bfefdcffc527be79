#!/bin/sh
# Figures for the labgrid driver, not a test: what it adds to a run's start and each
# relay's CPU share during a soak of 10 passes, a HID board and a serial board side by
# side. Uses the virtual environment that run.sh makes.
#   bench.sh BUILD_DIR    (LARKSPUR_EXE: another larkspur, such as the release build's)
set -eu
build=$(cd "$1" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -m 700 "$work/devices"
"$build/boardsim/larkspur-board" --write-images "$work"
cp "$here/../../../examples/"*.inc "$work"
cd "$here"
PYTHONDONTWRITEBYTECODE=1 LG_WORKDIR=$work LG_LARKSPUR=${LARKSPUR_EXE:-$build/app/larkspur} \
    LG_TTY=$work/devices/com7 timeout 300 "$build/boardsim/larkspur-board" \
    --devices "$work/devices" --target kestrel --port 1-1 --log "$work/kestrel.log" \
    --board --target heron --com 7 --log "$work/heron.log" -- \
    "$build/labgrid-venv/bin/python" -m pytest soak/bench_soak.py -p no:cacheprovider \
    -W ignore::DeprecationWarning -q -rA -n 2 --passes=10 \
    --lg-env=soak/hid-and-serial.yaml | grep -E '^BENCH|passed|failed'
