#!/usr/bin/env bash
# bench/run.sh BUILD_DIR: runs every benchmark that the build made.
set -eu
build=${1:-build}
status=0
for b in "$build"/bin/*_bench; do
  [ -x "$b" ] || continue
  echo "== $(basename "$b")"
  "$b" --benchmark_report_aggregates_only=true || status=1
done
exit $status
