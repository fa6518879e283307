"""A real Jupyter Server with the whole zelvo extension, and real kernels through its REST API."""

import asyncio
import json
import time

import pytest

from zelvo.server.handlers import flowsync
from zelvo.server.handlers.ws_handler import ZelvoWebSocketHandler

registry = ZelvoWebSocketHandler.registry


@pytest.fixture()
def jp_server_config():
    # The extension is loaded as the server loads any other; a failing load
    # must fail the test rather than leave a server without the routes.
    return {
        "ServerApp": {
            "jpserver_extensions": {"zelvo.server": True},
            "reraise_server_extension_failures": True,
        }
    }


@pytest.fixture(autouse=True)
def _fresh_state():
    # The server runs in the test process, so the registries outlive a test.
    flowsync.dag_cabinet.clear()
    registry.clear()
    yield
    flowsync.dag_cabinet.clear()
    registry.clear()


@pytest.fixture()
def start_kernel(jp_fetch):
    """``await start_kernel()`` starts an ipykernel through the REST API and returns its id."""

    async def start():
        response = await jp_fetch(
            "api", "kernels", method="POST", body=json.dumps({"name": "python3"})
        )
        return json.loads(response.body)["id"]

    return start


@pytest.fixture()
def stop_kernel(jp_fetch):
    """``await stop_kernel(kernel_id)`` shuts it down through the REST API."""

    async def stop(kernel_id):
        response = await jp_fetch("api", "kernels", kernel_id, method="DELETE")
        assert response.code == 204

    return stop


@pytest.fixture()
def post(jp_fetch):
    """POST ``body`` (a dict, or text as is) for a kernel; returns (status, decoded JSON)."""

    async def send(kernel_id, body):
        text = body if isinstance(body, str) else json.dumps(body)
        response = await jp_fetch(
            "zelvo", "kernels", kernel_id, method="POST", body=text, raise_error=False
        )
        return response.code, json.loads(response.body)

    return send


@pytest.fixture()
def get(jp_fetch):
    """``await get(kernel_id, *more_parts, **query)``: the response, whatever its status."""

    async def fetch(*parts, **params):
        return await jp_fetch("zelvo", "kernels", *parts, params=params, raise_error=False)

    return fetch


@pytest.fixture()
def connect(jp_ws_fetch):
    """``await connect(kernel_id)``: a websocket client, returned once the server lists it."""

    async def open_socket(kernel_id):
        listed = len(registry)
        client = await jp_ws_fetch("zelvo", "kernels", kernel_id, "ws")
        # The server side opens just after the client's handshake completes.
        deadline = time.monotonic() + 10
        while len(registry) == listed:
            assert time.monotonic() < deadline, "the server never listed the socket"
            await asyncio.sleep(0.01)
        return client

    return open_socket


@pytest.fixture()
def component():
    """A component dict as the front end posts it."""

    def make(ident, parents=(), code=None):
        return {
            "id": ident,
            "component_type": "code",
            "parents_id": list(parents),
            "code": code if code is not None else f"{ident} = 1",
            "execution_status": "succeeded",
            "last_execution": "2021-07-27T13:34:35",
        }

    return make


@pytest.fixture()
def updated():
    """The body of a successful "pipeline:updated" for ``dag_info``."""

    def message(dag_info, **extra):
        return {
            "procedure": "pipeline:updated",
            "status": "successful",
            "msg": "",
            "successful": {"dag_info": dag_info},
            **extra,
        }

    return message
