#!/usr/bin/env python3
"""Load check: one seafold-headless server and N clients (seafold-loadcheck,
one process) on loopback, each client moving every 16 ms. Reports the
server's CPU use, its resident memory per client, the relay latency and how
the server's send queues grow.

    scripts/loadcheck.py [BIN_DIR] [SECONDS] [N ...]
"""
import json
import os
import socket
import subprocess
import sys
import tempfile
import time

bin_dir = sys.argv[1] if len(sys.argv) > 1 else "build/bin"
seconds = float(sys.argv[2]) if len(sys.argv) > 2 else 10
counts = [int(n) for n in sys.argv[3:]] or [8, 32, 128]
tick = os.sysconf("SC_CLK_TCK")
page = os.sysconf("SC_PAGE_SIZE")


def cpu_seconds(pid):
    fields = open(f"/proc/{pid}/stat").read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / tick


def rss_kib(pid):
    return int(open(f"/proc/{pid}/statm").read().split()[1]) * page // 1024


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


for n in counts:
    port = free_port()
    # A file, not a pipe: a full pipe would stall the server on its output.
    log = tempfile.TemporaryFile(mode="w+")
    server = subprocess.Popen([f"{bin_dir}/seafold-headless", "server", f"127.0.0.1:{port}", "--stats", "1000"],
                              stdout=log, stderr=subprocess.DEVNULL, text=True)
    time.sleep(0.5)
    idle_rss = rss_kib(server.pid)
    cpu0, t0 = cpu_seconds(server.pid), time.time()
    load = subprocess.run([f"{bin_dir}/seafold-loadcheck", f"127.0.0.1:{port}", str(n), str(seconds), "16"],
                          capture_output=True, text=True, timeout=seconds + 120)
    cpu1, t1 = cpu_seconds(server.pid), time.time()
    busy_rss = rss_kib(server.pid)
    server.terminate()
    server.wait(timeout=20)
    log.seek(0)
    out = log.read()
    stats = [json.loads(line) for line in out.splitlines() if line.startswith('{"stats"')]
    # Queue depth over time, summed over the server's connections.
    queued = [(s["t"], sum(c["queued"] for c in s["stats"])) for s in stats if s["stats"]]
    growth = 0.0
    if len(queued) >= 3:
        (ta, qa), (tb, qb) = queued[1], queued[-1]
        growth = (qb - qa) / max((tb - ta) / 1000.0, 1e-9)
    result = json.loads(load.stdout) if load.stdout.strip() else {"error": load.stderr}
    result.update({
        "server_cpu_percent": round(100 * (cpu1 - cpu0) / (t1 - t0), 1),
        "server_rss_idle_kib": idle_rss,
        "server_rss_loaded_kib": busy_rss,
        "server_kib_per_client": round((busy_rss - idle_rss) / n, 1),
        "server_queued_events_end": queued[-1][1] if queued else 0,
        "server_queue_growth_events_per_s": round(growth, 1),
    })
    print(json.dumps(result))
    sys.stdout.flush()
