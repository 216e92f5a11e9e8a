#!/usr/bin/env bash
# The Debian package as an administrator gets it. Built from a configured
# tree and checked by lintian (no error, no warning) and by its control
# files; installed, upgraded over itself and purged with dpkg in a scratch
# root: this machine's root under an overlay in a private mount namespace,
# so the real /etc, /usr and dpkg database never change and the maintainer
# scripts run as on a machine without systemd. There the programs answer,
# the scripts run twice without harm and call systemd as they must where it
# runs (a systemctl that records its calls), the kiosk session starts the
# program of /etc/velk/kiosk-session on an Xvfb, an edited conffile survives
# the upgrade and the purge leaves nothing. Besides, `cmake --install` with
# another prefix gives a unit and a session that run what it installed.
# Usage: package_test.sh <build-dir>
# Exits with 77 (skipped) when not run as root.
set -euo pipefail

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

# expect <status> <output> <command...>: the status and standard output and
# error together.
expect() {
    local status=$1 text=$2
    shift 2
    local out rc=0
    out=$("$@" 2>&1) || rc=$?
    [ "$rc" -eq "$status" ] || fail "$* ended with $rc, not $status: $out"
    [ "$out" = "$text" ] || fail "$* printed '$out', not '$text'"
}

build_and_read_package() {
    (cd "$build" && cpack -G DEB -B "$work/out" > "$work/cpack.log" 2>&1) || {
        cat "$work/cpack.log"
        fail "cpack"
    }
    deb=$(ls "$work"/out/velk_*.deb)
    if lintian "$deb" 2> /dev/null | grep '^[EW]:'; then
        fail "lintian reports errors or warnings"
    fi
    local depends
    depends=$(dpkg-deb -f "$deb" Depends)
    for lib in libxcb1 libxcb-randr0 libxcb-xfixes0 libxcb-cursor0 libjsoncpp25 libsystemd0 libdbus-c++-1-0v5; do
        grep -q "$lib" <<< "$depends" || fail "Depends lacks $lib: $depends"
    done
    dpkg-deb -f "$deb" Recommends | grep -q 'freerdp2-shadow-x11' || fail "Recommends"
    dpkg-deb -e "$deb" "$work/control"
    for script in postinst prerm postrm; do
        [ -x "$work/control/$script" ] || fail "no executable $script"
    done
    [ "$(cat "$work/control/conffiles")" = "$(printf '/etc/velk/%s\n' velk_kiosk.json velk_proxy.json kiosk-session)" ] ||
        fail "conffiles: $(cat "$work/control/conffiles")"
}

install_with_another_prefix() {
    local dest=$work/dest
    DESTDIR=$dest cmake --install "$build" --prefix /opt/velk > "$work/install.log" 2>&1 || {
        cat "$work/install.log"
        fail "cmake --install"
    }
    # The unit's programs, the session's wrapper and the wrapper's kiosk.
    for program in $(sed -n 's/^ExecStart\(Pre\)\?=\([^ ]*\).*/\2/p' "$dest/lib/systemd/system/velk-proxy@.service") \
        $(sed -n 's/^Exec=//p' "$dest/usr/share/xsessions/velk-kiosk.desktop") \
        $(sed -n 's/^kiosk=//p' "$dest/opt/velk/libexec/velk/velk-kiosk-session"); do
        [[ $program == /opt/velk/* && -x $dest$program ]] || fail "$program is not what the install put there"
    done
    echo '{}' > "$dest/etc/velk/velk_proxy.json"
    DESTDIR=$dest cmake --install "$build" --prefix /opt/velk > "$work/install.log" 2>&1
    [ "$(cat "$dest/etc/velk/velk_proxy.json")" = '{}' ] || fail "a second install replaced an edited sample"
}

start_xvfb() {
    mkfifo "$work/displayfd"
    Xvfb -displayfd 3 -nolisten tcp 3> "$work/displayfd" > "$work/xvfb.log" 2>&1 &
    xvfb_pid=$!
    read -r -t 10 display < "$work/displayfd" || fail "Xvfb did not start: $(cat "$work/xvfb.log")"
}

# The overlay's upper layer holds what the scratch root changed: after the
# purge only dpkg's own records may differ from this machine's root, and
# the package's own files may be gone (where this machine has them too).
check_nothing_left() {
    local upper=$1 path
    while IFS= read -r -d '' path; do
        path=${path#"$upper"}
        case $path in
            /var/lib/dpkg/* | /var/log/*) continue ;;
        esac
        if [ -c "$upper$path" ] && grep -qxF "$path" "$work/package.files"; then
            continue
        elif [ -d "$upper$path" ] && [ ! -L "$upper$path" ]; then
            [ -d "$path" ] || fail "the purge left the directory $path"
        else
            cmp -s "$upper$path" "$path" || fail "the purge left $path"
        fi
    done < <(find "$upper" -mindepth 1 -print0)
}

# In a private mount namespace: the scratch root is this machine's root
# under an overlay, with a /run of its own (no systemd there) and the test's
# directory shared.
enter_scratch_root() {
    local layers=$work/layers root=$work/layers/root
    mkdir -p "$layers"
    mount -t tmpfs velk-scratch "$layers"
    mkdir "$layers/upper" "$layers/work" "$root"
    mount -t overlay velk-scratch -o "lowerdir=/,upperdir=$layers/upper,workdir=$layers/work" "$root"
    mount --bind /dev "$root/dev"
    mount -t proc proc "$root/proc"
    mount -t tmpfs velk-run "$root/run"
    mount --bind "$work" "$root$work"
    chroot "$root" /usr/bin/env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
        HOME="$work" bash "$self" --installed "$work" "$display" "$deb"
    check_nothing_left "$layers/upper"
}

# The calls the maintainer scripts make where systemd runs, one line each.
systemd_calls() {
    mkdir -p /run/systemd/system
    printf '#!/bin/sh\necho "$*" >> /run/systemctl.calls\n' > /usr/local/sbin/systemctl
    chmod 755 /usr/local/sbin/systemctl
    # A container's policy that forbids starting services would hide them.
    mv /usr/sbin/policy-rc.d /usr/sbin/policy-rc.d.velk-test 2> /dev/null || true
    : > /run/systemctl.calls
    "$@"
    cat /run/systemctl.calls
    mv /usr/sbin/policy-rc.d.velk-test /usr/sbin/policy-rc.d 2> /dev/null || true
    rm -rf /usr/local/sbin/systemctl /run/systemd /run/systemctl.calls
}

check_maintainer_scripts() {
    local info=/var/lib/dpkg/info version=$1
    for run in "postinst configure $version" "prerm upgrade $version" "prerm remove" "postrm remove"; do
        set -- $run
        "$info/velk.$1" "${@:2}" || fail "$run failed where systemd is not running"
        "$info/velk.$1" "${@:2}" || fail "$run failed when run a second time"
    done
    [ "$(systemd_calls "$info/velk.postinst" configure "$version")" = $'--system daemon-reload\ntry-restart velk-proxy@*.service' ] ||
        fail "postinst: $(systemd_calls "$info/velk.postinst" configure "$version")"
    [ -z "$(systemd_calls "$info/velk.prerm" upgrade "$version")" ] || fail "prerm upgrade touches the proxies"
    [ "$(systemd_calls "$info/velk.prerm" remove)" = 'stop velk-proxy@*.service' ] || fail "prerm remove"
    [ "$(systemd_calls "$info/velk.postrm" remove)" = '--system daemon-reload' ] || fail "postrm remove"
}

check_installed() {
    for file in /usr/bin/velk_kiosk /usr/bin/velk_proxy /usr/share/man/man1/velk_kiosk.1.gz \
        /usr/share/man/man1/velk_proxy.1.gz /usr/share/doc/velk/README.md.gz \
        /usr/share/bash-completion/completions/velk_proxy /usr/share/bash-completion/completions/velk_kiosk; do
        [ -e "$file" ] || fail "missing $file"
    done
    expect 0 "velk_proxy $1" velk_proxy --version
    expect 1 "config not found: $work/none.json" velk_proxy --config "$work/none.json"
    expect 0 "/etc/velk/velk_proxy.json: OK" velk_proxy --check-config --config /etc/velk/velk_proxy.json
    expect 0 "/etc/velk/velk_kiosk.json: OK, 4 rules" velk_kiosk --check-rules /etc/velk/velk_kiosk.json
    expect 255 "DISPLAY not found" env -u DISPLAY velk_kiosk /bin/true
    expect 0 "Usage: velk_kiosk xprog param1 param2 param3" env DISPLAY=:0 velk_kiosk
    local unit=/lib/systemd/system/velk-proxy@.service
    grep -qx 'User=%i' "$unit" || fail "unit does not run as its user"
    if grep '^ExecStart=' "$unit" | grep -q -- '--user'; then
        fail "unit starts the proxy as root with --user"
    fi
    grep -q '<allow own="ru.tavio.velk"/>' /usr/share/dbus-1/system.d/ru.tavio.velk.conf ||
        fail "bus policy does not let the manager own its name"
    zcat /usr/share/man/man1/velk_proxy.1.gz | grep -q 'listen:port' || fail "proxy manual lacks its keys"
    zcat /usr/share/man/man1/velk_proxy.1.gz | grep -q '^\.SH SECURITY' || fail "proxy manual lacks SECURITY"
    zcat /usr/share/doc/velk/NEWS.Debian.gz | head -1 | grep -q "^velk ($1)" || fail "NEWS has no entry for $1"
    zcat /usr/share/doc/velk/changelog.gz | head -1 | grep -q "^velk ($1)" || fail "changelog has no entry for $1"
}

# The session the display manager starts: its Exec line, the wrapper and the
# program of /etc/velk/kiosk-session, whose words keep their spaces and
# quotes; the kiosk ends with the program's status.
check_kiosk_session() {
    local session out=$work/program.out
    session=$(sed -n 's/^Exec=//p' /usr/share/xsessions/velk-kiosk.desktop)
    cat >> /etc/velk/kiosk-session <<EOF
sh
-c
  printf '%s\n' "\$DISPLAY" "\$@" > "\$0"; exit 7
$out
two words
  it's "quoted" \$HOME \`id\`
EOF
    local rc=0
    DISPLAY=:$display "$session" > "$work/session.log" 2>&1 || rc=$?
    [ "$rc" -eq 7 ] || fail "the session ended with $rc, not the program's 7: $(cat "$work/session.log")"
    [ "$(cat "$out")" = ":$display"$'\ntwo words\nit'"'"'s "quoted" $HOME `id`' ] || fail "the program got: $(cat "$out")"
}

installed() {
    local version
    version=$(dpkg-deb -f "$deb" Version)
    # man-db's index is not the package's, and rebuilding it takes seconds.
    mv /var/lib/man-db/auto-update /var/lib/man-db/auto-update.velk-test
    dpkg -i "$deb" > "$work/dpkg.log" 2>&1 || fail "dpkg -i: $(cat "$work/dpkg.log")"
    check_installed "$version"
    check_maintainer_scripts "$version"
    check_kiosk_session
    local edited
    edited=$(cat /etc/velk/kiosk-session)
    dpkg -i "$deb" > "$work/dpkg.log" 2>&1 || fail "upgrade: $(cat "$work/dpkg.log")"
    [ "$(cat /etc/velk/kiosk-session)" = "$edited" ] || fail "the upgrade replaced an edited conffile"

    ln -s /lib/systemd/system/velk-proxy@.service /etc/systemd/system/multi-user.target.wants/velk-proxy@alice.service
    dpkg -L velk > "$work/package.files"
    dpkg --purge velk > "$work/dpkg.log" 2>&1 || fail "purge: $(cat "$work/dpkg.log")"
    [ ! -e /etc/velk ] || fail "the purge left /etc/velk"
    mv /var/lib/man-db/auto-update.velk-test /var/lib/man-db/auto-update
}

self=$(readlink -f "$0")
if [ "${1-}" = --installed ]; then
    work=$2 display=$3 deb=$4
    installed
    exit 0
fi

build=$(cd "$1" && pwd)
if [ "$(id -u)" -ne 0 ]; then
    echo "SKIP: installing into a scratch root needs root"
    exit 77
fi
work=$(mktemp -d)
xvfb_pid=
trap '[ -z "$xvfb_pid" ] || kill "$xvfb_pid"; rm -rf "$work"' EXIT

build_and_read_package
install_with_another_prefix
start_xvfb
export work display deb self
unshare --mount --propagation private bash -euo pipefail -c "$(declare -f fail check_nothing_left enter_scratch_root); enter_scratch_root"
echo "package test passed: $deb"
