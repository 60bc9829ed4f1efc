#!/usr/bin/env bash
# interrupt_octave_test.sh OCTAVE_CLI MEX_DIR TOOLBOX_DIR
# Ctrl-C in Octave: SIGINT to octave-cli 0.3 s into a regionseg_core call of
# several seconds ends the call with kalmex:regionseg_core:interrupted
# (caught in the script), and the module's next call runs whole.  Fails when
# Octave has not ended 30 s after the signal.
set -eu
abs() { (cd "$1" && pwd); }
octave=$1 mexdir=$(abs "$2") toolbox=$(abs "$3")
work=$(mktemp -d)
pid=
trap '[ -n "$pid" ] && kill -KILL "$pid" 2>/dev/null; rm -rf "$work"' EXIT
cat > "$work/interrupted.m" <<SCRIPT
addpath('$toolbox'); addpath('$mexdir');
rand('seed', 3);
im = int32(floor(256 * rand(128, 128, 128)));
printf('start\n'); fflush(stdout);
try
  regionseg_core(im, 7, 0, 3, 0, 1, 0, 1, 20, 0, 0, 1, 0, 40, 0);
  printf('finished\n');
catch err
  printf('%s\n', err.identifier);
end
labels = regionseg_core(int32([zeros(8, 4), 200 * ones(8, 4)]), 3, 3, 1, 0, 1, 0, 1, 10, 0, 0, 1, 0, 0, 0);
printf('then %d regions\n', numel(unique(labels)));
SCRIPT
cd "$work"
"$octave" --no-gui -q interrupted.m > out.txt 2>&1 &
pid=$!
for _ in $(seq 600); do grep -q '^start' out.txt && break; sleep 0.05; done
sleep 0.3
kill -INT "$pid"
for _ in $(seq 600); do kill -0 "$pid" 2>/dev/null || break; sleep 0.05; done
if kill -0 "$pid" 2>/dev/null; then
  echo "octave-cli still runs 30 s after SIGINT"
  exit 1
fi
pid=
if ! grep -q '^kalmex:regionseg_core:interrupted$' out.txt || ! grep -q '^then 2 regions$' out.txt; then
  cat out.txt
  exit 1
fi
