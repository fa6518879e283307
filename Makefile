# Set-up and everyday commands. Each target builds what it needs first.
#   make serve       run a Jupyter Server on 127.0.0.1 with the extension loaded
#   make test        run the whole test suite
#   make test-asan   run the suite against a build with AddressSanitizer and UBSan

# The interpreter the virtual environments are made from: CPython 3.8 unless PYTHON= says
# otherwise.
PYTHON ?= $(firstword $(wildcard /root/.pyenv/versions/3.8.18/bin/python) \
                      $(shell command -v python3.8 2>/dev/null))
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

.PHONY: serve test test-asan lint install clean

install: $(VENV)/.installed

# A virtual environment with pip up to date and the build backend installed, so that
# rebuilds after a change skip build isolation.
%/bin/python:
	@test -n "$(PYTHON)" || { echo "No CPython 3.8 found: set PYTHON=/path/to/python" >&2; exit 1; }
	$(PYTHON) -m venv $*
	$*/bin/python -m pip install --quiet --upgrade pip "scikit-build-core>=0.10"

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

lint: $(VENV)/bin/python
	$(VENV)/bin/python -m pip install --quiet "ruff>=0.6"
	$(VENV)/bin/ruff check .
	$(VENV)/bin/ruff format --check .

clean:
	rm -rf build $(VENV) $(ASAN_VENV)
