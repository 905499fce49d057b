#!/usr/bin/env bash
# Our inpout32.dll and lptmon.exe under Wine, as a user without a parallel
# port runs them and against what other people's programs (host.exe) and
# users' folders do to them:
#   virtual_port.sh inputs | exits | reader_gone | names |
#                   grown | busy_grown | notices | disk
# Skipped (exit 77, with the reason) where Wine cannot run them.
set -euo pipefail
. "$(dirname "$0")/wine-setup.sh"
port_folder "$LED_BLINK_EXE" "$HOST_EXE" "$SWITCH_LED_EXE"
kept="; port 0x3BC: values are kept in this program only"

case "$1" in
inputs) # the input pins set by lptmon.exe --set and by a key in its
    # console, read by a program's Inp32; the docs' example; the trace.
    # The display first: a console window opened later belongs to the Wine
    # programs started before it, and with no display theirs never shows.
    start_display
    run lptmon.exe --set 15=low --set 11=low
    run lpt_probe.exe 3bd
    [ "$status $(out)" = "0 init=0 3bd=f7" ] || fail "after --set: $status $(out) $(err)"
    run lptmon.exe --set 15=high
    (cd "$dir" && timeout -k 5 60 "$wine" switch_led.exe </dev/null >switch.txt 2>/dev/null) &
    # By its own id: the display's server is this shell's first job.
    switch=$!
    until_ok 60 'grep -q Waiting "$dir/switch.txt"' ||
        fail "switch_led did not say it waits in 60 s: $(cat "$dir/switch.txt")"
    # A trace named outside the ANSI code page.
    (cd "$dir" && timeout -k 5 60 "$wine" lptmon.exe --vcd трасса.vcd </dev/null 2>/dev/null) &
    trace=$!
    run lptmon.exe --set 15=low
    until_ok 30 'grep -q "Switch closed: the LED on D2 is lit." "$dir/switch.txt"' ||
        fail "switch_led did not see the switch on pin 15 close in 30 s: $(cat "$dir/switch.txt")"
    status=0
    wait "$switch" || status=$?
    [ "$status" = 0 ] || fail "switch_led: exit status $status after the switch closed"
    until_ok 30 'grep -q "^1#" "$dir/трасса.vcd"' ||
        fail "the trace did not show D2 (pin 4) lit in 30 s: $(ls "$dir")"
    grep -q '\$var wire 1 - nError_pin15 \$end' "$dir/трасса.vcd" || fail "trace: $(head -20 "$dir/трасса.vcd")"
    # The trace's lptmon ends here, not at its time limit, a minute on.
    wine_session
    wait "$trace" || true
    # A key in the console's live view closes the switch on pin 13.
    console lptmon.exe
    console_window lptmon.exe
    # A key lost to the focus is typed again; one taken is not, as it toggles.
    for _ in 1 2 3; do
        focus "$window"
        xdotool key s
        until_ok 10 'run lpt_probe.exe 3bd && [ "$(out)" = "init=0 3bd=e7" ]' && break
    done
    [ "$(out)" = "init=0 3bd=e7" ] || fail "after the key: $(out) $(err)"
    press q lptmon.exe
    ;;
exits) # a program ending while two of its threads write never hangs
    # Over a minute through QEMU on an idle machine, nearly two on a busy one.
    run_seconds=450 run host.exe exits 200
    [ "$(out)" = "0 of 200 hung at exit" ] || fail "$(out) $(err)"
    ;;
reader_gone) # lptmon ends when the reader of its output has gone: on
    # Windows while the port is idle, under Wine (whose pipes answer no write
    # of nothing) at its next write, as a pipe tells every writer
    for args in --log ""; do
        run lpt_probe.exe
        rm -f "$dir/first.txt"
        # shellcheck disable=SC2086 # no argument for the plain lines
        (cd "$dir" && timeout -k 5 60 "$wine" lptmon.exe $args </dev/null 2>/dev/null |
            head -1 >first.txt) &
        pipeline=$!
        until_ok 60 '[ -s "$dir/first.txt" ]' || fail "lptmon $args: no first line"
        [[ "$(cat "$dir/first.txt")" == *"data"*"0x01"* ]] ||
            fail "lptmon $args: first line $(cat "$dir/first.txt")"
        # A write that head may still have taken is followed by one more.
        for value in 2 3 4; do
            run lpt_probe.exe 3bc=$value
            until_ok 10 '! kill -0 $pipeline 2>/dev/null' && continue 2
        done
        fail "lptmon $args: still running after its reader went and the port was written"
    done
    ;;
names) # a value kept between processes, in folders named outside the ANSI
    # code page and in the \\?\ form, and the paths in messages as the user typed them
    name="čšž Ана 用户"
    mkdir "$dir/$name"
    for folder in "$(windows "$dir/$name")" "\\\\?\\$(windows "$dir/long")"; do
        LPT_VIRTUAL_DIR=$folder
        # A value written by one process is read by the next; the notice once each.
        for value in 00 01; do
            run lpt_probe.exe
            [ "$status $(out)" = "0 init=0 3bc=$value" ] && [ "$(err)" = $'\n'"$notice" ] ||
                fail "$folder: probe, $value expected: $status $(cat -A "$dir/out.txt" "$dir/err.txt")"
        done
        run lptmon.exe --once
        [[ "$status $(head -1 "$dir/out.txt")" == "0 port 0x3BC  D7-D0 "*"data 0x01 00000001"$'\r' ]] ||
            fail "$folder: lptmon: $status $(cat -A "$dir/out.txt" "$dir/err.txt")"
    done
    [ -f "$dir/$name/lpt-3bc.state" ] && [ -f "$dir/long/lpt-3bc.state" ] ||
        fail "state files: $(cd "$dir" && find . -name '*.state')"
    # Two folders named in 180 Chinese letters: a port each, and the path
    # whole in lptmon's message.
    long_folder
    for folder in a b; do
        LPT_VIRTUAL_DIR="$long_windows\\$folder" run lpt_probe.exe
        [ "$(out)" = "init=0 3bc=00" ] && [ "$(err)" = $'\n'"$notice" ] && [ -f "$long/$folder/lpt-3bc.state" ] ||
            fail "long folder $folder: $(out) $(err)"
    done
    LPT_VIRTUAL_DIR="$long_windows\\b" run lptmon.exe --once --port 0x378
    [ "$(err)" = "lptmon: port 0x378 has never been written (no write in $long_windows\\b\\lpt-378.state)" ] ||
        fail "lptmon's long path: $(err)"
    rm -rf "${long%/*/*/*}"
    # A user whose profile has such a name, without LPT_VIRTUAL_DIR: Wine
    # takes the profile's folders from the registry, changed for the run.
    key='HKCU\Volatile Environment'
    saved=$(sed -n 's/^"LOCALAPPDATA"="\(.*\)"\r*$/\1/p' "$WINEPREFIX/user.reg" | sed 's/\\\\/\\/g')
    [ -n "$saved" ] || fail "no LOCALAPPDATA in the Wine prefix"
    run reg add "$key" /v LOCALAPPDATA /d "$(windows "$dir/$name/AppData/Local")" /f
    (unset LPT_VIRTUAL_DIR && run lpt_probe.exe)
    run reg add "$key" /v LOCALAPPDATA /d "$saved" /f
    [ -f "$dir/$name/AppData/Local/lpt-virtual/lpt-3bc.state" ] ||
        fail "no state file under the profile: $(cd "$dir" && find . -name '*.state')"
    ;;
grown | busy_grown) # a state file grown while a program maps it is made anew
    # and that program follows: one that holds the port, writing once more
    # when told (grown); two threads writing it in a loop, the file grown
    # again and again (busy_grown)
    mode=hold said=holding value=05 rounds=1
    [ "$1" = grown ] || mode=loop said=looping value=77 rounds=6
    mkfifo "$dir/go"
    (cd "$dir" && timeout -k 5 300 "$wine" host.exe $mode <go >host.txt 2>/dev/null) &
    exec 3>"$dir/go"
    until_ok 60 'grep -q $said "$dir/host.txt"' || fail "host: $(cat "$dir/host.txt")"
    for round in $(seq $rounds); do
        truncate -s +4096 "$dir/state/lpt-3bc.state"
        run lpt_probe.exe 3bc=5
        [ "$(err)" = $'\n'"$notice" ] || fail "round $round, writer: $(err)"
        until_ok 30 'run lpt_probe.exe 3bc && [ "$(out)" = "init=0 3bc=$value" ]' ||
            fail "round $round: the program stayed on the old file: $(out) $(err)"
    done
    echo >&3
    exec 3>&-
    wait
    if [ "$1" = grown ]; then
        run lpt_probe.exe 3bc
        [ "$(tr -d '\r' <"$dir/host.txt") $(out)" = $'holding\n66 init=0 3bc=66' ] ||
            fail "the holder's write: $(cat "$dir/host.txt") $(out) $(err)"
    fi
    ;;
notices) # the notice once per process; a file named as the folder refused
    # by lptmon in the library's words
    run host.exe loads 50
    [ "$(err)" = $'\n'"$notice" ] || fail "notices: $(err)"
    echo x >"$dir/afile"
    LPT_VIRTUAL_DIR=$(windows "$dir/afile")
    run lpt_probe.exe 3bc=1
    why=$(err | sed -n "s/^inpout32: virtual port: \(.*\)$kept\$/\1/p")
    [[ "$why" == "CreateFile($LPT_VIRTUAL_DIR\\lpt-3bc.state) failed: "* ]] || fail "writer: $(err)"
    run lptmon.exe --once
    [ "$status" = 1 ] && [ "$(err)" = "lptmon: $why" ] || fail "lptmon --once: $status $(err)"
    ;;
disk) # a link in the file's place, never written through nor removed with
    # what it leads to; a full disk
    run lpt_probe.exe 3bc=1
    mv "$dir/state/lpt-3bc.state" "$dir/outside.state"
    ln -s ../outside.state "$dir/state/lpt-3bc.state"
    cp "$dir/outside.state" "$dir/outside.kept"
    link="$LPT_VIRTUAL_DIR\\lpt-3bc.state is a link to another file; delete the link"
    run lptmon.exe --once
    [ "$status" = 1 ] && [ "$(err)" = "lptmon: $link" ] || fail "lptmon on a link: $status $(err)"
    run lpt_probe.exe 3bc=7 3bc
    [ "$(out)" = "init=0 3bc=07" ] && [ "$(err)" = $'\n'"inpout32: virtual port: $link$kept" ] ||
        fail "writer on a link: $(out) $(err)"
    cmp -s "$dir/outside.state" "$dir/outside.kept" || fail "written through the link"
    # Once, as it costs a Wine server of its own: a full disk, found at once
    # as the new file is filled with zeros, the values kept in the program;
    # its folder named outside the ANSI code page, on a console (Wine's, on
    # a terminal, which wraps lines and moves its cursor) in those letters.
    unshare -m true 2>/dev/null || skip "no mount namespace can be made here"
    # Ended, and waited for: a program started while it goes would reach it,
    # outside the mount namespace.
    "$wineserver" -k 2>/dev/null || true
    timeout -k 5 30 "$wineserver" -w 2>/dev/null || true
    full="$dir/полный"
    mkdir -m 700 "$full"
    status=0
    unshare -m bash -c '
        mount -t tmpfs -o size=8k,mode=700 lpt-full "$1" || exit 77
        cd "$2" && LPT_VIRTUAL_DIR=$3 timeout -k 5 120 script -qec "$4 lpt_probe.exe 3bc=33 3bc" \
            /dev/null </dev/null >console.txt
        "$5" -k' - "$full" "$dir" "$(windows "$full")" "$wine" "$wineserver" || status=$?
    [ "$status" != 77 ] || skip "no tmpfs can be mounted here"
    console=$(sed 's/\x1b\[[0-9;?]*[a-zA-Z]//g' "$dir/console.txt" | tr -d '\r\n')
    path="$(windows "$full")\\lpt-3bc.state"
    [[ "$console" == "init=0"*"inpout32: virtual port: cannot reserve $path: WriteFile($path) failed: "*"$kept"*"3bc=33" ]] ||
        fail "full disk, on a console: $console"
    ;;
esac
echo ok
