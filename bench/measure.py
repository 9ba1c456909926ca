#!/usr/bin/env python3
"""Runs the benchmarks of a release build and prints tables with ratios.

Usage: bench/measure.py BUILD_DIR
Every ratio compares figures measured in this one run.
"""
import json
import os
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

import machine

build = os.path.abspath(sys.argv[1])
here = os.path.dirname(os.path.abspath(__file__))
program = os.path.join(build, "morivox")
syllables = os.path.join(build, "bench", "syllables.txt")
one_core = ["taskset", "-c", "0"]


def google_benchmark(binary, options=("--benchmark_min_time=0.5",)):
    out = subprocess.run([os.path.join(build, "bench", binary), "--benchmark_format=json", *options],
                         check=True, capture_output=True, text=True).stdout
    return {b["name"]: b for b in json.loads(out)["benchmarks"]}


# Stands for the new empty folder a command runs in.
OUT = "{out}"


def run_once(command, env=None, ok=(0,), cpu=False):
    """Wall time of `command` run in a new empty folder, or with cpu=True the processor time it took
    (all its threads and processes)."""
    d = tempfile.mkdtemp(prefix="morivox-bench-", dir=os.path.dirname(build))
    full_env = dict(os.environ, **(env or {}))
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.perf_counter()
    r = subprocess.run([d if a == OUT else a for a in command], cwd=d, env=full_env,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    elapsed = time.perf_counter() - start
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    shutil.rmtree(d)
    if r.returncode not in ok:
        raise RuntimeError(f"{command} ended with {r.returncode}")
    if cpu:
        return after.ru_utime + after.ru_stime - before.ru_utime - before.ru_stime
    return elapsed


def synthesis_once():
    """eSpeak's synthesis of the whole table on one thread, as a run makes the images (seconds)."""
    b = google_benchmark("bench_stages", ["--benchmark_filter=^synth_table$", "--benchmark_min_time=0.3"])
    return b["synth_table"]["real_time"] / {"ms": 1e3, "us": 1e6, "ns": 1e9}[b["synth_table"]["time_unit"]]


def interleaved(runs, rounds):
    """Each round measures everything in `runs` (name: (measure, repeats), measure() giving seconds) in
    turn, so that all see the same load, and keeps the median of the repeats: {name: [one per round]}."""
    times = {name: [] for name in runs}
    for _ in range(rounds):
        for name, (measure, repeats) in runs.items():
            times[name].append(statistics.median(measure() for _ in range(repeats)))
    return times


def peak_rss_mib(args):
    d = tempfile.mkdtemp(prefix="morivox-bench-")
    r = subprocess.run(["/usr/bin/time", "-f", "%M", program] + args, cwd=d, check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    shutil.rmtree(d)
    return int(r.stderr.strip().splitlines()[-1]) / 1024


def ns(b):
    return b["s_per_sample"] * 1e9


stages = google_benchmark("bench_stages")
alternatives = google_benchmark("bench_alternatives")
vocoder = google_benchmark("bench_vocoder")

print(machine.describe())

print()
print(f'{"stage (one = か, table = all 142, 44100 Hz)":48} {"time":>12}  per output sample')
for name, label in [("synth_one", "synthesis, one syllable"), ("synth_table", "synthesis, table"),
                    ("spline/one", "spline, one syllable"), ("spline/table", "spline, table"),
                    ("filter/one", "filter, one syllable"), ("filter/table", "filter, table"),
                    ("write/one", "write, one file"), ("write/table", "write, table")]:
    b = stages[name]
    per = f"{ns(b):.2f} ns/sample" if "s_per_sample" in b else ""
    print(f'{label:48} {b["real_time"]:9.1f} {b["time_unit"]:>2}  {per}')

print()
print("every instruction-set path, the whole table (ns per output sample)")
print(f'{"path":12} {"spline":>10} {"filter":>10}')
for level, label in enumerate(["baseline", "AVX2", "AVX-512"]):
    spline = stages.get(f"spline_at_level/{level}", {})
    filt = stages.get(f"filter_at_level/{level}", {})
    if "s_per_sample" not in spline:
        print(f"{label:12} {'not on this processor':>21}")
        continue
    print(f"{label:12} {ns(spline):10.2f} {ns(filt):10.2f}")

print()
print("the HTS voice's vocoder at 32000 Hz, か さ が ん や (ns per output sample)")
engine_ns = ns(vocoder["engine_vocoder"])
print(f'{"engine":12} {engine_ns:10.1f}')
for level, label in enumerate(["plain", "AVX2", "AVX-512"]):
    b = vocoder.get(f"our_vocoder/{level}", {})
    if "s_per_sample" not in b:
        print(f"{label:12} {'not on this processor':>21}")
        continue
    goal = " (goal <= 250)" if label == "AVX2" else ""
    print(f"{label:12} {ns(b):10.1f}  {engine_ns / ns(b):.2f} x faster than the engine's{goal}")

# The whole runs, in rounds (BENCH_ROUNDS, 3 by default): every ratio is taken within a round and
# printed as the median over the rounds, with the lowest and the highest.
route = os.path.join(here, "espeak_sox_route")
jtalk_route = os.path.join(here, "open_jtalk_sox_route")
jtalk_22050 = ["-s", "22050", "-p", "110", "-a", "0.47"]
preload = lambda name: {"LD_PRELOAD": os.path.join(build, "bench", name)}
rounds = int(os.environ.get("BENCH_ROUNDS", "3"))
run = lambda command, env=None, ok=(0,), cpu=False: lambda: run_once(command, env, ok, cpu)
t = interleaved({
    "default": (run([program]), 7),
    "default_cpu": (run([program], cpu=True), 7),
    "sinc": (run([program, "-sinc"]), 7),
    "default_one": (run(one_core + [program]), 5),
    "sinc_one": (run(one_core + [program, "-sinc"]), 5),
    "no_flush": (run([program], preload("libskip_flush.so")), 7),
    "no_lines": (run([program], preload("libskip_line_buffering.so")), 7),
    # Start-up and the end of a run: one refused at its first entry.
    "start": (run([program, "-speed", "0"], ok=(255,)), 7),
    "synthesis": (synthesis_once, 1),
    "route": (run([route, syllables, OUT]), 1),
    "hts": (run([program, "-voice", "hts"]), 3),
    "hts_one": (run(one_core + [program, "-voice", "hts"]), 1),
    "jtalk_48000": (run([jtalk_route, syllables, OUT]), 1),
    "jtalk_22050": (run([jtalk_route, syllables, OUT] + jtalk_22050), 1),
    # Three pitches in one run against a run per pitch.
    **{f"{voice}_{pitch}": (run([program, "-voice", voice, "-pitch", pitch]), 3)
       for voice in ("espeak", "hts") for pitch in ("A2", "A3", "E4", "A2,A3,E4")},
}, rounds)
ms = lambda name: statistics.median(t[name]) * 1000
cores = len(os.sched_getaffinity(0))
t["bound"] = [start + synthesis / cores for start, synthesis in zip(t["start"], t["synthesis"])]
t["floor"] = [cpu / cores for cpu in t["default_cpu"]]


def ratio(a, b):
    """a / b per round: the median, and the lowest and highest, as text."""
    r = [x / y for x, y in zip(t[a], t[b])]
    return f"{statistics.median(r):.2f} x ({min(r):.2f} to {max(r):.2f})"


print()
print(f"whole runs: median wall time over {rounds} rounds; ratios within a round, median (lowest to highest)")
print(f'{"morivox (default)":48} {ms("default"):9.1f} ms')
print(f'{"morivox -sinc":48} {ms("sinc"):9.1f} ms  {ratio("sinc", "default")} default (goal <= 1.3)')
print(f'{"espeak-ng command line + sox, per syllable":48} {ms("route"):9.1f} ms  '
      f'{ratio("route", "default")} slower than morivox (goal >= 20 on 2 cores)')
print(f'{"morivox -voice hts":48} {ms("hts"):9.1f} ms')
print(f'{"open_jtalk (48000 Hz) + sox, per syllable":48} {ms("jtalk_48000"):9.1f} ms  '
      f'{ratio("jtalk_48000", "hts")} slower than morivox -voice hts')
print(f'{"open_jtalk (22050 Hz) + sox, per syllable":48} {ms("jtalk_22050"):9.1f} ms  '
      f'{ratio("jtalk_22050", "hts")} slower than morivox -voice hts (goal >= 10)')

print()
print(f"the bound for a default run on {cores} cores: start-up + eSpeak's synthesis / cores")
print(f'{"start-up and end (a run refused at its first entry)":48} {ms("start"):9.1f} ms')
print(f'{"eSpeak synthesis of the table, one thread":48} {ms("synthesis"):9.1f} ms')
print(f'{"bound":48} {ms("bound"):9.1f} ms')
print(f'{"morivox (default)":48} {ms("default"):9.1f} ms  {ratio("default", "bound")} the bound (goal <= 1.15)')
print(f'{"morivox (default), without its flushes":48} {ms("no_flush"):9.1f} ms  {ratio("no_flush", "bound")} the bound')
print(f'{"processor time of a default run / cores":48} {ms("floor"):9.1f} ms  '
      f'{ratio("default", "floor")} for the run, {ratio("bound", "floor")} for the bound')

print()
print("three pitches in one run (-pitch A2,A3,E4) against a run per pitch (-pitch A2, A3, E4)")
for voice in ("espeak", "hts"):
    t[f"{voice}_singles"] = [sum(x) for x in zip(*(t[f"{voice}_{p}"] for p in ("A2", "A3", "E4")))]
    print(f'{"-voice " + voice + ", the three single runs":48} {ms(voice + "_singles"):9.1f} ms')
    print(f'{"-voice " + voice + ", one run of three pitches":48} {ms(voice + "_A2,A3,E4"):9.1f} ms  '
          f'{ratio(voice + "_A2,A3,E4", voice + "_singles")} the single runs (goal <= 1)')

print()
print(f'{"workers (one core: taskset -c 0)":48} {"1 core":>9} {"all":>9}  speed-up')
for label, one, all_cores in [("default", "default_one", "default"), ("-sinc", "sinc_one", "sinc"),
                              ("-voice hts", "hts_one", "hts")]:
    print(f"{label:48} {ms(one):6.1f} ms {ms(all_cores):6.1f} ms  {ratio(one, all_cores)}")

print()
print(f'{"what the safety costs (default run)":48} {"without":>9}  ratio')
print(f'{"flushing every file before its rename":48} {ms("no_flush"):6.1f} ms  '
      f'{ratio("default", "no_flush")} (goal <= 1.15)')
print(f'{"a line at a time on standard output":48} {ms("no_lines"):6.1f} ms  {ratio("default", "no_lines")}')

print()
rss = [peak_rss_mib([]), peak_rss_mib(["-sinc"]), peak_rss_mib(["-voice", "hts"])]
print(f'{"peak resident size, default / -sinc / -voice hts":48} '
      f'{rss[0]:.1f} / {rss[1]:.1f} / {rss[2]:.1f} MiB  (goal < 32; within 20 % of 8.9 / 10.1 / 14.3)')

print()
print(f'{"resampling the 142 buffers, 22050 -> 44100":48} {"samples/s":>12}  ratio (morivox spline / other)')
ours = alternatives["morivox_resample/spline"]["items_per_second"]
for name, label in [("morivox_resample/spline", "morivox spline"),
                    ("morivox_resample/spline_and_filter", "morivox spline + filter"),
                    ("soxr_hq", "libsoxr HQ"),
                    ("libsamplerate_sinc_fastest", "libsamplerate SINC_FASTEST")]:
    ips = alternatives[name]["items_per_second"]
    print(f"{label:48} {ips / 1e6:9.1f} M  {ours / ips:.2f}")
