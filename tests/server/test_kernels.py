import asyncio
import datetime
import json
import logging
import os
import subprocess
import sys
import uuid
from pathlib import Path

import nbclient
import nbformat
import pytest

from zelvo.server.handlers import flowsync
from zelvo_core.misc.models import ZelvoPipelineModel

SUCCESS = (200, {"message": "Success."})
REQUIRED = {"message": "status is required in the body of the request."}
# Any message that is not a pipeline update: relayed as it came, and it runs the clean-up.
PROBE = {"procedure": "cell:executed", "status": "successful", "msg": "ran", "successful": None}


async def read(client):
    # The timeout only turns a missing frame into a failure instead of a hang.
    return await asyncio.wait_for(client.read_message(), 10)


def relayed(kernel_id, added=(), revised=(), deleted=(), **extra):
    """The text sent for a successful "pipeline:updated" whose "msg" was empty."""
    changes = {"added": list(added), "revised": list(revised), "deleted": list(deleted)}
    update = {"identifier": kernel_id, "updated_components": changes}
    message = {"procedure": "pipeline:updated", "status": "successful", "successful": update}
    return json.dumps({**message, **extra})


async def test_updates_reach_the_kernels_sockets(server, component, updated, caplog, jp_serverapp):
    kernel_id = await server.start_kernel()  # the host logs the start
    caplog.set_level(logging.DEBUG)
    caplog.clear()
    secret, other_id = "body-" + uuid.uuid4().hex, str(uuid.uuid4())
    first = await server.connect(kernel_id)
    second = await server.connect(kernel_id)
    stranger = await server.connect(other_id)
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
    cycle = [component("x", ["y"]), component("y", ["x"])]
    with pytest.raises(ValueError) as refused:
        ZelvoPipelineModel(dag_info=cycle)
    assert await server.post(kernel_id, updated(cycle)) == (500, {"message": str(refused.value)})
    assert flowsync.dag_cabinet[kernel_id] is registered
    assert await server.post(kernel_id, {"procedure": secret}) == (400, REQUIRED)
    # Each socket's next frame is the probe: none got anything from the
    # unchanged or the refused pipeline, and the stranger got nothing at all.
    assert await server.post(other_id, PROBE) == SUCCESS
    assert await read(stranger) == json.dumps(PROBE)
    assert await server.post(kernel_id, PROBE) == SUCCESS
    assert await read(first) == json.dumps(PROBE)
    assert await read(second) == json.dumps(PROBE)
    # Besides the host's request log, only the 500's traceback is logged at INFO or above, by
    # the handler's logger; no record carries the token or anything of a body.
    token = jp_serverapp.identity_provider.token
    assert not [r for r in caplog.records if secret in r.getMessage() or token in r.getMessage()]
    [logged] = [
        r for r in caplog.records if r.levelno >= logging.INFO and r.funcName != "log_request"
    ]
    assert logged.levelno == logging.ERROR and logged.name == jp_serverapp.log.name
    assert logged.getMessage().startswith("Traceback (most recent call last):\n")
    assert "line 115, in zelvo.server.handlers.flowsync.DAGHandler.post\n" in logged.getMessage()
    assert logged.getMessage().endswith(f"ValueError: {refused.value}\n")


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


async def test_list_snapshot_and_shut_down_announcement(server, component, updated):
    kernel_id, stale = await server.start_kernel(), str(uuid.uuid4())
    # No pipeline yet: the snapshot says so in GET's words, then updates follow.
    early = await server.connect(kernel_id, snapshot="1")
    assert json.loads(await read(early)) == {
        "procedure": "pipeline:updated",
        "status": "failed",
        "msg": f"Cannot get dag data in {kernel_id}.",
    }
    a, b = component("a"), component("b", ["a"])
    before = datetime.datetime.now(datetime.timezone.utc)
    assert await server.post(kernel_id, updated([a, b])) == SUCCESS
    assert await read(early) == relayed(kernel_id, added=[a, b])
    # A kernel that no longer runs keeps its entry until the next clean-up.
    flowsync.dag_cabinet[stale] = ZelvoPipelineModel(identifier=stale)
    listed = json.loads((await server.get()).body)
    assert [(e["kernel_id"], e["components"], e["running"]) for e in listed] == sorted(
        [(kernel_id, 2, True), (stale, 0, False)]
    )
    updated_at = {e["kernel_id"]: datetime.datetime.fromisoformat(e["updated"]) for e in listed}
    assert before <= updated_at[kernel_id] <= updated_at[stale]

    # Posts racing the connect: the snapshot holds a prefix of them and the
    # relayed messages exactly the rest, in order.
    parts, halfway = [component(f"c{i}", ["a"]) for i in range(40)], asyncio.Event()

    async def post_parts():
        for count in range(1, len(parts) + 1):
            assert await server.post(kernel_id, updated([a, b, *parts[:count]])) == SUCCESS
            if count == 10:
                halfway.set()

    posting = asyncio.ensure_future(post_parts())
    await halfway.wait()
    late = await server.connect(kernel_id, snapshot="1")
    await posting
    first = json.loads(await read(late))
    assert first["procedure"] == "pipeline:updated" and first["status"] == "successful"
    snapshot = first["successful"]["updated_components"]
    assert snapshot["revised"] == snapshot["deleted"] == []
    seen = len(snapshot["added"]) - 2
    assert snapshot["added"] == [a, b, *parts[:seen]]
    for part in parts[seen:]:
        assert await read(late) == relayed(kernel_id, added=[part])
    assert await read(early) == relayed(kernel_id, added=[parts[0]])

    # Shutting the kernel down closes its sockets with a reason a page can show.
    await server.stop_kernel(kernel_id)
    for client in (early, late):
        while await read(client) is not None:
            pass
        assert client.close_reason == "The kernel was shut down."
        client.close()


async def test_exports_run_parents_first(server, component, updated, tmp_path):
    kernel_id = await server.start_kernel()
    # Posted children first; the result is right only if the cells run in order. The odd id
    # must break neither the script's header line nor the notebook's cell ids.
    odd = "step 2\nprint('injected')  # \u00fc"
    dag_info = [
        component("stray", [], code="raise SystemExit('not selected, yet exported')"),
        component("total", ["doubled", odd], code="total = doubled + 1\nprint('total', total)"),
        component("doubled", ["base"], code="doubled = base * 2", execution_status="not-run"),
        component(odd, [], code="unrelated = 0"),
        component("base", [], component_type="parameter", code="base = 20"),
    ]
    assert await server.post(kernel_id, updated(dag_info)) == SUCCESS

    response = await server.get(kernel_id, "export", format="py", cell_ids="total")
    assert response.headers["Content-Disposition"] == 'attachment; filename="pipeline.py"'
    script = tmp_path / "pipeline.py"
    script.write_bytes(response.body)
    ran = subprocess.run([sys.executable, str(script)], capture_output=True, text=True)
    assert (ran.returncode, ran.stdout, ran.stderr) == (0, "total 41\n", "")

    response = await server.get(
        kernel_id, "export", format="ipynb", cell_ids="total", ipynb_name="\u00fc.ipynb"
    )
    assert response.headers["Content-Disposition"] == (
        "attachment; filename=\"pipeline.pipeline.ipynb\"; filename*=UTF-8''%C3%BC.pipeline.ipynb"
    )
    notebook = nbformat.reads(response.body.decode(), as_version=nbformat.NO_CONVERT)
    nbformat.validate(notebook)
    assert (notebook.nbformat, notebook.nbformat_minor) == (4, 5)
    assert notebook.metadata.kernelspec.name == "python3"
    assert notebook.metadata.language_info.name == "python"
    cells = notebook.cells
    assert [cell.metadata.zelvo.id for cell in cells] == [odd, "base", "doubled", "total"]
    assert [cell.id for cell in cells][1:] == ["base", "doubled", "total"]
    assert [cell.metadata.get("tags") for cell in cells] == [None, ["parameters"], None, None]
    await nbclient.NotebookClient(notebook, timeout=60).async_execute()
    assert [output.text for output in cells[-1].outputs] == ["total 41\n"]
