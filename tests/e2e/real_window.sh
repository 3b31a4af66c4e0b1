#!/usr/bin/env bash
# The updater as a technician sees it, in real windows under Xvfb: start-up beside an update
# file, the About window on the right button, a second copy refused, "Auto Detect...", OK,
# the progress bar in both colours, and the result window ending the program. The simulated
# device's memory is checked at the end. Screenshots land in SCREENSHOT_DIR.
#   real_window.sh UPDATER DEVSIM KRV SCREENSHOT_DIR
set -euo pipefail
updater=$1 devsim=$2 krv=$3 shots=$4

work=$(mktemp -d)
simulator=
cleanup() {
    [[ -n "$simulator" ]] && kill "$simulator" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$work/program" "$work/ports" "$work/runtime" "$shots"
chmod 700 "$work/runtime"
cp "$updater" "$work/program/"

# Program words 0..4095 (0x3000 + the word's low byte), packed as a firmware engineer would.
# Each record ends in its checksum, so krv finds nothing to warn about.
for ((word = 0; word < 4096; word += 8)); do
    line=$(printf '10%04X00' $((word * 2)))
    sum=$((0x10 + (word * 2 >> 8) + (word * 2 & 0xFF)))
    for ((j = 0; j < 8; ++j)); do
        line+=$(printf '%02X30' $(((word + j) & 0xFF)))
        sum=$((sum + ((word + j) & 0xFF) + 0x30))
    done
    printf ':%s%02X\n' "$line" $(((0x100 - (sum & 0xFF)) & 0xFF))
done >"$work/firmware.hex"
echo ":00000001FF" >>"$work/firmware.hex"
"$krv" pack "$work/firmware.hex" "$work/program/RQ70-TEST.KRV" 2>/dev/null

# Replies held 3 ms each keep the run on screen long enough to see both bar colours.
"$devsim" --port-dir "$work/ports" --port COM1 --delay 3 --exit-after-finish --dump "$work/device.json" \
    --log "$work/bytes.log" >"$work/pty" &
simulator=$!
for _ in $(seq 100); do [[ -s "$work/pty" ]] && break; sleep 0.05; done

export RQ70_PORT_DIR="$work/ports" XDG_RUNTIME_DIR="$work/runtime" WORK="$work" SHOTS="$shots"
export RQ70_UPDATE_RECORD="$work/updates.jsonl"
unset QT_QPA_PLATFORM  # real windows on the X server, whatever the test run asked for
xvfb-run -a -s '-screen 0 1024x768x24' bash -euo pipefail -c '
fail() { echo "FAIL: $*" >&2; exit 1; }
# Nothing of ours may outlive the check: a program left running would hold the test output open.
trap "kill \$(jobs -p) 2>/dev/null || true" EXIT
window() {  # window NAME [TRIES]: the id of the visible window whose title is exactly NAME
    for _ in $(seq "${2:-100}"); do
        id=$(xdotool search --onlyvisible --name "^$1\$" 2>/dev/null | head -n1) && [[ -n "$id" ]] && { echo "$id"; return 0; }
        sleep 0.1
    done
    return 1
}
gone() { for _ in $(seq 100); do xdotool search --onlyvisible --name "^$1\$" >/dev/null 2>&1 || return 0; sleep 0.1; done; return 1; }
# The bar colour at the middle left of the progress bar: chunk pixels once the run is under way.
bar_colour() { import -window "$1" "$2" 2>/dev/null && convert "$2" -crop 1x1+12+61 -depth 8 txt:- | grep -o "#[0-9A-F]\{6\}"; }

"$WORK/program/rq70-updater" >"$WORK/updater.log" 2>&1 & updater=$!
main=$(window Updater) || fail "the main window did not appear"
sleep 0.3
import -window "$main" "$SHOTS/main.png"

xdotool mousemove --window "$main" 300 40 click 3
about=$(window "About Updater") || fail "the right button opened no About window"
sleep 0.2
import -window "$about" "$SHOTS/about.png"
xdotool windowfocus --sync "$about" key Escape
gone "About Updater" || fail "Esc did not close the About window"

"$WORK/program/rq70-updater" >/dev/null 2>&1 & second=$!
refusal=$(window Updater-Error) || fail "a second updater was not refused"
sleep 0.2
import -window "$refusal" "$SHOTS/second-instance.png"
xdotool windowfocus --sync "$refusal" key Return
wait "$second" || fail "the refused updater did not end cleanly"
kill -0 "$updater" || fail "the first updater ended too"

# "Auto Detect..." finds the device on COM1. Once a monitor probe follows the identification
# reads, the search is over and its window shows OK, which takes Enter.
xdotool mousemove --window "$main" 191 55 click 1
search=$(window "Auto Detect Port") || fail "no search window"
for _ in $(seq 100); do
    first=$(grep -n " in a2" "$WORK/bytes.log" | head -n1 | cut -d: -f1)
    [[ -n "$first" ]] && tail -n +"$first" "$WORK/bytes.log" | grep -q " in f0" && break
    sleep 0.1
done
import -window "$search" "$SHOTS/search.png"
xdotool windowfocus --sync "$search" key Return
gone "Auto Detect Port" || fail "the search window did not close"
xdotool mousemove --window "$main" 303 23 click 1
progress=$(window "Updating Software In...") || fail "no progress window"
colours=""
for i in $(seq 200); do
    xdotool search --onlyvisible --name "^Updating Complete\$" >/dev/null 2>&1 && break
    [[ -e "$SHOTS/progress-erasing.png" && -e "$SHOTS/progress-writing.png" ]] && break
    c=$(bar_colour "$progress" "$WORK/bar.png" || true)
    case "$c" in
        "#FFFF00") [[ -e "$SHOTS/progress-erasing.png" ]] || cp "$WORK/bar.png" "$SHOTS/progress-erasing.png" ;;
        "#6495ED") [[ -e "$SHOTS/progress-writing.png" ]] || cp "$WORK/bar.png" "$SHOTS/progress-writing.png" ;;
    esac
    colours="$colours $c"
done
complete=$(window "Updating Complete" 600) || fail "no result window"
sleep 0.3
import -window "$complete" "$SHOTS/complete.png"
[[ -e "$SHOTS/progress-erasing.png" ]] || fail "the bar was never yellow while erasing (saw:$colours)"
[[ -e "$SHOTS/progress-writing.png" ]] || fail "the bar was never cornflower blue while writing (saw:$colours)"

xdotool windowfocus --sync "$complete" key Return  # its OK has the focus
for _ in $(seq 100); do kill -0 "$updater" 2>/dev/null || break; sleep 0.1; done
kill -0 "$updater" 2>/dev/null && fail "closing the result window did not end the updater"
wait "$updater" || fail "the updater did not end cleanly"
echo "windows: ok"
'
wait "$simulator"; simulator=
# The device's memory afterwards, read as JSON rather than matched as text.
python3 - "$work/device.json" <<'PY' || exit 1
import json, sys
dump = json.load(open(sys.argv[1]))
if dump["finish_seen"] is not True:
    sys.exit("FAIL: the device never got the closing command")
if [4095, 255, 48] not in dump["program"]:
    sys.exit("FAIL: the device does not hold the last word")
PY
# The run is in the update record, with the device's identification.
grep -q '"verdict":"success"' "$work/updates.jsonl" && grep -q '"identification":"RQ-70 Boot 1.0"' "$work/updates.jsonl" ||
    { echo "FAIL: the update record lacks the run" >&2; exit 1; }
echo "1 passed, 0 failed"
