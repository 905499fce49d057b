#!/usr/bin/env bash
# Under Wine with no console (standard input from /dev/null): 1, 2, 1, 2, ...
# one second apart, and the instruction text exactly once.
. "$(dirname "$0")/wine_common.sh"

setup fake_both
(cd "$dir" && timeout 5 "$wine" LED_blink.exe </dev/null >out.txt 2>&1) || true
"$wineserver" -k 2>/dev/null || true
values=$(port_values | tr '\n' ' ')
case "$values" in
"1 2 1 2"*) ;;
*) fail "port values: $values" ;;
esac
check_phases
[ "$(grep -c "Dve LED diodi na V/I vmesniku utripata. " "$dir/out.txt")" = 1 ] ||
    fail "instruction text not shown exactly once"
echo ok
