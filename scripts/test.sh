#!/usr/bin/env bash
# Installs what is needed, builds and runs every test.  Idempotent.
# Stages: every test on the plain build ("plain"), clang-tidy over src and
# tests with the plain build's compile commands ("tidy"), the unit and system tests
# under AddressSanitizer + UndefinedBehaviorSanitizer ("asan"), the threaded
# system tests under ThreadSanitizer ("tsan"), each fuzz target for 20 s
# ("fuzz").  All by default; a few can be picked:
#   VELK_TEST_STAGES=plain bash scripts/test.sh
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
stages=${VELK_TEST_STAGES:-plain tidy asan tsan fuzz}
jobs=$(nproc)

bash scripts/install-deps.sh

stage() { printf '\n== %s (%s)\n' "$1" "$(date +%T)"; }

run_ctest() {
    local dir=$1
    shift
    # No second tries: a test that fails once is a fault to find.
    (cd "$dir" && ctest -j "$jobs" --output-on-failure --timeout 300 "$@")
}

stage "format check"
git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run --Werror

for name in $stages; do
    case "$name" in
        plain)
            stage "plain build and every test"
            bash scripts/build.sh build
            run_ctest build
            ;;
        tidy)
            stage "clang-tidy over src and tests"
            [ -f build/compile_commands.json ] || bash scripts/build.sh build
            run-clang-tidy -p build -j "$jobs" -quiet "$root/(src|tests)/" > build/clang-tidy.log 2>&1 || {
                grep -E 'error:|warning:' build/clang-tidy.log | sort -u
                echo "clang-tidy found problems: see build/clang-tidy.log" >&2
                exit 1
            }
            ;;
        asan)
            stage "AddressSanitizer + UndefinedBehaviorSanitizer: unit and system tests"
            bash scripts/build.sh build-asan -DVELK_SANITIZE=address,undefined -DVELK_BUILD_BENCH=OFF
            # The package and the main job are checked on the plain build.
            ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1 \
                run_ctest build-asan -E 'PackageInstalls|MainJob'
            ;;
        tsan)
            stage "ThreadSanitizer: the threaded system tests"
            bash scripts/build.sh build-tsan -DVELK_SANITIZE=thread -DVELK_BUILD_BENCH=OFF
            TSAN_OPTIONS="suppressions=$root/tests/tsan.supp:halt_on_error=1:second_deadlock_stack=1" \
                run_ctest build-tsan -L '^(proxy_|kiosk_system|kiosk_entry|faults_)'
            ;;
        fuzz)
            stage "fuzz targets, 20 s each"
            bash fuzz/run_fuzzers.sh 20
            ;;
        *)
            echo "unknown stage: $name" >&2
            exit 2
            ;;
    esac
done
stage "all stages passed"
