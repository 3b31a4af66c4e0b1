# The windows, offscreen, as the technician runs them, on the FTDI adapter: the port list holds
# the guest's real serial ports in our stated order (ttyS by number, then ttyUSB, then ttyACM,
# each with its device path as tooltip), "Auto Detect..." passes over a silent port and finds the
# device on the adapter, and OK updates it.
# devices: uart1 ftdi1 acm1
# limit: 240
source /usr/local/lib/rq70-vm/lib.sh
DRIVER=ftdi_sio NODE=ttyUSB0
make_update w 512 || fail "krv pack failed"
wait_node /dev/ttyUSB0 && wait_node /dev/ttyS1 && wait_node /dev/ttyACM0 || fail "a port is missing"
# The built-in port answers nothing, so the device the search finds is the adapter's.
ctl sim uart1 --silent || fail "no simulator"
expected=$(vmtool portlist) || fail "cannot list the ports from sysfs"
windows_start main || fail "the main window did not come up: $(tail -c 300 "$W/main.log")"
answer=$(drive wait entries Combo1 is "$expected" 0) ||
    fail "the port list is '$(json_field entries <<<"$answer")', not '$expected'"
com=$(vmtool comof "$expected" /dev/ttyUSB0)
drive click AutoDetectCmd >/dev/null || fail "Auto Detect... cannot be clicked"
answer=$(drive wait text AutoDetectForm.Label1 is "Successfully connected to $com" 60000) ||
    fail "the search ended with '$(json_field text <<<"$answer")'"
searched_ms=$(json_field waited_ms <<<"$answer")
drive click OKCmd >/dev/null && drive click OK >/dev/null || fail "OK cannot be clicked"
answer=$(drive wait text UpdatingCompleteForm.Label1 is "The update was successful." 180000) ||
    fail "the update ended with '$(json_field text <<<"$answer")'"
updated_ms=$(json_field waited_ms <<<"$answer")
drive wait text UpdatingCompleteForm.Label2 like . 20000 >/dev/null || fail "no identification shown"
drive click UpdatingCompleteForm.OKCmd >/dev/null
windows_ended || fail "the updater did not end after its result window was closed"
read -r verdict path _ <<<"$(vmtool record "$W/main.record.jsonl" "$com")"
[[ $verdict == success && $path == /dev/ttyUSB0 ]] || fail "record: $verdict on $path"
memory=$(host_dump ftdi1 "$W/RQ70-w.KRV") || fail "$memory"
pass "list '$expected'; found on $com after $(seconds "$searched_ms")s, updated in $(seconds "$updated_ms")s; $memory"
