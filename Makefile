# Entry points: `make demo`, `make test`, `make bench`, `make fuzz`.
# Each installs missing Debian packages first, so a fresh machine needs nothing else.

CMAKE ?= cmake
CTEST ?= ctest

.PHONY: all deps demo test test-dev test-asan test-fuzz fuzz fuzz-build bench stubs format clean

# How long `make test` fuzzes, and how long `make fuzz` does (seconds).
FUZZ_TEST_SECONDS ?= 60
FUZZ_SECONDS ?= 1800
FUZZ_ARGS = -max_len=2048 -timeout=30 -print_final_stats=1
# Shorter allocation stacks: fuzzing allocates a lot, and reports stay readable.
FUZZ_ENV = ASAN_OPTIONS=malloc_context_size=8

all: test

deps:
	@scripts/install-deps

demo: deps
	@$(CMAKE) --preset dev >/dev/null
	@$(CMAKE) --build --preset dev --target kvr_demo
	@./build/dev/bin/kvr_demo build/demo
	@./build/dev/bin/kvr_demo --cell examples/cells/workcell.json build/demo

test: deps test-dev test-asan test-fuzz

test-dev:
	$(CMAKE) --preset dev
	$(CMAKE) --build --preset dev
	$(CTEST) --preset dev --output-on-failure

test-asan:
	$(CMAKE) --preset asan
	$(CMAKE) --build --preset asan
	$(CTEST) --preset asan --output-on-failure

# The fuzz target runs under AddressSanitizer and UndefinedBehaviorSanitizer;
# new inputs go to build/fuzz/corpus, the committed seeds stay as they are.
fuzz-build:
	$(CMAKE) --preset fuzz
	$(CMAKE) --build --preset fuzz
	mkdir -p build/fuzz/corpus

test-fuzz: fuzz-build
	$(FUZZ_ENV) ./build/fuzz/bin/kvr_model_fuzzer $(FUZZ_ARGS) -max_total_time=$(FUZZ_TEST_SECONDS) \
	  -artifact_prefix=build/fuzz/ build/fuzz/corpus fuzz/corpus

fuzz: deps fuzz-build
	$(FUZZ_ENV) ./build/fuzz/bin/kvr_model_fuzzer $(FUZZ_ARGS) -max_total_time=$(FUZZ_SECONDS) \
	  -artifact_prefix=build/fuzz/ build/fuzz/corpus fuzz/corpus

bench: deps
	$(CMAKE) --preset release
	$(CMAKE) --build --preset release --target kvr_bench
	./build/release/bin/kvr_bench $(BENCH_ARGS)
	$(CMAKE) --build --preset release --target kvr_py_bench

# The Python package's type stubs, after a change to its bindings.
stubs: deps
	$(CMAKE) --preset dev
	$(CMAKE) --build --preset dev --target kvr_py_stubs

format:
	@git ls-files '*.h' '*.cpp' | xargs clang-format -i

clean:
	rm -rf build
