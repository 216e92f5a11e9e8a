#!/usr/bin/env bash
# Reads the proxy's service unit as systemd does, with no systemd running:
# `systemd-analyze verify` has nothing to say about it (nor with the drop-in
# for a privileged port), and its offline
# security exposure is at most 2.0. The unit is a template, so a copy named
# for one instance is checked, its programs' directory (filled in at install
# time) pointed at the built program and its manual page looked up in the
# source tree.
# Usage: unit_test.sh <source-dir> <velk_proxy binary>
# Exits with 77 (skipped) when systemd-analyze is not installed.
set -euo pipefail
src=$1
proxy=$2
limit=2.0

fail() { echo "FAIL: $*" >&2; exit 1; }

if ! command -v systemd-analyze > /dev/null; then
    echo "SKIP: systemd-analyze is not installed"
    exit 77
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

template=$src/packaging/velk-proxy@.service.in
grep -qx 'User=%i' "$template" || fail "the unit does not run as the instance's user"
exec_start=$(grep '^ExecStart=' "$template")
[ "$exec_start" = 'ExecStart=@VELK_BINDIR@/velk_proxy --config /etc/velk/velk_proxy.json' ] ||
    fail "unexpected $exec_start"

unit=$work/velk-proxy@velkuser.service
sed "s#^\(Exec\(Start\|StartPre\|Reload\)=\)@VELK_BINDIR@/velk_proxy #\1$proxy #" "$template" > "$unit"
grep -q "^ExecStart=$proxy " "$unit" || fail "ExecStart not rewritten"

verify=(systemd-analyze verify)
if command -v man > /dev/null; then
    mkdir -p "$work/man/man1"
    ln -s "$src/man/velk_proxy.1" "$work/man/man1/velk_proxy.1"
    export MANPATH=$work/man
else
    verify+=(--man=no)
fi
rc=0
out=$(cd "$work" && "${verify[@]}" "$unit" 2>&1) || rc=$?
[ "$rc" -eq 0 ] || fail "systemd-analyze verify ended with $rc: $out"
[ -z "$out" ] || fail "systemd-analyze verify complains: $out"

# The privileged port's drop-in, as the manual shows it: read with the unit
# clean, it gives the proxy the one capability (bounding and ambient sets).
mkdir "$unit.d"
cp "$src/packaging/privileged-port.conf" "$unit.d/port.conf"
rc=0
out=$(cd "$work" && "${verify[@]}" "$unit" 2>&1) || rc=$?
[ "$rc" -eq 0 ] && [ -z "$out" ] || fail "the unit with the privileged port's drop-in: $rc: $out"
granted=$(cd "$work" && systemd-analyze security --offline=true --no-pager "$unit" 2>&1 || true)
grep -q 'receives ambient capabilities' <<< "$granted" && grep -q 'has elevated networking privileges' <<< "$granted" ||
    fail "the drop-in does not grant CAP_NET_BIND_SERVICE: $granted"
rm -r "$unit.d"

rc=0
report=$(cd "$work" && systemd-analyze security --offline=true --no-pager "$unit" 2>&1) || rc=$?
level=$(sed -n 's/.*Overall exposure level for [^:]*: \([0-9.]*\) .*/\1/p' <<< "$report")
[ -n "$level" ] || fail "no exposure level in: $report"
awk -v level="$level" -v limit="$limit" 'BEGIN { exit !(level <= limit) }' ||
    fail "exposure $level is above $limit:
$report"
echo "unit test passed: verify clean, exposure $level (at most $limit)"
