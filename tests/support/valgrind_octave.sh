#!/usr/bin/env bash
# valgrind_octave.sh OCTAVE ARGS...: runs Octave under valgrind's memcheck
# (used by make test-valgrind through KALMEX_OCTAVE_WRAPPER).  Octave itself
# reports many errors of its own under memcheck, so only errors and leaks
# whose stacks run through our files (the MEX files, libkal, libbrx) count:
# they are printed and fail the test.  The whole log is kept in
# $KALMEX_VALGRIND_LOGS (default: a temporary folder).
set -u
root=$(cd "$(dirname "$0")/../.." && pwd)
logs=${KALMEX_VALGRIND_LOGS:-$(mktemp -d)}
mkdir -p "$logs"
log="$logs/$(date +%s).$$.log"
valgrind --tool=memcheck --error-limit=no --leak-check=full --show-leak-kinds=definite \
  --errors-for-leak-kinds=definite --num-callers=40 --keep-debuginfo=yes --fullpath-after= --log-file="$log" "$@"
status=$?
# An error record is a run of "==PID== " lines up to a line holding only
# the prefix; it is ours when a frame lies in a MEX file (a .mex file, or
# mexFunction), in our libraries or in our sources.
ours=$(awk -v root="$root/" '
  /^==[0-9]+== *$/ { if (block != "" && mine) print block "\n"; block = ""; mine = 0; next }
  /^==[0-9]+== / { block = block "\n" $0
                   if ($0 ~ /(\.mex|\/libkal\.so|\/libbrx\.so)\)/ || $0 ~ /: mexFunction / ||
                       index($0, "(" root) > 0) mine = 1 }
  END { if (block != "" && mine) print block }' "$log")
if [ -n "$ours" ]; then
  echo "valgrind: errors in our code (log: $log)"
  echo "$ours"
  exit 1
fi
echo "valgrind: no errors in our code (log: $log)"
exit $status
