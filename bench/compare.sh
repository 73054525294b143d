#!/usr/bin/env bash
# Times whole conversions of large sample images against a plain copy of their
# map file, and reports the converter's peak resident memory.
#
#   bench/compare.sh [-b BUILD_DIR] [-n RUNS] [-d WORK_DIR] [-s "SIZES_MIB"]
#
# BUILD_DIR holds NimbraConvert and tools/nbmkimage (default: build beside
# this script's folder). RUNS per measurement (default 5). WORK_DIR (default a
# new mktemp -d under /var/tmp, removed at the end) needs about 3.5 times the
# largest map size free. SIZES_MIB are the map sizes (default "256 1024").
#
# First a layout 4 image with a small map is converted RUNS times and the
# median time given in ms, beside the time to start the program alone: 32
# map pages, the fewest that give the 135,168 bytes every file needs for its
# head backup. Then, for each size and for layouts 2 and 4, one image whose
# map holds size/4 KiB pages (image size = pages x 1024 blocks, random
# content with a quarter of the pages dropped, small data and metadata files) is
# made and read once so the page cache is warm, and the script alternates a
# full conversion of a fresh copy (copied and synced outside the timing) with
# cp --reflink=never of the map file, also timed with a sync of the copy. It
# prints the medians and the ratios. One more conversion of each image runs
# under /usr/bin/time -v for its peak resident set size, and one under
# strace -c for the number of system calls it makes per MiB of map.
set -euo pipefail
export LC_ALL=C

here=$(cd "$(dirname "$0")" && pwd)
build="$here/../build"
runs=5
work=""
sizes="256 1024"
while getopts "b:n:d:s:h" opt; do
    case $opt in
    b) build=$OPTARG ;;
    n) runs=$OPTARG ;;
    d) work=$OPTARG ;;
    s) sizes=$OPTARG ;;
    *) sed -n '2,23p' "$0"; exit 2 ;;
    esac
done
converter="$build/NimbraConvert"
mkimage="${NBMKIMAGE:-$build/tools/nbmkimage}"
for tool in "$converter" "$mkimage"; do
    [[ -x $tool ]] || { echo "missing $tool: build it first (ninja NimbraConvert nbmkimage)" >&2; exit 1; }
done

for need in /usr/bin/time:time /usr/bin/strace:strace; do
    [[ -x ${need%%:*} ]] && continue
    if [[ $(id -u) == 0 ]]; then
        apt-get install -y "${need#*:}" >/dev/null || { apt-get update >/dev/null && apt-get install -y "${need#*:}" >/dev/null; }
    else
        echo "${need%%:*} is missing: install the package '${need#*:}'" >&2; exit 1
    fi
done

own_work=0
if [[ -z $work ]]; then
    work=$(mktemp -d /var/tmp/nbcompare.XXXXXX)
    own_work=1
fi
mkdir -p "$work"
cleanup() {
    if ((own_work)); then rm -rf "$work"; else rm -f "$work"/[pwc].* "$work"/rss.txt "$work"/out.txt "$work"/strace.txt; fi
}
trap cleanup EXIT

# Peak use for one image: its original, the working copy and the converter's
# whole-map backup, plus small files: keep 3.5 times the map size free.
free_mib=$(( $(df -Pk "$work" | awk 'NR==2 {print $4}') / 1024 ))
fitting=""
for s in $sizes; do
    if (( s * 7 / 2 + 64 <= free_mib )); then
        fitting+="$s "
    else
        echo "note: skipping the ${s} MiB map: $free_mib MiB free in $work, it needs $(( s * 7 / 2 + 64 ))" >&2
    fi
done
sizes=$fitting

now_us() { echo $(( ${EPOCHREALTIME/./} )); }

median() { sort -n | awk '{v[NR] = $1} END {if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2}'; }

ratio() { awk -v a="$1" -v b="$2" 'BEGIN {printf "%.2f", a / b}'; }

ms() { awk -v us="$1" 'BEGIN {printf "%.3f", us / 1000}'; }

# Makes the original image p.* for a layout and a page count.
make_image() {
    local layout=$1 pages=$2
    rm -f "$work"/[pwc].*
    "$mkimage" --layout "$layout" --image-size $(( pages * 1024 )) --map-content random --drop-percent 25 \
        --data-size 1048576 --metadata-size 262144 "$work/p" "$work/p" "$work/p" >/dev/null
    cat "$work"/p.* >/dev/null
    sync
}

# A fresh working copy w.* of the original, synced so that the converter's
# flushes pay only for what it writes itself.
fresh_copy() {
    rm -f "$work"/w.* "$work"/c.*
    for ext in nbbitmap nbdata nbmetadata; do cp --reflink=never "$work/p.$ext" "$work/w.$ext"; done
    sync "$work"/w.*
}

# Runs the converter on the working copy, under the wrapper given, if any;
# the check of its output comes after, so it never falls inside a timing.
convert() {
    "$@" "$converter" "$work/w" "$work/w" "$work/w" >"$work/out.txt" 2>/dev/null || true
}
check_converted() {
    grep -q "Finished successfully" "$work/out.txt" || { echo "conversion failed:" >&2; cat "$work/out.txt" >&2; exit 1; }
}

peak_rss_kib() {
    fresh_copy
    convert /usr/bin/time -v -o "$work/rss.txt"
    check_converted
    awk -F: '/Maximum resident set size/ {gsub(/ /, "", $2); print $2}' "$work/rss.txt"
}

# System calls of one conversion, all kinds together.
syscalls() {
    fresh_copy
    convert strace -f -c -o "$work/strace.txt"
    check_converted
    awk '$NF == "total" {print $4}' "$work/strace.txt"
}

# The small map first, before the large images leave writeback behind.
make_image 4 32
small=() start=()
for ((i = 0; i < runs; ++i)); do
    fresh_copy
    t0=$(now_us); convert; t1=$(now_us)
    check_converted
    small+=($(( t1 - t0 )))
    # Starting the process alone (no arguments: the usage message).
    t0=$(now_us); "$converter" >/dev/null 2>&1 || true; t1=$(now_us)
    start+=($(( t1 - t0 )))
done
m=$(printf '%s\n' "${small[@]}" | median)
b=$(printf '%s\n' "${start[@]}" | median)
printf 'layout 4, 32-page map: median %s ms over %d runs (process start alone %s ms, so %s ms net), peak RSS %s KiB\n' \
    "$(ms "$m")" "$runs" "$(ms "$b")" "$(awk -v a="$m" -v b="$b" 'BEGIN {printf "%.3f", (a - b) / 1000}')" "$(peak_rss_kib)"

[[ -n $sizes ]] && echo "map    layout  convert ms  cp ms     ratio  cp+sync ms  ratio  peak RSS     calls/MiB"
for s in $sizes; do
    pages=$(( s * 256 ))
    for layout in 2 4; do
        make_image "$layout" "$pages"
        conv=() copy=() synced=()
        for ((i = 0; i < runs; ++i)); do
            fresh_copy
            t0=$(now_us); convert; t1=$(now_us)
            check_converted
            conv+=($(( t1 - t0 )))
            rm -f "$work"/c.*
            # The converter flushes what it wrote and cp does not: the copy
            # is also given with its own flush, for the same footing.
            t0=$(now_us); cp --reflink=never "$work/p.nbbitmap" "$work/c.nbbitmap"; t1=$(now_us)
            sync "$work/c.nbbitmap"; t2=$(now_us)
            copy+=($(( t1 - t0 ))) synced+=($(( t2 - t0 )))
        done
        rss=$(peak_rss_kib)
        calls=$(syscalls)
        rm -f "$work"/[wc].*
        c=$(printf '%s\n' "${conv[@]}" | median)
        k=$(printf '%s\n' "${copy[@]}" | median)
        y=$(printf '%s\n' "${synced[@]}" | median)
        printf '%-6s %-7s %-11s %-9s %-6s %-11s %-6s %-12s %s\n' "${s}M" "$layout" "$(ms "$c")" "$(ms "$k")" \
            "$(ratio "$c" "$k")" "$(ms "$y")" "$(ratio "$c" "$y")" "$rss KiB" "$(ratio "$calls" "$s")"
    done
done

