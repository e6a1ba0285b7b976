#!/bin/bash
# runs-i386.sh: exits 0 when this machine's kernel runs 32-bit x86 programs itself (IA32
# emulation); otherwise prints why not, on one line, and exits 1. Needs gcc -m32.
# A registered i386 binfmt_misc handler (qemu-user-binfmt's) would start them through an
# emulator, in front of the kernel's own loader: that does not count as running them.
for entry in /proc/sys/fs/binfmt_misc/*; do
    [ -f "$entry" ] && grep -qx enabled "$entry" 2>/dev/null || continue
    if grep -q '^magic 7f454c4601010100000000000000000002000300' "$entry"; then
        echo "i386 programs start through binfmt_misc's $(sed -n 's/^interpreter //p' "$entry") (${entry##*/}), an emulator"
        exit 1
    fi
done
dir=$(mktemp -d) || exit 1
trap 'rm -rf "$dir"' EXIT
printf 'int main(void) { return sizeof(void*) == 4 ? 0 : 1; }\n' >"$dir/probe.c"
if ! gcc -m32 -o "$dir/probe" "$dir/probe.c" 2>/dev/null; then
    echo "gcc -m32 cannot build a program here (g++-multilib missing), so whether the kernel runs one is unknown"
    exit 1
fi
if ! error=$("$dir/probe" 2>&1); then
    error=${error##*: }
    echo "the kernel refuses a 32-bit x86 program (${error:-exit status not 0}): it has no IA32 emulation or has it off (boot option ia32_emulation=on)"
    exit 1
fi
