#!/usr/bin/env bash
# make_pkg.sh SOURCE_ROOT OUTPUT_DIR
# Assembles the Octave package kalmex-VERSION.tar.gz in OUTPUT_DIR from the
# source tree: DESCRIPTION, INDEX, COPYING, NEWS, src/ with the sources of
# every module present and a Makefile that builds them with mkoctfile --mex,
# and inst/ with the MATLAB-side functions.  A module whose sources are not
# in the tree is left out (with a note), so the package always builds.
set -euo pipefail

root=$(cd "$1" && pwd)
mkdir -p "$2"
out=$(cd "$2" && pwd)
here=$(cd "$(dirname "$0")" && pwd)

version=$(sed -n 's/^project(kalmex VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
[[ -n $version ]] || { echo "make_pkg.sh: no version in $root/CMakeLists.txt" >&2; exit 1; }
name=kalmex-$version

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
pkg=$work/$name
mkdir -p "$pkg/src/host" "$pkg/src/common" "$pkg/src/help" "$pkg/inst"

# The sources that a module's manifest FOLDER/NAME.sources lists (one file a
# line, # for comments, @OTHER.sources for the files of that manifest), as
# paths from FOLDER; fails when there is no manifest.  A name without its
# file is noted and passed over.
sources_of() { # FOLDER NAME
  local dir=$1 manifest=$root/$1/$2.sources f found="" where taken s
  [[ -f $manifest ]] || return 1
  for f in $(sed -e 's/^[[:space:]]*#.*//' "$manifest"); do
    if [[ $f == @* ]]; then
      f=${f#@}
      where=$(dirname "$f")
      if taken=$(sources_of "$dir/$where" "$(basename "$f" .sources)"); then
        for s in $taken; do
          if [[ $where == . ]]; then found+="$s "; else found+="$where/$s "; fi
        done
      else
        echo "make_pkg.sh: $dir/$2.sources takes in $f, which lists nothing; passed over" >&2
      fi
    elif [[ -f $root/$dir/$f ]]; then
      found+="$f "
    else
      echo "make_pkg.sh: $dir/$2.sources names $f, which is not there; passed over" >&2
    fi
  done
  [[ -n $found ]] || return 1
  echo "$found"
}

# FOLDER/NAME for every NAME after FOLDER (nothing for no NAME); a NAME in
# a sibling folder, ../OTHER/FILE, is OTHER/FILE.
prefix() {
  local dir=$1 f
  shift
  for f in "$@"; do
    if [[ $f == ../* ]]; then printf '%s ' "${f#../}"; else printf '%s/%s ' "$dir" "$f"; fi
  done
}

copy_folder() {
  local dir=$1
  mkdir -p "$pkg/src/$dir"
  cp "$root/$dir"/*.cpp "$pkg/src/$dir/"
  if compgen -G "$root/$dir/*.h" > /dev/null; then cp "$root/$dir"/*.h "$pkg/src/$dir/"; fi
}

cp "$root/host/mexutil.h" "$root/host/mexutil.cpp" "$pkg/src/host/"
cp "$root/common/machine.h" "$root/common/machine.cpp" "$root/common/threadpool.h" \
  "$root/common/fpcontract.h" "$root/common/sampleclasses.h" "$root/common/reasons.h" \
  "$root/common/status.h" \
  "$pkg/src/common/"
mk=$pkg/src/modules.mk
echo "# Written by make_pkg.sh: the modules in this package and their sources." > "$mk"
modules=()

add_module() { # NAME FOLDER SOURCES... (paths inside src/)
  local module=$1 dir=$2
  shift 2
  if [[ ! -f $root/toolbox/$module.m ]]; then
    echo "make_pkg.sh: $module has no help file toolbox/$module.m" >&2
    exit 1
  fi
  cp "$root/toolbox/$module.m" "$pkg/src/help/"
  modules+=("$module")
  echo "${module}_SOURCES := $*" >> "$mk"
  echo "${module}_INCLUDES := -I$dir" >> "$mk"
}

# The modules of modules.txt, one a line: NAME FOLDER [imagelib].
module_lines() { sed -e 's/^[[:space:]]*#.*//' "$root/modules.txt" | awk 'NF'; }
imagelib=""
if kal=$(sources_of imagelib kal) && brx=$(sources_of imagebridge brx); then imagelib=present; fi
copied=" "
while read -r module dir needs; do
  if ! list=$(sources_of "$dir" "$module"); then
    echo "make_pkg.sh: $module is not in the tree; left out"
    continue
  fi
  if [[ $needs == imagelib ]]; then
    # The image library and its bridge, once for every module that links them.
    if [[ -z $imagelib ]]; then
      echo "make_pkg.sh: the image library or its bridge are not in the tree; $module left out"
      continue
    fi
    if [[ $copied != *" imagelib "* ]]; then
      copy_folder imagelib
      copy_folder imagebridge
      echo "KAL_SOURCES := $(prefix imagelib $kal)" >> "$mk"
      echo "BRX_SOURCES := $(prefix imagebridge $brx)" >> "$mk"
      copied+="imagelib "
    fi
  fi
  if [[ $copied != *" $dir "* ]]; then
    copy_folder "$dir"
    copied+="$dir "
  fi
  add_module "$module" "$dir" $(prefix "$dir" $list)
  if [[ $needs == imagelib ]]; then
    echo "${module}_INCLUDES += -Iimagelib -Iimagebridge" >> "$mk"
    echo "${module}_IMAGELIB := yes" >> "$mk"
  fi
done < <(module_lines)
[[ ${#modules[@]} -gt 0 ]] || { echo "make_pkg.sh: no module present" >&2; exit 1; }
echo "MODULES := ${modules[*]}" >> "$mk"
cp "$here/Makefile.src" "$pkg/src/Makefile"

# MATLAB-side functions: everything in toolbox/ except the help files of the
# modules (they go beside the built modules) and the build script of the
# source tree, which the package does not need.
all_modules=" $(module_lines | awk '{ print $1 }' | tr '\n' ' ')"
inst=()
for f in "$root"/toolbox/*.m; do
  base=$(basename "$f" .m)
  [[ $all_modules == *" $base "* || $base == build_mex ]] && continue
  cp "$f" "$pkg/inst/"
  inst+=("$base")
done
# Their private helpers, beside them as in toolbox/.
if compgen -G "$root/toolbox/private/*.m" > /dev/null; then
  mkdir -p "$pkg/inst/private"
  cp "$root"/toolbox/private/*.m "$pkg/inst/private/"
fi

cat > "$pkg/DESCRIPTION" <<DESC
Name: kalmex
Version: $version
Date: $(date -u +%Y-%m-%d)
Author: The kalmex developers
Maintainer: The kalmex developers
Title: Image-analysis modules: segmentation, edge thinning, preferences, TIFF repair
Description: Eight compiled modules of an image-analysis toolbox: split-and-merge
 segmentation of 2-D and 3-D images (regionseg_core, with the front end
 regionseg and its compiled part regionseg_front), edge thinning by
 non-maximum suppression (edgethin), the toolbox's preferences (kalsettings),
 in-place repair of TIFF files that declare palette colour over RGB samples
 (tiffmend), sub-pixel maxima, rotation and minimum positions over our image
 library (kal_peakfit, kal_turnvolume, kal_troughfind).
License: see COPYING
Depends: octave (>= 7.0.0)
DESC

indexed=" "
category() { # TITLE NAMES...: an INDEX category with the names present
  local title=$1 line="" n
  shift
  for n in "$@"; do
    [[ " ${modules[*]} ${inst[*]} " == *" $n "* ]] && line+=" $n"
  done
  indexed+="$* "
  [[ -n $line ]] && printf '%s\n%s\n' "$title" "$line" >> "$pkg/INDEX"
  return 0
}
echo "kalmex >> Image analysis" > "$pkg/INDEX"
category "Segmentation" regionseg regionseg_core regionseg_front
category "Edges" edgethin
category "Preferences" kalsettings kal_getboundary kal_setboundary kal_gettruncation kal_settruncation
category "Files" tiffmend
category "Image library" kal_peakfit kal_turnvolume kal_troughfind
for module in "${modules[@]}"; do
  if [[ $indexed != *" $module "* ]]; then
    echo "make_pkg.sh: $module is in no INDEX category" >&2
    exit 1
  fi
done

if [[ -f $root/COPYING ]]; then cp "$root/COPYING" "$pkg/COPYING"; else cp "$here/COPYING" "$pkg/COPYING"; fi
cp "$here/NEWS" "$pkg/NEWS"

tar -C "$work" -czf "$out/$name.tar.gz.part" "$name"
mv "$out/$name.tar.gz.part" "$out/$name.tar.gz"
echo "wrote $out/$name.tar.gz (modules: ${modules[*]})"
