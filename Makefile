# Set-up and everyday commands. Each target builds what it needs first.
#   make serve   run a Jupyter Server on 127.0.0.1 with the extension loaded
#   make test    run the whole test suite

# The interpreter the virtual environment is made from: CPython 3.8 unless PYTHON= says
# otherwise.
PYTHON ?= $(firstword $(wildcard /root/.pyenv/versions/3.8.18/bin/python) \
                      $(shell command -v python3.8 2>/dev/null))
VENV ?= .venv
# Settings of the project's own builds (a plain `pip install .` leaves warnings as warnings).
BUILD_SETTINGS ?= -C cmake.define.ZELVO_WERROR=ON
PYTEST_ARGS ?=

SOURCES := $(shell find frame zelvo zelvo_core jupyter-config -type f \
                 \( -name '*.cpp' -o -name '*.h' -o -name '*.py' -o -name '*.json' \)) \
           CMakeLists.txt pyproject.toml

.PHONY: serve test install clean

install: $(VENV)/.installed

$(VENV)/bin/python:
	@test -n "$(PYTHON)" || { echo "No CPython 3.8 found: set PYTHON=/path/to/python" >&2; exit 1; }
	$(PYTHON) -m venv $(VENV)
	$(VENV)/bin/python -m pip install --quiet --upgrade pip

# The package with its test extras; the build dependencies go into the environment too so
# that rebuilds after a change skip build isolation.
$(VENV)/.installed: $(VENV)/bin/python $(SOURCES)
	$(VENV)/bin/python -m pip install --quiet "scikit-build-core>=0.10"
	$(VENV)/bin/python -m pip install --quiet --no-build-isolation $(BUILD_SETTINGS) ".[test]"
	touch $@

serve: install
	$(VENV)/bin/jupyter server --ip=127.0.0.1 --no-browser

test: install
	$(VENV)/bin/pytest $(PYTEST_ARGS)

clean:
	rm -rf build $(VENV)
