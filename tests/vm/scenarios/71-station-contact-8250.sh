# A station cradle on the 8250's ttyS1 whose unit loses contact for 3 s right after the
# acknowledge of a program write, the port staying. The run fails at that block; the unit then
# leaves by silence, and when its contact is back it is updated again. What the slot sent while
# the unit sat inside the interrupted write finished that write in the rows being updated: the
# second update's success holds exactly the update file's images, with no word written anywhere
# else, and the record has the failure, then the success.
# devices: uart1
# limit: 120
source /usr/local/lib/rq70-vm/lib.sh
DRIVER=8250 NODE=ttyS1
make_update t 512 || fail "krv pack failed"
update=$W/RQ70-t.KRV
wait_node /dev/ttyS1 || fail "no /dev/ttyS1"
ctl sim uart1 --break-contact write:33:3000 || fail "no simulator with a contact break"

out=$W/station.json
rq70-flash station "$update" --json --port /dev/ttyS1 --record "$W/record.jsonl" >"$out" 2>"$W/station.err" &
station=$!
verdicts() { vmtool count "$out" event=verdict; }
wait_until 60 eval '(($(verdicts) >= 1))' || fail "no verdict: $(tail -c 300 "$out")"
first=$(vmtool event "$out" event=verdict)
[[ $first == *'"verdict":"failure"'* && $first == *'"failed_phase":"program"'* &&
    $first == *'"failed_word":384'* ]] || fail "the run with the broken contact: $first"
wait_until 20 vmtool event "$out" event=unit_left slot=1 how=no_answer >/dev/null ||
    fail "no unit_left how=no_answer: $(vmtool order "$out" verdict unit_left waiting start)"
wait_until 60 eval '(($(verdicts) >= 2))' || fail "no second verdict: $(tail -c 300 "$out")"
[[ $(vmtool count "$out" event=verdict verdict=success) -eq 1 ]] || fail "second run: $(tail -n 1 "$out")"

kill -TERM "$station"
wait_until 30 eval '! kill -0 $station 2>/dev/null' || fail "the station did not end after SIGTERM"
wait "$station"
status=$?
[[ $status -eq 1 ]] || fail "exit status $status after a shift with a failure: $(tail -c 300 "$W/station.err")"
order=$(vmtool order "$out" start verdict unit_left start verdict interrupted summary)
[[ $order == "start verdict unit_left start verdict interrupted summary" ]] || fail "events: $order"
[[ $(vmtool count "$W/record.jsonl" verdict=failure failed_phase=program) -eq 1 &&
    $(vmtool count "$W/record.jsonl" verdict=success) -eq 1 && $(wc -l <"$W/record.jsonl") -eq 2 ]] ||
    fail "record: $(cat "$W/record.jsonl")"
memory=$(host_dump uart1 "$update") || fail "after the contact came back: $memory"
pass "contact broken after write 33's acknowledge: failure program 384, unit_left no_answer," \
    "updated again: success; 2 records; dump: $memory"
