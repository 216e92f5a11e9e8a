#!/usr/bin/env bash
# Builds the Debian package from a configured build tree, checks it with
# lintian, unpacks it into a throw-away root and runs both programs' usage
# paths from there.  Usage: package_test.sh <build-dir>
set -euo pipefail
build=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

fail() { echo "FAIL: $*" >&2; exit 1; }

(cd "$build" && cpack -G DEB -B "$work/out" > "$work/cpack.log" 2>&1) || { cat "$work/cpack.log"; fail "cpack"; }
deb=$(ls "$work"/out/velk_*.deb)

if lintian "$deb" 2>/dev/null | grep '^E:'; then
    fail "lintian reports errors"
fi

dpkg-deb -f "$deb" Version | grep -qx "$(sed -n "s/^CMAKE_PROJECT_VERSION:STATIC=//p" "$build/CMakeCache.txt")" || fail "version"
depends=$(dpkg-deb -f "$deb" Depends)
for lib in libxcb1 libxcb-randr0 libxcb-xfixes0 libxcb-cursor0 libjsoncpp25 libsystemd0 libdbus-c++-1-0v5; do
    grep -q "$lib" <<< "$depends" || fail "Depends lacks $lib: $depends"
done
dpkg-deb -f "$deb" Recommends | grep -q 'freerdp2-shadow-x11' || fail "Recommends"

root="$work/root"
dpkg-deb -x "$deb" "$root"
for file in usr/bin/velk_kiosk usr/bin/velk_proxy etc/velk/velk_kiosk.json etc/velk/velk_proxy.json \
    lib/systemd/system/velk-proxy@.service usr/share/dbus-1/system.d/ru.tavio.velk.conf \
    usr/share/man/man1/velk_kiosk.1.gz usr/share/man/man1/velk_proxy.1.gz; do
    [ -e "$root/$file" ] || fail "missing $file"
done
grep -qx 'User=%i' "$root/lib/systemd/system/velk-proxy@.service" || fail "unit does not run as its user"
if grep '^ExecStart=' "$root/lib/systemd/system/velk-proxy@.service" | grep -q -- '--user'; then
    fail "unit starts the proxy as root with --user"
fi
grep -q '<allow own="ru.tavio.velk"/>' "$root/usr/share/dbus-1/system.d/ru.tavio.velk.conf" ||
    fail "bus policy does not let the manager own its name"
python3 -c 'import json, sys; json.load(open(sys.argv[1])); json.load(open(sys.argv[2]))' \
    "$root/etc/velk/velk_kiosk.json" "$root/etc/velk/velk_proxy.json" || fail "sample configuration is not JSON"
zcat "$root/usr/share/man/man1/velk_proxy.1.gz" | grep -q 'listen:port' || fail "proxy manual lacks its keys"
zcat "$root/usr/share/man/man1/velk_proxy.1.gz" | grep -q '^\.SH SECURITY' || fail "proxy manual lacks SECURITY"

# expect <status> <stream text> <command...>
expect() {
    local status=$1 text=$2
    shift 2
    local out rc=0
    out=$("$@" 2>&1) || rc=$?
    [ "$rc" -eq "$status" ] || fail "$* ended with $rc, not $status: $out"
    [ "$out" = "$text" ] || fail "$* printed '$out', not '$text'"
}

proxy="$root/usr/bin/velk_proxy"
kiosk="$root/usr/bin/velk_kiosk"
expect 0 "velk_proxy $(dpkg-deb -f "$deb" Version)" "$proxy" --version
expect 1 "config not found: $work/none.json" "$proxy" --config "$work/none.json"
expect 255 "DISPLAY not found" env -u DISPLAY "$kiosk" /bin/true
expect 0 "Usage: $kiosk xprog param1 param2 param3" env DISPLAY=:0 "$kiosk"
echo "package test passed: $deb"
