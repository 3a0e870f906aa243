#!/usr/bin/env python3
"""The real programs read their command line before anything else: --help and
--version end with 0, a bad line with exit code 2, one error line and one
line pointing to --help on standard error. The windowed program answers all
of it without a display; started with no mode at all, it is the one that
runs (its start window), so without a display it says it needs one.
Usage: commandline_e2e.py SEAFOLD_HEADLESS [SEAFOLD]"""
import os
import subprocess
import sys

failures = []


def check(condition, what):
    if not condition:
        failures.append(what)


def run(binary, args):
    env = {k: v for k, v in os.environ.items() if k != "DISPLAY"}
    return subprocess.run([binary] + args, capture_output=True, text=True, timeout=20, env=env)


BAD = [
    ([], "missing the mode"),
    (["client", "127.0.0.1:28000", "alice"], "unknown mode"),
    (["server"], "needs an ADDRESS"),
    (["-client", "127.0.0.1:28000"], "needs a NAME"),
    (["-client", "127.0.0.1:28000", ""], "must not be empty"),
    (["server", "127.0.0.1:28000", "extra"], "unexpected argument"),
    (["server", "127.0.0.1:28000", "--bogus"], "unknown option --bogus"),
    (["server", "localhost:abc"], "from 1 to 65535"),
    (["server", "127.0.0.1:99999"], "from 1 to 65535"),
    (["server", "127.0.0.1"], "host:port"),
]

for binary in sys.argv[1:]:
    name = os.path.basename(binary)
    for flag in ("--help", "--version"):
        r = run(binary, [flag])
        check(r.returncode == 0, f"{name} {flag}: exit {r.returncode}, stderr {r.stderr!r}")
        check(r.stderr == "", f"{name} {flag}: stderr {r.stderr!r}")
    check(run(binary, ["--version"]).stdout.startswith(name + " "), f"{name} --version")
    check("-client ADDRESS NAME" in run(binary, ["--help"]).stdout, f"{name} --help shows no usage")
    if name == "seafold":
        r = run(binary, [])
        check(r.returncode == 1 and "needs a graphical display" in r.stderr, f"bare {name}: {r.stderr!r}")
    for args, says in BAD:
        if name == "seafold" and not args:
            continue
        r = run(binary, args)
        lines = r.stderr.splitlines()
        check(r.returncode == 2, f"{name} {args}: exit {r.returncode}")
        check(len(lines) == 2 and lines[0].startswith(name + ": ") and says in lines[0]
              and f"'{name} --help'" in lines[1], f"{name} {args}: stderr {r.stderr!r}")
        check(r.stdout == "", f"{name} {args}: stdout {r.stdout!r}")

if failures:
    print("\n".join(failures))
    print(f"{len(failures)} failed")
    sys.exit(1)
print(f"command lines of {len(sys.argv) - 1} programs: all passed")
