"""The page's own script tests (tests/page/*.test.mjs), run by node's built-in test runner."""

import json
import os
import shutil
import subprocess
from pathlib import Path

import pytest

HERE = Path(__file__).resolve().parent
NODE = shutil.which("node") or shutil.which("nodejs")


@pytest.mark.skipif(NODE is None, reason="needs node (apt-get install nodejs)")
def test_scripts():
    from zelvo.server.handlers.views import page_protocol

    env = {key: value for key, value in os.environ.items() if key != "LD_PRELOAD"}
    # The scripts' tables take the protocol's words from the server, and read times in UTC.
    env.update(ZELVO_PROTOCOL=json.dumps(page_protocol()), TZ="UTC")
    files = sorted(str(path) for path in HERE.glob("*.test.mjs"))
    result = subprocess.run(
        [NODE, "--test", *files], capture_output=True, text=True, env=env, timeout=120
    )
    assert result.returncode == 0, result.stdout + result.stderr
