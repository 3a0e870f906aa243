"""Shared pieces of the measurement scripts: processes started with bounded
lifetimes, their JSON lines, CPU and memory sampling from /proc, the server's
--stats queue figures, and the relay delay of unit moves.

Only the JSON lines and the --stats output of the programs are read, by key,
so that new keys or options do not break the scripts.

Relay delay (used throughout): a mover makes move k (every move is +1 on x)
at time made[k]. A scene's offset of that mover counts the moves it has seen.
The delay of move k is the time the scene's offset first reaches k minus
made[k]. This stays meaningful when one receipt carries the sum of several
moves. A lost relay makes every later move look one interval later and leaves
the final offset short; moves never reached are reported as missing."""

import json
import os
import shlex
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

TICK = os.sysconf("SC_CLK_TCK")
PAGE = os.sysconf("SC_PAGE_SIZE")


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def loadavg():
    return " ".join(open("/proc/loadavg").read().split()[:3])


def split_args(text):
    return shlex.split(text) if text else []


def cpu_seconds(pid):
    try:
        fields = open(f"/proc/{pid}/stat").read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / TICK
    except (OSError, IndexError):
        return None


def rss_kib(pid):
    try:
        return int(open(f"/proc/{pid}/statm").read().split()[1]) * PAGE // 1024
    except (OSError, IndexError):
        return None


def percentile(values, p):
    if not values:
        return None
    v = sorted(values)
    return v[min(len(v) - 1, int(p * (len(v) - 1) + 0.5))]


def rounded(x, digits=1):
    return None if x is None else round(x, digits)


def slope(points):
    """Least-squares slope of (t, y) points, per unit of t."""
    if len(points) < 2:
        return None
    n = len(points)
    mt = sum(t for t, _ in points) / n
    my = sum(y for _, y in points) / n
    den = sum((t - mt) ** 2 for t, _ in points)
    if den == 0:
        return None
    return sum((t - mt) * (y - my) for t, y in points) / den


class Proc:
    """A program with its standard output in a file (a full pipe would stall
    it), its JSON lines read back by key, and a bounded stop."""

    every = []  # every process started, so that a failure can stop them all

    def __init__(self, argv, name, work, env=None, timeout=None):
        self.name = name
        self.argv = argv
        self.out_path = os.path.join(work, name + ".out")
        self.err_path = os.path.join(work, name + ".err")
        self.out = open(self.out_path, "w+")
        self.err = open(self.err_path, "w+")
        if timeout:
            # The last line of defence: no run outlives its bound.
            argv = ["timeout", "-s", "KILL", str(int(timeout))] + argv
        self.p = subprocess.Popen(argv, stdout=self.out, stderr=self.err, env=env, start_new_session=True)
        self.pid = self.p.pid
        self._lines = []
        self._offset = 0
        self._partial = ""
        Proc.every.append(self)

    def real_pid(self):
        """The program's own pid: under `timeout` it is the child, which may
        take a moment to appear."""
        for _ in range(40):
            try:
                children = open(f"/proc/{self.pid}/task/{self.pid}/children").read().split()
                if children:
                    return int(children[0])
            except (OSError, ValueError):
                return self.pid
            time.sleep(0.025)
        return self.pid

    def lines(self):
        """Every JSON line so far (read incrementally)."""
        with open(self.out_path) as f:
            f.seek(self._offset)
            chunk = f.read()
            self._offset = f.tell()
        text = self._partial + chunk
        parts = text.split("\n")
        self._partial = parts.pop()
        for line in parts:
            if line.startswith("{"):
                try:
                    self._lines.append(json.loads(line))
                except json.JSONDecodeError:
                    pass
        return self._lines

    def first(self, key, value=None):
        for e in self.lines():
            if key in e and (value is None or e[key] == value):
                return e
        return None

    def wait_for(self, predicate, seconds):
        end = time.time() + seconds
        while time.time() < end:
            if predicate():
                return True
            if self.p.poll() is not None:
                return predicate()
            time.sleep(0.05)
        return False

    def alive(self):
        return self.p.poll() is None

    def stderr_text(self):
        self.err.flush()
        with open(self.err_path) as f:
            return f.read()

    def stop(self, sig=signal.SIGTERM, wait=10):
        if self.p.poll() is None:
            try:
                os.killpg(self.pid, sig)
            except ProcessLookupError:
                pass
        try:
            return self.p.wait(timeout=wait)
        except subprocess.TimeoutExpired:
            os.killpg(self.pid, signal.SIGKILL)
            return self.p.wait()

    @staticmethod
    def stop_all():
        for p in Proc.every:
            p.stop(wait=5)
        Proc.every = []


class Sampler:
    """CPU share and resident memory of one process, sampled every interval
    on a thread."""

    def __init__(self, pid, interval=0.5):
        self.pid = pid
        self.samples = []  # (time, cpu seconds, rss KiB)
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, args=(interval,), daemon=True)
        self._thread.start()

    def _run(self, interval):
        while not self._stop.is_set():
            self.sample()
            self._stop.wait(interval)

    def sample(self):
        c, r = cpu_seconds(self.pid), rss_kib(self.pid)
        if c is not None and r is not None:
            self.samples.append((time.time(), c, r))

    def stop(self):
        self.sample()
        self._stop.set()
        self._thread.join(timeout=5)

    def window(self, t0, t1):
        """(cpu percent, rss at start, rss at end, rss max) between t0 and t1."""
        inside = [s for s in self.samples if t0 - 0.6 <= s[0] <= t1 + 0.6]
        if len(inside) < 2:
            return None, None, None, None
        a = min(inside, key=lambda s: abs(s[0] - t0))
        b = min(inside, key=lambda s: abs(s[0] - t1))
        cpu = 100.0 * (b[1] - a[1]) / max(b[0] - a[0], 1e-9)
        return cpu, a[2], b[2], max(s[2] for s in inside if a[0] <= s[0] <= b[0])


def stats_lines(proc):
    return [e for e in proc.lines() if isinstance(e.get("stats"), list)]


def queue_figures(proc, t0, t1, last=30.0, name=None):
    """Server send queues from its --stats lines between t0 and t1 (seconds):
    the maximum of the summed and of any single connection's "queued", and
    the slope of the summed queue (events/s) over the last `last` seconds.
    With `name`, only that user's connection."""
    total = []
    single_max = 0
    inflight_max = 0
    for e in stats_lines(proc):
        t = e["t"] / 1000.0
        if not (t0 <= t <= t1):
            continue
        conns = [c for c in e["stats"] if name is None or c.get("name") == name]
        q = [c.get("queued", 0) for c in conns]
        total.append((t, sum(q)))
        single_max = max([single_max] + q)
        inflight_max = max([inflight_max] + [c.get("in_flight", 0) for c in conns])
    tail = [p for p in total if p[0] >= t1 - last]
    return {
        "queue_max_total": max((q for _, q in total), default=None),
        "queue_max_one": single_max if total else None,
        "queue_end_total": total[-1][1] if total else None,
        "queue_slope_last_s": rounded(slope(tail)),
        "in_flight_max": inflight_max if total else None,
    }


def offsets_of(proc, mover):
    """[(time s, count)] of a scene's offset of `mover`, from "model" lines."""
    points = []
    for e in proc.lines():
        # A null entity is the user leaving: its offset is gone, not moved.
        if e.get("model") == mover and isinstance(e.get("pos"), list) and e.get("entity") is not None:
            points.append((e["t"] / 1000.0, int(round(e["pos"][0]))))
    return points


def relay_delays(made, seen, t_end=None, window=None):
    """Delays (ms) of moves made at times made[0..] (move k+1 at made[k]),
    from (time, count) points of a scene up to t_end. Only moves made inside
    `window` (t0, t1) count, when given. Moves whose count is never reached
    are missing. Returns (delays, missing)."""
    reached = [None] * len(made)
    k = 0
    for t, count in seen:
        if t_end is not None and t > t_end:
            break
        while k < len(made) and k < count:
            reached[k] = t
            k += 1
    delays, missing = [], 0
    for m, r in zip(made, reached):
        if window and not (window[0] <= m <= window[1]):
            continue
        if r is None:
            missing += 1
        else:
            delays.append(1000.0 * (r - m))
    return delays, missing


def longest_gap(seen, t0, t1):
    """Longest time (s) between arrivals (count increases) within [t0, t1],
    counting the edges of the window."""
    times = [t0] + [t for t, _ in increases(seen) if t0 <= t <= t1] + [t1]
    return max(b - a for a, b in zip(times, times[1:]))


def increases(seen):
    out, last = [], None
    for t, c in seen:
        if last is None or c > last:
            out.append((t, c))
            last = c
    return out


def delay_summary(delays, missing=None):
    out = {
        "n": len(delays),
        "p50_ms": rounded(percentile(delays, 0.5)),
        "p99_ms": rounded(percentile(delays, 0.99)),
        "max_ms": rounded(max(delays) if delays else None),
    }
    if missing is not None:
        out["missing"] = missing
    return out


def headless_env(sound):
    """Environment for seafold-headless: "null" gives every process OpenAL's
    no-output device (streams play in real time, as with a sound card);
    "none" leaves the environment as it is."""
    env = dict(os.environ)
    env.pop("SEAFOLD_CAPTURE_FILE", None)
    if sound == "null":
        env["ALSOFT_DRIVERS"] = "null"
        env["ALSOFT_CONF"] = os.devnull
    return env


class Session:
    """A seafold-headless server and clients on loopback, each with --events,
    started with pass-through arguments and stopped together."""

    def __init__(self, bin_dir, work, server_args, client_args, sound="null", timeout=600, stats_ms=1000):
        self.bin_dir = bin_dir
        self.work = work
        self.client_args = client_args
        self.env = headless_env(sound)
        self.timeout = timeout
        self.port = free_port()
        self.address = f"127.0.0.1:{self.port}"
        self.procs = []
        # Every process of a measurement shares one host: its users are not
        # held to the per-address cap unless a measurement asks for it.
        per_address = [] if "--max-per-address" in server_args else ["--max-per-address", "4096"]
        self.server = Proc([f"{bin_dir}/seafold-headless", "server", self.address, "--events", "--stats",
                            str(stats_ms)] + per_address + server_args, "server", work, env=self.env, timeout=timeout)
        self.procs.append(self.server)
        time.sleep(0.4)
        if not self.server.alive():
            raise RuntimeError("server did not start: " + self.server.stderr_text().strip()[-400:])

    def client(self, name, args=(), extra_client_args=None, wait=True):
        argv = [f"{self.bin_dir}/seafold-headless", "-client", self.address, name, "--events"]
        argv += list(args) + list(self.client_args) + list(extra_client_args or [])
        p = Proc(argv, name, self.work, env=self.env, timeout=self.timeout)
        self.procs.append(p)
        if wait and not p.wait_for(lambda: p.first("state", "connected"), 20):
            raise RuntimeError(f"{name} did not connect: " + p.stderr_text().strip()[-400:])
        return p

    def tool(self, argv, name):
        p = Proc(argv, name, self.work, timeout=self.timeout)
        self.procs.append(p)
        return p

    def stop(self):
        # Clients first, the server last, each bounded.
        for p in reversed(self.procs):
            p.stop()


def mover_times(proc, every_ms, until):
    """Times (s) of the moves a `--move 1,0,0 --move-every MS` client made
    up to `until`: the k-th is every_ms * k after it connected (it starts its
    schedule at the first loop pass after connecting, within a few ms)."""
    c = proc.first("state", "connected")
    if c is None:
        return []
    t0 = c["t"] / 1000.0
    n = int((until - t0) * 1000 // every_ms)
    return [t0 + (k + 1) * every_ms / 1000.0 for k in range(max(n, 0))]


def disconnections(procs):
    """Clients that saw their connection end, or saw one of the others leave."""
    out = []
    names = [p.name for p in procs]
    for p in procs:
        for e in p.lines():
            if e.get("state") in ("disconnected", "failed"):
                out.append(f"{p.name}: {e['state']} ({e.get('reason', '')})")
            if e.get("rpc") == "s2cclientDisconnect" and (e.get("args") or [None])[0] in names:
                out.append(f"{p.name}: told {e.get('args')} left")
    return out


def need_programs(bin_dir, names, tool):
    """Makes sure the programs a measurement starts are there. scripts/run.sh
    builds only the two programs, so right after it the measurement tools
    (seafold-loadcheck, seafold-stress) are missing: when BIN_DIR is the bin/
    of a configured build folder they are built there now, otherwise the
    measurement ends (exit code 2) with the command that builds them."""
    missing = [n for n in names if not os.access(os.path.join(bin_dir, n), os.X_OK)]
    if not missing:
        return
    build = os.path.dirname(os.path.abspath(bin_dir))
    if build.startswith(os.getcwd() + os.sep):
        build = os.path.relpath(build)
    command = ["cmake", "--build", build, "--target"] + missing + [f"-j{os.cpu_count() or 2}"]
    shown = " ".join(shlex.quote(word) for word in command)
    configured = os.path.isfile(os.path.join(build, "CMakeCache.txt"))
    if configured and os.path.abspath(bin_dir) == os.path.abspath(os.path.join(build, "bin")):
        print(f"{tool}: building {', '.join(missing)} first: {shown}", file=sys.stderr, flush=True)
        # The build's own lines go to standard error: standard output is the table.
        subprocess.call(command, stdout=sys.stderr.fileno())
        missing = [n for n in missing if not os.access(os.path.join(bin_dir, n), os.X_OK)]
        if not missing:
            return
    print(f"{tool}: {os.path.join(bin_dir, missing[0])} is missing; build it with\n    {shown}", file=sys.stderr)
    sys.exit(2)


def new_workdir(prefix):
    return tempfile.mkdtemp(prefix=prefix)


def finish(work, keep):
    """Removes the folder of logs, or says where it is."""
    if keep:
        print(f"# logs kept in {work}")
    else:
        import shutil
        shutil.rmtree(work, ignore_errors=True)
