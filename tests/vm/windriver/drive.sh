#!/usr/bin/env bash
# One command to the window driver inside a running rq70-updater, its JSON answer on stdout.
#   drive.sh [-t SECONDS] COMMAND [ARGUMENT...]      e.g. drive.sh click AutoDetectCmd
# RQ70_WINDRIVER_IN names the driver's command FIFO and RQ70_WINDRIVER_OUT its answer file, as
# they were given to the program; RQ70_WINDRIVER_PID, if set, is the program's process id, so a
# program that has ended is reported at once instead of after the time limit.
# Exit status: 0 when the answer says "ok":true, 1 when it says false, 2 when no answer came in
# time (the program ended, or hangs). The time limit is SECONDS (default 10); for `wait ... MS` it
# is MS plus 10 s, so the driver's own timeout always answers first.
# Source this file instead (`. drive.sh`) to get the same as a shell function, `drive`.
drive() {
    local limit=10 given='' fifo=${RQ70_WINDRIVER_IN:?RQ70_WINDRIVER_IN names the driver FIFO}
    local out=${RQ70_WINDRIVER_OUT:-$fifo.out} pid=${RQ70_WINDRIVER_PID:-}
    if [[ "${1:-}" == -t ]]; then
        limit=$2 given=1
        shift 2
    fi
    (($# > 0)) || {
        echo '{"ok":false,"error":"no command"}'
        return 2
    }
    if [[ -z "$given" && "$1" == wait && "${*: -1}" =~ ^[0-9]+$ ]]; then
        limit=$((${*: -1} / 1000 + 10))
    fi
    [[ -p "$fifo" ]] || {
        echo "{\"ok\":false,\"error\":\"$fifo is no FIFO\"}"
        return 2
    }
    # Arguments with blanks travel in double quotes; the driver splits the line as a shell would.
    local id="$$-$RANDOM$RANDOM" line argument
    line="@$id"
    for argument in "$@"; do
        if [[ "$argument" == *'"'* ]]; then
            echo '{"ok":false,"error":"arguments cannot hold a double quote"}'
            return 2
        fi
        if [[ -z "$argument" || "$argument" =~ [[:space:]] ]]; then
            line+=" \"$argument\""
        else
            line+=" $argument"
        fi
    done
    local deadline=$((SECONDS + limit))
    # Opening the FIFO blocks until the program has opened it; a program that never does, or has
    # ended, must not hang the scenario.
    # shellcheck disable=SC2016 # expanded by the inner shell
    timeout "$limit" bash -c 'printf "%s\n" "$1" >"$2"' _ "$line" "$fifo" &
    local writer=$!
    while kill -0 "$writer" 2>/dev/null; do
        if [[ -n "$pid" ]] && ! kill -0 "$pid" 2>/dev/null; then
            kill "$writer" 2>/dev/null
            wait "$writer" 2>/dev/null
            echo '{"ok":false,"error":"the program has ended"}'
            return 2
        fi
        sleep 0.02
    done
    if ! wait "$writer"; then
        echo "{\"ok\":false,\"error\":\"the driver did not take the command within $limit s\"}"
        return 2
    fi
    local answer
    while :; do
        answer=$(grep -m1 -F "\"id\":\"$id\"" "$out" 2>/dev/null || true)
        if [[ -n "$answer" ]]; then
            echo "$answer"
            [[ "$answer" == *'"ok":true'* ]]
            return
        fi
        if [[ -n "$pid" ]] && ! kill -0 "$pid" 2>/dev/null; then
            echo '{"ok":false,"error":"the program has ended"}'
            return 2
        fi
        if ((SECONDS >= deadline)); then
            echo "{\"ok\":false,\"error\":\"no answer within $limit s\"}"
            return 2
        fi
        sleep 0.02
    done
}

# Run as a program, not sourced: one command.
if [[ "${BASH_SOURCE[0]}" == "$0" ]]; then
    drive "$@"
fi
