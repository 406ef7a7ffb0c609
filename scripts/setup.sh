# Sourced by the other scripts: installs what is missing from Debian's archive and builds.
#   ensure_packages PACKAGE...   installs the packages that are not installed yet (apt-get update once)
#   build_native [BUILD_DIR]     configures (the default preset) and builds the Linux program, tests and
#                                benchmarks

repo_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

# Everything the build, the tests, the demo and the Windows cross build need, from Debian's archive.
NATIVE_PACKAGES=(cmake ninja-build g++ clang libclang-rt-14-dev python3 pkg-config xxd
                 libgtest-dev
                 librtmidi-dev libasound2-dev libjack-jackd2-dev jackd2)
WINDOWS_PACKAGES=(g++-mingw-w64-i686-posix mingw-w64-i686-dev g++-mingw-w64-x86-64-posix mingw-w64-x86-64-dev
                  wine wine64 wine32:i386)
# The QEMU guest of the tests on the ALSA sequencer and a USB MIDI device (scripts/vm/guest.sh); its
# kernel is fetched by the guest script itself with apt-get download, never installed.
VM_PACKAGES=(qemu-system-x86 busybox-static alsa-utils xxd)
# The web edition: Debian's emscripten builds it, and the browser tests run it in headless Chromium.
WEB_PACKAGES=(emscripten chromium)
# The release files, beyond the Linux build's packages: the 32-bit Windows compiler and emscripten; git
# names the commit, dpkg-shlibdeps (dpkg-dev) finds the packages' dependencies, lintian checks them.
RELEASE_PACKAGES=(g++-mingw-w64-i686-posix mingw-w64-i686-dev emscripten git dpkg-dev lintian)

as_root() {
    if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

package_installed() {
    dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'
}

ensure_packages() {
    local missing=() package
    for package in "$@"; do
        package_installed "$package" || missing+=("$package")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "== Installing: ${missing[*]}"
    for package in "${missing[@]}"; do
        case $package in
            *:i386)
                dpkg --print-foreign-architectures | grep -qx i386 || as_root dpkg --add-architecture i386 ;;
        esac
    done
    if [ -z "${UPDATE_APT_UPDATED:-}" ]; then
        as_root apt-get update -q || return 1
        export UPDATE_APT_UPDATED=1
    fi
    # jackd2 asks about real-time scheduling; the default answer is fine here.
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
}

build_native() {
    local build_dir=${1:-$repo_root/build}
    cmake -S "$repo_root" --preset default -B "$build_dir" >/dev/null && cmake --build "$build_dir"
}
