#!/usr/bin/env bash
# setup_test.sh SETUP_SCRIPT
# Runs the set-up script with a fake dpkg-query (installed: the names in
# $work/installed), a fake id (uid from $FAKE_UID) and a fake apt-get that
# only records its calls.
set -u
setup=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/bin"
cat > "$work/bin/dpkg-query" << 'FAKE'
#!/bin/sh
for name; do :; done
grep -qx "$name" "$FAKE_DIR/installed" && { printf 'install ok installed'; exit 0; }
echo "dpkg-query: no packages found matching $name" >&2
exit 1
FAKE
cat > "$work/bin/id" << 'FAKE'
#!/bin/sh
echo "$FAKE_UID"
FAKE
cat > "$work/bin/apt-get" << 'FAKE'
#!/bin/sh
echo "$DEBIAN_FRONTEND $*" >> "$FAKE_DIR/apt.log"
FAKE
chmod +x "$work/bin/"*
export PATH="$work/bin:$PATH" FAKE_DIR=$work FAKE_UID=1000

failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}
run() { # run PURPOSE...: output in $out, stderr in $err, status in $rc
  : > "$work/apt.log"
  out=$("$setup" "$@" 2> "$work/err")
  rc=$? err=$(cat "$work/err")
}
installed() { printf '%s\n' "$@" > "$work/installed"; }

# Nothing installed: the dry run lists each purpose's whole list.
installed
for purpose in demo test ci; do
  run --dry-run $purpose
  [[ $rc == 0 ]] || fail "dry run $purpose: status $rc"
  printf '%s\n' "$out" | sort > "$work/all_$purpose"
done
for name in cmake libtiff-dev libgtest-dev libpng-dev; do
  for purpose in demo test ci; do
    grep -qx $name "$work/all_$purpose" || fail "$purpose does not need $name"
  done
done
grep -qx octave "$work/all_demo" && fail "the demo needs Octave"
for name in octave liboctave-dev octave-parallel clang-format; do
  grep -qx $name "$work/all_test" || fail "test does not need $name"
done
comm -23 "$work/all_test" "$work/all_ci" | grep -q . && fail "ci lacks some of test's packages"
grep -qx clang "$work/all_ci" || fail "ci (the fuzzers) does not need clang"
[[ -s $work/apt.log ]] && fail "a dry run called apt-get"

# Whatever is installed, the dry run lists exactly the rest, for every mix.
sort -u "$work"/all_* > "$work/everything"
mapfile -t everything < "$work/everything"
for seed in 1 2 3 4; do
  RANDOM=$seed
  have=()
  for name in "${everything[@]}"; do ((RANDOM % 2)) && have+=("$name"); done
  installed "${have[@]}"
  run --dry-run test demo
  expected=$(sort -u "$work/all_test" "$work/all_demo" | grep -vxF -f "$work/installed")
  [[ $(printf '%s\n' "$out" | sort) == "$expected" ]] || fail "dry run with ${have[*]} installed: $out"
done

# Not root, something missing: one message naming the packages and the
# command, status 1, no apt-get.
installed cmake libpng-dev
run demo
[[ $rc == 1 ]] || fail "missing as a user: status $rc"
[[ $err == *"libtiff-dev"*"libgtest-dev"* && $err == *"apt-get install --no-install-recommends"* ]] ||
  fail "missing as a user: $err"
[[ $err == *cmake* ]] && fail "the message names an installed package: $err"
[[ -s $work/apt.log ]] && fail "apt-get called as a user"

# Root: update, then a non-interactive install of only what is missing.
export FAKE_UID=0
installed $(grep -vx -e libtiff-dev -e octave "$work/all_test")
run test
[[ $rc == 0 ]] || fail "install as root: status $rc"
[[ $(cat "$work/apt.log") == "noninteractive update -q"$'\n'"noninteractive install -y -q --no-install-recommends libtiff-dev octave" ]] ||
  fail "install as root: $(cat "$work/apt.log")"

# Root, nothing missing: nothing run, nothing said.
installed $(cat "$work/all_ci")
run ci
[[ $rc == 0 && -z $out && -z $err && ! -s $work/apt.log ]] || fail "nothing missing: $rc, $out, $err"

# Usage errors.
for args in "" "--dry-run" "tests" "demo --yes"; do
  run $args
  [[ $rc == 2 && $err == usage:* ]] || fail "usage '$args': status $rc"
done

# make demo and make test run it for their purpose before configuring; a
# plain make build does not.
root=$(cd "$(dirname "$setup")/.." && pwd)
for target in demo test; do
  first=$(make -n -C "$root" BUILD="$work/build" $target 2> /dev/null | grep -m1 -E 'setup\.sh|cmake')
  [[ $first == "tools/setup.sh $target" ]] || fail "make $target begins with: $first"
done
make -n -C "$root" BUILD="$work/build" build 2> /dev/null | grep -q setup.sh && fail "make build runs setup.sh"

((failures == 0)) && echo "setup.sh: all checks passed"
exit $((failures > 0))
