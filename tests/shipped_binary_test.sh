#!/usr/bin/env bash
# The shipped program: a 32-bit (Intel 386) PE console executable of at most 64 KiB that needs
# no DLL beyond Windows' own.
set -euo pipefail
exe=$1
info=$(file -b "$exe")
echo "$info"
case "$info" in
  "PE32 executable (console) Intel 80386"*) ;;
  *) echo "not a PE32 console executable for Intel 386"; exit 1 ;;
esac
size=$(stat -c %s "$exe")
echo "size: $size bytes"
[ "$size" -le 65536 ] || { echo "larger than 64 KiB (65536 bytes)"; exit 1; }
dlls=$(i686-w64-mingw32-objdump -p "$exe" | sed -n 's/^\s*DLL Name: //p' | tr 'A-Z' 'a-z' | sort -u)
echo "imports:" $dlls
[ -n "$dlls" ] || { echo "no import table found"; exit 1; }
allowed=" kernel32.dll msvcrt.dll advapi32.dll user32.dll ws2_32.dll "
status=0
for dll in $dlls; do
  [[ "$allowed" == *" $dll "* ]] || { echo "imports a DLL that Windows does not ship: $dll"; status=1; }
done
exit $status
