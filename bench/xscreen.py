"""A private Xvfb for the screen-recording benchmarks, and a screen flasher.

start_xvfb() starts Xvfb on a display it picks itself (-displayfd) and
returns the process and ':N'; stop() ends a child by its process object.

ScreenFlasher (libX11 through ctypes) shows timed events over the whole
screen so that a recording can say when each of its pictures was grabbed.
An event at instant D (CLOCK_MONOTONIC ns) maps an override-redirect window
over everything, black from D - BLACK_MS, then raises its grey level from 0
at D to 255 at D + RAMP_MS, repainting as fast as the server takes it, holds
white for WHITE_MS and unmaps. Every repaint is logged with the time the
server had done it (after XSync): a picture taken during the ramp shows a
level, and the log says when that level was on the screen to within one
repaint (a few ms). Pictures of the black and the white parts calibrate the
luma of level 0 and 255 in the decoded file.
"""
import ctypes
import os
import signal
import subprocess
import threading
import time

SCREEN = (1920, 1080)
BLACK_MS = 200
RAMP_MS = 300
WHITE_MS = 300


def build_env(env, build):
    """env for the programs of a build folder: its lib/ first, so that a
    copied folder (bin/ and lib/) runs its own libraries, not those its
    programs' run path names."""
    lib = os.path.join(build, "lib")
    if os.path.isdir(lib):
        env = dict(env, LD_LIBRARY_PATH=lib)
    return env


def stop(proc):
    """SIGTERM, then SIGKILL after 5 s; waits for the child."""
    if proc and proc.poll() is None:
        proc.send_signal(signal.SIGTERM)
        try:
            proc.wait(5)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()


def start_xvfb(size=SCREEN):
    """Xvfb WxHx24 on a display it picks itself (-displayfd); (process, ':N')."""
    read, write = os.pipe()
    proc = subprocess.Popen(["Xvfb", "-displayfd", str(write), "-screen", "0", "%dx%dx24" % size,
                             "-nolisten", "tcp", "-noreset"], pass_fds=(write,), stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL)
    os.close(write)
    number = b""
    while not number.endswith(b"\n"):
        chunk = os.read(read, 16)
        if not chunk:
            os.close(read)
            stop(proc)
            raise RuntimeError("Xvfb did not start")
        number += chunk
    os.close(read)
    return proc, ":" + number.decode().strip()


class _SetWindowAttributes(ctypes.Structure):
    _fields_ = [("background_pixmap", ctypes.c_ulong), ("background_pixel", ctypes.c_ulong),
                ("border_pixmap", ctypes.c_ulong), ("border_pixel", ctypes.c_ulong),
                ("bit_gravity", ctypes.c_int), ("win_gravity", ctypes.c_int), ("backing_store", ctypes.c_int),
                ("backing_planes", ctypes.c_ulong), ("backing_pixel", ctypes.c_ulong),
                ("save_under", ctypes.c_int), ("event_mask", ctypes.c_long),
                ("do_not_propagate_mask", ctypes.c_long), ("override_redirect", ctypes.c_int),
                ("colormap", ctypes.c_ulong), ("cursor", ctypes.c_ulong)]


_CW_BACK_PIXEL = 1 << 1
_CW_OVERRIDE_REDIRECT = 1 << 9
_INPUT_OUTPUT = 1


class ScreenFlasher:
    """Shows the events scheduled with schedule() on `display`; one thread
    owns the X connection. `events` lists, per event shown, (D ns, [(ns,
    level), ...]) in the order they ran."""

    def __init__(self, display):
        lib = ctypes.CDLL("libX11.so.6")
        lib.XOpenDisplay.restype = ctypes.c_void_p
        lib.XOpenDisplay.argtypes = [ctypes.c_char_p]
        for name in ("XDefaultScreen", "XDisplayWidth", "XDisplayHeight"):
            getattr(lib, name).argtypes = [ctypes.c_void_p] + ([ctypes.c_int] if name != "XDefaultScreen" else [])
        lib.XRootWindow.restype = ctypes.c_ulong
        lib.XRootWindow.argtypes = [ctypes.c_void_p, ctypes.c_int]
        lib.XCreateWindow.restype = ctypes.c_ulong
        lib.XCreateWindow.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_int, ctypes.c_uint,
                                      ctypes.c_uint, ctypes.c_uint, ctypes.c_int, ctypes.c_uint, ctypes.c_void_p,
                                      ctypes.c_ulong, ctypes.POINTER(_SetWindowAttributes)]
        for name in ("XMapRaised", "XUnmapWindow", "XClearWindow", "XDestroyWindow"):
            getattr(lib, name).argtypes = [ctypes.c_void_p, ctypes.c_ulong]
        lib.XSetWindowBackground.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_ulong]
        lib.XSync.argtypes = [ctypes.c_void_p, ctypes.c_int]
        lib.XCloseDisplay.argtypes = [ctypes.c_void_p]
        self.lib = lib
        self.display = lib.XOpenDisplay(display.encode())
        if not self.display:
            raise RuntimeError("cannot open the X display %s" % display)
        screen = lib.XDefaultScreen(self.display)
        width, height = lib.XDisplayWidth(self.display, screen), lib.XDisplayHeight(self.display, screen)
        attributes = _SetWindowAttributes()
        attributes.override_redirect = 1
        attributes.background_pixel = 0
        self.window = lib.XCreateWindow(self.display, lib.XRootWindow(self.display, screen), 0, 0, width, height,
                                        0, 0, _INPUT_OUTPUT, None, _CW_BACK_PIXEL | _CW_OVERRIDE_REDIRECT,
                                        ctypes.byref(attributes))
        lib.XSync(self.display, 0)
        self.lock = threading.Lock()
        self.wake = threading.Condition(self.lock)
        self.pending = []
        self.events = []
        self.error = None
        self.closing = False
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def schedule(self, at_ns):
        """An event whose ramp starts at at_ns (CLOCK_MONOTONIC)."""
        with self.lock:
            self.pending.append(at_ns)
            self.pending.sort()
            self.wake.notify()

    def _paint(self, level):
        self.lib.XSetWindowBackground(self.display, self.window, level * 0x010101)
        self.lib.XClearWindow(self.display, self.window)
        self.lib.XSync(self.display, 0)
        return time.monotonic_ns()

    def _wait_until(self, when_ns):
        """False when closing."""
        with self.lock:
            while not self.closing:
                left = when_ns - time.monotonic_ns()
                if left <= 0:
                    return True
                self.wake.wait(min(left / 1e9, 0.5))
            return False

    def _show(self, at_ns):
        if not self._wait_until(at_ns - BLACK_MS * 1_000_000):
            return
        self.lib.XSetWindowBackground(self.display, self.window, 0)
        self.lib.XMapRaised(self.display, self.window)
        self._paint(0)
        if not self._wait_until(at_ns):
            return
        log = []
        end = at_ns + RAMP_MS * 1_000_000
        level = -1
        while True:
            now = time.monotonic_ns()
            wanted = 255 if now >= end else max(0, min(255, (now - at_ns) * 255 // (RAMP_MS * 1_000_000)))
            if wanted != level:
                level = wanted
                log.append((self._paint(level), level))
            if level == 255:
                break
            time.sleep(0.0005)
        self._wait_until(end + WHITE_MS * 1_000_000)
        self.lib.XUnmapWindow(self.display, self.window)
        self.lib.XSync(self.display, 0)
        with self.lock:
            self.events.append((at_ns, log))

    def _run(self):
        try:
            while True:
                with self.lock:
                    while not self.pending and not self.closing:
                        self.wake.wait()
                    if self.closing:
                        return
                    at_ns = self.pending.pop(0)
                self._show(at_ns)
        except Exception as e:  # reported by close()
            self.error = str(e)

    def close(self):
        with self.lock:
            self.closing = True
            self.wake.notify()
        self.thread.join(5)
        self.lib.XDestroyWindow(self.display, self.window)
        self.lib.XCloseDisplay(self.display)
        if self.error:
            raise RuntimeError(self.error)
