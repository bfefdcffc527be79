#!/usr/bin/env bash
# The benchmarks: builds the release preset with the benchmarks, runs larkspur against the
# virtual board at emulated line rates and prints one table (Markdown; docs/performance.md
# says what each figure means and what bounds it). Over HID and USB each figure is judged
# against the same transfer made by a plain client through the same emulated devices.
# About four minutes; run it on an otherwise idle machine.
#   scripts/bench.sh [--quick] [--only uart|hid|usb|stream|memory|parse]...
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/setup.sh
larkspur_need_packages "${LARKSPUR_BUILD_PACKAGES[@]}" "${LARKSPUR_BENCH_PACKAGES[@]}"

cmake --preset release -DLARKSPUR_BENCH=ON >/dev/null
cmake --build --preset release -j2 >/dev/null
exec build/release/bench/larkspur-wire-bench "$@"
