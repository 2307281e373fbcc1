#!/usr/bin/env bash
# Builds the program, the simulated modem and the tests into build/, runs them
# all, then runs the unit and link tests again under ASan/UBSan (build-asan/)
# and the end-to-end tests against the sanitizer build of the program.
set -euo pipefail
cd "$(dirname "$0")/.."

need=()
have_pkg() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }
for p in cmake g++ make pkg-config libgtest-dev libvterm-dev socat mbpoll python3-pymodbus libmodbus-dev; do
  have_pkg "$p" || need+=("$p")
done
if [ ${#need[@]} -gt 0 ]; then
  echo "installing: ${need[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${need[@]}" >/dev/null
fi

jobs=$(nproc 2>/dev/null || echo 2)

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$jobs"
(cd build && ctest --output-on-failure -j "$jobs" --timeout 120)

if [ "${ZL27T_SKIP_SANITIZE:-0}" != 1 ]; then
  cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DZL27T_SANITIZE=ON >/dev/null
  cmake --build build-asan -j "$jobs"
  (cd build-asan && ctest --output-on-failure -j "$jobs" --timeout 120 -L 'unit|link')
  # The end-to-end paths once more, against the sanitizer build of the program.
  (cd build && ZL27T_E2E_PROGRAM="$PWD/../build-asan/zl27t" ctest --output-on-failure -j "$jobs" --timeout 120 -L e2e)
fi
