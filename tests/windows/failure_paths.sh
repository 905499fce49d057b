#!/usr/bin/env bash
# Under Wine: each binding failure with its exact texts, its pauses, exit
# status 1 and no port write. Standard input is a pipe with keys for the pauses.
. "$(dirname "$0")/wine_common.sh"

main=$'Ne morem naloziti dinamicne knjiznice inpout32.dll\r\n'
check() { # double, expected stderr, expected number of pauses
    setup "$1"
    set +e
    printf 'abc\r\n' | (cd "$dir" && timeout 60 "$wine" LED_blink.exe >out.txt 2>err.txt)
    status=$?
    set -e
    [ "$status" = 1 ] || fail "${1:-no library}: exit status $status, not 1"
    [ "$(cat "$dir/err.txt")" = "$2" ] || fail "${1:-no library}: standard error was: $(cat -A "$dir/err.txt")"
    grep -qF "$main" "$dir/out.txt" || fail "${1:-no library}: no main failure message"
    pauses=$(grep -o "Press any key" "$dir/out.txt" | wc -l)
    [ "$pauses" = "$3" ] || fail "${1:-no library}: $pauses pauses, not $3"
    [ -z "$(port_values)" ] || fail "${1:-no library}: the port was written"
}
check "" $'LoadLibrary Failed.\r' 2
check fake_none $'GetProcAddress for Inp32 Failed.\r' 2
check fake_inp_only $'GetProcAddress for Oup32 Failed.\r' 1
echo ok
