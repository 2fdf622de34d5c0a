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
SPREAD_LIMIT_MS = 20.0


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


def _find_runs(times, pictures):
    """The rises from black to white in the pictures: lists of (file time s, level)."""
    levels = [_uniform_level(p) for p in pictures]
    uniform = [l for l in levels if l is not None]
    if not uniform:
        return []
    black = min(uniform)

    def near_black(i):
        return levels[i] is not None and levels[i] - black < 4

    # A rise starts from black pictures (up to three are kept for the
    # calibration) and goes on through the grey and the white ones up to
    # where the level falls; the screen then shows whatever it showed
    # before, black or not.
    runs = []
    for i in range(1, len(levels)):
        if levels[i] is None or levels[i] - black < 4 or not near_black(i - 1):
            continue
        first_black = i - 1
        while first_black > 0 and i - first_black < 3 and near_black(first_black - 1):
            first_black -= 1
        j = i + 1
        while j < len(levels) and levels[j] is not None and levels[j] > levels[j - 1] - 3:
            j += 1
        run = [(times[k], levels[k]) for k in range(first_black, j)]
        if max(l for _, l in run) - black > 100:
            runs.append(run)
    return runs


def _match_runs(runs, events):
    """events index -> run: the pairing on which most runs agree about the
    shift between the events' clock and the file's time line (events are
    seconds apart, a run lasts under one)."""
    best = {}
    for run in runs:
        for at_ns, _ in events:
            shift = run[0][0] * 1e9 - at_ns
            pairs = {}
            for r in runs:
                for k, (other_ns, _) in enumerate(events):
                    if abs(r[0][0] * 1e9 - other_ns - shift) < 400e6:
                        pairs[k] = r
            if len(pairs) > len(best):
                best = pairs
    return best


def _ramp_base(run, log):
    """(base ms, first ramp picture's file time s, spread ms, pictures) of one
    run, or None when no picture fell between black and white."""
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
        return None
    return sum(estimates) / len(estimates), first, max(estimates) - min(estimates), len(estimates)


def find_ramps(times, pictures, events):
    """Per flasher event (in the order of `events`: [(D ns, [(ns, level),
    ...]), ...] from ScreenFlasher.events) a dict, or None when the
    recording does not show it usably (no run, or no picture between black
    and white): 'first' (file time s of its first ramp picture), 'base' (ms
    of CLOCK_MONOTONIC at file time 0, mean over the ramp's pictures),
    'spread' (max - min of those estimates, ms), 'pictures', 'at_ns'."""
    matched = _match_runs(_find_runs(times, pictures), events)
    found = []
    for k, (at_ns, log) in enumerate(events):
        ramp = _ramp_base(matched[k], log) if k in matched and len(log) > 1 else None
        found.append(None if ramp is None else {"base": ramp[0], "first": ramp[1], "spread": ramp[2],
                                                "pictures": ramp[3], "at_ns": at_ns})
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
    """Per flasher event a row (event index, flash file time s, click file
    time s, placement ms, offset ms, ramp pictures, spread ms), for a screen
    recording with flasher ramps and a click played at D + ramp_ms / 2 per
    event (`placed`: the player's (wanted ns, played ns) per click, in the
    same order). Events the recording does not show usably (no ramp picture,
    no click, ramp pictures that disagree by more than SPREAD_LIMIT_MS: a
    stall spoiled them) are reported and left out. Prints the
    table; raises RuntimeError when no event is usable."""
    times, pictures = gray_pictures(path)
    ramps = find_ramps(times, pictures, events)
    clicks, _ = find_clicks(path)
    bases = sorted(r["base"] for r in ramps if r)
    if not bases or len(placed) != len(events):
        raise RuntimeError("%d of %d events shown in the pictures, %d clicks played"
                           % (len(bases), len(events), len(placed)))
    base = bases[len(bases) // 2]
    rows = []
    print("%5s %10s %10s %9s %9s %5s %7s" % ("event", "flash (s)", "click (s)", "placed", "offset", "pics",
                                            "spread"))
    for k, (ramp, (_, played)) in enumerate(zip(ramps, placed)):
        expected = (played / 1e6 - base) / 1000  # where the click should be in the file, give or take a stall
        near = [c for c in clicks if abs(c - expected) < 0.3]
        if not ramp or not near:
            print("%5d  left out: %s" % (k, "no picture between black and white" if not ramp else
                                         "no click in the sound"))
            continue
        if ramp["spread"] > SPREAD_LIMIT_MS:
            # A grab held up after its picture was stamped (a stall of the
            # machine): the pictures disagree about where the file's time line
            # sits, and the event measures the stall, not the sound.
            print("%5d  left out: the ramp's %d pictures disagree by %.1f ms (a stall)"
                  % (k, ramp["pictures"], ramp["spread"]))
            continue
        click = near[0]
        placement = (played - (ramp["at_ns"] + ramp_ms * 1e6 / 2)) / 1e6
        offset = click * 1000 + ramp["base"] - played / 1e6
        rows.append((k, ramp["first"], click, placement, offset, ramp["pictures"], ramp["spread"]))
        print("%5d %10.3f %10.3f %+8.2f %+8.1f ms %4d %6.1f ms" % (k, ramp["first"], click, placement, offset,
                                                                 ramp["pictures"], ramp["spread"]))
    if not rows:
        raise RuntimeError("no event has both its ramp and its click in the recording")
    return rows
