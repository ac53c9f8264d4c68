#!/bin/bash
# Which build of the program this machine tests: x86 (the release, 32-bit)
# where the machine runs 32-bit code, x64 where it runs none. MIRQ_ARCH=x86|x64
# forces one. Prints the name; with --why, one line that says why.
# MIRQ_MACHINE_ARCH, where set, is an earlier probe's answer (x86 or x64).
#
# The probe is a 32-bit x86 ELF of 93 bytes that exits with 42 through
# int 0x80: a machine without 32-bit support fails to execute it at all
# ("Exec format error"), whatever is installed.
set -u
runs_32_bit() {
    local probe status
    probe=$(mktemp) || return 1
    printf '\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00\x01\x00\x00\x00\x54\x80\x04\x08'`
          `'\x34\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x34\x00\x20\x00\x01\x00\x00\x00\x00\x00\x00\x00'`
          `'\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08\x00\x80\x04\x08\x5d\x00\x00\x00\x5d\x00\x00\x00'`
          `'\x05\x00\x00\x00\x00\x10\x00\x00\x31\xdb\xb3\x2a\x31\xc0\x40\xcd\x80' >"$probe"
    chmod +x "$probe"
    "$probe" 2>/dev/null
    status=$?
    rm -f "$probe"
    [ $status = 42 ]
}

case "${MIRQ_ARCH:-}" in
    x86|x64) arch=$MIRQ_ARCH why="forced by MIRQ_ARCH" ;;
    "") if [ -n "${MIRQ_MACHINE_ARCH:-}" ]; then [ "$MIRQ_MACHINE_ARCH" = x86 ]; else runs_32_bit; fi
        if [ $? = 0 ]; then arch=x86 why="this machine runs 32-bit code"
        else arch=x64 why="this machine runs no 32-bit code"; fi ;;
    *) echo "MIRQ_ARCH must be x86 or x64, not '$MIRQ_ARCH'" >&2; exit 2 ;;
esac
if [ "${1:-}" = --why ]; then
    case $arch in
        x86) echo "setup: the tests use the 32-bit build (build/, 32-bit Wine): $why" ;;
        x64) echo "setup: the tests use the 64-bit build (build-x64/, 64-bit Wine): $why; the 32-bit release is built beside it" ;;
    esac
else
    echo $arch
fi
