# Three devices at once, one on each driver, in one rq70-flash run: the USB ones by their
# /dev/serial/by-id links. Every device holds the images, and every record line names its
# device and, for the USB ones, the serial number.
# devices: uart1 ftdi1 acm1
# limit: 180
source /usr/local/lib/rq70-vm/lib.sh
DRIVER=8250+ftdi_sio+cdc_acm NODE=ttyS1+by-id+by-id
make_update t 256 || fail "krv pack failed"
wait_node /dev/ttyS1 && wait_node /dev/ttyUSB0 && wait_node /dev/ttyACM0 || fail "a port is missing"
ftdi=$(ftdi_by_id) acm=$(acm_by_id)
[[ -n $ftdi && -n $acm ]] || fail "no by-id links: $(ls /dev/serial/by-id)"
NODE="ttyS1+$(basename "$ftdi")+$(basename "$acm")"
acm_sim_start || fail "the simulator did not start on /dev/ttyGS0"
rq70-flash update "$W/RQ70-t.KRV" --port /dev/ttyS1 --port "$ftdi" --port "$acm" \
    --record "$W/record.jsonl" >"$W/out" 2>"$W/err"
status=$?
acm_sim_stop
[[ $status -eq 0 ]] || fail "exit status $status: $(tail -c 300 "$W/err")"
problems=()
for expected in "/dev/ttyS1 success /dev/ttyS1 None" "$ftdi success /dev/ttyUSB0 RQ70BENCH1" \
    "$acm success /dev/ttyACM0 RQ70ACM1"; do
    set -- $expected
    read -r verdict path serial _ <<<"$(vmtool record "$W/record.jsonl" "$1")"
    [[ $verdict == "$2" && $(realpath "$path" 2>/dev/null) == "$3" && $serial == "$4" ]] ||
        problems+=("record of $1: $verdict $path $serial")
done
[[ ${#problems[@]} -eq 0 ]] || fail "${problems[*]}"
for device in uart1 ftdi1; do
    memory=$(host_dump $device "$W/RQ70-t.KRV") || fail "$device: $memory"
done
memory=$(vmtool compare "$W/acm.dump.json" "$W/RQ70-t.KRV") || fail "acm1: $memory"
pass "exit 0, three records with path and serial, three dumps equal the images ($memory)"
