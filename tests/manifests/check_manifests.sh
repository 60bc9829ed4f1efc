#!/usr/bin/env bash
# check_manifests.sh SOURCE_ROOT BUILD_DIR
# modules.txt is the one list of modules, and the source manifests
# (FOLDER/NAME.sources) the one list of each module's sources.  Fails unless
#  - every manifest of a folder at the top is a module of modules.txt (or
#    the image library's imagelib/kal.sources, imagebridge/brx.sources, or
#    one that another manifest takes in with @FILE),
#    every folder at the top with a gateway (mexFunction) has one there,
#    and every module there has its manifest and its help file toolbox/NAME.m;
#  - every C++ source of a module folder is listed by a manifest there;
#  - CMake builds each target from exactly the files its manifest lists
#    (BUILD_DIR/manifests/TARGET.built, written when CMake configures);
#  - tools/octave_pkg/make_pkg.sh gives the package's Makefile exactly
#    those lists, and a module for every manifest;
#  - one file calls the front end's checks and run (segfront::checkValues,
#    segfront::segment) outside the tests, fuzz targets and benches: the one
#    calling sequence, regionseg_front/run.cpp, that every front door takes.
# toolbox/build_mex.m is checked the same way by tests/toolbox/build_mex_test.m.
set -euo pipefail
root=$(cd "$1" && pwd)
build=$(cd "$2" && pwd)
failed=0
fail() {
  echo "check_manifests: $*" >&2
  failed=1
}

# modules.txt as "NAME FOLDER" lines.
modules=$(sed -e 's/^[[:space:]]*#.*//' "$root/modules.txt" | awk 'NF { print $1, $2 }')
folders="$(awk '{ print $2 }' <<< "$modules" | sort -u | tr '\n' ' ')imagelib imagebridge"
shopt -s nullglob
# The manifests that others take in (@FILE), as FOLDER/NAME.
included=$(for manifest in "$root"/*/*.sources; do
  dir=$(basename "$(dirname "$manifest")")
  sed -n "s|^[[:space:]]*@[[:space:]]*|$dir/|p" "$manifest"
done | sed -e 's|[^/]*/\.\./||' -e 's|/\./|/|g' -e 's|\.sources[[:space:]]*$||')
for manifest in "$root"/*/*.sources; do
  name=$(basename "$manifest" .sources)
  dir=$(basename "$(dirname "$manifest")")
  [[ $dir/$name == imagelib/kal || $dir/$name == imagebridge/brx ]] && continue
  grep -qx "$dir/$name" <<< "$included" && continue
  grep -qx "$name $dir" <<< "$modules" || fail "$dir/$name.sources: $name is not in modules.txt"
done
for gateway in $(grep -l 'void mexFunction(' "$root"/*/*.cpp); do
  dir=$(basename "$(dirname "$gateway")")
  [[ " $folders " == *" $dir "* ]] || fail "$dir/ holds a gateway, but no module of modules.txt"
done
while read -r name dir; do
  [[ -f $root/$dir/$name.sources ]] || fail "modules.txt: $name has no manifest $dir/$name.sources"
  [[ -f $root/toolbox/$name.m ]] || fail "modules.txt: $name has no help file toolbox/$name.m"
done <<< "$modules"

# The files a manifest lists, prefixed with PREFIX (FOLDER/../ taken out),
# sorted; a line @OTHER stands for the files of the manifest OTHER.
listed() { # MANIFEST PREFIX
  local line
  sed -e 's/^[[:space:]]*#.*//' -e 's/[[:space:]]//g' "$1" | grep -v '^$' |
    while read -r line; do
      if [[ $line == @* ]]; then
        line=${line#@}
        listed "$(dirname "$1")/$line" "$2$(dirname "$line")/"
      else
        echo "$2$line"
      fi
    done | sed -e 's|/\./|/|g' -e 's|[^/]*/\.\./||' | sort
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
while read -r module dir; do
  [[ -f $root/$dir/$module.sources ]] || continue # said above
  [[ $(words "${module}_SOURCES") == "$(listed "$root/$dir/$module.sources" "$dir/")" ]] ||
    fail "the package builds $module from $(words "${module}_SOURCES" | tr '\n' ' ')"
done <<< "$modules"
[[ $(words MODULES) == "$(awk '{ print $1 }' <<< "$modules" | sort)" ]] ||
  fail "the package has the modules $(words MODULES | tr '\n' ' ')"
callers=$(cd "$root" && grep -rlE 'segfront::(segment|checkValues) *\(' --include='*.cpp' \
  --include='*.h' --exclude-dir=tests --exclude-dir=fuzz --exclude-dir=bench --exclude-dir='build*' \
  . | sed 's|^\./||' | sort)
[[ $callers == regionseg_front/run.cpp ]] ||
  fail "the front end's run is called from $(tr '\n' ' ' <<< "$callers")rather than regionseg_front/run.cpp alone"
exit $failed
