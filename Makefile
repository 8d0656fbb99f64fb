# The project's commands. `make test` is the test command; `make demo` shows the tool at work.
BUILD_DIR    ?= build
PREFIX       ?= /usr/local
JOBS         ?= 2
CMAKE_FLAGS  ?=
CTEST_FLAGS  ?= --output-on-failure -j$(JOBS)

.PHONY: all deps build test test-asan test-tsan bench demo install fuzz clean

all: build

deps:
	@bash cmake/deps.sh

build:
	cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS)
	cmake --build $(BUILD_DIR) -j$(JOBS)

test: deps build
	cd $(BUILD_DIR) && ctest $(CTEST_FLAGS)

test-asan: deps
	cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DTAVRIN_SANITIZE=address -DTAVRIN_BUILD_BENCHMARKS=OFF $(CMAKE_FLAGS)
	cmake --build build-asan -j$(JOBS)
	cd build-asan && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ctest $(CTEST_FLAGS)

test-tsan: deps
	cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ -DTAVRIN_SANITIZE=thread -DTAVRIN_BUILD_BENCHMARKS=OFF $(CMAKE_FLAGS)
	cmake --build build-tsan -j$(JOBS)
	cd build-tsan && TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 ctest $(CTEST_FLAGS)

bench: deps
	cmake -S . -B build-release -DCMAKE_BUILD_TYPE=Release -DTAVRIN_BUILD_TESTS=OFF $(CMAKE_FLAGS)
	cmake --build build-release -j$(JOBS)
	@for b in build-release/bench/bench_*; do [ -x "$$b" ] && echo "== $$b" && TAVRIN_SIM_WORLD=default "$$b" || exit 1; done

fuzz: deps
	cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ -DTAVRIN_BUILD_FUZZERS=ON -DTAVRIN_BUILD_TESTS=OFF -DTAVRIN_BUILD_BENCHMARKS=OFF -DTAVRIN_BUILD_EXAMPLES=OFF $(CMAKE_FLAGS)
	cmake --build build-fuzz -j$(JOBS)

# Only what the demo runs: the library and the tool.
demo: deps
	cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS)
	cmake --build $(BUILD_DIR) -j$(JOBS) --target tavrin-switch
	TAVRIN_SIM_WORLD=default $(BUILD_DIR)/tool/tavrin-switch C3A1F5E2-7B4D-4E8A-9F61-2D5B8C0E7A13 on 30

install: build
	cmake --install $(BUILD_DIR) --prefix $(PREFIX)

clean:
	rm -rf build build-asan build-tsan build-release build-fuzz
