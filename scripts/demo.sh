#!/usr/bin/env bash
# Builds the program and the simulated modem, starts the modem on a pty in a
# scratch working directory, and runs the program against it. The modem's port
# is listed first; a setup file for it (Sy/Max COM: on port 0, 9600 8E1,
# route 201) is written when the directory has none. The modem is stopped when
# the program ends.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cmake -S "$root" -B "$root/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$root/build" -j "$(nproc 2>/dev/null || echo 2)" --target zl27t zl27t-sim >/dev/null
work="${ZL27T_DEMO_DIR:-$root/build/demo}"
mkdir -p "$work"
work="$(cd "$work" && pwd)"
cd "$work"

pty="$work/modem.pty"
ready="$work/.modem.ready"
rm -f "$ready"
"$root/build/zl27t-sim" --pty "$pty" >"$ready" 2>"$work/modem.log" &
sim=$!
stop_sim() {
  if kill -0 "$sim" 2>/dev/null; then
    kill -TERM "$sim" 2>/dev/null || true
    wait "$sim" 2>/dev/null || true
  fi
  rm -f "$ready"
}
trap stop_sim EXIT
trap 'exit 130' INT TERM HUP

# The modem prints "ready PATH" once it listens.
for _ in $(seq 100); do
  grep -q '^ready ' "$ready" 2>/dev/null && break
  kill -0 "$sim" 2>/dev/null || { echo "demo: the simulated modem did not start (see $work/modem.log)" >&2; exit 1; }
  sleep 0.05
done
grep -q '^ready ' "$ready" || { echo "demo: the simulated modem is not ready" >&2; exit 1; }

export ZL27T_PORTS="$pty${ZL27T_PORTS:+:$ZL27T_PORTS}"

if [ ! -e ZL27TSW.STP ]; then
  # The 150-byte setup record, little-endian: Sy/Max COM: on port 0, 9600
  # baud, 8 data bits, 1 stop bit, even parity, BCC, route 201, time-out 500,
  # TCP port 504, "EDIT.COM" in the reserved text.
  python3 - <<'EOF'
import struct
record = struct.pack('<9H8H2H5H42s6H2H42sH',
    1, 0, 0, 13, 1, 0, 1, 0, 1,        # kind, port, reserved, baud, data, stop, parity, check, route count
    201, 0, 0, 0, 0, 0, 0, 0,          # route
    0, 0,                              # reserved
    0, 13, 1, 0, 0,                    # terminal: port, baud, data, stop, parity
    b'EDIT.COM',                       # reserved text
    0, 1, 20, 1, 1, 0,                 # viewer: priority, status, size, start, identify; trap errors
    500, 504,                          # time-out, TCP port
    b'',                               # host
    0)                                 # viewer register set
assert len(record) == 150
with open('ZL27TSW.STP.tmp', 'wb') as f:
    f.write(record)
EOF
  mv ZL27TSW.STP.tmp ZL27TSW.STP
fi

status=0
"$root/build/zl27t" "$@" || status=$?
exit "$status"
