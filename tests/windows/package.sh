#!/usr/bin/env bash
# The package a Windows user takes: the install puts LED_blink.exe, our
# inpout32.dll and lptmon.exe in one folder, CPack zips it, and each of the
# three is a console program or DLL for the target that imports only what a
# plain Windows PC has (the blinker loads the port library only at run time).
set -euo pipefail
fail() { echo "FAIL: $*"; exit 1; }

out=$(mktemp -d "${TMPDIR:-/tmp}/package.XXXXXX")
trap 'rm -rf "$out"' EXIT
cmake --install "$BUILD_DIR" --prefix "$out/folder" >/dev/null || fail "cmake --install"
(cd "$out" && cpack --config "$BUILD_DIR/CPackConfig.cmake" -B "$out/zip" >/dev/null) ||
    fail "cpack"
zip=$(ls "$out"/zip/*.zip)
listing=$(cmake -E tar tf "$zip")
format=pei-i386
[ "$WIN_ARCH" = x86_64 ] && format=pei-x86-64
grep -qE "^[^/]+/lpt-settings.txt$" <<<"$listing" || fail "$(basename "$zip") has no lpt-settings.txt"
for file in LED_blink.exe inpout32.dll lptmon.exe; do
    [ -f "$out/folder/$file" ] || fail "the install has no $file"
    grep -qE "^[^/]+/$file$" <<<"$listing" || fail "$(basename "$zip") has no $file in its folder"
    headers=$("$OBJDUMP" -p "$out/folder/$file")
    "$OBJDUMP" -f "$out/folder/$file" | grep -q "file format $format" || fail "$file: not $format"
    [ "$file" = inpout32.dll ] || grep -q "Subsystem.*(Windows CUI)" <<<"$headers" ||
        fail "$file: not a console program"
    dlls=$(sed -n 's/^\s*DLL Name: //p' <<<"$headers" | tr 'A-Z' 'a-z' | sort -u)
    echo "$file imports: $(echo $dlls)"
    other=$(grep -vxE 'kernel32|msvcrt|ucrtbase|api-ms-win-crt-.*|advapi32' <<<"${dlls//.dll/}" || true)
    [ -z "$other" ] || fail "$file imports $other, which a plain Windows PC does not have"
done

# Unpacked as a teacher does: every text file with CRLF line ends (older
# Notepads show LF alone as one line), and every link in a page leads to a
# file of the zip, and to a heading of that page where it names one.
mkdir "$out/unpacked"
cmake -E chdir "$out/unpacked" cmake -E tar xf "$zip" || fail "cannot unpack $(basename "$zip")"
unpacked=$(echo "$out"/unpacked/*)
slugs() { sed -n 's/\r$//; s/^#\+ //p' "$1" | tr 'A-Z ' 'a-z-' | tr -cd 'a-z0-9_\n-'; }
for file in "$unpacked"/*.md "$unpacked"/*.txt "$unpacked"/LICENSE; do
    name=$(basename "$file")
    ! grep -qv $'\r$' "$file" || fail "$name has lines without CRLF"
    for link in $(grep -o '](\([^)]*\))' "$file" | sed 's/^](//; s/)$//'); do
        page=${link%%#*} anchor=${link#"$page"}
        [ -n "$page" ] || page=$name
        [[ "$page" == http* ]] || [ -f "$unpacked/$page" ] || fail "$name links to $link, not in the zip"
        [ -z "$anchor" ] || slugs "$unpacked/$page" | grep -qx "${anchor#\#}" ||
            fail "$name links to $link: $page has no such heading"
    done
done

# Plain __stdcall names, as programs ask for them; nothing else exported.
exports=$("$OBJDUMP" -p "$out/folder/inpout32.dll" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p')
[ "$(awk '/^[ \t]+\[/ { print $NF }' <<<"$exports" | sort | tr '\n' ' ')" = "Inp32 Out32 " ] ||
    fail "inpout32.dll exports: $exports"
echo ok
