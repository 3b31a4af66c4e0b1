# rq70-flash updates a device on the built-in UART through the real 8250 driver: the device holds
# the update file's images, the record names the device path, and stderr stays empty (no error,
# and no latency notice: a 16550 has no latency timer to complain about).
# devices: uart1
# limit: 120
source /usr/local/lib/rq70-vm/lib.sh
DRIVER=8250 NODE=ttyS1
make_update u 64 || fail "krv pack failed"
wait_node /dev/ttyS1 || fail "no /dev/ttyS1"
rq70-flash update "$W/RQ70-u.KRV" --port /dev/ttyS1 --record "$W/record.jsonl" >"$W/out" 2>"$W/err"
status=$?
[[ $status -eq 0 ]] || fail "exit status $status: $(tail -c 200 "$W/err")"
[[ ! -s $W/err ]] && stderr="stderr empty" || fail "stderr: $(head -c 200 "$W/err")"
record=$(vmtool record "$W/record.jsonl" /dev/ttyS1)
[[ $record == "success /dev/ttyS1 None None" ]] || fail "record: $record"
memory=$(host_dump uart1 "$W/RQ70-u.KRV") || fail "$memory"
pass "exit 0, $stderr, record ok, dump: $memory"
