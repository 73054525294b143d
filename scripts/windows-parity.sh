#!/usr/bin/env bash
# The Windows converter against the Linux one, on images that the Linux
# nbmkimage makes: each case is set up once, copied into two folders, and run
# there by each converter with relative names (so that the messages can be
# compared as they are). Then every file must match byte for byte (image
# files and backups), standard output exactly, the trace lines once their
# time, thread and buffer addresses are masked (line for line), and the
# exit code: in full as cmd.exe sees it under
# Windows, modulo 256 under Linux. The undo record is the one file that
# differs by right (it holds each file's owner, group and mode, which the
# hosts tell differently), so where a conversion left one, each side's nbundo
# then undoes its own image, and both must give back the image as it was
# made, byte for byte, with the same output and exit code.
#   scripts/windows-parity.sh LINUX_BUILD WINDOWS_BUILD
# Wine runs in WINEPREFIX (default: WINDOWS_BUILD/wineprefix, made when
# missing).
set -euo pipefail
linux=$(realpath "$1")
windows=$(realpath "$2")
export WINEPREFIX="${WINEPREFIX:-$windows/wineprefix}" WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=;winemenubuilder.exe=d}"
unset DISPLAY WAYLAND_DISPLAY
[ -f "$WINEPREFIX/system.reg" ] || wineboot -i </dev/null >/dev/null 2>&1
converter="Z:$(tr / '\\' <<<"$windows/NimbraConvert.exe")"
undo="Z:$(tr / '\\' <<<"$windows/tools/nbundo.exe")"

work=$(mktemp -d)
# NB_PARITY_KEEP=1 keeps the folders for a look.
if [ -n "${NB_PARITY_KEEP:-}" ]; then echo "(cases kept in $work)"; else trap 'rm -rf "$work"' EXIT; fi
passed=0 failed=0

make_image() { "$linux/tools/nbmkimage" --image-guid 11 --data-guid 22 "$@" >/dev/null; }
# Writes bytes (printf escapes) at an offset of a file, in place.
poke() { printf "$3" | dd of="$1" bs=1 seek="$2" conv=notrunc status=none; }
# The trace lines without what differs from run to run and host to host.
masked() { sed -E 's/^[0-9]+\/[0-9]+ [0-9]+:[0-9]{2}:[0-9]{2}\.[0-9]{3} [0-9a-f]+ Nb: //; s/0x[0-9A-F]{16}/0xADDRESS/g' "$1"; }

# run_both LINUX_PROGRAM WINDOWS_PROGRAM ARGUMENTS...: each in its folder ($l, $w).
run_both() {
    local linuxProgram=$1 windowsProgram=$2
    shift 2
    (cd "$l" && set +e && "$linuxProgram" "$@" >out 2>err; echo $? >status)
    # cmd.exe reports the whole code; Wine's own exit status keeps 8 bits.
    (cd "$w" && set +o pipefail && wine cmd /v:on /c "$windowsProgram $* >out 2>err & echo !errorlevel!" </dev/null 2>/dev/null |
        tr -d '\r' >status)
}

# Adds to problems what differs between the two folders after run_both; the
# undo record is compared by what it gives back, not by its bytes. After an
# undo (compare_sides undone), Windows has copied each whole-map backup back
# where Linux renamed it (Windows replaces no file that is open, and the run
# holds its lock on the map): the two lines that say so are dropped, and each
# side's backups need only hold the head of the image as made (a whole
# backup, or the head one Linux makes again).
compare_sides() {
    local ls ws files undone=${1:-}
    ls=$(cat "$l/status") ws=$(cat "$w/status")
    [ -n "$ws" ] && [ "$ls" = "$((ws % 256))" ] || problems+=("exit $ls on Linux, $ws on Windows")
    cmp -s "$l/out" "$w/out" || problems+=("standard output differs: $(diff "$l/out" "$w/out" | head -3 | tr '\n' ' ' || true)")
    masked "$l/err" >"$l/err.masked"
    masked "$w/err" >"$w/err.masked"
    if [ -n "$undone" ]; then
        sed -i -E '/^--- NbFileReplace \(line #[0-9]+\) 5\r?$/d; /^\*\*\* NbConvertRevertFromBackup rename of \[.*\] over \[.*\] failed with 5; copying it\r?$/d' "$w/err.masked"
    fi
    cmp -s "$l/err.masked" "$w/err.masked" ||
        problems+=("trace lines differ: $(diff "$l/err.masked" "$w/err.masked" | head -3 | tr '\n' ' ' || true)")
    files=$(diff -rq -x out -x err -x 'err.masked' -x status -x '*.undo' ${undone:+-x '*.backup'} "$l" "$w" 2>&1) ||
        problems+=("files differ: ${files//$'\n'/; }")
    if [ -n "$undone" ]; then
        local backup side
        for backup in "$made"/*; do
            backup=$(basename "$backup").backup
            for side in "$l" "$w"; do
                [ -f "$side/$backup" ] && cmp -s -n "$(stat -c %s "$side/$backup")" "$side/$backup" "$made/${backup%.backup}" ||
                    problems+=("$side/$backup is not the head of the image as made")
            done
        done
    fi
    local lr=no wr=no
    [ -f "$l/img.nbbitmap.undo" ] && lr=yes
    [ -f "$w/img.nbbitmap.undo" ] && wr=yes
    [ "$lr" = "$wr" ] || problems+=("undo record left on Linux: $lr, on Windows: $wr")
}

# check NAME 'SETUP COMMANDS' CONVERTER ARGUMENTS...
check() {
    local name=$1 setup=$2
    shift 2
    local l="$work/$name/linux" w="$work/$name/windows" problems=()
    local made="$work/$name/made"
    mkdir -p "$l" "$w" "$made"
    (cd "$l" && eval "$setup")
    cp -a "$l/." "$w/"
    cp -a "$l/." "$made/"
    run_both "$linux/NimbraConvert" "$converter" "$@"
    compare_sides
    local ls ws summary count
    ls=$(cat "$l/status") ws=$(cat "$w/status") summary=$(tail -1 "$l/out")
    count=$(find "$l" -type f ! -name out ! -name 'err*' ! -name status | wc -l)
    if [ -f "$l/img.nbbitmap.undo" ] && [ ! -f "$made/img.nbbitmap.undo" ] && [ ${#problems[@]} -eq 0 ]; then
        run_both "$linux/tools/nbundo" "$undo" "$@"
        compare_sides undone
        # Gone: the record and the journal; left: the image as made, and the backups.
        local back
        back=$(diff -rq -x out -x err -x 'err.masked' -x status -x '*.backup' "$made" "$l" 2>&1) ||
            problems+=("nbundo did not give back the image: ${back//$'\n'/; }")
        [ ${#problems[@]} -eq 0 ] && name+=" (and undone)"
    fi
    if [ ${#problems[@]} -eq 0 ]; then
        passed=$((passed + 1))
        printf '  %-28s exit %3s (Linux %3s)  %d files alike  %s\n' "$name" "$ws" "$ls" "$count" "$summary"
    else
        failed=$((failed + 1))
        printf '  %-28s FAILED: %s\n' "$name" "${problems[*]}"
    fi
}

echo "Linux $linux/NimbraConvert and Windows $converter on the same images:"
# Conversions, one per path through the relocation, compaction and backups.
check layout2 'make_image --layout 2 --map-content random --seed 7 img img img' img img img
check layout3-plain 'make_image --layout 3 --seed 3 img img img' img img img
check layout3-extended-2meta 'make_image --layout 3 --map-type 1 img img img img2' img img img img2
check layout4-extended-2meta 'make_image --layout 4 --map-type 1 img img img img2' img img img img2
check layout4-whole-map-backup 'make_image --layout 4 --image-size 200000 --map-content random --seed 9 img img img' img img img
check already-layout6 'make_image --layout 2 img img img && "$linux/NimbraConvert" img img img >/dev/null 2>&1' img img img
# Refusals before anything changes.
check too-few-arguments 'make_image --layout 2 img img img' img img
check map-shorter-than-backup 'head -c 1000 /dev/zero >img.nbbitmap' img img img
check data-missing 'make_image --layout 2 img img img && rm img.nbdata' img img img
check metadata-missing 'make_image --layout 2 img img img && rm img.nbmetadata' img img img
check layout2-two-metadata 'make_image --layout 2 img img img img2' img img img img2
check block-size-zero 'make_image --layout 2 img img img && poke img.nbdata 16 "\0\0\0\0"' img img img
# Damage that older converters met only in the rewrite (and reverted); refused while reading now.
check map-tail-not-a-whole-page 'make_image --layout 2 --image-size 41984 --map-pages 40 img img img && head -c 100 /dev/zero >>img.nbbitmap' img img img
check map-type-2 'make_image --layout 3 img img img && poke img.nbbitmap 16 "\2\0"' img img img
echo "parity: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
