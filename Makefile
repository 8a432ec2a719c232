# Everything runs inside .venv (Python 3.13), created on first use.
VENV     := .venv
PY       := $(VENV)/bin/python
PIP      := $(PY) -m pip --disable-pip-version-check -q
SOURCES  := $(shell find src -type f -not -path '*/__pycache__/*') CMakeLists.txt pyproject.toml quoranth.pyi py.typed

.PHONY: demo test native-test install clean

# The tour, then both sample days through the replay command, each in full with
# its chart, and both at once as parallel jobs.
DATA     := examples/data
AMZN     := $(DATA)/AMZN_2012-06-21_34200000_57600000
AAPL     := $(DATA)/AAPL_2012-06-21_34200000_57600000
REPLAY   := $(VENV)/bin/quoranth-replay

demo: $(VENV)/.installed
	$(PY) examples/demo.py
	@mkdir -p build/demo
	@echo; echo "== $(REPLAY) (AMZN, a whole session of top-of-book events)"
	$(REPLAY) $(AMZN)_message_1.csv --orderbook $(AMZN)_orderbook_1.csv --chart build/demo/AMZN-depth.png
	@echo; echo "== $(REPLAY) (AAPL, the first 50 s, events in the top 10 levels)"
	$(REPLAY) $(AAPL)_message_10.csv --orderbook $(AAPL)_orderbook_10.csv --chart build/demo/AAPL-depth.png --out build/demo
	@echo; echo "== both files at once, in parallel worker processes"
	$(REPLAY) $(AMZN)_message_1.csv $(AAPL)_message_10.csv --orderbook $(AMZN)_orderbook_1.csv --orderbook $(AAPL)_orderbook_10.csv

test: $(VENV)/.installed native-test
	$(PY) -m pytest

# Native tests of the engine alone (failure injection, the price ladder against
# an ordered map), built straight from its sources; no Python involved.
ENGINE_SOURCES = $(wildcard src/lib/*.cpp src/lib/platform/*.cpp src/lib/replay/*.cpp src/text/*.cpp)
ENGINE_FILES  := $(shell find src/lib src/text -type f)
NATIVE_TEST   := build/native/engine_test

native-test: $(NATIVE_TEST)
	$(NATIVE_TEST)

$(NATIVE_TEST): tests/native/engine_test.cpp $(ENGINE_FILES)
	@mkdir -p $(@D)
	$(CXX) -O2 -g -std=c++20 -Wall -Wextra -Isrc -o $@ tests/native/engine_test.cpp $(ENGINE_SOURCES)

$(NATIVE_TEST)-asan: tests/native/engine_test.cpp $(ENGINE_FILES)
	@mkdir -p $(@D)
	$(CXX) -O1 -g -std=c++20 -Wall -Wextra -Isrc -fsanitize=address,undefined -fno-sanitize-recover=all \
	  -fno-omit-frame-pointer -o $@ tests/native/engine_test.cpp $(ENGINE_SOURCES)

install: $(VENV)/.installed

# Any venv of the project (.venv, .venv-asan): Python 3.13 plus the build and
# test tools. Precious, so that make never deletes them as intermediates.
# While `-m venv` runs, a marker beside the venv says so: a venv cut short
# (Ctrl-C, a Python without ensurepip) is made again from scratch rather than
# failing ever after, as is one whose pip does not run. A working venv made
# otherwise is kept, and a folder that is not a venv is never removed.
.PRECIOUS: %/.created %/.tools
%/.created:
	@interpreter=$$(tools/find-python313) || exit 1; \
	if [ -e $*.partial ] || { [ -e $*/pyvenv.cfg ] && ! $*/bin/python -m pip --version >/dev/null 2>&1; }; then \
	  rm -rf $*; \
	elif [ -e $* ] && [ ! -e $*/pyvenv.cfg ] && [ -n "$$(ls -A $*)" ]; then \
	  echo "error: $* is not a Python venv; move it away or choose another VENV" >&2; exit 1; \
	fi; \
	if [ ! -e $*/pyvenv.cfg ]; then \
	  touch $*.partial && "$$interpreter" -m venv $* && rm -f $*.partial; \
	fi && touch $@

%/.tools: %/.created requirements-dev.txt
	$*/bin/python -m pip --disable-pip-version-check -q install -r requirements-dev.txt
	@touch $@

# Built without isolation so that the CMake build directory is reused and a
# rebuild after a small change only compiles what changed. The build directory
# is named here, not in pyproject.toml, so that a plain `pip install` builds in
# a temporary one (a read-only tree installs; two installs never collide).
BUILD_DIR := --config-settings=build-dir=build/{wheel_tag}
$(VENV)/.installed: $(VENV)/.tools $(SOURCES)
	$(PIP) install --no-build-isolation --no-deps $(BUILD_DIR) .
	@touch $@

clean:
	rm -rf build $(VENV) $(ASAN_VENV) $(PEERS_VENV) $(VENV).partial $(ASAN_VENV).partial

# Reliability runs. `make sanitize` builds the module with AddressSanitizer and
# UndefinedBehaviorSanitizer into its own venv and build directory and runs every
# test under it; `make valgrind` runs a short flow under memcheck and fails on
# any loss or error in the module's frames; `make soak` runs the random
# operation sequences for long (100,000 operations or more).
ASAN_VENV    := .venv-asan
ASAN_PY      := $(ASAN_VENV)/bin/python
ASAN_PIP     := $(ASAN_PY) -m pip --disable-pip-version-check -q
ASAN_RUNTIME  = $(shell g++ -print-file-name=libasan.so) $(shell g++ -print-file-name=libubsan.so)
# The interpreter's own allocations are never freed at exit, so leak reports are off.
ASAN_ENV      = LD_PRELOAD="$(ASAN_RUNTIME)" PYTHONMALLOC=malloc \
                ASAN_OPTIONS=detect_leaks=0 \
                UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

.PHONY: sanitize valgrind soak

$(ASAN_VENV)/.installed: $(ASAN_VENV)/.tools $(SOURCES)
	$(ASAN_PIP) install --no-build-isolation --no-deps --config-settings=build-dir=build/asan \
		--config-settings=cmake.build-type=RelWithDebInfo --config-settings=cmake.define.QUORANTH_SANITIZE=ON .
	@touch $@

sanitize: $(ASAN_VENV)/.installed $(NATIVE_TEST)-asan
	$(NATIVE_TEST)-asan
	$(ASAN_ENV) $(ASAN_PY) -m pytest -p no:cacheprovider

valgrind: $(VENV)/.installed
	@mkdir -p build
	PYTHONMALLOC=malloc valgrind --tool=memcheck --leak-check=full --num-callers=40 \
		--log-file=build/valgrind.log $(PY) tests/valgrind_flow.py
	$(PY) tests/valgrind_flow.py --report build/valgrind.log

soak: $(VENV)/.installed
	QUORANTH_SOAK=1 $(PY) -m pytest -p no:cacheprovider tests/test_stateful.py

# ---------------------------------------------------------------------------
# Benchmarks (never part of the tests): quoranth against a pure-Python book,
# peer packages from the package index and the engine alone; writes
# benchmarks/RESULTS.md. The benchmark venv holds the peers (never a dependency
# of the module) and a wheel of quoranth built from this tree, so that each
# comparison runs both books in one process.
PEERS_VENV   := benchmarks/.venv-peers
PEERS        := fastlob order-book limit-order-book lightmatchingengine cython-orderbook
ENGINE_BENCH := build/bench/engine_bench
BENCH_WHEELS := build/bench/wheels

.PHONY: bench bench-engine
bench: $(VENV)/.installed $(PEERS_VENV)/.quoranth
	-$(MAKE) --no-print-directory bench-engine
	$(PY) benchmarks/bench.py --engine-bench $(ENGINE_BENCH)

# Peers install one by one; one that does not install is reported by the run.
$(PEERS_VENV)/.installed:
	@interpreter=$$(tools/find-python313) && "$$interpreter" -m venv $(PEERS_VENV)
	@for p in $(PEERS); do \
	  $(PEERS_VENV)/bin/python -m pip --disable-pip-version-check -q install "$$p" \
	    || echo "bench: peer $$p did not install"; \
	done
	@touch $@

# The module as .venv has it, as a wheel from the same build tree (so only
# packaging runs again), reinstalled whenever the module was.
$(PEERS_VENV)/.quoranth: $(VENV)/.installed $(PEERS_VENV)/.installed
	rm -rf $(BENCH_WHEELS)
	$(PIP) wheel --no-build-isolation --no-deps $(BUILD_DIR) -w $(BENCH_WHEELS) .
	$(PEERS_VENV)/bin/python -m pip --disable-pip-version-check -q install --no-deps --force-reinstall \
	  $(BENCH_WHEELS)/quoranth-*.whl
	@touch $@

# The engine alone, built straight from its sources with the module's flags
# (optimised across files, as CMake's interprocedural optimisation does).
$(ENGINE_BENCH): benchmarks/engine_bench.cpp $(ENGINE_FILES)
	@mkdir -p $(@D)
	$(CXX) -O3 -DNDEBUG -flto=2 -std=c++20 -Isrc -o $@ benchmarks/engine_bench.cpp $(ENGINE_SOURCES)

# The engine on the mixed flow at four depths and the replay (one line per
# case), its bytes per resting order, and crafted against random prices at
# 50,000 levels, in the engine and from Python. The streams are those of
# `make bench`, written once.
ENGINE_STREAMS := build/bench/streams
bench-engine: $(ENGINE_BENCH) $(ENGINE_STREAMS)/.written $(VENV)/.installed
	$(ENGINE_BENCH) --json build/bench/engine.json --memory 1000000 --crafted 50000 \
	  --write-churn $(ENGINE_STREAMS)/outside_window.txt \
	  $(foreach d,1000 10000 100000 1000000,--flow $(d)=$(ENGINE_STREAMS)/flow_$(d).txt) \
	  $$(for f in $(ENGINE_STREAMS)/replay_*.txt; do [ -e "$$f" ] && echo --replay "$$f"; done)
	$(PY) benchmarks/crafted_prices.py 50000 --churn $(ENGINE_STREAMS)/outside_window.txt

$(ENGINE_STREAMS)/.written: benchmarks/streams.py tools/write-engine-streams | $(VENV)/.created
	$(PY) tools/write-engine-streams $(@D)
	@touch $@
