import asyncio
import json
import logging
import os
import uuid
from pathlib import Path

import pytest
from jupyter_server.auth.authorizer import AllowAllAuthorizer

from zelvo.server.handlers import flowsync
from zelvo_core.misc.models import InvalidPipelineError, ZelvoPipelineModel

SUCCESS = (200, {"message": "Success."})
REQUIRED = {"message": "status is required in the body of the request."}
# Any message that is not a pipeline update: relayed as it came, and it runs the clean-up.
PROBE = {"procedure": "cell:executed", "status": "successful", "msg": "ran", "successful": None}


def _fails(previous, current):
    raise LookupError("out of order")


async def read(client):
    # The timeout only turns a missing frame into a failure instead of a hang.
    return await asyncio.wait_for(client.read_message(), 10)


def relayed(kernel_id, added=(), revised=(), deleted=(), **extra):
    """The text sent for a successful "pipeline:updated" whose "msg" was empty."""
    changes = {"added": list(added), "revised": list(revised), "deleted": list(deleted)}
    update = {"identifier": kernel_id, "updated_components": changes}
    message = {"procedure": "pipeline:updated", "status": "successful", "successful": update}
    return json.dumps({**message, **extra})


async def test_updates_reach_the_kernels_sockets(
    server, component, updated, caplog, jp_serverapp, monkeypatch
):
    # The server's default authorizer: the pipeline route answers as it always did.
    assert type(jp_serverapp.authorizer) is AllowAllAuthorizer
    kernel_id = await server.start_kernel()  # the host logs the start
    secret, other_id = "body-" + uuid.uuid4().hex, str(uuid.uuid4())
    first = await server.connect(kernel_id)
    second = await server.connect(kernel_id)
    stranger = await server.connect(other_id)
    # Newer Tornado warns about the host's ping settings at the first websocket of a process.
    caplog.set_level(logging.DEBUG)
    caplog.clear()
    a, b = component("a", code=secret), component("b", ["a"])
    assert await server.post(kernel_id, updated([a, b], note=secret)) == SUCCESS
    text = relayed(kernel_id, added=[a, b], note=secret)
    assert await read(first) == text
    assert await read(second) == text
    revised_a, c = component("a", code="a = 2"), component("c", ["a"], code="print('\u00e9')")
    assert await server.post(kernel_id, updated([revised_a, c])) == SUCCESS
    text = relayed(kernel_id, added=[c], revised=[revised_a], deleted=["b"])
    assert await read(first) == text
    assert await read(second) == text
    # The same pipeline again: stored anew, nothing relayed.
    previous = flowsync.dag_cabinet[kernel_id]
    assert await server.post(kernel_id, updated([revised_a, c])) == SUCCESS
    registered = flowsync.dag_cabinet[kernel_id]
    assert registered is not previous and registered.identifier == kernel_id
    response = await server.get(kernel_id)
    assert response.code == 200
    # The whole registered pipeline, as an update from an empty one.
    assert json.loads(response.body) == {
        "identifier": kernel_id,
        "updated_components": {"added": [revised_a, c], "revised": [], "deleted": []},
    }
    # A pipeline the model refuses is the client's mistake; a failure of the server's own is not.
    cycle = [component("x", ["y"]), component("y", ["x"])]
    with pytest.raises(InvalidPipelineError) as refused:
        ZelvoPipelineModel(dag_info=cycle)
    assert await server.post(kernel_id, updated(cycle)) == (400, {"message": str(refused.value)})
    assert flowsync.dag_cabinet[kernel_id] is registered
    assert await server.post(kernel_id, {"procedure": secret}) == (400, REQUIRED)
    with monkeypatch.context() as patched:
        patched.setattr(flowsync, "get_dag_update_info", _fails)
        assert await server.post(kernel_id, updated([a])) == (500, {"message": "out of order"})
    assert flowsync.dag_cabinet[kernel_id] is registered
    # Each socket's next frame is the probe: none got anything from the
    # unchanged, the refused or the failed pipeline, and the stranger got nothing at all.
    assert await server.post(other_id, PROBE) == SUCCESS
    assert await read(stranger) == json.dumps(PROBE)
    assert await server.post(kernel_id, PROBE) == SUCCESS
    assert await read(first) == json.dumps(PROBE)
    assert await read(second) == json.dumps(PROBE)
    # Besides the host's request log, only the refusal's warning line and the 500's traceback
    # are logged at INFO or above, by the handler's logger; no record carries the token or
    # anything of a body.
    token = jp_serverapp.identity_provider.token
    assert not [r for r in caplog.records if secret in r.getMessage() or token in r.getMessage()]
    warned, logged = [
        r for r in caplog.records if r.levelno >= logging.INFO and r.funcName != "log_request"
    ]
    assert warned.levelno == logging.WARNING and warned.name == jp_serverapp.log.name
    assert (
        warned.getMessage()
        == f"zelvo: refused the pipeline posted for kernel {kernel_id}: " + (str(refused.value))
    )
    assert warned.exc_info is None
    assert logged.levelno == logging.ERROR and logged.name == jp_serverapp.log.name
    assert logged.getMessage().startswith("Traceback (most recent call last):\n")
    assert "line 123, in zelvo.server.handlers.flowsync.DAGHandler.post\n" in logged.getMessage()
    assert logged.getMessage().endswith("LookupError: out of order\n")


async def test_export_and_clean_up_of_a_stopped_kernel(server, component, updated, jp_runtime_dir):
    stopping = await server.start_kernel()
    staying = await server.start_kernel()
    # The path's kernel id wins over an identifier in the body.
    successful = {
        "identifier": "someone-else",
        "dag_info": [component("a"), component("b", ["a"], code="print('\u00e9')")],
    }
    assert await server.post(stopping, {**updated([]), "successful": successful}) == SUCCESS
    model = ZelvoPipelineModel(**successful)
    model.identifier = stopping
    response = await server.get(stopping, "export", ipynb_name="work/analysis.ipynb")
    assert response.code == 200
    assert response.headers["Content-Disposition"] == 'attachment; filename="analysis.json"'
    assert response.body.decode() == json.dumps(model.to_zelvo_dict(include_captured=False))
    assert await server.post(staying, updated([])) == SUCCESS
    response = await server.get(staying, "export", ipynb_name="empty.ipynb")
    assert response.code == 400
    assert json.loads(response.body) == {"message": "There are no components in this pipeline."}
    assert (await server.get(str(uuid.uuid4()), "export", ipynb_name="x.ipynb")).code == 404
    folders = {}
    for kernel_id in (stopping, staying):
        folder = Path(flowsync.dag_cabinet[kernel_id].diskcache_dir)
        assert jp_runtime_dir.resolve() in folder.resolve().parents
        folder.mkdir(parents=True)
        (folder / "cached.bin").write_bytes(b"\0")
        folders[kernel_id] = folder
    await server.stop_kernel(stopping)
    # A GET only reads: the entry stays until a relayed POST runs the clean-up.
    assert (await server.get(stopping)).code == 200
    assert await server.post(staying, PROBE) == SUCCESS
    assert stopping not in flowsync.dag_cabinet
    assert not os.path.exists(folders[stopping])
    assert staying in flowsync.dag_cabinet
    assert (folders[staying] / "cached.bin").exists()
    response = await server.get(stopping)
    assert response.code == 400
    assert json.loads(response.body) == {"message": f"Cannot get dag data in {stopping}."}
    assert (await server.get(stopping, "export", ipynb_name="x.ipynb")).code == 404
