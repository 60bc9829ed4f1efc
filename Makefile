# Front door: configure, build, run the demo, the tests and the benchmarks.
BUILD ?= build
JOBS ?= 2
CMAKE_ARGS ?=
ifeq ($(CI),true)
  CMAKE_ARGS += -DKALMEX_WERROR=ON
endif

.PHONY: all configure build demo doc-pictures test test-sanitize test-tsan test-valgrind fuzz bench format \
  clean octave-pkg python

all: build

# `make demo` and `make test` first install what they need (tools/setup.sh;
# as root it installs what is missing, otherwise it names the packages and
# stops).  SETUP=none skips that; a plain `make build` never runs it.
demo: SETUP ?= demo
test: SETUP ?= test
configure:
	$(if $(filter-out none,$(SETUP)),tools/setup.sh $(SETUP))
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release $(CMAKE_ARGS)

build: configure
	cmake --build $(BUILD) -j$(JOBS)

# The main job on the embedded host; pictures land in $(BUILD)/demo: the
# edges of a generated image thinned, the same kind of image segmented, and
# kalseg on that image and, where Debian's python3-skimage put it, on the
# "camera" photograph.
CAMERA ?= /usr/lib/python3/dist-packages/skimage/data/camera.png
demo: build
	$(BUILD)/bin/kaldemo $(BUILD)/demo
	$(BUILD)/bin/kalseg --criterion scaled_variance --noise_sigma 6 --threshold 15 \
	  --min_region_size 40 --colour $(BUILD)/demo/kalseg_colours.png \
	  --montage $(BUILD)/demo/kalseg_snapshots.png \
	  $(BUILD)/demo/segment_input.png $(BUILD)/demo/kalseg_labels.png
	if [ -f $(CAMERA) ]; then \
	  $(BUILD)/bin/kalseg --reduce 2 --threshold 16 --min_region_size 8 \
	    --colour $(BUILD)/demo/camera_colours.png --montage $(BUILD)/demo/camera_snapshots.png \
	    $(CAMERA) $(BUILD)/demo/camera_labels.png; \
	fi
	$(MAKE) --no-print-directory doc-pictures

# The README's pictures under doc/, small, from the same programs as the
# demo: the thinned edges, the camera photograph's regions and the snapshots
# of a run on it at a quarter of its size (fewer and smaller snapshots).
doc-pictures:
	cp $(BUILD)/demo/thinned.png doc/thinned_edges.png
	if [ -f $(CAMERA) ]; then \
	  cp $(BUILD)/demo/camera_colours.png doc/camera_regions.png; \
	  $(BUILD)/bin/kalseg --quiet --reduce 4 --threshold 16 --min_region_size 8 \
	    --montage doc/camera_snapshots.png $(CAMERA) $(BUILD)/demo/camera_small_labels.png; \
	fi

test: build
	cd $(BUILD) && ctest --output-on-failure -j$(JOBS)

# The Python package installed into a virtual environment of its own,
# $(VENV), that sees Debian's packages (NumPy, tqdm, Dask); offline, from a
# checkout (the build tree is configured first if it is not yet).
PYTHON ?= $(firstword $(wildcard /usr/bin/python3) python3)
VENV ?= $(BUILD)/venv
python:
	test -f $(BUILD)/CMakeCache.txt || $(MAKE) --no-print-directory configure
	cmake --build $(BUILD) -j$(JOBS) --target _kalmex
	tools/python_install.sh $(PYTHON) $(BUILD) $(VENV)

# Every module, the embedded host and every test under AddressSanitizer and
# UndefinedBehaviorSanitizer (the Octave files are not built: Octave itself
# is not instrumented).
SANITIZE_BUILD ?= build-sanitize
test-sanitize:
	cmake -S . -B $(SANITIZE_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKALMEX_SANITIZE=ON \
	  -DKALMEX_OCTAVE=OFF -DKALMEX_BENCH=OFF $(CMAKE_ARGS)
	cmake --build $(SANITIZE_BUILD) -j$(JOBS)
	cd $(SANITIZE_BUILD) && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ctest --output-on-failure -j$(JOBS) -LE octave

# The tests whose work runs on threads, the runs at once in one process and
# the Python package's calls from several threads, under ThreadSanitizer
# (GCC's: the Python test preloads its runtime into the interpreter); only
# what they need is built, without Octave.  The tests are labelled
# "threads"; the sanitizer stops at its first report.
TSAN_BUILD ?= build-tsan
test-tsan:
	cmake -S . -B $(TSAN_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKALMEX_TSAN=ON \
	  -DKALMEX_OCTAVE=OFF -DKALMEX_BENCH=OFF $(CMAKE_ARGS)
	cmake --build $(TSAN_BUILD) -j$(JOBS) --target thread_tests
	cd $(TSAN_BUILD) && ctest --output-on-failure -j$(JOBS) -L threads

# One pass of every module's Octave tests with Octave under valgrind's
# memcheck; only errors and definite leaks whose stacks run through our files
# count (Octave reports many of its own).  Logs in $(BUILD)/valgrind.
test-valgrind: build
	command -v valgrind >/dev/null || apt-get install -y -q --no-install-recommends valgrind
	cd $(BUILD) && KALMEX_VALGRIND_LOGS=$(CURDIR)/$(BUILD)/valgrind \
	  KALMEX_OCTAVE_WRAPPER=$(CURDIR)/tests/support/valgrind_octave.sh \
	  ctest --output-on-failure -j$(JOBS) -L octave -E toolbox_build_mex

# Every gateway fuzzer for FUZZ_SECONDS each (libFuzzer, clang, ASan+UBSan).
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 60
FUZZ_SEED ?=
fuzz:
	command -v clang++ >/dev/null || apt-get install -y -q --no-install-recommends clang
	CC=clang CXX=clang++ cmake -S . -B $(FUZZ_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DKALMEX_FUZZ=ON -DKALMEX_OCTAVE=OFF -DKALMEX_TESTS=OFF -DKALMEX_BENCH=OFF
	cmake --build $(FUZZ_BUILD) -j$(JOBS)
	fuzz/run.sh $(FUZZ_BUILD) $(FUZZ_SECONDS) $(FUZZ_SEED)

# The Octave package $(BUILD)/kalmex-VERSION.tar.gz, for pkg install; it
# holds the sources of every module present and builds them when installed.
octave-pkg:
	tools/octave_pkg/make_pkg.sh . $(BUILD)

bench: build
	bench/run.sh $(BUILD)

format:
	git ls-files '*.cpp' '*.h' | xargs clang-format -i

clean:
	rm -rf $(BUILD)
