#!/usr/bin/env bash
# The blinker on the real kernel's parallel port drivers (parport_pc, ppdev):
# boots an emulated PC, types a key on its serial console once the LEDs have
# blinked, and checks the port writes that QEMU saw the guest make.
# Usage: run.sh BUILD_DIR LPT_PROBE (BUILD_DIR with LED_blink and inpout32.dll;
# lpt_probe reaches the other addresses through the same binding).
# Exit status 0 passed, 1 failed, 77 skipped (QEMU or the kernel missing).
set -uo pipefail
build=$(cd "$1" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../../scripts/common.sh"
. "$here/../../scripts/emulated-pc-lib.sh"

blink_writes=6 # typed after this many LED writes ...
key_limit=60   # ... or this many seconds after the blinker started
hard_limit=240 # QEMU is stopped after this many seconds in any case
. "$here/../blink_phase.env" # the accepted gap between two writes
phase_min=$BLINK_PHASE_MIN
phase_max=$BLINK_PHASE_MAX_EMULATED

epc_install && epc_kernel || { echo "SKIPPED: $epc_why"; exit 77; }

# Kept after the run, for a look at what the guest did (trace.log holds
# every port access).
work=$build/emulated-pc
rm -rf "$work"
mkdir -p "$work"
# lptdev's case too where it was built (lptdev.sh in the guest).
lptdev_files=()
if [ -x "$build/lptdev" ]; then
    lptdev_files=("$build"/{lptdev,lptmon,ppdev_client,ppdev_client_static,ppdev_bench} "$here/lptdev.sh")
    # Python's parallel module, with what of Python it needs (run with -S).
    python=$(readlink -f /usr/bin/python3)
    lib=/usr/lib/${python##*/}
    parallel=/usr/lib/python3/dist-packages/parallel
    if [ -x "$python" ] && [ -d $parallel ]; then
        epc_files=("$python" $lib/{os,struct}.py $lib/encodings/{__init__,aliases,utf_8}.py
            $parallel/{__init__,parallelppdev}.py)
    else
        echo "== no Python with python3-parallel here: the guest runs no Python"
    fi
else
    echo "== lptdev was not built (no libfuse3-dev): its case is left out"
fi
epc_initramfs "$work/initramfs" "$build/LED_blink" "$build/inpout32.dll" "$2" "${lptdev_files[@]}" ||
    { echo "FAIL: cannot make the guest's initramfs"; exit 1; }
mkfifo "$work/console.in" "$work/console.out"
epc_qemu_args "$work/initramfs" test "$work/trace.log" "pipe,path=$work/console"
echo "== ${epc_args[*]}"

cat "$work/console.out" >"$work/console.log" &
reader=$!
timeout -k 5 $hard_limit "${epc_args[@]}" </dev/null >"$work/qemu.log" 2>&1 &
qemu=$!
exec 3<>"$work/console.in" # read-write: opening never waits for QEMU

# Data register writes to the port at BASE (0x3bc unless given) as "time
# value" lines; the drivers' probe writes come first.
data_writes() {
    epc_port_writes "$@" 2>/dev/null <"$work/trace.log" | awk '$2 == 0 { print $1, $3 }'
}
since_first_1() { awk '$2 == "01" { on = 1 } on'; }

# Once the guest has said "lpt: blink start", types a key after
# $blink_writes data writes since the first 1 or after $key_limit seconds,
# and prints when; prints nothing if QEMU ends first.
type_key() {
    local started=
    while kill -0 $qemu 2>/dev/null; do
        if grep -qs "^lpt: blink start" "$work/console.log"; then
            started=${started:-$SECONDS}
            if [ "$(data_writes | since_first_1 | wc -l)" -ge $blink_writes ] ||
                [ $((SECONDS - started)) -ge $key_limit ]; then
                date +%s.%N
                printf k >&3
                return
            fi
        fi
        sleep 0.2
    done
}
typed_at=$(type_key)
wait $qemu
qemu_status=$?
sleep 0.2
kill $reader 2>/dev/null
exec 3>&-

. "$here/../check.sh"
console() { tr -d '\r' <"$work/console.log"; }
# grep reads to the end (no -q): one that stopped at the first match would
# end the console's reader early, a failure under pipefail.
said() { console | grep -xF "lpt: $1" >/dev/null; }
not_said() { ! console | grep "^lpt: $1" >/dev/null; }
no_write_of() { ! data_writes | grep " $1\$" >/dev/null; }
# Values 1, 2, 1, 2, ... each a phase after the one before; the key; then a
# phase after the last 2, one 0, and nothing more.
blink_verdict() { # FILE KEY_TIME
    awk -v key="$2" -v lo=$phase_min -v hi=$phase_max '
    function fail(why) { print why; exit }
    { t[NR] = $1; v[NR] = $2 }
    END {
        if (NR < 5) fail("too few writes: " NR)
        for (i = 1; i <= NR; ++i) {
            want = i == NR ? "00" : i % 2 ? "01" : "02"
            if (v[i] != want) fail("write " i " is 0x" v[i] ", not 0x" want)
            if (i > 1 && (t[i] - t[i-1] < lo || t[i] - t[i-1] > hi))
                fail(sprintf("write %d came %.3f s after the one before", i, t[i] - t[i-1]))
        }
        if (v[NR-1] != "02") fail("the 0 came after a 1, not after a whole cycle")
        if (t[NR] < key) fail("the 0 came before the key")
        if (t[NR-2] > key) fail("a whole cycle more ran after the key")
        printf "ok %d writes", NR
    }' "$1"
}

check "QEMU ended by itself (status $qemu_status)" [ $qemu_status = 0 ]
check "the guest ran to its end" said "done"

# The port at 0x378 only: the library says where the port is and the
# setting that uses it, and the program's writes go to the virtual port, not
# to some other port.
check "no port at 0x3BC: the library names the one at 0x378 and the setting" said \
    "elsewhere err: inpout32: ppdev port: no parallel port at 0x3BC; this machine has 0x378 (parport0); to use parport0, run export LPT_PORT_0x3BC=parport0 and start the program again; using the virtual port instead"
check "... and nothing reaches the port at 0x3BC" no_write_of a5
check "the data register at 0x378 reads back through Inp32 in the next program" \
    said "read378 out: init=0 378=5a"

check "a second program while another holds the port is told at once" said \
    'held err: inpout32: ppdev port: /dev/parport0: the port is in use by ppdev0; end the program that holds it and try again; using the virtual port instead'
check "... and nothing reaches the port" no_write_of a7

# The blinker, with no LPT_BACKEND: the library finds the port by itself.
data_writes | since_first_1 >"$work/blink.txt"
check "a key was typed while the LEDs blinked" [ -n "$typed_at" ]
verdict=$(blink_verdict "$work/blink.txt" "${typed_at:-0}")
check "writes 1, 2, 1, 2, ..., 2 a second apart, the key, then 0 a second later ($verdict)" \
    [ "${verdict%% *}" = ok ]
check "the blinker ended with status 0" said "blink exit 0"
check "the serial console's mode is as the blinker found it" said "terminal restored"
check "the port was released" said "active none"
check "... by the program, not by the kernel when the device was closed" \
    not_said "kernel: .*released pardevice because user-space forgot"

[ ${#lptdev_files[@]} -gt 0 ] && . "$here/lptdev_checks.sh"

if [ $failures -gt 0 ]; then
    echo "== guest console"
    console
    echo "== QEMU"
    cat "$work/qemu.log"
    exit 1
fi
