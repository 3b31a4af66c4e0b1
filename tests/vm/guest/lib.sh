# What every scenario shares; sourced by the guest's init and by each scenario script.
# A scenario sets DRIVER and NODE, does its work and ends with `pass EVIDENCE` or `fail EVIDENCE`
# (a few words each); the first verdict counts, and a script that ends without one is a FAIL.

# ctl REQUEST...: one request to the host over the control channel (fd 3); prints what follows
# the host's "ok", fails on "err ..." or on no answer within 90 s.
ctl() {
    local reply
    printf '%s\n' "$*" >&3
    if ! IFS= read -r -t 90 reply <&3; then
        echo "ctl: no answer to '$*'" >&2
        return 1
    fi
    case $reply in
        ok) ;;
        "ok "*) printf '%s\n' "${reply#ok }" ;;
        *) echo "ctl: '$*': $reply" >&2; return 1 ;;
    esac
}

report() {
    [[ -s $RESULT ]] || echo "$1 $SCENARIO ${DRIVER:--} ${NODE:--} ${*:2}" >"$RESULT"
}
pass() { report PASS "$@"; exit 0; }
fail() { report FAIL "$@"; exit 1; }

# Whatever a scenario started in the background ends with it. (The init sets its own trap.)
trap 'kill $(jobs -p) 2>/dev/null; wait 2>/dev/null' EXIT

# wait_until SECONDS COMMAND...: true once COMMAND is, false when SECONDS pass first.
wait_until() {
    local deadline=$(($(date +%s%N) + $1 * 1000000000))
    shift
    until "$@"; do
        (($(date +%s%N) < deadline)) || return 1
        sleep 0.05
    done
}

now_ms() { echo $(($(date +%s%N) / 1000000)); }
seconds() { printf '%d.%03d' $(($1 / 1000)) $(($1 % 1000)); } # milliseconds as seconds

# A folder of the scenario's own that the technician's account may write too.
if [[ -n ${SCENARIO:-} ]]; then
    W=/tmp/$SCENARIO
    mkdir -p "$W" && chmod 777 "$W"
fi

# make_update NAME WORDS: $W/RQ70-NAME.KRV with WORDS program words and EEPROM bytes of its own.
make_update() {
    vmtool hex "$SCENARIO-$1" "$2" >"$W/$1.hex" && krv pack "$W/$1.hex" "$W/RQ70-$1.KRV" 2>/dev/null &&
        chmod 644 "$W/RQ70-$1.KRV"
}

# host_dump DEVICE KRV: compares the host simulator's memory with KRV's images (the simulator
# starts again afresh); prints the evidence, fails on a difference.
host_dump() {
    ctl dump "$1" >"$W/$1.dump.json" || { echo "no dump of $1"; return 1; }
    vmtool compare "$W/$1.dump.json" "$2"
}

# pulled_run_failed NODE: the run in $W/run1.json, pulled at $pulled and ended at $ended (ms, its
# exit status in $status, the figures in $figure), ended as a failure within a second of the pull,
# with exit status 1 and a record line for NODE naming its failed phase (left in $phase).
pulled_run_failed() {
    local verdict rverdict
    verdict=$(vmtool event "$W/run1.json" event=verdict) || fail "no verdict, exit status $status; $figure"
    [[ $verdict == *'"verdict":"failure"'* ]] || fail "verdict: $verdict"
    [[ $status -eq 1 ]] || fail "exit status $status, not 1; $figure"
    ((ended - pulled <= 1000)) || fail "too slow: $figure"
    read -r rverdict _ _ phase <<<"$(vmtool record "$W/record.jsonl" "$1")"
    [[ $rverdict == failure && $phase == program ]] || fail "record: $rverdict, failed phase $phase"
}

# The USB gadget's simulator, in the guest, on the device's end of the line. Its memory stays in
# $W/acm.mem across restarts, as a real device keeps it across a disconnect.
acm_sim_start() {
    wait_until 20 test -c /dev/ttyGS0 || return 1
    rq70-devsim --tty /dev/ttyGS0 --memory "$W/acm.mem" --dump "$W/acm.dump.json" --log "$W/acm.log" "$@" \
        >"$W/acm.out" 2>>"$W/acm.err" &
    ACM_SIM=$!
    wait_until 20 test -s "$W/acm.out"
}
acm_sim_stop() {
    kill -TERM "$ACM_SIM" 2>/dev/null
    wait_until 20 eval '! kill -0 $ACM_SIM 2>/dev/null'
    wait "$ACM_SIM" 2>/dev/null
    return 0
}

# The FTDI adapter's nodes once udev has made them.
ftdi_by_id() { ls /dev/serial/by-id/*RQ70BENCH1* 2>/dev/null | head -n1; }
acm_by_id() { ls /dev/serial/by-id/*RQ70ACM1* 2>/dev/null | head -n1; }
wait_node() { wait_until "${2:-20}" test -c "$1" && udevadm settle --timeout=20; }

# flash ARGUMENTS...: rq70-flash as the technician (dialout) would run it, output in $W.
as_tech() { runuser -u tech -- "$@"; }

# ---- the windows, offscreen, steered through the window driver (tests/vm/windriver) ----------

# windows_start NAME [rq70-updater arguments]: the installed updater as the technician runs it,
# in $W (where the scenario's update file lies), offscreen, with the driver loaded; waits for the
# main window. `drive COMMAND ...` then steers it (see tests/vm/windriver/README.md).
source /usr/local/lib/rq70-vm/drive.sh
windows_start() {
    local name=$1
    shift
    mkdir -p "$W/$name.run" && chown tech "$W/$name.run" && chmod 700 "$W/$name.run"
    rm -f "$W/$name.in" "$W/$name.out"
    mkfifo -m 666 "$W/$name.in"
    export RQ70_WINDRIVER_IN=$W/$name.in RQ70_WINDRIVER_OUT=$W/$name.out
    (cd "$W" && exec runuser -u tech -- env QT_QPA_PLATFORM=offscreen XDG_RUNTIME_DIR="$W/$name.run" \
        RQ70_UPDATE_RECORD="$W/$name.record.jsonl" LD_PRELOAD=/usr/local/lib/rq70-vm/librq70windriver.so \
        RQ70_WINDRIVER_IN="$RQ70_WINDRIVER_IN" RQ70_WINDRIVER_OUT="$RQ70_WINDRIVER_OUT" \
        rq70-updater "$@") >"$W/$name.log" 2>&1 &
    export RQ70_WINDRIVER_PID=$!
    drive -t 90 wait window MainForm 60000 >/dev/null
}
# windows_ended: the updater has ended by itself within 20 s
windows_ended() { wait_until 20 eval '! kill -0 $RQ70_WINDRIVER_PID 2>/dev/null'; }
# json_field KEY < JSON: one field of a driver's answer, as text
json_field() { python3 -c 'import json,sys; v=json.load(sys.stdin).get(sys.argv[1]); print(v if isinstance(v,str) else json.dumps(v))' "$1"; }
