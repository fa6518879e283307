"""A real Jupyter Server for the benchmarks that measure through one.

The server is the ``jupyter server`` of this interpreter's environment (zelvo's routes load
with it) on a free loopback port, with a token of its own; its output goes to
``server.log`` in the folder it is given, which is also its root.
"""

import json
import os
import secrets
import signal
import socket
import subprocess
import sys
import time
import urllib.request
from pathlib import Path

HERE = Path(__file__).resolve().parent


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class Server:
    """A running server, answering once made; ``stop`` (or leaving a ``with``) ends it.

    ``base_url`` is the server's; paths given to ``url`` and ``request`` are relative to it.
    ``extensions`` names server extensions in bench/ to load beside zelvo's (bench/ becomes the
    PYTHONPATH). ``options`` are more command-line options of the server.
    """

    def __init__(self, workdir, base_url="/", extensions=(), options=()):
        self.port, self.token = free_port(), secrets.token_hex(16)
        self.origin = f"http://127.0.0.1:{self.port}"
        self.base_url = base_url
        env = dict(os.environ, JUPYTER_RUNTIME_DIR=str(Path(workdir, "runtime")))
        options = list(options)
        if extensions:
            config = Path(workdir, "config.json")
            enabled = dict.fromkeys(extensions, True)
            config.write_text(json.dumps({"ServerApp": {"jpserver_extensions": enabled}}))
            options.append(f"--config={config}")
            env["PYTHONPATH"] = str(HERE)
        log_path = Path(workdir, "server.log")
        self.log = open(log_path, "w")  # noqa: SIM115 - lives with the server
        self.process = subprocess.Popen(
            [
                str(Path(sys.executable).with_name("jupyter")),
                "server",
                *options,
                "--ip=127.0.0.1",
                f"--port={self.port}",
                "--port-retries=0",
                "--no-browser",
                "--allow-root",
                f"--ServerApp.base_url={base_url}",
                f"--IdentityProvider.token={self.token}",
                f"--ServerApp.root_dir={workdir}",
                "--ServerApp.log_level=WARN",
            ],
            env=env,
            stdout=subprocess.DEVNULL,
            stderr=self.log,
            start_new_session=True,
        )
        deadline = time.monotonic() + 60
        while True:
            try:
                self.fetch("GET", "api/status")
                return
            except OSError:
                if self.process.poll() is not None or time.monotonic() > deadline:
                    self.stop()
                    raise RuntimeError(log_path.read_text()) from None
                time.sleep(0.2)

    def url(self, path):
        return self.origin + self.base_url + path

    def fetch(self, method, path, body=None):
        """The bytes of the answer to ``method`` on ``path`` with ``body`` as JSON."""
        request = urllib.request.Request(
            self.url(path),
            data=None if body is None else json.dumps(body).encode(),
            method=method,
            headers={"Authorization": f"token {self.token}", "Content-Type": "application/json"},
        )
        with urllib.request.urlopen(request, timeout=60) as response:
            return response.read()

    def request(self, method, path, body=None):
        """The answer's JSON, None for an empty one."""
        text = self.fetch(method, path, body)
        return json.loads(text) if text else None

    def post_pipeline(self, kernel_id, dag_info):
        body = {
            "procedure": "pipeline:updated",
            "status": "successful",
            "msg": "",
            "successful": {"dag_info": dag_info},
        }
        self.request("POST", f"zelvo/kernels/{kernel_id}", body)

    def stop(self):
        if self.process.poll() is None:
            os.killpg(self.process.pid, signal.SIGTERM)
            try:
                self.process.wait(20)
            except subprocess.TimeoutExpired:
                os.killpg(self.process.pid, signal.SIGKILL)
                self.process.wait()
        self.log.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()
