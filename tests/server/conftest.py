"""A real Jupyter Server with the whole zelvo extension, and real kernels through its REST API."""

import asyncio
import json
import os
import shutil
import time

import pytest
from jsonschema import Draft202012Validator

from zelvo.server import schemas
from zelvo.server.handlers import flowsync
from zelvo.server.handlers.ws_handler import ZelvoWebSocketHandler

registry = ZelvoWebSocketHandler.registry
_schema_registry = schemas.registry()
VALIDATORS = {
    name: Draft202012Validator(schemas.load(name), registry=_schema_registry)
    for name in schemas.names()
}


def answered(method, route, response, params):
    """``response``, once its status is one the protocol lists for the route and its body
    conforms to that answer's schema (a download of another format than JSON is not checked).
    """
    answers = schemas.ANSWERS[method, route]
    assert response.code in answers, f"{method} {route} answered {response.code}"
    if response.code != 200 or params.get("format", "json") == "json":
        VALIDATORS[answers[response.code]].validate(json.loads(response.body))
    return response


def frames_checked(client, snapshot):
    """Makes ``client.read_message`` check every frame against the protocol."""
    read, kinds = client.read_message, ["snapshot-message"] if snapshot else []

    async def read_message():
        text = await read()
        if text is not None:
            VALIDATORS[kinds.pop(0) if kinds else "relayed-message"].validate(json.loads(text))
        return text

    client.read_message = read_message
    return client


@pytest.fixture()
def jp_server_config():
    # The extension is loaded as the server loads any other; a failing load
    # must fail the test rather than leave a server without the routes.
    extensions = {"jpserver_extensions": {"zelvo.server": True}}
    return {"ServerApp": {**extensions, "reraise_server_extension_failures": True}}


@pytest.fixture(autouse=True)
def _fresh_state():
    # The server runs in the test process, so the registries outlive a test.
    flowsync.dag_cabinet.clear()
    registry.clear()
    yield
    flowsync.dag_cabinet.clear()
    registry.clear()


class Client:
    """Requests to a real server; every answer and relayed message is checked against the
    protocol's schemas."""

    def __init__(self, fetch, ws_fetch):
        self.fetch, self.ws_fetch = fetch, ws_fetch

    async def start_kernel(self, notebook=None):
        """A new kernel's id; with ``notebook``, the kernel of a new session of that path."""
        if notebook is None:
            body = json.dumps({"name": "python3"})
            response = await self.fetch("api", "kernels", method="POST", body=body)
            return json.loads(response.body)["id"]
        session = {"path": notebook, "type": "notebook", "kernel": {"name": "python3"}}
        response = await self.fetch("api", "sessions", method="POST", body=json.dumps(session))
        return json.loads(response.body)["kernel"]["id"]

    async def stop_kernel(self, kernel_id):
        response = await self.fetch("api", "kernels", kernel_id, method="DELETE")
        assert response.code == 204

    async def post(self, kernel_id, body):
        """POST ``body`` (a dict, or text as is); returns (status, decoded JSON)."""
        text = body if isinstance(body, str) else json.dumps(body)
        response = await self.fetch(
            "zelvo", "kernels", kernel_id, method="POST", body=text, raise_error=False
        )
        answered("POST", schemas.PIPELINE, response, {})
        return response.code, json.loads(response.body)

    async def get(self, *parts, **params):
        """The response to a GET of zelvo/kernels/<parts>, whatever its status."""
        response = await self.fetch("zelvo", "kernels", *parts, params=params, raise_error=False)
        route = {0: schemas.LIST, 1: schemas.PIPELINE}.get(len(parts), schemas.EXPORT)
        return answered("GET", route, response, params)

    async def connect(self, kernel_id, **params):
        """A websocket client, returned once the server lists it."""
        listed = len(registry)
        client = await self.ws_fetch("zelvo", "kernels", kernel_id, "ws", params=params)
        frames_checked(client, params.get("snapshot") == "1")
        deadline = time.monotonic() + 10  # the server side opens just after the handshake
        while len(registry) == listed:
            assert time.monotonic() < deadline, "the server never listed the socket"
            await asyncio.sleep(0.01)
        return client


@pytest.fixture(scope="module")
def browser():
    """Headless Chromium, shared by a module's tests; its console is logged for ``get_log``."""
    webdriver = pytest.importorskip("selenium.webdriver")
    chromium = shutil.which("chromium") or shutil.which("chromium-browser")
    chromedriver = shutil.which("chromedriver")
    if not (chromium and chromedriver):
        pytest.skip("needs chromium and chromedriver (.ci/run installs them)")
    options = webdriver.ChromeOptions()
    options.binary_location = chromium
    for argument in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage"):
        options.add_argument(argument)
    options.add_argument("--window-size=1400,1000")
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    # The browser is not under test: a sanitizer runtime preloaded into the suite stays out.
    env = {key: value for key, value in os.environ.items() if key != "LD_PRELOAD"}
    service = webdriver.ChromeService(chromedriver, env=env)
    driver = webdriver.Chrome(options=options, service=service)
    yield driver
    driver.quit()


@pytest.fixture()
def server(jp_fetch, jp_ws_fetch):
    return Client(jp_fetch, jp_ws_fetch)


@pytest.fixture()
def updated():
    """The body of a successful "pipeline:updated" for ``dag_info``."""
    return lambda dag_info, **extra: {
        "procedure": "pipeline:updated",
        "status": "successful",
        "msg": "",
        "successful": {"dag_info": dag_info},
        **extra,
    }
