import json
import os
import subprocess
import sys
import textwrap

import pytest

FLOWSYNC = "zelvo.server.handlers.flowsync"
PIPEPORT = "zelvo.server.handlers.pipeline_export.pipeport"

# Prepended to every fresh-interpreter script: `failure(call)` describes what a call raised
# (type, text, traceback records); the script prints its findings as one JSON line.
PRELUDE = f"""
import json, sys, traceback
FLOWSYNC, PIPEPORT = {FLOWSYNC!r}, {PIPEPORT!r}

def failure(call):
    try:
        call()
    except BaseException as exc:
        return [type(exc).__name__, str(exc),
                [[f.name, f.filename, f.lineno] for f in traceback.extract_tb(exc.__traceback__)]]
    return None

def load(name):
    __import__(name)
    return sys.modules[name]

facts = {{}}
"""


@pytest.fixture(scope="session")
def fresh_python(tmp_path_factory):
    """Run a script in a new interpreter and return its `facts` dict.

    The working directory is outside the repository, so the source tree (which has no built
    modules) does not shadow the installed package.
    """
    cwd = tmp_path_factory.mktemp("fresh")
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    env["JUPYTER_PLATFORM_DIRS"] = "1"

    def run(script, *flags):
        code = PRELUDE + textwrap.dedent(script) + "\nprint(json.dumps(facts))\n"
        command = [sys.executable, *flags, "-c", code]
        proc = subprocess.run(
            command, cwd=cwd, env=env, capture_output=True, text=True, timeout=120
        )
        assert proc.returncode == 0, proc.stderr
        return json.loads(proc.stdout.splitlines()[-1])

    return run
