#!/usr/bin/env bash
# The whole main job on one machine: a kiosk display with velk_kiosk running
# xterm, a private system-like bus with the stand-in session manager,
# velk_proxy for that display starting the real freerdp-shadow-cli, and a real
# RDP client (xfreerdp) on a second display connecting through the proxy.
# Writes two screenshots, tells each stage with its time, stops everything it
# started by pid. The RDP client logs in through NLA as "demo", password
# "velk-demo".
#   --keep            leave it running until Ctrl-C
#   --port N          the proxy's TCP port (default 3389)
#   --no-install      skip the package installation (for tests)
#   --build-dir DIR   use the programs built in DIR instead of building
#   --out DIR         where screenshots and logs go (default demo-output)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

keep=0 port=3389 install=1 build_dir="" out="$root/demo-output"
# The RDP client logs in with these (NLA); the manager knows the password.
demo_user=demo demo_password=velk-demo
while [ $# -gt 0 ]; do
    case "$1" in
        --keep) keep=1 ;;
        --port) port=$2; shift ;;
        --no-install) install=0 ;;
        --build-dir) build_dir=$2; shift ;;
        --out) out=$2; shift ;;
        -h|--help) sed -n '2,15p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
        *) echo "unknown option: $1 (see --help)" >&2; exit 2 ;;
    esac
    shift
done

[ "$(id -u)" -eq 0 ] || { echo "run as root: the kiosk's rules file is mounted in a private namespace" >&2; exit 2; }
if ss -Hltn "sport = :$port" 2>/dev/null | grep -q .; then
    echo "port $port is in use; pick another with --port" >&2
    exit 2
fi

cd "$root"
if [ "$install" = 1 ]; then
    bash scripts/install-deps.sh
fi
if [ -z "$build_dir" ]; then
    build_dir="$root/build"
    bash scripts/build.sh "$build_dir" > /dev/null
fi
bin="$build_dir/bin"

mkdir -p "$out"
out=$(cd "$out" && pwd)
work=$(mktemp -d /tmp/velk-demo-XXXXXX)
chmod 755 "$work"
rm -f "$out/manager-notices.txt" "$out/pids" "$out/kiosk.png" "$out/rdp-client.png"

pids=()
# Every pid started, one per line, so a caller can check that none is left.
track() { pids+=("$1"); echo "$1" >> "$out/pids"; }
cleanup() {
    local pid
    for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
        pid=${pids[i]}
        kill -TERM "$pid" 2>/dev/null || continue
        for _ in $(seq 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.05; done
        kill -KILL "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    rm -rf "$work"
}
trap cleanup EXIT
trap 'echo; echo "stopping"; exit 130' INT TERM

start_ms=$(( $(date +%s%N) / 1000000 ))
stage() { printf '[%6d ms] %s\n' "$(( $(date +%s%N) / 1000000 - start_ms ))" "$*"; }

# wait_for <seconds> <description> <command...>: polls until the command succeeds
wait_for() {
    local limit=$1 what=$2
    shift 2
    local deadline=$(( $(date +%s) + limit ))
    until "$@" > /dev/null 2>&1; do
        if [ "$(date +%s)" -ge "$deadline" ]; then
            echo "timed out waiting for $what" >&2
            return 1
        fi
        sleep 0.05
    done
}

# start_xvfb <name> <geometry>: sets the variable <name> to the display number
start_xvfb() {
    local fifo="$work/$1.displayfd" number
    mkfifo "$fifo"
    Xvfb -displayfd 3 -screen 0 "$2" -nolisten tcp -noreset +extension RANDR 3> "$fifo" \
        > "$out/xvfb-$1.log" 2>&1 &
    track $!
    read -r -t 10 number < "$fifo" || { echo "Xvfb did not start, see $out/xvfb-$1.log" >&2; exit 1; }
    printf -v "$1" '%s' "$number"
}

# import shows what the screen shows; xwd draws windows of a 32-bit visual
# (GTK, Qt) black.
screenshot() { import -display ":$1" -window root "$2"; }
# The RDP codecs shift a colour by a few steps, hence the tolerance.
has_colour() {
    convert "$1" -fuzz 4% -fill black +opaque "$2" -fill white -opaque "$2" -format '%[fx:maxima]' info: | grep -q '^1'
}

# 1. The kiosk's display.
start_xvfb kiosk_display 1280x800x24
stage "Xvfb for the kiosk on :$kiosk_display (pid ${pids[-1]})"

mkdir -p "$work/rules" "$work/etc-upper" "$work/etc-work"
cp data/velk_kiosk.json "$work/rules/velk_kiosk.json"
DISPLAY=":$kiosk_display" unshare -m bash -c '
    set -e
    mount --make-rprivate /
    if [ ! -d /etc/velk ]; then
        mount -t overlay overlay -o "lowerdir=/etc,upperdir=$1/etc-upper,workdir=$1/etc-work" /etc
        mkdir /etc/velk
    fi
    mount --bind "$1/rules" /etc/velk
    exec "$2/velk_kiosk" /usr/bin/xterm -geometry 100x30 -e sh -c "echo velk kiosk demo; exec sh"
' velk-kiosk "$work" "$bin" > "$out/velk_kiosk.log" 2>&1 &
track $!
wait_for 15 "the framed xterm" sh -c "xwininfo -display :$kiosk_display -root -tree | grep -q KIOSK_FRAME"
stage "velk_kiosk (pid ${pids[-1]}) framed xterm under $root/data/velk_kiosk.json"

# 2. The bus, the stand-in manager and the proxy.
dbus-daemon --config-file="$root/tools/dbus/velk-test-bus.conf" --nofork \
    --address="unix:path=$work/bus" > "$out/dbus.log" 2>&1 &
track $!
wait_for 10 "the private bus" test -S "$work/bus"
export DBUS_SYSTEM_BUS_ADDRESS="unix:path=$work/bus"
stage "private system-like bus at $DBUS_SYSTEM_BUS_ADDRESS (pid ${pids[-1]})"

# The secure set-up: NLA with the session's own credentials. The stand-in
# manager gives the session the SAM entry of the demo user's password, as the
# real manager gives each session its user's.
cat > "$work/session.json" << JSON
{"display": $kiosk_display, "xauthfile": "", "home": "$work/home", "username": "$demo_user",
 "uid": $(id -u), "sec:rdp": false, "sec:tls": true, "sec:auth": true}
JSON
"$bin/velk_standin_manager" --session-info "$work/session.json" --password "$demo_password" \
    --notices "$out/manager-notices.txt" --control "$work/control" --ready "$work/manager.ready" \
    > "$out/manager.log" 2>&1 &
track $!
wait_for 10 "the stand-in manager" test -s "$work/manager.ready"
stage "stand-in manager owns ru.tavio.velk (pid ${pids[-1]})"

mkdir -p "$work/home"
cat > "$work/velk_proxy.json" << JSON
{"debug:level": "debug", "listen:addr": "127.0.0.1", "listen:port": $port, "listen:timeout": 30,
 "x11rdp:path": "/usr/bin/freerdp-shadow-cli", "x11rdp:args": ["/ipc-socket:%{socket}"]}
JSON
HOME="$work/home" "$bin/velk_proxy" --config "$work/velk_proxy.json" > "$out/velk_proxy.log" 2>&1 &
track $!
wait_for 10 "the proxy's service check" grep -q '^velkTest' "$out/manager-notices.txt"
stage "velk_proxy (pid ${pids[-1]}) follows the manager"

# 3. The manager allows a connection; a real RDP client connects.
echo "signalProxyAllowConnection 1 1" > "$work/control"
wait_for 10 "the proxy's listener" grep -q '^proxyListenStarted 1 true' "$out/manager-notices.txt"
stage "manager allowed session 1; the proxy listens on 127.0.0.1:$port"

start_xvfb client_display 1280x800x24
DISPLAY=":$client_display" xfreerdp "/v:127.0.0.1:$port" /cert:ignore /sec:nla "/u:$demo_user" "/p:$demo_password" \
    /size:1280x800 -grab-keyboard \
    > "$out/xfreerdp.log" 2>&1 < /dev/null &
track $!
wait_for 30 "the session to connect" grep -q '^proxySessionConnected 1 ' "$out/manager-notices.txt"
stage "xfreerdp (pid ${pids[-1]}) on :$client_display connected through the proxy"

# 4. Screenshots, once the frame has been drawn.
kiosk_framed() { screenshot "$kiosk_display" "$out/kiosk.png" && has_colour "$out/kiosk.png" '#021D47'; }
wait_for 15 "the kiosk's frame on its display" kiosk_framed
stage "kiosk display: $out/kiosk.png"
shown() { screenshot "$client_display" "$out/rdp-client.png" && has_colour "$out/rdp-client.png" '#021D47'; }
wait_for 30 "the kiosk's frame in the RDP client" shown
stage "RDP client's display shows the kiosk's frame: $out/rdp-client.png"

echo
echo "manager notices:"
grep -E '^proxy' "$out/manager-notices.txt" | sed 's/^/  /'
cp "$work"/home/.velk/*.log "$out/" 2> /dev/null || true
echo "files: $out/kiosk.png $out/rdp-client.png"
echo "logs:  $out/*.log (the transport's is rdp_transport_*.log)"
echo "       and the journal: journalctl _COMM=velk_proxy, journalctl _COMM=velk_kiosk"

if [ "$keep" = 1 ]; then
    echo "running: the kiosk on :$kiosk_display, the RDP client on :$client_display; press Ctrl-C to stop"
    while true; do sleep 1; done
fi
stage "stopping everything started, by pid"
