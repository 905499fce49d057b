# Sourced by the Wine tests: fail and skip, and a Wine that runs programs,
# in $wine and $wineserver, with a prefix of the tests' own. Skips (exit 77,
# with the reason) where Wine cannot run the exe.
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
[ -d "$WINEPREFIX" ] || timeout -k 5 120 "$wine" wineboot -i >/dev/null 2>&1 ||
    skip "wineboot could not make a Wine prefix"
# wine_session: one Wine server for all the test's programs, with Wine's own
# (services.exe, ...) started, their messages in wine.log. Left to itself,
# Wine ends them within a second of its last program and the next program
# starts them anew as the old ones go, handing them its standard error: that
# program's output got their messages, or it never got going. A server of an
# earlier test (one that outlived its time) is ended first.
wine_session() {
    timeout -k 5 30 "$wineserver" -k 2>/dev/null || true
    "$wineserver" -p600 2>"$WORK/wine.log" || fail "the Wine server before this one did not end"
    probe=$(timeout -k 5 60 "$wine" cmd /c echo wine-ok 2>>"$WORK/wine.log" || true)
    grep -q wine-ok <<<"$probe" || skip "Wine does not run programs here: $(head -1 "$WORK/wine.log")"
}
trap '"$wineserver" -k 2>/dev/null || true' EXIT
wine_session
# Names reach Wine as UTF-8 whatever the caller's locale.
export LC_ALL=C.UTF-8

# until_ok SECONDS CONDITION: waits for the condition (Wine may take seconds
# to start a program) at most SECONDS by the clock, also where testing the
# condition runs a Wine program that itself takes seconds; fails after that.
until_ok() {
    local end=$((SECONDS + $1))
    until eval "$2"; do
        [ "$SECONDS" -lt "$end" ] || return 1
        sleep 0.1
    done
}
# windows PATH: a Unix path as Wine's Z: drive names it.
windows() { local path=${1//\//\\}; echo "Z:$path"; }
# port_folder [FILE...]: a folder as the user unzips it, in $dir, with our
# library, lptmon, the probe and the files, and a state folder of its own.
port_folder() {
    dir=$(mktemp -d "$WORK/run.XXXXXX")
    cp "$INPOUT32_DLL" "$LPTMON_EXE" "$PROBE_EXE" "$@" "$dir/"
    export LPT_VIRTUAL_DIR
    LPT_VIRTUAL_DIR=$(windows "$dir/state")
}
# long_folder: a folder in C:\ named in 180 Chinese letters (540 bytes of
# UTF-8, some 200 characters), $long as Wine's Unix path, $long_windows as
# Windows names it.
long_folder() {
    local letters
    letters=$(printf '长%.0s' $(seq 60))
    long="$WINEPREFIX/drive_c/${dir##*/}/$letters/$letters/$letters"
    long_windows="C:\\${dir##*/}\\$letters\\$letters\\$letters"
    mkdir -p "$long"
}
run() { # program [args...]: output to $dir/out.txt and $dir/err.txt, status in
    # $status, input from $run_input (none unless set), in the folder $run_in
    # ($dir unless set); ended after
    # $run_seconds (120 unless set). A program that
    # printed nothing at all before its time ran out is run once more: Wine
    # through QEMU was seen, rarely, never to get a program going (it ignored
    # SIGTERM too); a program of ours that hangs does so again.
    local try seconds=${run_seconds:-120}
    for try in 1 2; do
        status=0
        (cd "${run_in:-$dir}" && timeout -k 5 "$seconds" "$wine" "$@" <"${run_input:-/dev/null}" \
            >"$dir/out.txt" 2>"$dir/err.txt") ||
            status=$?
        if [ "$status" != 124 ] && [ "$status" != 137 ] || [ -s "$dir/out.txt" ] ||
            [ -s "$dir/err.txt" ]; then
            return
        fi
        [ "$try" = 2 ] || echo "note: $1 printed nothing in $seconds s: run once more"
    done
}
out() { tr -d '\r' <"$dir/out.txt"; }
err() { tr -d '\r' <"$dir/err.txt"; }
notice="inpout32: virtual port 0x3BC: no hardware is driven; watch it with lptmon"

# start_display: a virtual X display of its own (other suites may run their
# own X server) for console windows, ended with the test.
start_display() {
    command -v Xvfb >/dev/null || skip "Xvfb is not installed"
    command -v xdotool >/dev/null || skip "xdotool is not installed"
    local display
    display=$(mktemp "$WORK/display.XXXXXX")
    Xvfb -displayfd 3 -screen 0 1024x768x24 3>"$display" >/dev/null 2>&1 &
    trap "kill $! 2>/dev/null; \"\$wineserver\" -k 2>/dev/null || true" EXIT
    until_ok 30 '[ -s "$display" ]' || fail "Xvfb did not start"
    export DISPLAY=":$(cat "$display")"
    # The server started before has no display: a console window opened
    # through it would never show.
    wine_session
}
# console PROGRAM: runs it in a wineconsole window in $dir, in the
# background; its exit status goes to $dir/PROGRAM.status.
console() {
    (
        cd "$dir"
        status=0
        timeout -k 5 90 "$wine" wineconsole "$1" >/dev/null 2>&1 || status=$?
        echo $status >"$1.status"
    ) &
}
# console_window PROGRAM: sets $window to the program's console window on
# the display; fails saying what the display shows instead, whether the
# program still runs and which Wine programs do.
console_window() {
    window=$(timeout -k 5 60 xdotool search --sync --onlyvisible --name "$1" | head -1) || true
    [ -z "$window" ] || return 0
    local shown ended=still running
    shown=$(xdotool search --onlyvisible --name . getwindowname %@ 2>/dev/null | paste -sd ';') ||
        true
    [ ! -s "$dir/$1.status" ] || ended="ended with status $(cat "$dir/$1.status")"
    fail "no console window of $1 on display $DISPLAY in 60 s; windows shown: ${shown:-none};" \
        "$1 $ended; Wine programs running: $(ps -eo args | grep -i '[.]exe' | paste -sd ';')"
}
# focus WINDOW: raised, clicked and given the focus, until the display says
# it has it. No window manager runs here: the windows lie on one another.
focus() {
    local focused=$1
    xdotool windowraise "$focused" mousemove --window "$focused" 100 100 click 1
    # Not --sync: it waits for the focus without a bound.
    xdotool windowfocus "$focused"
    until_ok 10 '[ "$(xdotool getwindowfocus)" = "$focused" ]' ||
        fail "window $focused never took the focus"
}
# press KEY PROGRAM: typed into the program's console window until it ends.
# A key lost on its way into Wine is typed again.
press() {
    local ended=$dir/$2.status
    console_window "$2"
    for _ in 1 2 3; do
        focus "$window"
        xdotool key "$1"
        until_ok 5 '[ -s "$ended" ]' && return
    done
    fail "$2 still runs after the key $1 was typed into its window 3 times"
}
