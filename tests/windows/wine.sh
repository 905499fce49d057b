#!/usr/bin/env bash
# The exe under Wine with a test double of the port library:
#   wine.sh failure_paths | blinking | key_press
# Skipped (exit 77, with the reason) where Wine cannot run it.
set -euo pipefail
. "$(dirname "$0")/wine-setup.sh"

# A folder with the exe and, as inpout32.dll, the given double (or none).
setup() {
    dir=$(mktemp -d "$WORK/run.XXXXXX")
    cp "$LED_BLINK_EXE" "$dir/"
    [ -z "${1:-}" ] || cp "$DOUBLES/$1.dll" "$dir/inpout32.dll"
    export FAKE_LPT_LOG="$dir/calls.log"
    : >"$FAKE_LPT_LOG"
}
port_values() { awk '$1 == "out" { printf "%s ", $3 }' "$FAKE_LPT_LOG"; }
. "$(dirname "$0")/../blink_phase.env"
# Fails unless consecutive port writes are as far apart as a phase may be.
check_phases() {
    awk -v lo="$BLINK_PHASE_MIN" -v hi="$BLINK_PHASE_MAX" '
        $1 == "out" { if (n++) { d = ($4 - t) / 1e9; if (d < lo || d > hi) bad = 1 } t = $4 }
        END { exit bad }' "$FAKE_LPT_LOG" || fail "a phase was not about one second"
}
# Fails unless each place in the program calls Out32 at the same stack depth
# every time (see the double): a caller that does not leave the popping of
# the arguments to the entry drifts by their size on every call.
check_stack() { # [what ran]
    awk '$1 == "out" { if (NF < 6 || ($5 in at && at[$5] != $6)) bad = 1; at[$5] = $6 }
         END { exit bad }' "$FAKE_LPT_LOG" ||
        fail "${1:-the program}: the stack pointer moved between calls of Out32 from one place" \
            "(calling convention):" \
            "$(awk '$1 == "out" { printf "%s@%s ", $5, $6 }' "$FAKE_LPT_LOG")"
}

case "$1" in
failure_paths) # exact texts, pauses, exit status 1, no port write; keys from a pipe
    check() { # double, standard error, number of pauses
        setup "$1"
        printf 'abc\r\n' >"$dir/keys"
        local what=${1:-no library}
        run_input=$dir/keys run LED_blink.exe
        [ "$status" = 1 ] || fail "$what: exit status $status"
        [ "$(cat "$dir/err.txt")" = "$2" ] || fail "$what: stderr $(cat -A "$dir/err.txt")"
        grep -qF $'Ne morem naloziti dinamicne knjiznice inpout32.dll\r\n' "$dir/out.txt" ||
            fail "$what: no main failure message"
        [ "$(grep -o "Press any key" "$dir/out.txt" | wc -l)" = "$3" ] || fail "$what: pauses"
        [ -z "$(port_values)" ] || fail "$what: the port was written"
    }
    check "" $'LoadLibrary Failed.\r' 2
    check fake_none $'GetProcAddress for Inp32 Failed.\r' 2
    check fake_inp_only $'GetProcAddress for Oup32 Failed.\r' 1
    ;;
blinking) # no console: 1, 2, 1, 2, ... a second apart, the instructions once
    # Beside it, the optimised build (see CMakeLists.txt) for its stack only.
    setup fake_both
    cp "$STACKCHECK_EXE" "$dir/LED_blink.exe"
    (cd "$dir" && timeout -k 5 60 "$wine" LED_blink.exe </dev/null >out.txt 2>&1) &
    stackcheck_dir=$dir
    setup fake_both
    (cd "$dir" && timeout -k 5 60 "$wine" LED_blink.exe </dev/null >out.txt 2>&1) &
    # Until both have written four times: Wine may take seconds to start.
    until_ok 60 '[ "$(grep -c ^out "$FAKE_LPT_LOG" "$stackcheck_dir/calls.log" |
        cut -d: -f2 | sort -n | head -1)" -ge 4 ]' ||
        fail "not four writes from both builds in 60 s: $(port_values);" \
            "the optimised build: $(grep -c ^out "$stackcheck_dir/calls.log")"
    "$wineserver" -k 2>/dev/null || true
    wait || true
    [[ "$(port_values)" == "1 2 1 2"* ]] || fail "port values: $(port_values)"
    check_phases
    check_stack
    FAKE_LPT_LOG=$stackcheck_dir/calls.log
    [[ "$(port_values)" == "1 2 1"* ]] || fail "the optimised build: port values: $(port_values)"
    check_stack "the optimised build"
    [ "$(grep -c "Dve LED diodi na V/I vmesniku utripata. " "$dir/out.txt")" = 1 ] ||
        fail "instruction text not shown exactly once"
    ;;
key_press) # a key typed into a wineconsole window on a virtual X display in
    # the second cycle: 1, 2, 1, 2, 0, exit status 0
    start_display
    setup fake_both
    console LED_blink.exe
    until_ok 10 '[ -n "$(port_values)" ]' || fail "the program did not start blinking"
    # Into the second cycle, so that each place in the loop calls the port
    # library twice.
    until_ok 10 '[[ "$(port_values)" == "1 2 1 "* ]]' ||
        fail "the second cycle did not start in 10 s: $(port_values)"
    press x LED_blink.exe
    [ "$(port_values)" = "1 2 1 2 0 " ] || fail "port values: $(port_values)"
    check_phases
    check_stack
    grep -q "^unload" "$FAKE_LPT_LOG" || fail "the library was not released"
    [ "$(cat "$dir/LED_blink.exe.status" 2>/dev/null)" = 0 ] ||
        fail "exit status $(cat "$dir/LED_blink.exe.status" 2>/dev/null || echo "missing: still running")"
    ;;
esac
echo ok
