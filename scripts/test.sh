#!/usr/bin/env bash
# Builds and runs every test: the plain build, an AddressSanitizer and
# UndefinedBehaviorSanitizer build, a bounded fuzzing run and the package
# check.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
nb_install_missing cmake ninja-build g++ clang libclang-rt-14-dev libgtest-dev libgmock-dev libbenchmark-dev \
    dpkg-dev file man-db

jobs=$(nproc)

echo "== Build and test (RelWithDebInfo)"
cmake -S . -B build -G Ninja -DNB_BUILD_BENCH=ON >/dev/null
ninja -C build -j"$jobs"
ctest --test-dir build -j"$jobs" --output-on-failure

echo "== Build and test with AddressSanitizer and UndefinedBehaviorSanitizer"
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DNB_SANITIZE=ON >/dev/null
ninja -C build-asan -j"$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --test-dir build-asan -j"$jobs" --output-on-failure

if [ -x tests/fuzz/run-fuzz.sh ]; then
    echo "== Fuzzing the header readers for ${NB_FUZZ_SECONDS:-60} seconds"
    tests/fuzz/run-fuzz.sh "${NB_FUZZ_SECONDS:-60}"
fi

if [ -x packaging/test-deb.sh ]; then
    echo "== Package: build, install, run, remove"
    packaging/test-deb.sh
fi
echo "All tests passed."
