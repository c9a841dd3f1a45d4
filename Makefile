# The two commands a newcomer runs: `make run` and `make test`. Each first makes sure the Debian
# packages it needs are there (packaging/packages.txt, installed with apt-get when run as root),
# then leaves the rest to CMake.
PRESET ?= default
BUILD := $(if $(filter asan,$(PRESET)),build-asan,build)
# `make run SIM=peer=sink,sink=/tmp/out PORT=9100` passes a configuration to the simulator and
# chooses the TCP port. Without SIM, what is printed lands in build/printed.out: a printer that
# keeps taking data however much is printed (the echo peer stops once 16 MiB wait unread).
SIM ?= peer=sink,sink=$(CURDIR)/$(BUILD)/printed.out
PORT ?= 8822
NEED := sh packaging/need-packages.sh

.PHONY: all build configure run test package asan bench clean

all: build

configure:
	cmake --preset $(PRESET) >/dev/null

build: configure
	cmake --build --preset $(PRESET)

# Only the daemon and the client: the tests and benchmarks are built by `make test`.
run:
	$(NEED) build
	$(MAKE) --no-print-directory configure
	cmake --build --preset $(PRESET) --target tessal tessal-client
	./$(BUILD)/service/tessal -f -V 3 -p $(PORT) --sim$(if $(SIM),=$(SIM))

# The suite, then a check that it left no file behind in /tmp or in the source tree.
test:
	$(NEED) build test
	$(MAKE) --no-print-directory build
	@touch $(BUILD)/.test-start
	ctest --preset $(PRESET)
	@sh tests/leftovers.sh $(BUILD)/.test-start

package:
	$(NEED) build test package
	$(MAKE) --no-print-directory build
	cmake --build --preset $(PRESET) --target package

asan:
	$(MAKE) test PRESET=asan

# The figures of bench/: a table on stdout, bench/out/results.csv and bench/out/throughput.png.
bench:
	$(NEED) build
	$(MAKE) --no-print-directory build
	bench/run.sh $(BUILD)

clean:
	rm -rf build build-asan build-fuzz
