# A station refuses the kernel's moving name of the FTDI adapter's port before it sends a byte:
# exit status 2, and the refusal names the stable links udev made for that port, the adapter's
# /dev/serial/by-id link and its socket's /dev/serial/by-path link.
# devices: ftdi1
# limit: 60
source /usr/local/lib/rq70-vm/lib.sh
DRIVER=ftdi_sio NODE=ttyUSB0
make_update m 64 || fail "krv pack failed"
wait_node /dev/ttyUSB0 || fail "no /dev/ttyUSB0"
by_id=$(ftdi_by_id)
by_path=$(for link in /dev/serial/by-path/*; do [[ $(readlink -f "$link") == /dev/ttyUSB0 ]] && echo "$link"; done | head -n1)
[[ -n $by_id && -n $by_path ]] || fail "udev made no by-id or by-path link to ttyUSB0"
read -r before _ <<<"$(ctl sent ftdi1)"
timeout 20 rq70-flash station "$W/RQ70-m.KRV" --port /dev/ttyUSB0 --record "$W/record.jsonl" >"$W/out" 2>"$W/err"
status=$?
[[ $status -eq 2 ]] || fail "exit status $status, not 2: $(head -c 300 "$W/err")"
grep -qF "$by_id  (the adapter" "$W/err" || fail "the refusal does not name $by_id: $(head -c 400 "$W/err")"
grep -qF "$by_path  (the cradle's USB socket)" "$W/err" ||
    fail "the refusal does not name $by_path: $(head -c 400 "$W/err")"
read -r after _ <<<"$(ctl sent ftdi1)"
[[ $after -eq $before && ! -e $W/record.jsonl ]] || fail "the device got $((after - before)) bytes, or a record was written"
pass "exit 2 naming $by_id and $by_path; no byte sent"
