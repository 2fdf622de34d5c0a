"""Where sound and picture events sit in a recorded FLV, for the A/V benchmarks.

The sound: the file's audio is decoded to mono 16-bit PCM with every AAC
frame (1024 samples) placed at its packet's time stamp; a click is the first
sample above 0.3 of full scale after at least 500 ms below it.

The pictures are decoded as small grey frames (ffmpeg, area scaling) at the
packets' own time stamps. Two kinds of events:
  - flashes of the test pattern (tolvane-rec --source test --flash-at): a
    picture whose mean luma jumps by more than 80 over the one before;
  - ramps of xscreen.ScreenFlasher on a recorded screen: a run of uniform
    pictures (black, a rising grey, white). The black and white pictures
    calibrate the luma of the levels 0 and 255; each picture of the ramp
    shows a level that the flasher's log places in CLOCK_MONOTONIC time, so
    the run says where the file's time line sits on that clock:
    base = (when the picture was on the screen) - (its file time).

offset = (click's file time + base) - (when the click really played), in ms:
positive when the sound is late against the picture.
"""
import array
import statistics
import subprocess

RATE = 44100
AAC_FRAME = 1024
GRAY_W, GRAY_H = 32, 18


def run_capture(argv):
    r = subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE, stdin=subprocess.DEVNULL)
    if r.returncode != 0:
        raise RuntimeError("%s failed: %s" % (argv[0], r.stderr.decode(errors="replace")[-1000:]))
    return r.stdout


def packet_times(path, kind):
    """The pts (s) of every packet of the first stream of `kind` ('v' or 'a')."""
    out = run_capture(["ffprobe", "-v", "error", "-select_streams", kind + ":0", "-show_entries", "packet=pts_time",
                       "-of", "csv=p=0", path]).decode()
    return [float(x) for x in out.split() if x.strip() and x.strip() != "N/A"]


def gray_pictures(path):
    """(file times s, list of GRAY_W x GRAY_H grey pictures as bytes)."""
    times = packet_times(path, "v")
    raw = run_capture(["ffmpeg", "-nostdin", "-v", "error", "-i", path, "-map", "0:v:0", "-fps_mode", "passthrough",
                       "-vf", "scale=%d:%d:flags=area,format=gray" % (GRAY_W, GRAY_H), "-f", "rawvideo", "-"])
    size = GRAY_W * GRAY_H
    pictures = [raw[i:i + size] for i in range(0, len(raw) - size + 1, size)]
    if len(pictures) != len(times):
        raise RuntimeError("%d pictures decoded but %d video packets" % (len(pictures), len(times)))
    return times, pictures


def find_flashes(path):
    """File times (s) of the pictures whose mean luma jumps up by more than 80; and the picture count."""
    times, pictures = gray_pictures(path)
    lumas = [sum(p) / len(p) for p in pictures]
    return [times[i] for i in range(1, len(lumas)) if lumas[i] - lumas[i - 1] > 80], len(times)


def find_clicks(path, threshold=0.3, quiet_ms=500):
    """File times (s) of the click onsets, and the AAC frame count.

    The PCM is read as ffmpeg makes it; frames with no loud sample are
    skipped whole, so an hour costs seconds, not minutes."""
    times = packet_times(path, "a")
    proc = subprocess.Popen(["ffmpeg", "-nostdin", "-v", "error", "-i", path, "-map", "0:a:0", "-ac", "1",
                             "-f", "s16le", "-"], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            stdin=subprocess.DEVNULL)
    limit = int(threshold * 32768)
    quiet = int(quiet_ms * RATE / 1000)
    clicks = []
    last_loud = -quiet - 1
    n = 0
    rest = b""
    chunk_bytes = AAC_FRAME * 2 * 64
    while True:
        data = proc.stdout.read(chunk_bytes)
        if not data:
            break
        data = rest + data
        usable = len(data) - len(data) % 2
        rest = data[usable:]
        pcm = array.array("h", data[:usable])
        for start in range(0, len(pcm), AAC_FRAME):
            block = pcm[start:start + AAC_FRAME]
            if max(block) <= limit and min(block) >= -limit:
                continue
            for j, v in enumerate(block):
                if v > limit or v < -limit:
                    i = n + start + j
                    if i - last_loud > quiet:
                        frame, within = divmod(i, AAC_FRAME)
                        if frame < len(times):
                            clicks.append(times[frame] + within / RATE)
                    last_loud = i
        n += len(pcm)
    err = proc.stderr.read()
    if proc.wait() != 0:
        raise RuntimeError("ffmpeg failed: %s" % err.decode(errors="replace")[-1000:])
    if n != AAC_FRAME * len(times):
        raise RuntimeError("%d samples decoded from %d AAC frames (expected %d each)" % (n, len(times), AAC_FRAME))
    return clicks, len(times)


def _uniform_level(picture, spread=10, share=0.95):
    """The picture's grey level when nearly all of it is one grey (the cursor
    and coding noise aside), else None."""
    median = statistics.median_low(picture)
    near = [v for v in picture if abs(v - median) <= spread]
    if len(near) < share * len(picture):
        return None
    return sum(near) / len(near)


def _level_time(log, level):
    """When a level was on the screen (ns): each painted level is taken at the
    middle of the time it stayed up, and levels between are interpolated."""
    points = [(lv, (t + log[i + 1][0]) / 2) for i, (t, lv) in enumerate(log[:-1])]
    if level <= points[0][0]:
        return points[0][1]
    for (l0, t0), (l1, t1) in zip(points, points[1:]):
        if level <= l1:
            return t0 + (t1 - t0) * (level - l0) / (l1 - l0)
    return points[-1][1]


def find_ramps(times, pictures, events):
    """Matches the runs of uniform pictures to the flasher's events, in order.

    events: [(D ns, [(ns, level), ...]), ...] from ScreenFlasher.events.
    Returns per event a dict: 'first' (file time s of its first ramp picture),
    'base' (ms of CLOCK_MONOTONIC at file time 0, mean over the ramp's
    pictures), 'spread' (max - min of those estimates, ms), 'pictures'.
    Raises RuntimeError when the runs and the events do not match."""
    runs = []
    current = []
    for t, p in zip(times, pictures):
        level = _uniform_level(p)
        if level is None:
            if current:
                runs.append(current)
            current = []
        else:
            current.append((t, level))
    if current:
        runs.append(current)
    # A run of a few uniform pictures outside an event (a screen that went
    # dark by itself) would not have both black and white parts.
    runs = [r for r in runs if max(l for _, l in r) - min(l for _, l in r) > 100]
    if len(runs) != len(events):
        raise RuntimeError("%d flasher ramps found in the pictures, %d shown" % (len(runs), len(events)))
    found = []
    for run, (at_ns, log) in zip(runs, events):
        black = min(l for _, l in run)
        white = max(l for _, l in run)
        blacks = [l for _, l in run if l - black < 3]
        whites = [l for _, l in run if white - l < 3]
        y0, y1 = sum(blacks) / len(blacks), sum(whites) / len(whites)
        estimates = []
        first = None
        for t, l in run:
            if y0 + 3 < l < y1 - 3:
                shown_ns = _level_time(log, 255.0 * (l - y0) / (y1 - y0))
                estimates.append(shown_ns / 1e6 - t * 1000)
                if first is None:
                    first = t
        if not estimates:
            raise RuntimeError("the ramp at %.3f s has no picture between black and white" % run[0][0])
        found.append({"first": first, "base": sum(estimates) / len(estimates),
                      "spread": max(estimates) - min(estimates), "pictures": len(estimates), "at_ns": at_ns})
    return found


def summarize(offsets, first, last):
    """Prints min / max / mean and the start and end offsets (means of the
    first `first` and the last `last` events); returns (start, end)."""
    print("offsets (sound - picture): min %+.1f ms, max %+.1f ms, mean %+.1f ms over %d events"
          % (min(offsets), max(offsets), sum(offsets) / len(offsets), len(offsets)))
    start = sum(offsets[:first]) / first
    end = sum(offsets[-last:]) / last
    print("start (first %d): %+.1f ms   end (last %d): %+.1f ms   difference: %+.1f ms"
          % (first, start, last, end, end - start))
    return start, end


def screen_offsets(path, events, placed, ramp_ms):
    """Per event (flash file time s, click file time s, placement ms, offset
    ms, ramp pictures, spread ms) for a screen recording with flasher ramps
    and clicks played at D + ramp_ms / 2. `placed`: the player's (wanted ns,
    played ns) per click. Prints the table; raises RuntimeError when the
    events do not match."""
    times, pictures = gray_pictures(path)
    ramps = find_ramps(times, pictures, events)
    clicks, _ = find_clicks(path)
    if not (len(ramps) == len(clicks) == len(placed)):
        raise RuntimeError("the events do not match: %d ramps, %d clicks found, %d clicks played"
                           % (len(ramps), len(clicks), len(placed)))
    rows = []
    print("%5s %10s %10s %9s %9s %5s %7s" % ("event", "flash (s)", "click (s)", "placed", "offset", "pics",
                                            "spread"))
    for k, (ramp, click, (wanted, played)) in enumerate(zip(ramps, clicks, placed)):
        placement = (played - (ramp["at_ns"] + ramp_ms * 1e6 / 2)) / 1e6
        offset = click * 1000 + ramp["base"] - played / 1e6
        rows.append((ramp["first"], click, placement, offset, ramp["pictures"], ramp["spread"]))
        print("%5d %10.3f %10.3f %+8.2f %+8.1f ms %4d %6.1f ms" % (k, ramp["first"], click, placement, offset,
                                                                 ramp["pictures"], ramp["spread"]))
    return rows
