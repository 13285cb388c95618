#!/usr/bin/env bash
# Builds everything with the sanitizers and runs every test; non-zero on failure.
set -euo pipefail
cd "$(dirname "$0")"
source scripts/deps.sh
ensure_packages build test
cmake -S . -B build-test -DCMAKE_BUILD_TYPE=Debug -DQUELLON_SANITIZE=ON -DBUILD_TESTING=ON \
  >/dev/null
cmake --build build-test -j"$(nproc)"
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}
# The media libraries load glib and others whose thread-local blocks LeakSanitizer
# cannot walk; it skips thread-local storage and knows their lasting allocations.
export LSAN_OPTIONS=${LSAN_OPTIONS:-use_tls=0:suppressions=$PWD/tests/lsan.supp}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
# The GUI tests draw on Qt's offscreen platform: no display is needed.
export QT_QPA_PLATFORM=offscreen
ctest --test-dir build-test --output-on-failure -j"$(nproc)"
