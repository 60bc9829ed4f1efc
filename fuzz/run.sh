#!/usr/bin/env bash
# fuzz/run.sh BUILD_DIR SECONDS [SEED]: runs every fuzzer of a KALMEX_FUZZ
# build for SECONDS each, growing a working corpus from the committed seeds.
# With SEED the mutations are repeatable (CI uses one, so a run explores the
# same inputs each time, cut only by the time limit).  A crash leaves its
# input in BUILD_DIR/crashes/NAME/ and makes the script fail: copy it to
# fuzz/regressions/NAME/ once the fault is fixed.
set -u
build=$1 seconds=${2:-60} seed=${3:-}
seedopt=()
[ -n "$seed" ] && seedopt=(-seed="$seed")
here=$(cd "$(dirname "$0")" && pwd)
status=0
for fuzzer in "$build"/bin/*_fuzz; do
  [ -x "$fuzzer" ] || continue
  name=$(basename "$fuzzer")
  work="$build/corpus/$name" crashes="$build/crashes/$name"
  mkdir -p "$work" "$crashes"
  echo "== $name for ${seconds}s"
  KALMEX_MODULE_DIR="$build/modules" "$fuzzer" -max_total_time="$seconds" -timeout=10 \
    -rss_limit_mb=4096 -print_final_stats=1 -artifact_prefix="$crashes/" "${seedopt[@]}" \
    "$work" "$here/corpus/$name" >"$build/$name.log" 2>&1
  rc=$?
  grep -E '^(#[0-9]+ +DONE|stat::number_of_executed_units|==|SUMMARY|kalfuzz|.*unexpected)' \
    "$build/$name.log" || true
  if [ "$rc" -ne 0 ] || [ -n "$(ls -A "$crashes")" ]; then
    echo "$name: failed (exit $rc); log in $build/$name.log, inputs in $crashes"
    status=1
  fi
done
exit $status
