#!/usr/bin/env bash
# Speed against the physical limit: builds the benchmarks and prints their
# tables. First the Modbus exchange rates of every kind, each beside its
# peer (libmodbus, pymodbus) and its ceiling (a bare ping-pong of the same
# bytes), measured in the same run (modbus_bench table); then
# whole-configuration transfers over every serial link kind against a
# simulator paced like a 9600-baud line with parity (wire_bench); then, where
# the register viewer is built, its CPU time while it waits on a slow line
# and the terminal bytes it writes per refresh (regview_bench); the command
# line's --read and --fetch from exec to exit (cli_bench); the terminal
# emulator's flood time against `cat`, idle wake-ups and Ctrl-End (term_bench);
# the wake-ups per second of each screen left alone with a link open, and per
# modem exchange on the live screens (idle_bench); start-up to the full main
# menu against `cat` of the same bytes, with its system calls (startup_bench).
#   bench/speed.sh [--rounds N]
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc 2>/dev/null || echo 2)" >/dev/null
status=0
if [ -x build/modbus_bench ]; then
  build/modbus_bench table || status=1
  echo
fi
build/wire_bench "$@" || status=1
if [ -x build/cli_bench ]; then
  echo
  build/cli_bench || status=1
fi
if [ -x build/regview_bench ]; then
  echo
  build/regview_bench || status=1
fi
echo
build/term_bench || status=1
echo
build/idle_bench || status=1
echo
build/startup_bench || status=1
exit $status
