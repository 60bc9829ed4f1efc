#!/usr/bin/env bash
# bench/run.sh BUILD_DIR: the side-by-side benchmarks, then every Google
# Benchmark executable that the build made.
#
# The peers are Debian packages installed here, and only here (never by the
# tests or CI): octave-image, python3-skimage, python3-opencv,
# python3-matplotlib (for the chart) and libtiff-tools.  Results go to
# BUILD_DIR/bench-results: raw samples, bench.csv, memory.csv, bench.png.
#
#   KALMEX_BENCH_REPS=5        repetitions of every case (medians, min, max)
#   KALMEX_BENCH_MIN_TIME=0.2  CPU seconds of calls per repetition
#   KALMEX_BENCH_BIG_REPS=1    repetitions of the large cases (one call each)
#   KALMEX_BENCH_SCALE=0       leave out the scale cases (blurred noise up to
#                              256^3 and 4096^2, the 4096^2 photograph)
#   KALMEX_BENCH_MICRO=0       skip the Google Benchmark executables
set -eu
build=${1:-build}
here=$(cd "$(dirname "$0")" && pwd)
reps=${KALMEX_BENCH_REPS:-5}
out=$build/bench-results
data=$out/images
py=/usr/bin/python3
status=0

peers="octave-image python3-skimage python3-opencv python3-matplotlib python3-scipy libtiff-tools"
missing=""
for p in $peers; do
  dpkg -s "$p" >/dev/null 2>&1 || missing="$missing $p"
done
if [ -n "$missing" ]; then
  echo "== installing the peers:$missing"
  export DEBIAN_FRONTEND=noninteractive
  apt-get install -y -q --no-install-recommends $missing ||
    { apt-get update -q && apt-get install -y -q --no-install-recommends $missing; }
fi

mkdir -p "$out" "$data"
echo "== images"
"$py" "$here/compare/make_images.py" "$data"

tiff=""
if [ -x "$build/bin/tiffmend_bench" ]; then
  tiff=$out/palette10000.tif
  [ -f "$tiff" ] || "$build/bin/tiffmend_bench" --make "$tiff"
fi

echo "== ours and the bounds (embedded host)"
"$build/bin/compare_peers" "$data" "$out/raw_ours.csv" "$out/meta.csv" "$reps" $tiff
echo "== Octave: our Octave build and regionseg, the image package, the bound as a MEX file"
if command -v octave-cli >/dev/null && [ -f "$build/octave/regionseg_core.mex" ]; then
  # toolbox/ last: its help-only regionseg_core.m must not hide the module.
  octave-cli --norc --no-gui --path "$build/octave:$build/bench-octave:$here/../toolbox" \
    "$here/compare/peers_octave.m" "$data" "$out/raw_octave.csv" "$reps" >/dev/null
else
  echo "(no Octave build: skipped)"
fi
echo "== scikit-image and OpenCV"
"$py" "$here/compare/peers_python.py" "$data" "$out/raw_python.csv" "$reps"

echo "== kalmex for Python, scikit-image in the same process"
if [ -f "$build/python/kalmex/__init__.py" ]; then
  KALSEG=$build/bin/kalseg PYTHONPATH=$build/python "$py" "$here/compare/kalmex_python.py" "$data" "$out/raw_kalmex.csv" "$reps"
else
  echo "(no Python package built: skipped)"
fi

echo "== table"
"$py" "$here/compare/report.py" "$out" "$out/raw_ours.csv" "$out/raw_octave.csv" \
  "$out/raw_python.csv" "$out/raw_kalmex.csv" --meta "$out/meta.csv" --octave-meta "$out/raw_octave_meta.csv" |
  tee "$out/table.txt"

if [ "${KALMEX_BENCH_MICRO:-1}" != 0 ]; then
  for b in "$build"/bin/*_bench; do
    [ -x "$b" ] || continue
    echo "== $(basename "$b")"
    "$b" --benchmark_report_aggregates_only=true || status=1
  done
fi
exit $status
