# The built-in UART's receive FIFO: a 16550 hands a reply shorter than its trigger level over
# only after four character times of silence. The same small update at 4800 baud, run by the
# technician with the package's udev rules in effect, must take no more than 1.3 times as long
# as with /sys/class/tty/ttyS1/rx_trig_bytes set to 1 by root beforehand.
# devices: uart1
# limit: 240
source /usr/local/lib/rq70-vm/lib.sh
DRIVER=8250 NODE=ttyS1
trigger=/sys/class/tty/ttyS1/rx_trig_bytes
make_update f 64 || fail "krv pack failed"
wait_node /dev/ttyS1 || fail "no /dev/ttyS1"
original=$(cat $trigger) || fail "no $trigger"

timed_run() { # timed_run NAME: milliseconds of an update by the technician on ttyS1
    local started status
    ctl sim uart1 --baud 4800 >/dev/null || return 1
    started=$(now_ms)
    as_tech rq70-flash update "$W/RQ70-f.KRV" --port /dev/ttyS1 --record "$W/$1.jsonl" >"$W/$1.out" 2>&1
    status=$?
    echo $(($(now_ms) - started))
    return $status
}
as_left=$(timed_run left) || fail "the update failed: $(tail -c 200 "$W/left.out")"
memory=$(host_dump uart1 "$W/RQ70-f.KRV") || fail "$memory"
# The trigger is the port's own setting again once the updater has let go of it.
[[ $(cat $trigger) == "$original" ]] || fail "the trigger is $(cat $trigger) after the update, not $original"
echo 1 >$trigger || fail "cannot set $trigger"
one=$(timed_run one)
status=$?
echo "$original" >$trigger
((status == 0)) || fail "the update with trigger 1 failed: $(tail -c 200 "$W/one.out")"
figures="$(seconds "$as_left")s as left (trigger $original), $(seconds "$one")s with trigger 1"
((as_left * 10 <= one * 13)) || fail "too slow: $figures"
pass "$figures; dump equal"
