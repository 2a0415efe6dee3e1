# Tembrook: build and test the Win32 program on Debian with MinGW-w64 and Wine.
#   make test   set up what is missing, build, run every test under Wine
#   make run    set up, build, start Tembrook.exe under the project's Wine prefix
#   make screenshots   build, then render the dialogs and the drop bar into PNG files
#   make bench  build, then time the archive library beside bsdtar, 7zz and Info-ZIP
#   make fuzz   fuzz the archive library's core for FUZZ_SECONDS (default 1800)
#   make dist   build, then pack the release zip $(BUILD)/Tembrook-<version>.zip
BUILD ?= build
DEPS_CACHE ?= $(if $(TEMBROOK_DEPS_CACHE),$(TEMBROOK_DEPS_CACHE),$(BUILD)/deps)
JOBS ?= $(shell nproc)

SYSTEM_STAMP := $(BUILD)/.system-ready
DEPS_FILE := $(BUILD)/.deps-dir
PREFIX_STAMP := $(BUILD)/wineprefix/.tembrook-ready

.PHONY: all build test run setup clean distclean screenshots native bench fuzz dist

all: build

setup: $(SYSTEM_STAMP) $(DEPS_FILE) $(PREFIX_STAMP)

$(SYSTEM_STAMP): scripts/setup-system.sh
	@mkdir -p $(BUILD)
	bash scripts/setup-system.sh
	@touch $@

$(DEPS_FILE): $(SYSTEM_STAMP) scripts/build-deps.sh
	bash scripts/build-deps.sh $(DEPS_CACHE) | tail -n 1 > $@.tmp
	@mv $@.tmp $@

$(PREFIX_STAMP): $(SYSTEM_STAMP) scripts/wine-prefix.sh
	bash scripts/wine-prefix.sh $(BUILD)

$(BUILD)/CMakeCache.txt: $(DEPS_FILE)
	cmake -S . -B $(BUILD) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake \
	  -DTEMBROOK_DEPS=$$(cat $(DEPS_FILE)) >/dev/null

build: setup $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j$(JOBS)

test: build
	cd $(BUILD) && ctest --output-on-failure

run: build
	bash scripts/run.sh $(BUILD)

# The dialogs and the drop bar rendered into $(BUILD)/screenshots, for a person to look at.
screenshots: build
	bash scripts/screenshots.sh $(BUILD)
	bash scripts/screenshots-shell.sh $(BUILD)
	bash scripts/screenshots-dialogs.sh $(BUILD)

# The archive library's core built for this machine, for the benchmarks and the fuzzer.
native: setup
	bash scripts/fuzz.sh $(BUILD) build

# Never part of `make test`. BENCH_ARGS passes options on, e.g. BENCH_ARGS="--runs 5".
bench: build native
	python3 scripts/bench.py --source . --build $(BUILD) $(BENCH_ARGS)

FUZZ_SECONDS ?= 1800
fuzz: setup
	bash scripts/fuzz.sh $(BUILD) $(FUZZ_SECONDS)

dist: build
	cmake --build $(BUILD) --target dist_zip
	@ls $(BUILD)/Tembrook-*.zip

clean:
	if [ -f $(BUILD)/CMakeCache.txt ]; then cmake --build $(BUILD) --target clean; fi

distclean:
	rm -rf $(BUILD)
