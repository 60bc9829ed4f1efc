#!/usr/bin/env python3
"""Turns the raw measurements of one bench run into the table, a CSV file and
a PNG bar chart.

  report.py OUT_DIR RAW_CSV... --meta META_CSV [--octave-meta OCTAVE_META_CSV]

Each raw line is key,rep,cpu_seconds,wall_seconds (time per call), and where
they were counted the minor page faults per call after them.  Ratios
are taken repetition by repetition (our n-th run against the peer's or the
bound's n-th run) and summarised by median, minimum and maximum.  CPU times
are used throughout: the machines are shared, and CPU time is what a run
costs whatever else is running.
"""
import csv
import os
import statistics
import sys
from collections import defaultdict

args = sys.argv[1:]
meta_path = args[args.index("--meta") + 1]
raw_paths = [a for a in args[1:args.index("--meta")]]
out_dir = args[0]
octave_meta_path = args[args.index("--octave-meta") + 1] if "--octave-meta" in args else ""

samples = defaultdict(dict)  # key -> rep -> cpu seconds
walls = defaultdict(dict)  # key -> rep -> wall seconds
faults = defaultdict(dict)  # key -> rep -> minor page faults per call
for path in raw_paths:
    if not os.path.exists(path):
        continue
    with open(path) as f:
        for line in f:
            parts = line.strip().split(",")
            if len(parts) in (4, 5):
                samples[parts[0]][int(parts[1])] = float(parts[2])
                walls[parts[0]][int(parts[1])] = float(parts[3])
            if len(parts) == 5:
                faults[parts[0]][int(parts[1])] = float(parts[4])

meta = {}
if os.path.exists(meta_path):
    with open(meta_path) as f:
        for row in csv.DictReader(f):
            meta[row["case"]] = row

octave_meta = {}  # key -> value, single figures of the Octave session
if octave_meta_path and os.path.exists(octave_meta_path):
    with open(octave_meta_path) as f:
        for line in f:
            parts = line.strip().split(",")
            if len(parts) == 2:
                octave_meta[parts[0]] = float(parts[1])


def series(key):
    reps = samples.get(key, {})
    return [reps[r] for r in sorted(reps)]


def wall_series(key):
    reps = walls.get(key, {})
    return [reps[r] for r in sorted(reps)]


def faults_of(key):
    """The median of the minor page faults per call of key, or None."""
    reps = faults.get(key, {})
    return statistics.median(reps.values()) if reps else None


def paired(a, b, f):
    """f(a_i, b_i) over repetitions; the shorter series is cycled."""
    if not a or not b:
        return []
    n = max(len(a), len(b))
    return [f(a[i % len(a)], b[i % len(b)]) for i in range(n)]


def summary(values):
    return (statistics.median(values), min(values), max(values)) if values else None


rows = []  # dicts of the final table


def add(target, case, ours, ref, ref_label, ratios, limit, better, seg=None, keys=("", "")):
    o, r, q = summary(ours), summary(ref), summary(ratios)
    m = meta.get(seg, {}) if seg else {}
    met = ""
    if q is not None and limit is not None:
        met = "yes" if (q[0] <= limit if better == "le" else q[0] >= limit) else "NO"
    rows.append({
        "target": target, "case": case,
        "ours_ms": o[0] * 1e3 if o else None, "ours_min_ms": o[1] * 1e3 if o else None,
        "ours_max_ms": o[2] * 1e3 if o else None,
        "against": ref_label,
        "ref_ms": r[0] * 1e3 if r else None, "ref_min_ms": r[1] * 1e3 if r else None,
        "ref_max_ms": r[2] * 1e3 if r else None,
        "ours_faults": faults_of(keys[0]), "ref_faults": faults_of(keys[1]),
        "ratio": q[0] if q else None, "ratio_min": q[1] if q else None,
        "ratio_max": q[2] if q else None,
        "limit": ("<= %g" % limit if better == "le" else ">= %g" % limit) if limit else "",
        "met": met,
        "peak_bytes": m.get("peak_bytes", ""), "blocks": m.get("records", ""),
        "regions": m.get("regions", ""), "snapshots": m.get("snapshots", ""),
    })


def time_row(target, case, ours_key, ref_key, ref_label, limit=None, better="le", seg=None):
    o, r = series(ours_key), series(ref_key)
    add(target, case, o, r, ref_label, paired(o, r, lambda x, y: x / y), limit, better, seg,
        (ours_key, ref_key))


def speedup_row(target, case, ours_key, ref_key, ref_label, limit, seg=None):
    """Ratio peer / ours: how many times faster we are."""
    o, r = series(ours_key), series(ref_key)
    add(target, case, o, r, ref_label, paired(o, r, lambda x, y: y / x), limit, "ge", seg,
        (ours_key, ref_key))


# 1. edgethin against the streaming bound of its bytes.
time_row("1", "edgethin 4096^2, embedded, pass only", "emb.edgethin.core", "emb.stream.edge",
         "stream bound (3 in, 1 out)", 1.2)
time_row("1", "edgethin 4096^2, embedded host gateway", "emb.edgethin.gateway",
         "emb.stream.edge", "stream bound (3 in, 1 out)", 1.2)
time_row("1", "edgethin 4096^2, embedded host gateway", "emb.edgethin.gateway",
         "emb.stream.edge.hostout", "stream bound + host output array")
time_row("1", "edgethin 4096^2, in Octave", "oct.edgethin.4096", "emb.stream.edge",
         "stream bound (3 in, 1 out)", 1.5)
time_row("1", "edgethin 4096^2, in Octave", "oct.edgethin.4096", "oct.stream.edge",
         "stream bound MEX in Octave", 1.5)
speedup_row("1", "edgethin 4096^2 (speed-up)", "emb.edgethin.gateway",
            "peer.opencv.canny.edge4096", "OpenCV Canny (1 thread)", None)
speedup_row("1", "edgethin 4096^2 (speed-up)", "emb.edgethin.gateway",
            "peer.skimage.canny.edge4096", "scikit-image canny", None)

# 2. regionseg_core on the camera image, labels only (speed-up over peers).
for c in range(1, 6):
    for mode, word in (("seq", "sequential"), ("par", "parallel")):
        seg = "camera256_c%d_%s" % (c, mode)
        main = c == 1 and mode == "seq"
        speedup_row("2", "camera 256^2, criterion %d, %s" % (c, word),
                    "oct.rs.%s.labels" % seg, "peer.octave.watershed.camera256",
                    "Octave watershed (same session)", 10 if main else None, seg)
        speedup_row("2", "camera 256^2, criterion %d, %s" % (c, word), "emb.rs.%s.labels" % seg,
                    "peer.skimage.felzenszwalb.camera256", "scikit-image felzenszwalb",
                    30 if main else None, seg)
speedup_row("2", "camera 256^2, criterion 1, sequential", "oct.rs.camera256_c1_seq.labels",
            "peer.octave.qtdecomp.camera256", "Octave qtdecomp (same session)", None,
            "camera256_c1_seq")
speedup_row("2", "camera 256^2, criterion 1, sequential", "emb.rs.camera256_c1_seq.labels",
            "peer.skimage.slic.camera256", "scikit-image slic", None, "camera256_c1_seq")
for img in ("shapes256", "gradient256", "shapes_noise4_256", "shapes_noise16_256"):
    for c in (1, 4):
        seg = "%s_c%d_seq" % (img, c)
        speedup_row("2", "%s, criterion %d, sequential" % (img, c), "emb.rs.%s.labels" % seg,
                    "peer.skimage.felzenszwalb.camera256", "felzenszwalb on camera", None, seg)


# py. kalmex for Python (kalmex_python.py), its peers in the same process.
speedup_row("py", "Python: kalmex.regionseg, camera 256^2", "py.rs.camera256",
            "py.peer.skimage.felzenszwalb.camera256", "felzenszwalb (same process)", 10)
speedup_row("py", "Python: kalmex.regionseg, camera 256^2", "py.rs.camera256",
            "py.peer.skimage.slic.camera256", "slic (same process)", None)
speedup_row("py", "Python: kalmex.regionseg, blurred noise 128^3", "py.rs.bn3d128",
            "py.peer.skimage.watershed.bn3d128", "watershed on Sobel (same process)", 5)
time_row("py", "Python: kalmex.regionseg_core, camera 256^2", "py.core.camera256",
         "py.cpp.camera256", "the same run timed in C++", 1.05)
speedup_row("py", "Python: regionseg_many, 64 x 512^2, wall", "py.dask.w2.64", "py.dask.w1.64",
            "1 worker process", 1.7)

# 3. Scaling: time per voxel against the 32^3 volume.
def per_voxel(seg):
    v = float(meta.get(seg, {}).get("voxels", "nan"))
    return [t / v for t in series("emb.rs.%s.labels" % seg)]


for c in (1, 4):
    small = "blobs32_c%d_seq" % c
    for side in (32, 64, 128):
        seg = "blobs%d_c%d_seq" % (side, c)
        o, r = per_voxel(seg), per_voxel(small)
        add("3", "blobs %d^3, criterion %d: time/voxel vs 32^3" % (side, c),
            series("emb.rs.%s.labels" % seg), series("emb.rs.%s.labels" % small), "blobs 32^3",
            paired(o, r, lambda x, y: x / y), 1.5, "le", seg)

# 4. Worst cases: one region a pixel; time per pixel against the smaller case.
for big, small, label in (("noise256_t0_s0", "noise128_t0_s0", "noise 256^2 vs 128^2"),
                          ("noisevol64_t0_s0", "noisevol32_t0_s0", "noise 64^3 vs 32^3")):
    o, r = per_voxel(big), per_voxel(small)
    add("4", label + ", threshold 0, start 0: time/pixel", series("emb.rs.%s.labels" % big),
        series("emb.rs.%s.labels" % small), label.split(" vs ")[1],
        paired(o, r, lambda x, y: x / y), 1.5, "le", big)

# 5. Snapshot output: (with snapshots - labels only) / stream bound of the bytes.
for seg in sorted(meta):
    s, l, b = (series("emb.rs.%s.snap" % seg), series("emb.rs.%s.labels" % seg),
               series("emb.stream.snap.%s" % seg))
    if not s:
        continue
    n = max(len(s), len(l), len(b))
    extra = [(s[i % len(s)] - l[i % len(l)]) / b[i % len(b)] for i in range(n)]
    add("5", "%s: (snapshots - labels only) / bound" % seg, s, b,
        "copy of the snapshot bytes", extra, 1.5, "le", seg)
    f = series("emb.stream.snapfresh.%s" % seg)
    if f:
        n = max(len(s), len(l), len(f))
        extra = [(s[i % len(s)] - l[i % len(l)]) / f[i % len(f)] for i in range(n)]
        add("5", "%s: (snapshots - labels only) / bound" % seg, s, f,
            "copy into a fresh host array", extra, 1.5, "le", seg)

# 7. tiffmend against tiffinfo reading the same file.
time_row("7", "tiffmend, 10,000 pages", "emb.tiffmend.10000", "peer.tiffinfo.10000",
         "tiffinfo reading the file")


def fmt(v, pattern):
    return "" if v is None or v == "" else format(v, pattern)


header = ["target", "case", "ours ms", "faults", "against", "theirs ms", "faults",
          "ratio (min..max)", "limit", "met", "peak", "blocks", "regions", "snaps"]
lines = []
for r in rows:
    if r["ratio"] is None:
        continue
    lines.append([
        r["target"], r["case"],
        fmt(r["ours_ms"], ".3f"), fmt(r["ours_faults"], ".0f"), r["against"],
        fmt(r["ref_ms"], ".3f"), fmt(r["ref_faults"], ".0f"),
        "%.3g (%.3g..%.3g)" % (r["ratio"], r["ratio_min"], r["ratio_max"]), r["limit"], r["met"],
        r["peak_bytes"], r["blocks"], r["regions"], r["snapshots"],
    ])
widths = [max(len(str(x)) for x in col) for col in zip(header, *lines)] if lines else []
print("CPU time per call, median over repetitions; ratios per repetition (median, min..max).")
print("Target 2 ratios are speed-ups (theirs / ours); the others are ours / theirs.")
print("faults: minor page faults per call (median), where counted.")
for line in [header] + lines:
    print("  ".join(str(x).ljust(w) for x, w in zip(line, widths)))

# Every segmentation time with its minor page faults per call: a fault on a
# fresh page costs from a fraction of a microsecond to several, depending on
# the host, so a time means little without them.
print()
print("Segmentation calls: CPU and wall time and minor page faults per call (medians):")
fault_rows = []
for key in sorted(samples):
    if ".rs." in key or key.startswith(("py.core.", "py.cpp.", "oct.regionseg.")):
        fault_rows.append([key, "%.3f" % (1e3 * statistics.median(series(key))),
                           "%.3f" % (1e3 * statistics.median(wall_series(key))),
                           fmt(faults_of(key), ".0f") or "-"])
fh = ["key", "cpu ms", "wall ms", "faults/call"]
if fault_rows:
    fw = [max(len(x) for x in col) for col in zip(fh, *fault_rows)]
    for line in [fh] + fault_rows:
        print("  ".join(x.ljust(w) for x, w in zip(line, fw)))

# 6. Memory: the peak of a labels-only call beyond its input and output.
print()
print("Peak memory of a labels-only call (counting allocator; input excluded, int32 labels included):")
mem_rows = []
for seg in sorted(meta):
    m = meta[seg]
    voxels, peak = int(m["voxels"]), int(m["peak_bytes"])
    mem_rows.append([seg, str(peak), str(voxels), "%.1f" % ((peak - 4 * voxels) / voxels),
                     m["records"], m["link_cells"], m["regions"]])
mh = ["case", "peak bytes", "voxels", "beyond in/out B/voxel", "blocks", "adjacency cells",
      "regions"]
if mem_rows:
    mw = [max(len(x) for x in col) for col in zip(mh, *mem_rows)]
    for line in [mh] + mem_rows:
        print("  ".join(x.ljust(w) for x, w in zip(line, mw)))


# The targets of the scale work, each with its figure, its peer and whether
# it is met.
def med(key):
    v = series(key)
    return statistics.median(v) if v else None


def voxels_of(seg):
    return float(meta.get(seg, {}).get("voxels", "nan"))


targets = []  # target, figure, peer, limit, met


def target(name, figure, peer, limit, met):
    targets.append([name, figure, peer, limit,
                    "" if met is None else ("met" if met else "NOT met")])


def speedup_target(name, ours_key, peer_key, peer_label, limit):
    o, r = series(ours_key), series(peer_key)
    q = summary(paired(o, r, lambda x, y: y / x))
    if q is None:
        target(name, "not measured", peer_label, ">= %gx" % limit, None)
        return
    def with_faults(key):
        f = faults_of(key)
        return "" if f is None else ", %.0f faults" % f

    target(name, "%.1fx faster (%.1f..%.1f); ours %.1f ms%s" % (
        q[0], q[1], q[2], 1e3 * med(ours_key), with_faults(ours_key)),
           "%s %.1f ms%s" % (peer_label, 1e3 * med(peer_key), with_faults(peer_key)),
           ">= %gx" % limit, q[0] >= limit)


speedup_target("2-D: camera 256^2, criterion 1, labels, Octave", "oct.rs.camera256_c1_seq.labels",
               "peer.octave.watershed.camera256", "Octave watershed, same session", 10)
for host, key, seg in (("Octave", "oct.rs.bn3d128_c1.labels", "bn3d128_c1_m0"),
                       ("embedded host", "emb.rs.bn3d128_c1_m0.labels", "bn3d128_c1_m0")):
    t = med(key)
    ws = med("peer.skimage.watershed.bn3d128")
    peer = "scikit-image watershed on Sobel %.0f ms" % (1e3 * ws) if ws else "-"
    if t:
        rate = 128 ** 3 / t / 1e6
        target("3-D: blurred noise 128^3, labels, %s: voxels/s" % host,
               "%.1f M voxels/s (%.0f ms)" % (rate, 1e3 * t), peer, ">= 10 M/s", rate >= 10)
    speedup_target("3-D: blurred noise 128^3, labels, %s: speed-up" % host, key,
                   "peer.skimage.watershed.bn3d128", "scikit-image watershed on Sobel", 5)
# The targets of the data layout: the 128^3 blurred noise at the speed of
# its memory, the camera against Octave's watershed, and the peak memory of
# every case.
t = med("emb.rs.bn3d128_c1_m0.labels")
if t:
    rate = 128 ** 3 / t / 1e6
    target("layout: blurred noise 128^3, labels, embedded host: voxels/s",
           "%.1f M voxels/s (%.0f ms)" % (rate, 1e3 * t), "1.5 M voxels/s before the layout work",
           ">= 5 M/s", rate >= 5)
else:
    target("layout: blurred noise 128^3, labels, embedded host: voxels/s", "not measured", "",
           ">= 5 M/s", None)
speedup_target("layout: blurred noise 128^3, labels, embedded host: speed-up",
               "emb.rs.bn3d128_c1_m0.labels", "peer.skimage.watershed.bn3d128",
               "scikit-image watershed on Sobel", 4)
speedup_target("layout: camera 256^2, criterion 1, labels, Octave", "oct.rs.camera256_c1_seq.labels",
               "peer.octave.watershed.camera256", "Octave watershed, same session", 6)


def per_voxel_target(name, seg, peer, limit, against=""):
    """The time per voxel of case seg against that of case peer."""
    b, sm = per_voxel(seg), per_voxel(peer)
    q = summary(paired(b, sm, lambda x, y: x / y))
    if q is None:
        target(name, "not measured", "", "<= %g" % limit, None)
        return
    target(name, "%.2f ns/voxel (%.2f x%s)" % (1e9 * statistics.median(b), q[0], against),
           "%s: %.2f ns/voxel" % (peer[4:peer.index("_")], 1e9 * statistics.median(sm)),
           "<= %g" % limit, q[0] <= limit)


for c in range(1, 6):
    for mrs in (0, 40):
        for dims, small, big in (("3-D", "bn3d64", "bn3d128" if c == 4 else "bn3d256"),
                                 ("2-D", "bn2d512", "bn2d1024" if c == 4 else "bn2d4096")):
            tail = "_c%d_m%d" % (c, mrs)
            per_voxel_target("scale %s %s -> %s, criterion %d, min_region_size %d" % (
                dims, small[4:], big[4:], c, mrs), big + tail, small + tail, 1.5, " the small")
# Images that do not fill their tree: the time per voxel of 129^3 and of
# 1025^2 beside that of the 128^3 and 1024^2 they extend.
for c in (1, 2, 3, 5):
    for mrs in (0, 40):
        for dims, full, odd in (("3-D", "bn3d128", "bn3d129"), ("2-D", "bn2d1024", "bn2d1025")):
            tail = "_c%d_m%d" % (c, mrs)
            per_voxel_target("any size %s %s against %s, criterion %d, min_region_size %d" % (
                dims, odd[4:], full[4:], c, mrs), odd + tail, full + tail, 1.2)
t = med("oct.regionseg.camstack120_m40")
target("camera stack 231 x 201 x 120, min_region_size 40, regionseg in Octave",
       "%.2f s" % t if t else "not measured", "674 s before the scale work (measured then)",
       "< 10 s", t < 10 if t else None)
t = med("emb.rs.camera4096_c1.labels")
tr = med("oct.regionseg.camera4096")
target("photograph 4096 x 4096, labels, embedded host", "%.2f s" % t if t else "not measured",
       "regionseg in Octave %.2f s" % tr if tr else "-", "< 2 s", t < 2 if t else None)
worst = None
for seg in meta:
    if seg.startswith(("bn3d", "bn2d", "camera4096")):
        v = (int(meta[seg]["peak_bytes"]) - 4 * voxels_of(seg)) / voxels_of(seg)
        worst = max(worst or (v, seg), (v, seg))
if "bn3d128_c1_m0" in meta:
    m = meta["bn3d128_c1_m0"]
    v = (int(m["peak_bytes"]) - 4 * voxels_of("bn3d128_c1_m0")) / voxels_of("bn3d128_c1_m0")
    target("memory: labels-only peak beyond input and output, blurred noise 128^3",
           "%.1f B/voxel" % v, "160 B/voxel before the scale work", "<= 48", v <= 48)
if worst:
    target("memory: the same, worst of the scale cases (%s)" % worst[1], "%.1f B/voxel" % worst[0],
           "", "<= 48", worst[0] <= 48)
every = max(((int(meta[seg]["peak_bytes"]) - 4 * voxels_of(seg)) / voxels_of(seg), seg)
            for seg in meta) if meta else None
if every:
    target("memory: labels-only peak beyond input and output, worst of every case (%s)" % every[1],
           "%.1f B/voxel" % every[0], "", "<= 48", every[0] <= 48)
t = med("py.mem.bn3d256")
target("memory: kalmex.regionseg, blurred noise 256^3 uint8, peak beyond the image",
       "%.1f B/voxel" % (t / 256 ** 3) if t else "not measured", "69 B/voxel before the layout work",
       "<= 48", t / 256 ** 3 <= 48 if t else None)
t = med("py.mem.kalseg.bn3d256")
target("memory: kalseg, blurred noise 256^3 uint8 TIFF, peak beyond the image",
       "%.1f B/voxel" % (t / 256 ** 3) if t else "not measured", "", "<= 48",
       t / 256 ** 3 <= 48 if t else None)
om = octave_meta
if "oct.budget.camstack40.slices" in om:
    extra = om["oct.budget.camstack40.snap_peak"] - om["oct.budget.camstack40.labels_peak"]
    budget = om["oct.budget.camstack40.budget"]
    warned = om["oct.budget.camstack40.warned"] == 1
    target("snapshots: camera stack 231 x 201 x 40, regionseg in Octave",
           "%d slices, %.2f s; peak %.0f MB beyond labels-only; warned: %s" % (
               om["oct.budget.camstack40.slices"], om["oct.budget.camstack40.cpu"], extra / 1e6,
               "yes" if warned else "no"),
           "killed at 24 GB before the scale work", "within %.0f MB, warning" % (budget / 1e6),
           warned and extra <= budget)
else:
    target("snapshots: camera stack 231 x 201 x 40, regionseg in Octave", "not measured", "",
           "within the budget, warning", None)

# kalmex for Python.
speedup_target("Python: kalmex.regionseg, camera 256^2, against felzenszwalb", "py.rs.camera256",
               "py.peer.skimage.felzenszwalb.camera256", "felzenszwalb, same process", 10)
speedup_target("Python: kalmex.regionseg, blurred noise 128^3, against watershed", "py.rs.bn3d128",
               "py.peer.skimage.watershed.bn3d128", "watershed on Sobel, same process", 5)
q = summary(paired(series("py.core.camera256"), series("py.cpp.camera256"),
                   lambda x, y: 100 * (x / y - 1)))
if q is None:
    target("Python: kalmex.regionseg_core call overhead, camera 256^2", "not measured", "",
           "<= 5 %", None)
else:
    target("Python: kalmex.regionseg_core call overhead, camera 256^2",
           "%+.1f %% (%+.1f..%+.1f)" % q, "the same run timed in C++ %.2f ms"
           % (1e3 * med("py.cpp.camera256")), "<= 5 %", q[0] <= 5)
speedup_target("Python: regionseg_many, 64 images 512^2, 2 workers against 1 (wall)",
               "py.dask.w2.64", "py.dask.w1.64", "1 worker", 1.7)
# Snapshots at the cost of their bytes: what the stack adds to a labels-only
# call against writing the same bytes into a fresh host array of the
# stack's size, measured beside it in the same run.
for image, label in (("camera256", "camera 256^2"), ("blobs64", "blobs 64^3")):
    for c in range(1, 6):
        for mode, word in (("seq", "sequential"), ("par", "parallel")):
            seg = "%s_c%d_%s" % (image, c, mode)
            s, l, f = (series("emb.rs.%s.snap" % seg), series("emb.rs.%s.labels" % seg),
                       series("emb.stream.snapfresh.%s" % seg))
            name = "snapshots: %s, criterion %d, %s: (with - labels only) / fresh array" % (
                label, c, word)
            if not (s and l and f):
                target(name, "not measured", "", "<= 1.5", None)
                continue
            n = max(len(s), len(l), len(f))
            q = summary([(s[i % len(s)] - l[i % len(l)]) / f[i % len(f)] for i in range(n)])
            target(name, "%.2f (%.2f..%.2f); %.2f ms more than labels only (%s slices)" % (
                q[0], q[1], q[2], 1e3 * (statistics.median(s) - statistics.median(l)),
                meta.get(seg, {}).get("snapshots", "?")),
                "the stack's bytes into a fresh host array %.2f ms" % (1e3 * statistics.median(f)),
                "<= 1.5", q[0] <= 1.5)


# The targets of the threads: wall times, two threads against one (or
# against two threads streaming the same bytes), with the one-minute load
# average of the machine when the threaded runs ran (2 cores: a load above
# 1 leaves the second thread less than a core of its own).
def load_of(key):
    v = wall_series(key)
    return "load %.1f..%.1f" % (min(v), max(v)) if v else "load not recorded"


def thread_target(name, ours_key, ref_key, ref_label, limit, faster, load_key):
    o, r = wall_series(ours_key), wall_series(ref_key)
    q = summary(paired(o, r, (lambda x, y: y / x) if faster else (lambda x, y: x / y)))
    if q is None:
        target(name, "not measured", ref_label, limit, None)
        return
    oc, rc = series(ours_key), series(ref_key)
    cpu = " (CPU %.1f vs %.1f ms)" % (1e3 * statistics.median(oc), 1e3 * statistics.median(rc))
    word = "x faster" if faster else "x"
    target(name, "%.2f%s (%.2f..%.2f); wall %.1f ms%s" % (
        q[0], word, q[1], q[2], 1e3 * statistics.median(o), cpu),
           "%s %.1f ms; %s" % (ref_label, 1e3 * statistics.median(r), load_of(load_key)),
           (">= %gx" if faster else "<= %gx") % limit, q[0] >= limit if faster else q[0] <= limit)


thread_target("threads: edgethin 4096^2 pass, 2 threads vs a 2-thread stream of its bytes",
              "emb.edgethin.core.t2", "emb.stream.edge.t2", "2-thread stream", 1.2, False,
              "emb.load.edgethin.t2")
thread_target("threads: edgethin 4096^2 pass, 2 threads vs 1", "emb.edgethin.core.t2",
              "emb.edgethin.core", "its pass on 1 thread", 1.6, True, "emb.load.edgethin.t2")
thread_target("threads: edgethin 4096^2 gateway (embedded host), 2 threads vs 1",
              "emb.edgethin.gateway.t2", "emb.edgethin.gateway", "the gateway on 1 thread", 1.0,
              True, "emb.load.edgethin.t2")
thread_target("threads: edgethin 4096^2 in Octave, 2 threads vs 1", "oct.edgethin.4096.t2",
              "oct.edgethin.4096", "Octave on 1 thread", 1.0, True, "oct.load.edgethin.4096.t2")
thread_target("threads: regionseg_core blurred noise 128^3, 2 threads vs 1",
              "emb.rs.bn3d128_c1_m0_t2.labels", "emb.rs.bn3d128_c1_m0.labels", "1 thread", 1.25,
              True, "emb.load.rs.bn3d128_c1_m0_t2")
thread_target("threads: regionseg_core blurred noise 128^3 in Octave, 2 threads vs 1",
              "oct.rs.bn3d128_c1.labels.t2", "oct.rs.bn3d128_c1.labels", "1 thread", 1.25, True,
              "oct.load.rs.bn3d128_c1.labels.t2")
thread_target("threads: regionseg_core photograph 4096^2, 2 threads vs 1",
              "emb.rs.camera4096_c1_t2.labels", "emb.rs.camera4096_c1.labels", "1 thread", 1.25,
              True, "emb.load.rs.camera4096_c1_t2")

print()
print("Targets of the scale work (CPU time, medians over repetitions; the threads' in wall time):")
th = ["target", "figure", "peer", "limit", "met"]
tw = [max(len(str(x)) for x in col) for col in zip(th, *targets)]
for line in [th] + targets:
    print("  ".join(str(x).ljust(w) for x, w in zip(line, tw)))

os.makedirs(out_dir, exist_ok=True)
with open(os.path.join(out_dir, "bench.csv"), "w", newline="") as f:
    w = csv.DictWriter(f, fieldnames=list(rows[0].keys()) if rows else ["target"])
    w.writeheader()
    for r in rows:
        w.writerow(r)
with open(os.path.join(out_dir, "memory.csv"), "w", newline="") as f:
    w = csv.writer(f)
    w.writerow(mh)
    w.writerows(mem_rows)
with open(os.path.join(out_dir, "targets.csv"), "w", newline="") as f:
    w = csv.writer(f)
    w.writerow(th)
    w.writerows(targets)

try:
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
except ImportError:
    print("matplotlib missing: no chart")
    sys.exit(0)

shown = [r for r in rows if r["ratio"] is not None]
if shown:
    fig, ax = plt.subplots(figsize=(10, 0.28 * len(shown) + 1.5))
    y = list(range(len(shown)))
    med = [r["ratio"] for r in shown]
    err = [[r["ratio"] - r["ratio_min"] for r in shown], [r["ratio_max"] - r["ratio"] for r in shown]]
    colours = ["tab:red" if r["met"] == "NO" else "tab:green" if r["met"] == "yes" else "tab:grey"
               for r in shown]
    ax.barh(y, med, xerr=err, color=colours, capsize=2)
    ax.set_yticks(y)
    ax.set_yticklabels(["[%s] %s / %s" % (r["target"], r["case"], r["against"]) for r in shown],
                       fontsize=6)
    ax.invert_yaxis()
    ax.set_xscale("log")
    ax.axvline(1.0, color="black", linewidth=0.5)
    ax.set_xlabel("ratio, CPU time (target 2: speed-up over the peer); green met, red missed")
    fig.tight_layout()
    fig.savefig(os.path.join(out_dir, "bench.png"), dpi=120)
print("\nWrote %s/bench.csv, memory.csv, targets.csv, bench.png" % out_dir)
