#!/usr/bin/env bash
# Builds Quellon in Release (installing what is missing) and starts it. Without
# a display it builds quietly and points to the command-line converter.
set -euo pipefail
cd "$(dirname "$0")"
source scripts/deps.sh
ensure_packages build
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
if [[ -z ${DISPLAY:-} && -z ${WAYLAND_DISPLAY:-} ]]; then
  log=build/build.log
  cmake --build build -j"$(nproc)" >"$log" 2>&1 || { cat "$log" >&2; exit 1; }
  echo "No display (DISPLAY and WAYLAND_DISPLAY are unset), so the window cannot open: convert from a terminal with ./build/quellon-cli instead." >&2
  exit 1
fi
cmake --build build -j"$(nproc)"
exec ./build/quellon "$@"
