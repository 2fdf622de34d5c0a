"""Shared parts of the scripts that time an flvtool command against ffmpeg
-c copy on the cached 10-minute 1280x720 H.264 + AAC FLV: making that input,
timing one whole process (wall time, CPU time and peak RSS from wait4), and
the alternating runs with their medians and ratio."""
import os
import statistics
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
INPUT_NAME = "h264-aac-1280x720-15fps-600s.flv"


def make_input(ffmpeg, path):
    tmp = path + ".part"
    cmd = [ffmpeg, "-v", "error", "-nostdin", "-y",
           "-f", "lavfi", "-i", "testsrc2=size=1280x720:rate=15",
           "-f", "lavfi", "-i", "sine=frequency=440:sample_rate=44100",
           "-t", "600",
           "-c:v", "libx264", "-preset", "ultrafast", "-bf", "0", "-g", "30", "-pix_fmt", "yuv420p",
           "-c:a", "aac", "-ac", "2", "-b:a", "128k",
           "-f", "flv", tmp]
    print("making %s (10 minutes of 1280x720 H.264 + AAC; this takes a while, once)" % path, flush=True)
    start = time.monotonic()
    subprocess.run(cmd, check=True)
    os.replace(tmp, path)
    print("  made in %.0f s, %.1f MB" % (time.monotonic() - start, os.path.getsize(path) / 1e6), flush=True)


def cached_input(ffmpeg, data_dir):
    os.makedirs(data_dir, exist_ok=True)
    src = os.path.join(data_dir, INPUT_NAME)
    if not os.path.exists(src):
        make_input(ffmpeg, src)
    return src


def run_once(cmd, out):
    """Runs cmd to completion; (wall s, cpu s, peak RSS KiB, exit status)."""
    if os.path.exists(out):
        os.remove(out)
    start = time.perf_counter()
    proc = subprocess.Popen(cmd, stdin=subprocess.DEVNULL)
    _, status, usage = os.wait4(proc.pid, 0)
    wall = time.perf_counter() - start
    proc.returncode = os.waitstatus_to_exitcode(status)
    return wall, usage.ru_utime + usage.ru_stime, usage.ru_maxrss, proc.returncode


def compare(script, src, cmds, outs, runs):
    """Runs cmds["flvtool"] and cmds["ffmpeg"] runs + 1 times, alternating;
    the first round is dropped. Prints every run, the medians and the ratio."""
    results = {name: [] for name in cmds}
    print("input %s, %.1f MB" % (src, os.path.getsize(src) / 1e6), flush=True)
    for rnd in range(runs + 1):
        # Alternate which tool goes first, so that neither always follows the other.
        order = ["flvtool", "ffmpeg"] if rnd % 2 == 0 else ["ffmpeg", "flvtool"]
        for name in order:
            wall, cpu, rss, rc = run_once(cmds[name], outs[name])
            if rc != 0:
                sys.exit("%s: %s exited with %d" % (script, " ".join(cmds[name]), rc))
            if rnd > 0:
                results[name].append((wall, cpu, rss))
            print("  %s %-7s %7.3f s wall %7.3f s cpu %7.1f MB peak RSS" %
                  ("warm-up" if rnd == 0 else "run %d  " % rnd, name, wall, cpu, rss / 1024), flush=True)

    sizes = {name: os.path.getsize(out) for name, out in outs.items()}
    medians = {}
    print()
    print("median of %d runs (first round dropped):" % runs)
    for name in ("flvtool", "ffmpeg"):
        wall = statistics.median(r[0] for r in results[name])
        cpu = statistics.median(r[1] for r in results[name])
        rss = statistics.median(r[2] for r in results[name])
        medians[name] = wall
        print("  %-7s %7.3f s wall  %7.3f s cpu  %7.1f MB peak RSS  output %.1f MB" %
              (name, wall, cpu, rss / 1024, sizes[name] / 1e6))
    ratio = medians["ffmpeg"] / medians["flvtool"]
    print("  ratio ffmpeg / flvtool wall time: %.2f (%s)" %
          (ratio, "flvtool faster" if ratio > 1 else "flvtool slower"), flush=True)
    for out in outs.values():
        os.remove(out)
    return ratio
