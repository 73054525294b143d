#!/usr/bin/env bash
# Compiles the converter and its tools for 32-bit x86 with Debian's
# g++-i686-linux-gnu (the tests need an i386 GoogleTest, so they are left
# out). Where this kernel runs 32-bit programs, the three programs then make,
# convert and check an image whose data file passes 4 GiB (sparse), so that
# every file offset must stay 64 bits wide.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
nb_install_missing cmake ninja-build file g++-i686-linux-gnu

fail() { echo "check-i686: $*" >&2; exit 1; }
build=build-i686
cmake -S . -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/i686-linux-gnu.cmake -DNB_BUILD_TESTS=OFF \
    -DNB_WERROR="${NB_WERROR:-OFF}" >/dev/null
ninja -C "$build" -j"$(nproc)"
file -b "$build/NimbraConvert" | grep -q '^ELF 32-bit.*80386' || fail "not a 32-bit x86 program: $(file -b "$build/NimbraConvert")"

# The cross toolchain's own C library runs them, no i386 system packages needed.
lib=/usr/i686-linux-gnu/lib
run32() { "$lib/ld-linux.so.2" --library-path "$lib" "$@"; }
if ! run32 "$build/tools/nbmkimage" --help >/dev/null 2>&1; then
    echo "check-i686: this kernel runs no 32-bit programs; compiled only"
    exit 0
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
img=$work/img
run32 "$build/tools/nbmkimage" --layout 4 "$img" "$img" "$img" >/dev/null
truncate -s 5000000000 "$img.nbdata"  # the data superblocks go past 4 GiB
run32 "$build/NimbraConvert" "$img" "$img" "$img" >"$work/out" 2>"$work/err" || fail "NimbraConvert exited with $?"
[ "$(tail -n 1 "$work/out")" = "main: Finished successfully!" ] || fail "conversion failed: $(cat "$work/out")"
[ ! -s "$work/err" ] || fail "a clean conversion wrote on standard error: $(cat "$work/err")"
run32 "$build/tools/nbinfo" "$img" "$img" "$img" >"$work/info" || fail "nbinfo: $(grep FAIL "$work/info")"
grep -q 'FirstSuperblockBlock: 9765632 blocks' "$work/info" || fail "the data superblock is not past 4 GiB"
echo "check-i686: compiled; a 32-bit conversion of a 5 GB data file is consistent"
