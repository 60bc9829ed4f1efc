#!/usr/bin/env python3
"""Turns the raw measurements of one bench run into the table, a CSV file and
a PNG bar chart.

  report.py OUT_DIR RAW_CSV... --meta META_CSV

Each raw line is key,rep,cpu_seconds,wall_seconds (time per call).  Ratios
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

samples = defaultdict(dict)  # key -> rep -> cpu seconds
for path in raw_paths:
    if not os.path.exists(path):
        continue
    with open(path) as f:
        for line in f:
            parts = line.strip().split(",")
            if len(parts) == 4:
                samples[parts[0]][int(parts[1])] = float(parts[2])

meta = {}
if os.path.exists(meta_path):
    with open(meta_path) as f:
        for row in csv.DictReader(f):
            meta[row["case"]] = row


def series(key):
    reps = samples.get(key, {})
    return [reps[r] for r in sorted(reps)]


def paired(a, b, f):
    """f(a_i, b_i) over repetitions; the shorter series is cycled."""
    if not a or not b:
        return []
    n = max(len(a), len(b))
    return [f(a[i % len(a)], b[i % len(b)]) for i in range(n)]


def summary(values):
    return (statistics.median(values), min(values), max(values)) if values else None


rows = []  # dicts of the final table


def add(target, case, ours, ref, ref_label, ratios, limit, better, seg=None):
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
        "ratio": q[0] if q else None, "ratio_min": q[1] if q else None,
        "ratio_max": q[2] if q else None,
        "limit": ("<= %g" % limit if better == "le" else ">= %g" % limit) if limit else "",
        "met": met,
        "peak_bytes": m.get("peak_bytes", ""), "blocks": m.get("records", ""),
        "regions": m.get("regions", ""), "snapshots": m.get("snapshots", ""),
    })


def time_row(target, case, ours_key, ref_key, ref_label, limit=None, better="le", seg=None):
    o, r = series(ours_key), series(ref_key)
    add(target, case, o, r, ref_label, paired(o, r, lambda x, y: x / y), limit, better, seg)


def speedup_row(target, case, ours_key, ref_key, ref_label, limit, seg=None):
    """Ratio peer / ours: how many times faster we are."""
    o, r = series(ours_key), series(ref_key)
    add(target, case, o, r, ref_label, paired(o, r, lambda x, y: y / x), limit, "ge", seg)


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


header = ["target", "case", "ours ms", "against", "theirs ms", "ratio (min..max)", "limit", "met",
          "peak", "blocks", "regions", "snaps"]
lines = []
for r in rows:
    if r["ratio"] is None:
        continue
    lines.append([
        r["target"], r["case"],
        fmt(r["ours_ms"], ".3f"), r["against"], fmt(r["ref_ms"], ".3f"),
        "%.3g (%.3g..%.3g)" % (r["ratio"], r["ratio_min"], r["ratio_max"]), r["limit"], r["met"],
        r["peak_bytes"], r["blocks"], r["regions"], r["snapshots"],
    ])
widths = [max(len(str(x)) for x in col) for col in zip(header, *lines)] if lines else []
print("CPU time per call, median over repetitions; ratios per repetition (median, min..max).")
print("Target 2 ratios are speed-ups (theirs / ours); the others are ours / theirs.")
for line in [header] + lines:
    print("  ".join(str(x).ljust(w) for x, w in zip(line, widths)))

# 6. Memory: bytes per record and per adjacency against the measured peak.
print()
print("Peak memory of a labels-only call (counting allocator; output labels included):")
mem_rows = []
for seg in sorted(meta):
    m = meta[seg]
    voxels, records, cells = int(m["voxels"]), int(m["records"]), int(m["link_cells"])
    rec, link = int(m["record_bytes"]), int(m["link_bytes"])
    own = records * rec + cells * link + 2 * 4 * voxels  # records, cells, labels, painting buffer
    peak = int(m["peak_bytes"])
    mem_rows.append([seg, str(peak), str(records), str(cells // 2), str(rec), str(2 * link),
                     "%.1f" % ((peak - 8 * voxels) / max(1, records)), "%.2f" % (peak / own)])
mh = ["case", "peak bytes", "blocks", "adjacencies", "B/block", "B/adjacency",
      "peak-minus-images B/block", "peak / (records+cells+labels+buffer)"]
if mem_rows:
    mw = [max(len(x) for x in col) for col in zip(mh, *mem_rows)]
    for line in [mh] + mem_rows:
        print("  ".join(x.ljust(w) for x, w in zip(line, mw)))

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
print("\nWrote %s/bench.csv, memory.csv, bench.png" % out_dir)
