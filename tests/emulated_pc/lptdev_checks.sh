# run.sh's checks of the lptdev case (lptdev.sh, in the guest); needs
# run.sh's console, said and check.
logged_data() { console | sed -n 's/^lpt: log: .* data *0x\(..\) .*/\1/p' | tr '\n' ' '; }
pid_of() { console | sed -n "s/^lpt: $1 out: pid //p"; }
# The write of VALUE is logged as the program NAME's, through lptdev.
logged_as() { # VALUE NAME
    console | grep "^lpt: log: .* data *0x$1 .*pid $(pid_of "$2")  .*/dev/parport1 (lptdev)\$" >/dev/null
}

check "lptdev leaves the kernel's parport0 alone" said \
    "refuse_name err: lptdev: /dev/parport0 exists: the kernel (or another lptdev) serves it; give lptdev another name with --name parportN, or none for the first one free"
check "... and its address" said \
    "refuse_port err: lptdev: the kernel has a parallel port at 0x3BC (parport0), and the real port wins: use it through /dev/parport0, or give lptdev another address with --port ADDRESS"
check "lptdev says what it serves, as whom" said \
    "lptdev err: lptdev: serving /dev/parport1 over the virtual port at 0x378 as lptdev; lptmon --port 0x378 shows it"
check "its node is lptdev's and group lp's, mode 0660" said "node crw-rw---- lptdev lp"
check "... and it serves as lptdev alone, with no way back to root" said \
    "server Uid: 1002 1002 1002 1002 Gid: 1002 1002 1002 1002 Groups: 1002"
for row in root:31 member:32 static:33; do
    who=${row%:*}
    check "a ppdev program ($who) writes through lptdev" said "$who exit 0"
    check "... recorded as its own, via lptdev" logged_as "${row#*:}" "$who"
done
if [ ${#epc_files[@]} -gt 0 ]; then
    check "Python's parallel module writes through lptdev and reads an input lptmon set" \
        said "python out: selected False"
    wanted_data="31 32 33 00 61 41 42 51 52 "
else
    wanted_data="31 32 33 41 42 51 52 "
fi
check "a user outside lp is refused" said "outsider out: open /dev/parport1: Permission denied"
check "a signal ends a claim that waits" said "quitter out: PPCLAIM: Interrupted system call"
check "a claim waits for the holder, which died holding the port" said "waiter exit 0"
check "an nAck edge set with lptmon wakes the holder's poll() once" said "irq out: interrupts 1"
check "lptmon logs the writes in order, none of a refused or interrupted program" \
    [ "$(logged_data)" = "$wanted_data" ]
check "lptdev ends on SIGTERM" said "lptdev exit 0"
check "... and the kernel removes its node" said "node removed"
# For scale, not checked: emulation makes both slow.
console | sed -n 's/^lpt: bench_\([a-z]*\) out: \(PPWDATA.*\)/== \1: \2/p'
