"""kalmex's functions against the cores' own rules: layouts, grey-value
scaling, numbering, checks and their messages, threads."""

import inspect
import signal
import struct
import subprocess
import sys
import threading
import time
import warnings

import numpy as np
import pytest

import kalmex


def blobs(shape, seed):
    """Flat patches with a little noise: images with a few dozen regions."""
    rng = np.random.default_rng(seed)
    coarse = rng.integers(0, 6, size=tuple(max(1, s // 6 + 1) for s in shape)) * 40
    image = np.kron(coarse, np.ones((6,) * len(shape)))[tuple(slice(0, s) for s in shape)]
    return np.clip(image + rng.integers(-3, 4, size=shape), 0, 255).astype(np.uint8)


def relabel_by_size(core_labels):
    """The core's labels numbered 1.. by size, equal sizes in the core's order."""
    values, counts = np.unique(core_labels, return_counts=True)
    order = sorted(range(len(values)), key=lambda k: (-counts[k], values[k]))
    lookup = np.zeros(values.max() + 1, dtype=np.int32)
    lookup[values[order]] = np.arange(1, len(values) + 1)
    return lookup[core_labels]


@pytest.mark.parametrize("shape", [(37, 50), (64, 64), (20, 17, 5)])
def test_front_end_over_the_core(shape):
    # Every layout gives the same labels, numbered from 1 by size; on a
    # power-of-two image they are the core's own, renumbered.
    image = blobs(shape, seed=sum(shape))
    labels = kalmex.regionseg(image, threshold=12, min_region_size=3)
    assert labels.shape == shape and labels.dtype == np.int32
    spaced = np.zeros(tuple(2 * n for n in shape), dtype=image.dtype)
    spaced[tuple(slice(None, None, 2) for _ in shape)] = image
    strided = spaced[tuple(slice(None, None, 2) for _ in shape)]
    for view in (np.asfortranarray(image), np.ascontiguousarray(image), strided,
                 (image / 255.0).astype(">f8")):
        np.testing.assert_array_equal(kalmex.regionseg(view, threshold=12, min_region_size=3), labels)
    counts = np.bincount(labels.ravel())[1:]
    assert counts.min() > 0 and list(counts) == sorted(counts, reverse=True)
    if shape == (64, 64):
        core = kalmex.regionseg_core(image.astype(np.int32), 6, 6, 3, 0, 4, 0, 1, 12,
                                     0.05, 2, 2, 1, 3, 0)
        np.testing.assert_array_equal(labels, relabel_by_size(core))


# One value of every option and the core's parameters it sets (index into
# levels, flat_levels, start_level, parallel_grouping, parallel_seeds,
# seed_any_level, criterion, threshold, outlier_fraction, noise_sigma,
# confidence_row, size_factor, min_region_size, keep_small_stats).
OPTIONS = [
    (dict(criterion="RANGE_MEAN"), {6: 2}),
    (dict(criterion=5), {6: 5}),
    (dict(threshold=np.int64(9)), {7: 9}),
    (dict(start_level=1), {2: 1}),
    (dict(grouping="parallel", seeds=2, seed_any_level=np.bool_(True)), {3: 1, 4: 2, 5: 1}),
    (dict(min_region_size=5, keep_small_stats=True), {12: 5, 13: 1}),
    (dict(criterion="robust_range", outlier_fraction=0.2), {6: 3, 8: 0.2}),
    (dict(criterion="chi2_variance", noise_sigma=np.float32(4), confidence=0.5), {6: 4, 9: 4, 10: 1}),
    (dict(criterion="scaled_variance", size_factor=3), {6: 5, 11: 3}),
]


def pieces(labels):
    """The number of face-connected pieces of every label."""
    seen = np.zeros(labels.shape, bool)
    count = {}
    for start in np.ndindex(labels.shape):
        if seen[start]:
            continue
        label = labels[start]
        count[label] = count.get(label, 0) + 1
        seen[start] = True
        stack = [start]
        while stack:
            p = stack.pop()
            for axis in range(labels.ndim):
                for step in (-1, 1):
                    q = list(p)
                    q[axis] += step
                    q = tuple(q)
                    if 0 <= q[axis] < labels.shape[axis] and not seen[q] and labels[q] == label:
                        seen[q] = True
                        stack.append(q)
    return count


@pytest.mark.parametrize("seed", range(6))
def test_images_of_any_size_give_whole_regions_of_the_least_size(seed):
    # Odd sizes, 2-D and 3-D, every criterion, both groupings: every pixel
    # labelled, every region one face-connected piece of at least
    # min_region_size pixels of the image (unless it is the only one).
    rng = np.random.default_rng(seed)
    shape = tuple(int(n) for n in rng.integers(2, 40, size=2)) + ((int(rng.integers(2, 6)),) if seed % 2 else ())
    criterion = ["range", "range_mean", "robust_range", "chi2_variance", "scaled_variance"][seed % 5]
    least = int(rng.integers(3, 12))
    labels = kalmex.regionseg(blobs(shape, seed), criterion=criterion, grouping=("sequential", "parallel")[seed // 3],
                              threshold=14, noise_sigma=4, min_region_size=least)
    sizes = np.bincount(labels.ravel())[1:]
    assert labels.shape == shape and labels.min() == 1 and list(sizes) == sorted(sizes, reverse=True)
    assert len(sizes) == 1 or sizes.min() >= least
    assert set(pieces(labels).values()) == {1}


@pytest.mark.parametrize("options,params", OPTIONS)
def test_every_option_reaches_the_core(options, params):
    image = blobs((32, 32), seed=2)
    core = [5, 5, 3, 0, 4, 0, 1, 20, 0.05, 2, 2, 1, 0, 0]
    for k, v in params.items():
        core[k] = v
    want = kalmex.regionseg_core(image.astype(np.int32), *core)
    np.testing.assert_array_equal(kalmex.regionseg(image, **options), relabel_by_size(want))


def test_the_signature_holds_the_option_table():
    names = list(inspect.signature(kalmex.regionseg).parameters)
    assert names[0] == "image" and names[-4:] == [
        "verbose",
        "return_snapshots",
        "progress",
        "threads",
    ]
    assert inspect.signature(kalmex.regionseg).parameters["threshold"].default == 20
    assert kalmex.regionseg(blobs((20, 20), 1), "range", 12).shape == (20, 20)
    with pytest.raises(TypeError, match="threshhold"):
        kalmex.regionseg(np.zeros((4, 4)), threshhold=3)


def test_sizes_are_checked_before_any_copy():
    # 1.2 billion pixels that take no memory: refused at once, as Octave
    # refuses them, and a view that needs a converted copy too.
    for zero in (np.uint8(0), np.array(0, dtype=">u2")):
        image = np.broadcast_to(zero, (40000, 30000))
        with pytest.raises(ValueError, match="^regionseg: the image of 40000 x 30000 pixels is too large"):
            kalmex.regionseg(image)


@pytest.mark.parametrize(
    "convert",
    [
        lambda im: im.astype(np.uint16) * 257,
        lambda im: im.astype(np.float64) / 255,
        lambda im: im.astype(np.int16),
        lambda im: im.astype(np.int64),
        lambda im: im.tolist(),
    ],
    ids=["uint16", "float64", "int16", "int64", "python-ints"],
)
def test_scale_class_follows_the_dtype(convert):
    # uint16 from its range, floating point from 0..1, the other integer
    # dtypes (Python's ints too) as they are.
    image = blobs((40, 40), seed=3)
    np.testing.assert_array_equal(kalmex.regionseg(convert(image), threshold=10),
                                  kalmex.regionseg(image, threshold=10))


def test_integers_beyond_a_grey_value_are_refused():
    with pytest.raises(ValueError, match=r"^regionseg: for 'scale' 'class' an int64 image is taken "
                       r"as it is and must hold values in 0\.\.255 \(found -1\.\.300\); use the "
                       r"option 'scale': 'minmax' .* or 'clip'"):
        kalmex.regionseg([[-1, 300], [3, 4]])
    assert kalmex.regionseg([[-1, 300], [3, 4]], scale="minmax", threshold=0).max() == 4


def test_bool_and_colour_images():
    mask = blobs((30, 30), seed=5) > 100
    np.testing.assert_array_equal(kalmex.regionseg(mask), kalmex.regionseg(mask.astype(np.uint8) * 255))
    rgb = np.stack([blobs((30, 30), seed=s) for s in (6, 7, 8)], axis=2)
    grey = np.round(0.299 * rgb[..., 0] + 0.587 * rgb[..., 1] + 0.114 * rgb[..., 2]).astype(np.uint8)
    np.testing.assert_array_equal(kalmex.regionseg(rgb), kalmex.regionseg(grey))
    # A last axis of 3 is a colour picture; 'volume' and any other 3-D
    # array are (planes, rows, columns).
    assert kalmex.regionseg(rgb, rgb="volume").shape == (30, 30, 3)
    assert kalmex.regionseg(np.moveaxis(rgb, -1, 0)).shape == (3, 30, 30)


def test_a_file_reads_back_in_numpy_order(tmp_path):
    # A stack as tifffile writes it, (planes, rows, columns): the labels of
    # the array itself, in its shape.
    tifffile = pytest.importorskip("tifffile")
    stack = blobs((4, 18, 23), seed=11)
    tifffile.imwrite(tmp_path / "stack.tif", stack, photometric="minisblack")
    labels, snaps = kalmex.regionseg_file(tmp_path / "stack.tif", threshold=12, return_snapshots=True)
    want, shown = kalmex.regionseg(stack, threshold=12, return_snapshots=True)
    np.testing.assert_array_equal(labels, want)
    np.testing.assert_array_equal(snaps, shown)


def test_snapshots():
    image = blobs((64, 64), seed=9)
    labels, stack = kalmex.regionseg_core(image.astype(np.int32), 6, 6, 3, 0, 4, 0, 1, 12,
                                          0.05, 2, 2, 1, 0, 0, return_snapshots=True)
    assert stack.shape[:2] == (64, 64) and stack.shape[2] >= 2
    front, shown = kalmex.regionseg(image[:50, :60], threshold=12, return_snapshots=True)
    assert shown.shape[1:] == (50, 60) and shown.min() >= 1
    # A budget of one byte keeps no snapshot beyond what the run must have.
    with pytest.warns(RuntimeWarning, match="reached its budget"):
        kalmex.regionseg(image, threshold=12, return_snapshots=True, snapshot_budget=2 * 64 * 64 * 4)


def test_progress_lines_only_when_asked(capsys):
    image = blobs((16, 16), seed=1)
    kalmex.regionseg(image)
    assert capsys.readouterr().out == ""
    kalmex.regionseg(image, verbose=True)
    out = capsys.readouterr().out
    assert out.startswith("finished initialisation\n") and out.endswith("No save_regionlist specified\n")


STAGES = ["set-up", "initialisation", "merging", "splitting", "ordering of the region list", "grouping",
          "small region elimination", "cleaning of the region list", "sorting of the region list",
          "label output"]


@pytest.mark.parametrize("bar", ["tqdm", "no tqdm", "no width"])
def test_progress_sees_every_stage_in_order_and_ends_at_one(capsys, monkeypatch, tmp_path, bar):
    if bar == "no tqdm":
        monkeypatch.setitem(sys.modules, "tqdm", None)  # import tqdm fails
    if bar == "no width":
        # A terminal of no width, as tqdm reads the environment.
        monkeypatch.setenv("COLUMNS", "1")
        monkeypatch.setenv("LINES", "1")
    image = blobs((64, 64, 8), seed=4)
    calls = []
    kalmex.regionseg(image, min_region_size=5, progress=lambda stage, done: calls.append((stage, done)))
    stages = [stage for k, (stage, _) in enumerate(calls) if k == 0 or stage != calls[k - 1][0]]
    done = [d for _, d in calls]
    assert stages == STAGES and done == sorted(done) and done[0] >= 0 and done[-1] == 1.0

    kalmex.regionseg(image, min_region_size=5, progress=True)
    drawn = capsys.readouterr()
    # In units people read: how far and the stage, never tqdm's steps and their rate.
    assert drawn.out == "" and "100%" in drawn.err and "label output" in drawn.err
    assert "it/s" not in drawn.err and "/1000" not in drawn.err

    # An exception of the callable ends the call; the next call is not troubled.
    def fails(stage, done):
        if stage == "grouping":
            raise ZeroDivisionError(stage)
    with pytest.raises(ZeroDivisionError, match="grouping"):
        kalmex.regionseg(image, progress=fails)
    tifffile = pytest.importorskip("tifffile")
    tifffile.imwrite(tmp_path / "v.tif", image)
    calls.clear()
    kalmex.regionseg_file(tmp_path / "v.tif", progress=lambda stage, done: calls.append(done))
    assert calls[-1] == 1.0


def test_squeezed_images_warn_once_and_keep_their_labels():
    # A 12-bit camera's values in a uint16 array (a photograph times 16),
    # times 2 and 4, floats in 0..0.05: each becomes a few grey values and
    # says so, once, naming the cure; the labels stay those of its grey values.
    rng = np.random.default_rng(2)
    y, x = np.mgrid[0:40, 0:56]
    photo = np.clip(np.round(30 + 3 * x + 50 * (y > 20) + rng.normal(0, 5, x.shape)), 0, 255)
    values, photo = photo, photo.astype(np.uint8)
    for image, greys in [(photo.astype(np.uint16) * 16, np.round(values * 16 * 255 / 65535)),
                         (photo.astype(np.uint16) * 4, np.round(values * 4 * 255 / 65535)),
                         (photo.astype(np.uint16) * 2, np.round(values * 2 * 255 / 65535)),
                         (photo / 255 * 0.05, np.round(photo / 255 * 0.05 * 255))]:
        with pytest.warns(kalmex.LowRangeWarning) as caught:
            labels = kalmex.regionseg(image, threshold=16, min_region_size=8)
        (only,) = caught
        text = str(only.message)
        assert issubclass(only.category, UserWarning) and only.filename == __file__
        assert text.startswith("regionseg: 'scale' 'class' brings the values of this ")
        assert "to the grey values %d..%d only" % (greys.min(), greys.max()) in text
        assert text.endswith('use scale="minmax" to spread its range over 0..255.')
        np.testing.assert_array_equal(
            labels, kalmex.regionseg(greys.astype(np.uint8), threshold=16, min_region_size=8))
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        kalmex.regionseg(photo, threshold=16)  # an ordinary photograph
        kalmex.regionseg(photo.astype(np.uint16) * 16, threshold=16, scale="minmax")
        warnings.simplefilter("error", kalmex.LowRangeWarning)
        with pytest.raises(kalmex.LowRangeWarning):
            kalmex.regionseg(photo / 255 * 0.05, threshold=16)


ERRORS = [
    (lambda: kalmex.regionseg("text"), TypeError,
     "regionseg: the image must be a real numeric or logical array."),
    (lambda: kalmex.regionseg(np.zeros((0, 3))), ValueError,
     "regionseg: the image must be a non-empty 2-D or 3-D array."),
    (lambda: kalmex.regionseg(np.array([[np.nan]])), ValueError, "regionseg: the image must not hold NaN."),
    (lambda: kalmex.regionseg(np.zeros((4, 4)), criterion="best"), ValueError,
     "regionseg: option 'criterion' must be one of 'range', 'range_mean', 'robust_range', "
     "'chi2_variance' or 'scaled_variance' or 1 to 5."),
    (lambda: kalmex.regionseg(np.zeros((4, 4)), grouping=1), ValueError,
     "regionseg: option 'grouping' must be 'sequential' or 'parallel'."),
    (lambda: kalmex.regionseg(np.zeros((4, 4)), threshold=True), ValueError,
     "regionseg: option 'threshold' must be a whole number 0 to 2147483647."),
    (lambda: kalmex.regionseg(np.zeros((4, 4)), threshold=2**40), ValueError,
     "regionseg: option 'threshold' must be a whole number 0 to 2147483647."),
    (lambda: kalmex.regionseg(np.zeros((4, 4)), noise_sigma=np.False_), ValueError,
     "regionseg: option 'noise_sigma' must be a finite number >= 0."),
    (lambda: kalmex.regionseg(np.zeros((4, 4)), seed_any_level="yes"), ValueError,
     "regionseg: option 'seed_any_level' must be true or false."),
    (lambda: kalmex.regionseg(np.zeros((4, 4)), start_level=5), ValueError,
     "regionseg: option 'start_level' must be a whole number 0 to 1 for this image."),
    (lambda: kalmex.regionseg(np.zeros((4, 4)), flat_levels=1), ValueError,
     "regionseg: option 'flat_levels' applies to 3-D images only."),
    (lambda: kalmex.regionseg(np.zeros((4, 4)), rgb="colour"), ValueError,
     "regionseg: option 'rgb' must be 'grey' or 'volume'."),
    (lambda: kalmex.regionseg_core(np.zeros((4, 4)), 2, 2, 0, 0, 1, 0, 1, 0, 0, 0, 1, 0, 0, 0),
     TypeError, "Argument 1 (image) must be a real, full int32 array."),
    (lambda: kalmex.regionseg_core(np.zeros((4, 4), np.int32), 2, 2, 0, 0, 1, 0, "1", 0, 0, 0, 1, 0, 0, 0),
     TypeError, "Argument 8 (criterion) must be a real numeric or logical value."),
    (lambda: kalmex.regionseg_core(np.zeros((4, 4), np.int32), 2, 2, 0, 0, 1, 0, 1, 2**40, 0, 0, 1, 0, 0, 0),
     ValueError, "Argument 9 (threshold) must fit in a 32-bit integer."),
    (lambda: kalmex.regionseg_core(np.full((4, 4), 256, np.int32), 2, 2, 0, 0, 1, 0, 1, 0, 0, 0, 1, 0, 0, 0),
     ValueError, "Argument 1 (image) must hold grey values 0 to 255."),
    (lambda: kalmex.regionseg_core(np.zeros((4, 4), np.int32), 2, 2, 0, 0, 1, 0, 1, 0, 0, 0, 1, 0, 0, 0, 0),
     ValueError, "Argument 16 (snapshot_budget) must be positive."),
    (lambda: kalmex.regionseg_core(np.zeros((4, 4), np.int32), 2, 2, 0, 0, 1, 0, 1, 0, 0, 0, 1, 0, 0, 0, 63),
     ValueError, "Argument 16 (snapshot_budget) must be at least 64 bytes: one snapshot of this image."),
    (lambda: kalmex.split_merge(np.zeros((4, 4), np.int32), kalmex.SegParams()), ValueError,
     "Argument 1 (image) must be at most 2^levels in its first two dimensions."),
    (lambda: kalmex.edgethin(np.zeros((2, 2)), np.zeros((2, 3)), np.zeros((2, 2))), ValueError,
     "non-maximum suppression: Images have different dimensions."),
    (lambda: kalmex.edgethin(*[np.zeros((2, 2, 2))] * 3),
     ValueError, "non-maximum suppression: Only 2D images are supported."),
    (lambda: kalmex.tiffmend(), ValueError, "Expected at least one input file name."),
    (lambda: kalmex.kal_peakfit(np.zeros((3, 3)), None, 5), TypeError, "Argument 3 should be a string."),
    (lambda: kalmex.kal_turnvolume(np.zeros((3, 3)), 0.0, 1.5), TypeError,
     "Argument 3 should be an integer scalar."),
    (lambda: kalmex.kal_turnvolume(np.zeros((3, 3)), 0.0, 1, None, "edge"), ValueError,
     "Argument 5 is invalid string."),
    (lambda: kalmex.kal_troughfind(np.zeros((3, 3), complex), None, 1, 0), TypeError,
     "Argument 1 (image): kalmex: Cannot make an image of a complex128 array."),
]


@pytest.mark.parametrize("call,kind,message", ERRORS)
def test_errors_carry_the_modules_texts(call, kind, message):
    with pytest.raises(kind) as caught:
        call()
    assert str(caught.value) == message


def test_threads_run_at_once_and_agree():
    # Two threads segmenting at once (the calls release the interpreter
    # lock), with elimination of every 6 x 6 patch: the labels of serial calls.
    images = [blobs((192, 160), seed=s) for s in range(6)]
    options = dict(threshold=10, min_region_size=40)
    serial = [kalmex.regionseg(im, **options) for im in images]
    results = [None] * len(images)
    start = threading.Barrier(2)

    def work(first):
        start.wait()
        for k in range(first, len(images), 2):
            results[k] = kalmex.regionseg(images[k], **options)

    threads = [threading.Thread(target=work, args=(k,)) for k in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for a, b in zip(serial, results):
        np.testing.assert_array_equal(a, b)


def test_the_threads_keyword_reaches_the_run(monkeypatch):
    # An image large enough for two threads: the keyword's count, else
    # KALMEX_THREADS', is the run's, and the labels do not depend on it; a
    # smaller image runs on one whatever is asked.
    image = blobs((512, 1024), seed=5)
    _kalmex = kalmex._kalmex
    runs = {}
    for threads in (1, 2):
        runs[threads] = kalmex.regionseg(image, threshold=10, min_region_size=8, threads=threads)
        assert _kalmex._last_run_threads() == threads
    np.testing.assert_array_equal(runs[1], runs[2])
    monkeypatch.setenv("KALMEX_THREADS", "2")
    kalmex.regionseg(image, threshold=10)
    assert _kalmex._last_run_threads() == 2
    monkeypatch.setenv("KALMEX_THREADS", "two")
    with pytest.warns(RuntimeWarning, match="KALMEX_THREADS"):
        kalmex.regionseg(image, threshold=10)
    kalmex.regionseg(image[:64, :64], threshold=10, threads=2)
    assert _kalmex._last_run_threads() == 1
    for bad in (0, 1025, 1.5, True, "2"):
        with pytest.raises(ValueError, match="threads must be a whole number 1 to 1024"):
            kalmex.regionseg(image[:8, :8], threads=bad)


# A run of seconds over a speckle volume, in a child process (after SETUP).
SPECKLE_RUN = """
import numpy as np, kalmex
image = (np.random.default_rng(3).random((128, 128, 128)) * 255).astype(np.uint8)
{setup}
try:
    labels = kalmex.regionseg(image, threshold=20, min_region_size=40)
    print("labels", labels.max(), flush=True)
except (KeyboardInterrupt, MemoryError) as e:
    print(type(e).__name__, e, flush=True)
"""


def test_ctrl_c_ends_a_segmentation():
    # SIGINT 0.3 s into the run: KeyboardInterrupt, not a result.
    child = subprocess.Popen([sys.executable, "-c", SPECKLE_RUN.format(
        setup='print("start", flush=True)')], stdout=subprocess.PIPE, text=True)
    assert child.stdout.readline() == "start\n"
    time.sleep(0.3)
    child.send_signal(signal.SIGINT)
    out, _ = child.communicate(timeout=30)
    assert out == "KeyboardInterrupt \n"


def test_memory_running_short_raises_memory_error():
    # Under an address-space limit with room for the image and the labels
    # but not for the run: MemoryError saying what ran short, at once.
    limit = """
import resource
with open("/proc/self/status") as status:
    mapped = next(int(line.split()[1]) for line in status if line.startswith("VmSize:"))
resource.setrlimit(resource.RLIMIT_AS, (mapped * 1024 + (100 << 20), resource.RLIM_INFINITY))
"""
    out = subprocess.run([sys.executable, "-c", SPECKLE_RUN.format(setup=limit)],
                         capture_output=True, text=True, timeout=30).stdout
    assert out.startswith("MemoryError Out of memory during "), out


def test_a_file_that_memory_runs_short_for_raises_memory_error(tmp_path):
    # 16 MB of samples under a limit 8 MB above what the process has mapped.
    path = tmp_path / "big.pgm"
    with open(path, "wb") as f:
        f.write(b"P5\n4000 4000\n255\n")
        f.write(bytes(4000 * 4000))
    code = """
import resource, kalmex
with open("/proc/self/status") as status:
    mapped = next(int(line.split()[1]) for line in status if line.startswith("VmSize:"))
resource.setrlimit(resource.RLIMIT_AS, (mapped * 1024 + (8 << 20), resource.RLIM_INFINITY))
try:
    kalmex.regionseg_file(%r, threshold=20)
except MemoryError as e:
    print("MemoryError", e)
""" % str(path)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                         timeout=30).stdout
    assert out == "MemoryError regionseg: %s: Out of memory during reading: the image could not be " \
        "allocated.\n" % path, out


def test_edgethin_keeps_ridges_in_every_layout():
    rng = np.random.default_rng(2)
    d, gc, gr = (rng.standard_normal((9, 7)) for _ in range(3))
    thin = kalmex.edgethin(d, gc, gr)
    np.testing.assert_array_equal(kalmex.edgethin(*(np.asfortranarray(a) for a in (d, gc, gr))), thin)
    assert np.all((thin == 0) | (thin == d))
    # A constant image has no ridge.
    assert not kalmex.edgethin(np.ones((4, 4)), np.ones((4, 4)), np.ones((4, 4))).any()


def tiff(path, order, photometric, pages=1):
    """A classic TIFF of header and directories only, each with tag 262 and
    three samples per pixel."""
    e = "<" if order == b"II" else ">"
    data = order + struct.pack(e + "HI", 42, 8)
    for k in range(pages):
        nxt = 0 if k == pages - 1 else 8 + 30 * (k + 1)
        data += struct.pack(e + "H", 2) + struct.pack(e + "HHIHH", 262, 3, 1, photometric, 0)
        data += struct.pack(e + "HHIHH", 277, 3, 1, 3, 0) + struct.pack(e + "I", nxt)
    path.write_bytes(data)
    return data


def test_tiffmend_outcomes(tmp_path, capsys):
    fixed = tmp_path / "a.tif"
    before = tiff(fixed, b"MM", 3, pages=2)
    plain = tmp_path / "b.tif"
    tiff(plain, b"II", 2)
    (tmp_path / "c.tif").write_bytes(b"GIF89a" + bytes(8))
    names = [fixed, plain, tmp_path / "c.tif", tmp_path / "none.tif"]
    outcomes = kalmex.tiffmend(*names, verbose=True)
    assert [o for _, o in outcomes] == ["fixed", "nothing to fix", "failed", "not opened"]
    after = fixed.read_bytes()
    assert len(after) == len(before) and after.count(b"\x00\x02\x00\x00") == 2
    out = capsys.readouterr().out
    assert "Not a TIFF file, bad magic number 18759 (0x4947)\n" in out
    assert out.endswith("Problem opening file %s\n" % names[3])
    kalmex.tiffmend(fixed, quiet=True)
    assert capsys.readouterr().out == ""


def test_tiffmend_keeps_true_palettes_and_mends_declared_ones(tmp_path, capsys):
    Image = pytest.importorskip("PIL.Image")
    tifffile = pytest.importorskip("tifffile")
    rng = np.random.default_rng(5)
    index = rng.integers(0, 16, (12, 10), dtype=np.uint8)
    lut = rng.integers(0, 65536, (3, 256), dtype=np.uint16)

    # True palette images (one sample per pixel) as both libraries write them,
    # one page and several: left as they are, and read back the same.
    pil_file, tf_file = tmp_path / "pil.tif", tmp_path / "tifffile.tif"
    picture = Image.fromarray(index, mode="P")
    picture.putpalette((lut[:, :256] >> 8).astype(np.uint8).T.ravel().tolist())
    picture.save(pil_file, save_all=True, append_images=[picture.copy()])
    with tifffile.TiffWriter(tf_file) as w:
        for _ in range(2):
            w.write(index, photometric="palette", colormap=lut)
    before = {f: f.read_bytes() for f in (pil_file, tf_file)}
    assert kalmex.tiffmend(pil_file, tf_file, verbose=True) == [
        (str(pil_file), "nothing to fix"), (str(tf_file), "nothing to fix")]
    out = capsys.readouterr().out
    assert out.count(": palette image with one sample per pixel\n") == 4
    for f in before:
        assert f.read_bytes() == before[f]
    with Image.open(pil_file) as im:
        assert im.mode == "P" and im.n_frames == 2
        np.testing.assert_array_equal(np.asarray(im), index)
    with tifffile.TiffFile(tf_file) as t:
        assert len(t.pages) == 2 and t.pages[0].photometric == tifffile.PHOTOMETRIC.PALETTE
        np.testing.assert_array_equal(t.pages[1].asarray(), index)
        np.testing.assert_array_equal(t.pages[0].colormap, lut)

    # RGB samples declared palette colour: repaired, and then read as RGB.
    rgb = rng.integers(0, 256, (12, 10, 3), dtype=np.uint8)
    declared = tmp_path / "declared.tif"
    tifffile.imwrite(declared, rgb, photometric="rgb")
    with tifffile.TiffFile(declared, mode="r+b") as t:
        t.pages[0].tags["PhotometricInterpretation"].overwrite(3)
    assert kalmex.tiffmend(declared) == [(str(declared), "fixed")]
    np.testing.assert_array_equal(tifffile.imread(declared), rgb)
    with Image.open(declared) as im:
        assert im.mode == "RGB"
        np.testing.assert_array_equal(np.asarray(im), rgb)


def test_wrappers():
    image = np.zeros((9, 9))
    image[2, 6] = 5.0
    np.testing.assert_allclose(kalmex.kal_peakfit(image, None, "LINEAR"), [[2.0, 6.0]])
    assert kalmex.kal_peakfit(image, np.zeros((9, 9), bool), None).shape[0] == 0
    # A quarter turn about axis 3 is exact and turns as rot90, in C order too.
    square = np.arange(25.0).reshape(5, 5)
    np.testing.assert_array_equal(kalmex.kal_turnvolume(square, np.pi / 2, 3, "linear", "zero"),
                                  np.rot90(square))
    assert kalmex.kal_turnvolume(square.astype(np.uint8), 0.0, 3).dtype == np.uint8
    rows = np.array([[3.0, 1.0], [0.0, 2.0], [5.0, 0.0]])
    np.testing.assert_array_equal(kalmex.kal_troughfind(rows, None, 1, True), [[1, 2]])
    np.testing.assert_array_equal(kalmex.kal_troughfind(rows, rows < 3, 1, 0), [[1, 2]])
