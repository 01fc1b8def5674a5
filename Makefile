# Thin driver over CMake: the README's quick start and a few more targets.
#   make                 build the relay (build/release/kevra)
#   make run             build, then a demonstration: a tunnel on loopback
#   make run ARGS="..."  build if needed, then run kevra with ARGS
#   make test            build, then every unit and end-to-end test through CTest
#   make asan            the same suite under AddressSanitizer + UndefinedBehaviorSanitizer
#   make bench           crypto benchmarks (ours next to OpenSSL's) and the relay benchmark
#   make fuzz            every libFuzzer target for a bounded time (needs clang)
#   make install         install binary, manual, man page, examples (PREFIX, DESTDIR)
#   make package         a Debian package in build/release (kevra_*.deb)
#   make windows         cross-build build/windows/kevra.exe (needs mingw-w64)
#   make test-windows    its tests under Wine, beside the Linux build (needs wine64)
#   make package-windows build/windows/kevra-1.1-win64.zip for Windows users

JOBS ?= $(shell nproc 2>/dev/null || echo 2)
WERROR := $(if $(CI),-DKEVRA_WERROR=ON,)
FUZZ_SECONDS ?= 30
PREFIX ?= /usr/local

.PHONY: all build run test asan bench fuzz install package windows test-windows package-windows clean

all: build

build:
	@cmake --preset release $(WERROR) >/dev/null
	@cmake --build build/release -j $(JOBS)

# Without ARGS: a demonstration of a tunnel on loopback (examples/demo.sh).
run: build
ifeq ($(strip $(ARGS)),)
	bash examples/demo.sh build/release/kevra
else
	./build/release/kevra $(ARGS)
endif

test: build
	cd build/release && ctest --output-on-failure -j $(JOBS)

asan:
	@cmake --preset asan $(WERROR) >/dev/null
	@cmake --build build/asan -j $(JOBS)
	cd build/asan && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --output-on-failure -j $(JOBS)

bench:
	@cmake --preset bench >/dev/null
	@cmake --build build/bench -j $(JOBS)
	./build/bench/bench/crypto_bench --benchmark_min_time=0.5
	bash bench/relay_bench.sh
	bash bench/tunnel_bench.sh

fuzz:
	@cmake --preset fuzz >/dev/null
	@cmake --build build/fuzz -j $(JOBS)
	bash fuzz/run.sh build/fuzz/fuzz $(FUZZ_SECONDS)

install: build
	cmake --install build/release --prefix $(PREFIX)

package: build
	cd build/release && cpack -G DEB -D CPACK_PACKAGING_INSTALL_PREFIX=/usr

# Windows: one statically linked kevra.exe, cross-built with mingw-w64.
windows:
	@cmake --preset windows $(WERROR) >/dev/null
	@cmake --build build/windows -j $(JOBS) --target kevra

# The Windows unit tests, the end-to-end suite against kevra.exe, interop and
# the same log beside the Linux build, all under Wine (tests/windows/run.sh).
test-windows: windows
	@cmake --build build/windows -j $(JOBS) --target win_unit_tests
	@cmake --preset release $(WERROR) >/dev/null
	@cmake --build build/release -j $(JOBS) --target kevra e2e_tests
	bash tests/windows/run.sh

package-windows: windows
	@cmake --build build/windows --target package-windows

clean:
	rm -rf build
