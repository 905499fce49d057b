#!/usr/bin/env bash
# The exe under Wine with a test double of the port library:
#   wine.sh failure_paths | blinking | key_press
# Skipped (exit 77, with the reason) where Wine cannot run it.
set -euo pipefail
fail() { echo "FAIL: $*"; exit 1; }
skip() { echo "SKIPPED: $*"; exit 77; }

. "$SOURCE_DIR/scripts/ia32.sh"
if [ "$WIN_ARCH" = x86_64 ]; then
    # The 64-bit stand-in build runs in 64-bit Wine, also where no 32-bit
    # program can run.
    wine=$(command -v wine64 || echo /usr/lib/wine/wine64)
    [ -x "$wine" ] || skip "64-bit Wine (wine64) is not installed"
else
    can_run_ia32 || skip "this kernel cannot run 32-bit x86 programs, so Wine cannot start the exe"
    wine=$(command -v wine) || skip "Wine is not installed"
fi
wineserver=$(dirname "$wine")/wineserver
command -v "$wineserver" >/dev/null || wineserver=wineserver
export WINEPREFIX="$WORK/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
mkdir -p "$WORK"
[ -d "$WINEPREFIX" ] || timeout 120 "$wine" wineboot -i >/dev/null 2>&1 ||
    skip "wineboot could not make a Wine prefix"
probe=$(timeout 60 "$wine" cmd /c echo wine-ok 2>&1 || true)
grep -q wine-ok <<<"$probe" || skip "Wine does not run programs here: $(head -1 <<<"$probe")"

# A folder with the exe and, as inpout32.dll, the given double (or none).
setup() {
    dir=$(mktemp -d "$WORK/run.XXXXXX")
    cp "$LED_BLINK_EXE" "$dir/"
    [ -z "${1:-}" ] || cp "$DOUBLES/$1.dll" "$dir/inpout32.dll"
    export FAKE_LPT_LOG="$dir/calls.log"
    : >"$FAKE_LPT_LOG"
}
port_values() { awk '$1 == "out" { printf "%s ", $3 }' "$FAKE_LPT_LOG"; }
# Fails unless consecutive port writes are 0.95 to 1.2 s apart.
check_phases() {
    awk '$1 == "out" { if (n++) { d = ($4 - t) / 1e9; if (d < 0.95 || d > 1.2) bad = 1 } t = $4 }
         END { exit bad }' "$FAKE_LPT_LOG" || fail "a phase was not about one second"
}

case "$1" in
failure_paths) # exact texts, pauses, exit status 1, no port write; keys from a pipe
    check() { # double, standard error, number of pauses
        setup "$1"
        status=0
        printf 'abc\r\n' | (cd "$dir" && timeout 60 "$wine" LED_blink.exe >out.txt 2>err.txt) || status=$?
        [ "$status" = 1 ] || fail "${1:-no library}: exit status $status"
        [ "$(cat "$dir/err.txt")" = "$2" ] || fail "${1:-no library}: stderr $(cat -A "$dir/err.txt")"
        grep -qF $'Ne morem naloziti dinamicne knjiznice inpout32.dll\r\n' "$dir/out.txt" ||
            fail "${1:-no library}: no main failure message"
        [ "$(grep -o "Press any key" "$dir/out.txt" | wc -l)" = "$3" ] || fail "${1:-no library}: pauses"
        [ -z "$(port_values)" ] || fail "${1:-no library}: the port was written"
    }
    check "" $'LoadLibrary Failed.\r' 2
    check fake_none $'GetProcAddress for Inp32 Failed.\r' 2
    check fake_inp_only $'GetProcAddress for Oup32 Failed.\r' 1
    ;;
blinking) # no console: 1, 2, 1, 2, ... a second apart, the instructions once
    setup fake_both
    (cd "$dir" && timeout 5 "$wine" LED_blink.exe </dev/null >out.txt 2>&1) || true
    "$wineserver" -k 2>/dev/null || true
    [[ "$(port_values)" == "1 2 1 2"* ]] || fail "port values: $(port_values)"
    check_phases
    [ "$(grep -c "Dve LED diodi na V/I vmesniku utripata. " "$dir/out.txt")" = 1 ] ||
        fail "instruction text not shown exactly once"
    ;;
key_press) # a key typed into a wineconsole window on a virtual X display: 1, 2, 0
    command -v Xvfb >/dev/null || skip "Xvfb is not installed"
    command -v xdotool >/dev/null || skip "xdotool is not installed"
    export DISPLAY=:77
    Xvfb "$DISPLAY" -screen 0 1024x768x24 >/dev/null 2>&1 &
    xvfb=$!
    trap 'kill $xvfb 2>/dev/null; "$wineserver" -k 2>/dev/null || true' EXIT
    sleep 1
    setup fake_both
    (cd "$dir" && "$wine" wineconsole LED_blink.exe >/dev/null 2>&1) &
    for _ in $(seq 100); do [ -n "$(port_values)" ] && break; sleep 0.1; done
    [ -n "$(port_values)" ] || fail "the program did not start blinking"
    window=$(xdotool search --sync --onlyvisible --name "LED_blink" | head -1)
    # No window manager runs here: give the window the focus directly.
    xdotool windowfocus --sync "$window" key x
    for _ in $(seq 80); do [[ "$(port_values)" == *"0 " ]] && break; sleep 0.1; done
    [ "$(port_values)" = "1 2 0 " ] || fail "port values: $(port_values)"
    check_phases
    grep -q "^unload" "$FAKE_LPT_LOG" || fail "the library was not released"
    ;;
esac
echo ok
