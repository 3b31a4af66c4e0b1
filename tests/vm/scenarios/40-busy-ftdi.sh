# A port held by another instance, as root: while one rq70-flash update runs on the FTDI adapter
# by its /dev/serial/by-id link, a second naming the same adapter as /dev/ttyUSB0, and a third
# naming it by its COM number, are refused with exit status 4 before they send a byte. The
# evidence for "no byte": the bytes the device got are exactly those of the same update run
# alone. The first run still finishes the device.
# devices: ftdi1
# limit: 300
source /usr/local/lib/rq70-vm/lib.sh
DRIVER=ftdi_sio NODE=by-id
make_update b 64 || fail "krv pack failed"
wait_node /dev/ttyUSB0 || fail "no /dev/ttyUSB0"
link=$(ftdi_by_id)
[[ -n $link ]] || fail "no by-id link"
com=$(rq70-flash ports | awk '$2 == "/dev/ttyUSB0" { print $1 }')
[[ -n $com ]] || fail "rq70-flash ports does not list /dev/ttyUSB0"
NODE=$(basename "$link")+ttyUSB0+$com

# Replies held 20 ms: the first run holds the port for several seconds.
ctl sim ftdi1 --delay 20 || fail "no simulator"
rq70-flash update "$W/RQ70-b.KRV" --port "$link" --record "$W/alone.jsonl" >"$W/alone" 2>&1 ||
    fail "the update alone failed: $(tail -c 200 "$W/alone")"
alone=$(ctl sent ftdi1) || fail "no byte count"

ctl sim ftdi1 --delay 20 || fail "no simulator"
rq70-flash update "$W/RQ70-b.KRV" --json --port "$link" --record "$W/record.jsonl" >"$W/first.json" 2>"$W/first.err" &
first=$!
wait_until 60 grep -q '"event":"progress"' "$W/first.json" || fail "the first run made no progress"
statuses=()
for port in /dev/ttyUSB0 "$com"; do
    rq70-flash update "$W/RQ70-b.KRV" --port "$port" --record "$W/record.jsonl" >"$W/second-${port##*/}" 2>&1
    statuses+=("$port:$?")
done
still=$(kill -0 $first 2>/dev/null && echo "while the first ran" || echo "but the first had ended")
wait $first
status=$?
got=$(ctl sent ftdi1)
memory=$(host_dump ftdi1 "$W/RQ70-b.KRV")
dumped=$?
[[ "${statuses[*]}" == "/dev/ttyUSB0:4 $com:4" ]] ||
    fail "second runs ended ${statuses[*]} (want 4) $still; first run exit $status; device got $got bytes, alone $alone"
[[ $status -eq 0 ]] || fail "refused, but the first run ended with status $status"
[[ $got == "$alone" ]] || fail "the device got bytes $got, the update alone sends $alone"
((dumped == 0)) || fail "$memory"
pass "ttyUSB0 and $com refused with 4 $still; device got exactly the lone run's ${alone%% *} bytes; dump equal"
