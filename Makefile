# Front door of the build: every target installs what is missing, then builds with CMake.
BUILD_DIR ?= build
BUILD_TYPE ?= RelWithDebInfo
JOBS ?= $(shell nproc)

.PHONY: all deps configure build test run bench fuzz install package clean

all: build

deps:
	@bash scripts/install-deps.sh

configure: deps
	@cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) > /dev/null

build: configure
	@cmake --build $(BUILD_DIR) -j $(JOBS)

test: build
	@cd $(BUILD_DIR) && ctest --output-on-failure -j $(JOBS)

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

run: build
	@bash scripts/run-demo.sh $(BUILD_DIR)

bench: build
	@bash bench/run-bench.sh $(BUILD_DIR)

# A longer fuzzing session than the one-minute test: make fuzz FUZZ_SECONDS=1800
FUZZ_SECONDS ?= 600
fuzz: deps
	@bash fuzz/run-fuzz.sh --seconds $(FUZZ_SECONDS) --build-dir $(BUILD_DIR)/fuzz-clang

clean:
	rm -rf $(BUILD_DIR)
