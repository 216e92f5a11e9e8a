#!/usr/bin/env bash
# Builds the programs optimised and runs the relay benchmark twice: on every
# CPU, then with everything pinned to one CPU (taskset), since wake-ups across
# CPUs dominate round trips on a two-core machine.
#   bench/run_relay_bench.sh [--reps N] [--bytes N]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

bash scripts/install-deps.sh
dpkg-query -W -f='${Status}\n' haproxy 2>/dev/null | grep -q '^install ok installed' ||
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends haproxy

bash scripts/build.sh build-bench -DCMAKE_BUILD_TYPE=Release > /dev/null
bench=build-bench/bin/relay_bench

echo "== all CPUs"
"$bench" "$@"
echo
echo "== pinned to CPU 0"
taskset -c 0 "$bench" "$@"
