#!/usr/bin/env bash
# Runs a command in an X display of its own: a private Xvfb started for it and
# ended with it, and a cookie that only this command holds. Test programs that
# open windows, take the keyboard focus or drive the pointer with xdotool cannot
# disturb each other when CTest runs them side by side.
#   tests/with-own-display.sh <command> [arguments...]
# Exits with the command's status; 125 when no display could be started.
set -uo pipefail

if [ $# -eq 0 ]; then
    echo "usage: $0 <command> [arguments...]" >&2
    exit 2
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/nubo-display.XXXXXX") || exit 125
xvfb_pid=""
display=""
command_pid=""

stop_server() {
    [ -n "$xvfb_pid" ] || return 0
    kill -TERM "$xvfb_pid" 2>/dev/null
    # Xvfb removes its lock file and socket when it ends on SIGTERM; one that
    # does not end in time is killed, and what it leaves is removed here.
    for _ in $(seq 100); do
        kill -0 "$xvfb_pid" 2>/dev/null || break
        sleep 0.05
    done
    if kill -0 "$xvfb_pid" 2>/dev/null; then
        kill -KILL "$xvfb_pid" 2>/dev/null
        wait "$xvfb_pid" 2>/dev/null
        if [ -n "$display" ]; then
            rm -f "/tmp/.X$display-lock" "/tmp/.X11-unix/X$display"
        fi
    fi
    wait "$xvfb_pid" 2>/dev/null
    xvfb_pid=""
}

cleanup() {
    stop_server
    rm -rf "$work"
}
trap cleanup EXIT

# A signal ends the command first (CTest's Ctrl-C, a kill by hand), then the server.
on_signal() {
    local signal=$1 number=$2
    trap - "$signal"
    if [ -n "$command_pid" ]; then
        kill "-$signal" "$command_pid" 2>/dev/null
        wait "$command_pid" 2>/dev/null
    fi
    exit $((128 + number))
}
trap 'on_signal HUP 1' HUP
trap 'on_signal INT 2' INT
trap 'on_signal TERM 15' TERM

# The server reads every cookie of its authority file whatever display it names;
# the client's entry, written once the number is known, names the real one.
cookie=$(od -An -N16 -tx1 /dev/urandom | tr -d ' \n')
export XAUTHORITY="$work/authority"
if ! xauth -q -f "$XAUTHORITY" add :0 . "$cookie" 2>"$work/xauth.log"; then
    echo "with-own-display: xauth failed: $(cat "$work/xauth.log")" >&2
    exit 125
fi

# Xvfb picks a free display number and writes it to the pipe once it accepts clients.
# It is told to end when this script ends, even by a SIGKILL that no trap sees (a
# time-out in CTest).
mkfifo "$work/ready"
on_parent_death=()
command -v setpriv >/dev/null && on_parent_death=(setpriv --pdeathsig TERM)
"${on_parent_death[@]}" Xvfb -displayfd 3 -screen 0 1280x1024x24 -noreset -nolisten tcp -auth "$XAUTHORITY" \
    3>"$work/ready" >"$work/xvfb.log" 2>&1 </dev/null &
xvfb_pid=$!
read -r -t 30 display <"$work/ready"
if ! [[ "$display" =~ ^[0-9]+$ ]]; then
    display=""
    echo "with-own-display: Xvfb did not start: $(cat "$work/xvfb.log")" >&2
    exit 125
fi
if ! xauth -q -f "$XAUTHORITY" add ":$display" . "$cookie" 2>"$work/xauth.log"; then
    echo "with-own-display: xauth failed: $(cat "$work/xauth.log")" >&2
    exit 125
fi
export DISPLAY=":$display"
# Tells a script that checks (tests/e2e/common.bash) that this display is its own.
export NUBO_OWN_DISPLAY="$DISPLAY"

# In the background so that a signal reaches the trap at once; standard input is
# passed on (a background command would otherwise read from /dev/null), and so are
# SIGINT and SIGQUIT, which bash has a background command ignore.
( trap - INT QUIT; exec "$@" ) <&0 &
command_pid=$!
wait "$command_pid"
status=$?
command_pid=""
exit $status
