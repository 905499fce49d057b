#!/usr/bin/env bash
# Under Wine a key press reaches _kbhit only through a console window: the
# program runs in wineconsole on a virtual X display, xdotool types a key,
# and the port must show 1, 2, 0 and the program end.
. "$(dirname "$0")/wine_common.sh"
command -v Xvfb >/dev/null || skip "Xvfb is not installed"
command -v xdotool >/dev/null || skip "xdotool is not installed"

export DISPLAY=:77
Xvfb "$DISPLAY" -screen 0 1024x768x24 >/dev/null 2>&1 &
xvfb=$!
trap 'kill $xvfb 2>/dev/null; "$wineserver" -k 2>/dev/null || true' EXIT
sleep 1

setup fake_both
(cd "$dir" && "$wine" wineconsole LED_blink.exe >/dev/null 2>&1) &
for _ in $(seq 100); do # the first pattern: the window is up
    [ -n "$(port_values)" ] && break
    sleep 0.1
done
[ -n "$(port_values)" ] || fail "the program did not start blinking"
window=$(xdotool search --sync --onlyvisible --name "LED_blink" | head -1)
# No window manager runs here: give the window the focus directly.
xdotool windowfocus --sync "$window" key x
for _ in $(seq 80); do
    [ "$(port_values | tail -1)" = 0 ] && break
    sleep 0.1
done
values=$(port_values | tr '\n' ' ')
[ "$values" = "1 2 0 " ] || fail "port values: $values"
check_phases
grep -q "^unload" "$FAKE_LPT_LOG" || fail "the library was not released"
echo ok
