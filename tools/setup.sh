#!/usr/bin/env bash
# tools/setup.sh [--dry-run] PURPOSE...
# Makes sure the Debian packages that PURPOSE needs are installed; PURPOSE is
# demo (`make demo`), test (`make test`) or ci (`.ci/run`: the tests, the
# fuzzers and the sanitizer runs).  Only what is missing is installed: as
# root with apt-get (update first, no questions); otherwise the script stops
# with the list and the command to run.  --dry-run prints the missing
# packages, one a line, and changes nothing.
set -euo pipefail

# The one list.  Each package with the purposes that need it.
packages='
build-essential    demo test ci
cmake              demo test ci
pkg-config         demo test ci
git                demo test ci
libpng-dev         demo test ci
libtiff-dev        demo test ci
libgtest-dev       demo test ci
libgmock-dev       demo test ci
python3-skimage    demo          (the "camera" photograph of the demo)
clang-format       test ci
octave             test ci
liboctave-dev      test ci
octave-parallel    test ci       (parcellfun, for the scale-out recipe)
gnuplot-nox        test ci       (a graphics toolkit for the demos in octave-cli)
fonts-freefont-otf test ci       (the font Octave draws text with)
pybind11-dev       test ci       (the Python package kalmex)
python3-dev        test ci
python3-numpy      test ci
python3-pytest     test ci
python3-setuptools test ci       (pip install of python/)
python3-pip        test ci
python3-wheel      test ci       (the wheel that pip builds of python/)
python3-venv       test ci
python3-dask       test ci       (kalmex.dask)
python3-distributed test ci
python3-tqdm       test ci       (progress bars in the Python package)
python3-pil        test ci       (TIFF files of other libraries: tiffmend and the readers)
python3-tifffile   test ci
libbenchmark-dev   ci
libtiff-tools      ci
clang              ci            (libFuzzer, for the fuzzers)
'

usage() {
  echo "usage: tools/setup.sh [--dry-run] demo|test|ci..." >&2
  exit 2
}

dry=0
purposes=()
for arg in "$@"; do
  case $arg in
    --dry-run) dry=1 ;;
    demo | test | ci) purposes+=("$arg") ;;
    *) usage ;;
  esac
done
((${#purposes[@]})) || usage

needed=()
while read -r name uses; do
  [[ -n $name ]] || continue
  for p in "${purposes[@]}"; do
    if [[ " ${uses%%(*} " == *" $p "* ]]; then
      needed+=("$name")
      break
    fi
  done
done <<< "$packages"

if ! command -v dpkg-query > /dev/null; then
  ((dry == 0)) || printf '%s\n' "${needed[@]}"
  echo "setup: not a Debian system (no dpkg-query); make sure these or their equivalents are" \
       "installed: ${needed[*]}" >&2
  exit 0
fi

missing=()
for name in "${needed[@]}"; do
  dpkg-query -W -f='${Status}' "$name" 2> /dev/null | grep -q 'install ok installed' || missing+=("$name")
done

if ((dry)); then
  ((${#missing[@]} == 0)) || printf '%s\n' "${missing[@]}"
  exit 0
fi
((${#missing[@]})) || exit 0

if [[ $(id -u) != 0 ]]; then
  cat >&2 << EOF
setup: ${purposes[*]} needs Debian packages that are not installed: ${missing[*]}
Install them as root, then run the same command again:
  sudo apt-get update && sudo apt-get install --no-install-recommends ${missing[*]}
EOF
  exit 1
fi

echo "setup: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -q
apt-get install -y -q --no-install-recommends "${missing[@]}"
