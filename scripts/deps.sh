# Sourced by the project's scripts: installs the Debian packages they need
# when some are missing, and says nothing when all are there.
ensure_packages() {
    local missing=()
    local pkg
    for pkg in "$@"; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' \
            || missing+=("$pkg")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    local sudo=()
    [ "$(id -u)" -eq 0 ] || sudo=(sudo)
    echo "Installing missing packages: ${missing[*]}" >&2
    "${sudo[@]}" apt-get update -qq >&2
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends \
        "${missing[@]}" >&2
}

BUILD_PACKAGES=(cmake ninja-build g++ make pkg-config qt6-base-dev libglib2.0-dev libxcb1-dev libzstd-dev libicu-dev)
TEST_PACKAGES=(libgtest-dev libgmock-dev dbus-daemon desktop-file-utils appstream xvfb xauth xdotool ncdu gdu zstd
               lintian dpkg-dev file man-db)
BENCH_PACKAGES=(hyperfine ncdu gdu coreutils gcc time python3)
FUZZ_PACKAGES=(clang libclang-rt-14-dev)
