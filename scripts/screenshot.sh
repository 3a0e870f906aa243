#!/usr/bin/env bash
# Makes the README's picture from the programs as they are built: under a
# private X server (Xvfb, Mesa), on loopback, a display-less server, bob in a
# window with the boat, and alice (display-less) with the lighthouse, who says
# one chat line and speaks from a file without a pause (two users: the People
# list of a 768-line window shows every line of two without scrolling); once bob's People panel marks alice as talking and a
# few seconds have smoothed his round trip, the screen is saved.
# Usage: scripts/screenshot.sh [BUILD_DIR] [OUT.png]   (default build, docs/screenshot.png)
# Every wait is bounded; the picture is taken from the X server, not by the
# program's Print Screen, so it shows no "Saved" notice.
set -euo pipefail
source_dir=$(cd "$(dirname "$0")/.." && pwd)
build=$(realpath "${1:-$source_dir/build}")
out=$(realpath "${2:-$source_dir/docs/screenshot.png}")
seafold=$build/bin/seafold
headless=$build/bin/seafold-headless
if [ ! -x "$seafold" ] || [ ! -x "$headless" ]; then
    echo "no $seafold or $headless; build first" >&2
    exit 1
fi
# shellcheck source=scripts/workdir.sh
source "$source_dir/scripts/workdir.sh"

# The window's own size (ogre-default.cfg: 1024 x 768) fills the screen.
exec 3>"$work/display"
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp -nocursor >/dev/null 2>&1 &
xvfb=$!
exec 3>&-
for _ in $(seq 1 100); do [ -s display ] && break; sleep 0.1; done
DISPLAY=:$(head -n 1 display)
export DISPLAY
# Nothing the programs keep between runs lands in the user's folders.
export XDG_STATE_HOME=$work/state XDG_CONFIG_HOME=$work/config XDG_CACHE_HOME=$work/cache XDG_PICTURES_DIR=$work

# wait_for_panel FILE SECONDS REGEX: until the last line of FILE that has
# "people" matches (the panel as it is now), 10 looks a second.
wait_for_panel() {
    local tries=$(($2 * 10))
    while [ "$tries" -gt 0 ]; do
        grep '"people"' "$1" 2>/dev/null | tail -n 1 | grep -q "$3" && return 0
        sleep 0.1
        tries=$((tries - 1))
    done
    return 1
}

# alice's voice: 3 s of a voiced buzz (8000 Hz mono 16-bit), spoken every 3 s.
python3 "$source_dir/tests/wavfile.py" buzz "$work/speech.wav" 3

port=$(python3 -c 'import socket; s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
timeout 300 "$headless" server "127.0.0.1:$port" --no-console --quiet >server.txt 2>&1 &
pids="$pids $!"
cp "$build/media/ogre-default.cfg" ogre.cfg
SEAFOLD_EVENT_LOG=$work/bob.log timeout 300 "$seafold" -client "127.0.0.1:$port" bob --model boat.mesh >bob.txt 2>&1 &
pids="$pids $!"
wait_for_panel bob.log 120 'connected' || { echo "bob did not connect" >&2; tail -5 bob.txt >&2; exit 1; }
timeout 300 "$headless" -client "127.0.0.1:$port" alice --model lighthouse.mesh --speak speech.wav --speak-every 3 \
    --say "Hello from the lighthouse!" >alice.txt 2>&1 &
pids="$pids $!"
wait_for_panel bob.log 60 '♪ alice · lighthouse' || { echo "bob's panel never marked alice talking" >&2; exit 1; }
sleep 4
wait_for_panel bob.log 10 '♪ alice · lighthouse' || { echo "alice stopped talking" >&2; exit 1; }
import -window root "$work/shot.png"
mv "$work/shot.png" "$out"
echo "$out: $(stat -c %s "$out") bytes; bob's panel: $(grep '"people"' bob.log | tail -n 1 | cut -d'[' -f2 | cut -d']' -f1)"
