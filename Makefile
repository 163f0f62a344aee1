# Thin wrapper around CMake. Build trees: build/ (normal), build-asan/ (sanitizers),
# build-aarch64/ (cross build run under qemu), build-fuzz/ (libFuzzer, clang).
GENERATOR := $(shell command -v ninja >/dev/null 2>&1 && echo "-G Ninja")
JOBS ?= $(shell nproc)
PREFIX ?= /usr/local
CMAKE_FLAGS ?=
CTEST_FLAGS ?= --output-on-failure -j $(JOBS) --timeout 600

.PHONY: all build test asan bench demo install cross-test fuzz deb clean

all: build

# Each build folder is configured once (its CMakeCache.txt marks it); later
# builds only build, so a build with nothing changed compiles nothing. CMake
# configures again by itself when a CMakeLists.txt or the set of sources
# changes; `make clean` starts over (needed to change CMAKE_FLAGS).
build/CMakeCache.txt:
	cmake -S . -B build $(GENERATOR) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS)

build-asan/CMakeCache.txt:
	cmake -S . -B build-asan $(GENERATOR) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZELMO_SANITIZE=ON -DZELMO_BENCH=OFF $(CMAKE_FLAGS)

build: build/CMakeCache.txt
	cmake --build build -j $(JOBS)

test: build
	cd build && ctest $(CTEST_FLAGS)

asan: build-asan/CMakeCache.txt
	cmake --build build-asan -j $(JOBS)
	cd build-asan && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 ctest $(CTEST_FLAGS)

bench: build
	@for b in build/bench_*; do [ -x "$$b" ] && echo "== $$b" && "$$b" --benchmark_min_time=0.2; done; true

demo: build
	./tools/demo.sh build

install: build
	cmake --install build --prefix $(PREFIX)

# The Pi's programs: every program and the unit tests built for aarch64; the
# unit tests run under qemu-aarch64, then this machine's end-to-end tests run
# the aarch64 programs under qemu (on the simulated board, as here).
# The loader and the C library must come from one package: with Debian's arm64
# C library installed (zlib1g-dev:arm64 brings it) both are taken from /, else
# both from the cross compiler's copy. A loader of one release with the C
# library of another corrupts glibc's thread-stack list (drivesim's first
# pthread_create then spins for ever).
QEMU_PREFIX := $(if $(wildcard /lib/ld-linux-aarch64.so.1),/,/usr/aarch64-linux-gnu)
QEMU_AARCH64 := qemu-aarch64 -L $(QEMU_PREFIX)
build-aarch64/CMakeCache.txt:
	cmake -S . -B build-aarch64 $(GENERATOR) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-toolchain.cmake -DZELMO_GTEST_FROM_SOURCE=ON \
	  -DZELMO_E2E=OFF -DZELMO_BENCH=OFF -DZELMO_QEMU_PREFIX=$(QEMU_PREFIX) $(CMAKE_FLAGS)

cross-test: build build-aarch64/CMakeCache.txt
	cmake --build build-aarch64 -j $(JOBS)
	cd build-aarch64 && ctest $(CTEST_FLAGS)
	cd build && ZELMO_TEST_BIN_DIR=$(CURDIR)/build-aarch64 ZELMO_TEST_RUNNER="$(QEMU_AARCH64)" \
	  ctest $(CTEST_FLAGS) -L e2e

fuzz:
	cmake -S . -B build-fuzz $(GENERATOR) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
	  -DZELMO_FUZZ=ON -DZELMO_TESTS=OFF -DZELMO_BENCH=OFF -DZELMO_PROGRAMS=OFF $(CMAKE_FLAGS)
	cmake --build build-fuzz -j $(JOBS)

# Debian packages for this machine and for arm64 (Raspberry Pi OS), checked
# with lintian: build-deb/zelmo_VERSION_ARCH.deb.
deb:
	tools/mkdeb.sh
	tools/mkdeb.sh arm64

clean:
	rm -rf build build-asan build-aarch64 build-fuzz build-deb
