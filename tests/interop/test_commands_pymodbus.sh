#!/usr/bin/env bash
# The commands of the command line against a pymodbus server over Modbus TCP:
# a configuration fetched from registers set on the server, sent back to a
# server of blank registers, and read, each checked exactly.
set -euo pipefail

build="${1:?usage: test_commands_pymodbus.sh BUILD_DIR}"
zl27t="$(cd "$build" && pwd)/zl27t"
here="$(cd "$(dirname "$0")" && pwd)"
py=/usr/bin/python3
. "$here/lib.sh"

start_server() { local name="$1"; shift; start_ready "$name" 20 "$py" "$here/pymodbus_server.py" "$@"; }
run() { (cd "$work" && "$zl27t" -m tcp --host 127.0.0.1 -a 7 -o 3 "$@" </dev/null); }

# A configuration in the modem's registers: flags (1 and 2), port and line
# rate, dial string at 100, S0 answer rings and S7 carrier wait.
start_server full --tcp --unit 7 --registers 9000 \
    --set 2=0x0001 --set 3=13 --set 4=14 --set 5=100 --set 100=0x3132 --set 101=0x3300 \
    --set 8000=4 --set 8007=25 --set 8003=13 --set 8004=10 --set 8005=8
run -p "${READY[1]}" --fetch fetched.zle 2>"$work/fetch.err" || fail "fetch: $(cat "$work/fetch.err")"
[ "$(stat -c %s "$work/fetched.zle")" = 124 ] || fail "fetched file is not 124 bytes"
report="$("$zl27t" --print "$work/fetched.zle")"
for want in "Auto Answer            after 4 rings" "Wait for Carrier       25 seconds" \
            "Port Settings          9600  baud" "Line Settings          14400 baud"; do
    grep -qF "$want" <<<"$report" || fail "printout lacks [$want]: $report"
done
expect_eq "dial string" "$(od -An -tx1 -j10 -N4 "$work/fetched.zle" | tr -d ' \n')" "31323300"

# Sent to blank registers: the port rate changes, so only with --force.
start_server blank --tcp --unit 7 --registers 9000
blank="${READY[1]}"
if run -p "$blank" --send fetched.zle 2>"$work/send.err"; then fail "send without --force went through"; fi
expect_eq "refusal" "$(cat "$work/send.err")" \
    "zl27t: Setup change will result in loss of communications. Proceed? Not without --force."
run -p "$blank" --send fetched.zle --force 2>"$work/send.err" || fail "send: $(cat "$work/send.err")"
expect_eq "registers sent" "$(run -p "$blank" --read 3-5 --format csv)" "register,hex,unsigned,signed
3,0x000D,13,13
4,0x000E,14,14
5,0x0064,100,100"
expect_eq "dial string sent" "$(run -p "$blank" --read 100-101)" "100 0x3132 12594 12594
101 0x3300 13056 13056"
expect_eq "answer rings sent" "$(run -p "$blank" --read 8000)" "8000 0x0004 4 4"
# Input registers, and a refusal by the server with its exit status.
start_server input --tcp --unit 7 --registers 100 --input 5=77
expect_eq "input" "$(run -p "${READY[1]}" --read 5-6 --input)" "5 0x004D 77 77
6 0x0000 0 0"
set +e
out="$(run -p "${READY[1]}" --read 101 2>&1)"
status=$?
set -e
expect_eq "refused read status" "$status" 1
expect_eq "refused read" "$out" "zl27t: ILLEGAL DATA ADDRESS"
echo "ok"
