#!/usr/bin/env bash
# Installs what is missing, builds and runs every test: the normal build, the
# same tests under AddressSanitizer and UndefinedBehaviorSanitizer, the
# Windows builds with their tests under Wine, and a short run of each fuzz
# target.
#   FUZZ_SECONDS=N   seconds per fuzz target (default 10; 0 skips fuzzing)
#   SKIP_SANITIZE=1  skips the sanitizer build
#   SKIP_WINDOWS=1   skips the Windows cross builds and their tests under Wine
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup-debian.sh
jobs=${JOBS:-$(nproc)}

echo "== build and test"
scripts/build.sh
ctest --test-dir build --output-on-failure -j "$jobs"

if [ "${SKIP_SANITIZE:-0}" != 1 ]; then
  echo "== build and test with AddressSanitizer and UndefinedBehaviorSanitizer"
  BUILD_DIR=build-asan scripts/build.sh -DVANTREL_SANITIZE=ON
  # Every report ends its process with SIGABRT, also in the vantrel-cli runs
  # of the CLI tests: those check the exit status, and a plain exit status 1
  # from a report would pass for the error they expect.
  ASAN_OPTIONS=detect_leaks=1:halt_on_error=1:abort_on_error=1 \
  UBSAN_OPTIONS=halt_on_error=1:abort_on_error=1:print_stacktrace=1 \
  LSAN_OPTIONS=abort_on_error=1 \
    ctest --test-dir build-asan --output-on-failure -j "$jobs"
fi

if [ "${SKIP_WINDOWS:-0}" != 1 ]; then
  echo "== Windows builds (mingw-w64), their tests under Wine"
  JOBS=$jobs scripts/test-windows.sh
fi

fuzz_seconds=${FUZZ_SECONDS:-10}
if [ "$fuzz_seconds" != 0 ]; then
  echo "== fuzz targets, ${fuzz_seconds}s each"
  scripts/fuzz.sh "$fuzz_seconds"
fi
echo "== all tests passed"
