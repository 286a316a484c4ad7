#!/usr/bin/env bash
# Configures and builds Tintorel into build/ (two parallel jobs unless JOBS says otherwise).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/compiler-cache.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "${cache_args[@]}" >/dev/null
cmake --build build -j "${JOBS:-2}"
