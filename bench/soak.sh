#!/usr/bin/env bash
# The soaks run for minutes (the test pass runs short ones): the register
# viewer in-process, and the program's live screens in a pseudo-terminal,
# against a simulator on a 9600-baud line that injects every fault it has and
# goes away between them; afterwards the packet pool, the heap, the threads,
# the texts shown and the keys are checked.
#   bench/soak.sh [SECONDS]      (default 300)
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build >/dev/null
cmake --build build -j "$(nproc 2>/dev/null || echo 2)" --target zl27t zl27t_link zl27t_e2e zl27t-sim >/dev/null
export ZL27T_SOAK_SECONDS="${1:-300}"
build/tests/zl27t_link --gtest_filter='Soak.*'
build/tests/zl27t_e2e --gtest_filter='Soak.*'
