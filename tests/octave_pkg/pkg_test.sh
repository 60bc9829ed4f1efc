#!/usr/bin/env bash
# pkg_test.sh OCTAVE_CLI SOURCE_ROOT SCRIPT
# Makes the package, then runs SCRIPT in octave-cli to install, load and use
# it; everything happens in a fresh temporary folder.
set -eu
source "$(dirname "$0")/../support/octave_eval.sh"
octave=$1 root=$2 script=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
made=$("$root/tools/octave_pkg/make_pkg.sh" "$root" "$work/dist")
echo "$made"
modules=$(sed -n 's/.*(modules: \(.*\))$/\1/p' <<< "$made")
tarball=$(ls "$work"/dist/kalmex-*.tar.gz)
cd "$work"
octave_eval "kx_prefix = '$work/prefix'; kx_tarball = '$tarball'; kx_modules = strsplit('$modules', ' ');" \
  "run('$script')" "$octave"
