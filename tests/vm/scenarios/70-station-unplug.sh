# A station cradle whose adapter leaves with the unit: `rq70-flash station --wait-unplug` on an
# FTDI adapter, followed by its /dev/serial/by-id link through the real ftdi_sio driver and udev.
# The station starts before the adapter is there and waits for it; unit 1 is updated; while it
# sits in its cradle after the verdict the station sends its device nothing at all; the adapter
# is pulled and plugged straight back with a fresh unit behind it (too quickly for a look at the
# link between two checks to notice) and that unit is updated as unit 2, never unit 1 twice.
# SIGTERM (a script's Ctrl-C) ends the shift: exit status 0, a summary of 2 units, 2 succeeded,
# two record lines.
# devices: ftdi2
# limit: 120
source /usr/local/lib/rq70-vm/lib.sh
DRIVER=ftdi_sio NODE=ttyUSB0
trap 'kill $(jobs -p) 2>/dev/null; wait 2>/dev/null; ctl unplug ftdi2 >/dev/null 2>&1' EXIT
make_update c 512 || fail "krv pack failed"
update=$W/RQ70-c.KRV
bench2_by_id() { ls /dev/serial/by-id/*RQ70BENCH2* 2>/dev/null | head -n1; }

# The adapter's link as udev names it, learnt once; then the station starts without it.
ctl plug ftdi2 || fail "plugging ftdi2 refused"
wait_until 30 eval 'test -n "$(bench2_by_id)"' || fail "no by-id link for RQ70BENCH2"
link=$(bench2_by_id)
NODE=ttyUSB0+$(basename "$link")
ctl unplug ftdi2 || fail "unplug refused"
wait_until 20 eval '! test -e "$link"' || fail "$link stayed after the unplug"

out=$W/station.json
rq70-flash station "$update" --json --wait-unplug --port "$link" --record "$W/record.jsonl" \
    --note "cradle 2" >"$out" 2>"$W/station.err" &
station=$!
wait_until 20 vmtool event "$out" event=port_gone slot=1 >/dev/null ||
    fail "no port_gone for the missing adapter: $(tail -c 300 "$W/station.err")"
shift_id=$(vmtool event "$out" event=shift | json_field shift)

ctl plug ftdi2 || fail "plugging ftdi2 back refused"
verdicts() { vmtool count "$out" event=verdict; }
wait_until 60 eval '(($(verdicts) >= 1))' ||
    fail "unit 1 never got a verdict: $(tail -c 300 "$out")"
verdict1=$(vmtool event "$out" event=verdict)
[[ $verdict1 == *'"verdict":"success"'* ]] || fail "unit 1: $verdict1"

# The promise of --wait-unplug: from the verdict until the adapter goes, the line stays quiet.
# This is the one fixed pause here: it is the stretch of time the silence is measured over.
read -r before _ <<<"$(ctl sent ftdi2)" || fail "no byte count"
sleep 3
read -r after _ <<<"$(ctl sent ftdi2)" || fail "no byte count"
((after == before)) || fail "the station sent $((after - before)) bytes to the updated unit in 3 s"
[[ $(vmtool count "$out" event=start) -eq 1 ]] || fail "a second start while unit 1 sat in its cradle"

# Unit 1's memory; the dump leaves a fresh unit behind the same adapter, which the station, sending
# nothing, cannot tell from unit 1 until the adapter goes away.
memory1=$(host_dump ftdi2 "$update") || fail "unit 1: $memory1"
read -r fresh _ <<<"$(ctl sent ftdi2)"
((fresh == 0)) || fail "the station sent $fresh bytes before the adapter went away"

# Pulled and plugged straight back: the kernel hangs the old line up.
ctl unplug ftdi2 || fail "unplug refused"
ctl plug ftdi2 || fail "plugging ftdi2 back refused"
wait_until 60 eval '(($(verdicts) >= 2))' ||
    fail "unit 2 never got a verdict after the replug: $(vmtool order "$out" start verdict unit_left port_gone port_back)"
successes=$(vmtool count "$out" event=verdict verdict=success)
[[ $successes -eq 2 ]] || fail "unit 2: $(tail -n 1 "$out")"
vmtool event "$out" event=unit_left slot=1 how=port_gone >/dev/null || fail "no unit_left how=port_gone"

# A script's background job starts with Ctrl-C ignored, and the station leaves it so: SIGTERM is
# a script's Ctrl-C.
kill -TERM "$station"
wait_until 30 eval '! kill -0 $station 2>/dev/null' || fail "the station did not end after SIGTERM"
wait "$station"
status=$?
[[ $status -eq 0 ]] || fail "exit status $status after SIGTERM: $(tail -c 300 "$W/station.err")"
order=$(vmtool order "$out" start verdict unit_left interrupted summary)
[[ $order == "start verdict unit_left start verdict interrupted summary" ]] || fail "events: $order"
# The by-id link is the device path while it leads to the adapter: stable names stay as given.
vmtool event "$out" event=start unit=2 device_path="$link" port="$link" >/dev/null ||
    fail "unit 2 did not start as unit 2 on $link: $(vmtool event "$out" event=start unit=2)"
summary=$(vmtool event "$out" event=summary units=2 succeeded=2 failed=0 exit_status=0) ||
    fail "summary: $(tail -n 1 "$out")"

records=$(vmtool count "$W/record.jsonl" verdict=success device_path="$link" usb_serial=RQ70BENCH2 port="$link")
[[ $records -eq 2 && $(wc -l <"$W/record.jsonl") -eq 2 ]] || fail "record: $(cat "$W/record.jsonl")"
if grep -q '"shift"' "$W/record.jsonl"; then
    [[ $(vmtool count "$W/record.jsonl" shift="$shift_id" slot=1 note="cradle 2") -eq 2 ]] ||
        fail "record lines without shift $shift_id, slot 1: $(cat "$W/record.jsonl")"
    keys="shift/slot/note in both"
else
    keys="no shift keys in the record yet"
fi
memory2=$(host_dump ftdi2 "$update") || fail "unit 2: $memory2"
pass "2 units by $(basename "$link"); 0 bytes in 3 s after verdict 1 ($before before); quick replug -> unit 2;" \
    "SIGTERM: exit 0, summary 2/2; 2 records ($keys); both dumps: $memory2"
