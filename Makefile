# The project's commands. `make run` and `make test` each do the whole set-up
# on a fresh Debian 12 machine: packages, configure, build, then run or test.
PRESET ?= default
JOBS ?= $(shell nproc)
BUILD = build/$(PRESET)

FUZZ_SECONDS ?= 600

.PHONY: all deps build run test asan fuzz soak bench format check-format clean screenshot

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

asan:
	$(MAKE) test PRESET=asan

# The recording fuzzer (clang, libFuzzer + ASan + UBSan) for FUZZ_SECONDS, seeded
# with the evemu-devices recordings; a crash fails it and leaves the input in build/fuzz/artifacts.
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

format:
	@git ls-files '*.cpp' '*.h' | xargs clang-format -i

check-format:
	@git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run --Werror

clean:
	rm -rf build
