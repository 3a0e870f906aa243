#!/usr/bin/env python3
"""Two legitimate users moving while a hostile peer (seafold-stress) works on
the server: floods, voice spam, a client that never acknowledges.

usage: tools/measure/hostile.py flood [--modes none,challenge,connect,junk] [--rates 20000,max] [--seconds 30]
       tools/measure/hostile.py voice-spam [--per-second 200] [--seconds 30] [--stress-args "..."]
       tools/measure/hostile.py no-ack [--seconds 60] [--stress-args "..."]
       tools/measure/hostile.py replay [--seconds 10]      a sealed connect request, copied with a byte changed
       tools/measure/hostile.py ghosts [--seconds 30]      62 joined connections from 127.0.0.2, the server at
                                                           the default --max-per-address; carol joins 5 s in
       tools/measure/hostile.py abuser [--per-second 1000] voice spam that joins again whenever it is ended
   common: [--bin DIR] [--move-every 50] [--baseline 5] [--drain 5] [--server-args "..."] [--client-args "..."]
           [--stress-args "..."] [--json] [--keep-logs]

--server-args go to the server (e.g. "--rate 16,65535"), --client-args to both
legitimate seafold-headless clients, --stress-args to seafold-stress (e.g.
"--rate 16,65535" for the voice spammer or the deaf client's own rate
record).

Each run: a fresh server with --stats 1000; alice and bob join, pick a model
and move (+1 on x) every --move-every ms; after --baseline seconds the hostile
peer runs for --seconds; then --drain seconds pass with the users still
moving. Reported for the hostile period: the relay delay p50/p99/max between
alice and bob (both directions; a move of one reaching the other's scene),
legitimate moves missing (made during the period, never shown by the end of
the drain), whether anybody was disconnected, the server's CPU and resident
memory (start, max, end), its send queues (from --stats) and the datagrams
the kernel dropped at the server's socket (/proc/net/udp).

seafold-stress, which scripts/run.sh does not build, is built first when
missing (cmake --build build --target seafold-stress)."""

import argparse
import json
import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import measurelib as ml  # noqa: E402


def udp_drops(port):
    """Datagrams the kernel dropped at the socket bound to this port."""
    try:
        for line in open("/proc/net/udp").read().splitlines()[1:]:
            f = line.split()
            if int(f[1].split(":")[1], 16) == port:
                return int(f[-1])
    except (OSError, ValueError, IndexError):
        pass
    return None


def legit(sess, o):
    moving = ["--model", "boat.mesh", "--move", "1,0,0", "--move-every", str(o.move_every)]
    return sess.client("alice", moving), sess.client("bob", moving)


def pair_delays(a, b, o, t0, t1, t_end):
    """Relay delays of moves made in [t0, t1] by either user, seen by the other
    up to t_end."""
    delays, missing = [], 0
    for mover, watcher in ((a, b), (b, a)):
        made = ml.mover_times(mover, o.move_every, t_end)
        d, m = ml.relay_delays(made, ml.offsets_of(watcher, mover.name), t_end, window=(t0, t1))
        delays += d
        missing += m
    return ml.delay_summary(delays, missing)


def server_figures(sess, sampler, t0, t1):
    cpu, rss0, rss1, rss_max = sampler.window(t0, t1)
    out = {"server_cpu_percent": ml.rounded(cpu), "server_rss_start_kib": rss0, "server_rss_max_kib": rss_max,
           "server_rss_end_kib": rss1}
    out.update(ml.queue_figures(sess.server, t0, t1, last=min(30.0, t1 - t0)))
    return out


def run(o, label, stress_argv, work, watch_name=None):
    """One run; `stress_argv` builds the hostile peer's command line from the
    server address (None: no hostile peer, a baseline)."""
    sess = ml.Session(o.bin, work, ml.split_args(o.server_args), ml.split_args(o.client_args),
                      timeout=o.baseline + o.seconds + o.drain + 90)
    result = {"run": label, "load": ml.loadavg()}
    try:
        sampler = ml.Sampler(sess.server.real_pid())
        a, b = legit(sess, o)
        time.sleep(o.baseline)
        drops0 = udp_drops(sess.port)
        t0 = time.time()
        stress = None
        if stress_argv:
            stress = sess.tool(stress_argv(sess.address), "stress")
        if o.what == "ghosts" and stress_argv:
            time.sleep(min(5.0, o.seconds / 2))
            asked = time.time()
            carol = sess.client("carol", wait=False)
            carol.wait_for(lambda: carol.first("state", "connected"), 20)
            joined = carol.first("state", "connected")
            result["newcomer_join_s"] = ml.rounded(joined["t"] / 1000.0 - asked, 2) if joined else None
            time.sleep(max(o.seconds - (time.time() - t0), 0))
        else:
            time.sleep(o.seconds)
        t1 = time.time()
        if stress:
            stress.stop()
        drops1 = udp_drops(sess.port)
        time.sleep(o.drain)
        t_end = time.time()
        sampler.stop()
        result["relay"] = pair_delays(a, b, o, t0, t1, t_end)
        result["baseline_relay"] = pair_delays(a, b, o, t0 - o.baseline + 1, t0, t0 + 3)
        result.update(server_figures(sess, sampler, t0, t1))
        result["kernel_drops"] = None if drops0 is None or drops1 is None else drops1 - drops0
        result["disconnections"] = ml.disconnections([a, b])
        conns = [len(e["stats"]) for e in ml.stats_lines(sess.server) if t0 <= e["t"] / 1000.0 <= t1]
        result["server_connections_min_max"] = [min(conns), max(conns)] if conns else None
        if stress:
            summary = stress.first("summary")
            result["stress"] = summary
            if summary is None:
                result["stress_error"] = stress.stderr_text().strip()[-300:]
        if watch_name:
            result["watched"] = watch(sess, watch_name, stress, [a, b], t1)
    finally:
        sess.stop()
        result["load_after"] = ml.loadavg()
    return result


def watch(sess, name, stress, others, t_stopped):
    """The server-side queue of one user over time, and when its connection
    ended (it leaves the --stats lines, the others are told it left) before
    we stopped it at t_stopped."""
    deaf = stress.first("deaf") if stress else None
    t_deaf = deaf["t"] / 1000.0 if deaf else None
    series, last_seen = [], None
    for e in ml.stats_lines(sess.server):
        mine = [c for c in e["stats"] if c.get("name") == name]
        if mine:
            last_seen = e["t"] / 1000.0
            series.append((e["t"] / 1000.0, mine[0].get("queued"), mine[0].get("in_flight")))
    told = [e["t"] / 1000.0 for p in others for e in p.lines()
            if e.get("rpc") == "s2cclientDisconnect" and e.get("args") == [name]]
    told = [t for t in told if t < t_stopped]
    out = {"ended_before_stop": bool(told), "deaf_for_s": ml.rounded(t_stopped - t_deaf) if t_deaf else None,
           "stats_last_seen_after_deaf_s": ml.rounded(last_seen - t_deaf) if t_deaf and last_seen
           else None, "others_told_it_left_after_deaf_s": ml.rounded(min(told) - t_deaf) if told and t_deaf else None}
    if t_deaf:
        # Its queue every 5 s after it went deaf: (seconds, queued, in flight).
        marks, next_mark = [], 0.0
        for t, q, f in series:
            if t >= t_deaf + next_mark:
                marks.append([round(t - t_deaf, 1), q, f])
                next_mark += 5.0
        out["queue_after_deaf"] = marks
        grow = [(t, q) for t, q, _ in series if t >= t_deaf]
        out["queue_growth_per_s"] = ml.rounded(ml.slope(grow))
    return out


def print_row(r):
    if "error" in r:
        print(json.dumps(r))
        return
    d, base = r["relay"], r["baseline_relay"]
    mib = lambda k: "?" if r.get(k) is None else f"{r[k] / 1024:.0f}"  # noqa: E731
    sent = r.get("stress") or {}
    rate = sent.get("per_second")
    if rate is None and sent.get("seconds"):
        count = sent.get("posted", sent.get("sent"))
        rate = round(count / sent["seconds"]) if count is not None else None
    who = "none" if not r.get("disconnections") else "; ".join(r["disconnections"][:3])
    print(f"| {r['run']} | {rate if rate is not None else '-'} | {d['p50_ms']} / {d['p99_ms']} / {d['max_ms']} "
          f"(n {d['n']}) | {d['missing']} | {who} | {r['server_cpu_percent']} "
          f"| {mib('server_rss_start_kib')}/{mib('server_rss_max_kib')}/{mib('server_rss_end_kib')} "
          f"| {r['queue_max_total']} | {r['kernel_drops']} | {base['p50_ms']} / {base['p99_ms']} | {r['load']} |")


HEADER = ("| run | hostile datagrams or messages/s | relay p50 / p99 / max (ms) | moves missing | disconnections "
          "| server CPU % | server RSS start/max/end (MiB) | queue max (sum) | kernel drops | baseline p50 / p99 (ms) "
          "| load avg |\n|---|---|---|---|---|---|---|---|---|---|---|")


def main():
    ap = argparse.ArgumentParser(description="Legitimate users under a hostile peer.")
    ap.add_argument("what", choices=["flood", "voice-spam", "no-ack", "replay", "ghosts", "abuser"])
    ap.add_argument("--bin", default="build/bin")
    ap.add_argument("--modes", default="none,challenge,connect,junk")
    ap.add_argument("--rates", default="20000,max")
    ap.add_argument("--per-second", default="200")
    ap.add_argument("--seconds", type=float, default=None)
    ap.add_argument("--move-every", type=int, default=50)
    ap.add_argument("--baseline", type=float, default=5)
    ap.add_argument("--drain", type=float, default=5)
    ap.add_argument("--server-args", default="")
    ap.add_argument("--client-args", default="")
    ap.add_argument("--stress-args", default="")
    ap.add_argument("--json", action="store_true")
    ap.add_argument("--keep-logs", action="store_true")
    o = ap.parse_args()
    ml.need_programs(o.bin, ["seafold-headless", "seafold-stress"], "hostile.py")
    if o.seconds is None:
        o.seconds = 60.0 if o.what == "no-ack" else 30.0
    stress_bin = f"{o.bin}/seafold-stress"
    extra = ml.split_args(o.stress_args)
    work = ml.new_workdir("seafold-hostile-")
    print(f"# {o.what}: users move every {o.move_every} ms; hostile for {o.seconds:g} s after {o.baseline:g} s; "
          f"server args [{o.server_args}] client args [{o.client_args}] stress args [{o.stress_args}]")
    runs = []
    if o.what == "flood":
        for mode in o.modes.split(","):
            for rate in (["-"] if mode == "none" else o.rates.split(",")):
                if mode == "none":
                    runs.append(("no flood", None, None))
                else:
                    runs.append((f"{mode} at {rate}/s", (lambda addr, m=mode, r=rate: [
                        stress_bin, m, addr, "--seconds", str(o.seconds + 5), "--per-second", r] + extra), None))
    elif o.what == "voice-spam":
        runs.append(("no spam", None, None))
        runs.append((f"voice spam {o.per_second}/s", lambda addr: [
            stress_bin, "voice", addr, "--seconds", str(o.seconds + 5), "--per-second", o.per_second,
            "--unpaced", "1", "--name", "spammer"] + extra, None))
    elif o.what == "replay":
        runs.append(("replayed sealed connect request", lambda addr: [
            stress_bin, "replay", addr, "--seconds", str(o.seconds)] + extra, None))
    elif o.what == "ghosts":
        # The per-address cap as a server has it by default (the session
        # lifts it for its users otherwise: they share one host).
        o.server_args += " --max-per-address 4"
        runs.append(("62 ghosts from one address", lambda addr: [
            stress_bin, "ghosts", addr, "--sources", "62", "--seconds", str(o.seconds + 5)] + extra, None))
    elif o.what == "abuser":
        runs.append(("no abuser", None, None))
        runs.append((f"reconnecting voice spam {o.per_second}/s", lambda addr: [
            stress_bin, "voice", addr, "--seconds", str(o.seconds + 5), "--per-second", o.per_second,
            "--unpaced", "1", "--reconnect", "1", "--voice-kind", "random", "--name", "abuser"] + extra, None))
    else:
        runs.append(("deaf client", lambda addr: [
            stress_bin, "no-ack", addr, "--seconds", str(o.seconds + 5), "--name", "deaf"] + extra, "deaf"))
    if not o.json:
        print(HEADER)
    try:
        for label, argv, watch_name in runs:
            r = run(o, label, argv, work, watch_name)
            if o.json:
                print(json.dumps(r))
            else:
                print_row(r)
                if watch_name:
                    print("  deaf client: " + json.dumps(r.get("watched")))
            sys.stdout.flush()
    finally:
        ml.Proc.stop_all()
        ml.finish(work, o.keep_logs)


if __name__ == "__main__":
    main()
