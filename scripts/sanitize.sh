#!/usr/bin/env bash
# Builds Tintorel with clang into build-asan/, every target instrumented with AddressSanitizer and
# UndefinedBehaviorSanitizer and the fuzz targets beside them, and runs the whole test suite there.
# A memory error, a leak or undefined behaviour in a test, or in a program that a test starts,
# fails the run: every report is written to build-asan/sanitizer-reports/ and shown at the end.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/compiler-cache.sh
# Line tables are all the reports need to name files and lines, at a fraction of the compile time
# of full debug information.
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++-14 \
    -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -gline-tables-only -DNDEBUG" -DTINTOREL_FUZZ=ON \
    "${cache_args[@]}" >/dev/null
start=$SECONDS
cmake --build build-asan -j "${JOBS:-2}"
echo "-- sanitizer build: $((SECONDS - start)) s"

source scripts/sanitizer-options.sh
reports=$PWD/build-asan/sanitizer-reports
rm -rf "$reports"
mkdir -p "$reports"
# Some tests run the command line as another user, whose reports must land here too.
chmod 1777 "$reports"
export ASAN_OPTIONS="$ASAN_OPTIONS:log_path=$reports/report"
export UBSAN_OPTIONS="$UBSAN_OPTIONS:log_path=$reports/report"

status=0
(cd build-asan && ctest --output-on-failure -j 2 --timeout 900) || status=$?
if [ -n "$(ls -A "$reports")" ]; then
    for report in "$reports"/*; do
        echo "=== $report" >&2
        cat "$report" >&2
    done
    status=1
fi
exit "$status"
