# Shared by the interop scripts: a scratch folder and the processes started
# into it, ended by PID on exit; failing with a message; and starting a peer
# that announces itself with a "ready ..." line.
work="$(mktemp -d)"
pids=()
cleanup() {
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
    for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
    rm -rf "$work"
}
trap cleanup EXIT

fail() { echo "FAIL: $*" >&2; exit 1; }

expect_eq() {  # what got want
    [ "$2" = "$3" ] || fail "$1: got [$2], want [$3]"
}

# start_ready NAME SECONDS COMMAND ARGS... : runs the command, waits up to
# SECONDS for its ready line and leaves the line's words in READY.
start_ready() {
    local name="$1" seconds="$2"; shift 2
    mkfifo "$work/$name.fifo"
    "$@" >"$work/$name.fifo" 2>"$work/$name.err" &
    pids+=("$!")
    exec {fd}<"$work/$name.fifo"
    local line=""
    read -r -t "$seconds" -u "$fd" line || fail "$name: no ready line ($(cat "$work/$name.err"))"
    READY=($line)
    [ "${READY[0]}" = ready ] || fail "$name: unexpected first line: $line"
}
