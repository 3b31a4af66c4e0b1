# The package's udev rule: an FTDI adapter plugged in afresh reads a latency timer of 1 ms before
# any program has opened it.
# devices: ftdi1
# limit: 60
source /usr/local/lib/rq70-vm/lib.sh
DRIVER=ftdi_sio NODE=ttyUSB0
rule=/usr/lib/udev/rules.d/99-rq70-usb-serial.rules
[[ -f $rule ]] || fail "the package installed no $rule"
ctl unplug ftdi1 || fail "unplug refused"
wait_until 20 eval '! test -e /dev/ttyUSB0' || fail "ttyUSB0 stayed after the adapter was pulled"
ctl plug ftdi1 || fail "plug refused"
wait_node /dev/ttyUSB0 || fail "no ttyUSB0 after plugging the adapter in"
timer=$(cat /sys/bus/usb-serial/devices/ttyUSB0/latency_timer)
holders=$(fuser /dev/ttyUSB0 2>/dev/null)
[[ -z $holders ]] || fail "something holds ttyUSB0: $holders"
[[ $timer == 1 ]] || fail "latency_timer $timer after plugging in, not 1"
pass "device_del + device_add: latency_timer 1 before any open"
