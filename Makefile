# The two commands a newcomer runs: `make run` and `make test`. Everything else is CMake.
PRESET ?= default
BUILD := $(if $(filter asan,$(PRESET)),build-asan,build)
# `make run SIM=peer=sink,sink=/tmp/out` passes a configuration to the simulator.
SIM ?=

.PHONY: all build run test asan clean

all: build

build:
	cmake --preset $(PRESET) >/dev/null
	cmake --build --preset $(PRESET)

run: build
	./$(BUILD)/service/tessal -f -V 3 --sim$(if $(SIM),=$(SIM))

test: build
	ctest --preset $(PRESET)

asan:
	$(MAKE) test PRESET=asan

clean:
	rm -rf build build-asan build-fuzz
