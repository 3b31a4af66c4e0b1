# A station cradle whose port stays: `rq70-flash station` on the 8250's ttyS1, where only the
# unit comes and goes. Unit 1 is updated; while it stays in the cradle the station keeps checking
# that it is there (bytes go out) but never updates it again; taken out (its boot loader stops
# answering), the station reports unit_left with how "no_answer"; a fresh unit put in is updated
# as unit 2 and holds the update file's images. SIGTERM (a script's Ctrl-C) ends the shift: exit
# status 0, a summary of 2 units, 2 succeeded, two record lines.
# devices: uart1
# limit: 120
source /usr/local/lib/rq70-vm/lib.sh
DRIVER=8250 NODE=ttyS1
make_update t 512 || fail "krv pack failed"
update=$W/RQ70-t.KRV
wait_node /dev/ttyS1 || fail "no /dev/ttyS1"

out=$W/station.json
rq70-flash station "$update" --json --port /dev/ttyS1 --record "$W/record.jsonl" >"$out" 2>"$W/station.err" &
station=$!
verdicts() { vmtool count "$out" event=verdict; }
wait_until 60 eval '(($(verdicts) >= 1))' || fail "unit 1 never got a verdict: $(tail -c 300 "$out")"
verdict1=$(vmtool event "$out" event=verdict)
[[ $verdict1 == *'"verdict":"success"'* ]] || fail "unit 1: $verdict1"

# Unit 1 stays in: the station goes on asking whether it is there, and leaves it alone.
read -r before _ <<<"$(ctl sent uart1)" || fail "no byte count"
wait_until 20 eval '(($(ctl sent uart1 | cut -d" " -f1) >= before + 10))' ||
    fail "the station stopped checking for the unit after its verdict"
[[ $(vmtool count "$out" event=start) -eq 1 ]] || fail "unit 1 was taken for a new unit while it stayed in"
vmtool event "$out" event=unit_left >/dev/null && fail "unit_left while unit 1 still answered"

# Taken out: its boot loader stops answering.
taken=$(now_ms)
ctl sim uart1 --silent || fail "no silent simulator"
wait_until 20 vmtool event "$out" event=unit_left slot=1 how=no_answer >/dev/null ||
    fail "no unit_left how=no_answer: $(vmtool order "$out" verdict unit_left waiting start)"
noticed=$(now_ms)
[[ $(vmtool count "$out" event=start) -eq 1 ]] || fail "a start while the cradle was empty"

# A fresh unit put in.
ctl sim uart1 || fail "no simulator"
wait_until 60 eval '(($(verdicts) >= 2))' || fail "unit 2 never got a verdict: $(tail -c 300 "$out")"
[[ $(vmtool count "$out" event=verdict verdict=success) -eq 2 ]] || fail "unit 2: $(tail -n 1 "$out")"

# Ended before the dump: the dump starts the simulator afresh, which is a new unit to the station.
# A script's background job starts with Ctrl-C ignored, and the station leaves it so: SIGTERM is
# a script's Ctrl-C.
kill -TERM "$station"
wait_until 30 eval '! kill -0 $station 2>/dev/null' || fail "the station did not end after SIGTERM"
wait "$station"
status=$?
[[ $status -eq 0 ]] || fail "exit status $status after SIGTERM: $(tail -c 300 "$W/station.err")"
order=$(vmtool order "$out" start verdict unit_left interrupted summary)
[[ $order == "start verdict unit_left start verdict interrupted summary" ]] || fail "events: $order"
vmtool event "$out" event=start unit=2 device_path=/dev/ttyS1 >/dev/null ||
    fail "unit 2 did not start as unit 2 on /dev/ttyS1: $(vmtool event "$out" event=start unit=2)"
vmtool event "$out" event=summary units=2 succeeded=2 failed=0 exit_status=0 >/dev/null ||
    fail "summary: $(tail -n 1 "$out")"
[[ $(vmtool count "$W/record.jsonl" verdict=success device_path=/dev/ttyS1) -eq 2 &&
    $(wc -l <"$W/record.jsonl") -eq 2 ]] || fail "record: $(cat "$W/record.jsonl")"
if grep -q '"shift"' "$W/record.jsonl"; then
    shift_id=$(vmtool event "$out" event=shift | json_field shift)
    [[ $(vmtool count "$W/record.jsonl" shift="$shift_id" slot=1) -eq 2 ]] ||
        fail "record lines without shift $shift_id, slot 1: $(cat "$W/record.jsonl")"
    keys="shift/slot in both"
else
    keys="no shift keys in the record yet"
fi
memory=$(host_dump uart1 "$update") || fail "unit 2: $memory"
pass "unit 1 left alone while it answered; taken out -> unit_left no_answer after" \
    "$(seconds $((noticed - taken)))s; unit 2 updated; SIGTERM: exit 0, summary 2/2; 2 records ($keys); dump: $memory"
