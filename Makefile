# Entry points: `make demo` runs the main job on bundled demo data. `make test` gives the
# suite's verdict in a few minutes: the Release build with warnings as errors, the format check,
# every ctest entry (the fuzz targets replaying their seeds included) and the check that a host
# program builds against the installed library. `make check` (what CI runs) is `make test`, then
# the Release test programs under valgrind memcheck, the suite again under AddressSanitizer/
# UndefinedBehaviorSanitizer, and every fuzz target under libFuzzer for FUZZ_SECONDS.
# `make bench` runs the benchmarks. Every target first installs what is missing (deps).
BUILD_DIR ?= build
ASAN_DIR ?= build-asan
FUZZ_DIR ?= build-fuzz
# The library built shared, for the install test's second host link.
SHARED_DIR ?= build-shared
# Seconds of libFuzzer per target in `make check`; fuzz/run.sh SECONDS runs longer.
FUZZ_SECONDS ?= 15
# At most two compile jobs: the build shares its machine.
JOBS ?= 2
PREFIX ?= /usr/local
CTEST_FLAGS = --output-on-failure --timeout 600
ASAN_ENV = ASAN_OPTIONS=allocator_may_return_null=1:detect_leaks=1:abort_on_error=0 \
           UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

.PHONY: all deps build test check test-plain test-install test-sanitize test-memcheck \
        test-fuzz \
        format-check demo bench install clean

all: build

deps:
	bash scripts/install-deps.sh

build: deps
	cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=Release -DVELDORAN_WERROR=ON
	cmake --build $(BUILD_DIR) -j $(JOBS)

format-check: deps
	bash scripts/check-format.sh

test-plain: build
	cd $(BUILD_DIR) && ctest $(CTEST_FLAGS)

# Hosts link the installed library both ways: static (the build above) and shared.
test-install: build
	bash tests/install/check-host.sh $(BUILD_DIR)
	cmake -S . -B $(SHARED_DIR) -DCMAKE_BUILD_TYPE=Release -DVELDORAN_WERROR=ON \
	      -DBUILD_SHARED_LIBS=ON -DVELDORAN_BUILD_TESTS=OFF -DVELDORAN_BUILD_BENCH=OFF
	cmake --build $(SHARED_DIR) -j $(JOBS)
	bash tests/install/check-host.sh $(SHARED_DIR)

test-sanitize: deps
	cmake -S . -B $(ASAN_DIR) -DCMAKE_BUILD_TYPE=Debug -DVELDORAN_WERROR=ON \
	      -DVELDORAN_SANITIZE=ON -DVELDORAN_BUILD_BENCH=OFF
	cmake --build $(ASAN_DIR) -j $(JOBS)
	cd $(ASAN_DIR) && $(ASAN_ENV) ctest $(CTEST_FLAGS)

# valgrind memcheck over the Release test programs and the fuzz targets' replays, without
# suppressions: any error, or a definite or indirect leak, fails. Each program runs whole under
# one valgrind (not case by case through ctest, which would start valgrind a few hundred times).
# The case that caps the address space, which valgrind's own heap cannot live within, skips
# itself under valgrind.
MEMCHECK = valgrind --quiet --error-exitcode=99 --leak-check=full \
           --errors-for-leak-kinds=definite,indirect --show-leak-kinds=definite,indirect
test-memcheck: build
	@set -e; cd $(BUILD_DIR)/tests; \
	for program in test_*; do \
	  [ -x "$$program" ] && [ -f "$$program" ] || continue; \
	  echo "memcheck: $$program"; \
	  $(MEMCHECK) ./$$program --gtest_brief=1 >memcheck.out || { cat memcheck.out; exit 1; }; \
	done; \
	for program in fuzz_replay_*; do \
	  echo "memcheck: $$program"; \
	  $(MEMCHECK) ./$$program $(CURDIR)/tests/fuzz-seeds/$${program#fuzz_replay_} >/dev/null; \
	done

test-fuzz: deps
	FUZZ_BUILD_DIR=$(FUZZ_DIR) JOBS=$(JOBS) bash fuzz/run.sh $(FUZZ_SECONDS)

# One after the other, even under make -j: the builds would fight over two cores.
test: deps
	$(MAKE) --no-print-directory format-check
	$(MAKE) --no-print-directory test-plain
	$(MAKE) --no-print-directory test-install

check: deps
	$(MAKE) --no-print-directory test
	$(MAKE) --no-print-directory test-memcheck
	$(MAKE) --no-print-directory test-sanitize
	$(MAKE) --no-print-directory test-fuzz

demo: build
	bash scripts/demo.sh $(BUILD_DIR)

bench: build
	bash bench/run.sh $(BUILD_DIR)

# Whole-process figures: the veldoran program against base64 -w 60 on 1 KiB to 512 MiB texts,
# decryption of the 64 MiB and 512 MiB messages against base64 -d, and binary file encryption
# and decryption against cp on 64 MiB and 512 MiB files.
.PHONY: bench-process
bench-process: build
	bash bench/process-bench.sh $(BUILD_DIR)

install: build
	cmake --install $(BUILD_DIR) --prefix $(PREFIX)

clean:
	rm -rf $(BUILD_DIR) $(ASAN_DIR) $(FUZZ_DIR) $(SHARED_DIR)
