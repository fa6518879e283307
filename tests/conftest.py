import json
import os
import traceback
import types
import warnings

import pytest

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
        self.kernel_manager = types.SimpleNamespace(list_kernels=self.recorder("list_kernels"))
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
            if name == "list_kernels":
                return [{"id": kernel_id} for kernel_id in self.kernels]
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
