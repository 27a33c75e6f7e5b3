# Thin wrapper over CMake. `make run` and `make test` are the README's set-up:
# both install what is missing from Debian's packages first.
JOBS ?= $(shell nproc)
FUZZ_SECONDS ?= 60

.PHONY: all deps deps-windows build run test test-asan test-tsan test-windows build-windows \
        bench fuzz package package-windows clean

all: build

deps:
	@scripts/install-deps

deps-windows:
	@scripts/install-deps --windows

build: deps
	cmake --preset default
	cmake --build --preset default -j $(JOBS)

run: build
	@scripts/run-preview

test: deps
	cmake --preset default --fresh
	cmake --build --preset default -j $(JOBS)
	ctest --preset default -j $(JOBS)

test-asan: deps
	cmake --preset asan
	cmake --build --preset asan -j $(JOBS)
	ctest --preset asan -j $(JOBS)

test-tsan: deps
	cmake --preset tsan
	cmake --build --preset tsan -j $(JOBS)
	ctest --preset tsan -j $(JOBS)

bench: build
	@scripts/run-benches build

fuzz: deps
	cmake --preset fuzz
	cmake --build --preset fuzz -j $(JOBS)
	@scripts/run-fuzzers build-fuzz $(FUZZ_SECONDS)

package: build
	cd build && cpack

# The Windows programs, cross-built into build-windows/bin. They carry the fonts
# that the Linux build makes, and their end-to-end test compares them with the
# Linux vantrel-snapshot, so the Linux build comes first. Wine's server is
# started before the build and ended after the tests, whatever they gave.
build-windows: deps-windows
	cmake --preset default
	cmake --build --preset default -j $(JOBS) --target vantrel_default_fonts vantrel-snapshot \
	    vantrel-send app_e2e_tests
	cmake --preset windows
	cmake --build --preset windows -j $(JOBS)

test-windows: build-windows
	scripts/wine-session start build-windows
	ctest --preset windows -j $(JOBS); status=$$?; scripts/wine-session stop build-windows; exit $$status

package-windows: build-windows
	cd build-windows && cpack

clean:
	rm -rf build build-asan build-tsan build-fuzz build-windows
