# Sourced by the test and demo scripts: installs what a fresh Debian 12 machine lacks
# (when run as root), so both commands work from a fresh clone.

larkspur_need_packages() {
    local missing=()
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    if [ "$(id -u)" -ne 0 ]; then
        echo "Missing Debian packages: ${missing[*]} (run as root, or install them)" >&2
        return 1
    fi
    if printf '%s\n' "${missing[@]}" | grep -q ':i386$'; then
        dpkg --add-architecture i386
    fi
    if [ -z "${LARKSPUR_APT_UPDATED:-}" ]; then
        apt-get update -q
        export LARKSPUR_APT_UPDATED=1
    fi
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
}

LARKSPUR_BUILD_PACKAGES=(cmake ninja-build g++ libgtest-dev make pkg-config libudev-dev umockdev
    libumockdev-dev libusb-1.0-0-dev)
LARKSPUR_WINDOWS_PACKAGES=(mingw-w64 wine wine32:i386 wine64)
LARKSPUR_FUZZ_PACKAGES=(clang libclang-rt-14-dev)
LARKSPUR_BENCH_PACKAGES=(libbenchmark-dev)

# umockdev's preload for both word sizes, under DIR/lib/<triplet>/, so that an LD_PRELOAD of
# DIR/$LIB/libumockdev-preload.so.0 gives each process its own. Debian ships the 32-bit one
# only in umockdev:i386, which cannot be installed beside the 64-bit umockdev: it is unpacked.
larkspur_wine_preload() {
    local dir=$1 name=libumockdev-preload.so.0
    mkdir -p "$dir/lib/x86_64-linux-gnu" "$dir/lib/i386-linux-gnu"
    ln -sf "/usr/lib/x86_64-linux-gnu/$name" "$dir/lib/x86_64-linux-gnu/$name"
    [ -e "$dir/lib/i386-linux-gnu/$name" ] && return 0
    local tmp
    tmp=$(mktemp -d)
    (cd "$tmp" && apt-get download -q umockdev:i386 >/dev/null 2>&1 && dpkg-deb -x umockdev_*_i386.deb root) ||
        { echo "cannot fetch umockdev:i386 for Wine's 32-bit processes" >&2; rm -rf "$tmp"; return 1; }
    cp "$tmp/root/usr/lib/i386-linux-gnu/$name".* "$dir/lib/i386-linux-gnu/$name"
    rm -rf "$tmp"
}
