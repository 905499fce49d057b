#!/usr/bin/env bash
# Our inpout32.dll handing the program's calls to the hardware's own port
# I/O library (the recording test double stands in for it):
#   hardware_port.sh forward | refusals | blinker | advice | callbacks | stall |
#                    libraries
# Skipped (exit 77, with the reason) where Wine cannot run them.
set -euo pipefail
. "$(dirname "$0")/wine-setup.sh"
port_folder "$LED_BLINK_EXE"
mkdir "$dir/hw"
cp "$DOUBLES/fake_both.dll" "$dir/hw/their.dll"
export FAKE_LPT_LOG=$dir/calls.log LPT_HARDWARE_DLL
LPT_HARDWARE_DLL=$(windows "$dir/hw/their.dll")
: >"$FAKE_LPT_LOG"
at() { awk -v what="$1" '$1 == what { printf "%s=%s ", $2, $3 }' "$FAKE_LPT_LOG"; }
mark="real port 0x378 through their.dll"
z=$(windows "$dir")
refused() { # LPT_HARDWARE_DLL, LPT_PORT_0x3BC, the reason told: in one line,
    # the virtual port taking the writes, within a bound (a hang fails)
    LPT_HARDWARE_DLL=$1 LPT_PORT_0x3BC=$2 run_seconds=60 run lpt_probe.exe 3bc=7 3bc
    [ "$status $(out)" = "0 init=0 3bc=07" ] &&
        [ "$(err)" = $'\n'"inpout32: hardware port: $3; using the virtual port instead; ${notice#inpout32: }" ] ||
        fail "$1 $2: $status $(out) $(cat -A "$dir/err.txt")"
}
refused_dll() { refused "$z\\$1" 0x378 "LPT_HARDWARE_DLL=$z\\$1 $2"; } # NAME (in $z), the reason
itself="is this virtual port library itself, maybe renamed: name the DLL that came with the port's driver"
full_path="give the full path of the port I/O library's DLL"

case "$1" in
forward) # the registers at 0x3BC reach the port at 0x378, reads come from it,
    # lptmon.exe shows the writes marked; the settings file, the environment first
    LPT_PORT_0x3BC=0x378 run lpt_probe.exe 3bc=1 3be=4 3bc 3bd
    [ "$status $(out)" = "0 init=0 3bc=5a 3bd=5a" ] && [ -z "$(err)" ] ||
        fail "probe: $status $(out) $(err)"
    [ "$(at out)" = "888=1 890=4 " ] && [ "$(at inp)" = "888=90 889=90 " ] ||
        fail "the double saw: $(cat "$FAKE_LPT_LOG")"
    run lptmon.exe --once
    [ "$(out | head -1)" = "port 0x3BC  D7-D0 ( )( )( )( )( )( )( )(*)  data 0x01 00000001  $mark" ] ||
        fail "lptmon --once: $(out) $(err)"
    run_seconds=20 run lptmon.exe --log
    [ "$(out | grep -c "pid.*  $mark\$")" = 2 ] || fail "lptmon --log: $(out)"
    # That program ended: the lines are no longer wires, the inputs ours to set.
    run lptmon.exe --set 15=low
    [ "$status $(err)" = "0 " ] || fail "--set after the program ended: $status $(err)"
    # The same from lpt-settings.txt beside our DLL, as Notepad saves it (a
    # BOM before the first line); the environment wins.
    printf '\xef\xbb\xbflpt_port_0x3bc=0x278\r\n# for the lab\r\n LPT_HARDWARE_DLL = "%s"\r\n' \
        "$LPT_HARDWARE_DLL" >"$dir/lpt-settings.txt"
    (unset LPT_HARDWARE_DLL && run lpt_probe.exe 3bc=2 && LPT_PORT_0x3BC=0x378 run lpt_probe.exe 3bc=3)
    [ "$(at out)" = "888=1 890=4 632=2 888=3 " ] || fail "from the file: $(cat "$FAKE_LPT_LOG")"
    # Beside our DLL in a folder named in 180 Chinese letters.
    long_folder
    cp "$dir/inpout32.dll" "$dir/lpt_probe.exe" "$dir/lpt-settings.txt" "$long/"
    (unset LPT_HARDWARE_DLL && run "$long_windows\\lpt_probe.exe" 3bc=4)
    rm -rf "${long%/*/*/*}"
    [ "$(at out)" = "888=1 890=4 632=2 888=3 632=4 " ] || fail "from the file in $long_windows: $(cat "$FAKE_LPT_LOG")"
    ;;
refusals) # each told in one line; the virtual port takes the writes
    printf 'MZ' >"$dir/other.dll"
    head -c 58 /dev/zero >>"$dir/other.dll"
    # A DLL's headers for the other processor: 64-bit beside a 32-bit program.
    machine='\x64\x86' bits=64
    [ "$WIN_ARCH" = x86_64 ] && machine='\x4c\x01' bits=32
    printf "\x40\0\0\0PE\0\0$machine" >>"$dir/other.dll"
    head -c 16 /dev/zero >>"$dir/other.dll"
    printf '\x22\x20' >>"$dir/other.dll"
    cp "$DOUBLES/fake_none.dll" "$dir/hw/none.dll"
    cp "$INPOUT32_DLL" "$dir/hw/renamed.dll"
    refused_dll 'hw\renamed.dll' "$itself"
    refused_dll 'hw\gone.dll' "cannot be read (File not found): $full_path"
    refused_dll other.dll "is a $bits-bit DLL and this program is $((96 - bits))-bit: name the library's $((96 - bits))-bit DLL"
    refused_dll 'hw\none.dll' "has no Inp32 and Out32: name a port I/O library that has them"
    grep -q "^out" "$FAKE_LPT_LOG" && fail "the double was written: $(cat "$FAKE_LPT_LOG")"
    ;;
blinker) # the blinker's 1, 2, ..., 0 reach 0x378 only; a key ends it
    start_display
    LPT_PORT_0x3BC=0x378 console LED_blink.exe
    until_ok 60 '[[ "$(at out)" == "888=1 888=2 888=1 "* ]]' || fail "no blinking: $(at out)"
    # While it runs, the lines are wires, not lptmon's to set.
    run lptmon.exe --set 15=low
    [ "$(err)" = "lptmon: port 0x3BC is the real port ${mark#real port }: its inputs are wires, not ours to set" ] ||
        fail "--set while the blinker runs: $status $(err)"
    press x LED_blink.exe
    [[ "$(at out)" =~ ^(888=1 888=2 )+888=0\ $ ]] || fail "the double saw: $(at out)"
    [ "$(cat "$dir/LED_blink.exe.status" 2>/dev/null)" = 0 ] || fail "blinker: not ended by the key"
    ;;
advice) # unset, a port I/O library in the system's folder is named, with
    # the setting that uses it, ready to copy
    system=system32
    [ "$WIN_ARCH" != x86_64 ] && [ -d "$WINEPREFIX/drive_c/windows/syswow64" ] && system=syswow64
    cp "$DOUBLES/fake_both.dll" "$WINEPREFIX/drive_c/windows/$system/inpout32.dll"
    trap 'rm -f "$WINEPREFIX/drive_c/windows/$system/inpout32.dll"; "$wineserver" -k 2>/dev/null || true' EXIT
    unset LPT_HARDWARE_DLL
    run lpt_probe.exe 3bc=1
    setting=$(err | sed -n 's/.*: to use it, set \(LPT_HARDWARE_DLL=C:\\windows\\system32\\inpout32.dll\)$/\1/p')
    [ -n "$setting" ] && [[ "$(err)" == $'\n'"$notice; this PC has a port I/O library at C:\\windows\\system32\\inpout32.dll: to use it, set "* ]] ||
        fail "advice: $(cat -A "$dir/err.txt")"
    export "${setting?}"
    run lpt_probe.exe 3bc=2
    # Taken without LPT_PORT_0x3BC: where the writes go is said.
    [ "$(err)" = $'\n'"inpout32: hardware port: writes for 0x3BC go to I/O port 0x3BC through ${setting#*=}; if the LED board is on another port, set LPT_PORT_0x3BC=0x378" ] &&
        [ "$(at out)" = "956=2 " ] || fail "the advice taken: $(cat -A "$dir/err.txt") $(at out)"
    ;;
callbacks) # a library that is ours or calls ours back, refused at once and
    # never waited for: a wrapper handing calls on to "inpout32.dll", on the
    # caller's thread or on a worker thread of its own, a DllMain that calls
    # Out32, a bare name resolved against the current folder
    cp "$DOUBLES/fake_wrapper.dll" "$dir/hw/wrapper.dll"
    cp "$DOUBLES/fake_worker.dll" "$dir/hw/worker.dll"
    cp "$DOUBLES/fake_dllmain.dll" "$dir/hw/dllmain.dll"
    cp "$DOUBLES/fake_both.dll" "$dir/hw/inpout32.dll"
    back="calls this virtual port library back, as a wrapper around inpout32.dll does: name the DLL that came with the port's driver"
    refused_dll 'hw\wrapper.dll' "$back"
    refused_dll 'hw\worker.dll' "$back"
    refused_dll 'hw\dllmain.dll' "$back"
    refused inpout32.dll 0x378 "LPT_HARDWARE_DLL=inpout32.dll ($z\\inpout32.dll) $itself"
    # From the folder that holds their inpout32.dll, as an administrator's
    # console starts in the system's folder: theirs is loaded.
    : >"$FAKE_LPT_LOG"
    LPT_HARDWARE_DLL=inpout32.dll run_in=$dir/hw run_seconds=60 run "$dir/lpt_probe.exe" 3bc=7 3bc
    [ "$status $(out)" = "0 init=0 3bc=5a" ] && [ "$(at out)" = "956=7 " ] &&
        [ "$(err)" = $'\n'"inpout32: hardware port: writes for 0x3BC go to I/O port 0x3BC through inpout32.dll; if the LED board is on another port, set LPT_PORT_0x3BC=0x378" ] ||
        fail "bare name: $status $(out) $(at out) $(cat -A "$dir/err.txt")"
    ;;
stall) # one call of the other library that stalls holds up neither another
    # thread's read of its port nor other ports
    cp "$DOUBLES/fake_stall.dll" "$dir/hw/their.dll"
    cp "$HOST_EXE" "$dir/"
    run_seconds=90 run host.exe stall
    [ "$status $(out)" = "0 3bd=5a 278=5a" ] || fail "host: $status $(out) $(err)"
    [ "$(awk '$1 == "inp" || $1 == "out" { printf "%s %s=%s ", $1, $2, $3 }' "$FAKE_LPT_LOG")" = \
        "inp 957=90 out 632=2 inp 632=90 out 956=17 " ] || fail "held up: $(cat "$FAKE_LPT_LOG")"
    ;;
libraries) # libraries that are odd, missing a part, or named oddly: each
    # used or told in one line, never a crash
    cp "$DOUBLES/fake_cdecl.dll" "$dir/hw/cdecl.dll"
    cp "$DOUBLES/fake_needs.dll" "$dir/hw/needs.dll"
    mkdir "$dir/hw/folder.dll"
    # Entries built __cdecl: the registers reach it all the same.
    LPT_HARDWARE_DLL="$z\\hw\\cdecl.dll" LPT_PORT_0x3BC=0x378 run lpt_probe.exe 3bc=1 3be=4 3bc 3bd 3bc=2
    [ "$status $(out)" = "0 init=0 3bc=5a 3bd=5a" ] && [ -z "$(err)" ] &&
        [ "$(at out)" = "888=1 890=4 888=2 " ] || fail "cdecl: $status $(out) $(err) $(at out)"
    refused_dll 'hw\needs.dll' "needs lpt_gone.dll, which is missing: install the port I/O library with its driver as its instructions say"
    refused_dll 'hw\folder.dll' "is a folder: $full_path"
    refused "$z\\hw"$'\e[2J\n'"x.dll" 0x378 \
        "LPT_HARDWARE_DLL=$z\\hw\\x1b[2J\\nx.dll cannot be read (Invalid name): $full_path"
    # Asked for by name but not set; set without LPT_PORT_0x3BC: said once.
    LPT_BACKEND=hardware LPT_HARDWARE_DLL= run lpt_probe.exe 3bc=1
    [ "$(err)" = $'\n'"inpout32: hardware port: LPT_HARDWARE_DLL is not set; set it to the port I/O library's path, as in LPT_HARDWARE_DLL=C:\\path\\to\\its.dll; port 0x3BC: values are kept in this program only" ] ||
        fail "not set: $(cat -A "$dir/err.txt")"
    : >"$FAKE_LPT_LOG"
    run lpt_probe.exe 3bc=1 3bc=2
    [ "$(err)" = $'\n'"inpout32: hardware port: writes for 0x3BC go to I/O port 0x3BC through $LPT_HARDWARE_DLL; if the LED board is on another port, set LPT_PORT_0x3BC=0x378" ] &&
        [ "$(at out)" = "956=1 956=2 " ] || fail "by default: $(cat -A "$dir/err.txt") $(at out)"
    # A \\?\ path past MAX_PATH.
    deep=$dir/hw$(printf "/$(printf 'a%.0s' $(seq 200))%.0s" 1 2 3)
    mkdir -p "$deep"
    cp "$DOUBLES/fake_both.dll" "$deep/their.dll"
    : >"$FAKE_LPT_LOG"
    LPT_PORT_0x3BC=0x378 LPT_HARDWARE_DLL="\\\\?\\$(windows "$deep/their.dll")" run lpt_probe.exe 3bc=2
    [ -z "$(err)" ] && [ "$(at out)" = "888=2 " ] || fail "\\\\?\\ path: $(err) $(at out)"
    ;;
esac
echo ok
