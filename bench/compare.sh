#!/usr/bin/env bash
# Times whole conversions of large sample images against a plain copy of their
# map file and against the floor of a conversion that shares the map's
# extents, on several file systems, and reports the converter's peak resident
# memory.
#
#   bench/compare.sh [-b BUILD_DIR] [-n RUNS] [-d WORK_DIR] [-s "SIZES_MIB"]
#                    [-f "FILE_SYSTEMS"] [-e N | -c N] [-B]
#
# BUILD_DIR holds NimbraConvert and tools/nbmkimage (default: build beside
# this script's folder). RUNS per measurement (default 5). WORK_DIR (default a
# new mktemp -d under /var/tmp, removed at the end) needs about 4.5 times the
# largest map size plus 256 MiB free. SIZES_MIB are the map sizes (default
# "256 1024"; up to 16384, the largest map a 32-bit image size allows); a
# size that does not fit in the free space is skipped with a note.
# FILE_SYSTEMS (default "own xfs btrfs") names where to measure: "own" (or its
# real type, as findmnt gives it) is WORK_DIR's own file system; xfs, btrfs
# or ext4 (another than the own one) is made by mkfs.TYPE in a sparse file
# in WORK_DIR, sized for the largest map, bound to a loop device with direct
# I/O (losetup --direct-io=on: it writes through to the disk, not into the
# page cache of its image file once more; its rows say "(dio)"; -B binds it
# without) and mounted on a mktemp -d mount point, and unmounted and removed
# when its measurements are done or the script stops (also on failure or
# Ctrl-C). That needs root and the package of mkfs.TYPE (xfsprogs,
# btrfs-progs, e2fsprogs): without them, or when the mount fails, the file
# system is skipped with a note.
#
# On each file system, first a layout 4 image with a small map is converted
# RUNS times and the median time given in ms, beside the time to start the
# program alone: 32 map pages, the fewest that give the 135,168 bytes every
# file needs for its head backup. Then, for each size and for layouts 2 and
# 4, one image whose map holds size/4 KiB pages (image size = pages x 1024
# blocks, at most 2^32 - 1; random content with a quarter of the pages
# dropped, small data and metadata files) is made and read once so the page
# cache is warm, and the script alternates a full conversion of a fresh copy
# (copied and synced outside the timing) with cp --reflink=never of the map
# file, timed alone ("cp") and with a sync of the copy ("cp+sync"), and with
# the floor of a conversion that shares the map's extents ("floor"): a cat of
# the warm map to /dev/null, cp --reflink=auto of it and a sync of the copy
# (a full copy where the file system cannot share extents). Every removal is
# synced outside the timings too. It prints the medians and the conversion's
# ratio to each, in one table at the end. One more conversion of each image
# runs under /usr/bin/time -v for its peak resident set size, and one under
# strace -c for the number of system calls it makes per MiB of map.
# With -e N the maps drop every N-th page instead of a random quarter: long
# groups of kept pages, which a layout 4 map shares on XFS and btrfs where it
# cannot share a random map's short groups. With -c N they drop a random
# quarter of their clusters of N pages: dropped and kept regions of random
# lengths, as the unused regions of a real image leave them.
set -euo pipefail
export LC_ALL=C

here=$(cd "$(dirname "$0")" && pwd)
build="$here/../build"
runs=5
work=""
sizes="256 1024"
filesystems="own xfs btrfs"
every=""
cluster=""
direct=1
while getopts "b:n:d:s:f:e:c:Bh" opt; do
    case $opt in
    b) build=$OPTARG ;;
    n) runs=$OPTARG ;;
    d) work=$OPTARG ;;
    s) sizes=$OPTARG ;;
    f) filesystems=$OPTARG ;;
    e) every=$OPTARG ;;
    c) cluster=$OPTARG ;;
    B) direct=0 ;;
    *) sed -n '2,50p' "$0"; exit 2 ;;
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

# A progress line on a terminal, erased before every note and at the end.
progress_shown=0
progress() {
    [[ -t 2 ]] || return 0
    printf '\r\033[K%s' "$*" >&2
    progress_shown=1
}
progress_end() {
    ((progress_shown)) && printf '\r\033[K' >&2
    progress_shown=0
}
note() { progress_end; echo "note: $*" >&2; }

own_work=0
if [[ -z $work ]]; then
    work=$(mktemp -d /var/tmp/nbcompare.XXXXXX)
    own_work=1
fi
mkdir -p "$work"
work=$(cd "$work" && pwd)

# The loop file systems made, each a mount point and its image file; the
# cleanup unmounts and removes whatever is still there.
mounts=() images=()
unmount_fs() {
    local mnt=$1 img=$2 dev
    if mountpoint -q "$mnt" 2>/dev/null; then
        umount "$mnt" 2>/dev/null || { sleep 1; umount "$mnt"; } || umount -l "$mnt" ||
            echo "note: could not unmount $mnt" >&2
    fi
    rmdir "$mnt" 2>/dev/null || true
    if [[ -e $img ]]; then
        # Every loop device still bound to this image is detached.
        for dev in $(losetup -n -O NAME -j "$img" 2>/dev/null); do losetup -d "$dev" 2>/dev/null || true; done
        rm -f "$img"
    fi
}
cleanup() {
    set +e
    progress_end
    local i
    for i in "${!mounts[@]}"; do unmount_fs "${mounts[i]}" "${images[i]}"; done
    if ((own_work)); then
        rm -rf --one-file-system "$work"
    else
        rm -f "$work"/[pwc].* "$work"/rss.txt "$work"/out.txt "$work"/strace.txt "$work"/nbcompare-*.img
    fi
}
trap cleanup EXIT
trap 'exit 129' HUP
trap 'exit 130' INT
trap 'exit 143' TERM

# Peak use for one image: its original, the converted working copy, the
# converter's whole-map backup and one copy of the map, plus small files:
# keep 4.5 times the map size and 256 MiB free. A loop file system is made
# that large for the largest map.
need_mib() { echo $(( $1 * 9 / 2 + 256 )); }
free_mib() { echo $(( $(df -Pk "$1" | awk 'NR==2 {print $4}') / 1024 )); }

# The sizes that fit in FREE MiB, with a note for each one left out.
fitting_sizes() {
    local free=$1 where=$2 s fit=""
    for s in $sizes; do
        if (( $(need_mib "$s") <= free )); then
            fit+="$s "
        else
            note "skipping the ${s} MiB map on $where: $free MiB free in $work, it needs $(need_mib "$s")"
        fi
    done
    echo "$fit"
}

own_type=$(findmnt -n -o FSTYPE -T "$work" 2>/dev/null || true)
[[ -n $own_type ]] || own_type=$(stat -f -c %T "$work")

# The file systems asked for, in order, each once: "own", or a type to make.
selected=()
for name in $filesystems; do
    [[ $name == "$own_type" ]] && name=own
    case $name in
    own | xfs | btrfs | ext4) ;;
    *) echo "unknown file system '$name': give own (here $own_type), xfs, btrfs or ext4" >&2; exit 2 ;;
    esac
    [[ " ${selected[*]-} " == *" $name "* ]] || selected+=("$name")
done

now_us() { echo $(( ${EPOCHREALTIME/./} )); }

median() { sort -n | awk '{v[NR] = $1} END {if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2}'; }

ratio() { awk -v a="$1" -v b="$2" 'BEGIN {printf "%.2f", a / b}'; }

ms() { awk -v us="$1" 'BEGIN {printf "%.3f", us / 1000}'; }

# The folder measured in, on the file system measured.
dir=""

# Flushes whatever the file system of the measurements has pending, such as
# removals, so that it does not fall inside the next timing.
settle() { sync -f "$dir"; }

# Makes the original image p.* for a layout and a page count.
make_image() {
    local layout=$1 pages=$2 blocks=$(( $2 * 1024 ))
    (( blocks <= 4294967295 )) || blocks=4294967295
    rm -f "$dir"/[pwc].*
    local content=(--map-content random --drop-percent 25)
    [[ -n $cluster ]] && content+=(--drop-cluster "$cluster")
    [[ -n $every ]] && content=(--map-content sparse --drop-every "$every")
    "$mkimage" --layout "$layout" --image-size "$blocks" "${content[@]}" \
        --data-size 1048576 --metadata-size 262144 "$dir/p" "$dir/p" "$dir/p" >/dev/null
    cat "$dir"/p.* >/dev/null
    sync
}

# A fresh working copy w.* of the original, synced so that the converter's
# flushes pay only for what it writes itself.
fresh_copy() {
    rm -f "$dir"/w.* "$dir"/c.*
    for ext in nbbitmap nbdata nbmetadata; do cp --reflink=never "$dir/p.$ext" "$dir/w.$ext"; done
    sync "$dir"/w.*
    settle
}

# Runs the converter on the working copy, under the wrapper given, if any;
# the check of its output comes after, so it never falls inside a timing. A
# converter stopped by a signal it held (exit 128 + the signal) stops the
# script as well.
convert() {
    local rc=0
    "$@" "$converter" "$dir/w" "$dir/w" "$dir/w" >"$work/out.txt" 2>/dev/null || rc=$?
    case $rc in 129 | 130 | 131 | 143) exit "$rc" ;; esac
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

# The table's rows, tab-separated, printed aligned at the end.
table=$'fs\tmap\tlayout\tconvert ms\tcp ms\tratio\tcp+sync ms\tratio\tfloor ms\tratio\tpeak RSS\tcalls/MiB\n'
rows=0

# Every measurement on the file system FS, in the folder $dir, for the sizes
# given.
measure() {
    local fs=$1 fit=$2 i s layout pages t0 t1 t2 m b c k y f rss calls
    local small=() start=() conv=() copy=() synced=() floor=()
    # The small map first, before the large images leave writeback behind.
    progress "$fs: 32-page map"
    make_image 4 32
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
    rss=$(peak_rss_kib)
    progress_end
    printf '%s: layout 4, 32-page map: median %s ms over %d runs (process start alone %s ms, so %s ms net), peak RSS %s KiB\n' \
        "$fs" "$(ms "$m")" "$runs" "$(ms "$b")" "$(awk -v a="$m" -v b="$b" 'BEGIN {printf "%.3f", (a - b) / 1000}')" "$rss"

    for s in $fit; do
        pages=$(( s * 256 ))
        for layout in 2 4; do
            progress "$fs: ${s} MiB map, layout $layout"
            make_image "$layout" "$pages"
            conv=() copy=() synced=() floor=()
            for ((i = 0; i < runs; ++i)); do
                fresh_copy
                t0=$(now_us); convert; t1=$(now_us)
                check_converted
                conv+=($(( t1 - t0 )))
                rm -f "$dir"/c.*
                settle
                # The converter flushes what it wrote and cp does not: the
                # copy is also given with its own flush, for the same footing.
                t0=$(now_us); cp --reflink=never "$dir/p.nbbitmap" "$dir/c.nbbitmap"; t1=$(now_us)
                sync "$dir/c.nbbitmap"; t2=$(now_us)
                copy+=($(( t1 - t0 ))) synced+=($(( t2 - t0 )))
                rm -f "$dir"/c.*
                settle
                # The floor of a conversion that shares the map's extents: it
                # reads the whole map once, then shares it into a new file.
                t0=$(now_us)
                cat "$dir/p.nbbitmap" >/dev/null
                cp --reflink=auto "$dir/p.nbbitmap" "$dir/c.nbbitmap"
                sync "$dir/c.nbbitmap"
                t1=$(now_us)
                floor+=($(( t1 - t0 )))
            done
            rss=$(peak_rss_kib)
            calls=$(syscalls)
            rm -f "$dir"/[wc].*
            c=$(printf '%s\n' "${conv[@]}" | median)
            k=$(printf '%s\n' "${copy[@]}" | median)
            y=$(printf '%s\n' "${synced[@]}" | median)
            f=$(printf '%s\n' "${floor[@]}" | median)
            table+=$(printf '%s\t' "$fs" "${s}M" "$layout" "$(ms "$c")" "$(ms "$k")" "$(ratio "$c" "$k")" \
                "$(ms "$y")" "$(ratio "$c" "$y")" "$(ms "$f")" "$(ratio "$c" "$f")" "$rss KiB")
            table+="$(ratio "$calls" "$s")"$'\n'
            rows=$(( rows + 1 ))
        done
    done
    progress_end
    rm -f "$dir"/[pwc].*
}

# Makes, mounts and measures a loop file system of type FS; a note and
# nothing else when that cannot be done.
measure_loop() {
    local fs=$1 mkfs fit s largest=0 size mnt img out rc=0
    if [[ $(id -u) != 0 ]]; then
        note "skipping $fs: mounting a loop file system needs root"
        return 0
    fi
    mkfs=$(PATH=$PATH:/usr/sbin:/sbin command -v "mkfs.$fs" || true)
    if [[ ! -f $mkfs || ! -x $mkfs ]]; then
        local package
        case $fs in xfs) package=xfsprogs ;; btrfs) package=btrfs-progs ;; *) package=e2fsprogs ;; esac
        note "skipping $fs: mkfs.$fs is missing (package $package)"
        return 0
    fi
    fit=$(fitting_sizes "$(free_mib "$work")" "$fs")
    for s in $fit; do (( s > largest )) && largest=$s; done
    size=$(need_mib "$largest")
    (( size >= 512 )) || size=512   # mkfs.xfs wants 300 MiB at least
    if (( size > $(free_mib "$work") )); then
        note "skipping $fs: $(free_mib "$work") MiB free in $work, its file system needs $size"
        return 0
    fi
    mnt=$(mktemp -d "${TMPDIR:-/tmp}/nbcompare-$fs.XXXXXX")
    img="$work/nbcompare-$fs.img"
    mounts+=("$mnt") images+=("$img")
    rm -f "$img"
    truncate -s "${size}M" "$img"
    case $fs in
    xfs) out=$("$mkfs" -q -f -m reflink=1 "$img" 2>&1) || rc=$? ;;
    btrfs) out=$("$mkfs" -q -f "$img" 2>&1) || rc=$? ;;
    *) out=$("$mkfs" -q -F "$img" 2>&1) || rc=$? ;;
    esac
    if ((rc)); then
        note "skipping $fs: mkfs.$fs failed (exit $rc)${out:+: $(echo "$out" | head -n 1)}"
        unmount_fs "$mnt" "$img"
        return 0
    fi
    # With direct I/O the loop device writes through to the disk as a file
    # system on a disk of its own would, not into the page cache of the
    # image file once more (which makes flushes cheap and uneven).
    local dev dio=""
    if ((direct)); then
        dev=$(losetup --direct-io=on -f --show "$img" 2>&1) || rc=$?
        if ((rc)); then
            out=$dev
        elif [[ $(cat "/sys/block/${dev#/dev/}/loop/dio" 2>/dev/null) == 1 ]]; then
            dio=" (dio)"
        else
            note "$fs: the loop device could not use direct I/O; it writes through the page cache of $img"
        fi
    else
        dev=$(losetup -f --show "$img" 2>&1) || { rc=$?; out=$dev; }
    fi
    ((rc)) || out=$(mount "$dev" "$mnt" 2>&1) || rc=$?
    if ((rc)); then
        note "skipping $fs: mounting a loop device failed (exit $rc)${out:+: $(echo "$out" | head -n 1)}"
        unmount_fs "$mnt" "$img"
        return 0
    fi
    dir=$mnt
    measure "$fs$dio" "$fit"
    unmount_fs "$mnt" "$img"
}

for name in "${selected[@]}"; do
    if [[ $name == own ]]; then
        dir=$work
        measure "$own_type" "$(fitting_sizes "$(free_mib "$work")" "$own_type")"
    else
        measure_loop "$name"
    fi
done

# The table, each column as wide as its widest cell.
if ((rows)); then
    printf '%s' "$table" | awk -F'\t' '
        {for (i = 1; i <= NF; ++i) {cell[NR, i] = $i; if (length($i) > width[i]) width[i] = length($i)}; n[NR] = NF}
        END {for (r = 1; r <= NR; ++r) {line = ""
                 for (i = 1; i <= n[r]; ++i) line = line (i < n[r] ? sprintf("%-" width[i] "s  ", cell[r, i]) : cell[r, i])
                 print line}}'
fi
