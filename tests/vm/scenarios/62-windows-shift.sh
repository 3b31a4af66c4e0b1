# COM numbers that shift: three FTDI adapters, numbered after the ttyS ports. The windows' search
# finds the device on the second; that adapter is then pulled, and the third moves up to its COM
# number. OK must not write the third adapter's device: the run holds the device the search
# found, which is gone, so it fails.
# devices: uart1 ftdi1 ftdi2 ftdi3
# limit: 240
source /usr/local/lib/rq70-vm/lib.sh
DRIVER=ftdi_sio NODE=ttyUSB1
trap 'kill $(jobs -p) 2>/dev/null; wait 2>/dev/null; ctl unplug ftdi2 >/dev/null 2>&1; ctl unplug ftdi3 >/dev/null 2>&1' EXIT
make_update s 512 || fail "krv pack failed"
ctl sim uart1 --silent && ctl sim ftdi1 --silent && ctl sim ftdi3 --id RQ-70-Boot-3.0 || fail "no simulator"
# One at a time, so the kernel numbers them in this order.
for n in 2 3; do
    ctl plug ftdi$n || fail "plugging ftdi$n refused"
    wait_node /dev/ttyUSB$((n - 1)) || fail "ftdi$n did not come up as ttyUSB$((n - 1))"
done
before=$(vmtool portlist) || fail "cannot list the ports from sysfs"
second=$(vmtool comof "$before" /dev/ttyUSB1)
windows_start main || fail "the main window did not come up: $(tail -c 300 "$W/main.log")"
drive click AutoDetectCmd >/dev/null || fail "Auto Detect... cannot be clicked"
drive wait text AutoDetectForm.Label1 is "Successfully connected to $second" 90000 >/dev/null ||
    fail "the search did not find the device on $second ($before)"
drive click OKCmd >/dev/null
ctl unplug ftdi2 || fail "unplug refused"
wait_until 20 eval '! test -e /dev/ttyUSB1' || fail "ttyUSB1 did not go away"
after=$(vmtool portlist)
[[ $(vmtool comof "$after" /dev/ttyUSB2) == "$second" ]] ||
    fail "the third adapter did not move up to $second: $after"
drive click OK >/dev/null || fail "OK cannot be clicked"
# The run fails, or the updater refuses to start it with a message box; either way not a byte
# of an update reaches the third adapter.
outcome=
for _ in $(seq 600); do
    if answer=$(drive wait text UpdatingCompleteForm.Label1 like . 0 2>/dev/null); then
        outcome=$(json_field text <<<"$answer")
        break
    fi
    if answer=$(drive wait modal 0 2>/dev/null); then
        outcome="message box: $(python3 -c 'import json,sys; print(" ".join(json.load(sys.stdin)["modal"]["text"].split()))' <<<"$answer")"
        drive answer OK >/dev/null
        break
    fi
    sleep 0.2
done
[[ -n $outcome ]] || fail "OK neither ended a run nor said why it did not start"
[[ $outcome != "The update was successful." ]] || fail "OK reported a success after the found device went away"
read -r count _ <<<"$(ctl sent ftdi3)"
[[ $count -eq 0 ]] || fail "the third adapter's device got $count bytes"
drive quit >/dev/null
pass "found on $second, pulled, $second became ttyUSB2; OK: '$outcome'; the third adapter got no byte"
