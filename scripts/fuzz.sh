#!/usr/bin/env bash
# Builds the fuzz targets with clang (libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs each for a while.
# Usage: scripts/fuzz.sh [SECONDS_PER_TARGET] [TARGET...]
# Findings (crash-*, timeout-*, oom-*) land in fuzz/findings/TARGET/.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-10}
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(filetype volume partitions analyser lostdata save)

CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVANTREL_FUZZ=ON -DVANTREL_BUILD_TESTS=OFF >/dev/null
cmake --build build-fuzz -j "${JOBS:-$(nproc)}" --target $(printf 'fuzz_%s ' "${targets[@]}")

seeds=build-fuzz/seeds
[ -d "$seeds" ] || fuzz/make-seeds.sh "$seeds" >/dev/null
status=0
for t in "${targets[@]}"; do
  corpus=build-fuzz/corpus/$t
  findings=fuzz/findings/$t
  mkdir -p "$corpus" "$findings"
  # The analyser and the file-type test look at every byte of their input:
  # shorter inputs keep them fast.
  case $t in
    filetype) max_len=65536 ;;
    analyser) max_len=131072 ;;
    *) max_len=524288 ;;
  esac
  echo "== fuzz_$t for ${seconds}s"
  if ! build-fuzz/fuzz/fuzz_$t "$corpus" "$seeds/$t" -max_total_time="$seconds" -max_len=$max_len \
      -timeout=20 -rss_limit_mb=2048 -artifact_prefix="$findings/" -print_final_stats=1 2>build-fuzz/fuzz_$t.log; then
    status=1
    tail -40 build-fuzz/fuzz_$t.log
  fi
  grep -E 'stat::number_of_executed_units|stat::average_exec_per_sec' build-fuzz/fuzz_$t.log || true
done
exit $status
