"""A seafold-headless process for end-to-end tests: started with --events
(unless told not to), its JSON lines and standard error read back, bounded
waits, and a stop that reports how it ended. Shared by the end-to-end tests."""

import json
import os
import shutil
import signal
import socket
import subprocess
import tempfile
import time


def read_whole(f):
    """All that was written to `f` so far. The child process writes through
    the same open file, and so the same file offset: seeking and reading here
    would move the offset it writes at (under load a line then landed over
    an earlier one). pread leaves the offset where the child needs it."""
    fd = f.fileno()
    return os.pread(fd, os.fstat(fd).st_size, 0).decode("utf-8", errors="replace")


def finish(work, failures):
    """The end of an end-to-end script: its folder goes when all passed and
    is named when something failed; each failure on a line of its own, the
    count, and the exit code."""
    if not failures:
        shutil.rmtree(work, ignore_errors=True)
    else:
        print("output kept in", work)
    for f in failures:
        print("FAIL:", f)
    print(f"{0 if failures else 1} passed, {len(failures)} failed")
    return 1 if failures else 0


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class HeadlessProcess:
    def __init__(self, binary, name, args, failures, env=None, log_dir=None, events=True):
        self.name = name
        self.failures = failures
        if log_dir:
            self.out = open(os.path.join(log_dir, name + ".log"), "w+")
            self.err = open(os.path.join(log_dir, name + ".err"), "w+")
        else:
            self.out = tempfile.TemporaryFile(mode="w+")
            self.err = tempfile.TemporaryFile(mode="w+")
        self.p = subprocess.Popen([binary] + args + (["--events"] if events else []), stdout=self.out,
                                  stderr=self.err, env=env)

    def events(self):
        lines = []
        for line in read_whole(self.out).splitlines():
            try:
                lines.append(json.loads(line))
            except json.JSONDecodeError:
                self.failures.append(f"{self.name}: not JSON: {line!r}")
        return lines

    def rpcs(self, name):
        """The arguments of every call of remote procedure `name` run here."""
        return [e["args"] for e in self.events() if e.get("rpc") == name]

    def model(self, user):
        """The latest scene line about `user`'s model, or None."""
        last = None
        for e in self.events():
            if e.get("model") == user:
                last = e
        return last

    def stderr_text(self):
        return read_whole(self.err)

    def wait_for(self, what, predicate, seconds=10.0):
        end = time.time() + seconds
        while time.time() < end:
            if predicate():
                return True
            if self.p.poll() is not None:
                break
            time.sleep(0.05)
        self.failures.append(f"{self.name}: timed out waiting for {what}")
        return False

    def stop(self, sig=signal.SIGTERM):
        """Sends `sig` (if still running) and returns the exit code, or None."""
        if self.p.poll() is None:
            self.p.send_signal(sig)
        try:
            return self.p.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.p.kill()
            self.p.wait()
            self.failures.append(f"{self.name}: did not end after signal {sig}")
            return None
