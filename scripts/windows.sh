#!/usr/bin/env bash
# The Windows program, cross-built on Linux: installs what is missing
# (mingw-w64, wine, tmux, python3 for the test peers), builds build-windows/
# with warnings as errors, runs the unit tests under wine (ctest, through
# CMake's cross-compiling emulator) and the end-to-end tests under wine
# against the simulator (the Linux build's, made in build/ when it is not
# there), then packs build-windows/zl27t-VERSION-win64.zip.
set -euo pipefail
cd "$(dirname "$0")/.."

. scripts/lib.sh
install_missing cmake g++ ccache make g++-mingw-w64-x86-64 wine tmux python3 libgtest-dev

jobs=$(nproc 2>/dev/null || echo 2)
dev_options

# The simulator the end-to-end tests talk to runs natively.
if [ ! -x build/zl27t-sim ]; then
  cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo "${dev[@]}" >/dev/null
  cmake --build build -j "$jobs" --target zl27t-sim
fi

# wine's prefix lives in the build folder, never in the user's home; one
# wine server for the whole run, so no test waits for its linger.
export WINEPREFIX=$PWD/build-windows/wineprefix WINEDEBUG=-all
unset DISPLAY
mkdir -p build-windows
[ -f "$WINEPREFIX/system.reg" ] || wineboot -i >/dev/null 2>&1
(wineserver -p60 2>>build-windows/wineserver.log &)

cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake "${dev[@]}" >/dev/null
cmake --build build-windows -j "$jobs"
(cd build-windows && ctest --output-on-failure -j "$jobs" --timeout 120 -L unit)
tests/win/e2e.sh build-windows build
cmake --build build-windows --target windows_zip
zip=$(echo build-windows/zl27t-*-win64.zip)
[ -f "$zip" ] || { echo "no zip made in build-windows/" >&2; exit 1; }
echo "made $zip"
