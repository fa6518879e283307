"""``transmit``: one JSON text to every websocket connection of a kernel."""

import json
import types

import pytest

from zelvo.server.handlers import flowsync
from zelvo.server.handlers.ws_handler import ZelvoWebSocketHandler

TRANSMIT = flowsync.DAGHandler.transmit


class KernelId(str):
    """Asked for equality, as the connection's value is on the left."""

    def __eq__(self, other):
        self.asked = other
        return other == "k1"

    __hash__ = str.__hash__


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
        ([KernelId("other")], {}, "{}", [0]),
    ],
)
@pytest.mark.parametrize("kind", [list, tuple, iter, dict.fromkeys])
def test_one_text_to_each_connection_of_the_kernel(
    monkeypatch, connect, kind, kernel_ids, data, text, receivers
):
    dumped, calls = [], []
    dumps = lambda *args, **kwargs: dumped.append((args, kwargs)) or json.dumps(*args)  # noqa: E731
    monkeypatch.setattr(flowsync, "json", types.SimpleNamespace(dumps=dumps))
    sockets = connect(calls, *kernel_ids)
    monkeypatch.setattr(ZelvoWebSocketHandler, "registry", kind(sockets))
    assert TRANSMIT(kernel_id="k1", data=data) is None
    # Serialised once, even when no one listens; the same text object to each.
    assert dumped == [((data,), {})]
    assert [socket for _, socket, _ in calls] == [sockets[i] for i in receivers]
    assert all(sent is calls[0][2] and sent == text for _, _, sent in calls)
    assert all(s.kernel_id.asked == "k1" for s in sockets if isinstance(s.kernel_id, KernelId))


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
