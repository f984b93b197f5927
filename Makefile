# Every target goes through scripts/setup.sh, which installs what is missing
# and rebuilds the module when its sources changed (seconds when nothing did).
VENV      := .venv
PY        := $(VENV)/bin/python
CMAKE     := $(VENV)/bin/cmake
CPP_BUILD := build/cpp-tests
EARCUT    := $(CURDIR)/.cache/earcut/stable/include
DEMO_OUT  ?= demo-output
# Warnings are errors in CI (CI=true, as CI services set it), not locally.
WERROR    := $(if $(filter true,$(CI)),ON,OFF)
CMAKE_COMMON = -G Ninja -DCMAKE_MAKE_PROGRAM=$(CURDIR)/$(VENV)/bin/ninja \
    -DEARCUT_INCLUDE_DIR=$(EARCUT) -DVELLUMCUT_WERROR=$(WERROR)

.PHONY: setup test typecheck pytest cpp-test demo clean fuzz fuzz-build bench bench-smoke bench-build bench-mesher bench-mesher-smoke bench-cli bench-detail bench-overview bench-rig

setup:
	bash scripts/setup.sh

test: setup
	$(MAKE) --no-print-directory typecheck
	$(MAKE) --no-print-directory docs-check
	$(PY) -m pytest
	$(MAKE) --no-print-directory cpp-test

# The package's annotations (imports outside it, the Blender add-on's bpy
# types among them, are followed silently) and both native modules against
# their stubs.
typecheck: setup
	$(PY) -m mypy --follow-imports=silent python/vellumcut
	$(PY) -m mypy.stubtest vellumcut_core vellumcut._mesher

# Every relative link and #anchor of README.md and docs/*.md resolves
# (standard library only, so it needs no set-up).
.PHONY: docs-check
docs-check:
	python3 scripts/check_docs.py

pytest: setup
	$(PY) -m pytest

cpp-test:
	$(CMAKE) -S . -B $(CPP_BUILD) $(CMAKE_COMMON) -DCMAKE_BUILD_TYPE=Release -DVELLUMCUT_BUILD_MODULE=OFF \
	    -DVELLUMCUT_BUILD_TESTS=ON >/dev/null
	$(CMAKE) --build $(CPP_BUILD)
	$(VENV)/bin/ctest --test-dir $(CPP_BUILD) --output-on-failure

# Benchmarks: the native driver (floor and literal reference) is built by
# CMake; the Python peer's packages live in their own .venv-bench.
BENCH_BUILD := build/bench
BENCH_ARGS  ?=

bench-build: setup
	bash bench/setup_bench.sh
	$(CMAKE) -S . -B $(BENCH_BUILD) $(CMAKE_COMMON) -DCMAKE_BUILD_TYPE=Release -DVELLUMCUT_BUILD_MODULE=OFF \
	    -DVELLUMCUT_BUILD_BENCH=ON >/dev/null
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

# Detail control over the real sprites: tolerance sweep (monotonic vertex
# counts) and vertex budgets against a trace-simplify-extrude baseline
# (bench/bench_detail.py; BENCH_ARGS passes options such as --limit).
bench-detail: setup
	$(PY) bench/bench_detail.py $(BENCH_ARGS)

# The command line on trees of real sprites: previews, incremental re-runs,
# --dask beside --jobs 2 (bench/bench_cli.py; BENCH_ARGS passes options).
bench-cli: setup
	$(PY) bench/bench_cli.py $(BENCH_ARGS)

# rig_sprite against mesh_sprite on a 512 px character, and ten real
# characters rigged and posed (bench/bench_rig.py; RIG_ARGS passes options).
RIG_ARGS ?=

bench-rig: setup
	$(PY) bench/bench_rig.py $(RIG_ARGS)

# The overview page of the real sprites in headless Chromium: size, load, sort.
bench-overview: setup
	$(PY) bench/bench_overview.py $(BENCH_ARGS)

# Sanitized libFuzzer targets over image bytes, mesh input and sprites for the
# sprite mesher (its guarantees checked exactly), built by CMake
# with clang (scripts/fuzz_toolchain.sh installs it) under AddressSanitizer
# and UndefinedBehaviorSanitizer; scripts/fuzz.sh runs them. FUZZ_SECONDS per
# target, default 300.
FUZZ_BUILD := build/fuzz
fuzz-build: setup
	bash scripts/fuzz_toolchain.sh
	$(CMAKE) -S . -B $(FUZZ_BUILD) $(CMAKE_COMMON) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	    -DCMAKE_CXX_COMPILER=clang++-14 -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g" \
	    -DVELLUMCUT_BUILD_MODULE=OFF -DVELLUMCUT_BUILD_FUZZ=ON \
	    -DVELLUMCUT_SANITIZE=address,undefined >/dev/null
	$(CMAKE) --build $(FUZZ_BUILD)

fuzz: fuzz-build
	bash scripts/fuzz.sh $(FUZZ_SECONDS)

demo: setup
	$(PY) scripts/demo.py $(DEMO_OUT)

clean:
	rm -rf build $(DEMO_OUT) bench/results
