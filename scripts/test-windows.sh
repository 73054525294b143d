#!/usr/bin/env bash
# The Windows stage of scripts/test.sh, also run alone: installs MinGW-w64 and
# Wine when missing, cross-builds the three programs and the tests for 64-bit
# Windows, runs every test under Wine through ctest (the in-process fault
# sweeps at every NB_SWEEP_STRIDE-th host call, 12 unless set; the kills, power
# losses and pairs of programs, a process each, at every NB_CHILD_STRIDE-th,
# 16 unless set), compares the Windows converter with the Linux one on
# images the Linux nbmkimage makes (scripts/windows-parity.sh), and builds
# and checks the ZIP package. Wine runs headless in a prefix of its own under
# build-windows/, never in ~/.wine.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
stage_start=$SECONDS
step_start=$SECONDS
step() { echo "   ($((SECONDS - step_start)) s)"; step_start=$SECONDS; }

echo "-- Installing the cross compiler and Wine where missing"
# wine64 alone runs 64-bit programs; no i386 architecture is needed.
nb_install_missing cmake ninja-build g++ libgtest-dev libgmock-dev g++-mingw-w64-x86-64-posix wine wine64
step

jobs=$(nproc)
export WINEPREFIX="$PWD/build-windows/wineprefix" WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"  # no Mono or Gecko installer, no menu entries
export NB_CHILD_STRIDE="${NB_CHILD_STRIDE:-16}" NB_SWEEP_STRIDE="${NB_SWEEP_STRIDE:-12}"
unset DISPLAY WAYLAND_DISPLAY
# The wineserver of this prefix (started by the first Wine program) ends with the stage.
trap 'wineserver -k 2>/dev/null || true' EXIT

echo "-- Cross-building for Windows (MinGW-w64, cmake/mingw-w64-x86_64.cmake)"
cmake -S . -B build-windows -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
    -DNB_WERROR="${NB_WERROR:-OFF}" >/dev/null
ninja -C build-windows -j"$jobs"
for program in NimbraConvert.exe tools/nbinfo.exe tools/nbmkimage.exe tools/nbundo.exe; do
    # Linked statically: only DLLs that every Windows has.
    if x86_64-w64-mingw32-objdump -p "build-windows/$program" | grep -iE 'DLL Name: (lib|.*gcc|.*stdc|.*pthread)'; then
        echo "$program needs a DLL of the build machine" >&2
        exit 1
    fi
done
step

if [ ! -f "$WINEPREFIX/.nb-ready" ]; then
    echo "-- Making the Wine prefix (wineboot -i)"
    wineboot -i </dev/null >/dev/null 2>&1
    touch "$WINEPREFIX/.nb-ready"
    step
fi

echo "-- Tests under Wine"
ctest --test-dir build-windows -j"$jobs" --output-on-failure
step

echo "-- The Windows converter against the Linux one"
if [ ! -f build/CMakeCache.txt ]; then
    cmake -S . -B build -G Ninja -DNB_WERROR="${NB_WERROR:-OFF}" >/dev/null
fi
ninja -C build NimbraConvert nbmkimage nbinfo nbundo >/dev/null
scripts/windows-parity.sh build build-windows
step

echo "-- Package (cpack -G ZIP)"
(cd build-windows && cpack -G ZIP >/dev/null)
zip=build-windows/NimbraConvert-$(sed -n 's/^project(NimbraConvert VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)-win64.zip
cmake -E tar tf "$zip"
unpacked=$(mktemp -d)
(cd "$unpacked" && cmake -E tar xf "$OLDPWD/$zip")
# Each program runs alone, out of the unpacked folder.
set +e
wine "$unpacked"/NimbraConvert-*/NimbraConvert.exe >"$unpacked/usage" 2>/dev/null
status=$?
wine "$unpacked"/NimbraConvert-*/nbundo.exe >"$unpacked/usage" 2>/dev/null
undoStatus=$?
set -e
rm -rf "$unpacked"
[ "$status" -eq 87 ] || { echo "the packaged converter exited with $status, not 87" >&2; exit 1; }
[ "$undoStatus" -eq 87 ] || { echo "the packaged nbundo exited with $undoStatus, not 87" >&2; exit 1; }
echo "$zip: the packaged NimbraConvert.exe and nbundo.exe run and print their usage (exit 87)"
step

echo "-- Windows stage: $((SECONDS - stage_start)) s"
