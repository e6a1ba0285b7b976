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

BUILD_PACKAGES=(g++ cmake ninja-build libgtest-dev rapidjson-dev libyaml-dev libboost-dev)
TEST_PACKAGES=(g++-multilib clang-14 libclang-rt-14-dev)

# prepare_browser_test: Debian's chromium, node with npm, and the pinned puppeteer-core of
# tests/browser (never a browser of its own); the page test then must run, not skip.
prepare_browser_test() {
    ensure_packages chromium
    command -v npm >/dev/null || ensure_packages nodejs npm
    local dir="$ROOT/tests/browser"
    if [ ! -f "$dir/node_modules/.package-lock.json" ] || [ "$dir/package-lock.json" -nt "$dir/node_modules/.package-lock.json" ]; then
        echo "== npm ci in tests/browser"
        (cd "$dir" && PUPPETEER_SKIP_DOWNLOAD=1 npm ci --no-audit --no-fund --loglevel=error)
    fi
    export KAV_REQUIRE_BROWSER=1
}

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
