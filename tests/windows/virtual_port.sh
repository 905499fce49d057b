#!/usr/bin/env bash
# Our inpout32.dll and lptmon.exe under Wine, as a user without a parallel
# port runs them:
#   virtual_port.sh latch | blinking | consoles
# Skipped (exit 77, with the reason) where Wine cannot run them.
set -euo pipefail
. "$(dirname "$0")/wine-setup.sh"
port_folder "$LED_BLINK_EXE"

case "$1" in
latch) # a value written by one process is read by the next; the notice once each
    for value in 00 01; do
        run lpt_probe.exe
        [ "$status $(out)" = "0 init=0 3bc=$value" ] && [ "$(err)" = $'\n'"$notice" ] ||
            fail "probe, $value expected: status $status: $(cat -A "$dir/out.txt" "$dir/err.txt")"
    done
    [ -f "$dir/state/lpt-3bc.state" ] || fail "no state file in LPT_VIRTUAL_DIR"
    run lptmon.exe --once
    [[ "$status $(cat "$dir/out.txt")" == "0 port 0x3BC  D7-D0 "*"data 0x01 00000001"$'\r' ]] ||
        fail "lptmon --once: status $status: $(cat -A "$dir/out.txt")"
    ;;
blinking) # lptmon.exe --once and --log show the blinker's 1, 2, 1, 2 a second apart
    (cd "$dir" && timeout 60 "$wine" LED_blink.exe </dev/null >blink.txt 2>&1) &
    until_ok 60 '[ -f "$dir/state/lpt-3bc.state" ]' || fail "the blinker did not start"
    started=$SECONDS
    sleep 2
    run lptmon.exe --once
    [ "$status" = 0 ] && grep -qE "data 0x0(1 00000001|2 00000010)"$'\r' "$dir/out.txt" ||
        fail "lptmon --once while blinking: status $status: $(cat -A "$dir/out.txt")"
    sleep $((started + 6 > SECONDS ? started + 6 - SECONDS : 0)) # four writes at least
    "$wineserver" -k 2>/dev/null || true
    wait || true
    (cd "$dir" && timeout 60 "$wine" lptmon.exe --log </dev/null >log.txt 2>&1) &
    until_ok 60 '[ "$(grep -cs " data " "$dir/log.txt")" -ge 4 ]' || true
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
            until_ok 3 '[ -s "$dir/$2.status" ]' && return
        done
    }
    console lptmon.exe
    console LED_blink.exe
    until_ok 60 '[ -f "$dir/state/lpt-3bc.state" ]' || fail "the blinker did not start"
    sleep 3
    press x LED_blink.exe
    [ "$(cat "$dir/LED_blink.exe.status" 2>/dev/null)" = 0 ] || fail "blinker: not ended by the key"
    run lptmon.exe --once
    [[ "$status $(out)" == "0 "*"data 0x00 00000000" ]] || fail "after the key: $status $(out)"
    [ ! -s "$dir/lptmon.exe.status" ] || fail "lptmon ended before q"
    press q lptmon.exe
    [ "$(cat "$dir/lptmon.exe.status" 2>/dev/null)" = 0 ] || fail "lptmon: not ended by q"
    ;;
esac
echo ok
