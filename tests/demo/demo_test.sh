#!/usr/bin/env bash
# Runs the README's main job non-interactively on the built programs and
# checks what it promises: both screenshots exist and are not blank, the RDP
# client shows the kiosk's frame colour, the manager heard the three notices,
# and nothing the job started is left running.
#   main_job_test.sh <source-dir> <build-dir>
set -euo pipefail
src=$1
build=$2
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
bash "$src/scripts/demo.sh" --no-install --build-dir "$build" --out "$out" --port "$port" ||
    fail "the main job failed"

for shot in kiosk rdp-client; do
    [ -s "$out/$shot.png" ] || fail "no $shot screenshot"
    colours=$(convert "$out/$shot.png" -format '%k' info:)
    [ "$colours" -gt 2 ] || fail "$shot screenshot is blank ($colours colours)"
done
convert "$out/rdp-client.png" -fuzz 4% -fill black +opaque '#021D47' -fill white -opaque '#021D47' \
    -format '%[fx:maxima]' info: | grep -q '^1' || fail "the RDP client does not show the frame colour"

grep -q '^proxyListenStarted 1 true$' "$out/manager-notices.txt" || fail "no proxyListenStarted"
grep -q '^proxyClientConnected 1 127.0.0.1$' "$out/manager-notices.txt" || fail "no proxyClientConnected"
grep -Eq '^proxySessionConnected 1 [0-9]+ 127.0.0.1$' "$out/manager-notices.txt" || fail "no proxySessionConnected"

while read -r pid; do
    if kill -0 "$pid" 2> /dev/null; then
        fail "process $pid ($(tr '\0' ' ' < "/proc/$pid/cmdline")) is still running"
    fi
done < "$out/pids"
echo "demo test passed"
