#!/usr/bin/env bash
# Installs what is missing, builds Tintorel and runs the whole test suite through ctest; then builds
# it again with clang, instrumented with AddressSanitizer and UndefinedBehaviorSanitizer, runs the
# whole suite there, and runs each fuzz target for a bounded time (FUZZ_SECONDS, 60 by default).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh
(cd build && ctest --output-on-failure -j 2 --timeout 300)
scripts/sanitize.sh
scripts/fuzz.sh
