#!/usr/bin/env bash
# Configures and builds Tintorel into build/ (two parallel jobs unless JOBS says otherwise).
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "${JOBS:-2}"
