import asyncio
import json
import time

import pytest

from zelvo.server import kernel_url_pattern
from zelvo.server.handlers.pipeline_export.base_handler import BasePipelineExportHandler
from zelvo.server.handlers.ws_handler import ZelvoWebSocketHandler
from zelvo_core.misc.models import ZelvoPipelineModel


@pytest.fixture()
def make_dag(component):
    """``dag_info`` from ``[(id, parents, overrides)]``; an override of ``...`` drops the key."""
    return lambda nodes: [
        component(ident, parents, **overrides) for ident, parents, overrides in nodes
    ]


@pytest.fixture()
def wait_until():
    """The server side of a socket lags its client; poll until ``predicate()`` holds."""

    async def wait(predicate, timeout=5.0):
        deadline = time.monotonic() + timeout
        while not predicate():
            assert time.monotonic() < deadline, "condition not reached in time"
            await asyncio.sleep(0.01)

    return wait


@pytest.fixture()
def export_answers():
    """kernel id -> (text, kind) for the export route; other kernels raise KeyError."""
    return {}


@pytest.fixture()
def zelvo_routes(jp_serverapp, export_answers):
    """Registers the websocket route and an export route; yields the ``_get_pipeline`` calls.

    The full extension needs the native modules, so a plain-Python subclass
    stands in for the native export handler here; its registered model is
    made from the document of ``export_answers``.
    """
    calls = []

    class AnsweringExportHandler(BasePipelineExportHandler):
        def _get_pipeline(self, kernel_id, cell_ids, ipynb_name):
            calls.append((kernel_id, cell_ids, ipynb_name))
            return export_answers[kernel_id]

        def _registered_model(self, kernel_id):
            text, kind = export_answers[kernel_id]
            return ZelvoPipelineModel(**(json.loads(text) if kind == "json" else {}))

    base_url = jp_serverapp.web_app.settings["base_url"]
    jp_serverapp.web_app.add_handlers(
        ".*$",
        [
            (kernel_url_pattern(base_url, "ws"), ZelvoWebSocketHandler),
            (kernel_url_pattern(base_url, "export"), AnsweringExportHandler),
        ],
    )
    yield calls
    ZelvoWebSocketHandler.registry.clear()
