import importlib
import uuid

import pytest

from zelvo.server.handlers.ws_handler import ZelvoWebSocketHandler

NATIVE_HANDLERS = [
    ("zelvo.server.handlers.flowsync", "DAGHandler"),
    ("zelvo.server.handlers.pipeline_export.pipeport", "ZelvoPipelineExportHandler"),
]


@pytest.fixture()
def jp_server_config():
    for module, name in NATIVE_HANDLERS:
        try:
            getattr(importlib.import_module(module), name)
        except (ImportError, AttributeError):
            pytest.skip(f"the native module {module} is not built")
    return {"ServerApp": {"jpserver_extensions": {"zelvo.server": True}}}


async def test_extension_serves_its_routes(jp_serverapp, jp_fetch, jp_ws_fetch, wait_until):
    registry = ZelvoWebSocketHandler.registry
    kernel_id = str(uuid.uuid4())

    client = await jp_ws_fetch("zelvo", "kernels", kernel_id, "ws")
    await wait_until(lambda: [handler.kernel_id for handler in registry] == [kernel_id])
    client.close()
    await wait_until(lambda: not registry)

    response = await jp_fetch("zelvo", "kernels", kernel_id, "export", raise_error=False)
    assert response.code == 404
