# The 8250's settings after an updater that could not put them back: the technician's
# rq70-flash, killed with SIGKILL in the middle of an update on ttyS1, leaves the receive trigger
# at 1 byte and the low-latency flag set, with a note of their own values in /run/rq70-updater;
# the next program to open the port (rq70-flash info) gives the port both back and leaves no
# note. Before that, a SIGHUP in the middle of an update lets it finish (exit status 0, the
# simulator holds the images) and the port's settings are its own again.
# devices: uart1
# limit: 180
source /usr/local/lib/rq70-vm/lib.sh
DRIVER=8250 NODE=ttyS1
trigger=/sys/class/tty/ttyS1/rx_trig_bytes
notes=/run/rq70-updater
make_update k 128 || fail "krv pack failed"
wait_node /dev/ttyS1 || fail "no /dev/ttyS1"
original=$(cat $trigger) || fail "no $trigger"
((original > 1)) || fail "the trigger is $original before any program"
[[ $(vmtool lowlatency /dev/ttyS1) == 0 ]] || fail "the low-latency flag is set before any program"
[[ -d $notes && $(stat -c %G $notes) == dialout ]] || fail "no $notes for the dialout group"
# The port's two settings and the notes of them, on one line.
settings() {
    local noted
    noted=$(ls "$notes")
    echo "trigger $(cat $trigger), low latency $(vmtool lowlatency /dev/ttyS1), notes:" $noted
}

# update_started NAME: the technician's update on ttyS1 at the line's pace, well into its program
# phase; the rq70-flash process in $flash, the runuser around it in $runner
update_started() {
    local out=$W/$1.json
    ctl sim uart1 --baud 4800 >/dev/null || return 1
    as_tech rq70-flash update "$W/RQ70-k.KRV" --port /dev/ttyS1 --json --record "$W/$1.jsonl" \
        >"$out" 2>"$W/$1.err" &
    runner=$!
    wait_until 60 eval '(($(vmtool count "$out" event=progress phase=program) >= 3))' || return 1
    flash=$(pgrep -n -u tech -x rq70-flash)
}

update_started hup || fail "the update did not get into its program phase: $(tail -c 300 "$W/hup.err")"
[[ $(settings) == "trigger 1, low latency 1, notes: ttyS1.low_latency ttyS1.rx_trig_bytes" ]] ||
    fail "while the update runs: $(settings)"
kill -HUP "$flash"
wait "$runner"
status=$?
((status == 0)) || fail "exit status $status after SIGHUP: $(tail -c 300 "$W/hup.err")"
host_dump uart1 "$W/RQ70-k.KRV" >/dev/null || fail "after SIGHUP the simulator does not hold the images"
[[ $(settings) == "trigger $original, low latency 0, notes:" ]] || fail "after SIGHUP: $(settings)"

update_started kill || fail "the second update did not get into its program phase"
kill -KILL "$flash"
wait "$runner"
[[ $(settings) == "trigger 1, low latency 1, notes: ttyS1.low_latency ttyS1.rx_trig_bytes" ]] ||
    fail "after SIGKILL: $(settings)"
left=$(settings)
ctl sim uart1 >/dev/null || fail "no simulator"
as_tech rq70-flash info --port /dev/ttyS1 >"$W/info.out" 2>&1 || fail "info failed: $(cat "$W/info.out")"
[[ $(settings) == "trigger $original, low latency 0, notes:" ]] || fail "after the next program: $(settings)"
pass "SIGHUP: exit 0, images, settings back; SIGKILL left $left; info put back trigger $original and low latency 0"
