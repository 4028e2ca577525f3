# Entry points: `make demo`, `make test`, `make bench`.
# Each installs missing Debian packages first, so a fresh machine needs nothing else.

CMAKE ?= cmake
CTEST ?= ctest

.PHONY: all deps demo test test-dev test-asan bench format clean

all: test

deps:
	@scripts/install-deps

demo: deps
	@$(CMAKE) --preset dev >/dev/null
	@$(CMAKE) --build --preset dev --target kvr_demo
	@./build/dev/bin/kvr_demo

test: deps test-dev test-asan

test-dev:
	$(CMAKE) --preset dev
	$(CMAKE) --build --preset dev
	$(CTEST) --preset dev

test-asan:
	$(CMAKE) --preset asan
	$(CMAKE) --build --preset asan
	$(CTEST) --preset asan

bench: deps
	$(CMAKE) --preset release
	$(CMAKE) --build --preset release --target kvr_bench
	./build/release/bin/kvr_bench $(BENCH_ARGS)
	$(CMAKE) --build --preset release --target kvr_py_bench

format:
	@git ls-files '*.h' '*.cpp' | xargs clang-format -i

clean:
	rm -rf build
