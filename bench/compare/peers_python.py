#!/usr/bin/env python3
"""scikit-image and OpenCV on the images of make_images.py.

  peers_python.py DATA_DIR RAW_CSV REPS

Writes key,rep,cpu_seconds,wall_seconds per call, like compare_bench.  CPU
time is the process's (time.process_time); OpenCV runs on one thread so that
its CPU time is not inflated by thread start-up.
"""
import sys

import cv2
import numpy as np
from skimage import feature, filters, segmentation

from bench_timing import ONLY, load, measure

DATA, RAW, REPS = sys.argv[1], sys.argv[2], int(sys.argv[3])
cv2.setNumThreads(1)

camera = load(DATA, "camera256", (256, 256))
edge = load(DATA, "edge4096", (4096, 4096))
# The peer of our 3-D runs: watershed on the Sobel gradient of the blurred
# noise volume (the gradient made beforehand, as our runs get their image).
bn3d128_sobel = filters.sobel(load(DATA, "bn3d128", (128, 128, 128)).astype(float))

cases = [
    ("peer.skimage.felzenszwalb.camera256",
     lambda: segmentation.felzenszwalb(camera, scale=1, sigma=0.8, min_size=20, channel_axis=None)),
    ("peer.skimage.slic.camera256",
     lambda: segmentation.slic(camera, n_segments=250, compactness=0.1, channel_axis=None)),
    ("peer.skimage.canny.edge4096", lambda: feature.canny(edge, sigma=1.0)),
    ("peer.opencv.canny.edge4096", lambda: cv2.Canny(np.ascontiguousarray(edge), 50, 150)),
    ("peer.skimage.watershed.bn3d128", lambda: segmentation.watershed(bn3d128_sobel)),
]
with open(RAW, "w") as out:
    for rep in range(REPS):
        for key, f in cases:
            if ONLY and ONLY not in key:
                continue
            cpu, wall, faults = measure(f)
            out.write("%s,%d,%.9g,%.9g,%.6g\n" % (key, rep, cpu, wall, faults))
            out.flush()
            sys.stderr.write("  %-44s rep %d  cpu %10.3f ms  wall %10.3f ms  faults %10.0f\n"
                             % (key, rep, 1e3 * cpu, 1e3 * wall, faults))
