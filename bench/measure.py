#!/usr/bin/env python3
"""Runs the benchmarks of a release build and prints a table with ratios.

Usage: bench/measure.py BUILD_DIR
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


def google_benchmark(binary):
    out = subprocess.run([os.path.join(build, "bench", binary), "--benchmark_format=json",
                          "--benchmark_min_time=0.5"], check=True, capture_output=True, text=True).stdout
    return {b["name"]: b for b in json.loads(out)["benchmarks"]}


def timed_runs(command, runs):
    """Median wall time of `command` run in a new empty folder each time."""
    times = []
    for _ in range(runs):
        d = tempfile.mkdtemp(prefix="morivox-bench-")
        start = time.perf_counter()
        subprocess.run(command + [d] if command[0].endswith("route") else command, cwd=d, check=True,
                       stdout=subprocess.DEVNULL)
        times.append(time.perf_counter() - start)
        shutil.rmtree(d)
    return statistics.median(times)


def peak_rss_kib(args):
    d = tempfile.mkdtemp(prefix="morivox-bench-")
    r = subprocess.run(["/usr/bin/time", "-f", "%M", program] + args, cwd=d, check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    shutil.rmtree(d)
    return int(r.stderr.strip().splitlines()[-1])


stages = google_benchmark("bench_stages")
alternatives = google_benchmark("bench_alternatives")

default_s = timed_runs([program], 15)
sinc_s = timed_runs([program, "-sinc"], 15)
route_s = timed_runs([os.path.join(here, "espeak_sox_route"), os.path.join(build, "bench", "syllables.txt")], 3)
rss_default = peak_rss_kib([])
rss_sinc = peak_rss_kib(["-sinc"])

cpu = "unknown"
with open("/proc/cpuinfo") as f:
    for line in f:
        if line.startswith("model name"):
            cpu = line.split(":", 1)[1].strip()
            break

rows = []


def stage(name, label):
    b = stages[name]
    ns = b.get("s_per_sample")
    unit = b["time_unit"]
    rows.append((label, f'{b["real_time"]:.1f} {unit}', f"{ns * 1e9:.2f} ns/sample" if ns else ""))


print(f"CPU: {cpu}")
print()
print(f'{"stage (one = か, table = all 142, 44100 Hz)":48} {"time":>12}  per output sample')
for name, label in [("synth_one", "synthesis, one syllable"), ("synth_table", "synthesis, table"),
                    ("spline/one", "spline, one syllable"), ("spline/table", "spline, table"),
                    ("filter/one", "filter, one syllable"), ("filter/table", "filter, table"),
                    ("write/one", "write, one file"), ("write/table", "write, table")]:
    stage(name, label)
for label, t, per in rows:
    print(f"{label:48} {t:>12}  {per}")

print()
print(f'{"whole run (median wall time)":48} {"time":>12}  ratio')
print(f'{"morivox (default)":48} {default_s * 1000:9.1f} ms')
print(f'{"morivox -sinc":48} {sinc_s * 1000:9.1f} ms  {sinc_s / default_s:.2f} x default (goal <= 1.5)')
print(f'{"espeak-ng command line + sox, per syllable":48} {route_s * 1000:9.1f} ms  '
      f'{route_s / default_s:.1f} x slower than morivox (goal >= 15)')
print(f'{"peak resident size, default / -sinc":48} {rss_default / 1024:6.1f} / {rss_sinc / 1024:.1f} MiB  (goal < 32)')

print()
print(f'{"resampling the 142 buffers, 22050 -> 44100":48} {"samples/s":>12}  ratio (morivox spline / other)')
ours = alternatives["morivox_resample/spline"]["items_per_second"]
for name, label in [("morivox_resample/spline", "morivox spline"),
                    ("morivox_resample/spline_and_filter", "morivox spline + filter"),
                    ("soxr_hq", "libsoxr HQ"),
                    ("libsamplerate_sinc_fastest", "libsamplerate SINC_FASTEST")]:
    ips = alternatives[name]["items_per_second"]
    print(f"{label:48} {ips / 1e6:9.1f} M  {ours / ips:.2f}")
