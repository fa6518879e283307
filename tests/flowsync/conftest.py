"""Stand-ins for the request handler and the websockets around the DAGHandler methods."""

import json
import traceback
import types

import pytest

from zelvo.server.handlers import flowsync
from zelvo.server.handlers.ws_handler import ZelvoWebSocketHandler

SOURCE = "zelvo/server/handlers/flowsync"
QUALIFIED = "zelvo.server.handlers.flowsync.DAGHandler."


class FakeHandler:
    """``self`` of the methods; the real native methods run on it.

    Host calls go to ``calls`` in order, texts given to ``log.error`` to ``logged``;
    ``fail`` maps a method name to the exception (or exception class) it raises.
    """

    _finish_with_result = flowsync.DAGHandler._finish_with_result
    _remove_unused_kernels_on_cabinet = flowsync.DAGHandler._remove_unused_kernels_on_cabinet

    def __init__(self, body=None, kernels=()):
        self.body = body
        self.kernels = list(kernels)
        self.calls = []
        self.fail = {}
        self.logged = []
        self.kernel_manager = types.SimpleNamespace(list_kernels=self._list_kernels)
        self.log = types.SimpleNamespace(error=self.logged.append)

    def record(self, *call):
        self.calls.append(call)
        if call[0] in self.fail:
            raise self.fail[call[0]]

    def _list_kernels(self):
        self.record("list_kernels")
        return [{"id": kernel_id} for kernel_id in self.kernels]

    def set_header(self, name, value):
        self.record("set_header", name, value)

    def set_status(self, status_code):
        self.record("set_status", status_code)

    def finish(self, text):
        self.record("finish", text)

    def get_json_body(self):
        self.record("get_json_body")
        return self.body

    def answers(self):
        return [call for call in self.calls if call[0] in ("set_header", "set_status", "finish")]

    def answer(self):
        """(status, decoded body) of the one answer written, after checking its calls."""
        calls = self.answers()
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
        self.kernel_id = kernel_id
        self.calls = calls

    def write_message(self, text):
        self.calls.append(("write_message", self, text))
        return object()  # a future in the real handler; never awaited


@pytest.fixture(autouse=True)
def _isolated():
    """An empty registry and no websockets; module globals back in their order afterwards.

    Set up before, and so torn down after, a test's own monkeypatch.
    """
    order = list(vars(flowsync))
    registry = ZelvoWebSocketHandler.registry
    ZelvoWebSocketHandler.registry = []
    flowsync.dag_cabinet.clear()
    yield
    flowsync.dag_cabinet.clear()
    ZelvoWebSocketHandler.registry = registry
    # A global deleted and restored comes back last; put the same objects back in place.
    namespace = vars(flowsync)
    if list(namespace) != order:
        for name in order:
            namespace[name] = namespace.pop(name)


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
def native_entries():
    """[(method, line)] of the methods' traceback entries in an exception, outermost first."""

    def entries(exc):
        return [
            (frame.name[len(QUALIFIED) :], frame.lineno)
            for frame in traceback.extract_tb(exc.__traceback__)
            if frame.filename == SOURCE and frame.name.startswith(QUALIFIED)
        ]

    return entries


@pytest.fixture()
def logged_head():
    """The start of a logged traceback whose first entry is ``post`` at ``line``."""
    return lambda line: (
        f'Traceback (most recent call last):\n  File "{SOURCE}", line {line}, in {QUALIFIED}post\n'
    )


@pytest.fixture()
def component():
    """A component as the front end posts it, and as an update reports it."""

    def make(ident, parents=(), code=None):
        return {
            "id": ident,
            "component_type": "code",
            "parents_id": list(parents),
            "code": f"{ident} = 1" if code is None else code,
            "execution_status": "succeeded",
            "last_execution": "2021-07-27T13:34:35",
        }

    return make
