"""The machine a benchmark ran on, as its tables name it."""
import os


def describe():
    """The processor's model and how many cores this process may use."""
    cpu = "unknown"
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    return f"CPU: {cpu}, {len(os.sched_getaffinity(0))} cores usable"
