#!/usr/bin/env bash
# Installs what building and running need (not the test tools), builds the
# two programs and their media, and runs a local session: a server and two
# clients, "alice" and "bob", on
# SEAFOLD_ADDRESS (default 127.0.0.1:28000), each in its own window. Without a
# graphical display the same session runs without windows. Every line the
# programs print is prefixed with who printed it. When the address is taken,
# it says so and names a free one.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

if [ -x build/bin/seafold-headless ]; then
  echo "Building Seafold (only what changed) ..."
else
  echo "Building Seafold for the first time: this takes a few minutes."
  echo "Later runs rebuild only what changed."
fi
# Without the tests and benchmarks, whose libraries only scripts/test.sh
# installs (it turns them on again).
SEAFOLD_TARGET=programs scripts/build.sh -DSEAFOLD_TESTS=OFF -DSEAFOLD_BENCH=OFF

address=${SEAFOLD_ADDRESS:-127.0.0.1:28000}
logs=build/run/logs
mkdir -p "$logs"
pids=()
stop_all() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
}
trap stop_all INT TERM EXIT

# start WHO FOLDER PROGRAM ARGS...: runs PROGRAM in FOLDER, its output (both
# streams) prefixed with [WHO] on this terminal and kept in build/run/logs/WHO.log.
start() {
  local who=$1 folder=$2
  shift 2
  mkdir -p "$folder"
  (cd "$folder" && exec "$@") > >(sed -u "s/^/[$who] /" | tee "$logs/$who.log") 2>&1 &
  pids+=($!)
  started=$!
}

# free_address: the first port after ours on the same host that nothing
# holds now, as HOST:PORT. The discovery port is never offered: a running
# session holds it beside its own port, so it is taken whether or not a bind
# test happens to catch it (the programs' --help names its default).
free_address() {
  local host=${address%:*} port=${address##*:} discovery
  discovery=$(build/bin/seafold-headless --help 2>/dev/null |
    sed -n 's/.*--discovery-port.*(default \([0-9]*\)).*/\1/p' | head -n 1)
  python3 - "$host" "$port" "${discovery:-28001}" <<'PY'
import socket, sys
host, port, discovery = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
for candidate in range(port + 1, min(port + 200, 65536)):
    if candidate == discovery:
        continue
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        try:
            s.bind((host, candidate))
        except OSError:
            continue
    print(f"{host}:{candidate}")
    break
PY
}

# The server first: if it cannot listen (another session already runs on
# this port, say) it ends with a line that says why, and so does this script,
# rather than letting alice and bob join someone else's session.
wait_for_server() {
  local pid=$1 other
  for _ in $(seq 1 100); do
    grep -q "Seafold server listening on" "$logs/server.log" 2>/dev/null && return 0
    if ! kill -0 "$pid" 2>/dev/null; then
      sleep 0.2 # let its last line through
      echo "run.sh: the server could not start on $address (see its line above)." >&2
      if grep -q "already in use" "$logs/server.log" 2>/dev/null; then
        other=$(free_address 2>/dev/null || true)
        echo "run.sh: is another session running? Stop it, or run this one on a free address:" >&2
        echo "run.sh:   SEAFOLD_ADDRESS=${other:-HOST:PORT} scripts/run.sh" >&2
      fi
      exit 1
    fi
    sleep 0.1
  done
  echo "run.sh: the server did not report listening on $address within 10 s." >&2
  exit 1
}

rm -f "$logs"/*.log
if [ -n "${DISPLAY:-}" ] && [ -x build/bin/seafold ]; then
  echo "Starting a server and two clients (alice, bob) on $address in three windows."
  echo "Each window shows the ocean under a sky with the panel; pick a model in 'Your model',"
  echo "choose 'Model' under 'The mouse moves' and move it: the other windows show it move."
  echo "Escape or the Exit button closes a window; Ctrl-C here closes them all."
  # Each window keeps its choices in a settings folder of its own: the three
  # users would otherwise share (and rewrite) one file.
  start server build/run/server env XDG_CONFIG_HOME="$PWD/build/run/server/config" ../../bin/seafold server "$address"
  wait_for_server "$started"
  start alice build/run/alice env XDG_CONFIG_HOME="$PWD/build/run/alice/config" ../../bin/seafold -client "$address" alice
  start bob build/run/bob env XDG_CONFIG_HOME="$PWD/build/run/bob/config" ../../bin/seafold -client "$address" bob
else
  echo "No graphical display: running the session without windows (seafold-headless)."
  echo "alice picks the boat and moves it; bob's JSON lines below show it move. Ctrl-C ends the session."
  start server build/run/server ../../bin/seafold-headless server "$address"
  wait_for_server "$started"
  start alice build/run/alice ../../bin/seafold-headless -client "$address" alice --model boat.mesh \
    --move 0.5,0,0 --move-every 1000
  start bob build/run/bob ../../bin/seafold-headless -client "$address" bob --model fish.mesh --events
fi
wait
