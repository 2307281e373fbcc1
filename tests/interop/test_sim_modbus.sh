#!/usr/bin/env bash
# Outside Modbus masters (mbpoll, pymodbus) against zl27t-sim over TCP, RTU and
# ASCII: what one of them writes the others must read back, identification and
# presets must read as given, and refusals must come back as Modbus exceptions.
set -euo pipefail

build="${1:?usage: test_sim_modbus.sh BUILD_DIR}"
sim="$build/zl27t-sim"
py=/usr/bin/python3
here="$(cd "$(dirname "$0")" && pwd)"
. "$here/lib.sh"

# start_sim NAME ARGS... : starts it and waits for its ready line (READY).
start_sim() { local name="$1"; shift; start_ready "$name" 10 "$sim" "$@"; }

# mb ARGS... : one mbpoll poll; prints "register value" pairs.
mb() {
    mbpoll -1 -o 1 "$@" | sed -n 's/^\[\([0-9]*\)\]:[[:space:]]*\([^ ]*\).*/\1 \2/p'
}

# --- one simulator: RTU on a pty (slave 7) and TCP at the same time ---------
start_sim main --pty "$work/rtu" --rtu --slave 7 --tcp 0 \
    --set 1000=4660 --set 1001=-2 --exception 2@5000-5009 --exception 4@6000
rtu="${READY[1]}"
port="${READY[2]}"
[ -L "$rtu" ] || fail "pty link $rtu missing"

# Identification block over TCP: name "ZL27T" blank padded, signature.
got="$(mb -m tcp -p "$port" -a 7 -t 4:hex -r 8177 -c 3 127.0.0.1 | tr '\n' ' ')"
expect_eq "tcp name" "$got" "8177 0x5A4C 8178 0x3237 8179 0x5420 "
got="$(mb -m tcp -p "$port" -a 7 -t 4:hex -r 8188 127.0.0.1)"
expect_eq "tcp signature" "$got" "8188 0x9990"

# Presets, as holding and as input registers, over RTU.
rtu_args=(-m rtu -b 9600 -P none -a 7)
got="$(mb "${rtu_args[@]}" -r 1000 -c 2 "$rtu" | tr '\n' ' ')"
expect_eq "rtu presets" "$got" "1000 4660 1001 65534 "
got="$(mb "${rtu_args[@]}" -t 3 -r 1000 -c 2 "$rtu" | tr '\n' ' ')"
expect_eq "rtu input registers" "$got" "1000 4660 1001 65534 "

# Written over RTU (function 16 and 6), read back over TCP by pymodbus.
mbpoll -1 -o 1 "${rtu_args[@]}" -r 300 "$rtu" -- 123 65535 7 >/dev/null || fail "rtu write multiple"
mbpoll -1 -o 1 "${rtu_args[@]}" -r 310 "$rtu" 4242 >/dev/null || fail "rtu write single"
got="$("$py" - "$port" <<'PY'
import sys
from pymodbus.client import ModbusTcpClient
c = ModbusTcpClient('127.0.0.1', port=int(sys.argv[1]), timeout=2)
assert c.connect()
r = c.read_holding_registers(299, 3, slave=7)
s = c.read_holding_registers(309, 1, slave=7)
print(*r.registers, *s.registers)
w = c.write_registers(400, [1, 2, 3], slave=7)
assert not w.isError(), w
PY
)"
expect_eq "tcp reads rtu writes" "$got" "123 65535 7 4242"
got="$(mb "${rtu_args[@]}" -r 401 -c 3 "$rtu" | tr '\n' ' ')"
expect_eq "rtu reads tcp writes" "$got" "401 1 402 2 403 3 "

# pymodbus over RTU too: a write and the presets read back.
got="$("$py" - "$rtu" <<'PY'
import sys
from pymodbus.client import ModbusSerialClient
from pymodbus.transaction import ModbusRtuFramer
c = ModbusSerialClient(port=sys.argv[1], framer=ModbusRtuFramer, baudrate=9600, timeout=1)
assert c.connect()
assert not c.write_registers(499, [7, 65535], slave=7).isError()
r = c.read_holding_registers(999, 2, slave=7)
w = c.read_holding_registers(499, 2, slave=7)
print(*r.registers, *w.registers)
PY
)"
expect_eq "pymodbus rtu" "$got" "4660 65534 7 65535"

# Refusals: injected exceptions, a count over 125, registers past the end.
out="$(mbpoll -1 -o 1 -m tcp -p "$port" -a 7 -r 5005 127.0.0.1 2>&1)" && fail "injected exception 2 read as success"
grep -q "Illegal data address" <<<"$out" || fail "exception 2: $out"
out="$(mbpoll -1 -o 1 "${rtu_args[@]}" -r 6000 "$rtu" 2>&1)" && fail "injected exception 4 read as success"
grep -qi "failure\|slave device" <<<"$out" || fail "exception 4: $out"
got="$("$py" - "$port" <<'PY'
import sys
from pymodbus.client import ModbusTcpClient
c = ModbusTcpClient('127.0.0.1', port=int(sys.argv[1]), timeout=2)
assert c.connect()
print(c.read_holding_registers(0, 126, slave=7).exception_code,
      c.read_holding_registers(65535, 2, slave=7).exception_code)
PY
)"
expect_eq "tcp count and range exceptions" "$got" "3 2"

# Another slave address on the same line gets no answer.
mbpoll -1 -o 0.3 -m rtu -b 9600 -P none -a 8 -r 1 "$rtu" >/dev/null 2>&1 && fail "slave 8 answered"

# --- Modbus ASCII on its own pty --------------------------------------------
start_sim ascii --pty "$work/ascii" --ascii --set 20=513
got="$("$py" - "${READY[1]}" <<'PY'
import sys
from pymodbus.client import ModbusSerialClient
from pymodbus.transaction import ModbusAsciiFramer
c = ModbusSerialClient(port=sys.argv[1], framer=ModbusAsciiFramer, baudrate=9600, timeout=1)
assert c.connect()
assert not c.write_registers(99, [0x1234, 0xFFFF], slave=3).isError()
r = c.read_holding_registers(99, 2, slave=3)
i = c.read_input_registers(19, 1, slave=3)
n = c.read_holding_registers(8187, 1, slave=3)
print(*r.registers, *i.registers, hex(n.registers[0]))
PY
)"
expect_eq "ascii write and read" "$got" "4660 65535 513 0x9990"

# The pty links go away with the simulators.
for p in "${pids[@]}"; do kill "$p"; wait "$p" || true; done
pids=()
[ ! -e "$rtu" ] || fail "pty link $rtu left behind"
echo "ok"
