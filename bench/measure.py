#!/usr/bin/env python3
"""Runs the benchmarks of a release build and prints tables with ratios.

Usage: bench/measure.py BUILD_DIR
Every ratio compares figures measured in this one run.
"""
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

build = os.path.abspath(sys.argv[1])
here = os.path.dirname(os.path.abspath(__file__))
program = os.path.join(build, "morivox")
syllables = os.path.join(build, "bench", "syllables.txt")
one_core = ["taskset", "-c", "0"]


def google_benchmark(binary):
    out = subprocess.run([os.path.join(build, "bench", binary), "--benchmark_format=json",
                          "--benchmark_min_time=0.5"], check=True, capture_output=True, text=True).stdout
    return {b["name"]: b for b in json.loads(out)["benchmarks"]}


def timed(command, runs, env=None, output_dir_argument=False):
    """Median wall time of `command` run in a new empty folder each time."""
    times = []
    for _ in range(runs):
        d = tempfile.mkdtemp(prefix="morivox-bench-", dir=os.path.dirname(build))
        full_env = dict(os.environ, **(env or {}))
        start = time.perf_counter()
        subprocess.run(command + ([d] if output_dir_argument else []), cwd=d, check=True, env=full_env,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        times.append(time.perf_counter() - start)
        shutil.rmtree(d)
    return statistics.median(times)


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

cpu = "unknown"
with open("/proc/cpuinfo") as f:
    for line in f:
        if line.startswith("model name"):
            cpu = line.split(":", 1)[1].strip()
            break
print(f"CPU: {cpu}, {len(os.sched_getaffinity(0))} cores usable")

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

default_s = timed([program], 15)
sinc_s = timed([program, "-sinc"], 15)
default_one = timed(one_core + [program], 9)
sinc_one = timed(one_core + [program, "-sinc"], 9)
no_flush = timed([program], 15, {"LD_PRELOAD": os.path.join(build, "bench", "libskip_flush.so")})
no_lines = timed([program], 15, {"LD_PRELOAD": os.path.join(build, "bench", "libskip_line_buffering.so")})
route_s = timed([os.path.join(here, "espeak_sox_route"), syllables], 3, output_dir_argument=True)
hts_s = timed([program, "-voice", "hts"], 5)
hts_one = timed(one_core + [program, "-voice", "hts"], 3)
hts_route_s = timed([os.path.join(here, "open_jtalk_sox_route"), syllables], 3, output_dir_argument=True)

print()
print(f'{"whole run (median wall time)":48} {"time":>12}  ratio')
print(f'{"morivox (default)":48} {default_s * 1000:9.1f} ms')
print(f'{"morivox -sinc":48} {sinc_s * 1000:9.1f} ms  {sinc_s / default_s:.2f} x default (goal <= 1.3)')
print(f'{"espeak-ng command line + sox, per syllable":48} {route_s * 1000:9.1f} ms  '
      f'{route_s / default_s:.1f} x slower than morivox (goal >= 20)')
print(f'{"morivox -voice hts":48} {hts_s * 1000:9.1f} ms')
print(f'{"open_jtalk + sox, per syllable":48} {hts_route_s * 1000:9.1f} ms  '
      f'{hts_route_s / hts_s:.1f} x slower than morivox -voice hts (goal >= 5)')

print()
print(f'{"workers (one core: taskset -c 0)":48} {"1 core":>9} {"all":>9}  speed-up')
for label, one, all_cores in [("default", default_one, default_s), ("-sinc", sinc_one, sinc_s),
                              ("-voice hts", hts_one, hts_s)]:
    print(f"{label:48} {one * 1000:6.1f} ms {all_cores * 1000:6.1f} ms  {one / all_cores:.2f} x")

print()
print(f'{"what the safety costs (default run)":48} {"without":>9}  ratio')
print(f'{"flushing every file before its rename":48} {no_flush * 1000:6.1f} ms  '
      f'{default_s / no_flush:.2f} x (goal <= 1.15)')
print(f'{"a line at a time on standard output":48} {no_lines * 1000:6.1f} ms  {default_s / no_lines:.2f} x')

print()
rss = [peak_rss_mib([]), peak_rss_mib(["-sinc"]), peak_rss_mib(["-voice", "hts"])]
print(f'{"peak resident size, default / -sinc / -voice hts":48} '
      f'{rss[0]:.1f} / {rss[1]:.1f} / {rss[2]:.1f} MiB  (goal < 32)')

print()
print(f'{"resampling the 142 buffers, 22050 -> 44100":48} {"samples/s":>12}  ratio (morivox spline / other)')
ours = alternatives["morivox_resample/spline"]["items_per_second"]
for name, label in [("morivox_resample/spline", "morivox spline"),
                    ("morivox_resample/spline_and_filter", "morivox spline + filter"),
                    ("soxr_hq", "libsoxr HQ"),
                    ("libsamplerate_sinc_fastest", "libsamplerate SINC_FASTEST")]:
    ips = alternatives[name]["items_per_second"]
    print(f"{label:48} {ips / 1e6:9.1f} M  {ours / ips:.2f}")
