#!/usr/bin/env bash
# Builds the libFuzzer targets into build-fuzz/ (clang) and runs each one from
# its seed corpus fuzz/corpus/NAME for a bounded time, two at a time.
#   scripts/fuzz.sh                 every target, ZL27T_FUZZ_SECONDS each (12)
#   scripts/fuzz.sh keys symax_rx   only these
# New inputs a run finds go to a scratch folder, not into the seed corpus. A
# crash, a broken property or a hang fails the script; the input is kept in
# build-fuzz/findings/ and shown in hex.
set -euo pipefail
cd "$(dirname "$0")/.."

# 12 s each keeps the whole pass (build included) to about three minutes.
seconds=${ZL27T_FUZZ_SECONDS:-12}
jobs=$(nproc 2>/dev/null || echo 2)
[ "$jobs" -gt 2 ] && jobs=2

# Warnings are errors, as in scripts/test.sh; ccache when there is one.
. scripts/lib.sh
dev_options
cmake -S . -B build-fuzz -DZL27T_FUZZ=ON -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo "${dev[@]}" >/dev/null
cmake --build build-fuzz -j "$jobs" --target zl27t_fuzzers

if [ $# -gt 0 ]; then
  targets=("$@")
else
  targets=()
  for f in fuzz/fuzz_*.cpp; do
    n=$(basename "$f" .cpp)
    targets+=("${n#fuzz_}")
  done
fi

findings=build-fuzz/findings
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
mkdir -p "$findings"

run_one() {
  local name=$1
  mkdir -p "$scratch/$name" "fuzz/corpus/$name"
  rm -f "$findings/$name"-*
  if build-fuzz/fuzz/fuzz_"$name" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
       -artifact_prefix="$findings/$name-" "$scratch/$name" "fuzz/corpus/$name" >"$scratch/$name.log" 2>&1; then
    echo "fuzz_$name: $(grep -o 'Done [0-9]* runs' "$scratch/$name.log" | tail -1) in ${seconds} s"
  else
    echo "fuzz_$name: FAILED"
    grep -v '^#' "$scratch/$name.log" | tail -40
    for f in "$findings/$name"-*; do
      [ -f "$f" ] || continue
      echo "input kept as $f:"
      od -An -tx1 "$f" | head -20
    done
    return 1
  fi
}

failed=0
running=0
for name in "${targets[@]}"; do
  if [ "$running" -ge "$jobs" ]; then
    wait -n || failed=1
    running=$((running - 1))
  fi
  run_one "$name" &
  running=$((running + 1))
done
while [ "$running" -gt 0 ]; do
  wait -n || failed=1
  running=$((running - 1))
done
exit "$failed"
