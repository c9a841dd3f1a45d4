# The two commands a newcomer runs: `make run` and `make test`. Everything else is CMake.
PRESET ?= default
BUILD := $(if $(filter asan,$(PRESET)),build-asan,build)
# `make run SIM=peer=sink,sink=/tmp/out` passes a configuration to the simulator.
SIM ?=

.PHONY: all build run test asan bench clean

all: build

build:
	cmake --preset $(PRESET) >/dev/null
	cmake --build --preset $(PRESET)

run: build
	./$(BUILD)/service/tessal -f -V 3 --sim$(if $(SIM),=$(SIM))

test: build
	ctest --preset $(PRESET)

package: build
	cmake --build --preset $(PRESET) --target package

asan:
	$(MAKE) test PRESET=asan

# The figures of bench/: a table on stdout, bench/out/results.csv and bench/out/throughput.png.
bench: build
	bench/run.sh $(BUILD)

clean:
	rm -rf build build-asan build-fuzz
