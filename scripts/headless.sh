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
EOF
}

DATA="$ROOT/build/headless/data"
OUT="$ROOT/build/headless/out"
PROGRAM="$ROOT/build/app/drovane-tuning-wendle"
MEASURE="$ROOT/build/tests/support/wendle-measure"
FRESH=0 PLAY=1 STEP_PATCH=0 BOX=0 EXPECT_STOP=0

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
        -h | --help) usage; exit 0 ;;
        *) echo "unknown option: $1" >&2; usage >&2; exit 2 ;;
    esac
done
if [[ $EXPECT_STOP -eq 1 && $BOX -eq 0 ]]; then
    echo "--expect-stop goes with --box" >&2
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
rm -f "$OUT"/{box,window,after,patch}.png "$OUT"/recording.wav "$OUT"/{program,xvfb,jackd,jack_rec}.log

PRIVATE="$(mktemp -d "${TMPDIR:-/tmp}/wendle-headless.XXXXXX")"
XVFB_PID="" JACKD_PID="" PROGRAM_PID="" REC_PID=""

# stop <pid> <seconds>: SIGTERM, then SIGKILL after the grace time.
stop() {
    local pid="$1" grace="$2" i
    [[ -n $pid ]] && kill -0 "$pid" 2>/dev/null || return 0
    kill -TERM "$pid" 2>/dev/null || true
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
    rm -rf "$PRIVATE"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

START=$SECONDS

# --- private X server and JACK server, started together ---------------------

log "starting Xvfb and jackd"
: >"$PRIVATE/display"
Xvfb -displayfd 3 -screen 0 1400x900x24 -nolisten tcp 3>"$PRIVATE/display" >"$OUT/xvfb.log" 2>&1 &
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

program_running() { kill -0 "$PROGRAM_PID" 2>/dev/null; }

# --- the program -------------------------------------------------------------------

log "starting $PROGRAM on $DISPLAY, JACK server $JACK_SERVER"
(
    unset WAYLAND_DISPLAY
    # No session bus: none of the caller's, and no bus autolaunched for this
    # display (a process nobody stops, and a leak in libdbus when it fails).
    export DBUS_SESSION_BUS_ADDRESS="unix:path=$PRIVATE/no-session-bus"
    export XDG_DATA_HOME="$DATA" XDG_RUNTIME_DIR="$PRIVATE/runtime" QT_QPA_PLATFORM=xcb
    mkdir -m 700 "$XDG_RUNTIME_DIR"
    exec "$PROGRAM" >"$OUT/program.log" 2>&1
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
        sleep 0.5
        import -window root "$OUT/box.png"
        out box_screenshot "$OUT/box.png"
        for ((i = 0; i < 3; i++)); do
            timeout 5 xdotool windowfocus --sync "$box" key Return || true
            for ((j = 0; j < 20; j++)); do
                [[ -z $(window_id "$APP_NAME") ]] && break 2
                sleep 0.1
            done
        done
        if [[ -n $(window_id "$APP_NAME") ]]; then
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
        if [[ -z $window && $BOX -eq 0 && -n $(window_id "$APP_NAME") ]]; then
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
            die "the program ended before its window appeared; see $OUT/program.log"
        fi
        die "no window titled \"$MAIN_TITLE\" within 30 s"
    fi
    out window found
    log "window $window after $((SECONDS - program_started)) s"

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

    if [[ $PLAY -eq 1 ]]; then
        if [[ -z $ball ]]; then
            failures+=("no ball in $silent (prime 3's $colour, darker) on the screen")
        else
            out ball "$ball"
            xdotool mousemove --sync "${ball%,*}" "${ball#*,}" click 1
            out click made
            log "clicked the /3 ball at $ball"
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
