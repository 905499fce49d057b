# Shared by the Wine tests: a prefix of our own, the skip when Wine cannot run
# the exe here, and reading the double's call log.
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
    wine=$(command -v wine || true)
    [ -n "$wine" ] || skip "Wine is not installed"
fi
wineserver=$(dirname "$wine")/wineserver
command -v "$wineserver" >/dev/null || wineserver=wineserver

export WINEPREFIX="$WORK/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
mkdir -p "$WORK"
if [ ! -d "$WINEPREFIX" ]; then
    timeout 120 "$wine" wineboot -i >/dev/null 2>&1 || skip "wineboot could not make a Wine prefix"
fi
probe=$(timeout 60 "$wine" cmd /c echo wine-ok 2>&1 || true)
grep -q wine-ok <<<"$probe" || skip "Wine does not run programs here: $(head -1 <<<"$probe")"

# A folder with the exe and, as inpout32.dll, the given double (or none).
setup() {
    dir=$(mktemp -d "$WORK/run.XXXXXX")
    cp "$LED_BLINK_EXE" "$dir/"
    [ -n "${1:-}" ] && cp "$DOUBLES/$1.dll" "$dir/inpout32.dll"
    export FAKE_LPT_LOG="$dir/calls.log"
    : >"$FAKE_LPT_LOG"
}

# The values written to the port, one per line.
port_values() { awk '$1 == "out" { print $3 }' "$FAKE_LPT_LOG"; }

# Fails unless consecutive port writes are 0.95 to 1.2 s apart.
check_phases() {
    awk '$1 == "out" { if (n++) { d = ($4 - t) / 1e9; if (d < 0.95 || d > 1.2) { print "phase " n ": " d " s"; bad = 1 } } t = $4 }
         END { exit bad }' "$FAKE_LPT_LOG" || fail "a phase was not about one second"
}
