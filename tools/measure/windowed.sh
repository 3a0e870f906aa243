#!/usr/bin/env bash
# Measures the windowed program under a private X server (Xvfb, Mesa):
# start-up time to the first frame and frames per second over 600 frames
# (five runs), then processor use and resident memory of one running server
# over 10 s after a 5 s warm-up.
# Usage: tools/measure/windowed.sh [BUILD_DIR]   (default build)
set -euo pipefail
build=$(realpath "${1:-build}")
seafold=$build/bin/seafold
[ -x "$seafold" ] || { echo "no $seafold; build first" >&2; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
cp "$build/media/ogre-default.cfg" ogre.cfg

echo "load before: $(cut -d' ' -f1-3 /proc/loadavg)"
for i in 1 2 3 4 5; do
    SEAFOLD_FRAME_REPORT=1 SEAFOLD_SCREENSHOT_AFTER_FRAMES=600 SEAFOLD_SCREENSHOT_PATH="$work/shot.png" \
        timeout 120 xvfb-run -a -s "-screen 0 1024x768x24" "$seafold" server 127.0.0.1:2890$i 2>&1 |
        grep "first frame"
done

cat > running.sh <<'SH'
#!/usr/bin/env bash
SEAFOLD_SCREENSHOT_AFTER_FRAMES=1000000 "$1" server 127.0.0.1:28910 2>/dev/null &
p=$!
sleep 5
tick=$(getconf CLK_TCK)
t0=$(awk '{print $14+$15}' /proc/$p/stat)
sleep 10
t1=$(awk '{print $14+$15}' /proc/$p/stat)
rss=$(awk '/VmRSS/{print $2}' /proc/$p/status)
echo "one server: processor $(( (t1 - t0) * 100 / tick / 10 ))% of one core, resident $((rss / 1024)) MiB"
kill $p
wait
SH
chmod +x running.sh
timeout 60 xvfb-run -a -s "-screen 0 1024x768x24" ./running.sh "$seafold"
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"
