"""``post`` when the relay or the clean-up fails midway: the faults that only those two reach.

Faults of the model, the comparison, ``dict()``, ``update``, the truth tests, ``write_message``
and ``rmtree`` are rows of ``test_registration.FAILURES``.
"""

import json
import re
import types

import pytest

from zelvo.server.handlers import flowsync
from zelvo.server.handlers.ws_handler import ZelvoWebSocketHandler

POST = flowsync.DAGHandler.post.__wrapped__
K = "k1"
BODY = {"procedure": "pipeline:updated", "status": "successful", "msg": None}
PIPELINE = {
    "dag_info": [
        {
            "id": "a",
            "component_type": "code",
            "parents_id": [],
            "code": "a = 1",
            "execution_status": "running",
            "last_execution": None,
        }
    ]
}


class Lost:
    """A connection whose ``kernel_id`` cannot be read."""

    @property
    def kernel_id(self):
        raise ConnectionResetError("peer went away")


def _registry_breaking(sockets):
    yield sockets[0]
    raise RuntimeError("registry changed size during iteration")


def _refusing_relay(value):
    # The answer is serialised by the same global: only the relayed message is refused.
    if "procedure" in value:
        raise ValueError("Out of range float values are not JSON compliant")
    return json.dumps(value)


def _no_kernels(handler):
    raise TimeoutError("kernel manager busy")


# (what fails, post's line, the inner method and its line, how many sockets got the message)
FAULTS = {
    "registry iteration": ("registry", 135, ("transmit", 158), 1),
    "kernel_id read": ("kernel_id", 135, ("transmit", 159), 1),
    "json.dumps of the relay": ("dumps", 135, ("transmit", 157), 0),
    "list_kernels": ("list_kernels", 136, ("_remove_unused_kernels_on_cabinet", 147), 2),
}


@pytest.mark.parametrize(("fault", "line", "inner", "sent"), FAULTS.values(), ids=FAULTS)
def test_relay_and_clean_up_faults_answer_500(
    make_handler, connect, monkeypatch, fault, line, inner, sent
):
    stopped = flowsync.dag_cabinet["gone"] = types.SimpleNamespace(diskcache_dir=None)
    handler = make_handler(dict(BODY, successful=PIPELINE), kernels=[K])
    sockets = connect(handler.calls, K, K)
    if fault == "registry":
        monkeypatch.setattr(ZelvoWebSocketHandler, "registry", _registry_breaking(sockets))
    elif fault == "kernel_id":
        ZelvoWebSocketHandler.registry.insert(1, Lost())
    elif fault == "dumps":
        monkeypatch.setattr(flowsync, "json", types.SimpleNamespace(dumps=_refusing_relay))
    else:
        handler.kernel_manager = types.SimpleNamespace(list_kernels=_no_kernels)

    assert POST(handler, K) is None

    [record] = handler.logged
    error = record.splitlines()[-1]
    assert handler.answer() == (500, {"message": error.split(": ", 1)[1]})
    entries = re.findall(
        r"line (\d+), in zelvo\.server\.handlers\.flowsync\.DAGHandler\.(\w+)", record
    )
    assert entries == [(str(line), "post"), (str(inner[1]), inner[0])]
    assert len([call for call in handler.calls if call[0] == "write_message"]) == sent
    # The new pipeline stays registered; the clean-up removed nothing.
    assert flowsync.dag_cabinet.keys() == {K, "gone"} and flowsync.dag_cabinet["gone"] is stopped
    assert list(flowsync.dag_cabinet[K].graph.components) == ["a"]
