# Tembrook: build and test the Win32 program on Debian with MinGW-w64 and Wine.
#   make test   set up what is missing, build, run every test under Wine
#   make run    set up, build, start Tembrook.exe under the project's Wine prefix
#   make screenshots   build, then render the dialogs and the drop bar into PNG files
BUILD ?= build
DEPS_CACHE ?= $(if $(TEMBROOK_DEPS_CACHE),$(TEMBROOK_DEPS_CACHE),$(BUILD)/deps)
JOBS ?= $(shell nproc)

SYSTEM_STAMP := $(BUILD)/.system-ready
DEPS_FILE := $(BUILD)/.deps-dir
PREFIX_STAMP := $(BUILD)/wineprefix/.tembrook-ready

.PHONY: all build test run setup clean distclean screenshots

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

clean:
	if [ -f $(BUILD)/CMakeCache.txt ]; then cmake --build $(BUILD) --target clean; fi

distclean:
	rm -rf $(BUILD)
