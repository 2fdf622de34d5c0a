"""A private PulseAudio daemon for the recording benchmarks, and a paced player.

PrivatePulse starts `pulseaudio` in user mode with a folder of its own under
/tmp (runtime, state and home directories, its log and its start script). It
loads no default configuration (-n): the script loads
module-native-protocol-unix on <folder>/native with anonymous access plus the
modules the caller lists. The child gets no DISPLAY and no D-Bus session
address, so it never meets a desktop's sound server. `env()` is the
environment for the programs that should talk to it (PULSE_SERVER set).

PacedPlayer keeps one playback stream (libpulse-simple through ctypes) open
on a sink, writing 10 ms blocks of silence, and puts a click into the stream
so that it plays at a given CLOCK_MONOTONIC instant. It learns when a frame
plays from the stream's latency after every write: the frame written next
plays at now + latency. The median over the last half second of those
estimates, mapped back to frame 0, gives the time line of the stream; it
follows the sink's own clock (a null sink runs some hundred ppm off
CLOCK_MONOTONIC), so the clicks stay placed over long runs.
"""
import ctypes
import os
import shutil
import signal
import statistics
import subprocess
import tempfile
import threading
import time


class PrivatePulse:
    def __init__(self, modules):
        """modules: list of (module name, argument string) loaded at start."""
        self.folder = tempfile.mkdtemp(prefix="tolvane-bench-pulse-")
        for sub in ("runtime", "state", "home"):
            os.mkdir(os.path.join(self.folder, sub), 0o700)
        self.server = "unix:" + os.path.join(self.folder, "native")
        self.modules = modules
        self.proc = None

    def env(self):
        env = dict(os.environ)
        env["PULSE_SERVER"] = self.server
        return env

    def start(self, timeout=10.0):
        script = os.path.join(self.folder, "start.pa")
        with open(script, "w") as f:
            f.write("load-module module-native-protocol-unix socket=%s/native auth-anonymous=1\n" % self.folder)
            for name, args in self.modules:
                f.write("load-module %s %s\n" % (name, args))
        env = dict(os.environ)
        for name in ("DISPLAY", "WAYLAND_DISPLAY", "DBUS_SESSION_BUS_ADDRESS", "PULSE_SERVER", "PULSE_CONFIG"):
            env.pop(name, None)
        env.update({
            "XDG_RUNTIME_DIR": self.folder + "/runtime", "PULSE_RUNTIME_PATH": self.folder + "/runtime",
            "PULSE_STATE_PATH": self.folder + "/state", "HOME": self.folder + "/home",
            "XDG_CONFIG_HOME": self.folder + "/home/.config"})
        argv = ["pulseaudio", "-n", "-F", script, "--daemonize=no", "--system=no", "--exit-idle-time=-1",
                "--use-pid-file=no", "--realtime=no", "--high-priority=no", "--disallow-exit=no",
                "--log-target=file:" + self.folder + "/pulse.log"]
        err = open(os.path.join(self.folder, "pulse.stderr"), "w")
        self.proc = subprocess.Popen(argv, env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                     stderr=err)
        err.close()
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if self.proc.poll() is not None:
                raise RuntimeError("pulseaudio exited at start: " + self.log())
            r = subprocess.run(["pactl", "--server=" + self.server, "info"], capture_output=True, text=True)
            if r.returncode == 0 and "Server Name" in r.stdout:
                return
            time.sleep(0.05)
        self.stop()
        raise RuntimeError("pulseaudio does not answer: " + self.log())

    def log(self):
        try:
            with open(os.path.join(self.folder, "pulse.log")) as f:
                return f.read()[-2000:]
        except OSError:
            return ""

    def stop(self):
        if self.proc and self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.proc = None

    def close(self):
        self.stop()
        shutil.rmtree(self.folder, ignore_errors=True)

    def __enter__(self):
        self.start()
        return self

    def __exit__(self, *exc):
        self.close()


class _SampleSpec(ctypes.Structure):
    _fields_ = [("format", ctypes.c_int), ("rate", ctypes.c_uint32), ("channels", ctypes.c_uint8)]


class _BufferAttr(ctypes.Structure):
    _fields_ = [("maxlength", ctypes.c_uint32), ("tlength", ctypes.c_uint32), ("prebuf", ctypes.c_uint32),
                ("minreq", ctypes.c_uint32), ("fragsize", ctypes.c_uint32)]


_PA_SAMPLE_S16LE = 3
_PA_STREAM_PLAYBACK = 1


def click_pcm(rate=44100, channels=2):
    """10 ms of a full-scale 2205 Hz square wave (the A/V sync test's click)."""
    out = bytearray()
    for i in range(rate // 100):
        v = (-32000 if (i // 10) % 2 else 32000).to_bytes(2, "little", signed=True)
        out += v * channels
    return bytes(out)


class PacedPlayer:
    BLOCK_FRAMES = 441  # 10 ms at 44100 Hz

    def __init__(self, server, sink, rate=44100, channels=2, target_ms=300):
        self.rate = rate
        self.channels = channels
        self.frame_bytes = 2 * channels
        lib = ctypes.CDLL("libpulse-simple.so.0")
        lib.pa_simple_new.restype = ctypes.c_void_p
        lib.pa_simple_new.argtypes = [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_int, ctypes.c_char_p,
                                      ctypes.c_char_p, ctypes.POINTER(_SampleSpec), ctypes.c_void_p,
                                      ctypes.POINTER(_BufferAttr), ctypes.POINTER(ctypes.c_int)]
        lib.pa_simple_write.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_size_t,
                                        ctypes.POINTER(ctypes.c_int)]
        lib.pa_simple_get_latency.restype = ctypes.c_uint64
        lib.pa_simple_get_latency.argtypes = [ctypes.c_void_p, ctypes.POINTER(ctypes.c_int)]
        lib.pa_simple_free.argtypes = [ctypes.c_void_p]
        self.lib = lib
        spec = _SampleSpec(_PA_SAMPLE_S16LE, rate, channels)
        tlength = rate * target_ms // 1000 * self.frame_bytes
        none = 0xFFFFFFFF
        attr = _BufferAttr(none, tlength, none, none, none)
        err = ctypes.c_int(0)
        self.handle = lib.pa_simple_new(server.encode(), b"tolvane bench", _PA_STREAM_PLAYBACK, sink.encode(),
                                        b"click player", ctypes.byref(spec), None, ctypes.byref(attr),
                                        ctypes.byref(err))
        if not self.handle:
            raise RuntimeError("cannot open a playback stream on %s (pulse error %d)" % (sink, err.value))
        self.click = click_pcm(rate, channels)
        self.lock = threading.Lock()
        self.pending = []     # CLOCK_MONOTONIC ns at which clicks should play
        self.placed = []      # (wanted ns, estimated play ns of the click's first frame)
        self.origins = []     # recent estimates of when frame 0 played (ns)
        self.trace = []       # (monotonic ns, frame 0 origin ns) every second, for the sink's rate
        self.written = 0
        self.error = None
        self.stop_flag = False
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def schedule(self, when_ns):
        with self.lock:
            self.pending.append(when_ns)
            self.pending.sort()

    def origin_ns(self):
        with self.lock:
            return statistics.median(self.origins) if self.origins else None

    def _run(self):
        err = ctypes.c_int(0)
        silence = bytes(self.BLOCK_FRAMES * self.frame_bytes)
        carry = b""  # the part of a click that runs into the next block
        last_trace = 0
        try:
            while not self.stop_flag:
                block = bytearray(silence)
                if carry:
                    n = min(len(carry), len(block))
                    block[:n] = carry[:n]
                    carry = carry[n:]
                origin = self.origin_ns()
                if origin is not None:
                    with self.lock:
                        first_ns = origin + self.written * 1e9 / self.rate
                        end_ns = first_ns + self.BLOCK_FRAMES * 1e9 / self.rate
                        while self.pending and self.pending[0] < end_ns:
                            want = self.pending.pop(0)
                            offset = max(0, round((want - first_ns) * self.rate / 1e9))
                            played = origin + (self.written + offset) * 1e9 / self.rate
                            self.placed.append((want, played))
                            data = self.click
                            start = offset * self.frame_bytes
                            n = min(len(data), len(block) - start)
                            block[start:start + n] = data[:n]
                            carry = data[n:]
                if self.lib.pa_simple_write(self.handle, bytes(block), len(block), ctypes.byref(err)) < 0:
                    raise RuntimeError("pa_simple_write failed (pulse error %d)" % err.value)
                self.written += self.BLOCK_FRAMES
                latency_us = self.lib.pa_simple_get_latency(self.handle, ctypes.byref(err))
                now = time.monotonic_ns()
                # The next frame written (index `written`) plays at now + latency.
                estimate = now + latency_us * 1000 - self.written * 1e9 / self.rate
                with self.lock:
                    self.origins.append(estimate)
                    if len(self.origins) > 50:
                        del self.origins[0]
                if now - last_trace >= 1e9:
                    self.trace.append((now, statistics.median(self.origins)))
                    last_trace = now
        except Exception as e:  # reported by close()
            self.error = str(e)

    def sink_ppm(self):
        """How much faster than CLOCK_MONOTONIC the sink plays, in ppm (None: too short)."""
        if len(self.trace) < 20:
            return None
        (t0, o0), (t1, o1) = self.trace[5], self.trace[-1]
        # A fast sink plays frames earlier and earlier: its origin moves back.
        return -(o1 - o0) / (t1 - t0) * 1e6

    def close(self):
        self.stop_flag = True
        self.thread.join(5)
        self.lib.pa_simple_free(self.handle)
        if self.error:
            raise RuntimeError(self.error)
