"""The windowed program in end-to-end tests and measurements: a private X
server (Xvfb on a display number it picks itself), the program run with its
event log (and, if asked, its frame trace) in a folder of its own, and the
figures a frame trace gives of another user's model."""

import json
import math
import os
import statistics
import subprocess
import sys
import time


def start_xvfb(work, size="1024x768x24"):
    """Starts Xvfb; returns (process, display name) once a client can open it."""
    read_end, write_end = os.pipe()
    xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(write_end), "-screen", "0", size, "-nolisten", "tcp"],
                            pass_fds=(write_end,), stdout=subprocess.DEVNULL,
                            stderr=open(os.path.join(work, "xvfb.log"), "w"))
    os.close(write_end)
    with os.fdopen(read_end) as f:
        display = f.readline().strip()
    if not display:
        xvfb.kill()
        sys.exit("Xvfb did not start")
    # The display number comes when the server listens; wait until a client
    # can open it before any program tries (bounded: 10 s, 200 tries).
    for _ in range(200):
        if subprocess.run(["xdotool", "getdisplaygeometry"], env=dict(os.environ, DISPLAY=":" + display),
                          stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode == 0:
            break
        time.sleep(0.05)
    return xvfb, ":" + display


def wait_until(predicate, seconds, step=0.1):
    """True as soon as `predicate()` is; False after `seconds`."""
    end = time.time() + seconds
    while time.time() < end:
        if predicate():
            return True
        time.sleep(step)
    return False


def waiter(failures):
    """wait(what, predicate, seconds): wait_until, noting in `failures`
    what was waited for in vain; True when it came."""
    def wait(what, predicate, seconds):
        if not wait_until(predicate, seconds):
            failures.append(f"timed out waiting for {what}")
            return False
        return True
    return wait


def xdotool(display, *args):
    subprocess.run(["xdotool"] + list(args), env=dict(os.environ, DISPLAY=display), stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, timeout=20)


def click(display, area):
    """Clicks the middle of `area` (x, y, width, height) in a window at the
    screen's top left; the GUI's cursor follows the pointer's moves, so it
    goes to the far corner and back to the window's top left first."""
    x, y, w, h = area
    xdotool(display, "mousemove", "1023", "767")
    time.sleep(0.1)
    xdotool(display, "mousemove", "0", "0")
    time.sleep(0.1)
    for dx in (-2, 0):
        xdotool(display, "mousemove", str(int(x + w / 2) + dx), str(int(y + h / 2)))
        time.sleep(0.2)
    xdotool(display, "click", "1")
    time.sleep(0.3)


class WindowedProcess:
    """The windowed program in folder WORK/NAME (the shipped default
    configuration, no dialog), its event log in events.log there."""

    def __init__(self, binary, work, name, args, display, trace_frames=False, env=None, prefix=None):
        self.folder = os.path.join(work, name)
        os.makedirs(self.folder, exist_ok=True)
        self.log = os.path.join(self.folder, "events.log")
        # Config and state folders of its own, as another user's would be:
        # what one run keeps there (a model, a name, the servers it joined,
        # the key it hosts with) never reaches another program.
        self.config = os.path.join(self.folder, "config")
        environment = dict(env or os.environ, DISPLAY=display, SEAFOLD_EVENT_LOG=self.log,
                           XDG_CONFIG_HOME=self.config, XDG_STATE_HOME=os.path.join(self.folder, "state"),
                           XDG_CACHE_HOME=os.path.join(self.folder, "cache"))
        if trace_frames:
            environment["SEAFOLD_TRACE_FRAMES"] = "1"
        self.p = subprocess.Popen((prefix or []) + [os.path.abspath(binary)] + args, cwd=self.folder,
                                  env=environment,
                                  stdout=open(os.path.join(self.folder, "out.txt"), "w"),
                                  stderr=open(os.path.join(self.folder, "err.txt"), "w"))

    def events(self):
        if not os.path.exists(self.log):
            return []
        out = []
        with open(self.log) as f:
            for line in f:
                try:
                    out.append(json.loads(line))
                except json.JSONDecodeError:
                    pass  # the line being written
        return out

    def stop(self):
        if self.p.poll() is None:
            self.p.terminate()
        try:
            return self.p.wait(timeout=30)
        except subprocess.TimeoutExpired:
            self.p.kill()
            return self.p.wait()


def frames_of(events, user):
    """(t, pos, yaw) of every traced frame that shows `user`'s model."""
    return [(e["t"], e["shown"][user]["pos"], e["shown"][user]["yaw"]) for e in events
            if "frame" in e and user in e.get("shown", {})]


def received_of(events, user):
    """(t, pos) of every change of `user`'s model as the session applied it."""
    return [(e["t"], e["pos"]) for e in events if e.get("model") == user and e.get("entity")]


def cv(values):
    """Coefficient of variation, or None."""
    mean = statistics.mean(values) if values else 0
    return statistics.pstdev(values) / mean if mean else None


def crossing(frames, after, x):
    """When the frames (after `after`) first drew the model at `x` or beyond."""
    for a, b in zip(frames, frames[1:]):
        if b[0] < after or b[1][0] < x - 1e-9:
            continue
        if a[1][0] >= x - 1e-9 or b[1][0] == a[1][0]:
            return max(a[0], after) if a[1][0] >= x - 1e-9 else b[0]
        return max(a[0] + (x - a[1][0]) / (b[1][0] - a[1][0]) * (b[0] - a[0]), after)
    return None


def motion_figures(frames, received, t0, t1):
    """Between t0 and t1 (ms, while the user moves): the share of frames in
    which the model stood somewhere new, the coefficient of variation of the
    per-frame step, and the median time from a state's arrival to the first
    moment the frames drew the model that far along x (the user moves along
    +x; between two frames the moment is interpolated, so that the frame
    rate does not count as delay)."""
    window = [f for f in frames if t0 <= f[0] <= t1]
    steps = [math.dist(a[1], b[1]) for a, b in zip(window, window[1:])]
    moved = sum(1 for s in steps if s > 0)
    figures = {"frames": len(steps), "moved_share": moved / len(steps) if steps else 0.0}
    figures["step_cv"] = cv(steps)
    # The steps can be no more even than the frames are.
    figures["frame_interval_cv"] = cv([b[0] - a[0] for a, b in zip(window, window[1:])])
    delays = []
    for t, pos in received:
        if not t0 <= t <= t1:
            continue
        drawn = crossing(frames, t, pos[0])
        if drawn is not None:
            delays.append(drawn - t)
    figures["delay_median_ms"] = statistics.median(delays) if delays else None
    return figures


def stop_all(xvfb, *processes):
    """Stops each process given (None is skipped), then the display."""
    for process in processes:
        if process:
            process.stop()
    xvfb.terminate()
    xvfb.wait()


def report(failures, passed):
    """Prints the failures and exits 1, or prints `passed`."""
    if failures:
        print("\n".join(failures))
        sys.exit(1)
    print(passed)
