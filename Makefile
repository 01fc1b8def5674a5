# Thin driver over CMake: the README's quick start and a few more targets.
# Each first installs what it needs from .ci/packages (as root; otherwise it
# says the one apt-get line to run).
#   make                 build the relay and its tests (build/release)
#   make run             build the relay, then a demonstration: a tunnel on loopback
#   make run ARGS="..."  build the relay if needed, then run it with ARGS
#   make test            build, then the quick suite: every unit and end-to-end test
#   make soak            build, then the soak on its own (about a minute)
#   make asan            the quick suite under AddressSanitizer + UndefinedBehaviorSanitizer
#   make bench           crypto benchmarks (ours next to OpenSSL's) and the relay benchmark
#   make fuzz            every libFuzzer target for a bounded time (needs clang)
#   make install         install binary, manual, man page, examples (PREFIX, DESTDIR)
#   make package         a Debian package in build/package (kevra_*.deb)
#   make windows         cross-build build/windows/kevra.exe with mingw-w64
#   make test-windows    its tests under Wine, beside the Linux build
#   make package-windows build/windows/kevra-1.1-win64.zip for Windows users

JOBS ?= $(shell nproc 2>/dev/null || echo 2)
WERROR := $(if $(CI),-DKEVRA_WERROR=ON,)
FUZZ_SECONDS ?= 30
PREFIX ?= /usr/local

.PHONY: all deps configure build run test soak asan bench fuzz install package windows test-windows package-windows clean

all: build

deps:
	@bash .ci/deps.sh

configure: deps
	@cmake --preset release $(WERROR) >/dev/null

build: configure
	@cmake --build build/release -j $(JOBS)

# Without ARGS: a demonstration of a tunnel on loopback (examples/demo.sh).
run: configure
	@cmake --build build/release -j $(JOBS) --target kevra
ifeq ($(strip $(ARGS)),)
	bash examples/demo.sh build/release/kevra
else
	./build/release/kevra $(ARGS)
endif

# The soak stays out of the quick suite, and runs alone: nothing that keeps
# time runs beside it.
test: build
	cd build/release && ctest --output-on-failure -j $(JOBS) -LE soak

soak: build
	cd build/release && ctest --output-on-failure -L soak

asan: deps
	@cmake --preset asan $(WERROR) >/dev/null
	@cmake --build build/asan -j $(JOBS)
	cd build/asan && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --output-on-failure -j $(JOBS) -LE soak

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

# Its own tree: Debian's hardening flags and layout (prefix /usr, /etc/kevra).
package: deps
	@cmake --preset package $(WERROR) >/dev/null
	@cmake --build build/package -j $(JOBS)
	cd build/package && cpack -G DEB

# Windows: one statically linked kevra.exe, cross-built with mingw-w64.
windows:
	@bash .ci/deps.sh windows
	@cmake --preset windows $(WERROR) >/dev/null
	@cmake --build build/windows -j $(JOBS) --target kevra

# The Windows unit tests, the end-to-end suite against kevra.exe, interop and
# the same log beside the Linux build, all under Wine (tests/windows/run.sh).
test-windows: windows configure
	@bash .ci/deps.sh wine
	@cmake --build build/windows -j $(JOBS) --target win_unit_tests
	@cmake --build build/release -j $(JOBS) --target kevra e2e_tests
	bash tests/windows/run.sh

package-windows: windows
	@cmake --build build/windows --target package-windows

clean:
	rm -rf build
