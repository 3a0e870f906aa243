"""A small LAN on one machine, for tests and measurements.

Three (or more) network namespaces act as hosts. Each has one interface,
"lan0", with an address in 10.213.0.0/24, joined to the others by a bridge
that lives in a namespace of its own (the "switch"), so the machine's own
network namespace is never touched: every address a test uses is inside the
namespaces it made. Every name carries the process id of the run, so parallel
runs do not collide.

Everything is removed again when the `with` block ends, whether it ends
normally, with an exception, or with SIGINT, SIGTERM or SIGHUP (turned into
exceptions here). A run killed outright (SIGKILL) cannot clean up: the next
run removes namespaces whose run is gone.

    with Lan(3) as lan:
        p = lan.popen(0, ["build/bin/seafold-headless", "server", "0.0.0.0:28000"])
        lan.address(0)  # "10.213.0.1"

Needs root and iproute2 ("ip"). Where namespaces cannot be made, entering the
block raises Skip with the reason; test scripts exit with SKIP_CODE then.
"""

import json
import os
import re
import shutil
import signal
import subprocess
import time

SKIP_CODE = 77  # ctest's SKIP_RETURN_CODE for these tests
SUBNET = "10.213.0"  # /24; the hosts are .1, .2, ...
PREFIX = "sfl"  # namespace names: sfl<pid>-sw, sfl<pid>-h1, ...
NAME_PATTERN = re.compile(r"^" + PREFIX + r"(\d+)-(sw|h\d+)$")
# The bridge's ports must be forwarding before the first datagram; they
# normally are at once (no spanning tree), this bounds the wait.
READY_SECONDS = 5.0


class Skip(Exception):
    pass


class CommandFailed(Exception):
    pass


def _ip(*args, check=True):
    r = subprocess.run(["ip", *args], capture_output=True, text=True, timeout=20)
    if check and r.returncode != 0:
        raise CommandFailed(f"ip {' '.join(args)}: {r.stderr.strip()}")
    return r


def _pid_alive(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:
        return True
    return True


def remove_stale_namespaces():
    """Removes namespaces of earlier runs whose process is gone, and ends the
    processes those runs left inside them."""
    r = _ip("netns", "list", check=False)
    for line in r.stdout.splitlines():
        name = line.split()[0] if line.split() else ""
        m = NAME_PATTERN.match(name)
        if not m or int(m.group(1)) == os.getpid() or _pid_alive(int(m.group(1))):
            continue
        for pid in _ip("netns", "pids", name, check=False).stdout.split():
            try:
                os.kill(int(pid), signal.SIGKILL)
            except (ProcessLookupError, ValueError):
                pass
        _ip("netns", "del", name, check=False)


class Interrupted(BaseException):
    """A signal that ends the run; BaseException so tests' own `except
    Exception` does not swallow it before the namespaces are removed."""


def _raise_interrupted(signum, _frame):
    raise Interrupted(f"signal {signum}")


class Lan:
    def __init__(self, hosts=3):
        if not 1 <= hosts <= 250:
            raise ValueError("hosts must be 1..250")
        self.count = hosts
        tag = f"{PREFIX}{os.getpid()}"
        self.switch = f"{tag}-sw"
        self.hosts = [f"{tag}-h{i + 1}" for i in range(hosts)]
        self.made = []
        self.processes = []
        self.old_handlers = {}

    # ---- set-up and removal ----

    def __enter__(self):
        if os.geteuid() != 0:
            raise Skip("network namespaces need root")
        if shutil.which("ip") is None:
            raise Skip("no 'ip' command (install iproute2)")
        for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            self.old_handlers[sig] = signal.signal(sig, _raise_interrupted)
        try:
            remove_stale_namespaces()
            self._check_subnet_unused()
            try:
                self._add_namespace(self.switch)
            except CommandFailed as e:
                raise Skip(f"cannot make a network namespace: {e}")
            self._build()
        except BaseException:
            self._remove()
            raise
        return self

    def __exit__(self, *exc):
        self._remove()
        return False

    def _check_subnet_unused(self):
        r = _ip("-4", "-o", "addr", "show", check=False)
        if f" {SUBNET}." in r.stdout:
            raise Skip(f"this machine already uses {SUBNET}.0/24")

    def _add_namespace(self, name):
        _ip("netns", "add", name)
        self.made.append(name)

    def _build(self):
        sw = self.switch
        try:
            _ip("-n", sw, "link", "add", "br0", "type", "bridge")
        except CommandFailed as e:
            raise Skip(f"cannot make a bridge: {e}")
        _ip("-n", sw, "link", "set", "br0", "up")
        for i, host in enumerate(self.hosts):
            self._add_namespace(host)
            port = f"p{i + 1}"
            # Made inside the switch namespace, its peer straight in the host:
            # neither end ever appears in the machine's own namespace.
            try:
                _ip("-n", sw, "link", "add", port, "type", "veth", "peer", "name", "lan0", "netns", host)
            except CommandFailed as e:
                raise Skip(f"cannot make a veth pair: {e}")
            _ip("-n", sw, "link", "set", port, "master", "br0")
            _ip("-n", sw, "link", "set", port, "up")
            _ip("-n", host, "addr", "add", f"{self.address(i)}/24", "brd", "+", "dev", "lan0")
            _ip("-n", host, "link", "set", "lan0", "up")
            _ip("-n", host, "link", "set", "lo", "up")
        self._wait_ready()

    def _wait_ready(self):
        end = time.time() + READY_SECONDS
        while time.time() < end:
            if all(self._port_forwarding(f"p{i + 1}") for i in range(self.count)):
                return
            time.sleep(0.05)
        raise CommandFailed("the bridge's ports did not start forwarding")

    def _port_forwarding(self, port):
        r = _ip("-n", self.switch, "-j", "-d", "link", "show", port, check=False)
        try:
            info = json.loads(r.stdout)[0]
        except (ValueError, IndexError):
            return False
        state = info.get("linkinfo", {}).get("info_slave_data", {}).get("state")
        return info.get("operstate") in ("UP", "UNKNOWN") and state in (None, "forwarding")

    def _remove(self):
        # A second signal must not cut the removal short.
        for sig in self.old_handlers:
            signal.signal(sig, signal.SIG_IGN)
        for p in self.processes:
            if p.poll() is None:
                p.kill()
            try:
                p.wait(timeout=10)
            except subprocess.TimeoutExpired:
                pass
        for name in reversed(self.made):
            _ip("netns", "del", name, check=False)
        self.made = []
        for sig, handler in self.old_handlers.items():
            signal.signal(sig, handler)
        self.old_handlers = {}

    # ---- use ----

    def address(self, host):
        return f"{SUBNET}.{host + 1}"

    def broadcast(self):
        return f"{SUBNET}.255"

    def prefix(self, host):
        """The command prefix that runs a program inside `host`."""
        return ["ip", "netns", "exec", self.hosts[host]]

    def popen(self, host, args, **kwargs):
        """Starts a process inside `host`; it is killed, if still running,
        when the LAN is removed."""
        p = subprocess.Popen(self.prefix(host) + list(args), **kwargs)
        self.processes.append(p)
        return p

    def run(self, host, args, timeout=60, **kwargs):
        return subprocess.run(self.prefix(host) + list(args), timeout=timeout, **kwargs)

    def adopt(self, process):
        """Makes the LAN kill `process` (a Popen) when it is removed."""
        self.processes.append(process)
        return process


def run_scenarios(scenarios, failures, hosts=3, prepare=None):
    """Runs each scenario(lan, *extra) in turn on one LAN of `hosts` hosts,
    where `extra` is what prepare(lan) returned (nothing without it; what it
    starts, it hands to lan.adopt). Prints a line per scenario, then the
    failures; returns the exit code: 0, 1, or SKIP_CODE with the reason."""
    try:
        with Lan(hosts) as lan:
            extra = prepare(lan) if prepare else ()
            for scenario in scenarios:
                before = len(failures)
                start = time.time()
                scenario(lan, *extra)
                print(f"{scenario.__name__}: {'ok' if len(failures) == before else 'FAILED'} "
                      f"({time.time() - start:.1f} s)")
    except Skip as why:
        print(f"skipped: {why}")
        return SKIP_CODE
    except Interrupted as why:
        print(f"interrupted by {why}; the namespaces were removed")
        return 1
    if failures:
        print("\n".join(failures))
        print(f"{len(failures)} failures")
        return 1
    print(f"{len(scenarios)} passed, 0 failed")
    return 0
