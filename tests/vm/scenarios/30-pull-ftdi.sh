# The FTDI adapter pulled out in the program phase: the run ends "not successful" within a
# second of the pull, with exit status 1 and a record line naming the failed phase, the node and
# the adapter's serial number. Plugged in again, a second run by the adapter's /dev/serial/by-id
# link finishes the device.
# devices: ftdi1
# limit: 240
source /usr/local/lib/rq70-vm/lib.sh
DRIVER=ftdi_sio NODE=ttyUSB0
# 4096 words and replies held 2 ms: a program phase of a few seconds to pull the line in.
make_update p 4096 || fail "krv pack failed"
update=$W/RQ70-p.KRV
wait_node /dev/ttyUSB0 || fail "no /dev/ttyUSB0"
ctl sim ftdi1 --delay 2 || fail "no simulator"
rq70-flash update "$update" --json --port /dev/ttyUSB0 --record "$W/record.jsonl" >"$W/run1.json" 2>"$W/err1" &
run=$!
wait_until 120 grep -q '"event":"progress".*"phase":"program"' "$W/run1.json" ||
    fail "no program phase: $(tail -c 200 "$W/err1")"
asked=$(now_ms)
ctl unplug ftdi1 || fail "unplug refused"
pulled=$(now_ms)
wait $run
status=$?
ended=$(now_ms)
figure="exit $(seconds $((ended - pulled)))s after the pull ($(seconds $((ended - asked)))s after asking)"
pulled_run_failed /dev/ttyUSB0
# Read when the port opened: the adapter is gone by the time the line is written.
[[ $(vmtool count "$W/record.jsonl" verdict=failure device_node=/dev/ttyUSB0 usb_serial=RQ70BENCH1) -eq 1 ]] ||
    fail "the pulled run's record does not name the node and the adapter's serial number"

ctl plug ftdi1 || fail "plug refused"
wait_until 20 eval 'test -n "$(ftdi_by_id)"' || fail "no by-id link after plugging back in"
link=$(ftdi_by_id)
wait_node "$link"
NODE=ttyUSB0+$(basename "$link")
rq70-flash update "$update" --port "$link" --record "$W/record.jsonl" >"$W/out2" 2>"$W/err2"
status=$?
[[ $status -eq 0 ]] || fail "$figure; the second run: exit status $status: $(tail -c 200 "$W/err2")"
memory=$(host_dump ftdi1 "$update") || fail "$figure; then $memory"
pass "failure in $phase, $figure, status 1; by-id rerun: $memory"
