# One entry point for building and proving the tree.
#   make deps   install the Debian packages the build and the tests need (only what is missing)
#   make deps-build  only those the native build and the .deb need (no wine, mingw, clang, nsis)
#   make build  native build into build/ (programs in build/bin/) and Windows build into build-win/,
#               configured by the presets native and windows in CMakePresets.json
#   make check  native build, then its unit suites alone (no end-to-end, window, command-line,
#               install or wine runs): seconds, for the edit-build-check loop
#   make test   deps + build + every suite: native, under wine (and the Windows release installed
#               there), under ASan+UBSan and TSan,
#               and every fuzz target over its corpus plus FUZZ_CHECK_SECONDS of new inputs
#   make fuzz   every fuzz target for FUZZ_SECONDS (default 300) each
#   make demo   a full update against the simulator, over a pty and over the socket HID channel
#   make bench  the benchmarks under bench/
#   make package  the Debian package, dist/iap-updater_VERSION_ARCH.deb (needs only deps-build)
#   make package-win  the Windows release in dist/: a zip and an installer

SHELL := /bin/bash
JOBS ?= $(shell nproc)
BUILD_TYPE ?= RelWithDebInfo
export WINEDEBUG := -all
export WINEPREFIX ?= $(CURDIR)/build-win/wineprefix

# What the native build (its programs, suites and benchmarks compiled, not run) and
# the .deb need: the compiler, the libraries compiled in, and CPack's tools
# (dpkg-shlibdeps from dpkg-dev, file to find the programs among the files).
DEB_BUILD_PACKAGES := cmake make g++ pkg-config qt6-base-dev libhidapi-dev libcli11-dev \
  libgcrypt20-dev libgtest-dev libbenchmark-dev python3 dpkg-dev file
# What the tests add: the Windows build and wine, the fuzzers' clang, the installer's
# NSIS, the firmware tools, an X server and the fonts the windows are measured for,
# and what inspects the package: lintian, the icon's SVG rendered, the menu entries
# validated, the windows' captions read off the X server, a fresh Debian root to
# install it in, the vendor's signing tool for the signature tests.
DEB_TEST_PACKAGES := googletest fonts-liberation xvfb xauth imagemagick \
  g++-mingw-w64-x86-64-posix wine64 srecord clang nsis libgcrypt-mingw-w64-dev \
  lintian librsvg2-bin desktop-file-utils x11-utils debootstrap minisign
FUZZ_SECONDS ?= 300
FUZZ_CHECK_SECONDS ?= 20
# The native suites that make check leaves out: the windows, the command line, the end-to-end
# runs against the simulator, the staged install and the package.
NOT_UNIT_SUITES := ^(ui|cli|e2e|install|package)_
# The suites with threads of their own, run again under ThreadSanitizer.
TSAN_SUITES := ^(cli_station|image_builder_tests|app_tests|update_tests|sim_tests|link_hid_socket_test|ui_qt_tests|ui_qt_e2e_tests|e2e_.*)$$
SANITIZER_ENV := ASAN_OPTIONS=detect_leaks=1:abort_on_error=0:strict_string_checks=1 \
  LSAN_OPTIONS=suppressions=$(CURDIR)/tests/sanitizers/lsan.supp:print_suppressions=0 \
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  TSAN_OPTIONS=suppressions=$(CURDIR)/tests/sanitizers/tsan.supp:halt_on_error=1:second_deadlock_stack=1

.PHONY: deps deps-build build build-native build-win build-asan build-tsan build-fuzz check test test-native \
  test-win test-asan test-tsan test-fuzz fuzz demo bench package clean

# apt-get only for what is missing; sudo unless already root.
define install_missing
	@missing=$$(for p in $(1); do \
	    dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null | grep -q '^install ok installed' || echo $$p; done); \
	if [ -n "$$missing" ]; then \
	  echo "Installing:" $$missing; \
	  SUDO=$$( [ "$$(id -u)" = 0 ] || echo sudo ); \
	  $$SUDO apt-get update -q && \
	  DEBIAN_FRONTEND=noninteractive $$SUDO apt-get install -y -q --no-install-recommends $$missing; \
	else echo "All $(2) packages are installed."; fi
endef

deps:
	$(call install_missing,$(DEB_BUILD_PACKAGES) $(DEB_TEST_PACKAGES),build and test)

deps-build:
	$(call install_missing,$(DEB_BUILD_PACKAGES),build)

build: build-native build-win

# The presets give the folders (build/, build-win/) and the toolchain; BUILD_TYPE
# still chooses the native build's type.
build-native: deps-build
	cmake --preset native -DCMAKE_BUILD_TYPE=$(BUILD_TYPE)
	cmake --build build -j $(JOBS)

build-win:
	cmake --preset windows
	cmake --build build-win -j $(JOBS)

check: build-native
	ctest --test-dir build --output-on-failure -j $(JOBS) -E '$(NOT_UNIT_SUITES)'

test: deps build
	$(MAKE) --no-print-directory test-native test-win test-package-win test-asan test-tsan test-fuzz

# Sanitizer builds live in their own folders (CMakePresets.json) and are reused.
build-asan:
	cmake --preset asan
	cmake --build build-asan -j $(JOBS)

# Only what the threaded suites run (the end-to-end suites bring iapflash and iapsim).
TSAN_TARGETS := app_tests image_builder_tests update_tests sim_tests link_hid_socket_test ui_qt_tests iapflash iapsim \
  ui_qt_e2e_tests e2e_tests

build-tsan:
	cmake --preset tsan
	cmake --build build-tsan -j $(JOBS) --target $(TSAN_TARGETS)

build-fuzz:
	cmake --preset fuzz
	cmake --build build-fuzz -j $(JOBS)

test-asan: build-asan
	$(SANITIZER_ENV) ctest --test-dir build-asan --output-on-failure -j $(JOBS)

test-tsan: build-tsan
	$(SANITIZER_ENV) ctest --test-dir build-tsan --output-on-failure -j $(JOBS) -R '$(TSAN_SUITES)'

test-fuzz: build-fuzz
	bash fuzz/run.sh build-fuzz $(FUZZ_CHECK_SECONDS)

fuzz: deps build-fuzz
	bash fuzz/run.sh build-fuzz $(FUZZ_SECONDS)

test-native:
	ctest --test-dir build --output-on-failure -j $(JOBS)

test-win:
	mkdir -p $(WINEPREFIX)
	ctest --test-dir build-win --output-on-failure

package-win: deps build-win
	cmake --build build-win --target package-win

# The release as a technician gets it: installed in a wine prefix of its own, both
# programs run an update, and the uninstaller leaves the INI files.
test-package-win: package-win build-native
	xvfb-run -a python3 packaging/win/check-release.py --build-win build-win --dist dist \
	  --iapsim build/bin/iapsim --examples examples

demo: deps build-native
	bash examples/demo.sh

bench: deps build-native
	bash bench/run.sh

package: deps-build build-native
	cd build && cpack -G DEB -B $(CURDIR)/dist
	rm -rf dist/_CPack_Packages
	@ls dist/*.deb

clean:
	rm -rf build build-win build-asan build-tsan build-fuzz dist
