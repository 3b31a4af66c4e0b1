# rq70-flash updates a device behind an FTDI USB serial adapter through the real ftdi_sio driver:
# the device holds the images, the record names /dev/ttyUSB0 and the adapter's serial number,
# and stderr stays empty (our udev rule set the latency timer to 1 ms: no notice).
# devices: ftdi1
# limit: 120
source /usr/local/lib/rq70-vm/lib.sh
DRIVER=ftdi_sio NODE=ttyUSB0
make_update u 64 || fail "krv pack failed"
wait_node /dev/ttyUSB0 || fail "no /dev/ttyUSB0"
rq70-flash update "$W/RQ70-u.KRV" --port /dev/ttyUSB0 --record "$W/record.jsonl" >"$W/out" 2>"$W/err"
status=$?
[[ $status -eq 0 ]] || fail "exit status $status: $(tail -c 200 "$W/err")"
[[ ! -s $W/err ]] || fail "stderr: $(head -c 200 "$W/err")"
record=$(vmtool record "$W/record.jsonl" /dev/ttyUSB0)
[[ $record == "success /dev/ttyUSB0 RQ70BENCH1 None" ]] || fail "record: $record"
memory=$(host_dump ftdi1 "$W/RQ70-u.KRV") || fail "$memory"
pass "exit 0, stderr empty, record names ttyUSB0 and RQ70BENCH1, dump: $memory"
