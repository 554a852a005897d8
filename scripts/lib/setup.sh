# Shared set-up for the project's scripts: sourced, not run.

# The Debian packages needed to build and test; libclang-rt-dev brings
# libFuzzer and the sanitizer runtimes, which clang only recommends. cpack
# makes the Debian package with dpkg-shlibdeps (dpkg-dev) and needs file to
# find the programs among the files; the packaging test checks the packages
# with lintian and their shell completion with bash-completion.
OSTREL_PACKAGES=(cmake ninja-build clang libclang-rt-dev qt6-base-dev strace dpkg-dev file lintian bash-completion)

# Installs whichever of the given Debian packages are missing (as root, with
# apt-get); does nothing when all are present.
ensure_packages() {
    local missing=()
    local pkg
    for pkg in "$@"; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' || missing+=("$pkg")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "Installing missing packages: ${missing[*]}" >&2
    local sudo=()
    [ "$(id -u)" -eq 0 ] || sudo=(sudo)
    "${sudo[@]}" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq "${missing[@]}" >/dev/null
}

# Configures and builds the project into build/ (incrementally on later runs).
build_project() {
    cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ >/dev/null
    cmake --build build -j "$(nproc)"
}
