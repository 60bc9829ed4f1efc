#!/usr/bin/env python3
"""kalmex for Python beside scikit-image, in one Python process.

  kalmex_python.py DATA_DIR RAW_CSV REPS

Writes key,rep,cpu_seconds,wall_seconds per call, like peers_python.py:
  py.rs.camera256, py.rs.bn3d128        kalmex.regionseg (the front end)
  py.peer.skimage.*                     felzenszwalb, slic, watershed, on the
                                        same images in the same process
  py.core.camera256, py.cpp.camera256   kalmex.regionseg_core against the
                                        same split_merge runs timed in C++
  py.dask.w1.64, py.dask.w2.64          regionseg_many over 64 images on a
                                        LocalCluster of 1 and 2 worker
                                        processes; their work runs in the
                                        workers, so both columns hold wall
                                        time per batch of 64
  py.mem.bn3d256                        the peak memory of one kalmex.regionseg
                                        call on the 256^3 blurred noise beyond
                                        the image it is given (labels
                                        included), in bytes in both columns,
                                        measured in a process of its own
  py.mem.kalseg.bn3d256                 the same through kalseg on that
                                        volume as a TIFF: the growth of its
                                        peak resident size over a run on an
                                        8^3 TIFF, less the 8-bit image it reads
"""
import os
import subprocess
import sys
import tempfile
import time

import numpy as np
from skimage import filters, segmentation

import kalmex
import kalmex.dask
from kalmex import _kalmex

from bench_timing import MIN_TIME, ONLY, load, measure


def dask_cases(batch, reps):
    """(workers, rep, wall) for 1 and 2 workers, taken in turns so that the
    load of the machine weighs on both alike."""
    import distributed

    def cluster(n):
        return distributed.LocalCluster(n_workers=n, threads_per_worker=1, processes=True,
                                        dashboard_address=":0")

    with cluster(1) as one, cluster(2) as two, \
            distributed.Client(one, set_as_default=False) as c1, \
            distributed.Client(two, set_as_default=False) as c2:
        for client in (c1, c2):
            kalmex.dask.regionseg_many(batch[:4], scheduler=client, threshold=20)  # warm up
        for rep in range(reps):
            for workers, client in ((1, c1), (2, c2)):
                w0 = time.perf_counter()
                kalmex.dask.regionseg_many(batch, scheduler=client, threshold=20)
                yield workers, rep, time.perf_counter() - w0


# The child process of py.mem.bn3d256: the growth of its peak resident size
# over one call, the image already loaded and the extension warmed up.
PEAK_CHILD = """
import resource, sys
import numpy as np
import kalmex
image = np.fromfile(sys.argv[1], dtype=np.uint8).reshape((256, 256, 256), order="F")
kalmex.regionseg(image[:8, :8, :8], threshold=20, start_level=1, noise_sigma=6)
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
labels = kalmex.regionseg(image, threshold=20, start_level=1, noise_sigma=6)
after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
print(1024 * (after - before))
"""


def peak_bytes(data):
    path = os.path.join(data, "bn3d256.u8")
    out = subprocess.run([sys.executable, "-c", PEAK_CHILD, path], check=True,
                         capture_output=True, text=True, env=dict(os.environ))
    return float(out.stdout.strip().splitlines()[-1])


def kalseg_peak_bytes(data, kalseg, work):
    """The peak resident size of kalseg segmenting the 256^3 volume beyond
    that of a run on a tiny volume (the program, its libraries, libtiff),
    less the 8-bit image it holds: its extra memory with the labels."""
    import tifffile

    image = np.fromfile(os.path.join(data, "bn3d256.u8"), dtype=np.uint8)
    volume = np.moveaxis(image.reshape((256, 256, 256), order="F"), -1, 0)  # pages first
    peaks = []
    for name, v in (("tiny", volume[:8, :8, :8]), ("bn3d256", volume)):
        path = os.path.join(work, "%s.tif" % name)
        tifffile.imwrite(path, np.ascontiguousarray(v))
        child = subprocess.Popen([kalseg, "-q", "--threshold", "20", "--start_level", "1",
                                  "--noise_sigma", "6", path, os.path.join(work, name + "_labels.tif")])
        _, status, usage = os.wait4(child.pid, 0)
        if status != 0:
            raise RuntimeError("kalseg failed on %s" % path)
        peaks.append(1024 * usage.ru_maxrss)
    return peaks[1] - peaks[0] - volume.size


def main():
    # Dask's worker processes import this file again: nothing runs on import.
    data, raw, reps = sys.argv[1], sys.argv[2], int(sys.argv[3])
    camera = load(data, "camera256", (256, 256))
    bn3d128 = load(data, "bn3d128", (128, 128, 128))
    bn3d128_sobel = filters.sobel(bn3d128.astype(float))
    # The parameters of the C++ benchmarks' camera256_c1_seq and bn3d128_c1_m0.
    camera_core = np.asfortranarray(camera.astype(np.int32))
    camera_args = (8, 8, 2, 0, 1, 0, 1, 20, 0.1, 4.0, 2, 1.0, 0, 0)
    params = kalmex.SegParams()
    (params.levels, params.flat_levels, params.start_level, params.parallel_grouping,
     params.parallel_seeds, params.seed_any_level, params.criterion, params.threshold,
     params.outlier_fraction, params.noise_sigma, params.confidence_row, params.size_factor,
     params.min_region_size, params.keep_small_stats) = camera_args

    # 64 photographs of 512 x 512: the camera doubled, shifted and noisy.
    rng = np.random.default_rng(64)
    big = np.kron(camera, np.ones((2, 2), np.uint8)).astype(float)
    batch = [np.clip(np.roll(big, (k * 7, k * 5), axis=(0, 1)) + rng.normal(0, 3, big.shape), 0, 255)
             .astype(np.uint8) for k in range(64)]

    cases = [
        ("py.rs.camera256", lambda: kalmex.regionseg(camera, threshold=20, start_level=2, noise_sigma=4)),
        ("py.peer.skimage.felzenszwalb.camera256",
         lambda: segmentation.felzenszwalb(camera, scale=1, sigma=0.8, min_size=20, channel_axis=None)),
        ("py.peer.skimage.slic.camera256",
         lambda: segmentation.slic(camera, n_segments=250, compactness=0.1, channel_axis=None)),
        # The volume as NumPy orders it, (planes, rows, columns): the same
        # volume as the other hosts segment, read where it lies.
        ("py.rs.bn3d128", lambda: kalmex.regionseg(np.moveaxis(bn3d128, -1, 0), threshold=20,
                                                   start_level=1, noise_sigma=6)),
        ("py.peer.skimage.watershed.bn3d128", lambda: segmentation.watershed(bn3d128_sobel)),
        ("py.core.camera256", lambda: kalmex.regionseg_core(camera_core, *camera_args)),
    ]

    with open(raw, "w") as out:
        def write(key, rep, cpu, wall, faults=None):
            # The minor page faults per call beside the times, where counted.
            tail = "" if faults is None else ",%.6g" % faults
            out.write("%s,%d,%.9g,%.9g%s\n" % (key, rep, cpu, wall, tail))
            out.flush()
            sys.stderr.write("  %-44s rep %d  cpu %10.3f ms  wall %10.3f ms%s\n"
                             % (key, rep, 1e3 * cpu, 1e3 * wall,
                                "" if faults is None else "  faults %10.0f" % faults))

        for rep in range(reps):
            for key, f in cases:
                if ONLY and ONLY not in key:
                    continue
                write(key, rep, *measure(f))
            if not ONLY or ONLY in "py.cpp.camera256":
                cpu = _kalmex.time_split_merge(camera_core, params, MIN_TIME)
                write("py.cpp.camera256", rep, cpu, cpu)
        if not ONLY or ONLY in "py.mem.bn3d256":
            peak = peak_bytes(data)
            write("py.mem.bn3d256", 0, peak, peak)
        if os.environ.get("KALSEG") and (not ONLY or ONLY in "py.mem.kalseg.bn3d256"):
            with tempfile.TemporaryDirectory() as work:
                peak = kalseg_peak_bytes(data, os.environ["KALSEG"], work)
            write("py.mem.kalseg.bn3d256", 0, peak, peak)
        if not ONLY or ONLY in "py.dask.w1.64" or ONLY in "py.dask.w2.64":
            for workers, rep, wall in dask_cases(batch, reps):
                write("py.dask.w%d.64" % workers, rep, wall, wall)


if __name__ == "__main__":
    main()
