import asyncio
import json
import os
import secrets
import socket
import subprocess
import sys
import time
import traceback
import types
import urllib.request
import uuid
import warnings
from pathlib import Path

import pytest
from tornado.httpclient import AsyncHTTPClient, HTTPRequest

# jupyter_core warns on import unless told to use the platformdirs layout,
# and this suite turns warnings into errors.
os.environ.setdefault("JUPYTER_PLATFORM_DIRS", "1")

# Some of Jupyter Server's dependencies warn about their own deprecated
# imports while being imported; that is not ours to fix.
with warnings.catch_warnings():
    warnings.simplefilter("ignore", DeprecationWarning)
    import jupyter_server.serverapp  # noqa: F401

from zelvo.server.handlers import flowsync  # noqa: E402
from zelvo.server.handlers.ws_handler import ZelvoWebSocketHandler  # noqa: E402

pytest_plugins = ["pytest_jupyter.jupyter_server"]

# Tests whose outcome does not depend on the interpreter (the set-up, the page, the front ends
# in a browser, the soak, the fuzz tests), by path below tests/. `make test` runs them with the
# rest; CI runs them there only, and deselects them (-m "not interpreter_independent") on the
# other interpreters and the sanitizer build. (The scripted front ends of
# server/test_observer.py cover the observer on 3.8 too, and so does the notebook extension's
# scenario, whose front ends there are the oldest it supports: see REAL_SERVER.)
INTERPRETER_INDEPENDENT = (
    "package/", "page/", "server/test_page.py", "server/test_front_ends.py", "soak/", "fuzz/",
)  # fmt: skip
# Of those, the ones CI also runs against the sanitizer build: arbitrary bodies through the
# native code are where a memory fault would show.
UNDER_SANITIZERS = ("fuzz/test_post.py",)
# Tests that start real servers (Jupyter Server in the test process or in one of its own,
# kernels, gateways, browsers): by path, or by a fixture that starts one. What they add to
# the native tests is the servers' releases, so CI runs them on the default interpreter and
# on 3.8 (the oldest pins) only, and never under the sanitizers.
REAL_SERVER = ("server/", "soak/")
REAL_SERVER_FIXTURES = {"jp_serverapp", "serve", "served"}
ANSWER = ["set_header", "set_header", "set_status", "finish"]


class FakeHandler:
    """``self`` of the DAGHandler methods, which run natively on it.

    Calls of the host's methods go to ``calls`` in order, texts given to ``log.error`` to
    ``logged``, the arguments given to ``log.warning`` to ``warned``; ``fail`` maps a host
    method's name to the exception it raises.
    """

    _finish_with_result = flowsync.DAGHandler._finish_with_result
    _remove_unused_kernels_on_cabinet = flowsync.DAGHandler._remove_unused_kernels_on_cabinet

    def __init__(self, body=None, kernels=()):
        self.body, self.kernels, self.calls, self.fail, self.logged, self.warned = (
            body,
            list(kernels),
            [],
            {},
            [],
            [],
        )
        self.kernel_manager = types.SimpleNamespace(
            list_kernel_ids=self.recorder("list_kernel_ids")
        )
        self.log = types.SimpleNamespace(
            error=self.logged.append, warning=lambda *args: self.warned.append(args)
        )
        for name in ("get_json_body", *ANSWER[1:]):
            setattr(self, name, self.recorder(name))

    def recorder(self, name):
        def call(*args, **kwargs):
            self.calls.append((name, *args, *kwargs.values()))
            if name in self.fail:
                raise self.fail[name]
            if name == "list_kernel_ids":
                return list(self.kernels)
            return self.body if name == "get_json_body" else None

        return call

    def names(self):
        return [call[0] for call in self.calls]

    def answer(self):
        """(status, decoded body) of the one answer written, after checking its calls."""
        calls = [call for call in self.calls if call[0] in ANSWER]
        text = calls[-1][1]
        assert calls == [
            ("set_header", "Content-Type", "application/json"),
            ("set_header", "Content-Length", str(len(text))),
            ("set_status", calls[2][1]),
            ("finish", text),
        ]
        assert type(calls[2][1]) is int and text.isascii()
        return calls[2][1], json.loads(text)


class FakeSocket:
    """A websocket connection of ``kernel_id``; writes go to the shared ``calls``."""

    def __init__(self, kernel_id, calls):
        self.kernel_id, self.calls = kernel_id, calls

    def write_message(self, text):
        self.calls.append(("write_message", self, text))
        return object()  # a future in the real handler; never awaited


@pytest.fixture()
def isolated(monkeypatch):
    """An empty registry and no websockets."""
    monkeypatch.setattr(ZelvoWebSocketHandler, "registry", [])
    flowsync.dag_cabinet.clear()
    yield
    flowsync.dag_cabinet.clear()


@pytest.fixture()
def make_handler():
    return FakeHandler


@pytest.fixture()
def connect(monkeypatch):
    """connect(calls, *kernel_ids) -> the sockets, now the websocket registry."""

    def install(calls, *kernel_ids):
        sockets = [FakeSocket(kernel_id, calls) for kernel_id in kernel_ids]
        monkeypatch.setattr(ZelvoWebSocketHandler, "registry", list(sockets))
        return sockets

    return install


@pytest.fixture()
def records():
    """[(method, line)] of the native methods' traceback entries in an exception, outermost first.

    A native entry's file is its module's source, and its name the method's full dotted name.
    """
    return lambda exc: [
        (frame.name.rsplit(".", 1)[-1], frame.lineno)
        for frame in traceback.extract_tb(exc.__traceback__)
        if frame.name.startswith(frame.filename.replace("/", ".") + ".")
    ]


@pytest.fixture()
def component():
    """component(id, parents, **overrides): one as the front end posts it; ``...`` drops a key."""

    def make(ident, parents=(), **overrides):
        fields = {
            "id": ident,
            "component_type": "code",
            "parents_id": list(parents),
            "code": f"{ident} = 1",
            "execution_status": "succeeded",
            "last_execution": "2021-07-27T13:34:35",
            **overrides,
        }
        return {key: value for key, value in fields.items() if value is not ...}

    return make


# The module that runs each notebook front end's server, and the application its options go to.
FRONT_ENDS = {"lab": ("jupyterlab", "LabApp"), "notebook": ("notebook", "JupyterNotebookApp")}


class Served:
    """A server process of its own on a free loopback port with its own token.

    ``kind`` is "server" (Jupyter Server with the extension, its kernels local or behind
    ``gateway``) or "gateway" (a Jupyter Kernel Gateway). A server may be started as the
    application of a notebook ``front_end`` ("lab" or "notebook"), which serves the same
    routes and its pages, with its app object on the page's ``window.jupyterapp``. Its output
    goes to ``<log_name>.log`` (the kind by default); servers of one kind in one folder share a
    runtime folder. ``options`` are added to its command line. ``ready`` (in a test's event
    loop) or ``wait`` returns it once it answers.
    """

    def __init__(self, folder, kind, gateway=None, options=(), log_name=None, front_end=None):
        self.folder, self.kind, self.token = folder, kind, secrets.token_hex(16)
        with socket.socket() as probe:
            probe.bind(("127.0.0.1", 0))
            self.port = probe.getsockname()[1]
        self.url = f"http://127.0.0.1:{self.port}"
        env = dict(os.environ, JUPYTER_PLATFORM_DIRS="1")
        for name in ("CONFIG", "DATA", "RUNTIME"):
            env[f"JUPYTER_{name}_DIR"] = str(folder / kind / name.lower())
        self.runtime_dir = folder / kind / "runtime"
        app = "KernelGatewayApp" if kind == "gateway" else "ServerApp"
        common = [f"--{app}.ip=127.0.0.1", f"--{app}.port={self.port}", f"--{app}.port_retries=0"]
        if kind == "gateway":
            # Its default settings: it does not list its kernels.
            argv = ["kernel_gateway", *common, f"--KernelGatewayApp.auth_token={self.token}"]
        else:
            argv = [
                FRONT_ENDS.get(front_end, ("jupyter_server",))[0],
                "--no-browser",
                *common,
                "--ServerApp.allow_root=True",
                f"--IdentityProvider.token={self.token}",
                f"--ServerApp.root_dir={folder}",
            ]
            if front_end is not None:
                # Settings and workspaces of its own: a clean clone has none, and the user's
                # would change what the page shows.
                app, lab = FRONT_ENDS[front_end][1], folder / kind / "lab"
                # No autosave: a save is an event the server acts on, and a test must not
                # depend on whether one happened.
                saving = lab / "settings" / "@jupyterlab" / "docmanager-extension"
                saving.mkdir(parents=True, exist_ok=True)
                (saving / "plugin.jupyterlab-settings").write_text('{"autosave": false}')
                argv += [
                    f"--{app}.expose_app_in_browser=True",
                    f"--{app}.user_settings_dir={lab / 'settings'}",
                    f"--{app}.workspaces_dir={lab / 'workspaces'}",
                    "--LabApp.check_for_updates_class=jupyterlab.NeverCheckForUpdate",
                ]
            if gateway is not None:
                argv += [
                    f"--GatewayClient.url={gateway.url}",
                    f"--GatewayClient.auth_token={gateway.token}",
                ]
        argv += options
        self.log_path = folder / f"{log_name or kind}.log"
        self.log = open(self.log_path, "w")  # noqa: SIM115 (closed in stop)
        self.process = subprocess.Popen(
            [sys.executable, "-m", *argv], env=env, cwd=folder,
            stdout=self.log, stderr=subprocess.STDOUT,
        )  # fmt: skip
        self.deadline = time.monotonic() + 60  # fail rather than hang
        # Made on first use, in the event loop of the test that uses it.
        self.http = None

    def request(self, method, path, body=None):
        """The response to ``method`` on ``path``, whatever its status."""
        if self.http is None:
            self.http = AsyncHTTPClient(force_instance=True, max_clients=64)
        return self.http.fetch(
            HTTPRequest(
                f"{self.url}/{path}", method=method, body=body, request_timeout=60,
                headers={"Authorization": f"token {self.token}"},
                allow_nonstandard_methods=True,
            ),
            raise_error=False,
        )  # fmt: skip

    def call(self, method, path, body=None):
        """The decoded JSON answer to ``method`` on ``path``, without an event loop; an
        answer other than 2xx raises ``urllib.error.HTTPError``."""
        request = urllib.request.Request(
            f"{self.url}/{path}", method=method,
            data=None if body is None else json.dumps(body).encode(),
            headers={"Authorization": f"token {self.token}"},
        )  # fmt: skip
        with urllib.request.urlopen(request, timeout=60) as response:
            return json.loads(response.read() or b"null")

    def answers(self):
        """Whether it answers yet; fails once the process ended or the deadline passed."""
        assert self.process.poll() is None, self.output()
        try:
            self.call("GET", "api")
            return True
        except OSError:  # refused, or an error status while it starts
            assert time.monotonic() < self.deadline, f"the {self.kind} did not come up"
            return False

    async def ready(self):
        while not self.answers():
            await asyncio.sleep(0.2)
        return self

    def wait(self):
        while not self.answers():
            time.sleep(0.2)
        return self

    def output(self):
        self.log.flush()
        return self.log_path.read_text()

    def stop(self):
        """Stops the process cleanly (so that the sanitizers can report); its exit status."""
        if self.http is not None:
            self.http.close()
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(60)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.log.close()
        return self.process.returncode


@pytest.fixture()
def serve(tmp_path):
    """serve(kernels="local"|"gateway"|"gateway listing", *options, name=None,
    front_end=None|"lab"|"notebook") -> a Jupyter Server process, ready; stopped after.
    ``served.gateway`` is its gateway, if any: with its default settings, or allowed to list
    its kernels ("gateway listing")."""
    started = []

    async def start(kernels="local", *options, name=None, front_end=None):
        gateway = None
        if kernels.startswith("gateway"):
            listing = ["--JupyterWebsocketPersonality.list_kernels=True"]
            gateway = Served(tmp_path, "gateway", options=listing if "listing" in kernels else ())
            started.append(gateway)
            await gateway.ready()
        server = Served(tmp_path, "server", gateway, options, name, front_end)
        server.gateway = gateway
        started.append(server)
        return await server.ready()

    yield start
    for served in reversed(started):
        served.stop()


@pytest.fixture(scope="module")
def served(tmp_path_factory):
    """A Jupyter Server process with one running kernel (``kernel_id``), shared by a module's
    tests; for tests without an event loop (``call`` asks it)."""
    server = Served(tmp_path_factory.mktemp("served"), "server")
    try:
        server.wait()
        server.kernel_id = server.call("POST", "api/kernels", {"name": "python3"})["id"]
        yield server
    finally:
        server.stop()


@pytest.fixture()
def running_id(jp_serverapp):
    """running_id() -> a new kernel id that the in-process server's kernel manager lists.

    No kernel process stands behind it: for routes that only ask whether the kernel runs.
    """
    kernels = jp_serverapp.kernel_manager._kernels
    made = []

    def make():
        kernel_id = str(uuid.uuid4())
        kernels[kernel_id] = types.SimpleNamespace(kernel_id=kernel_id)
        made.append(kernel_id)
        return kernel_id

    yield make
    # Gone before the server's own shutdown, which would try to stop them.
    for kernel_id in made:
        kernels.pop(kernel_id, None)


def pytest_collection_modifyitems(items):
    tests = Path(__file__).parent
    for item in items:
        path = item.path
        if tests not in path.parents:
            continue
        relative = path.relative_to(tests).as_posix()
        if relative.startswith(INTERPRETER_INDEPENDENT):
            item.add_marker(pytest.mark.interpreter_independent)
        if relative.startswith(UNDER_SANITIZERS):
            item.add_marker(pytest.mark.under_sanitizers)
        if relative.startswith(REAL_SERVER) or REAL_SERVER_FIXTURES.intersection(
            getattr(item, "fixturenames", ())
        ):
            item.add_marker(pytest.mark.real_server)
