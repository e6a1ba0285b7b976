#!/bin/sh
# ctest's emulator for Windows programs: wine-run.sh WINE PROGRAM ARGS... (WINEPREFIX set),
# WINE being wine64 or wine32's loader.
# The prefix's wine server and services are started first, detached and persistent:
# started by a test they would hold ctest's output pipe (and the lock) open, and the
# test would never end.
wine=$1
shift
(
    flock 9
    mkdir -p "$WINEPREFIX"
    if "${wine%/*}/wineserver" -p </dev/null >/dev/null 2>&1 9>&-; then
        "$wine" wineboot </dev/null >/dev/null 2>&1 9>&-
    fi
) 9>"$WINEPREFIX.lock"
exec "$wine" "$@"
