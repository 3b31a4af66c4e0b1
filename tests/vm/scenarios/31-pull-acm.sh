# The CDC-ACM line disconnected in the program phase (the gadget's UDC unbound, a real USB
# disconnect): the run ends "not successful" within a second, with exit status 1 and a record
# line naming the failed phase. Connected again, a second run by the gadget's
# /dev/serial/by-id link finishes the device.
# devices: acm1
# limit: 240
source /usr/local/lib/rq70-vm/lib.sh
DRIVER=cdc_acm NODE=ttyACM0
# 4096 words and replies held 2 ms: a program phase of a few seconds to pull the line in.
make_update p 4096 || fail "krv pack failed"
update=$W/RQ70-p.KRV
gadget=/usr/local/lib/rq70-vm/gadget
wait_node /dev/ttyACM0 || fail "no /dev/ttyACM0"
acm_sim_start --delay 2 || fail "the simulator did not start on /dev/ttyGS0"
rq70-flash update "$update" --json --port /dev/ttyACM0 --record "$W/record.jsonl" >"$W/run1.json" 2>"$W/err1" &
run=$!
wait_until 120 grep -q '"event":"progress".*"phase":"program"' "$W/run1.json" ||
    fail "no program phase: $(tail -c 200 "$W/err1")"
asked=$(now_ms)
$gadget unplug || fail "cannot unbind the UDC"
pulled=$(now_ms)
wait $run
status=$?
ended=$(now_ms)
figure="exit $(seconds $((ended - pulled)))s after the disconnect ($(seconds $((ended - asked)))s after unbinding began)"
acm_sim_stop
pulled_run_failed /dev/ttyACM0

$gadget plug || fail "cannot bind the UDC again"
wait_until 20 eval 'test -n "$(acm_by_id)"' || fail "no by-id link after connecting again"
link=$(acm_by_id)
wait_node "$link"
NODE=ttyACM0+$(basename "$link")
acm_sim_start --delay 2 || fail "the simulator did not start again"
rq70-flash update "$update" --port "$link" --record "$W/record.jsonl" >"$W/out2" 2>"$W/err2"
status=$?
acm_sim_stop
[[ $status -eq 0 ]] || fail "$figure; the second run: exit status $status: $(tail -c 200 "$W/err2")"
memory=$(vmtool compare "$W/acm.dump.json" "$update") || fail "$figure; then $memory"
pass "failure in $phase, $figure, status 1; by-id rerun: $memory"
