#!/usr/bin/env bash
# Builds the header fuzzer with clang, makes its seed corpus and fuzzes for
# the given seconds (default 60). Fails on any crash, leak or sanitizer report.
# NB_FUZZ_BUILD names the build folder (default: build-fuzz in the source tree).
set -euo pipefail
seconds="${1:-60}"
source_dir="$(cd "$(dirname "$0")/../.." && pwd)"
build_dir="${NB_FUZZ_BUILD:-$source_dir/build-fuzz}"

cmake -S "$source_dir" -B "$build_dir" -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DNB_BUILD_FUZZ=ON -DNB_SANITIZE=ON -DNB_WERROR="${NB_WERROR:-OFF}" >/dev/null
ninja -C "$build_dir" -j2 header_fuzzer make_fuzz_corpus

corpus="$build_dir/fuzz-corpus"
seeds="$build_dir/fuzz-seeds"
rm -rf "$seeds"
"$build_dir/tests/fuzz/make_fuzz_corpus" "$seeds"
mkdir -p "$corpus"
# Inputs are a mode byte, three body lengths and three heads of up to 1 KiB.
"$build_dir/tests/fuzz/header_fuzzer" -max_total_time="$seconds" -max_len=3200 -timeout=20 -rss_limit_mb=4096 \
  -print_final_stats=1 -artifact_prefix="$build_dir/" "$corpus" "$seeds"
