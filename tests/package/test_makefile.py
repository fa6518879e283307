"""The Makefile's set-up: which interpreter it takes, and `make serve` against a real server."""

import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import time
import urllib.request
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
MAKE = shutil.which("make")
VERSION = "{}.{}".format(*sys.version_info[:2])


def fake_python(path, version=None):
    """An interpreter that answers the Makefile's probe for ``version`` (None: never runs,
    as a pyenv shim of a version that is not selected)."""
    path.parent.mkdir(parents=True, exist_ok=True)
    works = f'[ "$1" = -c ] && [ "$3" = {version} ]' if version else "exit 127"
    path.write_text(f"#!/bin/sh\n{works}\n")
    path.chmod(0o755)


def make(tmp_path, *args, env=None):
    """Runs make in the project with a PATH of the basic tools and tmp_path/bin only."""
    tools = tmp_path / "tools"
    if not tools.exists():
        tools.mkdir()
        for tool in ("sh", "echo", "find", "ls", "sort", "cat", "id", "rm", "test"):
            (tools / tool).symlink_to(shutil.which(tool))
    path = f"{tmp_path / 'bin'}:{tools}"
    return subprocess.run(
        [MAKE, "--no-print-directory", "-s", "-C", str(ROOT), *args],
        env={"PATH": path, "HOME": str(tmp_path / "home"), **(env or {})},
        capture_output=True,
        text=True,
    )


def chosen(tmp_path, *args, env=None):
    result = make(
        tmp_path, "--eval", "show-python: ; @echo '$(PYTHON)'", "show-python", *args, env=env
    )
    assert result.returncode == 0, result.stderr
    return result.stdout.strip()


# Interpreters to lay out (relative to tmp_path: pyenv/versions/..., bin/..., home/.pyenv/...)
# and the one the Makefile must take. None of the layouts has a CPython 3.8.
LAYOUTS = {
    "newest version first, newest patch release first": (
        {"pyenv/versions/3.12.9/bin/python": "3.12", "pyenv/versions/3.12.10/bin/python": "3.12",
         "pyenv/versions/3.11.7/bin/python": "3.11", "bin/python3.10": "3.10"},
        "pyenv/versions/3.12.10/bin/python",
    ),
    "interpreters that do not run are passed over": (
        {"pyenv/versions/3.13.0/bin/python": None, "bin/python3.13": None,
         "bin/python3.9": "3.9", "pyenv/versions/3.9.18/bin/python": None},
        "bin/python3.9",
    ),
    "an interpreter that is another version than it says": (
        {"bin/python3.12": "3.11", "bin/python3.11": "3.11"},
        "bin/python3.11",
    ),
    "pyenv in the home folder": (
        {"home/.pyenv/versions/3.10.13/bin/python": "3.10"},
        "home/.pyenv/versions/3.10.13/bin/python",
    ),
    "versions outside 3.8 to 3.13": (
        {"bin/python3.14": "3.14", "bin/python3.7": "3.7", "bin/python3.13": "3.13"},
        "bin/python3.13",
    ),
}  # fmt: skip


@pytest.mark.parametrize(("layout", "expected"), LAYOUTS.values(), ids=list(LAYOUTS))
def test_the_newest_working_cpython_is_taken(tmp_path, layout, expected):
    for where, version in layout.items():
        fake_python(tmp_path / where, version)
    env = {} if where.startswith("home/") else {"PYENV_ROOT": str(tmp_path / "pyenv")}
    assert chosen(tmp_path, env=env) == str(tmp_path / expected)
    assert chosen(tmp_path, "PYTHON=/opt/python", env=env) == "/opt/python"


def test_the_running_interpreter_passes_the_probe_under_pyenv(tmp_path):
    # The real probe, on the version this suite runs on, with nothing else installed.
    python = tmp_path / "pyenv" / "versions" / f"{VERSION}.99" / "bin" / "python"
    python.parent.mkdir(parents=True)
    python.symlink_to(os.path.realpath(sys.executable))
    assert chosen(tmp_path, env={"PYENV_ROOT": str(tmp_path / "pyenv")}) == str(python)


def test_without_any_cpython_the_set_up_says_what_to_do(tmp_path):
    result = make(
        tmp_path, "install", f"VENV={tmp_path / 'venv'}", env={"PYENV_ROOT": str(tmp_path)}
    )
    assert result.returncode != 0
    assert "No CPython 3.8 to 3.13 found: set PYTHON=/path/to/python" in result.stderr
    assert not (tmp_path / "venv").exists()


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def test_make_serve_keeps_its_defaults_and_has_a_kernel(tmp_path):
    """JupyterLab with the extension: JUPYTER_PORT, JUPYTER_TOKEN and SERVE_ARGS add to the
    defaults; a POST for a kernel started through the server's API is served, so ipykernel is
    there; the pipelines page's address is printed (a configured token is not)."""
    venv, port, token = Path(sys.prefix), free_port(), "t-" + os.urandom(8).hex()
    env = dict(os.environ, JUPYTER_PORT=str(port), JUPYTER_TOKEN=token)
    for name in ("CONFIG", "DATA", "RUNTIME"):
        env[f"JUPYTER_{name}_DIR"] = str(tmp_path / name.lower())
    args = f"--ServerApp.base_url=/base/ --ServerApp.root_dir={tmp_path}"
    log = open(tmp_path / "serve.log", "w")  # noqa: SIM115 (closed below)
    server = subprocess.Popen(
        # -o: the environment of this suite is used as it is, never rebuilt; no interpreter
        # is looked for.
        [MAKE, "--no-print-directory", "-C", str(ROOT), "-o", f"{venv}/.installed", "serve",
         f"SERVE_VENV={venv}", f"PYTHON={sys.executable}", f"ASAN_PYTHON={sys.executable}",
         f"SERVE_ARGS={args}"],
        env=env, stdout=log, stderr=subprocess.STDOUT, start_new_session=True,
    )  # fmt: skip
    base = f"http://127.0.0.1:{port}/base/"

    def call(method, path, body=None):
        request = urllib.request.Request(
            base + path,
            method=method,
            data=None if body is None else json.dumps(body).encode(),
            headers={"Authorization": f"token {token}"},
        )
        with urllib.request.urlopen(request, timeout=60) as response:
            return response.status, json.loads(response.read() or b"null")

    try:
        deadline = time.monotonic() + 60
        while True:
            assert server.poll() is None, (tmp_path / "serve.log").read_text()
            try:
                call("GET", "api/status")
                break
            except OSError:
                assert time.monotonic() < deadline, "make serve did not come up"
                time.sleep(0.2)
        assert call("GET", "lab/api/settings")[0] == 200  # JupyterLab's own route
        _, kernel = call("POST", "api/kernels", {"name": "python3"})
        probe = {
            "procedure": "cell:executed",
            "status": "successful",
            "msg": "",
            "successful": None,
        }
        assert call("POST", f"zelvo/kernels/{kernel['id']}", probe) == (
            200,
            {"message": "Success."},
        )
        call("DELETE", f"api/kernels/{kernel['id']}")
    finally:
        os.killpg(server.pid, signal.SIGTERM)
        server.wait(60)
        log.close()
    output = (tmp_path / "serve.log").read_text()
    assert f"zelvo: the pipelines page: {base}zelvo/?token=...\n" in output
    command = output.splitlines()[0]
    assert command.startswith(f"{venv}/bin/jupyter lab --ip=127.0.0.1 --no-browser")
    assert ("--allow-root" in command) == (os.getuid() == 0)
    assert command.endswith(f"--port-retries=0 {args}")
