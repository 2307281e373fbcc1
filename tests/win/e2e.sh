#!/usr/bin/env bash
# End to end under wine: zl27t.exe against the simulator (built for Linux,
# running natively) on a pty that wine shows as COM5, and on its Modbus TCP
# port. The full-screen program runs in a tmux pane, its screen read back
# with capture-pane; the command line's fetch and send run beside it.
#   tests/win/e2e.sh BUILD_WINDOWS_DIR LINUX_BUILD_DIR
# Needs tmux and wine; the wine prefix is BUILD_WINDOWS_DIR/wineprefix.
set -euo pipefail
win=$(cd "$1" && pwd)
linux=$(cd "$2" && pwd)
exe=$win/zl27t.exe
sim=$linux/zl27t-sim
export WINEPREFIX=$win/wineprefix WINEDEBUG=-all
unset DISPLAY
work=$(mktemp -d /tmp/zl27t-win-e2e-XXXXXX)
sock=zl27t-win-$$
sim_pid=
failures=0

cleanup() {
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null || true
  tmux -L "$sock" kill-server 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
pass() { echo "ok: $*"; }

start_sim() {   # start_sim ARGS...: waits for its ready line
  stop_sim
  "$sim" "$@" >"$work/sim.log" 2>&1 &
  sim_pid=$!
  for _ in $(seq 100); do grep -q '^ready' "$work/sim.log" && return 0; sleep 0.05; done
  echo "the simulator did not start: $(cat "$work/sim.log")" >&2
  return 1
}
stop_sim() {
  if [ -n "$sim_pid" ]; then kill "$sim_pid" 2>/dev/null || true; wait "$sim_pid" 2>/dev/null || true; fi
  sim_pid=
}

screen() { tmux -L "$sock" capture-pane -p -t zl; }
# wait_text TEXT [SECONDS]: until the pane shows TEXT
wait_text() {
  local deadline=$((SECONDS + ${2:-15}))
  while [ $SECONDS -lt $deadline ]; do
    screen | grep -qF -- "$1" && return 0
    sleep 0.2
  done
  echo "--- screen while waiting for \"$1\":" >&2
  screen >&2
  return 1
}
# Keys one send-keys call each: wine's console reads an Esc alone only so.
key() { for k in "$@"; do tmux -L "$sock" send-keys -t zl "$k"; sleep 0.3; done; }
start_program() {   # in $work, 80 x 25, no status line
  tmux -L "$sock" -f /dev/null new-session -d -s zl -x 80 -y 25 \
    "cd '$work' && wine '$exe'; echo \"EXIT=\$?\"; sleep 60" \; set status off
}

# COM5 is the simulator's pty: wine lists it under SERIALCOMM once its
# server starts again.
wine reg add 'HKLM\Software\Wine\Ports' /v COM5 /t REG_SZ /d "$work/modem" /f >/dev/null 2>&1
wineserver -k 2>/dev/null || true
# One server for all the runs (each would otherwise wait for its linger);
# a port that goes away makes it talk a lot, into its log.
(wineserver -p60 2>>"$win/wineserver.log" &)

cd "$work"

# --- the command line: fetch and send over each link kind ---
tcp_port=$((20000 + $$ % 20000))
start_sim --tcp "$tcp_port"
if wine "$exe" --fetch TCP.ZLE -m tcp --host 127.0.0.1 -p "$tcp_port" && [ "$(stat -c %s TCP.ZLE)" = 124 ]; then
  pass "Modbus TCP fetch"
else
  fail "Modbus TCP fetch"
fi
wine "$exe" --send TCP.ZLE -m tcp --host localhost -p "$tcp_port" && pass "Modbus TCP send (host looked up)" || fail "Modbus TCP send"
[ "$(wine "$exe" --identify -m tcp --host 127.0.0.1 -p "$tcp_port" | tr -d '\r')" = ZL27T ] && pass "Modbus TCP identify" || fail "Modbus TCP identify"
for proto in symax rtu; do
  start_sim --pty "$work/modem" --proto "$proto"
  rm -f COM.ZLE
  if wine "$exe" --fetch COM.ZLE -m "$proto" --device COM5 -P none 2>/dev/null && cmp -s COM.ZLE TCP.ZLE; then
    pass "$proto fetch on COM5"
  else
    fail "$proto fetch on COM5"
  fi
  wine "$exe" --send COM.ZLE -m "$proto" --device COM5 -P none 2>/dev/null && pass "$proto send on COM5" || fail "$proto send on COM5"
done
ports=$(wine "$exe" --ports | tr -d '\r')
echo "$ports" | grep -qx COM5 && pass "COM5 in the port list" || fail "COM5 not in the port list: $ports"

# --- the full-screen program ---
start_sim --pty "$work/modem" --proto symax
start_program
if wait_text "Can't locate setup file."; then pass "start-up without a setup file"; else fail "start-up"; fi
key F10
wait_text "CONFIGURE THIS COMPUTER" && pass "the link dialog" || fail "the link dialog"
screen | grep -qF '╔═' && pass "code page 437 box lines" || fail "no box lines on the screen"
key Escape
wait_text "oNline" && pass "the main menu" || fail "the main menu"
# F1: the screen printed to a file (25 lines, each with its underline line,
# then a form feed), byte for byte as on Linux.
key F1
if wait_text "PRINT SCREEN" 5; then
  tmux -L "$sock" send-keys -t zl -l screen.txt
  sleep 0.3
  key Enter
  for _ in $(seq 50); do [ -s SCREEN.TXT ] && break; sleep 0.1; done
  [ "$(stat -c %s SCREEN.TXT 2>/dev/null)" = $((25 * 162 + 1)) ] && pass "F1 to a file" ||
    fail "F1 to a file: $(stat -c %s SCREEN.TXT 2>&1)"
else
  fail "F1 opens no PRINT SCREEN box"
fi
key q
if wait_text "EXIT=0"; then pass "quit, exit status 0"; else fail "quit"; fi
screen | grep -qF "oNline" && fail "the console was not given back" || pass "the console given back"

tmux -L "$sock" kill-server 2>/dev/null || true
stop_sim
if [ "$failures" -gt 0 ]; then
  echo "$failures failed" >&2
  exit 1
fi
echo "all passed"
