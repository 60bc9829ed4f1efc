# Front door: configure, build, run the demo, the tests and the benchmarks.
BUILD ?= build
JOBS ?= 2
CMAKE_ARGS ?=
ifeq ($(CI),true)
  CMAKE_ARGS += -DKALMEX_WERROR=ON
endif

.PHONY: all configure build demo test test-sanitize fuzz bench format clean octave-pkg

all: build

configure:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release $(CMAKE_ARGS)

build: configure
	cmake --build $(BUILD) -j$(JOBS)

# The main job on the embedded host; pictures land in $(BUILD)/demo.
demo: build
	$(BUILD)/bin/kaldemo $(BUILD)/demo

test: build
	cd $(BUILD) && ctest --output-on-failure -j$(JOBS)

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

# Every gateway fuzzer for FUZZ_SECONDS each (libFuzzer, clang, ASan+UBSan).
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 60
fuzz:
	command -v clang++ >/dev/null || apt-get install -y -q --no-install-recommends clang
	CC=clang CXX=clang++ cmake -S . -B $(FUZZ_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DKALMEX_FUZZ=ON -DKALMEX_OCTAVE=OFF -DKALMEX_TESTS=OFF -DKALMEX_BENCH=OFF
	cmake --build $(FUZZ_BUILD) -j$(JOBS)
	fuzz/run.sh $(FUZZ_BUILD) $(FUZZ_SECONDS)

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
