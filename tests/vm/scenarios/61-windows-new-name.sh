# The adapter comes back under a new name: after a failed update the windows' monitor is on; the
# adapter is pulled, and while another program still holds the old ttyUSB0 open it is plugged
# back, so the kernel names it ttyUSB1. The monitor follows the adapter (by what names it, not by
# its old node): within 2 s of the device answering it says "connected to RQ-70", and OK updates
# the device on its new node.
# devices: uart1 ftdi1
# limit: 240
source /usr/local/lib/rq70-vm/lib.sh
DRIVER=ftdi_sio NODE=ttyUSB0
# However it ends, the adapter is ttyUSB0 again for the scenarios after this one.
trap 'kill $(jobs -p) 2>/dev/null; wait 2>/dev/null; ctl unplug ftdi1 >/dev/null 2>&1; ctl plug ftdi1 >/dev/null 2>&1
      wait_until 20 test -c /dev/ttyUSB0' EXIT
make_update n 512 || fail "krv pack failed"
wait_node /dev/ttyUSB0 || fail "no /dev/ttyUSB0"
# The first run fails half way: the device refuses one write. The built-in port answers nothing,
# so the device the search finds is the adapter's.
ctl sim uart1 --silent && ctl sim ftdi1 --nak write@400 || fail "no simulator"
windows_start main || fail "the main window did not come up: $(tail -c 300 "$W/main.log")"
drive click AutoDetectCmd >/dev/null || fail "Auto Detect... cannot be clicked"
drive wait text AutoDetectForm.Label1 like '^Successfully connected' 60000 >/dev/null || fail "the search found nothing"
drive click OKCmd >/dev/null && drive click OK >/dev/null || fail "OK cannot be clicked"
answer=$(drive wait text UpdatingCompleteForm.Label1 is "The update was not successful." 180000) ||
    fail "the first run ended with '$(json_field text <<<"$answer")'"
drive wait tooltip Combo1 like ': connected to RQ-70$' 5000 >/dev/null || fail "the monitor is not on after the failed run"

# Something else opens the old node, so the minor stays taken after the pull.
python3 -c 'import os, time; os.open("/dev/ttyUSB0", os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK); time.sleep(600)' &
holder=$!
wait_until 10 eval 'fuser -s /dev/ttyUSB0 2>/dev/null && [[ $(fuser /dev/ttyUSB0 2>/dev/null | wc -w) -ge 2 ]]' ||
    fail "the second holder did not open ttyUSB0"
ctl unplug ftdi1 || fail "unplug refused"
drive wait tooltip Combo1 like ': not connected to RQ-70$' 5000 >/dev/null || fail "the monitor did not see the pull"
# A fresh device that takes the whole update.
ctl sim ftdi1 || fail "no simulator"
ctl plug ftdi1 || fail "plug refused"
wait_until 20 test -c /dev/ttyUSB1 || fail "the adapter did not come back as ttyUSB1: $(ls /dev/ttyUSB*)"
back=$(now_ms)
NODE=ttyUSB0+ttyUSB1
answer=$(drive wait tooltip Combo1 like ': connected to RQ-70$' 10000) ||
    fail "the monitor never found the adapter on ttyUSB1: '$(json_field tooltip <<<"$answer")'"
seen=$(( $(now_ms) - back ))
((seen <= 2000)) || fail "the monitor said connected $(seconds $seen)s after ttyUSB1 appeared, not within 2s"
drive click OK >/dev/null || fail "OK cannot be clicked"
answer=$(drive wait text UpdatingCompleteForm.Label1 is "The update was successful." 180000) ||
    fail "the second run ended with '$(json_field text <<<"$answer")'"
drive click UpdatingCompleteForm.OKCmd >/dev/null
windows_ended || fail "the updater did not end after its result window was closed"
kill $holder
read -r verdict path _ <<<"$(vmtool record "$W/main.record.jsonl" -)"
memory=$(host_dump ftdi1 "$W/RQ70-n.KRV") || fail "$memory"
# The record names the port COMn stood for when it was chosen, and the node it was updated on.
[[ $verdict == success && $path == /dev/ttyUSB0 ]] || fail "the second run's record: $verdict on $path, not /dev/ttyUSB0"
[[ $(vmtool count "$W/main.record.jsonl" verdict=success device_node=/dev/ttyUSB1 usb_serial=RQ70BENCH1) -eq 1 ]] ||
    fail "the second run's record does not name the node /dev/ttyUSB1 and the adapter RQ70BENCH1"
pass "connected $(seconds $seen)s after ttyUSB1 appeared; OK updated it on /dev/ttyUSB1; $memory"
