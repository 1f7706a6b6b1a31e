# The Debian packages that building, testing and the demo need.
# Sourced by scripts/test and scripts/demo.

ML_PACKAGES=(
    cmake ninja-build g++ pkg-config
    libgtest-dev libgmock-dev libbenchmark-dev
    libpcsclite-dev pcscd pcsc-tools vsmartcard-vpcd
    ctapi-dev libinih-dev
    clang libclang-rt-14-dev
    util-linux procps
    debhelper dpkg-dev fakeroot lintian help2man man-db systemd
    libgtk-4-dev xvfb xdotool imagemagick
)

# The Windows stage (scripts/test-windows): the cross compilers, Wine to run
# the tests, GoogleTest's sources to build it for Windows.
ML_WINDOWS_PACKAGES=(mingw-w64 wine64 googletest binutils-mingw-w64-x86-64)

# Installs the packages that are missing (apt-get update once, then install).
ml_install_packages() {
    ml_install_package_list "${ML_PACKAGES[@]}"
}

ml_install_windows_packages() {
    ml_install_package_list "${ML_WINDOWS_PACKAGES[@]}"
}

# ml_install_package_list PACKAGE...: installs those of them that are missing.
ml_install_package_list() {
    local missing=() p
    for p in "$@"; do
        if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
            missing+=("$p")
        fi
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    if [ "$(id -u)" != 0 ]; then
        echo "missing Debian packages: ${missing[*]}; install them as root" >&2
        return 1
    fi
    echo "installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}"
}
