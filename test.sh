#!/usr/bin/env bash
# Builds everything twice and runs every test against each build: Debug with
# the sanitizers (build-test), then Release as users run it (build-release, no
# sanitizers). Non-zero when either build or either test run fails; a failed
# step does not keep the other build from being built and tested.
set -euo pipefail
cd "$(dirname "$0")"
source scripts/deps.sh
ensure_packages build test
jobs=$(nproc)
# Both builds' tests take their generated media from one folder: each file is
# made once, by whichever test wants it first, under the folder's lock.
fixtures=$PWD/build-test/fixtures
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}
# The media libraries load glib and others whose thread-local blocks LeakSanitizer
# cannot walk; it skips thread-local storage and knows their lasting allocations.
export LSAN_OPTIONS=${LSAN_OPTIONS:-use_tls=0:suppressions=$PWD/tests/lsan.supp}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
# The GUI tests draw on Qt's offscreen platform: no display is needed.
export QT_QPA_PLATFORM=offscreen

status=0
timings=()
# step NAME COMMAND...: runs one step under a heading and notes its wall time.
step() {
  local name=$1 start=$SECONDS rc=0
  shift
  echo "==== $name"
  "$@" || rc=$?
  local note="$((SECONDS - start)) s$([[ $rc -eq 0 ]] || echo ", FAILED")"
  timings+=("$(printf '%-38s %s' "$name:" "$note")")
  [[ $rc -eq 0 ]] || status=1
  return $rc
}
build() {  # build DIR CMAKE-ARGS...
  local dir=$1
  shift
  cmake -S . -B "$dir" "$@" -DBUILD_TESTING=ON -DQUELLON_FIXTURE_DIR="$fixtures" >/dev/null &&
    cmake --build "$dir" -j"$jobs"
}
run_tests() { ctest --test-dir "$1" --output-on-failure -j"$jobs"; }

if step "Debug+sanitizers build (build-test)" build build-test -DCMAKE_BUILD_TYPE=Debug \
  -DQUELLON_SANITIZE=ON; then
  step "Debug+sanitizers tests (build-test)" run_tests build-test || true
fi
built=0
step "Release build (build-release)" build build-release -DCMAKE_BUILD_TYPE=Release \
  -DQUELLON_SANITIZE=OFF && built=1
echo "==== Wall time so far"
printf '  %s\n' "${timings[@]}"
# The Release tests come last: ctest's closing lines (with its total time) end
# the output.
if [[ $built -eq 1 ]]; then
  step "Release tests (build-release)" run_tests build-release || true
fi
if [[ $status -ne 0 ]]; then
  echo "==== FAILED:" >&2
  printf '  %s\n' "${timings[@]}" | grep FAILED >&2
fi
exit $status
