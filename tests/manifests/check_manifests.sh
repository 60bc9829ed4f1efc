#!/usr/bin/env bash
# check_manifests.sh SOURCE_ROOT BUILD_DIR
# The source manifests (FOLDER/NAME.sources) are the one list of each
# module's sources.  Fails unless
#  - every C++ source of a module folder is listed by a manifest there;
#  - CMake builds each target from exactly the files its manifest lists
#    (BUILD_DIR/manifests/TARGET.built, written when CMake configures);
#  - tools/octave_pkg/make_pkg.sh gives the package's Makefile exactly
#    those lists, and a module for every manifest.
# toolbox/build_mex.m is checked the same way by tests/toolbox/build_mex_test.m.
set -euo pipefail
root=$(cd "$1" && pwd)
build=$(cd "$2" && pwd)
folders="edgethin regionseg_core regionseg_front kalsettings tiffmend wrappers imagelib imagebridge"
failed=0
fail() {
  echo "check_manifests: $*" >&2
  failed=1
}

# The files a manifest lists, prefixed with PREFIX (FOLDER/../ taken out),
# sorted.
listed() { # MANIFEST PREFIX
  sed -e 's/^[[:space:]]*#.*//' -e 's/[[:space:]]//g' "$1" | grep -v '^$' |
    sed -e "s|^|$2|" -e 's|[^/]*/\.\./||' | sort
}

for dir in $folders; do
  [[ -d $root/$dir ]] || continue
  for f in "$root/$dir"/*.cpp; do
    name=$(basename "$f")
    if ! grep -qsx "[[:space:]]*$name[[:space:]]*" "$root/$dir"/*.sources; then
      fail "$dir/$name is in no manifest of $dir/"
    fi
  done
done

shopt -s nullglob
built=("$build"/manifests/*.built)
[[ ${#built[@]} -gt 0 ]] || fail "CMake recorded no target in $build/manifests"
for record in "${built[@]}"; do
  manifest=$(head -n 1 "$record")
  want=$(listed "$manifest" "$(dirname "$manifest")/")
  got=$(tail -n +2 "$record" | grep -v '^$' | grep -vx "$root/host/mexutil.cpp" |
    grep -vx "$root/common/machine.cpp" | sort)
  [[ $want == "$got" ]] || fail "$(basename "$record" .built) is built from
$got
but ${manifest#"$root"/} lists
$want"
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$root/tools/octave_pkg/make_pkg.sh" "$root" "$work" > /dev/null
tar -C "$work" -xzf "$work"/kalmex-*.tar.gz
mk=$(echo "$work"/kalmex-*/src/modules.mk)
# The words of a variable of modules.mk, one a line, sorted.
words() { sed -n "s/^$1 := //p" "$mk" | tr ' ' '\n' | grep -v '^$' | sort; }
[[ $(words KAL_SOURCES) == "$(listed "$root/imagelib/kal.sources" imagelib/)" ]] ||
  fail "the package builds libkal from $(words KAL_SOURCES | tr '\n' ' ')"
[[ $(words BRX_SOURCES) == "$(listed "$root/imagebridge/brx.sources" imagebridge/)" ]] ||
  fail "the package builds libbrx from $(words BRX_SOURCES | tr '\n' ' ')"
expected_modules=""
for manifest in "$root"/{edgethin,regionseg_core,regionseg_front,kalsettings,tiffmend,wrappers}/*.sources; do
  module=$(basename "$manifest" .sources)
  dir=$(basename "$(dirname "$manifest")")
  expected_modules+="$module"$'\n'
  [[ $(words "${module}_SOURCES") == "$(listed "$manifest" "$dir/")" ]] ||
    fail "the package builds $module from $(words "${module}_SOURCES" | tr '\n' ' ')"
done
[[ $(words MODULES) == "$(sort <<< "${expected_modules%$'\n'}")" ]] ||
  fail "the package has the modules $(words MODULES | tr '\n' ' ')"
exit $failed
