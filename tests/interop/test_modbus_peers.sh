#!/usr/bin/env bash
# The program's Modbus master (its register interface, through zl27t_probe)
# against pymodbus servers: TCP on loopback, RTU and ASCII over a socat pty
# pair (8N1: ptys carry no parity). Holding registers are written and read
# back, input registers read, and refusals show the program's exception texts.
set -euo pipefail

build="${1:?usage: test_modbus_peers.sh BUILD_DIR}"
probe="$build/zl27t_probe"
here="$(cd "$(dirname "$0")" && pwd)"
py=/usr/bin/python3
. "$here/lib.sh"

# start_server NAME ARGS... : starts it and waits for its ready line (READY).
start_server() { local name="$1"; shift; start_ready "$name" 20 "$py" "$here/pymodbus_server.py" "$@"; }

# pty_pair NAME : two linked ptys at $work/NAME.a and $work/NAME.b
pty_pair() {
    socat pty,raw,echo=0,link="$work/$1.a" pty,raw,echo=0,link="$work/$1.b" 2>"$work/$1.socat" &
    pids+=("$!")
    for _ in $(seq 100); do
        [ -e "$work/$1.a" ] && [ -e "$work/$1.b" ] && return 0
        sleep 0.05
    done
    fail "socat made no pty pair: $(cat "$work/$1.socat")"
}

# check KIND WHERE READ_REFUSED WRITE_REFUSED : one run of the probe against
# a server with unit 7, input register 5 = 77 and 1000 registers.
check() {
    local kind="$1" where="$2" refused="$3" write_refused="$4"
    local got
    got="$("$probe" "$kind" "$where" --drop 7 --timeout 300 \
        w 10 1,65535 r 10 2 i 5 2 r 1000 1 r 1001 1 w 1000 1,2 r 998 3)" || fail "$kind: probe: $got"
    expect_eq "$kind" "$got" "w 10: ok
r 10: 1 65535
i 5: 77 0
r 1000: 0
r 1001: fail $refused
w 1000: fail $write_refused
r 998: 0 0 0"
}

start_server tcp --tcp --unit 7 --registers 1000 --input 5=77
check tcp "127.0.0.1:${READY[1]}" "ILLEGAL DATA ADDRESS" "ILLEGAL DATA ADDRESS"

pty_pair rtu
start_server rtu --rtu "$work/rtu.a" --unit 7 --registers 1000 --input 5=77
# A refused write is told by its exception, as a refused read is.
check rtu "$work/rtu.b" "Modbus error reply 2 ILLEGAL DATA ADDRESS" "Modbus error reply 2 ILLEGAL DATA ADDRESS"

pty_pair ascii
start_server ascii --ascii "$work/ascii.a" --unit 7 --registers 1000 --input 5=77
check ascii "$work/ascii.b" "Modbus error reply 2 ILLEGAL DATA ADDRESS" "Modbus error reply 2 ILLEGAL DATA ADDRESS"

echo "ok"
