#!/usr/bin/env bash
# bench/tiffmend/syscalls.sh [BUILD_DIR]: the system calls of one tiffmend call
# on a 10,000-page palette TIFF, counted with strace -c, less those of a call
# on a one-page file (loading and set-up), per directory.
set -eu
build=${1:-build}
bench=$build/bin/tiffmend_bench
if ! command -v strace >/dev/null 2>&1; then
  echo "Installing strace"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q && apt-get install -y -q --no-install-recommends strace
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
pages=10000
"$bench" --make "$work/one.tif" 1
"$bench" --make "$work/many.tif" "$pages"
strace -c -o "$work/one.txt" "$bench" --repair "$work/one.tif" >/dev/null
strace -c -o "$work/many.txt" "$bench" --repair "$work/many.tif"
echo "file: $pages pages, $(stat -c %s "$work/many.tif") bytes"
awk -v pages="$pages" '
  # strace -c lines: % time, seconds, usecs/call, calls, [errors,] syscall
  $NF ~ /^[a-z_0-9]+$/ && $4 ~ /^[0-9]+$/ && $NF != "total" {
    if (FILENAME ~ /one.txt$/) { one[$NF] = $4 } else { many[$NF] = $4 }
  }
  END {
    printf "%-12s %10s %8s %14s\n", "syscall", pages " pages", "1 page", "per directory"
    for (s in many) {
      d = many[s] - one[s]; total += d
      if (d != 0) printf "%-12s %10d %8d %14.3f\n", s, many[s], one[s], d / (pages - 1)
    }
    printf "%-12s %10s %8s %14.3f\n", "all", "", "", total / (pages - 1)
  }' "$work/one.txt" "$work/many.txt"
