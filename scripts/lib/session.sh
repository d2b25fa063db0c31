# Helpers for scripts that drive the real program: a private copy of the build folder with its
# own setup.ini, a virtual screen, synthetic cameras, and clicks that start recordings.
# Source it from the repository root; the caller sets PORT (default 8811) and may set SCREEN.

PORT="${PORT:-8811}"
SCREEN="${SCREEN:-1280x1024}"
BUILD="${NORVALE_BUILD:-build}"

session_log() { printf '[%s] %s\n' "$(date +%H:%M:%S)" "$*"; }

# session_start CAMERAS LAYOUT [extra environment assignments...]
# Starts the program with CAMERAS synthetic cameras in cameras 1..CAMERAS, LAYOUT frames shown.
# SESSION_CAMERA_KEYS: more "Key=value" lines for every camera's section (default none).
session_start() {
    local cameras=$1 layout=$2
    shift 2
    SESSION=$(mktemp -d /tmp/norvale-session.XXXXXX)
    mkdir -p "$SESSION/app" "$SESSION/rec" "$SESSION/tmp" "$SESSION/run"
    chmod 700 "$SESSION/run"
    cp -r "$BUILD/norvale" "$BUILD/locale" "$BUILD/update.dll" "$BUILD/assets" "$SESSION/app/" 2>/dev/null
    {
        for n in $(seq 1 "$cameras"); do
            printf '[Camera%d]\nVideoDeviceIndex=%d\nSaveFilePath=%s/rec/\n' "$n" "$((n - 1))" "$SESSION"
            [ -n "${SESSION_CAMERA_KEYS:-}" ] && printf '%s\n' "$SESSION_CAMERA_KEYS"
        done
        printf '[System]\nCurrentCnt=%d\n' "$layout"
    } > "$SESSION/app/setup.ini"
    for d in $(seq 90 140); do
        if [ ! -e "/tmp/.X11-unix/X$d" ] && [ ! -e "/tmp/.X$d-lock" ]; then
            SESSION_DISPLAY=":$d"
            break
        fi
    done
    # No access control: players run as another user (VLC refuses root).
    Xvfb "$SESSION_DISPLAY" -screen 0 "${SCREEN}x24" -nolisten tcp -ac >/dev/null 2>&1 &
    SESSION_XVFB=$!
    export DISPLAY="$SESSION_DISPLAY"
    sleep 1
    env TMPDIR="$SESSION/tmp" XDG_RUNTIME_DIR="$SESSION/run" NORVALE_TEST_DEVICES="$cameras" \
        NORVALE_MMS_PORT="$PORT" "$@" "$SESSION/app/norvale" >"$SESSION/program.log" 2>&1 &
    SESSION_APP=$!
    sleep 4
    local w=${SCREEN%x*} h=${SCREEN#*x}
    ORIGIN_X=$(((w - 1024) / 2))
    ORIGIN_Y=$(((h - 768) / 2))
    trap session_stop EXIT
}

# The centre of camera N's frame in the four-frame or one-frame layout, in screen coordinates.
frame_centre() {
    local n=$1 layout=$2
    if [ "$layout" = 1 ]; then
        echo "$((ORIGIN_X + 400)) $((ORIGIN_Y + 330))"
        return
    fi
    local col=$(((n - 1) % 2)) row=$(((n - 1) / 2))
    echo "$((ORIGIN_X + 222 + col * 395)) $((ORIGIN_Y + 185 + row * 327))"
}

# session_record N LAYOUT: select camera N, start its preview, then its recording (pop-up menu,
# "Save").
session_record() {
    local xy
    xy=$(frame_centre "$1" "$2")
    # shellcheck disable=SC2086
    xdotool mousemove $xy click 1
    sleep 0.5
    xdotool mousemove $((ORIGIN_X + 572)) $((ORIGIN_Y + 716)) click 1 # Preview
    sleep 2
    # shellcheck disable=SC2086
    xdotool mousemove $xy click 3
    sleep 0.5
    xdotool key s
    sleep 1
}

# Ends the program as closing it would (SIGTERM: the normal shutdown), then the screen.
session_stop() {
    trap - EXIT
    if [ -n "${SESSION_APP:-}" ]; then
        kill -TERM "$SESSION_APP" 2>/dev/null || true
        for _ in $(seq 1 50); do kill -0 "$SESSION_APP" 2>/dev/null || break; sleep 0.2; done
        kill -KILL "$SESSION_APP" 2>/dev/null || true
        SESSION_APP=
    fi
    if [ -n "${SESSION_XVFB:-}" ]; then
        kill "$SESSION_XVFB" 2>/dev/null || true
        SESSION_XVFB=
    fi
}
