"""What the Python benchmark scripts share: their settings from the
environment, reading the raw images of make_images.py and timing a call."""
import os
import resource
import time

import numpy as np

# Each measurement repeats its call for at least this much CPU time.
MIN_TIME = float(os.environ.get("KALMEX_BENCH_MIN_TIME", "0.2"))
# Only the keys that contain this text are run (all when empty).
ONLY = os.environ.get("KALMEX_BENCH_ONLY", "")


def load(data, name, shape):
    """The raw 8-bit image NAME.u8 of folder DATA, first dimension fastest."""
    raw = np.fromfile(os.path.join(data, name + ".u8"), dtype=np.uint8)
    return raw.reshape(shape, order="F")


def minor_faults():
    """Minor page faults of this process so far, every thread's."""
    return resource.getrusage(resource.RUSAGE_SELF).ru_minflt


def measure(f):
    """(cpu, wall) seconds and minor page faults of one call of f, averaged
    over the calls that fill MIN_TIME of CPU time after one call to warm
    up."""
    f()
    calls = 0
    f0 = minor_faults()
    c0, w0 = time.process_time(), time.perf_counter()
    while True:
        f()
        calls += 1
        c1 = time.process_time()
        if c1 - c0 >= MIN_TIME:
            break
    wall = (time.perf_counter() - w0) / calls
    return (c1 - c0) / calls, wall, (minor_faults() - f0) / calls
