#!/usr/bin/env bash
# Runs the instrument with no screen and no sound card: on a private X server
# (Xvfb) and a private JACK server (dummy driver), with its configuration in a
# folder of its own under build/. Clicks the /3 ball of a two-ball lattice,
# records what the program plays and measures it, then asks the program to
# quit with SIGTERM as a desktop session would.
#
# stdout: "key=value" lines for scripts; stderr: progress for people.
# Exit status 0 when everything asked for worked and the program exited with 0.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
APP_NAME="Drovane Tuning Wendle"
MAIN_TITLE="$APP_NAME 2"

usage() {
    cat <<EOF
usage: $(basename "$0") [options]
  --data DIR       XDG_DATA_HOME of the program (default build/headless/data);
                   its configuration is DIR/$APP_NAME
  --out DIR        screenshots, recording and logs (default build/headless/out)
  --program PATH   the program (default build/app/drovane-tuning-wendle)
  --measure PATH   the WAV measuring tool (default build/tests/support/wendle-measure)
  --fresh          empty the data folder first
  --no-play        no click, recording or measurement
  --step-patch     afterwards click the patch menu's right arrow
  --box            expect a message box titled "$APP_NAME" before the window; dismiss it
  --expect-stop    with --box: the program ends after the box, no window expected
  --card           after playing, find the sounding ball's card and right-click it
  --udp-port N     the UDP port the program's options give it (for --datagram)
  --datagram FILE  play by sending FILE as one UDP datagram to 127.0.0.1, port
                   --udp-port, once the program listens there, instead of the click
  --late-box       expect a message box titled "$APP_NAME" after the window; dismiss it
  --update-window  expect the update window and its box after the window; answer "No"
  --keys-first "K" press these xdotool keys (space-separated) once the lattice shows
  --no-click       play without clicking the ball: record what the keys made sound
  --keys "K"       press these xdotool keys after playing, before quitting
  --options-window open and close the options window by Ctrl+comma, then by
                   its button and Escape
  --flags "A"      start the program with these arguments (space-separated)
  --diagnostics    expect the diagnostics window once the lattice shows and
                   copy its text through the clipboard (needs xclip)
EOF
}

DATA="$ROOT/build/headless/data"
OUT="$ROOT/build/headless/out"
PROGRAM="$ROOT/build/app/drovane-tuning-wendle"
MEASURE="$ROOT/build/tests/support/wendle-measure"
FRESH=0 PLAY=1 STEP_PATCH=0 BOX=0 EXPECT_STOP=0 CARD=0
UDP_PORT="" DATAGRAM="" LATE_BOX=0
KEYS_FIRST="" KEYS="" CLICK=1

UPDATE_WINDOW=0
OPTIONS_WINDOW=0
PROGRAM_ARGS=() DIAGNOSTICS=0
while [[ $# -gt 0 ]]; do
    case "$1" in
        --data) DATA="${2:?--data needs a folder}"; shift 2 ;;
        --out) OUT="${2:?--out needs a folder}"; shift 2 ;;
        --program) PROGRAM="${2:?--program needs a path}"; shift 2 ;;
        --measure) MEASURE="${2:?--measure needs a path}"; shift 2 ;;
        --fresh) FRESH=1; shift ;;
        --no-play) PLAY=0; shift ;;
        --step-patch) STEP_PATCH=1; shift ;;
        --box) BOX=1; shift ;;
        --expect-stop) EXPECT_STOP=1; PLAY=0; shift ;;
        --card) CARD=1; shift ;;
        --udp-port) UDP_PORT="${2:?--udp-port needs a port}"; shift 2 ;;
        --datagram) DATAGRAM="${2:?--datagram needs a file}"; shift 2 ;;
        --late-box) LATE_BOX=1; shift ;;
        --keys-first) KEYS_FIRST="${2?--keys-first needs key names}"; shift 2 ;;
        --keys) KEYS="${2?--keys needs key names}"; shift 2 ;;
        --no-click) CLICK=0; shift ;;
        --update-window) UPDATE_WINDOW=1; shift ;;
        --options-window) OPTIONS_WINDOW=1; shift ;;
        --flags) read -r -a PROGRAM_ARGS <<<"${2?--flags needs arguments}"; shift 2 ;;
        --diagnostics) DIAGNOSTICS=1; shift ;;
        -h | --help) usage; exit 0 ;;
        *) echo "unknown option: $1" >&2; usage >&2; exit 2 ;;
    esac
done
if [[ $EXPECT_STOP -eq 1 && $BOX -eq 0 ]]; then
    echo "--expect-stop goes with --box" >&2
    exit 2
fi
if [[ -n $DATAGRAM && ! ( -f $DATAGRAM && $UDP_PORT =~ ^[0-9]+$ ) ]]; then
    echo "--datagram needs a file and --udp-port a number" >&2
    exit 2
fi

log() { printf '[headless] %s\n' "$*" >&2; }
RESULT=""
out() {
    printf '%s=%s\n' "$1" "$2"
    [[ $1 != result ]] || RESULT="$2"
}
die() {
    log "FAILED: $*"
    out result fail
    exit 1
}

abspath() { mkdir -p "$1" && (cd "$1" && pwd); }

for tool in Xvfb xdotool import convert compare jackd jack_lsp jack_rec; do
    command -v "$tool" >/dev/null || die "$tool is not installed (scripts/setup.sh installs it)"
done
[[ -x $PROGRAM ]] || die "no program at $PROGRAM: build it first (cmake --build build)"
if [[ $DIAGNOSTICS -eq 1 ]]; then
    command -v xclip >/dev/null || die "xclip is not installed (scripts/setup.sh installs it)"
fi
if [[ $PLAY -eq 1 && ! -x $MEASURE ]]; then
    die "no measuring tool at $MEASURE: build it first (cmake --build build --target wendle-measure)"
fi

if [[ $FRESH -eq 1 && -d $DATA ]]; then
    case "$(cd "$DATA" && pwd)" in
        / | "$HOME") die "refusing to empty $DATA" ;;
    esac
    rm -rf "${DATA:?}"
fi
DATA="$(abspath "$DATA")"
OUT="$(abspath "$OUT")"
CONFIG="$DATA/$APP_NAME"
mkdir -p "$CONFIG"
# Results of an earlier run must not pass for this one's.
rm -f "$OUT"/{box,window,after,patch}.png "$OUT"/recording.wav "$OUT"/{program,xvfb,jackd,jack_rec}.log "$OUT"/diagnostics.txt

PRIVATE="$(mktemp -d "${TMPDIR:-/tmp}/wendle-headless.XXXXXX")"
XVFB_PID="" JACKD_PID="" PROGRAM_PID="" REC_PID=""

# stop <pid> <seconds>: SIGTERM, then SIGKILL after the grace time.
stop() {
    local pid="$1" grace="$2" i
    [[ -n $pid ]] && kill -0 "$pid" 2>/dev/null || return 0
    kill -TERM "$pid" 2>/dev/null || true
    # A stopped process takes the signal once resumed.
    kill -CONT "$pid" 2>/dev/null || true
    for ((i = 0; i < grace * 10; i++)); do
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    if kill -0 "$pid" 2>/dev/null; then
        log "process $pid did not end on SIGTERM; killing it"
        kill -KILL "$pid" 2>/dev/null || true
    fi
    wait "$pid" 2>/dev/null || true
}

cleanup() {
    # Ended by a signal or an unforeseen error: say so to the reader of stdout.
    [[ -n $RESULT ]] || out result fail
    stop "$REC_PID" 2
    stop "$PROGRAM_PID" 5
    stop "$JACKD_PID" 5
    stop "$XVFB_PID" 5
    stop "${FEED_PID:-}" 2
    [[ -z ${WATCH_PID:-} ]] || kill "$WATCH_PID" 2>/dev/null || true
    rm -rf "$PRIVATE"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
# Killed outright, this shell runs no trap: a watcher then ends what it had
# running (as it saw half a second before), SIGTERM first, SIGKILL after a grace.
watch_harness() {
    set +e
    local kids="" k i live=0 targets=()
    while kill -0 $$ 2>/dev/null; do
        read -r kids <"/proc/$$/task/$$/children"
        sleep 0.5
    done
    for k in $kids; do
        [[ $k == "$BASHPID" ]] || targets+=("$k")
    done
    if [[ ${#targets[@]} -gt 0 ]]; then
        kill -TERM "${targets[@]}"
        kill -CONT "${targets[@]}"
        for ((i = 0; i < 50; i++)); do
            live=0
            for k in "${targets[@]}"; do kill -0 "$k" && live=1; done
            [[ $live -eq 1 ]] || break
            sleep 0.1
        done
        [[ $live -eq 0 ]] || kill -KILL "${targets[@]}"
    fi
    rm -rf "$PRIVATE"
}
watch_harness </dev/null >/dev/null 2>&1 &
WATCH_PID=$!

START=$SECONDS

# --- private X server and JACK server, started together ---------------------

log "starting Xvfb and jackd"
: >"$PRIVATE/display"
# -noreset: an X server resets when its last client leaves and drops every
# connection still being set up; each xdotool poll while the program starts
# would be such a last client, and the program's connection would fail.
# Only the abstract socket, no file in /tmp/.X11-unix (-nolisten unix): with
# -displayfd the server takes the lowest number whose abstract name is free,
# and a server that has just freed that name may still unlink its socket file,
# which by then would be this server's. Clients (libxcb) try the abstract one first.
Xvfb -displayfd 3 -screen 0 1400x900x24 -nolisten tcp -nolisten unix -noreset 3>"$PRIVATE/display" >"$OUT/xvfb.log" 2>&1 &
XVFB_PID=$!
JACK_SERVER="wendle-headless-$$"
export JACK_DEFAULT_SERVER="$JACK_SERVER"
# libjack in the tools and in the program must never start a server of its own.
export JACK_NO_START_SERVER=1
jackd --no-realtime -n "$JACK_SERVER" -d dummy -r 48000 -p 256 >"$OUT/jackd.log" 2>&1 &
JACKD_PID=$!

for ((i = 0; i < 100; i++)); do
    [[ $(wc -l <"$PRIVATE/display") -ge 1 ]] && break
    kill -0 "$XVFB_PID" 2>/dev/null || die "Xvfb ended: $(tail -n 5 "$OUT/xvfb.log")"
    sleep 0.1
done
DISPLAY_NUMBER="$(head -n 1 "$PRIVATE/display")"
[[ $DISPLAY_NUMBER =~ ^[0-9]+$ ]] || die "Xvfb gave no display number"
export DISPLAY=":$DISPLAY_NUMBER"
out display "$DISPLAY"

for ((i = 0; ; i++)); do
    jack_lsp 2>/dev/null | grep -qx 'system:playback_1' && break
    kill -0 "$JACKD_PID" 2>/dev/null || die "jackd ended: $(tail -n 5 "$OUT/jackd.log")"
    [[ $i -lt 150 ]] || die "jackd $JACK_SERVER did not answer within 15 s"
    sleep 0.1
done
out jack_server "$JACK_SERVER"

# --- configuration -------------------------------------------------------------

# Two balls: the root (prime 1's colour) and /3 (prime 3's) up and right of it.
# The colours are used nowhere else in the window, whose palette is grey.
if [[ ! -e $CONFIG/wendle_v2.json ]]; then
    cat >"$CONFIG/wendle_v2.json" <<'EOF'
{"colors":[{"prime":0,"color":"#b7b7b7"},{"prime":1,"color":"#00c800"},{"prime":2,"color":"#5b5b5b"},{"prime":3,"color":"#c800c8"}],"root":{"children":{"3":{}}}}
EOF
    log "wrote the two-ball lattice"
fi
if [[ ! -e $CONFIG/options.json ]]; then
    cat >"$CONFIG/options.json" <<'EOF'
{"updateCheckInterval":4,"windowPos":"20,20","windowSize":"1316,600","circlesView":true,"defaultPatch":"Sine.pd"}
EOF
    log "wrote the options"
fi
out data "$DATA"
out config "$CONFIG"
out out "$OUT"

# The colour of prime 3 as the lattice file gives it (the program's own files
# are indented, the harness's are not).
prime_colour() {
    tr -d ' \t\r\n' <"$CONFIG/wendle_v2.json" | grep -o '{[^{}]*}' | grep -E "\"prime\":$1([^0-9.]|\$)" |
        grep -oE '"color":"#[0-9a-fA-F]{6}"' | head -n 1 | grep -oE '#[0-9a-fA-F]{6}' || true
}

# qcolor <#rrggbb> darker|lighter <factor>: the colour QColor::darker/lighter
# gives. Darker scales the HSV value, so every channel alike; lighter takes
# what would pass 255 off the saturation.
qcolor() {
    local hex="${1#\#}"
    awk -v r=$((16#${hex:0:2})) -v g=$((16#${hex:2:2})) -v b=$((16#${hex:4:2})) -v how="$2" -v f="$3" 'BEGIN {
        max = r; if (g > max) max = g; if (b > max) max = b
        min = r; if (g < min) min = g; if (b < min) min = b
        if (how == "darker") { k = 100 / f; printf "#%02x%02x%02x\n", int(r * k + 0.5), int(g * k + 0.5), int(b * k + 0.5); exit }
        if (max == 0) { printf "#%02x%02x%02x\n", int(f / 100 + 0.5), int(f / 100 + 0.5), int(f / 100 + 0.5); exit }
        s = (max - min) * 255 / max; v = max * f / 100
        if (v > 255) { s -= v - 255; if (s < 0) s = 0; v = 255 }
        lo = v * (255 - s) / 255
        n = split(r " " g " " b, c, " ")
        for (i = 1; i <= n; i++) o[i] = (max == min) ? v : lo + (c[i] - min) * (v - lo) / (max - min)
        printf "#%02x%02x%02x\n", int(o[1] + 0.5), int(o[2] + 0.5), int(o[3] + 0.5)
    }'
}

# find_colour <png> <#rrggbb>: centre "x,y" of the pixels of about that colour
# once thin lines (a strut of the same colour) are eroded away, so of the one
# ball drawn in it; empty if there is none.
find_colour() {
    local box
    box="$(convert "$1" -fuzz 3% -fill black +opaque "$2" -fill white -opaque "$2" \
        -morphology Erode Disk:8 -format '%@' info: 2>/dev/null || true)"
    [[ $box =~ ^([0-9]+)x([0-9]+)\+([0-9]+)\+([0-9]+)$ ]] || return 0
    local w=${BASH_REMATCH[1]} h=${BASH_REMATCH[2]} x=${BASH_REMATCH[3]} y=${BASH_REMATCH[4]}
    # An image with no match trims to a single pixel.
    [[ $w -gt 2 && $h -gt 2 ]] || return 0
    echo "$((x + w / 2)),$((y + h / 2))"
}

# find_icon <png> <icon.png>: centre "x,y" of the icon inside the top-left
# 500x200 of the screenshot, compared as light-on-dark shapes so that the
# button's colour does not matter; empty if it is not there.
find_icon() {
    convert "$1" -crop 500x200+0+0 +repage -colorspace Gray -threshold 50% "$PRIVATE/region.png"
    convert "$2" -background black -alpha remove -colorspace Gray -threshold 50% "$PRIVATE/icon.png"
    local size found
    size="$(convert "$PRIVATE/icon.png" -format '%w %h' info:)"
    found="$(compare -subimage-search -metric RMSE "$PRIVATE/region.png" "$PRIVATE/icon.png" null: 2>&1 || true)"
    # "<rmse> (<normalised>) @ x,y": only an exact shape counts.
    [[ $found =~ \(([0-9.e-]+)\)\ @\ ([0-9]+),([0-9]+) ]] || return 0
    awk -v e="${BASH_REMATCH[1]}" 'BEGIN { exit !(e < 0.05) }' || return 0
    echo "$((BASH_REMATCH[2] + ${size% *} / 2)),$((BASH_REMATCH[3] + ${size#* } / 2))"
}

# window_id <title>: a mapped window with exactly that name, or nothing.
window_id() {
    xdotool search --onlyvisible --name "^$1\$" 2>/dev/null | head -n 1 || true
}

# await_window <title>: waits up to 10 s for window_id <title> and prints it.
await_window() {
    local i id
    for ((i = 0; i < 100; i++)); do
        id="$(window_id "$1")"
        [[ -n $id ]] && break
        sleep 0.1
    done
    echo "$id"
}

# answer_box <window>: screenshots the message box and presses Return on it,
# up to three times; fails when a box titled as the program is still there.
answer_box() {
    sleep 0.5
    import -window root "$OUT/box.png"
    out box_screenshot "$OUT/box.png"
    local i j
    for ((i = 0; i < 3; i++)); do
        timeout 5 xdotool windowfocus --sync "$1" key Return || true
        for ((j = 0; j < 20; j++)); do
            [[ -z $(window_id "$APP_NAME") ]] && return 0
            sleep 0.1
        done
    done
    [[ -z $(window_id "$APP_NAME") ]]
}

program_running() { kill -0 "$PROGRAM_PID" 2>/dev/null; }

# program_windows: how many mapped windows the program has.
program_windows() {
    xdotool search --onlyvisible --pid "$PROGRAM_PID" 2>/dev/null | wc -l
}

# window_geometry <window>: "x,y,width,height" on the screen.
window_geometry() {
    xdotool getwindowgeometry --shell "$1" 2>/dev/null |
        awk -F= '{ v[$1] = $2 } END { print v["X"] "," v["Y"] "," v["WIDTH"] "," v["HEIGHT"] }'
}

# app_windows: how many mapped windows carry exactly the program's name (boxes, the update window).
app_windows() {
    xdotool search --onlyvisible --name "^$APP_NAME\$" 2>/dev/null | wc -l
}

# press_keys <keys...>: real key presses into the window, with time for each
# key's animated click and what it sets off.
press_keys() {
    local k
    for k in "$@"; do
        timeout 5 xdotool windowfocus --sync "$window" key "$k" || failures+=("could not press $k")
        log "pressed $k"
        sleep 0.6
    done
    out keys_pressed "$*"
}

# program_udp_ports: the local ports of the program's UDP sockets, in order.
program_udp_ports() {
    local inodes
    inodes="$(find "/proc/$PROGRAM_PID/fd" -lname 'socket:*' -printf '%l\n' 2>/dev/null | tr -dc '0-9\n' || true)"
    [[ -n $inodes ]] || return 0
    awk -v inodes="$inodes" 'BEGIN { n = split(inodes, list, "\n"); for (i = 1; i <= n; i++) want[list[i]] = 1 }
        FNR > 1 && ($10 in want) { sub(/.*:/, "", $2); print $2 }' /proc/net/udp /proc/net/udp6 2>/dev/null |
        while read -r hex; do echo $((16#$hex)); done | sort -nu | tr '\n' ' ' | sed 's/ $//'
}

# send_datagram: DATAGRAM's bytes in one write, so one datagram, once the program listens.
send_datagram() {
    local i
    for ((i = 0; i < 50; i++)); do
        [[ " $(program_udp_ports) " == *" $UDP_PORT "* ]] && break
        sleep 0.1
    done
    if [[ " $(program_udp_ports) " != *" $UDP_PORT "* ]]; then
        failures+=("the program does not listen on UDP port $UDP_PORT")
        return
    fi
    dd if="$DATAGRAM" bs=65536 count=1 status=none >"/dev/udp/127.0.0.1/$UDP_PORT"
    out datagram sent
    log "sent $DATAGRAM to UDP port $UDP_PORT"
}

# --- update feed -------------------------------------------------------------------

# The program may check for updates at start. Unless the caller points it at a
# feed, it gets one on loopback that announces nothing newer: no run reaches
# the network or meets a box about it.
FEED_PID=""
if [[ -z ${WENDLE_UPDATE_FEED_URL:-} ]]; then
    if command -v python3 >/dev/null; then
        mkdir -p "$PRIVATE/feed/downloads"
        echo '{"updates":{"linux":{"latest-version":"0"},"windows":{"latest-version":"0"}}}' >"$PRIVATE/feed/downloads/updates.json"
        python3 -u -m http.server 0 --bind 127.0.0.1 --directory "$PRIVATE/feed" >"$PRIVATE/feed.log" 2>&1 &
        FEED_PID=$!
        for ((i = 0; i < 50; i++)); do
            feed_port="$(grep -oE 'port [0-9]+' "$PRIVATE/feed.log" | head -n 1 | cut -d' ' -f2 || true)"
            [[ -n $feed_port ]] && break
            sleep 0.1
        done
        [[ -n $feed_port ]] || die "the local update feed did not start: $(tail -n 3 "$PRIVATE/feed.log")"
        export WENDLE_UPDATE_FEED_URL="http://127.0.0.1:$feed_port/downloads/updates.json"
    else
        log "python3 is missing: an update check the options ask for goes to the real feed"
    fi
fi
out update_feed "${WENDLE_UPDATE_FEED_URL:-}"

# --- the program -------------------------------------------------------------------

log "starting $PROGRAM ${PROGRAM_ARGS[*]} on $DISPLAY, JACK server $JACK_SERVER"
(
    unset WAYLAND_DISPLAY
    # No session bus: none of the caller's, and no bus autolaunched for this
    # display (a process nobody stops, and a leak in libdbus when it fails).
    export DBUS_SESSION_BUS_ADDRESS="unix:path=$PRIVATE/no-session-bus"
    export XDG_DATA_HOME="$DATA" XDG_RUNTIME_DIR="$PRIVATE/runtime" QT_QPA_PLATFORM=xcb
    mkdir -m 700 "$XDG_RUNTIME_DIR"
    exec "$PROGRAM" "${PROGRAM_ARGS[@]}" >"$OUT/program.log" 2>&1
) &
PROGRAM_PID=$!
out program_log "$OUT/program.log"
program_started=$SECONDS
failures=()

if [[ $BOX -eq 1 ]]; then
    box=""
    while [[ -z $box ]] && program_running && ((SECONDS - program_started < 30)); do
        sleep 0.2
        box="$(window_id "$APP_NAME")"
        [[ -z $box && -n $(window_id "$MAIN_TITLE") ]] && break
    done
    if [[ -z $box ]]; then
        out box missing
        failures+=("no message box titled \"$APP_NAME\"")
    else
        out box found
        if ! answer_box "$box"; then
            failures+=("the message box stayed after Return")
        else
            log "dismissed the message box"
        fi
    fi
fi

if [[ $EXPECT_STOP -eq 1 ]]; then
    # Nothing else is asked of a program that is meant to stop at its box.
    window=""
    for ((i = 0; i < 150; i++)); do
        program_running || break
        window="$(window_id "$MAIN_TITLE")"
        [[ -n $window ]] && break
        sleep 0.1
    done
    if [[ -n $window ]]; then
        out window found
        failures+=("the main window appeared")
        kill -TERM "$PROGRAM_PID" 2>/dev/null || true
    else
        out window missing
    fi
else
    window=""
    while [[ -z $window ]] && program_running && ((SECONDS - program_started < 30)); do
        sleep 0.2
        window="$(window_id "$MAIN_TITLE")"
        if [[ -z $window && $BOX -eq 0 && $LATE_BOX -eq 0 && $UPDATE_WINDOW -eq 0 && -n $(window_id "$APP_NAME") ]]; then
            import -window root "$OUT/box.png"
            out box unexpected
            out box_screenshot "$OUT/box.png"
            die "a message box titled \"$APP_NAME\" stands in the way; see $OUT/box.png and $OUT/program.log"
        fi
    done
    if [[ -z $window ]]; then
        out window missing
        if ! program_running; then
            status=0
            wait "$PROGRAM_PID" || status=$?
            PROGRAM_PID=""
            out exit "$status"
            # An X server gone under the program is the first thing to rule out.
            kill -0 "$XVFB_PID" 2>/dev/null || log "Xvfb ($XVFB_PID) had ended: $(tail -n 5 "$OUT/xvfb.log")"
            die "the program ended before its window appeared; see $OUT/program.log"
        fi
        die "no window titled \"$MAIN_TITLE\" within 30 s"
    fi
    out window found
    log "window $window after $((SECONDS - program_started)) s"

    if [[ $LATE_BOX -eq 1 ]]; then
        # A box the program shows once it runs: it blocks the window until dismissed.
        late="$(await_window "$APP_NAME")"
        if [[ -z $late ]]; then
            out late_box missing
            failures+=("no message box titled \"$APP_NAME\" after the window")
        else
            out late_box found
            answer_box "$late" || failures+=("the late message box stayed after Return")
        fi
    fi

    if [[ $UPDATE_WINDOW -eq 1 ]]; then
        # The update window and its box both carry the program's name; "No"
        # (Escape) on the box closes the window too.
        for ((i = 0; i < 150; i++)); do
            [[ $(app_windows) -ge 2 ]] && break
            sleep 0.1
        done
        out update_windows "$(app_windows)"
        import -window root "$OUT/update.png"
        out update_screenshot "$OUT/update.png"
        for ((i = 0; i < 3 && $(app_windows) > 0; i++)); do
            for id in $(xdotool search --onlyvisible --name "^$APP_NAME\$" 2>/dev/null); do
                timeout 5 xdotool windowfocus --sync "$id" key Escape || true
            done
            for ((j = 0; j < 20; j++)); do
                [[ $(app_windows) -eq 0 ]] && break 2
                sleep 0.1
            done
        done
        out update_windows_after "$(app_windows)"
    fi

    # The lattice is drawn once the view has its size: wait for the /3 ball.
    colour="$(prime_colour 3)"
    [[ -n $colour ]] || die "the lattice file gives no colour for prime 3"
    silent="$(qcolor "$colour" darker 115)"
    ball=""
    sleep 0.5
    for ((i = 0; i < 20; i++)); do
        import -window root "$OUT/window.png"
        ball="$(find_colour "$OUT/window.png" "$silent")"
        [[ -n $ball ]] && break
        sleep 0.5
    done
    out screenshot "$OUT/window.png"
    # The lattice is drawn after start-up has finished: what shows now is what start-up showed.
    out program_windows "$(program_windows)"
    out main_geometry "$(window_geometry "$window")"

    if [[ $DIAGNOSTICS -eq 1 ]]; then
        diagnostics="$(await_window Diagnostics)"
        if [[ -z $diagnostics ]]; then
            out diagnostics missing
            failures+=("no window titled \"Diagnostics\"")
        else
            out diagnostics found
            out diagnostics_geometry "$(window_geometry "$diagnostics")"
            # Select all and copy, as a player would, until the text holds a stamped line.
            for ((i = 0; i < 20; i++)); do
                timeout 5 xdotool windowfocus --sync "$diagnostics" key ctrl+a ctrl+c || true
                timeout 5 xclip -o -selection clipboard >"$OUT/diagnostics.txt" 2>/dev/null || true
                grep -q '^\[' "$OUT/diagnostics.txt" && break
                sleep 0.25
            done
            out diagnostics_text "$OUT/diagnostics.txt"
            timeout 5 xdotool windowfocus --sync "$window" || true
        fi
    fi
    # shellcheck disable=SC2086 # one word a key
    [[ -z $KEYS_FIRST ]] || press_keys $KEYS_FIRST

    if [[ $PLAY -eq 1 ]]; then
        if [[ -z $ball ]]; then
            failures+=("no ball in $silent (prime 3's $colour, darker) on the screen")
        else
            out ball "$ball"
            if [[ -n $DATAGRAM ]]; then
                send_datagram
            elif [[ $CLICK -eq 0 ]]; then
                log "recording without a click"
            else
                xdotool mousemove --sync "${ball%,*}" "${ball#*,}" click 1
                out click made
                log "clicked the /3 ball at $ball"
            fi
            # The note is posted to the audio thread; give its attack time.
            sleep 0.5
            mapfile -t ports < <(jack_lsp | grep -E '^PortAudio[^:]*:out_[0-9]+$' | sort)
            out ports "${ports[*]:-}"
            if [[ ${#ports[@]} -ne 2 ]]; then
                failures+=("expected two PortAudio output ports, found: ${ports[*]:-none}")
            else
                jack_rec -f "$OUT/recording.wav" -d 2 -b 16 "${ports[@]}" >"$OUT/jack_rec.log" 2>&1 &
                REC_PID=$!
                for ((i = 0; i < 150; i++)); do
                    kill -0 "$REC_PID" 2>/dev/null || break
                    sleep 0.1
                done
                rec_status=0
                if kill -0 "$REC_PID" 2>/dev/null; then
                    stop "$REC_PID" 1
                    rec_status=124
                else
                    wait "$REC_PID" || rec_status=$?
                fi
                REC_PID=""
                if [[ $rec_status -ne 0 || ! -s $OUT/recording.wav ]]; then
                    failures+=("jack_rec failed ($rec_status); see $OUT/jack_rec.log")
                else
                    out recording "$OUT/recording.wav"
                    if measured="$("$MEASURE" "$OUT/recording.wav")"; then
                        frequency="$(sed -n 's/^frequency=//p' <<<"$measured")"
                        out frequency "$frequency"
                        out peak "$(sed -n 's/^peak=//p' <<<"$measured")"
                        log "measured $frequency Hz"
                        awk -v f="$frequency" 'BEGIN { exit !(f > 0) }' || failures+=("the recording is silent")
                    else
                        failures+=("$MEASURE could not read the recording")
                    fi
                fi
            fi
            import -window root "$OUT/after.png"
            out screenshot_after "$OUT/after.png"
            if [[ -n $(find_colour "$OUT/after.png" "$(qcolor "$colour" lighter 130)") ]]; then
                out ball_lit yes
            else
                out ball_lit no
            fi
            if [[ $CARD -eq 1 ]]; then
                # The card is the largest patch of white in the window ("WxH+X+Y").
                white_box() {
                    convert "$1" -fuzz 3% -fill black +opaque '#ffffff' -fill white -opaque '#ffffff' \
                        -define connected-components:verbose=true -connected-components 8 null: 2>/dev/null |
                        awk '$NF == "srgb(255,255,255)" && $4 + 0 > best { best = $4 + 0; box = $2 } END { print box }' || true
                }
                is_card() { [[ $1 =~ ^([0-9]+)x([0-9]+)\+([0-9]+)\+([0-9]+)$ ]] && ((BASH_REMATCH[1] > 100 && BASH_REMATCH[2] > 40)); }
                if is_card "$(white_box "$OUT/window.png")"; then out card_before shown; else out card_before none; fi
                box="$(white_box "$OUT/after.png")"
                if is_card "$box"; then
                    card="$((BASH_REMATCH[3] + BASH_REMATCH[1] / 2)),$((BASH_REMATCH[4] + BASH_REMATCH[2] / 2))"
                    out card "$card"
                    out card_size "${BASH_REMATCH[1]}x${BASH_REMATCH[2]}"
                    xdotool mousemove --sync "${card%,*}" "${card#*,}" click 3
                    log "right-clicked the card at $card"
                    # Gone once the window is redrawn: a busy machine takes its time.
                    for ((i = 0; i < 20; i++)); do
                        sleep 0.5
                        import -window root "$OUT/card.png"
                        is_card "$(white_box "$OUT/card.png")" || break
                    done
                    if is_card "$(white_box "$OUT/card.png")"; then out card_after_right_click shown; else out card_after_right_click gone; fi
                else
                    out card missing
                    failures+=("no card beside the sounding ball in $OUT/after.png")
                fi
            fi
        fi
    fi

    if [[ $STEP_PATCH -eq 1 ]]; then
        import -window root "$OUT/patch.png"
        arrow="$(find_icon "$OUT/patch.png" "$ROOT/resources/arrowright.png")"
        if [[ -z $arrow ]]; then
            failures+=("no patch arrow (resources/arrowright.png) in the top left of the window")
        else
            out patch_arrow "$arrow"
            xdotool mousemove --sync "${arrow%,*}" "${arrow#*,}" click 1
            out patch_step made
            log "clicked the patch menu's right arrow at $arrow"
            sleep 2
            import -window root "$OUT/patch.png"
            out patch_screenshot "$OUT/patch.png"
        fi
    fi

    if [[ $OPTIONS_WINDOW -eq 1 ]]; then
        # The options window sets no title of its own: the window system
        # shows the program's name for it (in _NET_WM_NAME, which
        # getwindowname reads and search --name does not).
        options_window() {
            local id
            for id in $(xdotool search --onlyvisible --pid "$PROGRAM_PID" 2>/dev/null); do
                [[ $(xdotool getwindowname "$id" 2>/dev/null) == "$APP_NAME" ]] && { echo "$id"; return; }
            done
        }
        # options_becomes shown|gone: waits up to 10 s for the window to be so.
        options_becomes() {
            local i
            for ((i = 0; i < 100; i++)); do
                if [[ -n $(options_window) ]]; then [[ $1 == shown ]] && return 0; else [[ $1 == gone ]] && return 0; fi
                sleep 0.1
            done
            return 1
        }
        timeout 5 xdotool windowfocus --sync "$window" key ctrl+comma || failures+=("could not press ctrl+comma")
        if options_becomes shown; then
            options="$(options_window)"
            out options_by_key found
            timeout 5 xdotool windowfocus --sync "$options" key ctrl+comma || true
            if options_becomes gone; then out options_closed_by_key yes; else out options_closed_by_key no; fi
        else
            out options_by_key missing
        fi
        # The cog button in the top right; drawn smoothed, so a near match does,
        # and the window that opens proves the click.
        import -window root "$OUT/options.png"
        convert "$OUT/options.png" -crop 400x120+1000+0 +repage -colorspace Gray -threshold 50% "$PRIVATE/cog-region.png"
        convert "$ROOT/resources/cog.png" -background black -alpha remove -colorspace Gray -threshold 50% "$PRIVATE/cog.png"
        found="$(compare -subimage-search -metric RMSE "$PRIVATE/cog-region.png" "$PRIVATE/cog.png" null: 2>&1 || true)"
        if [[ $found =~ \(([0-9.e-]+)\)\ @\ ([0-9]+),([0-9]+) ]] && awk -v e="${BASH_REMATCH[1]}" 'BEGIN { exit !(e < 0.3) }'; then
            cog="$((BASH_REMATCH[2] + 1000 + 7)),$((BASH_REMATCH[3] + 7))"
            out options_button "$cog"
            xdotool mousemove --sync "${cog%,*}" "${cog#*,}" click 1
            if options_becomes shown; then
                out options_by_button found
                timeout 5 xdotool windowfocus --sync "$(options_window)" key Escape || true
                if options_becomes gone; then out options_closed_by_escape yes; else out options_closed_by_escape no; fi
            else
                out options_by_button missing
            fi
        else
            out options_button missing
        fi
    fi

    # shellcheck disable=SC2086 # one word a key
    [[ -z $KEYS ]] || press_keys $KEYS
    out udp_ports "$(program_udp_ports)"
    out app_windows "$(app_windows)"
    if [[ $LATE_BOX -eq 1 ]]; then
        if [[ -n $(window_id "$APP_NAME") ]]; then out box_again yes; else out box_again no; fi
    fi
    log "asking the program to quit (SIGTERM)"
    kill -TERM "$PROGRAM_PID" 2>/dev/null || true
fi

# --- exit --------------------------------------------------------------------------

for ((i = 0; i < 150; i++)); do
    program_running || break
    sleep 0.1
done
if program_running; then
    out exit timeout
    failures+=("the program did not end within 15 s")
else
    status=0
    wait "$PROGRAM_PID" || status=$?
    PROGRAM_PID=""
    out exit "$status"
    [[ $status -eq 0 ]] || failures+=("the program exited with $status; see $OUT/program.log")
fi
out seconds "$((SECONDS - START))"

if [[ ${#failures[@]} -gt 0 ]]; then
    for f in "${failures[@]}"; do
        log "FAILED: $f"
    done
    out result fail
    exit 1
fi
log "done in $((SECONDS - START)) s"
out result pass
