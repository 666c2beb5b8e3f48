# Front door of the build: every target installs what is missing, then builds with CMake.
BUILD_DIR ?= build
BUILD_TYPE ?= RelWithDebInfo
JOBS ?= $(shell nproc)
# CMake's progress lines are the build's progress; make's own directory lines are noise.
MAKEFLAGS += --no-print-directory

.PHONY: all deps deps-run configure build test test-sanitize armhf-configure test-armhf package-armhf run bench soak fuzz install package clean

all: build

deps:
	@bash scripts/install-deps.sh all

deps-run:
	@bash scripts/install-deps.sh run

configure: deps
	@cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) \
		-DTAVO_BUILD_TESTS=ON -DTAVO_BUILD_BENCH=ON -DTAVO_BUILD_FUZZ=ON > /dev/null

build: configure
	@cmake --build $(BUILD_DIR) -j $(JOBS)

# Ends with a line per reason for what was skipped (a missing peer, no namespaces...).
RUN_CTEST = ctest --output-on-failure --no-label-summary -j $(JOBS) --output-junit test-results.xml; rc=$$?; \
	python3 $(CURDIR)/scripts/skip-summary.py test-results.xml; exit $$rc

test: build
	@cd $(BUILD_DIR) && $(RUN_CTEST)

# Everything built again with AddressSanitizer and UndefinedBehaviorSanitizer in its
# own folder, and the whole suite run there (the fuzz harnesses already use both).
SANITIZE_DIR ?= build-sanitize
test-sanitize: deps
	@cmake -S . -B $(SANITIZE_DIR) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) -DTAVO_SANITIZE=address,undefined \
		-DTAVO_BUILD_BENCH=OFF -DTAVO_BUILD_FUZZ=OFF > /dev/null
	@cmake --build $(SANITIZE_DIR) -j $(JOBS)
	@cd $(SANITIZE_DIR) && $(RUN_CTEST)

# Cross-built for 32-bit ARM boards (Debian 12 armhf) in its own folder, with the
# tests run under qemu-user: the kernel hands each armhf program to qemu-arm-static
# (scripts/armhf-binfmt.sh), so tests can start tavod and lcsf like natively.
# The whole suite runs (about 3 minutes on two cores); ARMHF_TESTS=core runs only
# the parts where a 32-bit ARM build differs most (the codec, the engine, the
# output plug-ins and their compliance suite, tavod playing a show), and any other
# value is a ctest -L regex over the test programs' names (each case is labelled
# with its program's, outputs/<program> for a plug-in's).
ARMHF_DIR ?= build-armhf
# The armhf libraries, unpacked from Debian's packages (scripts/armhf-sysroot.sh):
# the compiler's root and qemu's prefix, so armhf programs load nothing of this
# machine's.
ARMHF_SYSROOT ?= $(CURDIR)/build-armhf-sysroot
ARMHF_JOBS ?= 2
ARMHF_TESTS ?= all
ARMHF_CORE = ^(lcsf_.*|sequence_.*|outputs/.*|output_compliance_test|tavod_play_test)$$
ARMHF_CCACHE = $(if $(shell command -v ccache),-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
# Under qemu-user a 32-bit readdir without 64-bit offsets fails with EOVERFLOW on
# ext4, whose directory offsets are 64-bit hashes for a 64-bit kernel. Tavo itself
# is built with 64-bit offsets; the tests' temporary media folders still go on
# tmpfs, whose offsets are small, so that no library or tool read there can trip.
ARMHF_TMPDIR ?= /dev/shm/tavo-armhf
ARMHF_SELECT = $(if $(filter all,$(ARMHF_TESTS)),,-L '$(if $(filter core,$(ARMHF_TESTS)),$(ARMHF_CORE),$(ARMHF_TESTS))')

armhf-configure:
	@bash scripts/install-armhf-deps.sh $(ARMHF_SYSROOT)
	@bash scripts/armhf-binfmt.sh
	@cmake -S . -B $(ARMHF_DIR) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) \
		-DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/toolchain-armhf.cmake $(ARMHF_CCACHE) \
		-DTAVO_ARMHF_SYSROOT=$(ARMHF_SYSROOT) \
		-DTAVO_BUILD_TESTS=ON -DTAVO_BUILD_BENCH=OFF -DTAVO_BUILD_FUZZ=OFF > /dev/null

test-armhf: armhf-configure
	@cmake --build $(ARMHF_DIR) -j $(ARMHF_JOBS)
	@mkdir -p $(ARMHF_TMPDIR)
	@cd $(ARMHF_DIR) && export TMPDIR=$(ARMHF_TMPDIR) TAVO_EMULATED=qemu-arm QEMU_LD_PREFIX=$(ARMHF_SYSROOT) && \
		ctest --output-on-failure -j $(ARMHF_JOBS) $(ARMHF_SELECT) --output-junit test-results.xml; rc=$$?; \
		python3 $(CURDIR)/scripts/skip-summary.py test-results.xml; exit $$rc

# make package-armhf: build-armhf/package/tavo_VERSION_armhf.deb
package-armhf: armhf-configure
	@cmake --build $(ARMHF_DIR) -j $(ARMHF_JOBS) --target installables
	@cd $(ARMHF_DIR) && cpack -G DEB -B $(abspath $(ARMHF_DIR))/package

# make install [PREFIX=/usr/local] [DESTDIR=/staging]: the programs, plug-ins, pages,
# service unit and manuals below PREFIX (see cmake/Install.cmake).
PREFIX ?= /usr/local
install: configure
	@cmake --build $(BUILD_DIR) -j $(JOBS) --target installables
	@DESTDIR="$(DESTDIR)" cmake --install $(BUILD_DIR) --prefix "$(PREFIX)"

# make package: build/package/tavo_VERSION_ARCH.deb (apt install ./build/package/tavo_*.deb).
package: configure
	@cmake --build $(BUILD_DIR) -j $(JOBS) --target installables
	@cd $(BUILD_DIR) && cpack -G DEB -B $(abspath $(BUILD_DIR))/package

# The demo needs tavod, the lcsf tool and the plug-ins only: a build folder made here
# leaves the tests out (make test adds them to it later).
run: deps-run
	@if [ ! -f $(BUILD_DIR)/CMakeCache.txt ]; then \
		cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) \
			-DTAVO_BUILD_TESTS=OFF -DTAVO_BUILD_BENCH=OFF -DTAVO_BUILD_FUZZ=OFF > /dev/null; \
	fi
	@cmake --build $(BUILD_DIR) -j $(JOBS) --target installables
	@bash scripts/run-demo.sh $(BUILD_DIR)

bench: build
	@bash bench/run-bench.sh $(BUILD_DIR)

# The load and soak harness at full load (docs/performance.md): make soak SOAK_SECONDS=300;
# SOAK_ARGS=--output-cpu gives the output thread a processor of its own.
SOAK_SECONDS ?= 120
SOAK_ARGS ?=
soak: build
	@$(BUILD_DIR)/bin/tavod_soak --seconds $(SOAK_SECONDS) $(SOAK_ARGS) --report $(BUILD_DIR)/soak-report.json

# Every fuzz harness for longer than the short runs of make test, FUZZ_JOBS at a time:
# make fuzz FUZZ_SECONDS=1800 FUZZ_JOBS=2 (FUZZ_TARGET=NAME for one of them)
FUZZ_SECONDS ?= 600
FUZZ_JOBS ?= 1
FUZZ_TARGET ?= all
fuzz: deps
	@bash fuzz/run-fuzz.sh --target $(FUZZ_TARGET) --seconds $(FUZZ_SECONDS) --jobs $(FUZZ_JOBS) \
		--build-dir $(BUILD_DIR)/fuzz-clang

clean:
	rm -rf $(BUILD_DIR) $(SANITIZE_DIR) $(ARMHF_DIR)
