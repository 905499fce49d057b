# The emulated PC's lptdev case, sourced by its /init (busybox sh, as root):
# lptdev serves /dev/parport1 as user lptdev over the virtual port at 0x378,
# and plain ppdev programs use it: root, a member of lp, someone else
# (refused), a static one, one whose claim waits for another's, one whose
# waiting claim a signal ends, one woken by an nAck interrupt. lptmon, as
# lptdev, logs their writes. Reported in "lpt: NAME ..." lines.
client=/opt/lpt/ppdev_client
node=/dev/parport1
# Waits for a command to succeed, at most 60 s (emulation can be slow).
wait_for() { for _ in $(seq 600); do "$@" 2>/dev/null && return 0; sleep 0.1; done; return 1; }
# A program blocked in ioctl(2), as /proc shows it: a claim that waits.
in_ioctl() { [ "$(cut -d' ' -f1 /proc/$1/syscall)" = 16 ]; }
as() { user=$1; shift; su -s /bin/sh "$user" -c "$*"; }
report() { # name, file, status
    say "$1 exit $3"
    sed "s/^/lpt: $1 out: /" "$2"
}

insmod /lib/modules/fuse.ko
insmod /lib/modules/cuse.ko
run refuse_name /opt/lpt/lptdev --user lptdev --name parport0
run refuse_port /opt/lpt/lptdev --user lptdev --port 0x3bc
/opt/lpt/lptdev --user lptdev 2>/tmp/lptdev.err &
server=$!
if ! wait_for test -c $node; then
    say "lptdev made no $node"
    sed 's/^/lpt: lptdev err: /' /tmp/lptdev.err
    kill $server
    return
fi
say "node $(ls -l $node | awk '{ print $1, $3, $4 }')"
say server $(grep -E '^(Uid|Gid|Groups):' /proc/$server/status)
as lptdev /opt/lpt/lptmon --port 0x378 --log >/tmp/log 2>&1 &
monitor=$!

run root $client $node write 0x31
run member as lpuser $client $node write 0x32
run outsider as user $client $node write 0x3f
run static /opt/lpt/ppdev_client_static $node write 0x33
python=$(ls /usr/bin/python3.* 2>/dev/null)
if [ -n "$python" ]; then
    # Python's parallel module: data written, an input lptmon set read back.
    as lptdev /opt/lpt/lptmon --port 0x378 --set 13=low
    mkdir -p "/usr/lib/${python##*/}/lib-dynload" # else Python warns of it
    run python "$python" -S -c "import sys; sys.path.append('/usr/lib/python3/dist-packages')
import parallel; p = parallel.Parallel(1); p.setData(0x61); print('selected', p.getInSelected())"
fi

# A holder that dies holding the port; one waiting for it gets it then,
# one whose wait a signal ends never does.
$client $node hold 0x41 </dev/zero >/tmp/holder 2>&1 &
holder=$!
wait_for grep -q claimed /tmp/holder
$client $node write 0x42 >/tmp/waiter 2>&1 &
waiter=$!
$client $node write 0x4f >/tmp/quitter 2>&1 &
quitter=$!
wait_for in_ioctl $waiter
wait_for in_ioctl $quitter
kill -USR1 $quitter
wait $quitter
report quitter /tmp/quitter $?
kill -9 $holder
wait $waiter
report waiter /tmp/waiter $?

$client $node irq 0x51 >/tmp/irq 2>&1 &
irq=$!
wait_for grep -q waiting /tmp/irq
as lptdev /opt/lpt/lptmon --port 0x378 --set 10=low
as lptdev /opt/lpt/lptmon --port 0x378 --set 10=high
wait $irq
report irq /tmp/irq $?

wait_for grep -q 'data *0x52' /tmp/log
# su's child is lptmon: ended itself, so that it does not follow the
# benchmark's writes.
kill $(pidof lptmon) $monitor 2>/dev/null
wait $monitor
sed 's/^/lpt: log: /' /tmp/log

# For scale: the round trip through lptdev, and the kernel's own driver.
run bench_lptdev /opt/lpt/ppdev_bench $node 200
run bench_kernel /opt/lpt/ppdev_bench /dev/parport0 200

kill $server
wait $server
say "lptdev exit $?"
[ -e $node ] && say "node kept" || say "node removed"
sed 's/^/lpt: lptdev err: /' /tmp/lptdev.err
rmmod cuse fuse
