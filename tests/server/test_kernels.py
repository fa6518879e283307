import asyncio
import json
import logging
import os
import uuid
from pathlib import Path

import pytest

from zelvo.server.handlers import flowsync
from zelvo_core.misc.models import ZelvoPipelineModel

SUCCESS = (200, {"message": "Success."})
# Any message that is not a pipeline update: relayed as it came, and it runs the clean-up.
PROBE = {"procedure": "cell:executed", "status": "successful", "msg": "ran", "successful": None}


async def read(client):
    # The timeout only turns a missing frame into a failure instead of a hang.
    return await asyncio.wait_for(client.read_message(), 10)


def relayed(kernel_id, added=(), revised=(), deleted=(), **extra):
    """The text sent for a successful "pipeline:updated" whose "msg" was empty."""
    update = {
        "identifier": kernel_id,
        "updated_components": {
            "added": list(added),
            "revised": list(revised),
            "deleted": list(deleted),
        },
    }
    return json.dumps(
        {"procedure": "pipeline:updated", "status": "successful", "successful": update, **extra}
    )


async def test_updates_reach_the_kernels_sockets(
    start_kernel, connect, post, get, component, updated, caplog, jp_serverapp
):
    kernel_id = await start_kernel()
    other_id = str(uuid.uuid4())
    first = await connect(kernel_id)
    second = await connect(kernel_id)
    stranger = await connect(other_id)

    a, b = component("a"), component("b", ["a"])
    assert await post(kernel_id, updated([a, b], note="kept")) == SUCCESS
    text = relayed(kernel_id, added=[a, b], note="kept")
    assert await read(first) == text
    assert await read(second) == text

    revised_a, c = component("a", code="a = 2"), component("c", ["a"], code="print('\u00e9')")
    assert await post(kernel_id, updated([revised_a, c])) == SUCCESS
    text = relayed(kernel_id, added=[c], revised=[revised_a], deleted=["b"])
    assert await read(first) == text
    assert await read(second) == text

    # The same pipeline again: stored anew, nothing relayed.
    previous = flowsync.dag_cabinet[kernel_id]
    assert await post(kernel_id, updated([revised_a, c])) == SUCCESS
    registered = flowsync.dag_cabinet[kernel_id]
    assert registered is not previous
    assert registered.identifier == kernel_id

    response = await get(kernel_id)
    assert response.code == 200
    # The whole registered pipeline, as an update from an empty one.
    assert json.loads(response.body) == {
        "identifier": kernel_id,
        "updated_components": {"added": [revised_a, c], "revised": [], "deleted": []},
    }

    cycle = [component("x", ["y"]), component("y", ["x"])]
    with pytest.raises(ValueError) as refused:
        ZelvoPipelineModel(dag_info=cycle)
    caplog.clear()
    assert await post(kernel_id, updated(cycle)) == (500, {"message": str(refused.value)})
    # The server's request log also writes ERROR records for a 500; only
    # the handler's own record carries the traceback.
    logged = [
        record
        for record in caplog.records
        if record.levelno >= logging.ERROR and "Traceback" in record.getMessage()
    ]
    assert len(logged) == 1
    assert logged[0].name == jp_serverapp.log.name
    assert logged[0].levelno == logging.ERROR
    text = logged[0].getMessage()
    assert "line 115, in zelvo.server.handlers.flowsync.DAGHandler.post\n" in text
    assert text.endswith(f"ValueError: {refused.value}\n")
    assert flowsync.dag_cabinet[kernel_id] is registered

    # Each socket's next frame is the probe: none got anything from the
    # unchanged or the refused pipeline, and the stranger got nothing at all.
    assert await post(other_id, PROBE) == SUCCESS
    assert await read(stranger) == json.dumps(PROBE)
    assert await post(kernel_id, PROBE) == SUCCESS
    assert await read(first) == json.dumps(PROBE)
    assert await read(second) == json.dumps(PROBE)


async def test_export_and_clean_up_of_a_stopped_kernel(
    start_kernel, stop_kernel, post, get, component, updated, jp_runtime_dir
):
    stopping = await start_kernel()
    staying = await start_kernel()

    # The path's kernel id wins over an identifier in the body.
    successful = {
        "identifier": "someone-else",
        "dag_info": [component("a"), component("b", ["a"], code="print('\u00e9')")],
    }
    assert await post(stopping, {**updated([]), "successful": successful}) == SUCCESS
    model = ZelvoPipelineModel(**successful)
    model.identifier = stopping
    response = await get(stopping, "export", ipynb_name="work/analysis.ipynb")
    assert response.code == 200
    assert response.headers["Content-Disposition"] == 'attachment; filename="analysis.json"'
    assert response.body.decode() == json.dumps(model.to_zelvo_dict(include_captured=False))

    assert await post(staying, updated([])) == SUCCESS
    response = await get(staying, "export", ipynb_name="empty.ipynb")
    assert response.code == 400
    assert json.loads(response.body) == {"message": "There are no components in this pipeline."}
    assert (await get(str(uuid.uuid4()), "export", ipynb_name="x.ipynb")).code == 404

    folders = {}
    for kernel_id in (stopping, staying):
        folder = Path(flowsync.dag_cabinet[kernel_id].diskcache_dir)
        assert jp_runtime_dir.resolve() in folder.resolve().parents
        folder.mkdir(parents=True)
        (folder / "cached.bin").write_bytes(b"\0")
        folders[kernel_id] = folder

    await stop_kernel(stopping)
    # A GET only reads: the entry stays until a relayed POST runs the clean-up.
    assert (await get(stopping)).code == 200
    assert await post(staying, PROBE) == SUCCESS

    assert stopping not in flowsync.dag_cabinet
    assert not os.path.exists(folders[stopping])
    assert staying in flowsync.dag_cabinet
    assert (folders[staying] / "cached.bin").exists()
    response = await get(stopping)
    assert response.code == 400
    assert json.loads(response.body) == {"message": f"Cannot get dag data in {stopping}."}
    assert (await get(stopping, "export", ipynb_name="x.ipynb")).code == 404
