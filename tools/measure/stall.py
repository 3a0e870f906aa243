#!/usr/bin/env python3
"""Stalls of a one-way stream under loss: one seafold-headless client moves
(+1 on x) every 250 ms while its own outgoing datagrams suffer the given loss
(--net-sim on that client only) and nobody sends it anything. The server's
event log shows when each move arrives.

usage: tools/measure/stall.py [--bin DIR] [--loss 10,30] [--runs 3] [--seconds 40] [--move-every 250]
                              [--server-args "..."] [--client-args "..."] [--json] [--keep-logs]

--client-args go to the moving client besides its --net-sim (e.g. "--rate 16,65535").

Reports per loss and run: the longest gap between arrivals at the server
(from the first move to the end), the delivery delay p50/p99/max (arrival at
the server minus the time the move was made; moves made in the last 5 s are
left out so that each had time to arrive), and moves that never arrived."""

import argparse
import json
import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import measurelib as ml  # noqa: E402

SETTLE = 5.0  # seconds a move is given to arrive before it counts as missing


def run_one(o, loss, run, work):
    sess = ml.Session(o.bin, work, ml.split_args(o.server_args), [], timeout=o.seconds + 60)
    result = {"loss_percent": loss, "run": run, "load": ml.loadavg()}
    try:
        mover_args = ["--model", "boat.mesh", "--move", "1,0,0", "--move-every", str(o.move_every),
                      "--net-sim", f"{loss},0,0,0"] + ml.split_args(o.client_args)
        mover = sess.client(f"mover{loss}x{run}", mover_args, wait=False)
        if not mover.wait_for(lambda: mover.first("state", "connected"), 30):
            result["error"] = "mover did not connect"
            return result
        time.sleep(o.seconds)
        t_end = time.time()
        made = ml.mover_times(mover, o.move_every, t_end)
        seen = ml.offsets_of(sess.server, mover.name)
        t0 = made[0] if made else t_end
        delays, missing = ml.relay_delays(made, seen, t_end, window=(t0, t_end - SETTLE))
        result.update({
            "moves_made": len(made),
            "moves_arrived": seen[-1][1] if seen else 0,
            "longest_gap_s": round(ml.longest_gap(seen, t0, t_end), 2),
            "delay": ml.delay_summary(delays, missing),
        })
    finally:
        sess.stop()
    return result


def main():
    ap = argparse.ArgumentParser(description="Stalls of a one-way movement stream under loss.")
    ap.add_argument("--bin", default="build/bin")
    ap.add_argument("--loss", default="10,30")
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--seconds", type=float, default=40)
    ap.add_argument("--move-every", type=int, default=250)
    ap.add_argument("--server-args", default="")
    ap.add_argument("--client-args", default="")
    ap.add_argument("--json", action="store_true")
    ap.add_argument("--keep-logs", action="store_true")
    o = ap.parse_args()
    ml.need_programs(o.bin, ["seafold-headless"], "stall.py")
    work = ml.new_workdir("seafold-stall-")
    print(f"# stall: move every {o.move_every} ms for {o.seconds:g} s, loss on the mover's datagrams; "
          f"server args [{o.server_args}] client args [{o.client_args}]")
    if not o.json:
        print("| loss | run | longest gap (s) | delay p50 / p99 / max (ms) | moves made / arrived / missing | load avg |")
        print("|---|---|---|---|---|---|")
    try:
        for loss in [int(x) for x in o.loss.split(",") if x]:
            for run in range(1, o.runs + 1):
                r = run_one(o, loss, run, work)
                if o.json or "error" in r:
                    print(json.dumps(r))
                else:
                    d = r["delay"]
                    print(f"| {loss}% | {run} | {r['longest_gap_s']} | {d['p50_ms']} / {d['p99_ms']} / {d['max_ms']} "
                          f"| {r['moves_made']} / {r['moves_arrived']} / {d['missing']} | {r['load']} |")
                sys.stdout.flush()
    finally:
        ml.Proc.stop_all()
        ml.finish(work, o.keep_logs)


if __name__ == "__main__":
    main()
