#!/usr/bin/env python3
"""A room on a slow link: the server's host on a namespace LAN (tests/lan/
lan.py; needs root) reaches the others through a token bucket of 1 Mbit/s
each way (tbf on the server's interface and on the switch's port toward it,
with room for a second of queue, so that a queue shows as delay, not as
losses). Eight users move (+1 on x every --move-every ms) and two speak a
continuous vowel; another host sends a small UDP probe every 50 ms that an
echo on the server's host returns through both shaped queues.

Reported:
  - the probe's round trip on the idle shaped link and while the room runs
    (after --settle seconds): the standing queue is the loaded median (and
    p90) less the idle median;
  - the two queues' backlog as `tc -s qdisc` shows it every 100 ms, in ms
    of the link's time (median, p90, max);
  - the movement relay delay to a watcher (p50/p99) and moves missing; the
    voice frames each speaker's listeners played;
  - the server's congestion windows and the bytes it sent a second.

    tools/measure/slowlink.py [BIN_DIR] [--seconds 20] [--settle 8] [--rate-kbit 1000]
                              [--movers 8] [--speakers 2] [--move-every 50]
                              [--server-args "..."] [--client-args "..."] [--json] [--keep]"""

import argparse
import json
import os
import socket
import statistics
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "..", "tests"))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tests", "lan"))
import measurelib as ml  # noqa: E402
from lan import SKIP_CODE, Lan, Skip  # noqa: E402
from wavfile import vowel, write_wav  # noqa: E402

PORT = 28000
ECHO_PORT = 28999
PROBE_EVERY = 0.05
PROBE_BYTES = 32
SERVER, CLIENTS, PROBER = 0, 1, 2  # hosts of the LAN


def echo(port):
    """Runs inside the server's host: returns every datagram to its sender."""
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.bind(("0.0.0.0", port))
    while True:
        data, source = s.recvfrom(2048)
        s.sendto(data, source)


def probe(address, port, seconds):
    """Runs inside the prober's host: one JSON line per answered probe, its
    send time (wall, ms) and round trip (ms)."""
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.settimeout(0.01)
    sent = {}
    end = time.time() + seconds
    next_send, k = time.time(), 0
    while time.time() < end:
        now = time.time()
        if now >= next_send:
            s.sendto(k.to_bytes(4, "big") + bytes(PROBE_BYTES - 4), (address, port))
            sent[k] = now
            k += 1
            next_send += PROBE_EVERY
        try:
            data, _ = s.recvfrom(2048)
        except socket.timeout:
            continue
        n = int.from_bytes(data[:4], "big")
        if n in sent:
            t = sent.pop(n)
            print(json.dumps({"probe": n, "t": round(t * 1000, 1), "rtt_ms": round((time.time() - t) * 1000, 2)}),
                  flush=True)


def shape(lan, kbit):
    """A token bucket on both directions of the server's link."""
    qdisc = ["root", "tbf", "rate", f"{kbit}kbit", "burst", "4kb", "latency", "1000ms"]
    ns = lan.hosts[SERVER]
    subprocess.run(["tc", "-n", ns, "qdisc", "add", "dev", "lan0"] + qdisc, check=True)
    subprocess.run(["tc", "-n", lan.switch, "qdisc", "add", "dev", f"p{SERVER + 1}"] + qdisc, check=True)
    return [(ns, "lan0"), (lan.switch, f"p{SERVER + 1}")]


class BacklogSampler:
    """The shaped queues' backlog (bytes) every 100 ms, on a thread."""

    def __init__(self, queues):
        self.queues = queues
        self.samples = []  # (time s, [backlog bytes of each queue])
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()

    def _run(self):
        while not self._stop.is_set():
            row = []
            for ns, dev in self.queues:
                r = subprocess.run(["tc", "-n", ns, "-s", "-j", "qdisc", "show", "dev", dev], capture_output=True,
                                   text=True, timeout=5)
                try:
                    row.append(int(json.loads(r.stdout)[0].get("backlog", 0)))
                except (ValueError, IndexError, AttributeError):
                    row.append(None)
            self.samples.append((time.time(), row))
            self._stop.wait(0.1)

    def stop(self):
        self._stop.set()
        self._thread.join(timeout=5)


def spread(values):
    if not values:
        return {"n": 0}
    return {"n": len(values), "p50": ml.rounded(statistics.median(values)), "p90": ml.rounded(ml.percentile(values, 0.9)),
            "max": ml.rounded(max(values))}


def headless(lan, host, argv, name, work, env, timeout):
    return ml.Proc(lan.prefix(host) + argv, name, work, env=env, timeout=timeout)


def start_room(lan, o, work):
    """The server, the movers and the speakers; returns (server, movers, speakers)."""
    env = ml.headless_env("null")
    timeout = o.settle + o.seconds + 120
    server_addr = f"{lan.address(SERVER)}:{PORT}"
    server = headless(lan, SERVER, [o.headless, "server", f"0.0.0.0:{PORT}", "--no-discovery", "--no-console",
                                    "--events", "--stats", "500", "--max-per-address", "64"] +
                      ml.split_args(o.server_args), "server", work, env, timeout)
    time.sleep(0.5)
    vowel_path = os.path.join(work, "vowel.wav")
    write_wav(vowel_path, vowel(10.0, 8000, glide=20))
    common = [o.headless, "-client", server_addr]
    after = ["--events", "--stats", "500", "--model", "boat.mesh"] + ml.split_args(o.client_args)
    movers, speakers = [], []
    for i in range(o.movers):
        name = f"mover{i + 1}"
        movers.append(headless(lan, CLIENTS, common + [name] + after + ["--move", "1,0,0", "--move-every",
                                                                          str(o.move_every)], name, work, env, timeout))
    for i in range(o.speakers):
        name = f"speaker{i + 1}"
        speakers.append(headless(lan, CLIENTS, common + [name] + after + ["--speak", vowel_path, "--speak-every", "10"],
                                 name, work, env, timeout))
    for p in movers + speakers:
        if not p.wait_for(lambda p=p: p.first("state", "connected"), 30):
            raise RuntimeError(f"{p.name} did not connect: " + p.stderr_text().strip()[-300:])
    return server, movers, speakers


def probe_run(lan, seconds, name, work):
    return ml.Proc(lan.prefix(PROBER) + [sys.executable, os.path.abspath(__file__), "--probe",
                                         lan.address(SERVER), str(ECHO_PORT), str(seconds)], name, work,
                   timeout=seconds + 30)


def probe_rtts(proc, t0=None, t1=None):
    return [e["rtt_ms"] for e in proc.lines() if "probe" in e and (t0 is None or t0 <= e["t"] / 1000.0 <= t1)]


def voice_played(listeners, speaker):
    """Frames of `speaker` each listener had played by its last stats line."""
    out = {}
    for p in listeners:
        last = [e for e in p.lines() if isinstance(e.get("voice"), list)]
        played = [v.get("played", 0) for v in (last[-1]["voice"] if last else []) if v.get("speaker") == speaker]
        out[p.name] = played[0] if played else 0
    return out


def room_figures(server, movers, speakers, o, t0, t1):
    watcher = speakers[0] if speakers else movers[-1]
    delays, missing = [], 0
    for m in movers:
        if m is watcher:
            continue
        made = ml.mover_times(m, o.move_every, t1)
        d, miss = ml.relay_delays(made, ml.offsets_of(watcher, m.name), t1 + 3, window=(t0, t1 - 2))
        delays += d
        missing += miss
    windows, rates = [], []
    for e in ml.stats_lines(server):
        if t0 <= e["t"] / 1000.0 <= t1:
            windows += [c["window"] for c in e["stats"] if "window" in c]
            rates.append(sum(c.get("send_bytes_per_s", 0) for c in e["stats"]))
    modes = sorted({c.get("mode") for e in ml.stats_lines(server) for c in e["stats"]})
    everyone = movers + speakers
    return {
        "relay": ml.delay_summary(delays, missing),
        "movers_seen": {m.name: len(ml.offsets_of(watcher, m.name)) for m in movers if m is not watcher},
        "voice_played": {s.name: voice_played([p for p in everyone if p is not s], s.name) for s in speakers},
        "server_modes": modes,
        "server_window": spread(windows),
        "server_window_min": min(windows) if windows else None,
        "server_bytes_per_s": spread(rates),
        "disconnections": ml.disconnections(everyone),
    }


def measure(lan, o, work):
    """The whole run on one LAN; returns the figures as a dict."""
    queues = shape(lan, o.rate_kbit)
    ml.Proc(lan.prefix(SERVER) + [sys.executable, os.path.abspath(__file__), "--echo", str(ECHO_PORT)], "echo", work,
            timeout=o.settle + o.seconds + 200)
    time.sleep(0.3)
    idle = probe_run(lan, 3, "probe-idle", work)
    idle.p.wait(timeout=40)
    sampler = BacklogSampler(queues)
    server, movers, speakers = start_room(lan, o, work)
    loaded = probe_run(lan, o.settle + o.seconds, "probe-room", work)
    t0 = time.time() + o.settle
    loaded.p.wait(timeout=o.settle + o.seconds + 40)
    t1 = time.time()
    time.sleep(3)  # what was on its way when the window closed
    sampler.stop()
    idle_rtts, room_rtts = probe_rtts(idle), probe_rtts(loaded, t0, t1)
    bytes_per_ms = o.rate_kbit / 8.0
    backlog = [[row[i] / bytes_per_ms for t, row in sampler.samples if t0 <= t <= t1 and row[i] is not None]
               for i in range(len(queues))]
    out = {"load": ml.loadavg(), "idle_rtt_ms": spread(idle_rtts), "room_rtt_ms": spread(room_rtts),
           "probes_lost": None}
    sent_probes = int((o.settle + o.seconds) / PROBE_EVERY)
    out["probes_lost"] = max(0, sent_probes - len(probe_rtts(loaded)))
    if idle_rtts and room_rtts:
        base = statistics.median(idle_rtts)
        out["standing_queue_ms"] = {"p50": ml.rounded(statistics.median(room_rtts) - base),
                                    "p90": ml.rounded(ml.percentile(room_rtts, 0.9) - base)}
    out["backlog_to_clients_ms"] = spread(backlog[0])
    out["backlog_to_server_ms"] = spread(backlog[1])
    out.update(room_figures(server, movers, speakers, o, t0, t1))
    return out


def options(argv=None):
    ap = argparse.ArgumentParser(description="A room on a 1 Mbit/s link: the standing queue.")
    ap.add_argument("bin", nargs="?", default="build/bin")
    ap.add_argument("--seconds", type=float, default=20)
    ap.add_argument("--settle", type=float, default=8)
    ap.add_argument("--rate-kbit", type=int, default=1000)
    ap.add_argument("--movers", type=int, default=8)
    ap.add_argument("--speakers", type=int, default=2)
    ap.add_argument("--move-every", type=int, default=50)
    ap.add_argument("--server-args", default="")
    ap.add_argument("--client-args", default="")
    ap.add_argument("--json", action="store_true")
    ap.add_argument("--keep", action="store_true")
    o = ap.parse_args(argv)
    o.headless = os.path.abspath(os.path.join(o.bin, "seafold-headless"))
    return o


def main():
    if len(sys.argv) > 2 and sys.argv[1] == "--echo":
        echo(int(sys.argv[2]))
        return 0
    if len(sys.argv) > 4 and sys.argv[1] == "--probe":
        probe(sys.argv[2], int(sys.argv[3]), float(sys.argv[4]))
        return 0
    o = options()
    work = ml.new_workdir("seafold-slowlink-")
    print(f"# {o.movers} movers (every {o.move_every} ms), {o.speakers} speakers, {o.rate_kbit} kbit/s each way; "
          f"server args [{o.server_args}] client args [{o.client_args}]; load before {ml.loadavg()}")
    try:
        with Lan(3) as lan:
            try:
                result = measure(lan, o, work)
            finally:
                # Inside the namespaces' lifetime: a namespace removed under
                # a running process leaves the process running.
                ml.Proc.stop_all()
    except Skip as why:
        print(f"skipped: {why}")
        return SKIP_CODE
    finally:
        ml.finish(work, o.keep)
    if o.json:
        print(json.dumps(result))
    else:
        for key, value in result.items():
            print(f"{key}: {json.dumps(value)}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
