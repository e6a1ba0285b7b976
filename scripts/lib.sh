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
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq ${NO_RECOMMENDS:+--no-install-recommends} "${missing[@]}" >/dev/null
    else
        echo "Missing packages. Run this, then try again:" >&2
        echo "  sudo apt-get install -y ${NO_RECOMMENDS:+--no-install-recommends }${missing[*]}" >&2
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

BUILD_PACKAGES=(g++ cmake ninja-build libgtest-dev rapidjson-dev libyaml-dev libboost-dev)
TEST_PACKAGES=(g++-multilib clang-14 libclang-rt-14-dev)
# The 32-bit build: GoogleTest comes from libgtest-dev's sources, RapidJSON is headers only.
I386_PACKAGES=(g++-multilib qemu-user libyaml-dev:i386)

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

# Windows builds: the mingw-w64 compilers (and dpkg-source for libyaml's Debian source);
# wine64, installed without its recommends, runs the 64-bit tests. Debian keeps wine64
# outside PATH.
WINDOWS_PACKAGES=(g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix dpkg-dev)
WINE64=/usr/lib/wine/wine64

# libyaml_source: unpacks libyaml's Debian source into build-deps/libyaml (once), read
# through a sources list of our own so the system's apt set-up stays untouched.
libyaml_source() {
    local dest=$ROOT/build-deps/libyaml apt=$ROOT/build-deps/apt
    [ -f "$dest/src/parser.c" ] && return 0
    echo "== fetching libyaml's Debian source"
    rm -rf "$apt" && mkdir -p "$apt/parts" "$apt/lists/partial" "$apt/cache/archives/partial" "$apt/src"
    printf '%s\n' "Types: deb-src" "URIs: http://deb.debian.org/debian" \
        "Suites: $(. /etc/os-release && echo "$VERSION_CODENAME")" "Components: main" \
        "Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg" >"$apt/parts/debian-src.sources"
    local opts=(-qq -o Dir::Etc::SourceList=/dev/null -o "Dir::Etc::SourceParts=$apt/parts"
                -o "Dir::State::Lists=$apt/lists" -o "Dir::Cache=$apt/cache")
    apt-get "${opts[@]}" update
    (cd "$apt/src" && apt-get "${opts[@]}" source libyaml >/dev/null 2>&1)
    local unpacked=("$apt"/src/libyaml-*/)
    [ -f "${unpacked[0]}src/parser.c" ] || { echo "libyaml's source could not be fetched" >&2; exit 1; }
    rm -rf "$dest" && mv "${unpacked[0]}" "$dest"
}

# windows_x64_tests: the whole suite, kav-host.exe and the DLL built for 64-bit Windows
# (preset windows-x64) and run under wine64, in a wine prefix of that build's own.
windows_x64_tests() {
    ensure_packages "${BUILD_PACKAGES[@]}" "${WINDOWS_PACKAGES[@]}"
    NO_RECOMMENDS=1 ensure_packages wine64
    libyaml_source
    echo "== windows-x64 build"
    build windows-x64
    echo "== windows-x64 tests (wine64)"
    # The tests leave the prefix's wine server running for the next; it ends when done.
    local status=0
    WINEPREFIX=$ROOT/build-windows-x64/wineprefix \
        ctest --test-dir "$ROOT/build-windows-x64" --output-on-failure -j "$JOBS" --timeout 900 || status=$?
    WINEPREFIX=$ROOT/build-windows-x64/wineprefix "${WINE64%/*}/wineserver" -k 2>/dev/null || true
    return $status
}
