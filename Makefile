# ftpm-recovery: top-level commands. `make demo` and `make test` do all the
# set-up they need on a fresh Debian machine.
SHELL := /bin/bash
JOBS ?= $(shell nproc)
KEYS ?=

.PHONY: all deps build build-host build-tool build-asan build-coverage build-fuzz build-uefi package test test-host test-asan \
        coverage coverage-report mutants demo screenshots lint fuzz bench clean

all: build

deps:
	@scripts/deps.sh

build-host: deps
	cmake --preset host >/dev/null
	cmake --build --preset host -j $(JOBS)

# The tool alone from the host preset: what the firmware tests and the demo run.
build-tool: deps
	cmake --preset host >/dev/null
	cmake --build --preset host-tool -j $(JOBS)

build-coverage: deps
	cmake --preset host-coverage >/dev/null
	cmake --build --preset host-coverage -j $(JOBS)

build-asan: deps
	cmake --preset host-asan >/dev/null
	cmake --build --preset host-asan -j $(JOBS)

build-uefi: deps
	cmake --preset uefi >/dev/null
	cmake --build --preset uefi -j $(JOBS)

# The driver as a firmware file and a firmware volume holding it, beside the
# .efi: what a platform integrates.
package: build-uefi build-tool
	build/host/tools/ftpm-recovery package build/uefi/FtpmRecoveryDxe.efi \
	    --ffs build/uefi/FtpmRecoveryDxe.ffs --fv build/uefi/FtpmRecoveryDxe.fv

build: build-uefi build-host package

# The firmware runs in OVMF and the packaging checks with the plain tool;
# the unit, scenario, tools and bench tests in the coverage build, with the
# coverage floors; then the unit and scenario tests again under
# AddressSanitizer and UndefinedBehaviorSanitizer together with short fuzzing
# runs. The plain host build makes only the tool here (`make test-host`
# builds and runs all of it).
test: build-uefi build-tool package build-coverage build-asan
	ctest --preset host-firmware
	$(MAKE) --no-print-directory coverage-report COVERAGE_HTML=no
	ctest --preset host-asan

# The unit, scenario, tools and bench tests in the instrumented build, then
# the report per folder and file (printed, and as HTML in
# build/host-coverage/coverage-html/; make test skips the HTML) and the floors
# of scripts/coverage-floors.toml.
coverage: build-coverage
	$(MAKE) --no-print-directory coverage-report

coverage-report:
	rm -rf build/host-coverage/profiles
	ctest --preset host-coverage
	python3 scripts/coverage.py --check $(if $(filter no,$(COVERAGE_HTML)),--no-html)

# Single-token mutants of driver/, directory/ and support/, each rebuilt in
# build/mutants and run against the unit, scenario, bench and tools tests.
# MUTANTS (default 400) drawn with SEED (default 24). A run cut short goes on
# where it stopped; SURVIVORS=y also reruns last run's survivors, FRESH=y
# starts over. Prints every survivor and the score.
mutants: deps
	nice -n 19 python3 scripts/mutants.py --jobs $(JOBS) --count $(or $(MUTANTS),400) --seed $(or $(SEED),24) \
	    $(if $(SURVIVORS),--survivors) $(if $(FRESH),--fresh)

test-host: build
	ctest --preset host

test-asan: build-asan build-tool
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

# The fuzz targets as the service builds them, with AddressSanitizer
# (.clusterfuzzlite/build.sh, checked as the fuzz.build test does), and the
# fast build without it (host-fuzz preset).
build-fuzz: deps
	python3 tests/fuzz/check_cflite_build.py --dir build/host-asan/tests/fuzz/cflite
	cmake --preset host-fuzz >/dev/null
	cmake --build --preset host-fuzz -j $(JOBS)

# The fuzzing campaign: FUZZ_RUNS inputs per target (default ten million)
# in the fast build, then a tenth as many (FUZZ_ASAN_RUNS) with
# AddressSanitizer, from every input the fast runs kept; over JOBS processes.
# SECONDS_PER_TARGET seconds each instead (a fifth of it with
# AddressSanitizer); MERGE=y adds what reaches new code to the seed corpora.
# Prints inputs, inputs/s, coverage and findings per target (docs and
# figures: README, Fuzzing; docs/testing.md).
fuzz: build-fuzz
	scripts/fuzz.sh --jobs $(JOBS) $(if $(SECONDS_PER_TARGET),--seconds $(SECONDS_PER_TARGET),--runs $(or $(FUZZ_RUNS),10000000)) \
	    $(if $(FUZZ_ASAN_RUNS),--asan-runs $(FUZZ_ASAN_RUNS)) $(if $(MERGE),--merge)

# The cost report as one table (docs/cost.md): image size against its budget,
# flash traffic beside the least the directory walk needs, pool memory,
# instruction counts (callgrind) and Fletcher-32 throughput. Builds the uefi
# preset in build/uefi and its own host-side programs in build/bench.
bench: deps
	python3 scripts/bench.py --jobs $(JOBS)

clean:
	rm -rf build
