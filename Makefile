# The two commands the README opens with: `make demo` and `make test`.
# Both install what is missing first (scripts/install-deps.sh) and need no other set-up.

JOBS ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE_GEN := -G Ninja
CTEST_FLAGS := --output-on-failure -j $(JOBS) --timeout 600

SAN_ENV_ASAN := ASAN_OPTIONS=detect_leaks=1:abort_on_error=0:strict_string_checks=1 \
                UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
SAN_ENV_TSAN := TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1

.PHONY: all deps build build-asan build-tsan demo test test-normal test-asan test-tsan test-fuzz bench fuzz soak replay-long clean

all: build

deps:
	@bash scripts/install-deps.sh

build/build.ninja: | deps
	cmake -S . -B build $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo

build-asan/build.ninja: | deps
	cmake -S . -B build-asan $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Debug -DBRELK_SANITIZE=address

build-tsan/build.ninja: | deps
	cmake -S . -B build-tsan $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Debug -DBRELK_SANITIZE=thread

build: deps build/build.ninja
	cmake --build build -j $(JOBS)

build-asan: deps build-asan/build.ninja
	cmake --build build-asan -j $(JOBS)

build-tsan: deps build-tsan/build.ninja
	cmake --build build-tsan -j $(JOBS)

demo: build
	bash scripts/demo.sh build

test-normal: build
	cd build && ctest $(CTEST_FLAGS)

test-asan: build-asan
	cd build-asan && $(SAN_ENV_ASAN) ctest $(CTEST_FLAGS)

test-tsan: build-tsan
	cd build-tsan && $(SAN_ENV_TSAN) ctest $(CTEST_FLAGS)

# Each libFuzzer target for a few seconds (clang, build-fuzz); `make fuzz` runs them longer.
test-fuzz: deps
	bash scripts/fuzz.sh short

test: test-normal test-asan test-tsan test-fuzz
	@echo "all three builds passed (normal, ASan+UBSan, TSan), and the fuzz smoke runs"

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

clean:
	rm -rf build build-asan build-tsan build-fuzz
