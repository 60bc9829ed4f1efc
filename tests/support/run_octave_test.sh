#!/usr/bin/env bash
# run_octave_test.sh OCTAVE_CLI MEX_DIR TOOLBOX_DIR HELPER_DIR SCRIPT
# Runs one Octave test script in a fresh temporary folder; a failed check or
# any error makes octave-cli exit non-zero.  The MEX folder goes on the path
# last, so it comes first: toolbox/ holds a help-only NAME.m for every module,
# which must not hide the module itself.  KALMEX_OCTAVE_WRAPPER, when set, is
# a command that runs Octave (make test-valgrind).
set -eu
source "$(dirname "$0")/octave_eval.sh"
abs() { (cd "$(dirname "$1")" && printf '%s/%s' "$(pwd)" "$(basename "$1")"); }
octave=$1 mexdir=$(abs "$2") toolbox=$(abs "$3") helpers=$(abs "$4") script=$(abs "$5")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
octave_eval "addpath('$toolbox'); addpath('$mexdir'); addpath('$helpers'); addpath('$(dirname "$script")');" \
  "source('$script')" ${KALMEX_OCTAVE_WRAPPER:-} "$octave"
