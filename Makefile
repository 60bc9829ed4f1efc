# Front door: configure, build, run the demo, the tests and the benchmarks.
BUILD ?= build
JOBS ?= 2
CMAKE_ARGS ?=
ifeq ($(CI),true)
  CMAKE_ARGS += -DKALMEX_WERROR=ON
endif

.PHONY: all configure build demo test bench format clean

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

bench: build
	bench/run.sh $(BUILD)

format:
	git ls-files '*.cpp' '*.h' | xargs clang-format -i

clean:
	rm -rf $(BUILD)
