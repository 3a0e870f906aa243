#!/usr/bin/env bash
# Installs what is needed, builds Seafold and runs a local session: a server
# and two clients, "alice" and "bob", on 127.0.0.1:28000, each in its own
# window. Without a graphical display the same session runs without windows.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh

address=${SEAFOLD_ADDRESS:-127.0.0.1:28000}
pids=()
stop_all() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
}
trap stop_all INT TERM EXIT

if [ -n "${DISPLAY:-}" ] && [ -x build/bin/seafold ]; then
  echo "Starting a server and two clients (alice, bob) on $address in three windows."
  echo "Each window shows the ocean under a sky with the panel; pick a model in 'Your model',"
  echo "choose 'Model' under 'The mouse moves' and move it: the other windows show it move."
  echo "Escape or the Exit button closes a window; Ctrl-C here closes them all."
  for who in server alice bob; do
    mkdir -p "build/run/$who"
    [ -f "build/run/$who/ogre.cfg" ] || cp build/media/ogre-default.cfg "build/run/$who/ogre.cfg"
  done
  (cd build/run/server && exec ../../bin/seafold server "$address") & pids+=($!)
  sleep 1
  (cd build/run/alice && exec ../../bin/seafold -client "$address" alice) & pids+=($!)
  (cd build/run/bob && exec ../../bin/seafold -client "$address" bob) & pids+=($!)
else
  echo "No graphical display: running the session without windows (seafold-headless)."
  echo "alice picks the boat and moves it; bob's log below shows it move. Ctrl-C ends the session."
  build/bin/seafold-headless server "$address" & pids+=($!)
  sleep 0.5
  build/bin/seafold-headless -client "$address" alice --model boat.mesh --move 0.5,0,0 --move-every 1000 \
    >/dev/null & pids+=($!)
  build/bin/seafold-headless -client "$address" bob --model fish.mesh --events & pids+=($!)
fi
wait
