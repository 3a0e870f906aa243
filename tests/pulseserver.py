"""A private PulseAudio server for the sound tests: started by the test itself
in a folder of its own (no user session, no D-Bus, root or not), with a null
sink whose monitor is the default source, so that what is played into the
sink is what a program captures. Sinks can be added and removed while it
runs (a headset plugged in and pulled out). Every wait is bounded."""

import os
import shutil
import subprocess
import tempfile
import time

MIC_SINK = "nullout"


def available():
    """True where the server and its tools are installed."""
    return all(shutil.which(tool) for tool in ("pulseaudio", "pactl", "paplay"))


class PulseServer:
    def __init__(self, folder=None):
        self.folder = folder or tempfile.mkdtemp(prefix="seafold-pulse-")
        self.own_folder = folder is None
        self.socket = os.path.join(self.folder, "native")
        self.process = None
        self.players = []

    def env(self, base=None):
        """An environment that reaches this server, with OpenAL Soft's own
        settings of the caller removed (it then picks PulseAudio)."""
        env = dict(base if base is not None else os.environ)
        env.update(HOME=self.folder, XDG_RUNTIME_DIR=self.folder, PULSE_SERVER="unix:" + self.socket)
        for name in ("ALSOFT_DRIVERS", "ALSOFT_CONF", "SEAFOLD_CAPTURE_FILE"):
            env.pop(name, None)
        return env

    def start(self, seconds=10.0):
        """Starts the server; False when it did not come up in time. As root
        the server warns that it is meant for users and runs all the same:
        the anonymous socket of our own needs neither --system nor a cookie."""
        script = os.path.join(self.folder, "pa.pa")
        with open(script, "w") as f:
            f.write(f"load-module module-native-protocol-unix socket={self.socket} auth-anonymous=1\n"
                    f"load-module module-null-sink sink_name={MIC_SINK}\n"
                    f"set-default-sink {MIC_SINK}\n"
                    f"set-default-source {MIC_SINK}.monitor\n")
        self.log = open(os.path.join(self.folder, "pulseaudio.log"), "w")
        self.process = subprocess.Popen(
            ["pulseaudio", "-n", "-F", script, "--daemonize=no", "--exit-idle-time=-1", "--use-pid-file=no",
             "--disallow-exit", "--log-target=stderr"],
            env=self.env(), stdout=self.log, stderr=self.log)
        end = time.time() + seconds
        while time.time() < end:
            if self.process.poll() is not None:
                return False
            if os.path.exists(self.socket) and self.pactl("info") is not None:
                return True
            time.sleep(0.1)
        return False

    def pactl(self, *args):
        """pactl's output, or None when it failed."""
        try:
            r = subprocess.run(["pactl"] + list(args), env=self.env(), capture_output=True, text=True, timeout=10)
        except subprocess.TimeoutExpired:
            return None
        return r.stdout if r.returncode == 0 else None

    def add_sink(self, name, description=None):
        """Loads a null sink called `name`; returns its module index (or None)."""
        args = ["load-module", "module-null-sink", f"sink_name={name}"]
        if description:
            args.append(f"sink_properties=device.description={description}")
        out = self.pactl(*args)
        return int(out.strip()) if out and out.strip().isdigit() else None

    def remove_module(self, index):
        return self.pactl("unload-module", str(index)) is not None

    def play(self, wav, sink=MIC_SINK):
        """Starts playing a file into `sink` (the default microphone's sink)."""
        p = subprocess.Popen(["paplay", "--device=" + sink, wav], env=self.env(), stdout=subprocess.DEVNULL,
                             stderr=subprocess.DEVNULL)
        self.players.append(p)
        return p

    def stop(self):
        for p in self.players + [self.process]:
            if p and p.poll() is None:
                p.terminate()
                try:
                    p.wait(timeout=5)
                except subprocess.TimeoutExpired:
                    p.kill()
                    p.wait()
        if self.process:
            self.log.close()
        if self.own_folder:
            shutil.rmtree(self.folder, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()


def run_scenario(scenario, work, failures):
    """The frame of a sound test: a private server in WORK/pulse, the
    scenario run against it (scenario(pulse)), the server stopped, and the
    test's end through headless_process.finish (the folder kept when
    something failed). Returns the exit code."""
    from headless_process import finish
    if not available():
        print("FAIL: pulseaudio, pactl and paplay are needed (scripts/install-deps.sh --test)")
        return 1
    pulse = PulseServer(os.path.join(work, "pulse"))
    os.makedirs(pulse.folder, exist_ok=True)
    try:
        if pulse.start():
            scenario(pulse)
        else:
            failures.append("the private PulseAudio server did not start")
    finally:
        pulse.stop()
    return finish(work, failures)
