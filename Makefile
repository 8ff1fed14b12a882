# Kestrel: one-command set-up, build, test and demo.
#
#   make demo   install what is missing, build, run the demo
#   make test   install what is missing, build, run the whole test suite
#   make soak   build, then run every model at once under load and chaos
#               for SOAK_SECONDS (default 600) and check nothing was lost
#
# With KESTREL_CI=1 (as .ci/run sets it) `make test` also builds warning-free
# with clang, runs the suite under AddressSanitizer+UndefinedBehaviorSanitizer,
# the threaded tests under ThreadSanitizer, and short fuzz runs.

BUILD ?= build
JOBS ?= $(shell nproc)
CMAKE_ARGS ?=
CTEST_ARGS ?= --output-on-failure -j$(JOBS)
FUZZ_SECONDS ?= 20
SOAK_SECONDS ?= 600

.PHONY: all setup configure build test demo soak ci-extra clean

all: build

setup:
	@bash scripts/setup.sh

$(BUILD)/build.ninja: | setup
	cmake -S . -B $(BUILD) -G Ninja $(if $(KESTREL_CI),-DKESTREL_WERROR=ON) $(CMAKE_ARGS)

configure: setup $(BUILD)/build.ninja

build: configure
	cmake --build $(BUILD) -j$(JOBS)

test: build
	cd $(BUILD) && ctest $(CTEST_ARGS)
ifdef KESTREL_CI
	@$(MAKE) --no-print-directory ci-extra
endif

demo: build
	$(BUILD)/bin/kestrel-host demo

soak: build
	$(BUILD)/bin/kestrel-soak $(SOAK_SECONDS)

ci-extra:
	bash scripts/ci_extra.sh

clean:
	rm -rf $(BUILD) build-*
