#!/usr/bin/env bash
# failures_octave_test.sh OCTAVE_CLI MEX_DIR TOOLBOX_DIR
# A segmentation in octave-cli that is interrupted or that memory runs short
# for.  SIGINT 0.3 s into a call of regionseg_core or regionseg of several
# seconds ends the call with kalmex:regionseg_core:interrupted (caught in the
# script), and the module's next call runs whole; fails when Octave has not
# ended 30 s after the signal.  Under an address-space limit with room for Octave and the
# image but not for the run, regionseg ends with
# kalmex:regionseg_core:outOfMemory and the run's own message.
set -eu
abs() { (cd "$1" && pwd); }
octave=$1 mexdir=$(abs "$2") toolbox=$(abs "$3")
work=$(mktemp -d)
pid=
trap '[ -n "$pid" ] && kill -KILL "$pid" 2>/dev/null; rm -rf "$work"' EXIT
# interrupted CALL: octave-cli runs the call on a random 128^3 volume IM,
# SIGINT comes 0.3 s into it; the call must end with the interrupt's
# identifier, and the module's next call must run whole.
interrupted() {
  cat > "$work/interrupted.m" <<SCRIPT
addpath('$toolbox'); addpath('$mexdir');
rand('seed', 3);
im = int32(floor(256 * rand(128, 128, 128)));
printf('start\n'); fflush(stdout);
try
  $1;
  printf('finished\n');
catch err
  printf('%s\n', err.identifier);
end
labels = regionseg_core(int32([zeros(8, 4), 200 * ones(8, 4)]), 3, 3, 1, 0, 1, 0, 1, 10, 0, 0, 1, 0, 0, 0);
printf('then %d regions\n', numel(unique(labels)));
SCRIPT
  "$octave" --no-gui -q "$work/interrupted.m" > "$work/out.txt" 2>&1 &
  pid=$!
  for _ in $(seq 600); do grep -q '^start' "$work/out.txt" && break; sleep 0.05; done
  sleep 0.3
  kill -INT "$pid"
  for _ in $(seq 600); do kill -0 "$pid" 2>/dev/null || break; sleep 0.05; done
  if kill -0 "$pid" 2>/dev/null; then
    echo "octave-cli still runs 30 s after SIGINT: $1"
    exit 1
  fi
  pid=
  if ! grep -q '^kalmex:regionseg_core:interrupted$' "$work/out.txt" ||
     ! grep -q '^then 2 regions$' "$work/out.txt"; then
    echo "$1:"
    cat "$work/out.txt"
    exit 1
  fi
}
cd "$work"
interrupted "regionseg_core(im, 7, 0, 3, 0, 1, 0, 1, 20, 0, 0, 1, 0, 40, 0)"
interrupted "regionseg(uint8(im), 'threshold', 20, 'min_region_size', 40)"

cat > "$work/short.m" <<SCRIPT
addpath('$toolbox'); addpath('$mexdir');
rand('seed', 3);
im = uint8(floor(256 * rand(128, 128, 128)));
try
  labels = regionseg(im, 'threshold', 20, 'min_region_size', 40);
  printf('labels\n');
catch err
  printf('%s\n%s\n', err.identifier, err.message);
end
SCRIPT
(ulimit -v 400000 && timeout 60 "$octave" --no-gui -q short.m > short.txt 2>&1) || true
if ! grep -q '^kalmex:regionseg_core:outOfMemory$' short.txt ||
   ! grep -q '^Out of memory during ' short.txt; then
  cat short.txt
  exit 1
fi
