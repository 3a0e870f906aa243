#!/usr/bin/env bash
# Measures the interactive windowed program under a private X server (Xvfb,
# Mesa), on loopback:
#  1. frames per second of one windowed client whose scene shows three other
#     users' models moving all the time (three display-less clients, each
#     moving every 50 ms), against the same client alone, and against the
#     same moving scene with the People panel hidden; five runs of 600
#     frames each, the last two side by side in each run;
#  2. the time from a key press in one windowed client to the model moving in
#     another windowed client's scene, through their event logs (median of
#     eight presses; tests/scene/interactive_test.sh latency).
# Usage: tools/measure/interactive.sh [BUILD_DIR] [--server-args "..."] [--client-args "..."] [--fps-runs N]
#        (default build; --server-args go to every server, --client-args to
#        every client, windowed or not, e.g. "--rate 16,65535"; --fps-runs 0
#        measures only the key-press latency)
set -euo pipefail
build_arg=build
server_args=""
client_args=""
fps_runs=5
while [ $# -gt 0 ]; do
    case $1 in
        --server-args) server_args=$2; shift 2 ;;
        --client-args) client_args=$2; shift 2 ;;
        --fps-runs) fps_runs=$2; shift 2 ;;
        -*) echo "unknown option $1" >&2; exit 2 ;;
        *) build_arg=$1; shift ;;
    esac
done
build=$(realpath "$build_arg")
source_dir=$(cd "$(dirname "$0")/../.." && pwd)
seafold=$build/bin/seafold
headless=$build/bin/seafold-headless
[ -x "$seafold" ] && [ -x "$headless" ] || { echo "no $seafold or $headless; build first" >&2; exit 1; }
# shellcheck source=scripts/workdir.sh
source "$source_dir/scripts/workdir.sh"
cp "$build/media/ogre-default.cfg" ogre.cfg

exec 3>"$work/display"
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
exec 3>&-
for _ in $(seq 1 100); do [ -s display ] && break; sleep 0.1; done
export DISPLAY=:$(head -n 1 display)

echo "load before: $(cut -d' ' -f1-3 /proc/loadavg); server args [$server_args] client args [$client_args]"

free_port() {
    python3 -c 'import socket; s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# viewer_fps PORT: one windowed client for 600 frames; prints its report line.
viewer_fps() {
    SEAFOLD_FRAME_REPORT=1 SEAFOLD_SCREENSHOT_AFTER_FRAMES=600 SEAFOLD_SCREENSHOT_PATH="$work/viewer.png" \
        SEAFOLD_EVENT_LOG="$work/viewer.log" timeout 120 "$seafold" -client 127.0.0.1:$1 viewer $client_args 2>&1 |
        sed -n 's/.*; \(.*frames per second\).*/\1/p'
}

# shellcheck disable=SC2086 # the extra arguments are meant to split
for run in $(seq 1 "$fps_runs"); do
    port=$(free_port)
    timeout 300 "$headless" server 127.0.0.1:$port $server_args >/dev/null 2>&1 &
    server=$!
    pids="$server"
    sleep 0.5
    alone=$(viewer_fps $port)
    for user in 1 2 3; do
        timeout 300 "$headless" -client 127.0.0.1:$port mover$user --model boat.mesh --move 0,0,-1 --move 0,0,1 \
            --move-every 50 $client_args >/dev/null 2>&1 &
        pids="$pids $!"
    done
    sleep 2
    moving=$(viewer_fps $port)
    shown=$(grep -c '"model": "mover' "$work/viewer.log" || true)
    hidden=$(SEAFOLD_PEOPLE_PANEL=0 viewer_fps $port)
    echo "run $run: alone $alone; with three models moving $moving ($shown model changes seen);" \
        "the same without the People panel $hidden"
    panel_fps="${panel_fps:-} $(sed -n 's/.* \([0-9.]*\) frames per second.*/\1/p' <<<"$moving")"
    hidden_fps="${hidden_fps:-} $(sed -n 's/.* \([0-9.]*\) frames per second.*/\1/p' <<<"$hidden")"
    for p in $pids; do kill "$p" 2>/dev/null || true; done
    for p in $pids; do wait "$p" 2>/dev/null || true; done
    pids=""
done

if [ "$fps_runs" -gt 0 ]; then
    awk -v a="$panel_fps" -v b="$hidden_fps" 'BEGIN {
        n = split(a, x, " "); split(b, y, " ");
        for (i = 1; i <= n; i++) { sa += x[i]; sb += y[i] }
        printf "three models moving: %.1f frames per second with the People panel, %.1f without (%+.1f%%)\n",
            sa / n, sb / n, (sa - sb) / sb * 100 }'
fi

echo "key press to movement in another client's scene:"
SEAFOLD_SERVER_ARGS=$server_args SEAFOLD_CLIENT_ARGS=$client_args \
    "$source_dir/tests/scene/interactive_test.sh" latency "$seafold" "$work/latency" 2>&1 | grep -E "ms|PASS|FAIL"
# Where the time goes: the program seeing the key, the trip to the server, the relay.
[ -f "$work/latency/latency/presses.txt" ] && "$source_dir/tools/measure/keylatency.py" "$work/latency/latency"
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"
