#!/usr/bin/env bash
# Builds Quellon in Release (installing what is missing) and starts it.
set -euo pipefail
cd "$(dirname "$0")"
source scripts/deps.sh
ensure_packages build
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build build -j"$(nproc)"
exec ./build/quellon "$@"
