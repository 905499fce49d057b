#!/usr/bin/env bash
# The .deb for lab machines as an installer gets it: built by cpack, with
# ppdev loaded at boot and no maintainer scripts (so removing it leaves nothing
# behind), the program run from the unpacked package finding its library
# through the /usr/bin link and blinking on the virtual port, and no errors
# from lintian.
# Usage: deb_package.sh BUILD_DIR. Exit status 0 passed, 1 failed, 77 skipped.
set -uo pipefail
build=$(cd "$1" && pwd)
source=$(cd "$(dirname "$0")/.." && pwd)
for tool in cpack dpkg-deb dpkg-shlibdeps lintian; do
    command -v $tool >/dev/null || { echo "SKIPPED: no $tool"; exit 77; }
done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

. "$source/tests/check.sh"

(cd "$build" && cpack -B "$work/out") >"$work/cpack.log" 2>&1
deb=$(ls "$work"/out/led-blink_*.deb 2>/dev/null | head -1)
check "cpack made a .deb" [ -n "$deb" ] || { cat "$work/cpack.log"; exit 1; }

# What no other check here shows missing: ppdev loaded at boot. grep reads
# the whole listing: with -q, dpkg-deb would die of a closed pipe.
check "ppdev loaded at boot" eval 'dpkg-deb -c "$deb" | grep "usr/lib/modules-load.d/led-blink.conf$" >/dev/null'
check "... no maintainer scripts or conffiles: dpkg removes all of it" \
    [ "$(dpkg-deb -I "$deb" | awk '$2 == "bytes," { print $NF }' | sort | tr '\n' ' ')" = \
    "control md5sums " ]

# Run from the unpacked package, on the virtual port whatever this machine
# has: the first two writes, then it is stopped.
dpkg-deb -x "$deb" "$work/root"
export LPT_VIRTUAL_DIR=$work/virtual LPT_BACKEND=virtual
output=$(env -u LD_LIBRARY_PATH timeout -s TERM 1.5 "$work/root/usr/bin/LED_blink" </dev/null 2>&1)
check "the program found its library through the link (no message: $output)" \
    [ "$output" = "$(printf 'Dve LED diodi na V/I vmesniku utripata. \nPritisni poljubno tipko na PC-ju za prekinitev programa.')" ]
log=$(timeout 5 "$work/root/usr/bin/lptmon" --log | head -2 | awk '{ print $(NF - 4), $(NF - 3) }')
check "... and blinked: the package's lptmon shows 1 then 2 ($log)" \
    [ "$log" = "$(printf 'data 0x01\ndata 0x02')" ]

lintian --fail-on error "$deb" >"$work/lintian.log" 2>&1
check "lintian finds no errors" [ $? = 0 ]
grep -v "^N:" "$work/lintian.log"
[ $failures = 0 ]
