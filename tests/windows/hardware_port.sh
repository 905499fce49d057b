#!/usr/bin/env bash
# Our inpout32.dll handing the program's calls to the hardware's own port
# I/O library (the recording test double stands in for it):
#   hardware_port.sh forward | refusals | blinker | advice
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

case "$1" in
forward) # the registers at 0x3BC reach the port at 0x378, reads come from it,
    # lptmon.exe shows the writes marked; the settings file, the environment first
    LPT_PORT_0x3BC=0x378 run lpt_probe.exe 3bc=1 3be=4 3bc 3bd
    [ "$status $(out)" = "0 init=0 3bc=5a 3bd=5a" ] && [ -z "$(err)" ] ||
        fail "probe: $status $(out) $(err)"
    [ "$(at out)" = "888=1 890=4 " ] && [ "$(at inp)" = "888=90 889=90 " ] ||
        fail "the double saw: $(cat "$FAKE_LPT_LOG")"
    run lptmon.exe --once
    [ "$(out)" = "port 0x3BC  D7-D0 ( )( )( )( )( )( )( )(*)  data 0x01 00000001  $mark" ] ||
        fail "lptmon --once: $(out) $(err)"
    run_seconds=20 run lptmon.exe --log
    [ "$(out | grep -c "pid.*  $mark\$")" = 2 ] || fail "lptmon --log: $(out)"
    # That program ended: the lines are no longer wires, the inputs ours to set.
    run lptmon.exe --set 15=low
    [ "$status $(err)" = "0 " ] || fail "--set after the program ended: $status $(err)"
    # The same from lpt-settings.txt beside our DLL; the environment wins.
    printf '# for the lab\r\n LPT_HARDWARE_DLL = "%s"\r\nlpt_port_0x3bc=0x278\r\n' \
        "$LPT_HARDWARE_DLL" >"$dir/lpt-settings.txt"
    (unset LPT_HARDWARE_DLL && run lpt_probe.exe 3bc=2 && LPT_PORT_0x3BC=0x378 run lpt_probe.exe 3bc=3)
    [ "$(at out)" = "888=1 890=4 632=2 888=3 " ] || fail "from the file: $(cat "$FAKE_LPT_LOG")"
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
    check() { # LPT_HARDWARE_DLL, LPT_PORT_0x3BC, the line told
        LPT_HARDWARE_DLL=$1 LPT_PORT_0x3BC=$2 run lpt_probe.exe 3bc=7 3bc
        [ "$status $(out)" = "0 init=0 3bc=07" ] &&
            [ "$(err)" = $'\n'"inpout32: hardware port: $3; using the virtual port instead; ${notice#inpout32: }" ] ||
            fail "$1 $2: $status $(out) $(cat -A "$dir/err.txt")"
    }
    z=$(windows "$dir")
    check "$z\\inpout32.dll" 0x378 \
        "LPT_HARDWARE_DLL=$z\\inpout32.dll is this virtual port library itself, maybe renamed: name the DLL that came with the port's driver"
    check "$z\\hw\\renamed.dll" 0x378 \
        "LPT_HARDWARE_DLL=$z\\hw\\renamed.dll is this virtual port library itself, maybe renamed: name the DLL that came with the port's driver"
    check "$z\\hw\\gone.dll" 0x378 \
        "LPT_HARDWARE_DLL=$z\\hw\\gone.dll cannot be read (File not found): give the full path of the port I/O library's DLL"
    check "$z\\other.dll" 0x378 \
        "LPT_HARDWARE_DLL=$z\\other.dll is a $bits-bit DLL and this program is $((96 - bits))-bit: name the library's $((96 - bits))-bit DLL"
    check "$z\\hw\\none.dll" 0x378 \
        "LPT_HARDWARE_DLL=$z\\hw\\none.dll has no Inp32 and Out32: name a port I/O library that has them"
    check "$LPT_HARDWARE_DLL" 378 \
        "LPT_PORT_0x3BC=378 names no port address: write LPT_PORT_0x3BC=0x378, with the start of the port's I/O range (Device Manager, Ports (COM & LPT), the port, Resources)"
    grep -q "^out" "$FAKE_LPT_LOG" && fail "the double was written: $(cat "$FAKE_LPT_LOG")"
    ;;
blinker) # the blinker's 1, 2, ..., 0 reach 0x378 only; a key ends it
    start_display
    LPT_PORT_0x3BC=0x378 console LED_blink.exe
    until_ok 60 '[[ "$(at out)" == "888=1 888=2 888=1 "* ]]' || fail "no blinking: $(at out)"
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
    [ -z "$(err)" ] && [ "$(at out)" = "956=2 " ] || fail "the advice taken: $(err) $(at out)"
    ;;
esac
echo ok
