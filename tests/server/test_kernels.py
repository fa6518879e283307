import asyncio
import datetime
import json
import logging
import os
import platform
import subprocess
import sys
import time
import types
import uuid
from pathlib import Path

import nbclient
import nbformat
import pytest
from jupyter_server.auth.authorizer import AllowAllAuthorizer
from tornado.httpclient import HTTPClientError, HTTPRequest
from tornado.websocket import websocket_connect

from zelvo.server import cache_folders
from zelvo.server.handlers import flowsync
from zelvo.server.handlers.ws_handler import ZelvoWebSocketHandler
from zelvo.server.kernel_events import watch_kernels
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
    kernel_id, other_id = await server.start_kernel(), await server.start_kernel()
    secret = "body-" + uuid.uuid4().hex
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
    # The server announces the shutdown; no POST is needed for the clean-up.
    deadline = time.monotonic() + 10
    while stopping in flowsync.dag_cabinet:
        assert time.monotonic() < deadline, "the stopped kernel's entry stayed"
        await asyncio.sleep(0.01)
    assert not os.path.exists(folders[stopping])
    assert staying in flowsync.dag_cabinet
    assert (folders[staying] / "cached.bin").exists()
    response = await server.get(stopping)
    assert response.code == 400
    assert json.loads(response.body) == {"message": f"Cannot get dag data in {stopping}."}
    assert (await server.get(stopping, "export", ipynb_name="x.ipynb")).code == 404


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
    # What the running kernel tells, so that tools name the script after its language.
    told = notebook.metadata.language_info
    assert (told.name, told.file_extension, told.version) == (
        "python",
        ".py",
        platform.python_version(),
    )
    written = tmp_path / "from-notebook.ipynb"
    written.write_bytes(response.body)
    subprocess.run(
        [sys.executable, "-m", "nbconvert", "--to", "script", str(written)],
        check=True,
        capture_output=True,
    )
    assert (tmp_path / "from-notebook.py").read_text().count("doubled = base * 2") == 1
    cells = notebook.cells
    assert [cell.metadata.zelvo.id for cell in cells] == [odd, "base", "doubled", "total"]
    assert [cell.id for cell in cells][1:] == ["base", "doubled", "total"]
    assert [cell.metadata.get("tags") for cell in cells] == [None, ["parameters"], None, None]
    await nbclient.NotebookClient(notebook, timeout=60).async_execute()
    assert [output.text for output in cells[-1].outputs] == ["total 41\n"]


class Kernels:
    """Kernels, pipelines and websocket clients of a server process, through its routes."""

    def __init__(self, served):
        self.served = served

    async def start(self):
        response = await self.served.request(
            "POST", "api/kernels", json.dumps({"name": "python3"})
        )
        assert response.code == 201, response.body
        return json.loads(response.body)["id"]

    async def post(self, kernel_id, body):
        response = await self.served.request(
            "POST", f"zelvo/kernels/{kernel_id}", json.dumps(body)
        )
        return response.code, json.loads(response.body)

    async def connect(self, kernel_id):
        request = HTTPRequest(
            f"ws://127.0.0.1:{self.served.port}/zelvo/kernels/{kernel_id}/ws",
            headers={"Authorization": f"token {self.served.token}"},
        )
        return await asyncio.wait_for(websocket_connect(request), 30)

    def folder(self, kernel_id):
        """The kernel's cache folder, made and filled as a front end would."""
        folder = self.served.runtime_dir / "zelvo-cache" / kernel_id
        folder.mkdir(parents=True)
        (folder / "cached.bin").write_bytes(b"\0")
        return folder

    async def until(self, predicate):
        deadline = time.monotonic() + 30  # fail rather than hang
        while not await predicate():
            assert time.monotonic() < deadline, "condition not reached"
            await asyncio.sleep(0.1)


@pytest.mark.parametrize("kernels", ["local", "gateway"])
async def test_kernel_life_cycle(serve, component, updated, kernels):
    served = await serve(kernels)
    k = Kernels(served)
    stopping, staying = await k.start(), await k.start()
    ghost = str(uuid.uuid4())
    with pytest.raises(HTTPClientError) as refused:
        await k.connect(ghost)
    assert refused.value.code == 404
    listeners = [await k.connect(stopping), await k.connect(stopping)]
    other = await k.connect(staying)
    a = component("a")
    for kernel_id in (stopping, staying):
        assert await k.post(kernel_id, updated([a])) == SUCCESS
    for client in (*listeners, other):
        assert json.loads(await read(client))["successful"]["updated_components"]["added"] == [a]
    export = await served.request("GET", f"zelvo/kernels/{stopping}/export?ipynb_name=x.ipynb")
    assert export.code == 200 and json.loads(export.body)["identifier"] == stopping
    # Kernels this server does not run: nothing is registered, relayed or cleaned up, not even
    # the folder of a kernel of another server that shares the runtime folder.
    foreign = k.folder(ghost)
    for kernel_id in (ghost, stopping.upper()):
        missing = (404, {"message": f"Kernel does not exist: {kernel_id}"})
        assert await k.post(kernel_id, updated([a])) == missing
        assert await k.post(kernel_id, PROBE) == missing
        assert (await served.request("GET", f"zelvo/kernels/{kernel_id}")).code == 400
    folders = {kernel_id: k.folder(kernel_id) for kernel_id in (stopping, staying)}
    # A restart keeps the pipeline and the clients.
    restart = await served.request("POST", f"api/kernels/{stopping}/restart", "{}")
    assert restart.code == 200
    assert (await served.request("GET", f"zelvo/kernels/{stopping}")).code == 200
    assert await k.post(stopping, PROBE) == SUCCESS
    for client in listeners:
        assert await read(client) == json.dumps(PROBE)  # nothing from the ghosts came first
    # POSTs while a kernel starts answer as any other.
    starting = asyncio.ensure_future(k.start())
    answers = []
    while not starting.done() or not answers:
        answers.append(await k.post(staying, PROBE))
    assert answers == [SUCCESS] * len(answers)
    for _ in answers:
        assert await read(other) == json.dumps(PROBE)
    started = await starting
    # A shutdown forgets the kernel at once: no POST is needed.
    assert (await served.request("DELETE", f"api/kernels/{stopping}")).code == 204
    for client in listeners:
        assert await read(client) is None
        assert (client.close_code, client.close_reason) == (
            1001,
            f"Kernel {stopping} was shut down.",
        )

    async def forgotten():
        return (await served.request("GET", f"zelvo/kernels/{stopping}")).code == 400

    await k.until(forgotten)
    assert not folders[stopping].exists()
    assert (folders[staying] / "cached.bin").exists()
    assert await k.post(stopping, PROBE) == (
        404,
        {"message": f"Kernel does not exist: {stopping}"},
    )
    assert await k.post(staying, PROBE) == SUCCESS
    assert await read(other) == json.dumps(PROBE)
    assert (await served.request("GET", f"zelvo/kernels/{staying}")).code == 200
    assert await k.post(started, updated([a])) == SUCCESS
    # The server logged no error (kernels interrupted while starting print tracebacks of their
    # own to the same output).
    assert not [line for line in served.output().splitlines() if line.startswith("[E")]
    # The server's own shutdown stops the kernels that remain: their folders go too.
    assert served.stop() == 0
    assert await read(other) is None
    assert not folders[staying].exists()
    assert (foreign / "cached.bin").exists()
    for client in (*listeners, other):
        client.close()


@pytest.mark.parametrize(
    ("event", "forgotten"),
    [
        ({"action": "shutdown", "status": "success"}, True),
        ({"action": "start", "status": "error"}, True),  # nothing runs under the id
        ({"action": "start", "status": "error", "running": True}, False),
        ({"action": "shutdown", "status": "error", "running": True}, False),
        ({"action": "restart", "status": "success", "running": True}, False),
        ({"action": "interrupt", "status": "success", "running": True}, False),
        ({"action": "shutdown", "status": "success", "kernel_id": None}, False),
    ],
)
# Whether this server ran the kernel (its start was announced): only then its folder goes.
@pytest.mark.parametrize("ran", [True, False])
async def test_kernel_actions_that_forget_a_kernel(monkeypatch, tmp_path, event, forgotten, ran):
    monkeypatch.setenv("JUPYTER_RUNTIME_DIR", str(tmp_path))
    kernel_id, other = str(uuid.uuid4()), str(uuid.uuid4())
    running = {other, kernel_id}
    listeners = []
    serverapp = types.SimpleNamespace(
        kernel_manager=running,
        event_logger=types.SimpleNamespace(add_listener=lambda **kw: listeners.append(kw)),
        log=logging.getLogger("test"),
    )
    closed = []
    sockets = [
        types.SimpleNamespace(kernel_id=k, close=lambda *a, k=k: closed.append((k, *a)))
        for k in (kernel_id, other, kernel_id)
    ]
    monkeypatch.setattr(ZelvoWebSocketHandler, "registry", sockets)
    for k in (kernel_id, other):
        flowsync.dag_cabinet[k] = ZelvoPipelineModel(identifier=k)
        Path(flowsync.dag_cabinet[k].diskcache_dir).mkdir(parents=True)
    folders = {k: Path(flowsync.dag_cabinet[k].diskcache_dir) for k in (kernel_id, other)}
    watch_kernels(serverapp)
    [listener] = listeners
    assert listener["modified"] is False and listener["schema_id"].endswith("/kernel_actions/v1")

    async def announce(**fields):
        data = {"kernel_name": "python3", "msg": "", "kernel_id": kernel_id, **fields}
        await listener["listener"](logger=None, schema_id=listener["schema_id"], data=data)

    for k in (kernel_id, other) if ran else (other,):
        await announce(action="start", status="success", kernel_id=k)
    event = dict(event)
    if not event.pop("running", False):
        running.discard(kernel_id)
    await announce(**event)
    assert (kernel_id in flowsync.dag_cabinet) is not forgotten
    assert folders[kernel_id].exists() is not (forgotten and ran)
    reason = f"Kernel {kernel_id} was shut down."
    assert closed == ([(kernel_id, 1001, reason)] * 2 if forgotten else [])
    assert other in flowsync.dag_cabinet and folders[other].exists()


async def test_list_snapshot_and_shut_down_announcement(server, component, updated):
    notebook = "work/<b>analysis</b>.ipynb"
    kernel_id, stale = await server.start_kernel(notebook), str(uuid.uuid4())
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
    assert [
        (e["kernel_id"], e["notebook"], e["components"], e["running"]) for e in listed
    ] == sorted([(kernel_id, notebook, 2, True), (stale, None, 0, False)], key=lambda e: e[0])
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
        assert (client.close_code, client.close_reason) == (
            1001,
            f"Kernel {kernel_id} was shut down.",
        )
        client.close()


def _silent_socket(served, kernel_id):
    """A websocket client that completes the handshake, then never reads (nor answers pings)."""
    import base64
    import socket

    sock = socket.create_connection(("127.0.0.1", served.port), timeout=60)
    key = base64.b64encode(os.urandom(16)).decode()
    sock.sendall(
        (
            f"GET /zelvo/kernels/{kernel_id}/ws HTTP/1.1\r\nHost: 127.0.0.1:{served.port}\r\n"
            f"Upgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Key: {key}\r\n"
            f"Sec-WebSocket-Version: 13\r\nAuthorization: token {served.token}\r\n\r\n"
        ).encode()
    )
    answer = b""
    while b"\r\n\r\n" not in answer:
        answer += sock.recv(1)
    assert answer.startswith(b"HTTP/1.1 101 "), answer
    return sock


def _until_dropped(sock):
    """Reads what the server sent until it drops the connection."""
    while sock.recv(65536):
        pass
    sock.close()


# The host's ping settings, in milliseconds, as an operator sets them.
PINGS = "--ServerApp.tornado_settings={'ws_ping_interval': 1000, 'ws_ping_timeout': 2000}"


async def test_sockets_that_answer_pings_stay_open(serve):
    served = await serve("local", PINGS)
    k = Kernels(served)
    kernel_id = await k.start()
    answering = await k.connect(kernel_id)
    silent = _silent_socket(served, kernel_id)
    # Five ping intervals and more: the silent client is dropped after the timeout.
    await asyncio.sleep(6)
    await asyncio.get_running_loop().run_in_executor(None, _until_dropped, silent)
    assert await k.post(kernel_id, PROBE) == SUCCESS
    assert await read(answering) == json.dumps(PROBE)
    timeouts = [line for line in served.output().splitlines() if "ping timeout" in line]
    assert len(timeouts) == 1, served.output()
    answering.close()


def _kernel_pid(kernel_id):
    """The process of a local kernel, found by its connection file's name."""
    for entry in os.listdir("/proc"):
        try:
            with open(f"/proc/{entry}/cmdline", "rb") as stream:
                if f"kernel-{kernel_id}.json".encode() in stream.read():
                    return int(entry)
        except (OSError, ValueError):
            continue
    raise LookupError(kernel_id)


@pytest.mark.parametrize("kernels", ["local", "gateway", "gateway listing"])
async def test_kernels_that_stop_unannounced_are_forgotten(serve, component, updated, kernels):
    # A local kernel that dies is not restarted: the host drops it from its map without an
    # announcement. A gateway's kernel is deleted on the gateway itself, which may list its
    # kernels or (its default) not.
    served = await serve(kernels, "--KernelRestarter.restart_limit=0")
    k = Kernels(served)
    dying, staying = await k.start(), await k.start()
    folders = {kernel_id: k.folder(kernel_id) for kernel_id in (dying, staying)}
    listener, other = await k.connect(dying), await k.connect(staying)
    for kernel_id in (dying, staying):
        assert await k.post(kernel_id, updated([component("a")])) == SUCCESS
    await read(listener), await read(other)
    if kernels == "local":
        os.kill(_kernel_pid(dying), 9)
    else:
        deleted = await served.gateway.request("DELETE", f"api/kernels/{dying}")
        assert deleted.code == 204

    async def forgotten():
        return (await served.request("GET", f"zelvo/kernels/{dying}")).code == 400

    await k.until(forgotten)
    assert await read(listener) is None
    assert (listener.close_code, listener.close_reason) == (1001, f"Kernel {dying} was shut down.")
    assert not folders[dying].exists() and (folders[staying] / "cached.bin").exists()
    assert (await served.request("GET", f"zelvo/kernels/{staying}")).code == 200
    listener.close(), other.close()


async def test_servers_sharing_a_runtime_folder_keep_to_their_own_folders(serve):
    first = await serve("local", name="first")
    second = await serve("local", name="second")
    assert first.runtime_dir == second.runtime_dir
    a, b = Kernels(first), Kernels(second)
    kernel_id = await a.start()
    folder = a.folder(kernel_id)
    # The second server is asked for the first one's kernel id: a failed start, then a kernel
    # of its own under the same id, shut down.
    # (Older hosts give the kernel an id of their own.)
    for name in ("no-such-kernel", "python3"):
        body = json.dumps({"name": name, "kernel_id": kernel_id})
        started = await second.request("POST", "api/kernels", body)
        assert (started.code == 201) is (name == "python3"), started.body
    started_id = json.loads(started.body)["id"]
    assert (await second.request("DELETE", f"api/kernels/{started_id}")).code == 204
    own = b.folder(await b.start())
    await asyncio.sleep(3)  # more than one round of the second server's reconciliation
    assert (folder / "cached.bin").exists()
    # Once the first server is gone, the second removes what it left, and only that.
    first.process.kill()
    first.process.wait()

    async def removed():
        return not folder.exists()

    await b.until(removed)
    assert (own / "cached.bin").exists()


async def test_a_folder_that_cannot_be_removed_is_named_once(tmp_path, monkeypatch, caplog):
    owner, other = cache_folders.Owner(str(tmp_path)), cache_folders.Owner(str(tmp_path))
    kernel_id = str(uuid.uuid4())
    folder = tmp_path / kernel_id
    folder.mkdir()
    assert owner.claim(kernel_id) and other.claim(kernel_id) is False
    other.release(kernel_id, str(folder))
    assert folder.exists()
    # As on a read-only runtime folder (the tests run as a user that may remove anything).
    monkeypatch.setattr(cache_folders.shutil, "rmtree", lambda path, ignore_errors: None)
    with caplog.at_level(logging.WARNING):
        owner.release(kernel_id, str(folder))
        owner.release(kernel_id, str(folder))
    assert [r.getMessage() for r in caplog.records] == [
        f"zelvo: cannot remove the cache folder {folder}"
    ]
    owner.close(), other.close()
