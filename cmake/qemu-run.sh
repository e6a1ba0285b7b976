#!/bin/bash
# ctest's emulator for i386 programs: qemu-run.sh QEMU PROGRAM ARGS...
# Debian 12's qemu-user has a rare race in its own i386 translator: a threaded guest now
# and then dies with "assertion failed: (IOPL(dc) == iopl)" and SIGSEGV. That abort is the
# emulator's, not the program's, so only then is the run repeated, at most twice; any
# other result stands as it is.
qemu=$1
shift
err=$(mktemp) || exit 125
trap 'rm -f "$err"' EXIT
for attempt in 1 2 3; do
    "$qemu" "$@" 2> >(tee "$err" >&2)
    status=$?
    wait $!
    if [ "$status" -eq 0 ] || ! grep -q 'i386_tr_init_disas_context: assertion failed' "$err"; then
        exit "$status"
    fi
    echo "qemu-run.sh: qemu-i386 aborted in its own translator (run $attempt); running again" >&2
done
exit "$status"
