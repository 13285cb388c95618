#!/usr/bin/env bash
# Builds the libFuzzer target with clang (ASan, UBSan) and fuzzes the input
# side with one worker. New inputs go to <build>/fuzz-corpus, findings to
# <build>/fuzz-artifacts; the generated seeds are read from <build>/fuzz-seeds.
#
# Usage: tests/fuzz/run_fuzz.sh [SECONDS] [more libFuzzer options]
#   SECONDS defaults to 600. QUELLON_FUZZ_BUILD names the build folder
#   (default build-fuzz).
set -euo pipefail
cd "$(dirname "$0")/../.."
seconds=${1:-600}
(($# > 0)) && shift
source scripts/deps.sh
ensure_packages build test fuzz
build=${QUELLON_FUZZ_BUILD:-build-fuzz}
CC=clang CXX=clang++ cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DQUELLON_SANITIZE=ON -DQUELLON_FUZZ=ON -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target fuzz_input
tests/fuzz/make_corpus.sh "$build/fuzz-seeds"
mkdir -p "$build/fuzz-corpus" "$build/fuzz-artifacts" "$build/fuzz-tmp"
# A crashed input leaves its temporary folder behind: keep those in the build.
export TMPDIR=$PWD/$build/fuzz-tmp
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
export LSAN_OPTIONS=${LSAN_OPTIONS:-use_tls=0:suppressions=$PWD/tests/lsan.supp}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
exec "$build/fuzz_input" "$build/fuzz-corpus" "$build/fuzz-seeds" \
  -max_total_time="$seconds" -rss_limit_mb=2048 -timeout=20 -max_len=65536 \
  -detect_leaks=1 -print_final_stats=1 -artifact_prefix="$build/fuzz-artifacts/" "$@"
