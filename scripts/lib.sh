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
    # The pinned OpenAPI validator of tests/openapi, the same way.
    dir="$ROOT/tests/openapi"
    if [ ! -f "$dir/node_modules/.package-lock.json" ] || [ "$dir/package-lock.json" -nt "$dir/node_modules/.package-lock.json" ]; then
        echo "== npm ci in tests/openapi"
        (cd "$dir" && npm ci --no-audit --no-fund --loglevel=error)
    fi
    export KAV_REQUIRE_OPENAPI=1
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

# why_no_32bit: prints why this machine's kernel cannot run 32-bit x86 programs and
# answers true; answers false when it can (cmake/runs-i386.sh; needs g++-multilib).
why_no_32bit() {
    ! "$ROOT/cmake/runs-i386.sh"
}

# i386_tests: the whole suite built for 32-bit x86 Linux (preset i386) and run natively
# where the kernel runs 32-bit programs, else under qemu-i386 (the toolchain file decides
# the same way).
i386_tests() {
    local why
    if why=$(why_no_32bit); then
        echo "== i386 build and tests (under qemu-i386: $why)"
    else
        echo "== i386 build and tests (natively: the kernel runs 32-bit x86 programs)"
    fi
    build i386
    ctest --test-dir "$ROOT/build-i386" --output-on-failure -j "$JOBS" --timeout 900
}

# Windows builds: the mingw-w64 compilers (and dpkg-source for libyaml's Debian source);
# wine64 and wine32, installed without their recommends, run the 64-bit and the 32-bit
# tests. Debian keeps both loaders outside PATH.
WINDOWS_PACKAGES=(g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix dpkg-dev)
WINE64=/usr/lib/wine/wine64
WINE32=/usr/lib/wine/wine

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
    wine_suite windows-x64 "$WINE64"
}

# wine_suite PRESET WINE: builds PRESET and runs its tests under WINE in the build's own
# prefix. The tests leave the prefix's wine server running for the next; it ends when done.
wine_suite() {
    local preset=$1 wine=$2 dir
    dir=$ROOT/$(preset_dir "$1")
    libyaml_source
    echo "== $preset build"
    build "$preset"
    echo "== $preset tests (${wine##*/})"
    local status=0
    WINEPREFIX=$dir/wineprefix ctest --test-dir "$dir" --output-on-failure -j "$JOBS" --timeout 900 || status=$?
    WINEPREFIX=$dir/wineprefix "${wine%/*}/wineserver" -k 2>/dev/null || true
    return $status
}

# windows_i686_tests: the whole suite and kav-host.exe built for 32-bit Windows, the host's
# own form (preset windows-i686), and run under wine32 in a wine prefix of that build's
# own; its tests also load the DLL that scripts/build-windows made, so that comes first.
# wine32 is itself a 32-bit x86 program: where the kernel cannot run one, the stage says
# so and is skipped.
windows_i686_tests() {
    ensure_packages g++-multilib
    local why
    if why=$(why_no_32bit); then
        echo "!!!! SKIPPED: the windows-i686 stage (the suite as 32-bit Windows programs under wine32): $why"
        return 0
    fi
    ensure_architecture i386
    ensure_packages "${BUILD_PACKAGES[@]}" "${WINDOWS_PACKAGES[@]}"
    NO_RECOMMENDS=1 ensure_packages wine32:i386
    wine_suite windows-i686 "$WINE32"
}
