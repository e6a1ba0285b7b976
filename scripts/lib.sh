# Shared by the README's commands: package checks and the build helpers.
set -euo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
JOBS=${JOBS:-2}

# ensure_packages PKG...: installs missing Debian packages as root, otherwise
# prints the exact command to run and stops.
ensure_packages() {
    local missing=()
    for pkg in "$@"; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing+=("$pkg")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    if [ "$(id -u)" -eq 0 ]; then
        echo "== installing ${missing[*]}"
        DEBIAN_FRONTEND=noninteractive apt-get update -qq
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
    else
        echo "Missing packages. Run this, then try again:" >&2
        echo "  sudo apt-get install -y ${missing[*]}" >&2
        exit 1
    fi
}

# ensure_architecture ARCH: lets Debian install ARCH's packages next to the machine's own.
ensure_architecture() {
    { dpkg --print-architecture; dpkg --print-foreign-architectures; } | grep -qx "$1" && return 0
    if [ "$(id -u)" -eq 0 ]; then
        echo "== adding the $1 package architecture"
        dpkg --add-architecture "$1"
        DEBIAN_FRONTEND=noninteractive apt-get update -qq
    else
        echo "Debian's $1 packages are not enabled. Run this, then try again:" >&2
        echo "  sudo dpkg --add-architecture $1 && sudo apt-get update" >&2
        exit 1
    fi
}

BUILD_PACKAGES=(g++ cmake ninja-build libgtest-dev rapidjson-dev libyaml-dev)
TEST_PACKAGES=(g++-multilib clang-14 libclang-rt-14-dev)
# The 32-bit build: GoogleTest comes from libgtest-dev's sources, RapidJSON is headers only.
I386_PACKAGES=(g++-multilib qemu-user libyaml-dev:i386)

# build PRESET [TARGET...]
build() {
    local preset=$1; shift
    cmake --preset "$preset" -S "$ROOT" >/dev/null
    cmake --build "$ROOT/$(preset_dir "$preset")" -j "$JOBS" ${1:+--target "$@"}
}

preset_dir() {
    case $1 in
        default) echo build ;;
        *) echo "build-$1" ;;
    esac
}
