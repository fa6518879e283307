"""The notebook extension as the package installs it: listed, cacheable and out of the host's
way. Its behaviour in the front ends is tests/server/test_extension.py."""

import hashlib
import json
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

NAME = "@zelvo/notebook-extension"
SHARE = Path(sys.prefix, "share", "jupyter")
FOLDER = SHARE / "labextensions" / NAME


def jupyter(tmp_path, *args):
    """``jupyter labextension <args>`` of this environment, with a configuration of its own;
    its output, colours stripped."""
    env = dict(os.environ, JUPYTER_PLATFORM_DIRS="1", JUPYTER_CONFIG_DIR=str(tmp_path / "config"))
    done = subprocess.run(
        [sys.executable, "-m", "jupyter", "labextension", *args],
        capture_output=True, text=True, env=env, check=True,
    )  # fmt: skip
    return re.sub(r"\x1b\[[0-9;]*m", "", done.stdout + done.stderr)


def listed(tmp_path):
    lines = jupyter(tmp_path, "list").splitlines()
    return [line.split() for line in lines if line.split()[:1] == [NAME]]


def test_it_is_listed_from_the_python_package_and_can_be_disabled(tmp_path):
    pytest.importorskip("jupyterlab")
    version = json.loads((FOLDER / "package.json").read_text())["version"]
    assert listed(tmp_path) == [[NAME, f"v{version}", "enabled", "OK", "(python,", "zelvo)"]]
    # For this configuration only: the default level is the environment's own.
    jupyter(tmp_path, "disable", "--level=user", NAME)
    assert listed(tmp_path)[0][2] == "disabled"


def test_every_static_file_is_named_after_its_content():
    package = json.loads((FOLDER / "package.json").read_text())
    static = sorted((FOLDER / "static").iterdir())
    assert {f"static/{path.name}" for path in static} >= {package["jupyterlab"]["_build"]["load"]}
    for path in static:
        digest = hashlib.sha256(path.read_bytes()).hexdigest()[:20]
        assert path.stem.rsplit(".", 1)[-1] == digest, path.name
    # The entry file names the others, so a change to any of them renames it too.
    entry = (FOLDER / package["jupyterlab"]["_build"]["load"]).read_text()
    assert all(path.name in entry for path in static if not path.name.startswith("remoteEntry"))
    assert "@ZELVO_" not in entry


def test_its_shortcuts_do_not_take_the_hosts_keys():
    schemas = SHARE / "lab" / "schemas"
    if not schemas.is_dir():
        pytest.skip("no JupyterLab installed")
    ours = json.loads((FOLDER / "schemas" / NAME / "plugin.json").read_text())
    keys = {" ".join(s["keys"]) for s in ours["jupyter.lab.shortcuts"]}
    assert keys
    taken = {}
    for path in schemas.glob("@jupyterlab/*/*.json"):
        for shortcut in json.loads(path.read_text()).get("jupyter.lab.shortcuts", []):
            taken.setdefault(" ".join(shortcut["keys"]), []).append(shortcut["command"])
    assert {key: taken[key] for key in keys if key in taken} == {}
