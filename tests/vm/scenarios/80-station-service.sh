# The station as the package's service, in a guest booted with systemd: a config for one cradle
# (the 8250's ttyS1) in /etc/rq70/station-test.conf, with no update file named, and the update
# file in /var/lib/rq70. `systemctl start rq70-station@test` runs the station as the user rq70 (in
# dialout, which the package made), sandboxed as the unit says, and yet it lowers the port's
# receive trigger in /sys and leaves its note of that in /run/rq70-updater. The unit is updated and
# recorded in /var/lib/rq70/updates.jsonl, a file that belongs to rq70; the journal holds the
# station's plain lines, and the station's board, read from inside the guest, shows the unit on
# its tile and its line in the records. A second unit answers at a real device's pace, and `systemctl stop` comes
# in the middle of its update: the stop (SIGINT) ends the shift only after that update has
# finished and been recorded as a success; then the summary of both units in the journal, the
# trigger back as it was, the note gone, and the unit inactive rather than failed.
# devices: uart1
# boot: systemd
# limit: 240
source /usr/local/lib/rq70-vm/lib.sh
DRIVER=8250 NODE=ttyS1
unit=rq70-station@test.service
state=/var/lib/rq70
record=$state/updates.jsonl
trigger=/sys/class/tty/ttyS1/rx_trig_bytes
journal() { journalctl -u $unit -o cat --no-pager; }
[[ -d /run/systemd/system ]] || fail "not booted with systemd"
wait_node /dev/ttyS1 || fail "no /dev/ttyS1"
original=$(cat $trigger) || fail "no $trigger"

# What the package made when it was installed.
IFS=: read -r _ _ _ _ _ home shell <<<"$(getent passwd rq70)"
[[ $home == "$state" ]] || fail "the user rq70: $(getent passwd rq70)"
id -nG rq70 | grep -qw dialout || fail "rq70 is not in dialout: $(id rq70)"
systemctl cat $unit >/dev/null || fail "systemd does not know $unit"

make_update s 512 || fail "krv pack failed"
install -m 644 "$W/RQ70-s.KRV" $state/RQ70-S.KRV
rm -f $record
cat >/etc/rq70/station-test.conf <<EOF
# One cradle on the built-in port; the update file is the one in the service's folder.
port = /dev/ttyS1
note = WO vm 17
station = vm-line
http = 127.0.0.1:8070
EOF
# board PATH CHECK: GETs PATH from the station's board and evaluates the python expression CHECK
# on its JSON (as j); prints CHECK's value, or the answer when CHECK is false (status 1)
board() {
    python3 - "$1" "$2" <<'PY'
import json, sys, urllib.request
with urllib.request.urlopen("http://127.0.0.1:8070" + sys.argv[1], timeout=5) as answer:
    j = json.load(answer)
value = eval("(" + sys.argv[2] + ")")  # CHECK may span lines
print(value if value else "no: " + json.dumps(j)[:400])
sys.exit(0 if value else 1)
PY
}

systemctl start $unit || fail "systemctl start: $(systemctl status $unit --no-pager 2>&1 | tail -n 5)"
wait_until 90 grep -q '"verdict":"success"' $record 2>/dev/null ||
    fail "no success in the record: $(journal | tail -n 5 | tr '\n' '|')"
pid=$(systemctl show -p MainPID --value $unit)
[[ $(ps -o user= -p "$pid") == rq70 ]] || fail "the station runs as $(ps -o user= -p "$pid")"
dialout=$(getent group dialout | cut -d: -f3)
grep -q "^Groups:.*\b$dialout\b" /proc/"$pid"/status || fail "the station is not in dialout: $(grep Groups /proc/$pid/status)"
[[ $(stat -c %U:%G $record) == rq70:rq70 ]] || fail "the record belongs to $(stat -c %U:%G $record)"
[[ $(cat $trigger) == 1 ]] || fail "the station did not lower the receive trigger: $(cat $trigger)"
[[ -n $(find /run/rq70-updater -name '*rx_trig_bytes' -user rq70) ]] ||
    fail "no note of rq70's in /run/rq70-updater: $(ls -l /run/rq70-updater)"
line=$(grep '"verdict":"success"' $record)
for field in '"note":"WO vm 17"' '"station":"vm-line"' '"slot":1' "\"update_file\":\"$state/RQ70-S.KRV\"" \
    '"device_path":"/dev/ttyS1"'; do
    [[ $line == *"$field"* ]] || fail "the record line lacks $field: $line"
done
wait_until 20 eval 'journal | grep -q "SUCCEEDED"' || fail "no SUCCEEDED line in the journal: $(journal | tail -n 3)"
journal | grep -q "^shift .* on 1 slot(s), note: WO vm 17$" || fail "no shift line in the journal: $(journal | head -n 3)"
id=$(json_field id <<<"$line")
shown=$(board /api/state 'len(j["slots"]) == 1 and j["slots"][0]["state"] == "succeeded" and
    j["slots"][0]["units"] == 1 and j["slots"][0]["port"] == "/dev/ttyS1" and
    j["shift"]["note"] == "WO vm 17" and "tile %s" % j["slots"][0]["state"]') ||
    fail "the board's /api/state: $shown"
found=$(board "/api/records?limit=5" "[r['id'] for r in j['records']] == ['$id'] and 'record $id'") ||
    fail "the board's /api/records: $found"
status=$(systemctl status $unit --no-pager 2>&1)
[[ $status == *"active (running)"* ]] || fail "systemctl status: $(head -n 3 <<<"$status")"

# Unit 1 taken out (its boot loader falls silent), unit 2 put in, at 4800 baud.
ctl sim uart1 --silent || fail "no silent simulator"
wait_until 20 eval 'journal | grep -q ": unit 1 left$"' || fail "unit 1 never left: $(journal | tail -n 2)"
ctl sim uart1 --baud 4800 || fail "no simulator at 4800 baud"
wait_until 60 eval '(($(journal | grep -c "^slot 1 (/dev/ttyS1): program$") == 2))' ||
    fail "unit 2 never reached its program phase: $(journal | tail -n 3 | tr '\n' '|')"
updating=$(board /api/state 'j["slots"][0]["state"] == "updating" and j["slots"][0]["unit"] == 2 and
    j["slots"][0]["phase"] == "program" and "%s%% program" % j["slots"][0]["percent"]') ||
    fail "the board during unit 2's update: $updating"

# The stop ends the shift as Ctrl-C does: systemctl returns once unit 2's update is done.
stopped=$(now_ms)
systemctl stop $unit || fail "systemctl stop failed"
took=$(($(now_ms) - stopped))
journal >"$W/journal.txt"
[[ $(grep -c '"verdict":"success"' $record) -eq 2 && $(wc -l <$record) -eq 2 ]] ||
    fail "unit 2 was not updated to its end before the stop returned: $(tail -n 1 $record)"
wait_until 10 eval 'journal | grep -q "^Shift .* ended after .*: 2 unit(s), 2 succeeded, 0 failed$"' ||
    fail "no shift summary in the journal: $(journal | tail -n 6 | tr '\n' '|')"
journal | grep -q "^rq70-flash: interrupted: no new units" || fail "no interrupted line in the journal"
[[ $(systemctl show -p ActiveState --value $unit) == inactive && $(systemctl show -p Result --value $unit) == success ]] ||
    fail "after the stop: $(systemctl show -p ActiveState -p Result -p ExecMainStatus $unit | tr '\n' ' ')"
[[ $(cat $trigger) == "$original" ]] || fail "the trigger is $(cat $trigger) after the stop, not $original"
[[ -z $(ls /run/rq70-updater) ]] || fail "notes left after the stop: $(ls /run/rq70-updater)"
cp $record "$W/" && journal >"$W/journal.txt"
memory=$(host_dump uart1 "$W/RQ70-s.KRV") || fail "$memory"
pass "ran as rq70 (dialout) from the config, unit 1 updated and recorded (rq70's file), trigger 1 and" \
    "a note while it ran; board: $shown, $found, unit 2 at $updating; stop during unit 2's 4800-baud update returned after $(seconds $took)s with it" \
    "recorded as a success; summary 2/2 in the journal, trigger and note put back, unit inactive/success;" \
    "dump of unit 2: $memory"
