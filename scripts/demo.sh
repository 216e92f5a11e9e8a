#!/usr/bin/env bash
# The main job: installs what is needed, builds, starts a private Xvfb display,
# runs velk_kiosk with xterm on it, takes a screenshot and stops everything it
# started, by pid.  Pass --keep to leave it running until Ctrl-C.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

keep=0
for arg in "$@"; do
    case "$arg" in
        --keep) keep=1 ;;
        -h|--help) echo "usage: $0 [--keep]"; exit 0 ;;
        *) echo "unknown option: $arg" >&2; exit 2 ;;
    esac
done

bash scripts/install-deps.sh
bash scripts/build.sh build > /dev/null
out="$root/demo-output"
mkdir -p "$out"

pids=()
cleanup() {
    for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
        kill -TERM "${pids[i]}" 2>/dev/null || true
        wait "${pids[i]}" 2>/dev/null || true
    done
}
trap cleanup EXIT
trap 'exit 130' INT TERM

start=$(( $(date +%s%N) / 1000000 ))
stage() { local now=$(( $(date +%s%N) / 1000000 )); printf '[%5d ms] %s\n' "$((now - start))" "$*"; }

exec {displayfd}<> <(:)
Xvfb -displayfd "$displayfd" -screen 0 1280x800x24 -nolisten tcp -noreset +extension RANDR \
    > "$out/xvfb.log" 2>&1 &
pids+=($!)
read -r -t 10 display <&"$displayfd" || { echo "Xvfb did not start, see $out/xvfb.log" >&2; exit 1; }
exec {displayfd}>&-
export DISPLAY=":$display"
stage "Xvfb started on $DISPLAY (pid ${pids[0]})"

build/bin/velk_kiosk /usr/bin/xterm -geometry 80x24 -e sh -c 'echo velk kiosk demo; exec sh' \
    > "$out/velk_kiosk.log" 2>&1 &
kiosk=$!
pids+=("$kiosk")
stage "velk_kiosk started (pid $kiosk) with xterm"

for _ in $(seq 100); do
    xwininfo -root -tree 2>/dev/null | grep -q '"xterm"' && break
    sleep 0.1
done
stage "xterm window mapped"

xwd -root -silent | convert xwd:- "$out/kiosk.png"
stage "screenshot written: $out/kiosk.png"

if [ "$keep" = 1 ]; then
    echo "running on $DISPLAY; press Ctrl-C to stop"
    wait "$kiosk" || true
    exit 0
fi

xterm_pid=$(ps -o pid= --ppid "$kiosk" | head -n1 | tr -d ' ')
[ -n "$xterm_pid" ] && kill -TERM "$xterm_pid"
wait "$kiosk" && status=0 || status=$?
stage "velk_kiosk ended with status $status after its program"
echo "files: $out/kiosk.png, logs: $out/xvfb.log, $out/velk_kiosk.log (and the journal)"
