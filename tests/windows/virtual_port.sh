#!/usr/bin/env bash
# Our inpout32.dll and lptmon.exe under Wine, as a user without a parallel
# port runs them:
#   virtual_port.sh latch | blinking | consoles
# Skipped (exit 77, with the reason) where Wine cannot run them.
set -euo pipefail
. "$(dirname "$0")/wine-setup.sh"
trap '"$wineserver" -k 2>/dev/null || true' EXIT

# A folder as the user unzips it, with a state folder of its own (a Windows
# path: Wine maps Z: to the Unix root).
dir=$(mktemp -d "$WORK/run.XXXXXX")
cp "$LED_BLINK_EXE" "$INPOUT32_DLL" "$LPTMON_EXE" "$PROBE_EXE" "$dir/"
export LPT_VIRTUAL_DIR="Z:${dir//\//\\}\\state"
run() { # program [args...]: output to $dir/out.txt and $dir/err.txt
    (cd "$dir" && timeout 60 "$wine" "$@" </dev/null >out.txt 2>err.txt)
}
notice=$'inpout32: virtual port 0x3BC: no hardware is driven; watch it with lptmon\r'
# until_there FILE: waits for it, at most a minute: Wine may take seconds
# to start a program.
until_there() { for _ in $(seq 600); do [ -f "$1" ] && break; sleep 0.1; done; }

case "$1" in
latch) # a value written by one process is read by the next; the notice once each
    run lpt_probe.exe || fail "first probe: status $?"
    [ "$(cat "$dir/out.txt")" = $'init=0 3bc=00\r' ] || fail "fresh port: $(cat -A "$dir/out.txt")"
    [ "$(cat "$dir/err.txt")" = $'\r\n'"$notice" ] || fail "notice: $(cat -A "$dir/err.txt")"
    run lpt_probe.exe || fail "second probe: status $?"
    [ "$(cat "$dir/out.txt")" = $'init=0 3bc=01\r' ] || fail "latch: $(cat -A "$dir/out.txt")"
    [ "$(grep -c "no hardware" "$dir/err.txt")" = 1 ] || fail "notice not once"
    [ -f "$dir/state/lpt-3bc.state" ] || fail "no state file in LPT_VIRTUAL_DIR"
    run lptmon.exe --once || fail "lptmon --once: status $?"
    [[ "$(cat "$dir/out.txt")" == "port 0x3BC  D7-D0 "*"data 0x01 00000001"$'\r' ]] ||
        fail "lptmon --once: $(cat -A "$dir/out.txt")"
    # Without LPT_VIRTUAL_DIR: the user's local application data folder.
    (unset LPT_VIRTUAL_DIR && run lpt_probe.exe) || fail "probe, default folder: status $?"
    ls "$WINEPREFIX"/drive_c/users/*/AppData/Local/lpt-virtual/lpt-3bc.state >/dev/null ||
        fail "no state file under the local application data folder"
    ;;
blinking) # lptmon.exe --once and --log show the blinker's 1, 2, 1, 2 a second apart
    (cd "$dir" && timeout 60 "$wine" LED_blink.exe </dev/null >blink.txt 2>&1) &
    until_there "$dir/state/lpt-3bc.state"
    started=$SECONDS
    sleep 2
    run lptmon.exe --once || fail "lptmon --once while blinking: status $?"
    grep -qE "data 0x0(1 00000001|2 00000010)"$'\r' "$dir/out.txt" ||
        fail "lptmon --once while blinking: $(cat -A "$dir/out.txt")"
    sleep $((started + 6 > SECONDS ? started + 6 - SECONDS : 0)) # four writes at least
    "$wineserver" -k 2>/dev/null || true
    wait || true
    (cd "$dir" && timeout 60 "$wine" lptmon.exe --log </dev/null >log.txt 2>&1) &
    for _ in $(seq 600); do [ "$(grep -cs " data " "$dir/log.txt")" -ge 4 ] && break; sleep 0.1; done
    "$wineserver" -k 2>/dev/null || true
    wait || true
    # "417.210451  +1.000271  data    0x02 00000010  pid 9699"; the first has no gap
    values=$(awk '/ data / { for (i = 1; i <= NF; i++) if ($i == "data") printf "%s ", $(i + 1) }' \
        "$dir/log.txt")
    [[ "$values" == "0x01 0x02 0x01 0x02 "* ]] || fail "logged values: $values"
    awk '/ data / && $2 ~ /^\+/ { d = substr($2, 2); if (d < 0.95 || d > 1.2) bad = 1 }
         END { exit bad }' "$dir/log.txt" || fail "a phase was not about one second: $(cat "$dir/log.txt")"
    [ "$(grep -c "no hardware" "$dir/blink.txt")" = 1 ] || fail "blinker: notice not once"
    ;;
consoles) # two console windows: a key ends the blinker with both LEDs off, q ends lptmon
    start_display
    press() { # key program: typed into the program's window until the program ends
        local window
        window=$(timeout 60 xdotool search --sync --onlyvisible --name "$2" | head -1) ||
            fail "no console window of $2"
        for _ in 1 2 3; do
            # No window manager runs here: the windows lie on one another, so
            # the window is raised, clicked and given the focus directly.
            xdotool windowraise "$window" mousemove --window "$window" 100 100 click 1
            xdotool windowfocus --sync "$window"
            sleep 0.5
            xdotool key "$1"
            for _ in $(seq 30); do [ -s "$dir/$2.status" ] && return; sleep 0.1; done
        done
    }
    console lptmon.exe
    console LED_blink.exe
    until_there "$dir/state/lpt-3bc.state"
    [ -f "$dir/state/lpt-3bc.state" ] || fail "the blinker did not start"
    sleep 3
    press x LED_blink.exe
    [ "$(cat "$dir/LED_blink.exe.status" 2>/dev/null)" = 0 ] || fail "blinker: not ended by the key"
    run lptmon.exe --once || fail "lptmon --once after the key: status $?"
    grep -qF "data 0x00 00000000" "$dir/out.txt" || fail "after the key: $(cat "$dir/out.txt")"
    [ ! -s "$dir/lptmon.exe.status" ] || fail "lptmon ended before q"
    press q lptmon.exe
    [ "$(cat "$dir/lptmon.exe.status" 2>/dev/null)" = 0 ] || fail "lptmon: not ended by q"
    ;;
esac
echo ok
