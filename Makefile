# ftpm-recovery: top-level commands. `make demo` and `make test` do all the
# set-up they need on a fresh Debian machine.
SHELL := /bin/bash
JOBS ?= $(shell nproc)
KEYS ?=

.PHONY: all deps build build-host build-asan build-uefi package test test-host test-asan demo screenshots lint fuzz bench clean

all: build

deps:
	@scripts/deps.sh

build-host: deps
	cmake --preset host >/dev/null
	cmake --build --preset host -j $(JOBS)

build-asan: deps
	cmake --preset host-asan >/dev/null
	cmake --build --preset host-asan -j $(JOBS)

build-uefi: deps
	cmake --preset uefi >/dev/null
	cmake --build --preset uefi -j $(JOBS)

# The driver as a firmware file and a firmware volume holding it, beside the
# .efi: what a platform integrates.
package: build-uefi build-host
	build/host/tools/ftpm-recovery package build/uefi/FtpmRecoveryDxe.efi \
	    --ffs build/uefi/FtpmRecoveryDxe.ffs --fv build/uefi/FtpmRecoveryDxe.fv

build: build-uefi build-host package

# Unit and scenario tests on the simulated platform, the firmware runs in
# OVMF, then everything again under AddressSanitizer and
# UndefinedBehaviorSanitizer together with short fuzzing runs.
test: build build-asan
	ctest --preset host
	ctest --preset host-asan

test-host: build
	ctest --preset host

test-asan: build-asan
	ctest --preset host-asan

# A processor swap in Debian's OVMF with the driver and the reference
# platform inserted into its DXE volume: the old processor boots, the new one
# asks, the answer is yours (KEYS=y answers Y, KEYS=n,y N then Y).
demo: build
	python3 qemu/demo.py --uefi-build build/uefi --tool build/host/tools/ftpm-recovery $(if $(KEYS),--keys "$(KEYS)")

# The prompt as OVMF's graphical console draws it, at 80x25 and 100x31:
# docs/screenshots/prompt-*.png.
screenshots: build
	python3 qemu/screenshots.py --uefi-build build/uefi --tool build/host/tools/ftpm-recovery

lint: deps
	scripts/lint.sh

# The fuzzing campaign: FUZZ_RUNS inputs per target (default ten million)
# over JOBS processes, or SECONDS_PER_TARGET seconds each; MERGE=y adds what
# reaches new code to the seed corpora. Prints inputs, inputs/s, coverage and
# findings per target (docs and figures: README, Fuzzing).
fuzz: build-asan
	scripts/fuzz.sh --jobs $(JOBS) $(if $(SECONDS_PER_TARGET),--seconds $(SECONDS_PER_TARGET),--runs $(or $(FUZZ_RUNS),10000000)) $(if $(MERGE),--merge)

# The cost report as one table (docs/cost.md): image size against its budget,
# flash traffic beside the least the directory walk needs, pool memory,
# instruction counts (callgrind) and Fletcher-32 throughput. Builds the uefi
# preset in build/uefi and its own host-side programs in build/bench.
bench: deps
	python3 scripts/bench.py --jobs $(JOBS)

clean:
	rm -rf build
