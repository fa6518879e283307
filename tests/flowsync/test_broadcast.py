"""``transmit``: one JSON text to every websocket connection of a kernel."""

import json
import types

import pytest

from zelvo.server.handlers import flowsync
from zelvo.server.handlers.ws_handler import ZelvoWebSocketHandler

TRANSMIT = flowsync.DAGHandler.transmit


@pytest.fixture()
def dumps_calls(monkeypatch):
    calls = []

    def dumps(*args, **kwargs):
        calls.append((args, kwargs))
        return json.dumps(*args, **kwargs)

    monkeypatch.setattr(flowsync, "json", types.SimpleNamespace(dumps=dumps))
    return calls


class KernelId(str):
    """Asked for equality, as the connection's value is on the left."""

    def __eq__(self, other):
        self.asked = other
        return other == "k1"

    __hash__ = str.__hash__


class Unequal:
    def __eq__(self, other):
        raise ArithmeticError("cannot compare")


def _gone(text):
    raise ConnectionError("gone")


@pytest.mark.parametrize(
    ("kernel_ids", "data", "text", "receivers"),
    [
        (
            ["k1", "k2", None, "k1", "k10"],
            {"p": "x", "u": "\u00e9", "n": [None]},
            '{"p": "x", "u": "\\u00e9", "n": [null]}',
            [0, 3],
        ),
        (["k2", None], {}, "{}", []),
        ([], {}, "{}", []),
        (["k1"], {}, "{}", [0]),
        ([KernelId("other")], {}, "{}", [0]),
    ],
)
def test_one_text_to_each_connection_of_the_kernel(
    connect, dumps_calls, kernel_ids, data, text, receivers
):
    calls = []
    sockets = connect(calls, *kernel_ids)

    assert TRANSMIT(kernel_id="k1", data=data) is None

    # Serialised once, even when no one listens; the same text object to each.
    assert dumps_calls == [((data,), {})]
    assert [socket for _, socket, _ in calls] == [sockets[i] for i in receivers]
    assert all(sent is calls[0][2] for _, _, sent in calls)
    assert all(sent == text for _, _, sent in calls)
    for socket in sockets:
        if isinstance(socket.kernel_id, KernelId):
            assert socket.kernel_id.asked == "k1"


@pytest.mark.parametrize("kind", [tuple, iter, lambda sockets: dict.fromkeys(sockets)])
def test_registry_of_any_iterable(monkeypatch, connect, kind):
    calls = []
    sockets = connect(calls, "k1", "k2", "k1")
    monkeypatch.setattr(ZelvoWebSocketHandler, "registry", kind(sockets))
    TRANSMIT("k1", {"a": 1})
    assert [socket for _, socket, _ in calls] == [sockets[0], sockets[2]]


def test_registry_is_walked_live(connect):
    # A connection opening during the walk is reached: the list is not copied first.
    calls = []
    [first] = connect(calls, "k1")
    late = type(first)("k1", calls)

    def write_and_open(text):
        calls.append(("write_message", first, text))
        ZelvoWebSocketHandler.registry.append(late)

    first.write_message = write_and_open
    TRANSMIT("k1", {})
    assert [socket for _, socket, _ in calls] == [first, late]


def _breaking(sockets):
    yield sockets[0]
    raise LookupError("registry changed")


@pytest.mark.parametrize(
    ("data", "middle", "registry", "error", "line", "sent"),
    [
        ({"x": object()}, "k1", None, TypeError, 157, 0),
        ({}, Unequal(), None, ArithmeticError, 159, 1),
        ({}, ..., None, AttributeError, 159, 1),
        ({}, _gone, None, ConnectionError, 160, 1),
        ({}, "k1", 5, TypeError, 158, 0),
        ({}, "k1", _breaking, LookupError, 158, 1),
        ({}, "k1", ..., AttributeError, 158, 0),
    ],
)
def test_failure_stops_the_walk(
    monkeypatch, native_entries, connect, data, middle, registry, error, line, sent
):
    calls = []
    sockets = connect(calls, "k1", "k1", "k1")
    if middle is ...:
        sockets[1] = object()
    elif middle is _gone:
        sockets[1].write_message = _gone
    else:
        sockets[1].kernel_id = middle
    if registry is ...:
        monkeypatch.delattr(ZelvoWebSocketHandler, "registry")
    else:
        registry = registry(sockets) if callable(registry) else registry
        monkeypatch.setattr(ZelvoWebSocketHandler, "registry", registry or sockets)
    with pytest.raises(error) as info:
        TRANSMIT("k1", data)
    assert native_entries(info.value) == [("transmit", line)]
    assert len(calls) == sent


@pytest.mark.parametrize("text", [b"{}", 7])
def test_payload_must_be_text_or_none(monkeypatch, connect, native_entries, text):
    calls = []
    connect(calls, "k1")
    monkeypatch.setattr(flowsync, "json", types.SimpleNamespace(dumps=lambda data: None))
    TRANSMIT("k1", {})
    assert [sent for _, _, sent in calls] == [None]

    monkeypatch.setattr(flowsync, "json", types.SimpleNamespace(dumps=lambda data: text))
    with pytest.raises(TypeError, match=f"^Expected str, got {type(text).__name__}$") as info:
        TRANSMIT("k1", {})
    assert native_entries(info.value) == [("transmit", 157)] and len(calls) == 1
