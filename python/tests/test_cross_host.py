"""The same labels and snapshots, bit for bit, from kalmex, from kalseg's
front end with the module file on the embedded host, and from regionseg.m
with the Octave module, for the same images and options: each image in
MATLAB's order (rows, columns, planes) for Octave and the host, in NumPy's
(planes, rows, columns) for kalmex, the axes of its results moved back."""

import os
import subprocess

import numpy as np
import pytest

import kalmex


def blobs(shape, seed):
    rng = np.random.default_rng(seed)
    coarse = rng.integers(0, 7, size=tuple(s // 5 + 1 for s in shape)) * 35
    image = np.kron(coarse, np.ones((5,) * len(shape)))[tuple(slice(0, s) for s in shape)]
    return np.clip(image + rng.normal(0, 3, size=shape).round(), 0, 255).astype(np.uint8)


# (image, options): every criterion, both groupings, elimination, 2-D and
# 3-D, filling their tree or not (the tree's pixels outside them absent).
CASES = [
    ((37, 50), dict(threshold=16, min_region_size=8)),
    ((64, 64), dict(criterion="range_mean", threshold=12, min_region_size=4, keep_small_stats=True)),
    ((40, 33), dict(criterion="robust_range", threshold=14, outlier_fraction=0.1)),
    ((48, 48), dict(criterion="chi2_variance", noise_sigma=6, confidence=0.9, min_region_size=6)),
    ((31, 57), dict(criterion="scaled_variance", noise_sigma=5, size_factor=2, threshold=15)),
    ((45, 40), dict(grouping="parallel", seeds=3, seed_any_level=True, threshold=18)),
    ((20, 17, 5), dict(threshold=20, min_region_size=4)),
    ((16, 24, 9), dict(threshold=15, flat_levels=2, start_level=1)),
    ((3, 2), dict(threshold=10)),
    ((5, 3, 2), dict(criterion="range_mean", threshold=30, min_region_size=2)),
    ((1, 70), dict(threshold=12, min_region_size=5)),
    ((65, 9, 4), dict(grouping="parallel", seeds=2, threshold=16, min_region_size=6, keep_small_stats=True)),
    # single precision, scaled from 0..1 as its host scales it, and an odd
    # colour picture of doubles (Octave only: kalseg reads files of whole
    # numbers, their colour already grey)
    ((33, 29), dict(threshold=14, min_region_size=3, kind="single")),
    ((27, 35, 3), dict(threshold=12, min_region_size=4, kind="colour")),
]


def octave_value(v):
    if isinstance(v, bool):
        return "true" if v else "false"
    if isinstance(v, str):
        return "'%s'" % v
    return repr(v)


def host_option(v):
    return ("1" if v else "0") if isinstance(v, bool) else str(v)


def test_every_host_gives_the_same_labels(tmp_path):
    host = os.environ.get("KALMEX_HOST_SEGMENT")
    octave = os.environ.get("KALMEX_OCTAVE_CLI")
    if not host:
        pytest.skip("run by ctest, which builds the embedded host's program")
    script = []
    expected = []
    for k, (shape, options) in enumerate(CASES):
        options = dict(options)
        kind = options.pop("kind", "uint8")
        octave_only = kind != "uint8"
        image = blobs(shape, seed=k)
        if kind == "single":
            image = (image / np.float32(255)).astype(np.float32)
        elif kind == "colour":
            image = np.stack([blobs(shape[:2], seed=10 * k + c) for c in range(3)], axis=2) / 255.0
        raw = tmp_path / ("case%d.raw" % k)
        raw.write_bytes(image.tobytes(order="F"))
        volume = len(shape) == 3 and kind != "colour"
        # (2, 5, 3) ends in 3: "volume" keeps it a volume.
        labels, snaps = kalmex.regionseg(np.moveaxis(image, -1, 0) if volume else image,
                                         return_snapshots=True, rgb="volume" if volume else "grey",
                                         **options)
        # Back to MATLAB's order: the planes after the rows and columns,
        # the snapshots last.
        if volume:
            labels, snaps = np.moveaxis(labels, 0, -1), snaps.transpose(2, 3, 1, 0)
        else:
            snaps = np.moveaxis(snaps, 0, -1)
        expected.append((labels.shape, labels, snaps, octave_only))
        args = [host, str(raw)] + [str(s) for s in (list(shape) + [1])[:3]] + [str(tmp_path / ("host%d" % k))]
        for name, value in options.items():
            args += [name, host_option(value)]
        if not octave_only:
            subprocess.run(args, check=True)
        pairs = ", ".join("'%s', %s" % (n, octave_value(v)) for n, v in options.items())
        size = "[%s]" % " ".join(str(s) for s in shape)
        script.append(
            "fid = fopen('%s'); im = reshape(fread(fid, Inf, '%s'), %s); fclose(fid);\n"
            "[l, s] = regionseg(im, %s);\n"
            "fid = fopen('%s', 'w'); fwrite(fid, int32(l), 'int32'); fclose(fid);\n"
            "fid = fopen('%s', 'w'); fwrite(fid, int32(s), 'int32'); fclose(fid);\n"
            % (raw, {"uint8": "uint8=>uint8", "single": "single=>single", "colour": "double"}[kind], size, pairs, tmp_path / ("octave%d.labels" % k), tmp_path / ("octave%d.snaps" % k)))
    hosts = ["host"]
    if octave:
        (tmp_path / "cases.m").write_text("".join(script))
        mexdir = os.environ["KALMEX_OCTAVE_DIR"]
        toolbox = os.environ["KALMEX_TOOLBOX"]
        subprocess.run([octave, "--no-gui", "--norc", "--no-history", "--quiet", "--no-window-system",
                        "--eval", "addpath('%s'); addpath('%s'); cases" % (toolbox, mexdir)],
                       check=True, cwd=tmp_path, stdout=subprocess.DEVNULL)
        hosts.append("octave")
    for k, (shape, labels, snaps, octave_only) in enumerate(expected):
        for name in hosts[1:] if octave_only else hosts:
            got = np.fromfile(tmp_path / ("%s%d.labels" % (name, k)), dtype=np.int32)
            np.testing.assert_array_equal(got.reshape(shape, order="F"), labels, err_msg="%s %d" % (name, k))
            stack = np.fromfile(tmp_path / ("%s%d.snaps" % (name, k)), dtype=np.int32)
            stack = stack.reshape(snaps.shape, order="F")
            np.testing.assert_array_equal(stack, snaps, err_msg="%s %d snapshots" % (name, k))
    if not octave:
        pytest.skip("Octave not found: only the embedded host compared")
