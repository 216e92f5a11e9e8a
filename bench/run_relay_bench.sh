#!/usr/bin/env bash
# Builds the programs optimised and runs every relay benchmark suite twice: on
# every CPU, then with everything (benchmark, proxy, haproxy, transports, bus)
# pinned to one CPU with taskset, since wake-ups across CPUs dominate round
# trips on a two-core machine. Needs root (apt, reading the proxy's pipes).
#   bench/run_relay_bench.sh [--reps N] [--suite stream|setup|interactive|sessions|all] [relay_bench options]
# The suites, their options and what each row means: bench/relay_bench.cpp.
# With the stream suite (and with all of them, the default) the relay ceiling
# follows: DIRECT and velk_proxy against trivial copiers, the most a relay
# reaches on this machine, in bulk (pinned) and for a byte after a quiet
# moment (on every CPU and pinned; bench/relay_ceiling.cpp).
# With the defaults (3 repetitions, all suites) a run takes about 25 minutes.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

bash scripts/install-deps.sh
dpkg-query -W -f='${Status}\n' haproxy 2>/dev/null | grep -q '^install ok installed' ||
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends haproxy

bash scripts/build.sh build-bench -DCMAKE_BUILD_TYPE=Release > /dev/null
bench=build-bench/bin/relay_bench

echo "velk $(git rev-parse --short HEAD)$(git diff --quiet HEAD -- src || echo ' (src/ changed)'), $(nproc) CPUs, $(uname -r)"
echo "== all CPUs"
"$bench" "$@"
echo
echo "== pinned to CPU 0"
taskset -c 0 "$bench" "$@"

suite=all
reps=()
for ((i = 1; i < $#; ++i)); do
    case "${!i}" in
        --suite) next=$((i + 1)); suite=${!next} ;;
        --reps) next=$((i + 1)); reps=(--reps "${!next}") ;;
    esac
done
if [ "$suite" = all ] || [ "$suite" = stream ]; then
    echo
    ceiling=build-bench/bin/relay_ceiling
    echo "== bulk ceiling, pinned to CPU 0"
    taskset -c 0 "$ceiling" "${reps[@]}"
    for where in "all CPUs" "pinned to CPU 0"; do
        pinning=()
        [ "$where" = "all CPUs" ] || pinning=(taskset -c 0)
        echo
        echo "== quiet-byte ceiling, $where"
        "${pinning[@]}" "$ceiling" --quiet 400 --reps 5 --copiers rw,tcp-echo
        "${pinning[@]}" "$ceiling" --quiet 400 --reps 5 --copiers spin
    done
fi
