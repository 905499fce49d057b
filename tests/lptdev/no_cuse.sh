#!/usr/bin/env bash
# lptdev on a kernel without CUSE: one line on standard error that names both
# ways forward, status 1, nothing on standard output; a wrong argument is
# told before that, with the usage.
lptdev=$1
[ -e /dev/cuse ] && { echo "SKIPPED: this machine has /dev/cuse"; exit 77; }
. "$(dirname "$0")/../check.sh"

while IFS='|' read -r args want_status want; do
    err=$("$lptdev" $args 2>&1 >/tmp/lptdev-out.$$)
    status=$?
    check "lptdev $args: status $want_status" [ $status = "$want_status" ]
    check "lptdev $args: $want" [ "$(head -1 <<<"$err")" = "$want" ]
    check "lptdev $args: nothing on standard output" [ ! -s /tmp/lptdev-out.$$ ]
done <<'ROWS'
|1|lptdev: /dev/cuse is missing (this kernel has not loaded CUSE): run sudo modprobe cuse and start lptdev again, or run your program under lptrun instead
--user nobody --port 0x378|1|lptdev: /dev/cuse is missing (this kernel has not loaded CUSE): run sudo modprobe cuse and start lptdev again, or run your program under lptrun instead
--name lp0|2|lptdev: --name lp0: not a parallel port device's name; give one such as parport1
--port|2|lptdev: --port needs a value
ROWS
rm -f /tmp/lptdev-out.$$
[ $failures = 0 ]
