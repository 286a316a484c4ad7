#!/usr/bin/env bash
# Installs what is missing, builds Tintorel and runs the whole test suite through ctest.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh
cd build
ctest --output-on-failure -j 2 --timeout 300
