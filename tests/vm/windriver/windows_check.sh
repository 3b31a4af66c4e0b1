#!/usr/bin/env bash
# The updater's windows steered from a script through the window driver, offscreen, against
# simulated devices: what the guest's window scenarios do on real ports, here on ptys.
#   windows_check.sh UPDATER DEVSIM KRV LIBRQ70WINDRIVER
# 1. Three ports, the first silent: the list shows them in order with their paths, a pick and
#    typed text choose entries, "Auto Detect..." finds the device on the second, OK updates it,
#    the result window says so, closing it ends the updater; the device holds the images, the
#    third device got not one byte. A second updater is refused with a message box.
# 2. The device is pulled mid-update: "not successful", the monitor's tooltip goes to "not
#    connected", the device is plugged back, the tooltip says "connected" again, and OK then
#    finishes the device.
# 3. The main window is closed in the middle of an update: the run stops after the block under
#    way and the updater ends, with no window left behind.
# 4. SIGTERM in the middle of an update ends the updater as closing its main window does, and the
#    port's receive trigger, lowered while it was held, is back at its own value.
set -euo pipefail
updater=$(realpath "$1") devsim=$(realpath "$2") krv=$(realpath "$3") driver=$(realpath "$4")
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=drive.sh
. "$here/drive.sh"

work=$(mktemp -d)
pids=()
cleanup() {
    local pid
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    # The simulators write their dumps as they end; the folder goes once they have.
    for pid in "${pids[@]}"; do
        for _ in $(seq 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.05; done
    done
    rm -rf "$work"
}
trap cleanup EXIT
fail() {
    echo "FAIL: $*" >&2
    exit 1
}
mkdir -p "$work/program" "$work/ports" "$work/runtime"
chmod 700 "$work/runtime"
export RQ70_PORT_DIR="$work/ports" XDG_RUNTIME_DIR="$work/runtime" RQ70_UPDATE_RECORD="$work/updates.jsonl"
export QT_QPA_PLATFORM=offscreen

# Program words 256..1023 and every EEPROM byte differ from the erased values, so a device shows
# plainly how far a run came; every record carries its right checksum.
python3 - >"$work/firmware.hex" <<'PY'
def record(address, kind, data):
    fields = [len(data), address >> 8, address & 0xFF, kind] + data
    return ":" + "".join("%02X" % b for b in fields) + "%02X" % (-sum(fields) & 0xFF)
for word in range(256, 1024, 8):
    print(record(word * 2, 0, sum([[(word + j) & 0xFF, 0x10 + (word + j) // 256] for j in range(8)], [])))
print(record(0, 4, [0x00, 0x01]))
for address in range(0, 256, 8):
    print(record(0xE000 + address * 2, 0, sum([[(address + j) ^ 0x5A, 0] for j in range(8)], [])))
print(":00000001FF")
PY
"$krv" pack "$work/firmware.hex" "$work/program/RQ70-TEST.KRV" 2>/dev/null
"$krv" dump --json "$work/program/RQ70-TEST.KRV" >"$work/images.json"
cp "$updater" "$work/program/rq70-updater"

# device NAME COMn [options]: a simulated device on COMn; its pid in $device_pid
device() {
    local name=$1 port=$2
    shift 2
    "$devsim" --port-dir "$work/ports" --port "$port" --dump "$work/$name.json" "$@" >"$work/$name.pty" \
        2>"$work/$name.err" &
    device_pid=$!
    pids+=("$device_pid")
    for _ in $(seq 200); do [[ -s "$work/$name.pty" ]] && return 0; sleep 0.05; done
    fail "the simulator on $port did not start"
}

# start NAME [updater arguments]: the updater with the driver, its command FIFO and answers
# under NAME; waits for the driver to say it is ready
start() {
    local name=$1
    shift
    mkfifo "$work/$name.in"
    export RQ70_WINDRIVER_IN="$work/$name.in" RQ70_WINDRIVER_OUT="$work/$name.out"
    # An updater built with AddressSanitizer wants its runtime first among the loaded libraries.
    local preload=$driver asan
    asan=$(ldd "$updater" 2>/dev/null | awk '/libasan/ { print $3; exit }')
    [[ -n "$asan" ]] && preload="$asan:$driver"
    (cd "$work" && LD_PRELOAD="$preload" exec "$work/program/rq70-updater" "$@") >"$work/$name.log" 2>&1 &
    export RQ70_WINDRIVER_PID=$!
    pids+=("$RQ70_WINDRIVER_PID")
    for _ in $(seq 200); do
        grep -q '"event":"ready"' "$work/$name.out" 2>/dev/null && return 0
        kill -0 "$RQ70_WINDRIVER_PID" 2>/dev/null || fail "the updater ended at start: $(cat "$work/$name.log")"
        sleep 0.05
    done
    fail "the driver never said it was ready"
}

# step COMMAND...: one driver command that must answer "ok":true; the answer in $answer
step() { answer=$(drive "$@") || fail "drive $*: $answer"; }
# field KEY: a field of $answer (a.b.0 for nested ones), as text
field() {
    python3 -c '
import json, sys
value = json.loads(sys.argv[1])
for key in sys.argv[2].split("."):
    value = value[int(key)] if isinstance(value, list) else value[key]
print(value if isinstance(value, str) else json.dumps(value))' "$answer" "$1"
}
expect() { # expect KEY VALUE
    local got
    got=$(field "$1")
    [[ "$got" == "$2" ]] || fail "$1 is '$got', expected '$2' in $answer"
}
# search_then_ok PORT: "Auto Detect..." finds the device on PORT, its window is closed, and OK
# starts the update
search_then_ok() {
    step click AutoDetectCmd
    step wait text AutoDetectForm.Label1 is "Successfully connected to $1" 10000
    step click OKCmd
    step click OK
}
# ended PID: the process ends within ten seconds, with exit status 0
ended() {
    for _ in $(seq 200); do kill -0 "$1" 2>/dev/null || break; sleep 0.05; done
    kill -0 "$1" 2>/dev/null && fail "the updater did not end"
    wait "$1" || fail "the updater ended with status $?"
}
# holds_images DUMP: the device's memory is what the update file holds, the words below 256
# untouched, and the device got the closing command
holds_images() {
    python3 - "$work/images.json" "$1" <<'PY'
import json, sys
images, device = (json.load(open(path)) for path in sys.argv[1:])
expected = {a: (low | high << 8) & 0x3FFF for a, low, high in images["program"] if a >= 256}
expected = {a: w for a, w in expected.items() if w != 0x3FFF}
found = {a: low | high << 8 for a, low, high in device["program"]}
if found != expected:
    wrong = sorted(set(found.items()) ^ set(expected.items()))[:3]
    sys.exit("FAIL: program memory differs from the images, first at (word, value): %s" % wrong)
if device["eeprom"] != images["eeprom"]:
    sys.exit("FAIL: EEPROM differs from the images")
if device["finish_seen"] is not True:
    sys.exit("FAIL: the device never got the closing command")
PY
}

# stopped_in_program PID NAME WHAT: ends the simulator NAME (process PID); its run went no further
# than the program phase after WHAT
stopped_in_program() {
    kill "$1"
    wait "$1" || true
    python3 - "$work/$2.json" "$3" <<'PY'
import json, sys
device = json.load(open(sys.argv[1]))
if device["commands"].get("eeprom") or device["finish_seen"]:
    sys.exit("FAIL: the run went on after %s: %s" % (sys.argv[2], device["commands"]))
PY
}

echo "1. list, pick, typing, search, update, result"
device silent COM1 --silent
silent=$device_pid
device first COM2 --exit-after-finish
first=$device_pid
device third COM4 --id 'RQ-70 Boot 2.0'
third=$device_pid
start one
step windows
expect windows.0.name MainForm
expect windows.0.title Updater
step items Combo1
expect items "$(python3 -c 'import json,sys; p=sys.argv[1]
print(json.dumps([{"text":n,"tooltip":p+"/"+n} for n in ("COM1","COM2","COM4")]))' "$work/ports")"
step enabled OK
expect enabled false
# A pick in the list is what enables OK; typing a listed port's name picks it.
step select Combo1 COM4
step wait enabled OK 2000
step type Combo1 com1
step wait text Combo1 is COM1 2000
expect index 0

# A second updater is refused: the driver in it answers for its message box.
(
    start second
    step wait modal 5000
    expect modal.title Updater-Error
    expect modal.text "Updater allready running!"
    expect modal.icon warning
    expect modal.buttons '["OK"]'
    step answer OK
    ended "$RQ70_WINDRIVER_PID"
) || exit 1
echo "   a second updater was refused"

step click AutoDetectCmd
step wait window AutoDetectForm 2000
step wait text AutoDetectForm.Label1 is "Successfully connected to COM2" 10000
step text AutoDetectForm.Label2
expect text "Detected RQ-70 Boot 1.0"
step wait tooltip Combo1 is "COM2: connected to RQ-70" 5000
step text Combo1
expect text COM2
step click OKCmd
step wait gone AutoDetectForm 2000
step click OK
step wait text UpdatingCompleteForm.Label1 is "The update was successful." 60000
# The identification comes after the verdict: the run reads it with the result window shown.
step wait text UpdatingCompleteForm.Label2 is "RQ-70 Boot 1.0" 10000
step screenshot UpdatingCompleteForm "$work/result.png"
step click UpdatingCompleteForm.OKCmd
ended "$RQ70_WINDRIVER_PID"
wait "$first" || fail "the device on COM2 did not end after the closing command"
holds_images "$work/first.json"
kill "$third" "$silent"
wait "$third" "$silent" || true
python3 - "$work/third.json" "$work/silent.json" <<'PY'
import json, sys
third, silent = (json.load(open(path)) for path in sys.argv[1:])
if any(third["commands"].values()) or third["program"]:
    sys.exit("FAIL: the device on COM4 was talked to: %s" % third["commands"])
if silent["commands"].get("probe") != 2:
    sys.exit("FAIL: the silent COM1 was not probed twice: %s" % silent["commands"])
PY
echo "   COM2 holds the images, COM4 got no byte"

echo "2. device pulled mid-update, monitor, plugged back, OK again"
rm -f "$work/ports"/COM*
device pulled COM1 --vanish-after write:20 --exit-after-finish
pulled=$device_pid
start two "$work/program/RQ70-TEST.KRV"
search_then_ok COM1
step wait text UpdatingCompleteForm.Label1 is "The update was not successful." 60000
step text UpdatingCompleteForm.Label2
expect text ""
# After a failed run the monitor is on; the device is gone, then back.
step wait tooltip Combo1 like ': not connected to RQ-70$' 5000
kill -USR2 "$pulled"
step wait tooltip Combo1 is "COM1: connected to RQ-70" 5000
echo "   the monitor saw the device back after $(field waited_ms) ms"
step click OK
step wait text UpdatingCompleteForm.Label1 is "The update was successful." 60000
step close UpdatingCompleteForm
ended "$RQ70_WINDRIVER_PID"
wait "$pulled" || fail "the pulled device did not end after the closing command"
holds_images "$work/pulled.json"
echo "   the device holds the images after the second run"
echo "3. the main window closed during an update"
rm -f "$work/ports"/COM*
device closed COM1 --delay 2
closed=$device_pid
start three "$work/program/RQ70-TEST.KRV"
search_then_ok COM1
step wait value UpdatingBar atleast 300 30000
step close MainForm
ended "$RQ70_WINDRIVER_PID"
stopped_in_program "$closed" closed "the main window was closed"
echo "   the updater ended and the run stopped in the program phase"
echo "4. SIGTERM during an update"
rm -f "$work/ports"/COM*
device termed COM1 --delay 2
termed=$device_pid
# The pty stands in for a built-in UART whose receive trigger is 8 bytes.
trigger=$work/sys/class/tty/$(basename "$(head -n1 "$work/termed.pty")")/rx_trig_bytes
mkdir -p "$(dirname "$trigger")" "$work/notes"
echo 8 >"$trigger"
RQ70_SYSFS_ROOT=$work/sys RQ70_PORT_NOTE_DIR=$work/notes start four "$work/program/RQ70-TEST.KRV"
search_then_ok COM1
step wait value UpdatingBar atleast 300 30000
[[ $(cat "$trigger") == 1 && -n $(ls "$work/notes") ]] || fail "the trigger was not lowered and noted"
kill -TERM "$RQ70_WINDRIVER_PID"
ended "$RQ70_WINDRIVER_PID"
[[ $(cat "$trigger") == 8 ]] || fail "the trigger is $(cat "$trigger") after SIGTERM, not 8"
[[ -z $(ls "$work/notes") ]] || fail "a note was left behind: $(ls "$work/notes")"
stopped_in_program "$termed" termed SIGTERM
echo "   the updater ended, the run stopped in the program phase, the trigger is 8 again"
echo "windows_check: ok"
