# The project's commands. `make run` and `make test` each do the whole set-up
# on a fresh Debian 12 machine: packages, configure, build, then run or test.
PRESET ?= default
JOBS ?= $(shell nproc)
BUILD = build/$(PRESET)

.PHONY: all deps build run test asan bench format check-format clean screenshot

all: build

deps:
	@scripts/install-deps

$(BUILD)/CMakeCache.txt:
	cmake --preset $(PRESET) >/dev/null

build: deps $(BUILD)/CMakeCache.txt
	cmake --build --preset $(PRESET) -j $(JOBS)

run: build
	@scripts/run $(BUILD)/app/rawmice $(ARGS)

test: build
	ctest --preset $(PRESET) -j $(JOBS)

asan:
	$(MAKE) test PRESET=asan

bench:
	$(MAKE) build PRESET=release
	@scripts/bench build/release

screenshot: build
	@scripts/screenshot $(BUILD)/app/rawmice docs/main-window.png

format:
	@git ls-files '*.cpp' '*.h' | xargs clang-format -i

check-format:
	@git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run --Werror

clean:
	rm -rf build
