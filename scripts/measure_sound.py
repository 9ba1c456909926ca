#!/usr/bin/env python3
"""Measures what a listener would hear in a run's recordings.

  scripts/measure-sound [--f0 HZ] [--csv OUT.csv] FOLDER
  scripts/measure-sound [--f0 HZ] [--csv OUT.csv] --run BIN [OPTIONS...]

FOLDER holds a run's *.wav (16-bit mono) and, when present, the oto.ini of
the same run (read as UTF-8, or as CP932 when it is not UTF-8). --run makes
the run with `BIN -oto OPTIONS...` in a temporary folder and measures it.
--f0 is the pitch the run was made at (110 Hz). Prints one summary; --csv
also writes one row per file. Needs praat (measure_sound.praat beside this
file) and Python's standard library; the same files give the same figures.

Definitions. Times in ms, levels in dB; RMS is of the samples as they are
(DC included), a level is 20 log10(RMS / 32768) dBFS. "Sound": from the first
to the last non-zero sample. "Level curve": the RMS of a 20 ms Hann window
(2.2 periods of --f0 when that is longer) every 1 ms (a plain 10 ms window
ripples by about 1 dB at 110 Hz).
"Onset": the first point of the level curve within 30 dB of the held RMS
(past a quiet lead-in). Praat: 5 ms frames; pitch by autocorrelation from
75 Hz (0.6 --f0 when lower) to 300 Hz or 2.5 --f0 (no frame in a file's
first or last ~20 ms);
formants by Burg, 5 below 5 kHz.
- held vowel: oto.ini's stretch region, offset+consonant to the cutoff end
  (cutoff < 0: offset+|cutoff|; else file end - cutoff). Without oto.ini
  ("estimated"): the longest run of voiced frames, from 25 % into it to its
  last frame whose level is within 3 dB of the run's median frame level.
- end / start: RMS of the last / first 5 ms of sound, in dB re held RMS.
- click: power above 17 kHz of a 10 ms Hann window centred on the first
  sound sample (zeros before it) re the same 10 ms later: the step into the
  sound against the sound's own top band. A click: 10 dB or more.
- dc: the held vowel's Hann-weighted mean in LSB (a plain mean over a part
  period is off by up to A/(pi * periods)).
- rms: held RMS in dBFS; spread = max - min over the run. peak: largest
  |sample| in dBFS; clipped: samples at 32767 or -32768.
- overshoot: highest point of the level curve from the first sound to the
  held start, re held RMS.
- drift: RMS of the held vowel's last quarter re its first quarter (< 0:
  it falls). range: max - min of the level curve over it, every 10 ms.
- steady: longest run of held frames with F1 and F2 within 5 % of their held
  medians and the level within a 2 dB band (+-1 dB).
- settle (ん, ゃゅょ): onset to the first frame from which F2 stays within
  5 % of its held median up to 50 ms before the held end (what a release
  does there is not counted); settle_fix: the same frame after the held
  start (< 0: before it). Missing: never.
- F1, F2: medians over the held frames; F2_lo, F2_hi: the extremes there.
- centroid (じ ざ じゃ): power-weighted mean frequency from 1 kHz to Nyquist of
  10 ms Hann windows every 5 ms over the 40 ms from the onset: the
  frication, without the voice bar (voiced or not).
- dip: deepest fall of the level curve (onset to end of sound, floored at
  30 dB below held) under the lower of the highest points before and
  after it. One peak gives 0.
- F0: median over voiced held frames; f0_dev: largest |cents| off the
  target there; f0_on: the farthest of the first 4 voiced frames (cents).
- beat: offset+preutterance minus the first voiced frame (< 0: the beat
  comes first). oto_ok: offset, consonant, preutterance, overlap >= 0;
  preutterance >= overlap; every point inside the file; the cutoff end
  after offset+consonant.
"""
import array, csv, functools, itertools, math, operator, os, statistics, subprocess, sys, tempfile, wave

CLICK_DB = 10.0            # a burst 10 dB over the sound's own top band
CLICK_HZ = 17000.0         # above the voices' content; resampler images only
FLOOR_DB = 30.0            # onset threshold and floor of the dip curve
VOWELS = set("あいうえおをん")
UNVOICED = set("かきくけこさしすせそたちつてとはひふへほぱぴぷぺぽ")
U_ENDS = set("うくぐすずつぬふぶぷむゆるクゅュぅ")
GLIDES = set("ゃゅょャュョ")
USAGE = "\n\n".join(__doc__.split("\n\n")[:3])
HERE = os.path.dirname(os.path.abspath(__file__))


def ms(n, rate):
    return 1000.0 * n / rate


def samples(t_ms, rate):
    return int(t_ms * rate / 1000.0 + 0.5)


def db(rms):
    return 20.0 * math.log10(max(rms, 1e-3) / 32768.0)


def read_wav(path):
    with wave.open(path, "rb") as w:
        if w.getnchannels() != 1 or w.getsampwidth() != 2:
            sys.exit(f"{path}: not 16-bit mono")
        x = array.array("h", w.readframes(w.getnframes()))
        if sys.byteorder == "big":
            x.byteswap()
        return w.getframerate(), x


def read_oto(folder):
    """{file: (offset, consonant, cutoff, preutterance, overlap)}, first line per file."""
    path = os.path.join(folder, "oto.ini")
    if not os.path.exists(path):
        return None
    raw = open(path, "rb").read()
    try:
        text = raw.decode("utf-8-sig")
    except UnicodeDecodeError:
        text = raw.decode("cp932")
    oto = {}
    for line in text.splitlines():
        name, _, rest = line.partition("=")
        values = rest.split(",")[1:]
        if len(values) == 5:
            oto.setdefault(name, tuple(float(v) for v in values))
    return oto


def start_praat(folder, floor, ceiling):
    """Runs praat in the background, its output into a file (not a pipe that
    would stall it until read)."""
    out, err = tempfile.TemporaryFile(), tempfile.TemporaryFile()
    return subprocess.Popen(["praat", "--run", os.path.join(HERE, "measure_sound.praat"),
                             os.path.abspath(folder), str(floor), str(ceiling)], stdout=out, stderr=err), out, err


def read_tracks(praat):
    """{file: [(t_ms, f0, f1, f2)]} from praat's output; 0 = no value."""
    proc, out, err = praat
    if proc.wait() != 0:
        err.seek(0)
        sys.exit("praat failed:\n" + err.read().decode(errors="replace"))
    out.seek(0)
    tracks, cur = {}, None
    for line in out.read().decode("utf-8").splitlines():
        if line.startswith("file "):
            cur = tracks.setdefault(line[5:], [])
        elif line.strip():
            t, f0, f1, f2 = (0.0 if v == "--undefined--" else float(v) for v in line.split())
            cur.append((1000.0 * t, f0, f1, f2))
    return tracks


@functools.lru_cache(maxsize=None)
def hann(n):
    return [0.5 - 0.5 * math.cos(2 * math.pi * (i + 0.5) / n) for i in range(n)]


class Wav:
    """Samples and their level every 1 ms: self.level[i] is the Hann level
    centred at i ms, over 20 ms or 2.2 pitch periods."""
    def __init__(self, rate, x, f0=110.0):
        self.rate, self.x, self.n = rate, x, len(x)
        # A Hann window of N samples from a weighs sample m by
        # 0.5 - 0.5 cos(k (m - a + 0.5)), k = 2 pi / N, which is
        # 0.5 - 0.5 (cos(k m) cos(p) + sin(k m) sin(p)), p = k (a - 0.5):
        # so running sums of x^2, x^2 cos(k m) and x^2 sin(k m) give any
        # window's weighted sum at once, instead of N products each.
        width = samples(max(20.0, 2200.0 / f0), rate)
        k = 2 * math.pi / width
        sq = [v * v for v in x]
        total = list(itertools.accumulate(sq, initial=0))
        cos_sum = list(itertools.accumulate((q * math.cos(k * m) for m, q in enumerate(sq)), initial=0))
        sin_sum = list(itertools.accumulate((q * math.sin(k * m) for m, q in enumerate(sq)), initial=0))
        self.level = []
        for i in range(int(ms(self.n, rate)) + 1):
            a = samples(i, rate) - width // 2
            lo, hi = max(a, 0), min(a + width, self.n)
            p = k * (a - 0.5)
            weighted = 0.5 * (total[hi] - total[lo]) - 0.5 * (
                math.cos(p) * (cos_sum[hi] - cos_sum[lo]) + math.sin(p) * (sin_sum[hi] - sin_sum[lo]))
            self.level.append(db(math.sqrt(max(weighted, 0.0) / (width / 2))))

    def rms(self, a, b):
        seg = self.x[max(a, 0):min(b, self.n)]
        return math.sqrt(sum(map(operator.mul, seg, seg)) / len(seg)) if seg else 0.0

    def level_at(self, t_ms):
        return self.level[min(int(t_ms + 0.5), len(self.level) - 1)]


_tables = {}


def band(w, centre, size, lo_hz):
    """[(Hz, power)] of the DFT bins above lo_hz of the `size` samples from
    centre - size//2 (zeros outside the file), Hann-windowed."""
    key = (size, w.rate, lo_hz)
    if key not in _tables:
        win = hann(size)
        _tables[key] = [(k * w.rate / size,
                         [h * math.cos(2 * math.pi * k * j / size) for j, h in enumerate(win)],
                         [h * math.sin(2 * math.pi * k * j / size) for j, h in enumerate(win)])
                        for k in range(int(lo_hz * size / w.rate) + 1, size // 2 + 1)]
    start = centre - size // 2
    seg = [w.x[start + j] if 0 <= start + j < w.n else 0 for j in range(size)]
    return [(hz, sum(map(operator.mul, seg, c)) ** 2 + sum(map(operator.mul, seg, s)) ** 2)
            for hz, c, s in _tables[key]]


def cents(f, target):
    return 1200.0 * math.log2(f / target)


def estimated_held(w, frames):
    """(start, end) in samples from the sound alone; see the header."""
    runs, cur = [], []
    for fr in frames:
        if fr[1] > 0:
            cur.append(fr)
        elif cur:
            runs.append(cur)
            cur = []
    runs.append(cur)
    run = max(runs, key=len)
    if len(run) < 4:
        return 0, 0
    levels = [w.level_at(t) for t, *_ in run]
    ref = statistics.median(levels)
    last = max(i for i, v in enumerate(levels) if v >= ref - 3)
    return samples(run[len(run) // 4][0], w.rate), samples(run[last][0], w.rate)


def measure(name, w, frames, line, f0_target):
    r, x = w.rate, w.x
    s0 = next((i for i in range(w.n) if x[i]), None)
    if s0 is None:
        return None
    s1 = next(i for i in range(w.n - 1, -1, -1) if x[i]) + 1
    if line:
        off, con, cut, pre, ovl = line
        h0 = samples(off + con, r)
        h1 = samples(off - cut, r) if cut < 0 else w.n - samples(cut, r)
    else:
        h0, h1 = estimated_held(w, frames)
    h0, h1 = max(h0, 0), min(h1, w.n)
    if h1 - h0 < samples(40, r):
        return {"file": name, "note": "held vowel under 40 ms"}
    n5, n10 = samples(5, r), samples(10, r)
    held_rms = w.rms(h0, h1)
    ref = db(held_rms)
    win = hann(h1 - h0)
    row = {"file": name, "rms": ref, "dc": sum(map(operator.mul, win, x[h0:h1])) / sum(win),
           "held_start": ms(h0, r), "held_end": ms(h1, r),
           "end": db(w.rms(s1 - n5, s1)) - ref, "start": db(w.rms(s0, s0 + n5)) - ref,
           "peak": db(max(max(x), -min(x))),
           "clipped": sum(1 for v in x if v in (32767, -32768))}
    if r > 2 * CLICK_HZ:
        hf = lambda c: max(sum(p for _, p in band(w, c, 2 * n5 + 1, CLICK_HZ)), 1e-9)
        row["click"] = 10 * math.log10(hf(s0) / hf(s0 + n10))
    t0, t1, th0, th1 = (int(ms(v, r) + 0.5) for v in (s0, s1, h0, h1))
    before = w.level[t0:th0]
    row["overshoot"] = max(before) - ref if before else None
    q = (h1 - h0) // 4
    row["drift"] = db(w.rms(h1 - q, h1)) - db(w.rms(h0, h0 + q))
    lv = w.level[th0 + 10:th1 - 9:10]
    row["range"] = max(lv) - min(lv)
    # The dip, on the level curve from the onset.
    on_ms = next(i for i in range(t0, t1 + 1) if w.level[i] >= ref - FLOOR_DB)
    onset = samples(on_ms, r)
    row["onset"] = float(on_ms)
    curve = [max(v, ref - FLOOR_DB) for v in w.level[on_ms:t1 + 1]]
    ahead, peak = [], -1e9
    for v in curve:
        peak = max(peak, v)
        ahead.append(peak)
    dip, peak = 0.0, -1e9
    for i in range(len(curve) - 1, -1, -1):
        peak = max(peak, curve[i])
        dip = max(dip, min(ahead[i], peak) - curve[i])
    row["dip"] = dip
    # Praat's frames over the held vowel.
    held = [f for f in frames if ms(h0, r) <= f[0] < ms(h1, r)]
    f1s = [f[2] for f in held if f[2] > 0]
    f2s = [f[3] for f in held if f[3] > 0]
    if f1s and f2s:
        m1, m2 = statistics.median(f1s), statistics.median(f2s)
        row.update(F1=m1, F2=m2, F2_lo=min(f2s), F2_hi=max(f2s))
        flv = [w.level_at(f[0]) for f in held]
        ok = [abs(f[2] - m1) <= 0.05 * m1 and abs(f[3] - m2) <= 0.05 * m2 for f in held]
        best = 0
        for i in range(len(held)):
            j, lo, hi = i, 1e9, -1e9
            while j < len(held) and ok[j] and max(hi, flv[j]) - min(lo, flv[j]) <= 2:
                lo, hi, j = min(lo, flv[j]), max(hi, flv[j]), j + 1
            best = max(best, j - i)
        row["steady"] = best * 5.0
        if name[:-4] == "ん" or GLIDES & set(name):
            settle = None
            for f in reversed([f for f in frames if ms(onset, r) <= f[0] <= ms(h1, r) - 50]):
                if not abs(f[3] - m2) <= 0.05 * m2:
                    break
                settle = f[0]
            if settle is not None:
                row["settle"] = settle - ms(onset, r)
                row["settle_fix"] = settle - ms(h0, r)
    if name[:-4] in ("じ", "ざ", "じゃ"):
        power = {}
        for c in range(onset + n5, onset + samples(40, r) - n5 + 1, n5):
            for hz, p in band(w, c, n10, 1000.0):
                power[hz] = power.get(hz, 0.0) + p
        row["centroid"] = sum(hz * p for hz, p in power.items()) / sum(power.values())
    f0s = [f[1] for f in held if f[1] > 0]
    if f0s:
        row["F0"] = statistics.median(f0s)
        row["f0_dev"] = max(abs(cents(f, f0_target)) for f in f0s)
    voiced = [f for f in frames if f[1] > 0]
    if voiced:
        row["f0_on"] = max((cents(f[1], f0_target) for f in voiced[:4]), key=abs)
        if line:
            row["beat"] = off + pre - voiced[0][0]
    if line:
        end = off - cut if cut < 0 else ms(w.n, r) - cut
        dur = ms(w.n, r)
        row["oto_ok"] = int(min(off, con, pre, ovl) >= 0 and pre >= ovl and end > off + con
                            and max(off + con, off + pre, off + ovl, end) <= dur)
    return row


COLUMNS = ["file", "held_start", "held_end", "onset", "rms", "dc", "end", "start", "click",
           "peak", "clipped", "overshoot", "drift", "range", "steady", "settle", "settle_fix",
           "F1", "F2", "F2_lo", "F2_hi", "centroid", "dip", "F0", "f0_dev", "f0_on", "beat",
           "oto_ok", "note"]


def summarize(title, rows, estimated, f0_target):
    rows = [r for r in rows if "rms" in r]
    if not rows:
        sys.exit(f"{title}: nothing to measure")
    tag = " (estimated: no oto.ini)" if estimated else ""
    print(f"== {title}: {len(rows)} files measured, held vowel from "
          f"{'the sound' if estimated else 'oto.ini'}{tag}")

    def name(r):
        return r["file"][:-4]

    def line(label, key, worst, unit, sub=None):
        vals = [r for r in (sub if sub is not None else rows) if r.get(key) is not None]
        if not vals:
            return
        w = worst(vals, key=lambda r: r[key])
        med = statistics.median(r[key] for r in vals)
        print(f"  {label:<34} median {med:8.1f}  worst {w[key]:8.1f} {unit:<6} {name(w)}")

    absmax = lambda v, key: max(v, key=lambda r: abs(key(r)))
    line("end level, last 5 ms (re held)", "end", max, "dB")
    line("start level, first 5 ms", "start", max, "dB")
    if any("click" in r for r in rows):
        line("onset click >17 kHz (re 10 ms on)", "click", max, "dB")
        clicks = [name(r) for r in rows if r.get("click", -99) >= CLICK_DB]
        print(f"  {'files with a click (>= %g dB)' % CLICK_DB:<34} {len(clicks)}: {' '.join(clicks)}")
    line("DC of held vowel", "dc", absmax, "LSB")
    lo = min(rows, key=lambda r: r["rms"])
    hi = max(rows, key=lambda r: r["rms"])
    print(f"  {'held RMS':<34} median {statistics.median(r['rms'] for r in rows):8.1f}"
          f"  spread {hi['rms'] - lo['rms']:7.1f} dB     {name(lo)} {lo['rms']:.1f} .. "
          f"{name(hi)} {hi['rms']:.1f} dBFS")
    no_n = [r["rms"] for r in rows if name(r) != "ん"]
    print(f"  {'  spread without ん':<34} {max(no_n) - min(no_n):.1f} dB")
    pk = max(rows, key=lambda r: r["peak"])
    clipped = [name(r) for r in rows if r["clipped"]]
    print(f"  {'loudest peak':<34} {pk['peak']:.2f} dBFS in {name(pk)}; clipped samples "
          f"{sum(r['clipped'] for r in rows)} in {len(clipped)} files {' '.join(clipped[:10])}")
    line("onset overshoot (re held)", "overshoot", max, "dB")
    for limit in (2, 3):
        print(f"  {'  files with overshoot > %d dB' % limit:<34} "
              f"{sum(1 for r in rows if (r.get('overshoot') or -99) > limit)}")
    line("drift, last - first quarter", "drift", absmax, "dB")
    line("level range over held", "range", max, "dB")
    line("steady length", "steady", min, "ms")
    glides = [r for r in rows if GLIDES & set(r["file"])]
    line("glides: F2 settle from onset", "settle", max, "ms", glides)
    line("glides: F2 settle after held start", "settle_fix", max, "ms", glides)
    unsettled = [name(r) for r in glides if r.get("settle") is None]
    if unsettled:
        print(f"  {'  glides that never settle':<34} {len(unsettled)}: {' '.join(unsettled)}")
    for r in rows:
        if name(r) == "ん":
            print(f"  {'ん':<34} steady {r.get('steady', 0):.0f} ms, F2 settles "
                  + (f"{r['settle']:.0f} ms after onset" if "settle" in r else "never"))
    line("F0 of held vowel", "F0", absmax, "Hz")
    line(f"F0 max deviation from {f0_target:g} Hz", "f0_dev", max, "cents")
    line("F0 at voicing onset (first 4 fr.)", "f0_on", absmax, "cents")
    line("dip in the level", "dip", max, "dB")
    for r in rows:
        if name(r) == "りゅ":
            print(f"  {'りゅ dip':<34} {r['dip']:.1f} dB")
    print("  frication centroid            "
          + "  ".join(f"{name(r)} {r['centroid']:.0f} Hz" for r in rows if "centroid" in r))
    if not estimated:
        line("beat - first voiced frame, all", "beat", absmax, "ms")
        group = [r for r in rows if name(r) in VOWELS or name(r)[0] in UNVOICED]
        line("  unvoiced onset or vowel only", "beat", absmax, "ms", group)
        bad = [name(r) for r in rows if not r.get("oto_ok", 1)]
        print(f"  {'oto values inconsistent':<34} {len(bad)} {' '.join(bad)}")
    print("  う column (held)       F1      F2   F2 lo   F2 hi")
    for r in rows:
        n = name(r).rstrip("゜")
        if n[-1] in U_ENDS and "F2" in r:
            print(f"    {name(r):<6}          {r['F1']:6.0f}  {r['F2']:6.0f}  {r['F2_lo']:6.0f}"
                  f"  {r['F2_hi']:6.0f}")


def measure_folder(folder, f0_target, csv_path, title):
    names = sorted(f for f in os.listdir(folder) if f.endswith(".wav"))
    if not names:
        sys.exit(f"{folder}: no *.wav")
    oto = read_oto(folder)
    if oto:  # oto.ini's files, in its order
        for what, left in (("not in oto.ini", [n for n in names if n not in oto]),
                           ("in oto.ini, missing", [n for n in oto if n not in names])):
            if left:
                print(f"{len(left)} *.wav {what}, not measured: {' '.join(left)}")
        names = [n for n in oto if n in names]
    praat = start_praat(folder, min(75.0, 0.6 * f0_target), max(300.0, 2.5 * f0_target))
    wavs = [Wav(*read_wav(os.path.join(folder, n)), f0_target) for n in names]  # while praat runs
    tracks = read_tracks(praat)
    rows = []
    for n, w in zip(names, wavs):
        row = measure(n, w, tracks.get(n, []), oto.get(n) if oto else None, f0_target)
        rows.append(row or {"file": n, "note": "silent"})
    summarize(title, rows, oto is None, f0_target)
    if csv_path:
        with open(csv_path, "w", newline="", encoding="utf-8") as f:
            out = csv.DictWriter(f, COLUMNS)
            out.writeheader()
            for r in rows:
                out.writerow({k: (f"{v:.2f}" if isinstance(v, float) else v) for k, v in r.items()})


def main(argv):
    f0, csv_path, folder, run = 110.0, None, None, None
    i = 0
    while i < len(argv):
        a = argv[i]
        if a == "--f0" and i + 1 < len(argv):
            f0, i = float(argv[i + 1]), i + 2
        elif a == "--csv" and i + 1 < len(argv):
            csv_path, i = argv[i + 1], i + 2
        elif a == "--run" and i + 1 < len(argv):
            run = argv[i + 1:]
            break
        elif not a.startswith("-") and folder is None:
            folder, i = a, i + 1
        else:
            sys.exit(USAGE)
    if run:
        command = [run[0], "-oto"] + run[1:]
        with tempfile.TemporaryDirectory() as tmp:
            made = subprocess.run([os.path.abspath(run[0])] + command[1:], cwd=tmp,
                                  capture_output=True)
            if made.returncode != 0:
                sys.exit(f"{' '.join(command)} failed ({made.returncode}):\n"
                         + made.stderr.decode(errors="replace"))
            measure_folder(tmp, f0, csv_path, " ".join(command))
    elif folder:
        measure_folder(folder, f0, csv_path, folder)
    else:
        sys.exit(USAGE)


if __name__ == "__main__":
    main(sys.argv[1:])
