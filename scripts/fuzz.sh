#!/usr/bin/env bash
# Runs each fuzz target of build-asan/ (built by scripts/sanitize.sh) for a bounded time, all of them
# at once, over its seeds and the inputs kept in fuzz/regressions/. Fails on any crash, leak, input
# that takes more than 10 s or memory beyond 1 GB. The input at fault is left in
# build-asan/fuzz-findings/<target>/; once the fault is fixed it belongs in fuzz/regressions/<target>/.
#
# usage: scripts/fuzz.sh [SECONDS [TARGET...]]    SECONDS: FUZZ_SECONDS, else 60; TARGET: stamp,
# settings, args or splice, else all four
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-${FUZZ_SECONDS:-60}}
targets=("${@:2}")
[ ${#targets[@]} -gt 0 ] || targets=(stamp settings args splice)
source scripts/sanitizer-options.sh

work=build-asan/fuzz-work
rm -rf "$work"
mkdir -p "$work"
# The pictures of every format, made as the tests make them, beside the PngSuite.
build-asan/fuzz/fuzz_seeds "$work/seeds-stamp"

pids=()
for target in "${targets[@]}"; do
    findings=build-asan/fuzz-findings/$target
    mkdir -p "$findings" "$work/corpus-$target"
    options=(-max_total_time="$seconds" -timeout=10 -rss_limit_mb=1024 -print_final_stats=1
        -artifact_prefix="$findings/")
    [ -f "fuzz/$target.dict" ] && options+=(-dict="fuzz/$target.dict")
    inputs=("$work/corpus-$target")
    for folder in "fuzz/regressions/$target" "fuzz/seeds/$target" "$work/seeds-$target"; do
        [ -d "$folder" ] && inputs+=("$folder")
    done
    [ "$target" = stamp ] && inputs+=(tests/data/pngsuite)
    limits=$ASAN_OPTIONS
    # Qt's reader of stored values reserves room for as many items as a value declares. Without the
    # sanitizer that takes address space only (19 MB resident for a declared 20 GB), but
    # AddressSanitizer's bookkeeping of it is resident: a reservation beyond the memory limit fails
    # instead, as it fails on a system that cannot give it, and Qt reads on.
    [ "$target" = settings ] && limits+=":max_allocation_size_mb=1024"
    ASAN_OPTIONS=$limits "build-asan/fuzz/fuzz_$target" "${options[@]}" "${inputs[@]}" \
        >"$work/$target.log" 2>&1 &
    pids+=($!)
done

status=0
for i in "${!targets[@]}"; do
    target=${targets[$i]}
    if wait "${pids[$i]}"; then
        runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/$target.log")
        echo "fuzz_$target: ${runs:-?} inputs in ${seconds} s, nothing found"
    else
        echo "fuzz_$target FAILED; the input is in build-asan/fuzz-findings/$target/:" >&2
        tail -n 80 "$work/$target.log" >&2
        status=1
    fi
done
exit "$status"
