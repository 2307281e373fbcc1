#!/usr/bin/env bash
# Builds the program and runs it in a scratch working directory.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cmake -S "$root" -B "$root/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$root/build" -j "$(nproc 2>/dev/null || echo 2)" --target zl27t >/dev/null
work="${ZL27T_DEMO_DIR:-$root/build/demo}"
mkdir -p "$work"
cd "$work"
exec "$root/build/zl27t" "$@"
