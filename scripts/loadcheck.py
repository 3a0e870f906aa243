#!/usr/bin/env python3
"""Load check: one seafold-headless server and N clients (seafold-loadcheck,
one process) on loopback, every client moving every 16 ms.

usage: scripts/loadcheck.py [--bin DIR] [--clients 3,8,32,128] [--seconds 60] [--move-every 16] [--drain 5]
                            [--server-args "..."] [--client-args "..."] [--stats-ms 1000] [--json] [--keep-logs]
       scripts/loadcheck.py [BIN_DIR] [SECONDS] [N ...]          (the older form)

--server-args go to the server (e.g. "--rate 16,65535"); --client-args to
seafold-loadcheck (it takes --rate INTERVAL_MS,BYTES_PER_S,
--ping-interval MS and --secure; a --secure server needs it).

Reports per N, over the moving period: the server's CPU; its resident memory
when moving starts, when it ends and after the drain; the server's send
queues from --stats (maximum of the sum over connections and of one
connection, and the slope of the sum over the last 30 s); the relay delay
p50/p99/max from a move to another client's scene showing it (see
seafold-loadcheck: robust to summed deltas); and whether every final position
in every watcher's scene equals its mover's own count of moves after the
drain. With --json, one JSON object per N; otherwise a table row as well.

Right after scripts/run.sh, which builds only the two programs,
seafold-loadcheck is missing: it is built first (cmake --build build
--target seafold-loadcheck), or, when --bin is not a build folder's bin/,
the command that builds it is printed. docs/measure.md explains the
columns."""

import argparse
import json
import os
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tools", "measure"))
import measurelib as ml  # noqa: E402


def parse():
    if len(sys.argv) > 1 and not sys.argv[1].startswith("-"):
        # scripts/loadcheck.py [BIN_DIR] [SECONDS] [N ...]
        rest = sys.argv[1:]
        ns = argparse.Namespace(bin=rest[0], seconds=float(rest[1]) if len(rest) > 1 else 10,
                                clients=",".join(rest[2:]) or "8,32,128", move_every=16, drain=5.0,
                                server_args="", client_args="", stats_ms=1000, json=False, timeout=None,
                                keep_logs=False)
        return ns
    ap = argparse.ArgumentParser(description="Load check of the movement relay.")
    ap.add_argument("--bin", default="build/bin")
    ap.add_argument("--clients", default="3,8,32,128")
    ap.add_argument("--seconds", type=float, default=60)
    ap.add_argument("--move-every", type=int, default=16)
    ap.add_argument("--drain", type=float, default=5.0)
    ap.add_argument("--server-args", default="")
    ap.add_argument("--client-args", default="")
    ap.add_argument("--stats-ms", type=int, default=1000)
    ap.add_argument("--timeout", type=float, default=None, help="bound of one run (default seconds + drain + 120)")
    ap.add_argument("--json", action="store_true")
    ap.add_argument("--keep-logs", action="store_true")
    return ap.parse_args()


def run_one(o, n, work):
    bound = o.timeout or (o.seconds + o.drain + 120)
    port = ml.free_port()
    # The server accepts 64 clients unless told otherwise.
    cap = [] if "--max-clients" in o.server_args else ["--max-clients", str(max(64, n))]
    # Every client runs on this host: not held to the per-address cap.
    cap += [] if "--max-per-address" in o.server_args else ["--max-per-address", str(max(64, n))]
    server = ml.Proc([f"{o.bin}/seafold-headless", "server", f"127.0.0.1:{port}", "--stats", str(o.stats_ms)]
                     + cap + ml.split_args(o.server_args), f"server-{n}", work, env=ml.headless_env("null"),
                     timeout=bound + 30)
    result = {"clients": n, "load_before": ml.loadavg()}
    load = None
    try:
        time.sleep(0.5)
        if not server.alive():
            result["error"] = "server did not start: " + server.stderr_text().strip()[-300:]
            return result
        sampler = ml.Sampler(server.real_pid())
        load = ml.Proc([f"{o.bin}/seafold-loadcheck", f"127.0.0.1:{port}", str(n), str(o.seconds),
                        str(o.move_every), "--drain", str(o.drain)] + ml.split_args(o.client_args),
                       f"loadcheck-{n}", work, timeout=bound)
        tool_sampler = ml.Sampler(load.real_pid())
        load.wait_for(lambda: load.first("clients") is not None, bound + 5)
        sampler.stop()
        tool_sampler.stop()
        final = load.first("clients")
        if final is None:
            result["error"] = "seafold-loadcheck gave no result: " + load.stderr_text().strip()[-300:]
            return result
        moving, draining, done = (load.first("phase", p) for p in ("moving", "draining", "done"))
        if None in (moving, draining, done):
            result["error"] = (f"the clients never all moved ({final.get('clients_connected')} of {n} connected); "
                               "see the server's log in " + work)
            return result
        t0, t1 = moving["t"] / 1000.0, draining["t"] / 1000.0
        t2 = done["t"] / 1000.0
        cpu, rss0, rss1, rss_max = sampler.window(t0, t1)
        result["loadcheck_cpu_percent"] = ml.rounded(tool_sampler.window(t0, t1)[0])
        _, _, rss2, _ = sampler.window(t1, t2)
        result.update({k: final[k] for k in ("clients_connected", "movements_sent", "relays_expected",
                                             "relays_received", "positions_agree", "pairs_disagreeing",
                                             "moves_missing", "max_deficit", "endings") if k in final})
        result.update({
            "relay_p50_ms": final.get("latency_median_ms"),
            "relay_p99_ms": final.get("latency_p99_ms"),
            "relay_max_ms": final.get("latency_max_ms"),
            "server_cpu_percent": ml.rounded(cpu),
            "server_rss_start_kib": rss0,
            "server_rss_end_kib": rss1,
            "server_rss_max_kib": rss_max,
            "server_rss_after_drain_kib": rss2,
        })
        result.update(ml.queue_figures(server, t0, t1, last=30.0))
        drained = ml.queue_figures(server, t2 - 1.5, t2 + 0.5)
        result["queue_after_drain_total"] = drained["queue_end_total"]
    finally:
        if load:
            load.stop()
        server.stop()
        result["load_after"] = ml.loadavg()
    return result


def main():
    o = parse()
    ml.need_programs(o.bin, ["seafold-headless", "seafold-loadcheck"], "loadcheck.py")
    work = ml.new_workdir("seafold-load-")
    print(f"# seafold-loadcheck {o.clients} clients, {o.seconds:g} s moving every {o.move_every} ms, "
          f"drain {o.drain:g} s; server args [{o.server_args}] client args [{o.client_args}]")
    header = ("| clients | server CPU % | RSS start→end (MiB) | queue max (sum / one) | queue slope last 30 s (ev/s) "
              "| relay p50 / p99 / max (ms) | final positions agree | connected | relays due / shown "
              "| loadcheck CPU % | load avg |")
    if not o.json:
        print(header)
        print("|" + "---|" * 11)
    try:
        for n in [int(x) for x in str(o.clients).split(",") if x]:
            r = run_one(o, n, work)
            if o.json or "error" in r:
                print(json.dumps(r))
            if "error" not in r and not o.json:
                mib = lambda k: "?" if r.get(k) is None else f"{r[k] / 1024:.0f}"  # noqa: E731
                agree = "yes" if r.get("positions_agree") else \
                    f"no ({r.get('pairs_disagreeing')} pairs, {r.get('moves_missing')} moves short)"
                print(f"| {n} | {r['server_cpu_percent']} | {mib('server_rss_start_kib')}→{mib('server_rss_end_kib')} "
                      f"| {r['queue_max_total']} / {r['queue_max_one']} | {r['queue_slope_last_s']} "
                      f"| {r['relay_p50_ms']} / {r['relay_p99_ms']} / {r['relay_max_ms']} | {agree} "
                      f"| {r.get('clients_connected')} "
                      f"| {r['relays_expected']} / {r['relays_received']} "
                      f"| {r['loadcheck_cpu_percent']} | {r['load_before']} |")
            sys.stdout.flush()
    finally:
        ml.Proc.stop_all()
        ml.finish(work, o.keep_logs)


if __name__ == "__main__":
    main()
