#!/usr/bin/env bash
# The exe runs on a plain Windows PC: a 32-bit console program that imports
# only what Windows ships, and loads the port library only at run time.
set -euo pipefail
fail() { echo "FAIL: $*"; exit 1; }
headers=$("$OBJDUMP" -p "$LED_BLINK_EXE")
if [ "$WIN_ARCH" = x86_64 ]; then # the stand-in build for running under 64-bit Wine
    "$OBJDUMP" -f "$LED_BLINK_EXE" | grep -q "file format pei-x86-64" || fail "not an x86-64 PE file"
else
    "$OBJDUMP" -f "$LED_BLINK_EXE" | grep -q "file format pei-i386" || fail "not a 32-bit x86 PE file"
    grep -q "Magic.*(PE32)" <<<"$headers" || fail "not PE32"
fi
grep -q "Subsystem.*(Windows CUI)" <<<"$headers" || fail "not a console program"

dlls=$(sed -n 's/^\s*DLL Name: //p' <<<"$headers" | tr 'A-Z' 'a-z' | sort -u)
echo "imports: $(echo $dlls)"
for dll in $dlls; do
    case "$dll" in
    kernel32.dll | msvcrt.dll | ucrtbase.dll | api-ms-win-crt-*.dll | user32.dll | advapi32.dll) ;;
    *) fail "imports $dll, which a plain Windows PC does not have" ;;
    esac
done
for name in LoadLibraryA GetProcAddress FreeLibrary Sleep _kbhit system; do
    grep -qw "$name" <<<"$headers" || fail "does not import $name"
done

# The test double has the real library's plain stdcall export names.
exports=$("$OBJDUMP" -p "$DOUBLES/fake_both.dll")
grep -qw "Inp32" <<<"$exports" && grep -qw "Out32" <<<"$exports" || fail "double lacks Inp32/Out32"
grep -q "Out32@" <<<"$exports" && fail "double exports decorated names"
echo "ok"
