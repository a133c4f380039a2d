# Front door of the build. `make` builds into build/, programs land in build/bin/.
#   make demo   the updater's whole job on its built-in simulated device
#   make test   installs what is missing, builds with warnings as errors, runs every test
#               but the long suite
#   make test-udisks  the volume service against real D-Bus, udev and udisks2 daemons (root)
#   make test-long  the long suite (rows that wait out real reply limits, ~13 min each)
#   make test-asan   every test under AddressSanitizer + UndefinedBehaviorSanitizer (build-asan/)
#   make test-tsan   the threaded tests under ThreadSanitizer (build-tsan/)
#   make fuzz-smoke  each fuzz target 3 s on its seed corpus (clang, build-fuzz/)
#   make windows       the Windows programs (mingw-w64, build-windows/bin/*.exe)
#   make windows-installer  the Windows installer and portable zip (build-windows/)
#   make test-windows  the Windows build's tests under Wine
#   make bench  builds and runs the benchmarks
#   make bench-windows  the whole update under Wine beside the Linux build's (a ratio)
#   make install    installs into $(DESTDIR)$(PREFIX) (PREFIX defaults to /usr/local)
#   make uninstall  removes what the last install into $(DESTDIR)$(PREFIX) put there
#   make package    builds the Debian package into $(BUILD)/

BUILD ?= build
JOBS  ?= $(shell nproc)
CMAKE_FLAGS ?=
PREFIX ?= /usr/local

.PHONY: all build deps configure test test-udisks test-system-updates test-long test-asan test-tsan fuzz-smoke windows windows-installer test-windows demo bench bench-windows clean install uninstall package

all: build

deps:
	@bash scripts/install-deps.sh

configure: deps
	@cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=$(PREFIX) $(CMAKE_FLAGS) >/dev/null

build: configure
	@cmake --build $(BUILD) -j $(JOBS)

test: deps
	@cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARVEL_WERROR=ON $(CMAKE_FLAGS) >/dev/null
	@cmake --build $(BUILD) -j $(JOBS)
	@bash scripts/run-tests.sh --test-dir $(BUILD) -j $(JOBS) -LE 'long|waits|system-updates' -- --test-dir $(BUILD) -j 8 -L waits -LE 'long|system-updates'

# The udisks lane: starts its own D-Bus daemon, udevd and udisksd, cleans up after them.
test-udisks: deps
	@cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARVEL_WERROR=ON $(CMAKE_FLAGS) >/dev/null
	@cmake --build $(BUILD) -j $(JOBS) --target platform_udisks_lane_test
	@bash tests/platform/udisks_lane.sh $(BUILD)/tests/platform_udisks_lane_test

# The whole updates through the real Linux backends (root, /dev/fuse), not yet in `make test`.
test-system-updates: build
	@cd $(BUILD) && ctest --output-on-failure -j 2 -L system-updates

# The long suite: rows that wait out the device's real reply limits (about 12.5 minutes each).
test-long: build
	@cd $(BUILD) && ctest --output-on-failure -j $(JOBS) -L long

# The sanitizer and fuzz builds: two jobs, no benchmarks, only what their runs need.
test-asan: deps
	@cmake --preset asan >/dev/null
	@cmake --build --preset asan
	@ctest --preset asan

test-tsan: deps
	@cmake --preset tsan >/dev/null
	@cmake --build --preset tsan
	@ctest --preset tsan

fuzz-smoke: deps
	@cmake --preset fuzz >/dev/null
	@cmake --build --preset fuzz
	@bash scripts/fuzz.sh build-fuzz -max_total_time=3

# The Windows build: Debian's cross compiler and Wine, the libraries from Debian's source
# packages (scripts/windows-deps.sh, cached in build-windows/), the tests under Wine.
windows:
	@bash scripts/windows-deps.sh build-windows
	@cmake --preset windows $(CMAKE_FLAGS) >/dev/null
	@cmake --build --preset windows --target tarvel-updater tarvel-bl tarvel-fw

windows-installer:
	@bash scripts/windows-deps.sh build-windows
	@cmake --preset windows $(CMAKE_FLAGS) >/dev/null
	@cmake --build --preset windows --target windows_installer windows_zip

test-windows:
	@bash scripts/windows-deps.sh build-windows
	@cmake --preset windows $(CMAKE_FLAGS) >/dev/null
	@cmake --build --preset windows
	@cmake --build --preset windows --target windows_installer
	@ctest --preset windows

demo: build
	@bash scripts/demo.sh $(BUILD)

bench: build
	@bash scripts/bench.sh $(BUILD)

bench-windows: build windows
	@bash scripts/bench-windows.sh $(BUILD) build-windows
	@bash scripts/bench-windows-first-paint.sh $(BUILD) build-windows

install: build
	@cmake --install $(BUILD)

uninstall:
	@bash scripts/uninstall.sh "$(DESTDIR)" "$(PREFIX)"

package: build
	@cd $(BUILD) && cpack -G DEB

clean:
	rm -rf $(BUILD) build-asan build-tsan build-fuzz build-windows
