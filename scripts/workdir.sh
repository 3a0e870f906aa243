# Sourced by the scripts that run the programs under a private X server: a
# fresh work folder to run in, and on exit every program started (their
# process ids in $pids, the X server's in $xvfb) ended and the folder gone.
work=$(mktemp -d)
pids=""
xvfb=""
cleanup() {
    for p in $pids; do kill "$p" 2>/dev/null || true; done
    for p in $pids; do wait "$p" 2>/dev/null || true; done
    [ -n "$xvfb" ] && { kill "$xvfb" 2>/dev/null || true; wait "$xvfb" 2>/dev/null || true; }
    rm -rf "$work"
}
trap cleanup EXIT
cd "$work" || exit 1
