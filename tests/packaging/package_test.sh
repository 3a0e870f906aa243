#!/usr/bin/env bash
# The Debian package as a user gets it: built by scripts/package.sh, its file
# list and dependency line (runtime libraries only), unpacked into a staging
# folder whose programs run from there and find their media there (a server
# with a kept key, a display-less client and a windowed client that join
# it), no lintian errors, and the service unit checked by systemd-analyze.
# Run by scripts/test.sh after the normal build; everything on loopback.
set -euo pipefail
cd "$(dirname "$0")/../.."
fail() { echo "package_test: $*" >&2; exit 1; }

scripts/package.sh >/dev/null 2>&1 || { scripts/package.sh; fail "scripts/package.sh failed"; }
deb=$(realpath build/seafold_*_amd64.deb)
work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

echo "-- file list"
dpkg-deb -c "$deb" | awk '{print $NF}' | sed 's#^\./#/#' > "$work/files"
for needed in /usr/bin/seafold /usr/bin/seafold-headless /usr/share/seafold/plugins.cfg \
              /usr/share/seafold/resources.cfg /usr/share/seafold/ogre-default.cfg \
              /usr/share/seafold/models/boat.mesh /usr/share/seafold/textures/flare.png \
              /usr/share/seafold/gui/Seafold.layout /usr/share/seafold/sfx/phaser.wav \
              /usr/share/man/man6/seafold.6.gz /usr/share/man/man6/seafold-headless.6.gz \
              /usr/share/applications/seafold.desktop /usr/share/icons/hicolor/scalable/apps/seafold.svg \
              /lib/systemd/system/seafold-server.service /etc/seafold/server.conf \
              /usr/share/doc/seafold/copyright; do
  grep -qx "$needed" "$work/files" || fail "the package lacks $needed"
done
# Nothing of the build's own: no tests, tools, generators or stamps.
if grep -E 'test_|mediagen|sfxgen|\.stamp$|\.a$|/include/' "$work/files"; then
  fail "the package holds build files (above)"
fi

echo "-- dependencies"
depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
[[ "$depends" == *libogre* && "$depends" == *libcegui-mk2-data* ]] || fail "Depends lacks the renderer or GUI data"
if tr ',' '\n' <<<"$depends" | grep -- '-dev\b'; then fail "Depends names a -dev package"; fi

echo "-- lintian"
if command -v lintian >/dev/null; then
  lintian --tag-display-limit 0 "$deb" 2>&1 | grep -v 'root privileges' | tee "$work/lintian" || true
  if grep -q '^E:' "$work/lintian"; then fail "lintian reports errors"; fi
else
  echo "skipped: lintian is not installed (scripts/test.sh installs it)"
fi

echo "-- staged install"
stage=$work/stage
dpkg-deb -x "$deb" "$stage"
bin=$stage/usr/bin
"$bin/seafold-headless" --version | grep -q '^seafold-headless [0-9]' || fail "staged seafold-headless --version"
"$bin/seafold" --version | grep -q '^seafold [0-9]' || fail "staged seafold --version"
# Run from a folder without media, with nothing pointing at the build tree.
mkdir "$work/run"
cd "$work/run"
unset SEAFOLD_MEDIA
port=$(python3 -c 'import socket; s=socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
address=127.0.0.1:$port

# serve LOG: a staged server with its key in the staging folder, until stopped.
serve() {
  "$bin/seafold-headless" server "$address" --no-discovery --no-console --secure \
    --key-file "$work/server.key" --quit-after 60 >"$1" 2>&1 &
  pids+=($!)
  server=$!
  for _ in $(seq 1 100); do
    grep -q 'listening on' "$1" && return 0
    kill -0 "$server" 2>/dev/null || { cat "$1" >&2; fail "the staged server did not start"; }
    sleep 0.1
  done
  fail "the staged server did not report listening in 10 s"
}
fingerprint() { sed -n 's/.*key fingerprint \([0-9a-f]*\).*/\1/p' "$1"; }

serve "$work/server1.log"
[ "$(stat -c %a "$work/server.key")" = 600 ] || fail "the key file is not owner-only"
"$bin/seafold-headless" -client "$address" alice --no-retry --quit-after 1 >"$work/alice.log" 2>&1 ||
  { cat "$work/alice.log" >&2; fail "the staged client could not join"; }
grep -q 'Connected to the server' "$work/alice.log" || fail "the staged client did not connect"
if [ -n "${DISPLAY:-}" ] || command -v xvfb-run >/dev/null; then
  run=(env)
  [ -n "${DISPLAY:-}" ] || run=(xvfb-run -a)
  "${run[@]}" env SEAFOLD_SCREENSHOT_AFTER_FRAMES=10 SEAFOLD_SCREENSHOT_PATH="$work/frame.png" \
    "$bin/seafold" -client "$address" bob --no-retry >"$work/bob.log" 2>&1 ||
    { cat "$work/bob.log" >&2; fail "the staged windowed client failed"; }
  [ -s "$work/frame.png" ] || fail "the staged windowed client drew no frame"
  grep -q 'bob joined' "$work/server1.log" || fail "the server did not see bob join"
else
  echo "skipped the windowed client: no display and no xvfb-run"
fi
kill "$server"; wait "$server" 2>/dev/null || true
# The same key, so the same fingerprint, after a restart.
serve "$work/server2.log"
[ -n "$(fingerprint "$work/server1.log")" ] || fail "no fingerprint in the server's line"
[ "$(fingerprint "$work/server1.log")" = "$(fingerprint "$work/server2.log")" ] ||
  fail "the fingerprint changed across a restart with --key-file"
kill "$server"; wait "$server" 2>/dev/null || true
chmod 644 "$work/server.key"
if "$bin/seafold-headless" server "$address" --no-console --key-file "$work/server.key" --quit-after 5 \
     >"$work/server3.log" 2>&1; then
  fail "a server started with a key file others can read"
fi
grep -q 'can be read by others' "$work/server3.log" || fail "the refusal does not say why"

echo "-- service unit"
if command -v systemd-analyze >/dev/null; then
  # The unit as installed, pointed at the staged program; its man: link is
  # not looked up (the page is not installed on this machine).
  sed "s#/usr/bin/seafold-headless#$bin/seafold-headless#" "$stage/lib/systemd/system/seafold-server.service" \
    >"$work/seafold-server.service"
  systemd-analyze verify --man=no "$work/seafold-server.service" >"$work/verify" 2>&1 ||
    { cat "$work/verify" >&2; fail "systemd-analyze verify failed"; }
  if [ -s "$work/verify" ]; then cat "$work/verify" >&2; fail "systemd-analyze verify complained"; fi
else
  echo "skipped: systemd-analyze is not installed (no systemd on this machine)"
fi
echo "package_test: all checks passed ($(du -k "$deb" | cut -f1) KiB package)"
