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
[ -d "$WINEPREFIX" ] || timeout 120 "$wine" wineboot -i >/dev/null 2>&1 ||
    skip "wineboot could not make a Wine prefix"
probe=$(timeout 60 "$wine" cmd /c echo wine-ok 2>&1 || true)
grep -q wine-ok <<<"$probe" || skip "Wine does not run programs here: $(head -1 <<<"$probe")"

# start_display: a virtual X display of its own (other suites may run their
# own X server) for console windows, ended with the test.
start_display() {
    command -v Xvfb >/dev/null || skip "Xvfb is not installed"
    command -v xdotool >/dev/null || skip "xdotool is not installed"
    local display
    display=$(mktemp "$WORK/display.XXXXXX")
    Xvfb -displayfd 3 -screen 0 1024x768x24 3>"$display" >/dev/null 2>&1 &
    trap "kill $! 2>/dev/null; \"\$wineserver\" -k 2>/dev/null || true" EXIT
    for _ in $(seq 300); do [ -s "$display" ] && break; sleep 0.1; done
    [ -s "$display" ] || fail "Xvfb did not start"
    export DISPLAY=":$(cat "$display")"
}
# console PROGRAM: runs it in a wineconsole window in $dir, in the
# background; its exit status goes to $dir/PROGRAM.status.
console() {
    (
        cd "$dir"
        status=0
        timeout 90 "$wine" wineconsole "$1" >/dev/null 2>&1 || status=$?
        echo $status >"$1.status"
    ) &
}
