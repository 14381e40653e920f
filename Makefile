# The two commands the README opens with: `make demo` and `make test`.
# Both install what is missing first (scripts/install-deps.sh) and need no other set-up.

JOBS ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE_GEN := -G Ninja
CTEST_FLAGS := --output-on-failure -j $(JOBS) --timeout 600

SAN_ENV_ASAN := ASAN_OPTIONS=detect_leaks=1:abort_on_error=0:strict_string_checks=1 \
                UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
SAN_ENV_TSAN := TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1

.PHONY: format format-check all deps build build-asan build-tsan demo test test-normal test-asan test-tsan test-fuzz bench fuzz soak replay-long clean \
        windows build-win32 build-win64 test-windows

all: build

deps:
	@bash scripts/install-deps.sh

build/build.ninja: | deps
	cmake -S . -B build $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo

build-asan/build.ninja: | deps
	cmake -S . -B build-asan $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Debug -DBRELK_SANITIZE=address

build-tsan/build.ninja: | deps
	cmake -S . -B build-tsan $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Debug -DBRELK_SANITIZE=thread

# The PE builds (mingw-w64); the x64 tree's tests read the x86 modules from build-win32.
build-win32/build.ninja: | deps
	cmake -S windows -B build-win32 $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	    -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/mingw-w64-i686.cmake

build-win64/build.ninja: | deps
	cmake -S windows -B build-win64 $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	    -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/mingw-w64-x86_64.cmake \
	    -DBRELK_WIN32_DIR=$(CURDIR)/build-win32

build: deps build/build.ninja
	cmake --build build -j $(JOBS)

build-asan: deps build-asan/build.ninja
	cmake --build build-asan -j $(JOBS)

build-tsan: deps build-tsan/build.ninja
	cmake --build build-tsan -j $(JOBS)

build-win32: deps build-win32/build.ninja
	cmake --build build-win32 -j $(JOBS)

build-win64: deps build-win64/build.ninja
	cmake --build build-win64 -j $(JOBS)

windows: build-win32 build-win64

demo: build
	bash scripts/demo.sh build

test-normal: build
	cd build && ctest $(CTEST_FLAGS)

test-asan: build-asan
	cd build-asan && $(SAN_ENV_ASAN) ctest $(CTEST_FLAGS)

test-tsan: build-tsan
	cd build-tsan && $(SAN_ENV_TSAN) ctest $(CTEST_FLAGS)

# The PE suites under 64-bit Wine; ctest creates the prefix first and ends its
# wineserver last, and the final wineserver -w makes sure none is left behind. The
# whole-update scenarios run the Linux build's brelk-sim with --wine.
test-windows: windows build
	cd build-win64 && ctest $(CTEST_FLAGS); rc=$$?; \
	    WINEPREFIX=$(CURDIR)/build-win64/wineprefix /usr/lib/wine/wineserver64 -k 2>/dev/null; \
	    WINEPREFIX=$(CURDIR)/build-win64/wineprefix /usr/lib/wine/wineserver64 -w 2>/dev/null; \
	    exit $$rc

# Each libFuzzer target for a few seconds (clang, build-fuzz); `make fuzz` runs them longer.
test-fuzz: deps
	bash scripts/fuzz.sh short

test: test-normal test-asan test-tsan test-fuzz test-windows
	@echo "all three builds passed (normal, ASan+UBSan, TSan), the fuzz smoke runs, and the PE builds with their Wine suites"

bench: build
	bash scripts/bench.sh build

fuzz: deps
	bash scripts/fuzz.sh long

# 1000 updates (125 seeded random runs of the retry policy's model, 8 starts each, with
# kills, refused sessions, failed downloads and lost writes), replayed on the real modules.
SOAK_SEED ?= 2016
soak: build
	build/bin/brelk-replay --random 125 --max-starts 8 --seed $(SOAK_SEED) \
	    --model model/policy.pml | tail -n 1

# The model's runs replayed longer than in make test: 1000 runs of up to 8 starts.
replay-long: build
	build/bin/brelk-replay --random 1000 --max-starts 8 --seed 1616 \
	    --model model/policy.pml | tail -n 1

# clang-format (15 or later: the style sets InsertBraces) over every tracked C++ source.
format: deps
	bash scripts/format.sh

format-check: deps
	bash scripts/format.sh --check

clean:
	rm -rf build build-asan build-tsan build-fuzz build-win32 build-win64
