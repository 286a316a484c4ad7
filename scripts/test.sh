#!/usr/bin/env bash
# Installs what is missing, builds Tintorel and runs the whole test suite through ctest; then builds
# it again with clang, instrumented with AddressSanitizer and UndefinedBehaviorSanitizer, runs the
# whole suite there, and runs each fuzz target for a bounded time (FUZZ_SECONDS, 60 by default).
# After the suite it builds the Debian package and checks it, installed into a Debian 12 chroot.
# Each step says how long it took, to keep CI within its time.
set -euo pipefail
cd "$(dirname "$0")/.."

timed() {
    local start=$SECONDS
    "$@"
    echo "-- $*: $((SECONDS - start)) s"
}

timed scripts/install-deps.sh
timed scripts/build.sh
timed ctest --test-dir build --output-on-failure -j 2 --timeout 300
timed scripts/package-check.sh
timed scripts/sanitize.sh
timed scripts/fuzz.sh
