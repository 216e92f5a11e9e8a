#!/usr/bin/env bash
# Installs what is needed, builds and runs every test.  Idempotent.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

bash scripts/install-deps.sh

echo "== format check"
git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run --Werror

echo "== build"
bash scripts/build.sh build

echo "== tests"
cd build
ctest -j "$(nproc)" --output-on-failure --timeout 300
