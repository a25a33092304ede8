#!/usr/bin/env bash
# The Windows builds, made here with mingw-w64:
#   build-win64  64-bit: the core, vantrel-cli (and kobrel where it has its
#                Windows side) and the tests, which ctest runs under Wine
#                after the fixture images are made on this machine;
#   build-win32  32-bit: the core libraries, compiled only (Wine here runs
#                64-bit programs only).
# The Qt window is left out: Debian has no Qt for Windows.
#   JOBS=N  parallel jobs (default: the number of processors)
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=${JOBS:-$(nproc)}
launcher=()
if command -v ccache >/dev/null; then launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache); fi
start=$(date +%s)

echo "== Windows 64-bit: build"
# vantrel-cli for Linux, which the Windows one is compared with.
if [ ! -f build/build.ninja ]; then
  cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=${BUILD_TYPE:-RelWithDebInfo} "${launcher[@]}" >/dev/null
fi
cmake --build build -j "$jobs" --target vantrel-cli
cmake -S . -B build-win64 -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
  -DCMAKE_BUILD_TYPE=${BUILD_TYPE:-RelWithDebInfo} -DVANTREL_LINUX_CLI="$PWD/build/src/cli/vantrel-cli" \
  "${launcher[@]}" >/dev/null
cmake --build build-win64 -j "$jobs"

echo "== Windows 64-bit: tests under Wine"
# A prefix of its own, made once; its first start takes a while.
export WINEPREFIX=${WINEPREFIX:-$PWD/build-win64/wineprefix} WINEDEBUG=${WINEDEBUG:--all} WINEDLLOVERRIDES="mscoree,mshtml="
export WINEARCH=win64
if [ ! -f "$WINEPREFIX/system.reg" ]; then wineboot --init >/dev/null 2>&1 || true; fi
# One server for the whole run instead of one per test program.
wineserver -p >/dev/null 2>&1 || true
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT
ctest --test-dir build-win64 --output-on-failure -j "$jobs"
echo "   64-bit build and tests: $(( $(date +%s) - start ))s"

echo "== Windows 32-bit: the core libraries (compile only)"
cmake -S . -B build-win32 -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-i686.cmake \
  -DCMAKE_BUILD_TYPE=${BUILD_TYPE:-RelWithDebInfo} -DVANTREL_BUILD_TESTS=OFF "${launcher[@]}" >/dev/null
cmake --build build-win32 -j "$jobs" --target vantrel_core_libraries
echo "== Windows builds and tests passed in $(( $(date +%s) - start ))s"
