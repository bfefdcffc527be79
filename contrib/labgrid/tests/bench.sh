#!/bin/sh
# Figures for the labgrid driver, not a test: what it adds to a run's start and each
# relay's CPU share during a soak of 10 passes, a HID board and a serial board side by
# side (one pytest each). Uses the virtual environment that run.sh makes.
#   bench.sh BUILD_DIR    (LARKSPUR_EXE: another larkspur, such as the release build's)
set -eu
build=$(cd "$1" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
mkdir -m 700 "$work/devices"
"$build/boardsim/larkspur-board" --write-images "$work"
cp "$here/../../../examples/"*.inc "$work"
"$build/boardsim/larkspur-board" --devices "$work/devices" \
    --target kestrel --port 1-1 --log "$work/kestrel.log" \
    --board --target heron --com 7 --log "$work/heron.log" >"$work/board.out" &
board=$!
trap 'kill $board 2>/dev/null; wait $board 2>/dev/null; rm -rf "$work"' EXIT
i=0
while [ "$(grep -c '^READY' "$work/board.out")" -lt 2 ] && [ $i -lt 200 ]; do
    sleep 0.1
    i=$((i + 1))
done
emulation=$(grep '^UMOCKDEV_DIR=' "$work/board.out")
cd "$here"
runs=
for b in kestrel heron; do
    env $emulation PYTHONDONTWRITEBYTECODE=1 LG_WORKDIR="$work" \
        LG_LARKSPUR="${LARKSPUR_EXE:-$build/app/larkspur}" LG_TTY="$work/devices/com7" \
        timeout 300 "$build/labgrid-venv/bin/python" -m pytest "soak/bench_soak.py::test_bench[$b]" \
        -p no:cacheprovider -W ignore::DeprecationWarning -q -rA --passes=10 \
        --lg-env=soak/hid-and-serial.yaml >"$work/$b.out" 2>&1 &
    runs="$runs $!"
done
status=0
for r in $runs; do wait "$r" || status=1; done
grep -hE '^BENCH|passed|failed' "$work/kestrel.out" "$work/heron.out"
exit $status
