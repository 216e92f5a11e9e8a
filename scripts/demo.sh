#!/usr/bin/env bash
# The main job: installs what is needed, builds, starts a private Xvfb display,
# runs velk_kiosk with xterm on it under the sample rules (data/velk_kiosk.json),
# takes a screenshot of the framed window and stops everything it started, by
# pid.  Pass --keep to leave it running until Ctrl-C.
#
# The kiosk reads its rules from the fixed path /etc/velk/velk_kiosk.json, so
# it runs in a private mount namespace (as root) where the sample is bound over
# /etc/velk; where /etc/velk does not exist, /etc gets an overlay whose upper
# layer is a temporary directory.  The host's /etc is never written.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

keep=0
for arg in "$@"; do
    case "$arg" in
        --keep) keep=1 ;;
        -h|--help) echo "usage: $0 [--keep]   (VELK_BUILD_DIR picks the build tree, default build)"; exit 0 ;;
        *) echo "unknown option: $arg" >&2; exit 2 ;;
    esac
done
if [ "$(id -u)" -ne 0 ]; then
    echo "demo: run as root (the rules file is mounted in a private mount namespace)" >&2
    exit 1
fi

build=${VELK_BUILD_DIR:-build}
bash scripts/install-deps.sh
bash scripts/build.sh "$build" > /dev/null
out="$root/demo-output"
mkdir -p "$out"
scratch=$(mktemp -d)

pids=()
cleanup() {
    for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
        kill -TERM "${pids[i]}" 2>/dev/null || true
        wait "${pids[i]}" 2>/dev/null || true
    done
    rm -rf "$scratch"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

start=$(( $(date +%s%N) / 1000000 ))
stage() { local now=$(( $(date +%s%N) / 1000000 )); printf '[%5d ms] %s\n' "$((now - start))" "$*"; }

exec {displayfd}<> <(:)
Xvfb -displayfd "$displayfd" -screen 0 1280x800x24 -nolisten tcp -noreset +extension RANDR +extension XFIXES \
    > "$out/xvfb.log" 2>&1 &
pids+=($!)
read -r -t 10 display <&"$displayfd" || { echo "Xvfb did not start, see $out/xvfb.log" >&2; exit 1; }
exec {displayfd}>&-
export DISPLAY=":$display"
stage "Xvfb started on $DISPLAY (pid ${pids[0]})"

mkdir -p "$scratch/rules" "$scratch/upper" "$scratch/work"
cp data/velk_kiosk.json "$scratch/rules/velk_kiosk.json"
# Runs in the new namespace, then becomes velk_kiosk (same pid).
isolate='
if [ ! -d /etc/velk ]; then
    mount -t overlay overlay -o "lowerdir=/etc,upperdir=$1/upper,workdir=$1/work" /etc
    mkdir /etc/velk
fi
mount --bind "$1/rules" /etc/velk
shift
exec "$@"'
unshare --mount --propagation private sh -c "$isolate" sh "$scratch" \
    "$build/bin/velk_kiosk" /usr/bin/xterm -geometry 80x24+100+80 -e sh -c 'echo velk kiosk demo; exec sh' \
    > "$out/velk_kiosk.log" 2>&1 &
kiosk=$!
pids+=("$kiosk")
stage "velk_kiosk started (pid $kiosk) with xterm and $root/data/velk_kiosk.json"

# Framed: the xterm sits in a KIOSK_FRAME window whose title-bar logo has been
# drawn (pixel 5,4 of either logo is neither black nor the frame's blue).
frame_origin() { xwininfo -root -tree 2>/dev/null | awk '/"KIOSK_FRAME"/ { print $NF; exit }'; }
pixel() { xwd -root -silent | convert xwd:- -crop "1x1+$1+$2" -depth 8 txt:- | grep -o '#[0-9A-F]\{6\}'; }
for _ in $(seq 100); do
    origin=$(frame_origin)
    if [ -n "$origin" ]; then
        IFS=+ read -r _ fx fy <<< "$origin"
        colour=$(pixel $((fx + 6)) $((fy + 5)))
        [ "$colour" != "#000000" ] && [ "$colour" != "#021D47" ] && break
    fi
    sleep 0.1
done
xwininfo -root -tree | grep -A2 '"KIOSK_FRAME"' | sed 's/^ */    /'
stage "xterm framed and the frame drawn"

xwd -root -silent | convert xwd:- "$out/kiosk.png"
stage "screenshot written: $out/kiosk.png"

if [ "$keep" = 1 ]; then
    echo "running on $DISPLAY; press Ctrl-C to stop"
    wait "$kiosk" || true
    exit 0
fi

# SIGTERM: the kiosk asks xterm (its _NET_WM_PID) to end and ends after it.
kill -TERM "$kiosk"
wait "$kiosk" && status=0 || status=$?
stage "velk_kiosk ended with status $status after its program"
echo "files: $out/kiosk.png, logs: $out/xvfb.log, $out/velk_kiosk.log (and the journal)"
