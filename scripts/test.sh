#!/usr/bin/env bash
# Builds and runs every test: the plain build, an AddressSanitizer and
# UndefinedBehaviorSanitizer build, a bounded fuzzing run and the package
# check; then Release builds with g++ and clang and a 32-bit x86 compile.
# Warnings are errors here (NB_WERROR); a user's own build only warns.
#
#   scripts/test.sh           every stage, as CI runs it
#   scripts/test.sh --quick   the plain build and the unit-labelled tests
#                             (no sweeps, crashes or other builds): a
#                             couple of minutes, for the edit-build-test loop
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh

if [ "${1:-}" = --quick ]; then
    nb_install_missing cmake ninja-build g++ libgtest-dev libgmock-dev libbenchmark-dev
    cmake --preset plain >/dev/null
    cmake --build --preset plain -j"$(nproc)"
    ctest --preset unit -j"$(nproc)"
    exit 0
elif [ $# -gt 0 ]; then
    echo "usage: scripts/test.sh [--quick]" >&2
    exit 2
fi
nb_install_missing cmake ninja-build g++ clang libclang-rt-14-dev libgtest-dev libgmock-dev libbenchmark-dev \
    dpkg-dev file man-db xfsprogs btrfs-progs

jobs=$(nproc)
export NB_WERROR=ON  # read by the fuzzing and i686 scripts too

echo "== Build and test (RelWithDebInfo)"
cmake -S . -B build -G Ninja -DNB_BUILD_BENCH=ON -DNB_WERROR=ON >/dev/null
ninja -C build -j"$jobs"
ctest --test-dir build -j"$jobs" --output-on-failure

# The plain build fails, kills and pairs every host call; the other builds
# take a sample of them (every N-th call, from a first one that differs from
# image to image), which finds what they are there for (a memory error, an
# optimiser's difference) in a fraction of the time.
echo "== Build and test with AddressSanitizer and UndefinedBehaviorSanitizer"
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DNB_SANITIZE=ON -DNB_WERROR=ON >/dev/null
ninja -C build-asan -j"$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    NB_SWEEP_STRIDE="${NB_SWEEP_STRIDE:-6}" NB_CHILD_STRIDE="${NB_CHILD_STRIDE:-8}" \
    ctest --test-dir build-asan -j"$jobs" --output-on-failure

if [ -x tests/fuzz/run-fuzz.sh ]; then
    echo "== Fuzzing the header readers for ${NB_FUZZ_SECONDS:-60} seconds"
    tests/fuzz/run-fuzz.sh "${NB_FUZZ_SECONDS:-60}"
fi

if [ -x packaging/test-deb.sh ]; then
    echo "== Package: build, install into a scratch root, run, remove"
    packaging/test-deb.sh
fi

# ---- Release builds and other targets ----
# The optimiser's own warnings show only at -O3. The g++ Release build runs
# the tests (optimised code, same results); clang's only has to build.
echo "== Release build and test (g++)"
cmake -S . -B build-release-gcc -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_COMPILER=g++ -DNB_WERROR=ON >/dev/null
ninja -C build-release-gcc -j"$jobs"
NB_SWEEP_STRIDE="${NB_SWEEP_STRIDE:-8}" NB_CHILD_STRIDE="${NB_CHILD_STRIDE:-8}" \
    ctest --test-dir build-release-gcc -j"$jobs" --output-on-failure
echo "== Release build (clang, tests built, not run)"
cmake -S . -B build-release-clang -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_COMPILER=clang++ -DNB_WERROR=ON >/dev/null
ninja -C build-release-clang -j"$jobs"
echo "== 32-bit x86 (i686) compile, and a conversion past 4 GiB with it"
scripts/check-i686.sh
# ---- end of Release builds and other targets ----

# ---- Windows: cross-built with MinGW-w64, tested under Wine ----
if [ "${NB_SKIP_WINDOWS:-0}" != 1 ]; then
    echo "== Windows build (MinGW-w64) and tests under Wine"
    scripts/test-windows.sh
fi
# ---- end of Windows ----

echo "All tests passed."
