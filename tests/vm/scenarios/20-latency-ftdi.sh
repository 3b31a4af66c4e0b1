# Low latency on a real FTDI adapter: while rq70-flash holds the port (run by the technician,
# not root) the adapter's latency timer reads 1 ms; once it closes, the timer is back at the
# 16 ms a fresh adapter without our udev rule has.
# devices: ftdi1
# limit: 120
source /usr/local/lib/rq70-vm/lib.sh
DRIVER=ftdi_sio NODE=ttyUSB0
timer=/sys/bus/usb-serial/devices/ttyUSB0/latency_timer
make_update l 64 || fail "krv pack failed"
wait_node /dev/ttyUSB0 || fail "no /dev/ttyUSB0"
echo 16 >$timer || fail "cannot set the latency timer"
# Replies held 5 ms keep the run going long enough to look at the timer during it.
ctl sim ftdi1 --delay 5 || fail "no simulator"
as_tech rq70-flash update "$W/RQ70-l.KRV" --json --port /dev/ttyUSB0 --record "$W/record.jsonl" \
    >"$W/run.json" 2>"$W/err" &
run=$!
wait_until 60 grep -q '"event":"progress"' "$W/run.json" || fail "no progress: $(tail -c 200 "$W/err")"
during=$(cat $timer)
wait $run
status=$?
after=$(cat $timer)
[[ $status -eq 0 ]] || fail "exit status $status: $(tail -c 200 "$W/err")"
[[ $during == 1 && $after == 16 ]] || fail "latency timer 16 before, $during during, $after after the run"
memory=$(host_dump ftdi1 "$W/RQ70-l.KRV") || fail "$memory"
pass "latency_timer 16 -> $during while open -> $after after close; exit 0; dump equal"
