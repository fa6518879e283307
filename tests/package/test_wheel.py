"""A wheel of `make wheels` installs without a compiler and holds what it should.

Runs when ZELVO_WHEELS names the folder of the wheels (CI: `make wheels`, then this file with
ZELVO_WHEELS=dist), on the interpreter of the suite.
"""

import os
import subprocess
import sys
import sysconfig
import zipfile
from pathlib import Path

import pytest

WHEELS = os.environ.get("ZELVO_WHEELS")
TAG = "cp{}{}".format(*sys.version_info[:2])
MODULES = ["zelvo.server.handlers.flowsync", "zelvo.server.handlers.pipeline_export.pipeport"]

pytestmark = pytest.mark.skipif(not WHEELS, reason="set ZELVO_WHEELS to the wheels' folder")


def test_wheel_installs_into_a_fresh_environment_and_imports(tmp_path):
    [wheel] = Path(WHEELS).glob(f"zelvo-*-{TAG}-{TAG}-manylinux*_x86_64.whl")
    names = zipfile.ZipFile(wheel).namelist()
    # Sources and build notes stay out; the metadata's own text files (entry points) are in.
    assert not [
        name
        for name in names
        if name.endswith((".cpp", ".h", ".txt")) and ".dist-info/" not in name
    ]
    assert {
        "zelvo/server/schemas/post-body.json",
        "zelvo/server/schemas/kernel-list.json",
        "zelvo/server/static/view.js",
        "zelvo/server/templates/view.html",
    } < set(names)
    assert [name for name in names if name.endswith(".dist-info/licenses/LICENSE")]
    # The notebook extension as data files: pip places them in the environment's share/jupyter
    # and removes them with the package.
    labextension = ".data/data/share/jupyter/labextensions/@zelvo/notebook-extension/"
    assert {name.rsplit(labextension, 1)[-1] for name in names if labextension in name} >= {
        "package.json", "install.json", "schemas/@zelvo/notebook-extension/plugin.json",
    }  # fmt: skip
    venv = tmp_path / "venv"
    subprocess.run([sys.executable, "-m", "venv", str(venv)], check=True)
    python = str(venv / "bin" / "python")
    site = subprocess.run(
        [python, "-c", "import sysconfig; print(sysconfig.get_path('purelib'))"],
        check=True, capture_output=True, text=True,
    ).stdout.strip()  # fmt: skip
    # No compiler and no index: pip can only unpack the wheel.
    no_build = dict(os.environ, CC="false", CXX="false", PIP_NO_INDEX="1")
    subprocess.run(
        [python, "-m", "pip", "install", "--quiet", "--no-deps", "--only-binary=:all:", wheel],
        check=True, env=no_build,
    )  # fmt: skip
    # The dependencies come from this suite's environment, after the fresh one's own packages.
    Path(site, "dependencies.pth").write_text(sysconfig.get_path("purelib") + "\n")
    script = (
        "import importlib, zelvo.server.schemas as s\n"
        f"for name in {MODULES!r}: print(importlib.import_module(name).__file__)\n"
        "print(len(s.names()))"
    )
    out = subprocess.run(
        [python, "-c", script], check=True, capture_output=True, text=True, cwd=tmp_path
    ).stdout.split()
    assert all(path.startswith(site) for path in out[:2]), out
    assert int(out[2]) == len(list(Path(site, "zelvo/server/schemas").glob("*.json"))) > 0
    assert (venv / "etc/jupyter/jupyter_server_config.d/zelvo.json").exists()
    assert (venv / "bin" / "zelvo").exists()
