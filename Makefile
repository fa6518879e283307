# Set-up and everyday commands. Each target builds what it needs first.
#   make serve       run a Jupyter Server on 127.0.0.1 with the extension loaded
#   make test        run the whole test suite
#   make test-asan   run the suite against a build with AddressSanitizer and UBSan
#   make matrix      run the suite on every installed CPython from 3.8 to 3.13

# The newest installed CPython of a minor version: pyenv's, else pythonX.Y on the PATH.
find_python = $(firstword $(lastword $(sort $(wildcard /root/.pyenv/versions/$(1).*/bin/python))) \
                          $(shell command -v python$(1) 2>/dev/null))

# The interpreter the virtual environments are made from: CPython 3.8 unless PYTHON= says
# otherwise. `make matrix` runs the suite on each of MATRIX that is installed.
PYTHON ?= $(call find_python,3.8)
MATRIX ?= 3.8 3.9 3.10 3.11 3.12 3.13
VENV ?= .venv
ASAN_VENV ?= .venv-asan
PYTEST_ARGS ?=

# The project's own builds treat warnings as errors (a plain `pip install .` does not).
BUILD_SETTINGS := -C cmake.define.ZELVO_WERROR=ON
ASAN_SETTINGS := $(BUILD_SETTINGS) -C cmake.define.ZELVO_SANITIZE=ON \
                 -C cmake.build-type=Debug -C "build-dir=build/asan-{wheel_tag}"

SOURCES := $(shell find frame zelvo zelvo_core jupyter-config -type f \
                 \( -name '*.cpp' -o -name '*.h' -o -name '*.py' -o -name '*.json' \)) \
           CMakeLists.txt pyproject.toml

# The sanitizer runtimes must be loaded before the interpreter's own allocations.
ASAN_ENV := LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libubsan.so)" \
            PYTHONMALLOC=malloc \
            ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:strict_init_order=1 \
            UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

.PHONY: serve test test-asan matrix lint install clean

install: $(VENV)/.installed

# A virtual environment with pip up to date and the build backend installed, so that
# rebuilds after a change skip build isolation.
%/bin/python:
	@test -n "$(PYTHON)" || { echo "No CPython 3.8 found: set PYTHON=/path/to/python" >&2; exit 1; }
	$(PYTHON) -m venv $*
	$*/bin/python -m pip install --quiet --upgrade pip "scikit-build-core>=0.10" \
	    "cmake>=3.18" ninja

$(VENV)/.installed: $(VENV)/bin/python $(SOURCES)
	$(VENV)/bin/python -m pip install --quiet --no-build-isolation $(BUILD_SETTINGS) ".[test]"
	touch $@

$(ASAN_VENV)/.installed: $(ASAN_VENV)/bin/python $(SOURCES)
	$(ASAN_VENV)/bin/python -m pip install --quiet --no-build-isolation $(ASAN_SETTINGS) ".[test]"
	touch $@

# Jupyter Server refuses to run as root unless told; containers often are root.
SERVE_ARGS ?= --ip=127.0.0.1 --no-browser $(if $(filter 0,$(shell id -u)),--allow-root)

serve: install
	$(VENV)/bin/jupyter server $(SERVE_ARGS)

test: install
	$(VENV)/bin/pytest $(PYTEST_ARGS)

test-asan: $(ASAN_VENV)/.installed
	$(ASAN_ENV) $(ASAN_VENV)/bin/pytest $(PYTEST_ARGS)

# One environment per version, .venv-<major.minor>; a version that is not installed is
# reported and skipped.
matrix:
	@status=0; \
	$(foreach v,$(MATRIX),$(if $(call find_python,$(v)), \
	    echo "== CPython $(v): $(call find_python,$(v))"; \
	    $(MAKE) --no-print-directory test PYTHON=$(call find_python,$(v)) VENV=.venv-$(v) \
	        || status=1;, \
	    echo "== CPython $(v): not installed, skipped";)) \
	exit $$status

lint: $(VENV)/bin/python
	$(VENV)/bin/python -m pip install --quiet "ruff>=0.6"
	$(VENV)/bin/ruff check .
	$(VENV)/bin/ruff format --check .

clean:
	rm -rf build $(VENV) $(ASAN_VENV)
