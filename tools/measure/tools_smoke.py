#!/usr/bin/env python3
"""The measurement tools against a real seafold-headless server, briefly:
each seafold-stress mode does what it claims (datagrams sent, a token
obtained and replayed, voice arriving, a deaf client joined), the server
survives it, and seafold-loadcheck ends with every scene where the movers put
themselves. Bad options end with exit code 2 and the usage line.

    tools_smoke.py BIN_DIR"""

import os
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import measurelib as ml  # noqa: E402

BIN = sys.argv[1]
failures = []


def check(condition, message):
    if not condition:
        failures.append(message)
    return condition


def main():
    work = ml.new_workdir("seafold-tools-smoke-")
    try:
        sess = ml.Session(BIN, work, [], [], timeout=90, stats_ms=200)
        watcher = sess.client("watcher", ["--model", "buoy"])
        for mode, extra in (("challenge", []), ("connect", []), ("junk", []), ("token", ["--per-source", "50"])):
            s = sess.tool([f"{BIN}/seafold-stress", mode, sess.address, "--seconds", "0.5", "--per-second", "2000",
                           "--sources", "8"] + extra, f"stress-{mode}")
            s.wait_for(lambda: s.first("summary") is not None, 20)
            summary = s.first("summary")
            if check(summary is not None, f"{mode}: no summary ({s.stderr_text().strip()[-200:]})"):
                check(500 <= summary["attempted"] <= 1200, f"{mode}: {summary['attempted']} datagrams in 0.5 s")
                check(summary["failed"] == 0, f"{mode}: {summary['failed']} sends failed")
                check(summary["sources_used"] >= 8, f"{mode}: {summary['sources_used']} source addresses")
                if mode == "token":
                    check(summary["tokens_obtained"] >= 1, "token: the server issued no token")
            check(s.p.wait(timeout=10) == 0, f"{mode}: exit code {s.p.returncode}: {s.stderr_text()[-300:]}")
            check(sess.server.alive(), f"server died during the {mode} flood")

        # 280 bytes of speech frames: 0.9 s, within what one voice message may
        # hold (a full 1023-byte message of speech is over 3 s and is dropped).
        voice = sess.tool([f"{BIN}/seafold-stress", "voice", sess.address, "--seconds", "1.5", "--per-second", "20",
                           "--voice-bytes", "280", "--unpaced", "1", "--name", "talker"], "stress-voice")
        voice.wait_for(lambda: voice.first("summary") is not None, 20)
        check(voice.first("summary", "voice") and voice.first("summary")["established"], "voice: never joined")
        check(watcher.wait_for(lambda: watcher.first("rpc", "s2cVoice") is not None, 5),
              "voice: the watcher got no voice")
        voiced = [e for e in watcher.lines() if e.get("rpc") == "s2cVoice"]
        check(all(len(e["args"][0]) == 2 * 280 for e in voiced), "voice: messages are not 280 bytes")

        deaf = sess.tool([f"{BIN}/seafold-stress", "no-ack", sess.address, "--seconds", "2", "--deaf-after", "300",
                          "--name", "deaf"], "stress-deaf")
        deaf.wait_for(lambda: deaf.first("summary") is not None, 20)
        check(deaf.first("deaf") is not None, "no-ack: never went deaf")
        for p in (voice, deaf):
            check(p.p.wait(timeout=10) == 0, f"{p.name}: exit code {p.p.returncode}: {p.stderr_text()[-300:]}")
        check(watcher.first("rpc", "s2cIntroduceNewClient") is not None, "no-ack: the watcher was not told of it")
        sess.stop()

        port = ml.free_port()
        server = ml.Proc([f"{BIN}/seafold-headless", "server", f"127.0.0.1:{port}"], "server2", work, timeout=60)
        time.sleep(0.4)
        r = subprocess.run([f"{BIN}/seafold-loadcheck", f"127.0.0.1:{port}", "3", "1.5", "100", "--drain", "2"],
                           capture_output=True, text=True, timeout=60)
        server.stop()
        check(r.returncode == 0, f"loadcheck: exit code {r.returncode}: {r.stderr[-300:]}")
        result = [ln for ln in r.stdout.splitlines() if ln.startswith('{"clients"')]
        if check(result, f"loadcheck: no result ({r.stderr.strip()[-200:]})"):
            import json
            res = json.loads(result[0])
            check(res["positions_agree"] and res["clients_connected"] == 3, f"loadcheck: {res}")
            check(res["relays_received"] == res["relays_expected"] > 0, f"loadcheck: {res}")
            check(0 < res["latency_median_ms"] < 1000, f"loadcheck: median {res['latency_median_ms']} ms")

        for argv in ([f"{BIN}/seafold-stress", "nonsense", "127.0.0.1:1"],
                     [f"{BIN}/seafold-stress", "junk", "127.0.0.1:1", "--per-second", "-3"],
                     [f"{BIN}/seafold-stress", "voice", "127.0.0.1:1", "--rate", "0,100"],
                     [f"{BIN}/seafold-loadcheck", "127.0.0.1:1", "3", "1", "--rate", "16"]):
            r = subprocess.run(argv, capture_output=True, text=True, timeout=10)
            check(r.returncode == 2 and "usage:" in r.stderr, f"{argv[1:]}: exit {r.returncode}, {r.stderr!r}")
    finally:
        ml.Proc.stop_all()
        ml.finish(work, bool(failures))
    for f in failures:
        print("FAIL:", f)
    print(f"{0 if failures else 1} passed, {len(failures)} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
