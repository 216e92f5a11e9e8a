#!/usr/bin/env bash
# Checks the kiosk with the real browsers that are installed (chromium,
# firefox-esr), as an operator would: a browser in kiosk mode under a rule
# without title bar covers the whole screen and stays put when its top edge
# is dragged; an ordinary browser window enters full screen with F11 and
# returns to its place with F11.  Not part of the test stages: the browsers
# are heavy.  Runs as root (the rules file goes into /etc/velk inside a mount
# namespace of its own).
#   bash scripts/check_browsers.sh [BUILD-DIR]
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
kiosk=${1:-$root/build}/bin/velk_kiosk
work=$(mktemp -d /tmp/velk-browsers.XXXXXX)
failures=0
xvfb=0
session=0

stop() {
    [ "$session" -gt 0 ] && kill -TERM -- -"$session" 2>/dev/null
    for _ in $(seq 50); do kill -0 "$session" 2>/dev/null || break; sleep 0.1; done
    [ "$session" -gt 0 ] && kill -KILL -- -"$session" 2>/dev/null
    [ "$xvfb" -gt 0 ] && kill "$xvfb" 2>/dev/null && wait "$xvfb" 2>/dev/null
    session=0
    xvfb=0
}
trap 'stop; rm -rf "$work"' EXIT

# start NAME RULES PROGRAM ARGS...: Xvfb and the kiosk with the rules and the program.
start() {
    local name=$1 rules=$2
    shift 2
    local dir=$work/$name
    mkdir -p "$dir/upper" "$dir/ovl"
    printf '%s\n' "$rules" > "$dir/rules.json"
    Xvfb -displayfd 3 -screen 0 1920x1080x24 -nolisten tcp -noreset 3> "$dir/displayfd" 2> "$dir/xvfb.log" &
    xvfb=$!
    for _ in $(seq 100); do [ -s "$dir/displayfd" ] && break; sleep 0.1; done
    export DISPLAY=":$(head -1 "$dir/displayfd")"
    DIR=$dir KIOSK=$kiosk setsid unshare -m bash -c \
        'mount -t overlay overlay -o "lowerdir=/etc,upperdir=$DIR/upper,workdir=$DIR/ovl" /etc &&
         mkdir -p /etc/velk && cp "$DIR/rules.json" /etc/velk/velk_kiosk.json && exec "$KIOSK" "$@"' \
        _ "$@" > "$dir/kiosk.log" 2>&1 &
    session=$!
}

# The first managed client, once it is shown at a size of its own.
await_client() {
    for _ in $(seq 300); do
        local win
        win=$(xprop -root _NET_CLIENT_LIST 2>/dev/null | grep -o '0x[0-9a-f]*' | head -1)
        if [ -n "$win" ] && xwininfo -id "$win" 2>/dev/null | grep -q IsViewable; then
            echo "$win"
            return 0
        fi
        sleep 0.1
    done
    return 1
}

# WIDTHxHEIGHT+X+Y of the client's frame (its parent).
frame_geometry() {
    local parent
    parent=$(xwininfo -tree -id "$1" | awk '/Parent window id/ {print $4}')
    xwininfo -id "$parent" | awk '/upper-left X/ {x=$4} /upper-left Y/ {y=$4} /Width/ {w=$2} /Height/ {h=$2}
                                  END {print w "x" h "+" x "+" y}'
}

# settles WIN WANTED WHAT: waits up to 10 s for the frame's geometry.
settles() {
    local got
    for _ in $(seq 100); do
        got=$(frame_geometry "$1")
        [ "$got" = "$2" ] && { echo "PASS $3"; return; }
        sleep 0.1
    done
    echo "FAIL $3: frame at $got, expected $2"
    failures=$((failures + 1))
}

check_kiosk_mode() {
    local name=$1 instance=$2
    shift 2
    start "$name-kiosk" "[{\"wm:class\": \"$instance\", \"fullscreen\": true, \"titlebar\": false}]" "$@"
    local win
    win=$(await_client) || { echo "FAIL $name: no window"; failures=$((failures + 1)); stop; return; }
    settles "$win" 1920x1080+0+0 "$name in kiosk mode covers the screen"
    xdotool mousemove 500 8 mousedown 1 mousemove 700 200 mousemove 900 400 mouseup 1
    settles "$win" 1920x1080+0+0 "$name in kiosk mode stays put when dragged"
    stop
}

check_f11() {
    local name=$1
    shift
    start "$name-f11" '[{"wm:class": "*", "frame": true, "fullscreen": false}]' "$@"
    local win before
    win=$(await_client) || { echo "FAIL $name: no window"; failures=$((failures + 1)); stop; return; }
    sleep 2 # the browser finishes its own first layout; nothing to wait on
    before=$(frame_geometry "$win")
    xdotool mousemove 600 500 click 1 key F11
    settles "$win" 1920x1080+0+0 "$name enters full screen with F11"
    xdotool key F11
    settles "$win" "$before" "$name returns to $before with F11"
    stop
}

if [ -x /usr/bin/chromium ]; then
    chromium=(/usr/bin/chromium --no-sandbox --no-first-run --disable-gpu --user-data-dir="$work/chromium")
    check_kiosk_mode chromium 'chromium*' "${chromium[@]}" --kiosk about:blank
    check_f11 chromium "${chromium[@]}" --window-size=1000,700 about:blank
fi
if [ -x /usr/bin/firefox-esr ]; then
    mkdir -p "$work/firefox"
    firefox=(/usr/bin/firefox-esr --no-remote --profile "$work/firefox")
    check_kiosk_mode firefox Navigator "${firefox[@]}" --kiosk about:blank
    check_f11 firefox "${firefox[@]}" --width 1000 --height 700 about:blank
fi
echo "failures: $failures"
[ "$failures" -eq 0 ]
