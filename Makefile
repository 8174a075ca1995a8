# The project's commands. `make run` and `make test` each do the whole set-up
# on a fresh Debian 12 machine: packages, configure, build, then run or test.
PRESET ?= default
JOBS ?= $(shell nproc)
BUILD = build/$(PRESET)

FUZZ_SECONDS ?= 600

.PHONY: all deps build run test asan fuzz soak bench format check-format clean screenshot \
	windows windows-i686 wine32 test-windows package-windows screenshot-windows test-kernel

all: build

deps:
	@scripts/install-deps

$(BUILD)/CMakeCache.txt:
	cmake --preset $(PRESET) >/dev/null

build: deps $(BUILD)/CMakeCache.txt
	cmake --build --preset $(PRESET) -j $(JOBS)

# Builds the program alone (the tests are `make test`'s business), then runs it.
run: deps $(BUILD)/CMakeCache.txt
	cmake --build --preset $(PRESET) -j $(JOBS) --target rawmice
	@scripts/run $(BUILD)/app/rawmice $(ARGS)

test: build
	ctest --preset $(PRESET) -j $(JOBS)

# The whole suite under the sanitizers, but for the Debian package's checks and
# the huge-file replay (its preset leaves them out): they check nothing the
# sanitizers add to the default suite's run, and cost a minute and a half here.
asan:
	$(MAKE) test PRESET=asan

# The recording fuzzer (clang, libFuzzer + ASan + UBSan) for FUZZ_SECONDS, seeded
# with the evemu-devices recordings, the libinput record files in fuzz/seeds and
# the inputs kept in tests/fuzz/inputs; a crash or a check that fails stops it
# and leaves the input in build/fuzz/artifacts (FUZZ_CORPUS=DIR keeps the corpus).
fuzz: deps
	cmake --preset fuzz >/dev/null
	cmake --build --preset fuzz -j $(JOBS)
	@fuzz/run build/fuzz/fuzz/recording_fuzzer $(FUZZ_SECONDS)

# Ten million packets from four mice at full speed: log, memo and memory checked (not in CI).
soak: build
	@scripts/soak $(BUILD) $(SOAK_PACKETS)

bench:
	$(MAKE) build PRESET=release
	@scripts/bench build/release
	@bench/x11-vs-xinput build/release

screenshot: build
	@scripts/screenshot $(BUILD)/app/rawmice docs/main-window.png

# Windows, cross-built with mingw-w64: rawmice.exe for x86-64 and for i686
# (GUI programs that run with nothing beside them).
WINDOWS_EXE = build/windows/app/rawmice.exe

build/windows/CMakeCache.txt build/windows-i686/CMakeCache.txt:
	cmake --preset $(patsubst build/%/CMakeCache.txt,%,$@) >/dev/null

windows: deps build/windows/CMakeCache.txt windows-i686
	cmake --build --preset windows -j $(JOBS) --target rawmice
	@file $(WINDOWS_EXE) | grep -q 'PE32+ executable (GUI) x86-64' || \
		{ echo "make windows: $(WINDOWS_EXE) is not a 64-bit Windows GUI program:" >&2; \
		  file $(WINDOWS_EXE) >&2; exit 1; }

windows-i686: deps build/windows-i686/CMakeCache.txt
	cmake --build --preset windows-i686 -j $(JOBS) --target rawmice

# 32-bit Wine (wine32:i386), which the i686 build's tests run under; installed
# by the Windows targets that need it, not by `make deps`.
wine32:
	@scripts/install-wine32

# The Windows tests of both builds, x86-64 under 64-bit Wine and i686 under
# 32-bit Wine, each on a private Xvfb (scripts/test-windows sets up and stops
# Wine and the X server around ctest).
test-windows: deps wine32 build/windows/CMakeCache.txt build/windows-i686/CMakeCache.txt
	cmake --build --preset windows -j $(JOBS)
	cmake --build --preset windows-i686 -j $(JOBS)
	@scripts/test-windows build/windows -j $(JOBS)
	@scripts/test-windows build/windows-i686 -j $(JOBS)

# build/windows/rawmice-VERSION-win64.zip and, beside it, -win32.zip.
package-windows: windows
	cd build/windows && cpack -G ZIP
	cd build/windows-i686 && cpack -G ZIP -B $(CURDIR)/build/windows

# The README's picture of the Windows window, under Wine on Xvfb.
screenshot-windows: windows
	@scripts/screenshot-windows build/windows docs/windows-wine.png

# Debian's kernel under QEMU runs the default build on the kernel's own input
# nodes (scripts/test-kernel installs QEMU, udev and Xorg and fetches the
# kernel once, into build/kernel).
test-kernel: deps $(BUILD)/CMakeCache.txt
	cmake --build --preset $(PRESET) -j $(JOBS) --target rawmice
	@scripts/test-kernel $(BUILD)

format:
	@git ls-files '*.cpp' '*.h' | xargs clang-format -i

check-format:
	@git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run --Werror

clean:
	rm -rf build
