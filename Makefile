# One entry point for building and proving the tree.
#   make deps   install the Debian packages the build and the tests need (only what is missing)
#   make build  native build into build/ (programs in build/bin/) and Windows build into build-win/
#   make test   deps + build + every suite, native and under wine
#   make demo   a full update against the simulator, over a pty and over the socket HID channel
#   make bench  the benchmarks under bench/

SHELL := /bin/bash
JOBS ?= $(shell nproc)
BUILD_TYPE ?= RelWithDebInfo
export WINEDEBUG := -all
export WINEPREFIX ?= $(CURDIR)/build-win/wineprefix

DEB_PACKAGES := cmake make g++ pkg-config libgtest-dev googletest libbenchmark-dev \
  qt6-base-dev libhidapi-dev fonts-liberation xvfb xauth imagemagick \
  g++-mingw-w64-x86-64-posix wine64 srecord python3

.PHONY: deps build build-native build-win test test-native test-win demo bench clean

deps:
	@missing=$$(for p in $(DEB_PACKAGES); do \
	    dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null | grep -q '^install ok installed' || echo $$p; done); \
	if [ -n "$$missing" ]; then \
	  echo "Installing:" $$missing; \
	  SUDO=$$( [ "$$(id -u)" = 0 ] || echo sudo ); \
	  $$SUDO apt-get update -q && \
	  DEBIAN_FRONTEND=noninteractive $$SUDO apt-get install -y -q --no-install-recommends $$missing; \
	else echo "All build and test packages are installed."; fi

build: build-native build-win

build-native:
	cmake -S . -B build -DCMAKE_BUILD_TYPE=$(BUILD_TYPE)
	cmake --build build -j $(JOBS)

build-win:
	cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DCMAKE_BUILD_TYPE=Release
	cmake --build build-win -j $(JOBS)

test: deps build
	$(MAKE) --no-print-directory test-native test-win

test-native:
	ctest --test-dir build --output-on-failure -j $(JOBS)

test-win:
	mkdir -p $(WINEPREFIX)
	ctest --test-dir build-win --output-on-failure

demo: deps build-native
	bash examples/demo.sh

bench: deps build-native
	bash bench/run.sh

clean:
	rm -rf build build-win
