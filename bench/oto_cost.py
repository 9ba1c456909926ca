#!/usr/bin/env python3
"""What -oto costs a run, for every kind of set, and the VCV bank's processor time per second of sound.

Usage: bench/oto_cost.py PROGRAM [PROGRAM...]
  PROGRAM: a morivox binary, or a build folder holding one. Several are measured side by side
  (an older build against a newer one), in the same rounds, so that they see the same load.
Environment: BENCH_ROUNDS (5), BENCH_KINDS (names of the kinds below, comma-separated: all by
default), BENCH_SETTLE (seconds to wait after removing a round's folders, 31).

Each round runs, kind after kind and program after program, the kind's run without -oto and with
it, each in a new empty folder (one run, or the median of three for the short ones). Ratios are taken
within a round; the tables give their median over the rounds and the lowest and highest.
Wall time is what a user waits; processor time counts every thread and worker process.

The folders are removed only at the end of a round, followed by a pause: this disk's file system
(ext4 without a journal) skips, when it makes a file, every inode freed in the last 30 s in the
same group, so removing a run's 300 files just before the next run makes that run's creations
several times dearer than in a new folder, as a user's run is.
"""
import os
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

import machine

# name: (options without -oto, runs per round)
KINDS = {
    "cv": ([], 3),
    "cv-hts": (["-voice", "hts"], 3),
    "vcv": (["-vcv"], 1),
    "vcv-hts": (["-voice", "hts", "-vcv"], 1),
    "cv-3": (["-pitch", "A2,A3,E4"], 1),
    "cv-hts-3": (["-voice", "hts", "-pitch", "A2,A3,E4"], 1),
    "vcv-3": (["-vcv", "-pitch", "A2,A3,E4"], 1),
    "vcv-hts-3": (["-voice", "hts", "-vcv", "-pitch", "A2,A3,E4"], 1),
}
GOAL_RATIO = 1.25  # -oto's whole run against the run without it
GOAL_CPU_PER_SOUND = 1.25  # -voice hts -vcv -oto against -voice hts, per second of sound
GOAL_VCV_SECONDS = 15.0

programs = []
for a in sys.argv[1:]:
    p = os.path.abspath(a)
    programs.append(os.path.join(p, "morivox") if os.path.isdir(p) else p)
if not programs:
    sys.exit(__doc__)
rounds = int(os.environ.get("BENCH_ROUNDS", "5"))
settle = float(os.environ.get("BENCH_SETTLE", "31"))
chosen = [k for k in os.environ.get("BENCH_KINDS", ",".join(KINDS)).split(",") if k]
for k in chosen:
    if k not in KINDS:
        sys.exit(f"unknown kind {k}: one of {', '.join(KINDS)}")
# The plain HTS CV run is the measure of (b).
needed = chosen + (["cv-hts"] if "vcv-hts" in chosen and "cv-hts" not in chosen else [])
root = tempfile.mkdtemp(prefix="morivox-oto-bench-", dir=os.path.dirname(os.path.dirname(programs[0])))


def sound_seconds(folder):
    """Seconds of sound in the recordings of a finished run (every folder, the sample phrase left out)."""
    total = 0.0
    for d, _, files in os.walk(folder):
        for f in files:
            if f.endswith(".wav") and f != "sample.wav":
                with open(os.path.join(d, f), "rb") as w:
                    head = w.read(44)
                rate = int.from_bytes(head[24:28], "little")
                data = int.from_bytes(head[40:44], "little")
                total += data / 2 / rate
    return total


def run_once(program, options):
    """(wall seconds, processor seconds, seconds of sound) of one run in a new empty folder."""
    d = tempfile.mkdtemp(dir=root)
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.perf_counter()
    r = subprocess.run([program] + options, cwd=d, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    wall = time.perf_counter() - start
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    if r.returncode != 0:
        sys.exit(f"{program} {' '.join(options)} ended with {r.returncode}")
    cpu = after.ru_utime + after.ru_stime - before.ru_utime - before.ru_stime
    return wall, cpu, sound_seconds(d)


# times[(program, kind, oto)] = {"wall": [per round], "cpu": [...], "sound": seconds}
times = {}
for r in range(rounds):
    for kind in needed:
        options, repeats = KINDS[kind]
        for program in programs:
            for oto in (False, True):
                runs = [run_once(program, options + (["-oto"] if oto else [])) for _ in range(repeats)]
                entry = times.setdefault((program, kind, oto), {"wall": [], "cpu": [], "sound": runs[0][2]})
                entry["wall"].append(statistics.median(x[0] for x in runs))
                entry["cpu"].append(statistics.median(x[1] for x in runs))
    shutil.rmtree(root)
    os.mkdir(root)
    if r + 1 < rounds:
        subprocess.run(["sync"])
        time.sleep(settle)
        print(f"round {r + 1} of {rounds} done", file=sys.stderr)
os.rmdir(root)


def med(values):
    return statistics.median(values)


def ratio(a, b):
    r = [x / y for x, y in zip(a, b)]
    return med(r), min(r), max(r)


def show(r, goal=None):
    text = f"{r[0]:.2f} x ({r[1]:.2f}-{r[2]:.2f})"
    if goal is not None:
        text += " ok" if r[0] <= goal else " OVER"
    return text


print(f"{machine.describe()}; {rounds} rounds; "
      f"load average at the end {os.getloadavg()[0]:.2f}")
for program in programs:
    print()
    print(program)
    print(f"(a) -oto against the same run without it: median wall (processor) time; ratio of the "
          f"median round (lowest-highest); goal <= {GOAL_RATIO}")
    print(f'{"kind":10} {"options":32} {"without":>16} {"with -oto":>16}  {"wall ratio":28} {"processor ratio"}')
    for kind in chosen:
        plain, oto = times[(program, kind, False)], times[(program, kind, True)]
        print(f'{kind:10} {" ".join(KINDS[kind][0]):32} '
              f'{med(plain["wall"]) * 1000:6.0f} ({med(plain["cpu"]) * 1000:6.0f}) ms '
              f'{med(oto["wall"]) * 1000:6.0f} ({med(oto["cpu"]) * 1000:6.0f}) ms  '
              f'{show(ratio(oto["wall"], plain["wall"]), GOAL_RATIO):28} {show(ratio(oto["cpu"], plain["cpu"]))}')
    if "vcv-hts" in chosen:
        vcv, cv = times[(program, "vcv-hts", True)], times[(program, "cv-hts", False)]
        per_vcv = [c / vcv["sound"] for c in vcv["cpu"]]
        per_cv = [c / cv["sound"] for c in cv["cpu"]]
        print(f"(b) processor time per second of sound: -voice hts -vcv -oto "
              f"{med(per_vcv) * 1000:.2f} ms/s ({vcv['sound']:.1f} s of sound), -voice hts "
              f"{med(per_cv) * 1000:.2f} ms/s ({cv['sound']:.1f} s): "
              f"{show(ratio(per_vcv, per_cv), GOAL_CPU_PER_SOUND)} (goal <= {GOAL_CPU_PER_SOUND})")
        slowest = max(vcv["wall"])
        print(f"    -voice hts -vcv -oto takes {med(vcv['wall']):.2f} s (slowest round {slowest:.2f} s): "
              f"{'ok' if med(vcv['wall']) < GOAL_VCV_SECONDS else 'OVER'} (goal < {GOAL_VCV_SECONDS:.0f} s)")
