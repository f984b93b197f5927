# Every target goes through scripts/setup.sh, which installs what is missing
# and rebuilds the module when its sources changed (seconds when nothing did).
VENV      := .venv
PY        := $(VENV)/bin/python
CMAKE     := $(VENV)/bin/cmake
CPP_BUILD := build/cpp-tests
EARCUT    := $(CURDIR)/.cache/earcut/stable/include
DEMO_OUT  ?= demo-output

.PHONY: setup test pytest cpp-test demo clean fuzz bench bench-smoke bench-build bench-mesher bench-mesher-smoke

setup:
	bash scripts/setup.sh

test: setup
	$(PY) -m pytest
	$(MAKE) --no-print-directory cpp-test

pytest: setup
	$(PY) -m pytest

cpp-test:
	$(CMAKE) -S . -B $(CPP_BUILD) -G Ninja -DCMAKE_MAKE_PROGRAM=$(CURDIR)/$(VENV)/bin/ninja \
	    -DCMAKE_BUILD_TYPE=Release -DVELLUMCUT_BUILD_MODULE=OFF -DVELLUMCUT_BUILD_TESTS=ON \
	    -DEARCUT_INCLUDE_DIR=$(EARCUT) >/dev/null
	$(CMAKE) --build $(CPP_BUILD)
	$(VENV)/bin/ctest --test-dir $(CPP_BUILD) --output-on-failure

# Benchmarks: the native driver (floor and literal reference) is built by
# CMake; the Python peer's packages live in their own .venv-bench.
BENCH_BUILD := build/bench
BENCH_ARGS  ?=

bench-build: setup
	bash bench/setup_bench.sh
	$(CMAKE) -S . -B $(BENCH_BUILD) -G Ninja -DCMAKE_MAKE_PROGRAM=$(CURDIR)/$(VENV)/bin/ninja \
	    -DCMAKE_BUILD_TYPE=Release -DVELLUMCUT_BUILD_MODULE=OFF -DVELLUMCUT_BUILD_BENCH=ON \
	    -DEARCUT_INCLUDE_DIR=$(EARCUT) >/dev/null
	$(CMAKE) --build $(BENCH_BUILD)

bench: bench-build
	$(PY) bench/run.py $(BENCH_ARGS)

bench-smoke: bench-build
	$(PY) bench/run.py --sizes 512 --rpx 8 --repeat 1 $(BENCH_ARGS)

# The product mesher against the core and the Python peer (bench/bench_mesher.py);
# MESHER_ARGS passes options (--sections, --kinds, --repeat, --real-limit, ...).
MESHER_ARGS ?=

bench-mesher: setup
	bash bench/setup_bench.sh
	$(PY) bench/bench_mesher.py $(MESHER_ARGS)

bench-mesher-smoke: setup
	bash bench/setup_bench.sh
	$(PY) bench/bench_mesher.py --sizes 512 --kinds island --repeat 1 --batch 16 --rounds 1 --real-limit 40 $(MESHER_ARGS)

# Sanitized libFuzzer targets over image bytes and mesh input (needs clang;
# scripts/fuzz.sh installs it). FUZZ_SECONDS per target, default 300.
fuzz:
	bash scripts/fuzz.sh $(FUZZ_SECONDS)

demo: setup
	$(PY) scripts/demo.py $(DEMO_OUT)

clean:
	rm -rf build $(DEMO_OUT) bench/results
