#!/usr/bin/env bash
# rawmice.exe as it ships: a Windows GUI program (no console window) for the
# build's architecture, that needs no DLL but Windows' own, so it runs with
# nothing beside it.
#   check_program.sh RAWMICE_EXE OBJDUMP BITS   (BITS: 64 for x86-64, 32 for i686)
set -euo pipefail
exe=$1
objdump=$2
bits=$3

case $bits in
    64) want="PE32+ executable (GUI) x86-64" ;;
    32) want="PE32 executable (GUI) Intel 80386" ;;
    *) echo "usage: check_program.sh RAWMICE_EXE OBJDUMP 64|32" >&2; exit 2 ;;
esac
kind=$(file -b "$exe")
case $kind in
    "$want"*) ;;
    *) echo "FAIL: $exe is not a $bits-bit Windows GUI program: $kind" >&2; exit 1 ;;
esac

status=0
while read -r dll; do
    case ${dll,,} in
        kernel32.dll | user32.dll | gdi32.dll | msvcrt.dll | advapi32.dll | shell32.dll) ;;
        comdlg32.dll | ole32.dll | windowscodecs.dll) ;;  # the save dialog, PNG files
        *) echo "FAIL: $exe needs $dll, which Windows does not bring" >&2; status=1 ;;
    esac
done < <("$objdump" -p "$exe" | sed -n 's/^[[:space:]]*DLL Name: //p')
exit $status
