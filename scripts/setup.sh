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

LARKSPUR_BUILD_PACKAGES=(cmake ninja-build g++ libgtest-dev make libudev-dev pkg-config)
LARKSPUR_WINDOWS_PACKAGES=(mingw-w64 wine wine32:i386)
LARKSPUR_FUZZ_PACKAGES=(clang libclang-rt-14-dev)
LARKSPUR_BENCH_PACKAGES=(libbenchmark-dev)
