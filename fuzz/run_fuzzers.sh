#!/usr/bin/env bash
# Builds the libFuzzer targets and runs each, one after the other, for the
# given seconds (default 20) on a scratch copy of its committed corpus.  Any
# finding fails the run; the input that caused it is kept under the build
# directory's fuzz-findings/ and the end of the fuzzer's output is printed.
set -euo pipefail

seconds="${1:-20}"
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${VELK_FUZZ_BUILD_DIR:-$root/build-fuzz}"

# Two targets read files rewritten for every input; on a disk-backed /tmp
# that costs them two orders of magnitude in executions.
if [ -z "${TMPDIR:-}" ] && [ -d /dev/shm ] && [ -w /dev/shm ]; then
    export TMPDIR=/dev/shm
fi

cmake -S "$root" -B "$build" -DCMAKE_CXX_COMPILER=clang++ -DVELK_FUZZ=ON -DVELK_BUILD_TESTS=OFF -DVELK_ASSERTIONS=ON >/dev/null
cmake --build "$build" --target velk_fuzzers -j"$(nproc)"

scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT
findings="$build/fuzz-findings"
mkdir -p "$findings"

passed=0
failed=0
for corpus in "$root"/fuzz/corpus/*/; do
    target="$(basename "$corpus")"
    cp -r "$corpus" "$scratch/$target"
    log="$scratch/$target.log"
    if "$build/bin/$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -print_final_stats=1 -artifact_prefix="$findings/$target-" "$scratch/$target" >"$log" 2>&1; then
        runs="$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")"
        echo "$target: no finding, ${runs:-?} executions in ${seconds} s"
        passed=$((passed + 1))
    else
        echo "$target: FINDING (input kept in $findings)"
        tail -n 60 "$log"
        failed=$((failed + 1))
    fi
done

echo "fuzz: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
