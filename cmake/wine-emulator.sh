#!/bin/sh
# ctest's emulator for the Windows cross build (cmake/mingw-w64-x86_64.cmake):
#   wine-emulator.sh PREFIX PROGRAM.exe [ARGS...]
# Runs the program under Wine in the build's own prefix (WINEPREFIX, when set,
# wins), headless and without Wine's debug lines; the prefix is made on first
# use, once. The program writes to a file that is shown when it ends: the
# wineserver and Wine's own processes (services, explorer...) that the first
# program starts inherit its output, and would keep ctest's pipe open for as
# long as they run.
set -u
prefix=$1
shift
export WINEPREFIX="${WINEPREFIX:-$prefix}"
export WINEDEBUG="${WINEDEBUG:--all}"
# No Mono or Gecko installer, no menu entries.
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=;winemenubuilder.exe=d}"
unset DISPLAY WAYLAND_DISPLAY
if [ ! -f "$WINEPREFIX/.nb-ready" ]; then
    # Under a lock whose descriptor Wine's processes do not inherit: they
    # would hold it for as long as they run.
    mkdir -p "$(dirname "$WINEPREFIX")"
    (
        flock 9
        [ -f "$WINEPREFIX/.nb-ready" ] || { wineboot -i 9>&- && touch "$WINEPREFIX/.nb-ready"; }
    ) 9>"$WINEPREFIX.lock" </dev/null >/dev/null 2>&1
fi
output=$(mktemp)
wine "$@" </dev/null >"$output" 2>&1
status=$?
# A program of ours always says something (GoogleTest its banner); a failure
# with no word at all is Wine not starting it (seen once in CI, in 0.01 s,
# amid hundreds of runs), so it is started once more.
if [ "$status" -ne 0 ] && [ ! -s "$output" ]; then
    sleep 1
    wine "$@" </dev/null >"$output" 2>&1
    status=$?
fi
cat "$output"
rm -f "$output"
exit "$status"
