#!/usr/bin/env bash
# Builds the converter, makes a sample layout 2 image in a temporary folder
# and converts it, showing what the converter prints.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
nb_install_missing cmake ninja-build g++ libgtest-dev libgmock-dev

cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=Release -DNB_BUILD_TESTS=OFF >/dev/null
ninja -C build-release >/dev/null

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
echo "== Making a layout 2 sample image in $work"
build-release/tools/nbmkimage --layout 2 --image-size 40000 --map-content random --seed 7 \
    "$work/img" "$work/img" "$work/img"
ls -l "$work"
echo
echo "== NimbraConvert $work/img $work/img $work/img"
set +e
build-release/NimbraConvert "$work/img" "$work/img" "$work/img"
status=$?
set -e
echo "(exit status $status)"
echo
ls -l "$work"
if [ -x build-release/tools/nbinfo ]; then
    echo
    echo "== nbinfo $work/img $work/img $work/img"
    build-release/tools/nbinfo "$work/img" "$work/img" "$work/img"
fi
exit "$status"
