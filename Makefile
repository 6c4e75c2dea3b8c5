# Everything a fresh machine needs: `make test`, `make bench`, `make sanitize`.
PYTHON_VERSION := $(shell cat .python-version)
VENV := .venv
PY := $(VENV)/bin/python
SAN_VENV ?= .venv-sanitize
SAN_PY := $(SAN_VENV)/bin/python
WERROR ?= OFF
# Parallel work trees may build into their own directory and a subset of modules.
BUILD_DIR ?= build/release
MODULES ?= headers;cookies;url
CMAKE_FLAGS = -C cmake.define.KELVARN_MODULES="$(MODULES)" -C cmake.define.KELVARN_WERROR=$(WERROR)
BUILD_FLAGS = -C build-dir=$(BUILD_DIR) $(CMAKE_FLAGS)
# The sanitizer build has its own environment and build directory.
SAN_BUILD_DIR ?= build/sanitize
TESTS ?= tests
DEV_PACKAGES := scikit-build-core cmake ninja pytest httptools Cython
BENCH_PACKAGES := pyperf multidict werkzeug starlette yarl matplotlib

.PHONY: all install test bench bench-instructions sanitize clean

all: install

$(VENV)/.ready:
	@command -v python$(PYTHON_VERSION) >/dev/null 2>&1 || { echo "python$(PYTHON_VERSION) not found (see .python-version)"; exit 1; }
	python$(PYTHON_VERSION) -m venv $(VENV)
	$(PY) -m pip install -q --upgrade pip
	$(PY) -m pip install -q $(DEV_PACKAGES)
	touch $@

install: $(VENV)/.ready
	$(PY) -m pip install -q --no-build-isolation --no-deps $(BUILD_FLAGS) .

test: install
	$(PY) -m pytest -q $(TESTS)

$(VENV)/.bench-ready: $(VENV)/.ready Makefile
	$(PY) -m pip install -q $(BENCH_PACKAGES)
	touch $@

# The wall-clock tables (pyperf), and docs/bench.svg, the chart of their ratios.
bench: install $(VENV)/.bench-ready
	$(PY) bench/run.py $(ARGS)

# Instruction counts under callgrind. ARGS narrows the run, e.g. ARGS=url or
# ARGS="get_first --kelvarn-only" (see bench/instructions.py --help).
bench-instructions: install $(VENV)/.bench-ready
	@command -v valgrind >/dev/null 2>&1 || { \
	  if [ "$$(id -u)" = 0 ] && command -v apt-get >/dev/null 2>&1; then \
	    echo "valgrind is missing: installing it with apt-get"; \
	    apt-get update -q && apt-get install -y -q valgrind; \
	  else \
	    echo "bench-instructions counts instructions with valgrind, which is not installed."; \
	    echo "Install it with your package manager, e.g. 'sudo apt-get install valgrind' on Debian or Ubuntu."; \
	    exit 1; \
	  fi; }
	$(PY) bench/instructions.py $(ARGS)

$(SAN_VENV)/.ready:
	python$(PYTHON_VERSION) -m venv $(SAN_VENV)
	$(SAN_PY) -m pip install -q --upgrade pip
	$(SAN_PY) -m pip install -q $(DEV_PACKAGES)
	touch $@

# --capture=sys leaves file descriptor 2 alone, so a sanitizer report that
# aborts the process reaches the terminal instead of pytest's capture file.
sanitize: $(SAN_VENV)/.ready
	$(SAN_PY) -m pip install -q --no-build-isolation --no-deps -C build-dir=$(SAN_BUILD_DIR) $(CMAKE_FLAGS) \
	  -C cmake.build-type=Debug -C cmake.define.KELVARN_SANITIZE=ON .
	LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libubsan.so)" \
	  PYTHONMALLOC=malloc ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	  KELVARN_SANITIZE=1 $(SAN_PY) -m pytest -q -p no:cacheprovider --capture=sys $(TESTS)

clean:
	rm -rf build $(VENV) $(SAN_VENV)
