# rq70-flash updates a device on a USB CDC-ACM line through the real cdc_acm driver (the device's
# end is a USB gadget in the same guest): the device holds the images, the record names
# /dev/ttyACM0 and the gadget's serial number, and stderr stays empty: no error and no latency
# notice, although cdc_acm has no low-latency mode to give.
# devices: acm1
# limit: 120
source /usr/local/lib/rq70-vm/lib.sh
DRIVER=cdc_acm NODE=ttyACM0
make_update u 64 || fail "krv pack failed"
wait_node /dev/ttyACM0 || fail "no /dev/ttyACM0"
acm_sim_start || fail "the simulator did not start on /dev/ttyGS0: $(cat "$W/acm.err")"
rq70-flash update "$W/RQ70-u.KRV" --port /dev/ttyACM0 --record "$W/record.jsonl" >"$W/out" 2>"$W/err"
status=$?
acm_sim_stop
[[ $status -eq 0 ]] || fail "exit status $status: $(tail -c 200 "$W/err")"
[[ ! -s $W/err ]] || fail "stderr: $(head -c 200 "$W/err")"
record=$(vmtool record "$W/record.jsonl" /dev/ttyACM0)
[[ $record == "success /dev/ttyACM0 RQ70ACM1 None" ]] || fail "record: $record"
memory=$(vmtool compare "$W/acm.dump.json" "$W/RQ70-u.KRV") || fail "$memory"
pass "exit 0, stderr empty, record names ttyACM0 and RQ70ACM1, dump: $memory"
