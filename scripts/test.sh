#!/usr/bin/env bash
# Builds the program, the simulated modem and the tests into build/, runs them
# all, then runs the unit and link tests again under ASan/UBSan (build-asan/)
# and the end-to-end tests against the sanitizer build of the program.
set -euo pipefail
cd "$(dirname "$0")/.."

. scripts/lib.sh
install_missing cmake g++ clang ccache groff-base make pkg-config binutils dpkg-dev lintian libgtest-dev libvterm-dev socat mbpoll python3-pymodbus python3-pyte python3-serial ser2net libmodbus-dev libclang-rt-dev

jobs=$(nproc 2>/dev/null || echo 2)
# Warnings are errors here (never in a user's build); ccache when there is one.
dev_options

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo "${dev[@]}" >/dev/null
cmake --build build -j "$jobs"
(cd build && ctest --output-on-failure -j "$jobs" --timeout 120)

# The two programs as packagers build them: Release with GCC; and the whole
# tree, tests included, in Debug with Clang (its unit tests run there too);
# then the install tree and the manual page as man renders it.
cmake -S . -B build-release -DCMAKE_CXX_COMPILER=g++ -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF "${dev[@]}" >/dev/null
cmake --build build-release -j "$jobs" --target zl27t zl27t-sim
cmake -S . -B build-clang -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=Debug "${dev[@]}" >/dev/null
cmake --build build-clang -j "$jobs"
(cd build-clang && ctest --output-on-failure -j "$jobs" --timeout 120 -L unit)
installed() {   # installed BUILD_DIR: install into BUILD_DIR/stage and check what is there
  local stage=$1/stage f && rm -rf "$stage"
  cmake --install "$1" --prefix "$stage" >/dev/null
  for f in bin/zl27t bin/zl27t-sim share/doc/zl27t/README.md share/doc/zl27t/copyright share/doc/zl27t/changelog.gz \
           share/man/man1/zl27t.1.gz share/man/man1/zl27t-sim.1.gz; do
    [ -e "$stage/$f" ] || { echo "install from $1: $f missing" >&2; exit 1; }
  done
}
installed build-release
for page in zl27t zl27t-sim; do
  warnings=$(gzip -dc "build-release/stage/share/man/man1/$page.1.gz" | groff -man -ww -z 2>&1)
  [ -z "$warnings" ] || { echo "$page.1: $warnings" >&2; exit 1; }
done

# The Debian package the README's way (cpack -G DEB in the Release build), as
# lintian judges it: any error fails. Only the package's programs are stripped.
(cd build-release && rm -f zl27t_*.deb && cpack -G DEB >/dev/null)
deb=$(echo build-release/zl27t_*_*.deb)
[ -f "$deb" ] || { echo "cpack -G DEB made no package in build-release/" >&2; exit 1; }
lint=(lintian --fail-on error)
[ "$(id -u)" = 0 ] && lint+=(--allow-root)
timeout 600 "${lint[@]}" "$deb" || { echo "lintian: $deb has errors (or lintian failed), see above" >&2; exit 1; }
readelf -S build-release/zl27t | grep '\.symtab' >/dev/null || { echo "build-release/zl27t was stripped: only the package's copy may be" >&2; exit 1; }

# A machine with only cmake, g++ and make: GoogleTest and every pkg-config
# library (libvterm, libmodbus) hidden, the README's configure, build and
# install still work; the tests and the benchmarks that need them are left out.
rm -rf build-min
out=$(PKG_CONFIG_LIBDIR=/nonexistent cmake -S . -B build-min -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON "${dev[@]}" 2>&1) \
  || { echo "$out" >&2; echo "configure without GoogleTest and libvterm failed" >&2; exit 1; }
cmake --build build-min -j "$jobs" >/dev/null || { echo "build without GoogleTest and libvterm failed" >&2; exit 1; }
installed build-min

if [ "${ZL27T_SKIP_SANITIZE:-0}" != 1 ]; then
  cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DZL27T_SANITIZE=ON "${dev[@]}" >/dev/null
  cmake --build build-asan -j "$jobs"
  (cd build-asan && ctest --output-on-failure -j "$jobs" --timeout 120 -L 'unit|link')
  # The end-to-end paths once more, against the sanitizer build of the program.
  (cd build && ZL27T_E2E_PROGRAM="$PWD/../build-asan/zl27t" ctest --output-on-failure -j "$jobs" --timeout 120 -L e2e)
fi

# The libFuzzer targets (clang), each run from its seed corpus for a bounded
# time, two at a time; ZL27T_SKIP_FUZZ=1 skips them.
if [ "${ZL27T_SKIP_FUZZ:-0}" != 1 ]; then
  scripts/fuzz.sh
fi
