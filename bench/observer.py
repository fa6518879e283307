"""The observer's cost: the event loop's time per observed execution, the kernel channel's
throughput with observation on against off, the server's work per autosave of a large
notebook, and how long requests that make the observer work hard stall the server.

    python bench/observer.py [--cells N,N,...] [--executions N] [--outputs N] [--rounds R]
                             [--saves N] [--quick] [--write]

Run with the interpreter of an environment where zelvo is installed (`.venv/bin/python`).

- *execution*: in this process, the observer as the server runs it, fed the frames of a kernel
  whose front end (two connections, as JupyterLab keeps) already ran N cells (500 by
  default), each reading what earlier ones defined. One execution is a rerun of one of them
  in two turns of the loop, each followed by the registration it schedules (model,
  comparison, store, relay): the request and, per connection, the busy status and
  execute_input (the component is running); then per connection an output and the idle
  status, and the reply (it succeeded). Everything on the event loop, timed per execution.
- *throughput*: a real Jupyter Server (rate limits off) and one real kernel that sends 100,000
  small stream outputs per run, read by a client of the v1 protocol; rounds alternate
  observation on and off for new connections of the same kernel. Outputs per second of wall
  time until the reply, and the server process's processor time per output.
- *autosave*: a real server, a notebook session of 2,000 and then 5,000 code cells with a
  kernel websocket open, and a save (PUT) every 100 ms that edits one cell (every other
  one the names it reads), as autosave does; the server process's processor time per save
  (until it is idle again), and the longest answer to `GET api/status` asked every 10 ms
  meanwhile. Once with observation on,
  once on a server started with `--Zelvo.observe_executions=False`.
- *run all*: on the same servers, three times, a notebook of 5,000 cells whose front end asks
  for every cell without waiting; the server process's processor time until it is idle.
- *the observer alone*: the autosaves fed to the observer in this process, without a server:
  its processor time per save and the event loop's longest wait.
- *hostile*: on the same servers, with the same probe: an execute_request from the front end
  of `"(\n" * 49000` (98 KB), one whose `deletedCells` lists 10^6 ids, and a save of the
  notebook with one 120 KB cell of `(` lines; the longest stall of each.

--write puts the figures of this interpreter into bench/results/observer-<version>.json and
the section of every interpreter measured into bench/RESULTS.md.
"""

import argparse
import asyncio
import gc
import itertools
import json
import os
import statistics
import sys
import tempfile
import time
import types
import uuid
from pathlib import Path

import psutil
import sections
from jupyter_client.jsonutil import json_default
from jupyter_client.session import Session
from jupyter_server.services.kernels.connection.base import serialize_msg_to_ws_v1
from served import Server
from tornado.httpclient import AsyncHTTPClient, HTTPRequest
from tornado.websocket import websocket_connect

from zelvo.server import registry
from zelvo.server.observer import Observer, wire
from zelvo_core.analysis import cell_facts

HERE = Path(__file__).resolve().parent
SECTION = "## Observer"
EXECUTION_TARGET = 2e-3  # seconds of the event loop per observed execution
THROUGHPUT_TARGET = 0.05  # at most this much slower with observation on
KERNEL = "0b5e7c6e-0000-4000-8000-00000000beef"
SESSION = Session(key=b"")


# -- per execution ---------------------------------------------------------------------------


def cell_code(n):
    reads = " + ".join(f"v{p}" for p in sorted({n - 1, n // 2}) if p >= 0 and p != n) or "1"
    return f"v{n} = {reads}\nprint('cell {n}', v{n})\n"


class Connection:
    def __init__(self):
        self.kernel_id, self.subprotocol = KERNEL, wire.V1_PROTOCOL


_COUNTS = itertools.count(1)


def execution_frames(cell, code):
    """The frames of one run of ``cell`` as the server sees them, in two turns of its loop:
    up to the start of the run, and from there to the reply. Each frame is (direction,
    connection index, frame). Each run has the kernel's next execution count."""
    count = next(_COUNTS)
    request = SESSION.msg("execute_request", {"code": code, "silent": False})
    request["metadata"] = {"trusted": True, "deletedCells": [], "cellId": cell}
    parts = [
        json.dumps(request[key], default=json_default).encode()
        for key in ("header", "parent_header", "metadata", "content")
    ]
    parent = request["header"]

    def iopub(*messages):
        return [
            ("iopub", connection, [b"kernel.iopub", *SESSION.serialize(message)])
            for message in messages
            for connection in (0, 1)
        ]

    starting = [
        ("client", 0, serialize_msg_to_ws_v1(parts, "shell")),
        *iopub(
            SESSION.msg("status", {"execution_state": "busy"}, parent=parent),
            SESSION.msg("execute_input", {"code": code, "execution_count": count}, parent=parent),
        ),
    ]
    reply = SESSION.msg("execute_reply", {"status": "ok", "execution_count": count}, parent=parent)
    ending = [
        *iopub(
            SESSION.msg("stream", {"name": "stdout", "text": f"cell {cell}\n"}, parent=parent),
            SESSION.msg("status", {"execution_state": "idle"}, parent=parent),
        ),
        ("shell", 0, [*SESSION.serialize(reply)]),
    ]
    return starting, ending


def measure_executions(cells, executions):
    async def no_session(**_):
        raise KeyError("no session")

    serverapp = types.SimpleNamespace(
        kernel_manager={KERNEL},
        session_manager=types.SimpleNamespace(get_session=no_session),
        log=types.SimpleNamespace(exception=print, warning=print),
    )
    observer = Observer(serverapp)
    connections = [Connection(), Connection()]

    def run(frames):
        for direction, index, frame in frames:
            if direction == "client":
                observer.from_client(connections[index], frame)
            else:
                observer.from_kernel(connections[index], (direction, frame))

    async def main():
        observer.connected(KERNEL)
        kernel = observer.kernels[KERNEL]

        def turn(frames):
            # One turn of the loop: the frames, then the registration they scheduled.
            start = time.perf_counter()
            run(frames)
            middle = time.perf_counter()
            # The loop's next callback: the registration the frames scheduled, if any.
            observer._register(KERNEL, kernel)
            return middle - start, time.perf_counter() - middle

        for n in range(cells):
            for frames in execution_frames(f"cell-{n}", cell_code(n)):
                turn(frames)
        # The parents are found in the worker, before the runs timed.
        await observer.settled(KERNEL)
        assert len(registry.get(KERNEL).graph.components) == cells
        reading, registering = [], []
        for k in range(executions):
            n = (k * 7919) % cells  # cells from all over the pipeline, early ones included
            starting, ending = execution_frames(f"cell-{n}", cell_code(n))
            (read_start, register_start), (read_end, register_end) = turn(starting), turn(ending)
            reading.append(read_start + read_end)
            registering.append(register_start + register_end)
        components = registry.get(KERNEL).graph.components.values()
        invalid = sum(c.execution_status == "invalid" for c in components)
        registry.forget(KERNEL)
        return reading, registering, invalid

    reading, registering, invalid = asyncio.run(main())
    total = [a + b for a, b in zip(reading, registering)]
    total.sort()
    return {
        "cells": cells,
        "executions": executions,
        "frames": sum(map(len, execution_frames("x", "x = 1"))),
        "median": statistics.median(total),
        "p95": total[int(len(total) * 0.95)],
        "min": total[0],
        "reading": statistics.median(reading),
        "registering": statistics.median(registering),
        "invalid_at_end": invalid,
    }


# -- throughput ------------------------------------------------------------------------------

FLOOD = """\
_k = get_ipython().kernel
_p = _k.get_parent("shell") if hasattr(_k, "get_parent") else _k._parent_header
for _i in range({outputs}):
    _k.session.send(_k.iopub_socket, "stream", {{"name": "stdout", "text": "."}}, parent=_p)
"""


def v1_frame(channel, message):
    parts = [
        json.dumps(message[key], default=json_default).encode()
        for key in ("header", "parent_header", "metadata", "content")
    ]
    return serialize_msg_to_ws_v1(parts, channel)


def v1_read(frame):
    """(channel, header, parent header) of a v1 frame, as bytes."""
    count = int.from_bytes(frame[:8], "little")
    offsets = [int.from_bytes(frame[8 * i : 8 * i + 8], "little") for i in range(1, count + 1)]
    return (
        frame[offsets[0] : offsets[1]],
        frame[offsets[1] : offsets[2]],
        frame[offsets[2] : offsets[3]],
    )


async def flood(server, kernel_id, outputs):
    """(outputs received, wall seconds, server processor seconds) of one flood, until its
    last output."""
    url = server.url(f"api/kernels/{kernel_id}/channels?session_id={uuid.uuid4().hex}")
    request = HTTPRequest(
        url.replace("http://", "ws://"), headers={"Authorization": f"token {server.token}"}
    )
    connection = await websocket_connect(
        request, subprotocols=[wire.V1_PROTOCOL], max_message_size=1 << 30
    )
    message = SESSION.msg("execute_request", {"code": FLOOD.format(outputs=outputs)})
    message["content"].update(silent=False, store_history=False, stop_on_error=True)
    message["metadata"] = {"cellId": "flood", "deletedCells": []}
    process = psutil.Process(server.process.pid)
    cpu = process.cpu_times()
    start = time.perf_counter()
    connection.write_message(v1_frame("shell", message), binary=True)
    received, mark = 0, message["header"]["msg_id"].encode()
    # The run's last iopub message is its idle status; the reply comes on another channel,
    # often before the outputs still queued.
    while True:
        frame = await connection.read_message()
        if frame is None:
            raise RuntimeError("the kernel websocket closed")
        channel, header, parent = v1_read(frame)
        if channel != b"iopub" or mark not in parent:
            continue
        if b'"stream"' in header:
            received += 1
        elif b'"status"' in header and b'"idle"' in frame[-40:]:
            break
    wall = time.perf_counter() - start
    used = process.cpu_times()
    connection.close()
    return received, wall, used.user + used.system - cpu.user - cpu.system


def flood_kernel(workdir):
    """The name of a kernel spec in ``workdir`` for bench/flood_kernel.py; put on JUPYTER_PATH."""
    folder = Path(workdir, "share", "kernels", "zelvo-bench-flood")
    folder.mkdir(parents=True)
    spec = {
        "argv": [sys.executable, str(HERE / "flood_kernel.py"), "-f", "{connection_file}"],
        "display_name": "flood",
        "language": "python",
    }
    (folder / "kernel.json").write_text(json.dumps(spec))
    os.environ["JUPYTER_PATH"] = os.pathsep.join(
        [str(folder.parent.parent), *filter(None, [os.environ.get("JUPYTER_PATH")])]
    )
    return folder.name


def measure_throughput(outputs, rounds):
    with tempfile.TemporaryDirectory() as workdir:
        name = flood_kernel(workdir)
        options = ["--ZMQChannelsWebsocketConnection.limit_rate=False"]
        with Server(workdir, extensions=["bench_observer"], options=options) as server:
            kernel_id = server.request("POST", "api/kernels", {"name": name})["id"]

            async def main():
                sides = {"on": [], "off": []}
                # A short warm-up flood of each side first; then each round runs both, the
                # side that goes first taking turns.
                for turn in range(rounds + 1):
                    for side in ("on", "off") if turn % 2 else ("off", "on"):
                        server.request("POST", "zelvo-bench/observe", {"on": side == "on"})
                        figures = await flood(server, kernel_id, outputs if turn else 10_000)
                        if turn:
                            sides[side].append(figures)
                return sides

            sides = asyncio.run(main())
            server.request("DELETE", f"api/kernels/{kernel_id}")
    result = {"outputs": outputs, "rounds": rounds}
    for side, runs in sides.items():
        result[side] = {
            "received": min(received for received, _, _ in runs),
            "rate": statistics.median(received / wall for received, wall, _ in runs),
            "cpu": statistics.median(cpu / received for received, _, cpu in runs),
        }
    # Per round, the two sides ran one after the other: their ratio cancels most of the load
    # that other processes put on the machine, which comes and goes over minutes.
    pairs = list(zip(sides["off"], sides["on"]))
    result["per_round"] = [
        {"off": off[0] / off[1], "on": on[0] / on[1], "cpu_off": off[2], "cpu_on": on[2]}
        for off, on in pairs
    ]
    result["slower"] = statistics.median(
        1 - (on[0] / on[1]) / (off[0] / off[1]) for off, on in pairs
    )
    result["cpu_more"] = statistics.median(on[2] / off[2] - 1 for off, on in pairs)
    return result


# -- saves and hostile requests -------------------------------------------------------------

SAVE_EVERY = 0.1  # seconds between two autosaves
RUN_ALL = 5000  # cells of the notebook run whole
RUN_AHEAD = 100  # requests of Run All sent ahead of the replies
RUN_ALL_ROUNDS = 3  # Run Alls on each server, the median reported
PROBE_EVERY = 0.01  # seconds between two status requests of the probe


def saved_notebook(cells):
    """An nbformat 4.5 notebook of ``cells`` code cells as the per-execution part runs them."""
    return {
        "cells": [
            {"id": f"cell-{n}", "cell_type": "code", "metadata": {}, "source": cell_code(n),
             "outputs": [], "execution_count": None}
            for n in range(cells)
        ],
        "metadata": {}, "nbformat": 4, "nbformat_minor": 5,
    }  # fmt: skip


class Probe:
    """``GET api/status`` every 10 ms; ``stop()`` gives the longest answer, in seconds."""

    def __init__(self, server, client):
        self.server, self.client, self.longest, self.running = server, client, 0.0, True
        self.task = asyncio.ensure_future(self._probe())

    async def _probe(self):
        request = HTTPRequest(
            self.server.url("api/status"), request_timeout=600,
            headers={"Authorization": f"token {self.server.token}"},
        )  # fmt: skip
        while self.running:
            start = time.perf_counter()
            await self.client.fetch(request)
            self.longest = max(self.longest, time.perf_counter() - start)
            await asyncio.sleep(PROBE_EVERY)

    async def stop(self):
        self.running = False
        await self.task
        return self.longest


async def idle(server, limit=600, floor=0.0):
    """Once the server process used less than 20 ms of processor time in half a second,
    besides ``floor`` (what answering a Probe takes in that time)."""
    process, deadline = psutil.Process(server.process.pid), time.monotonic() + limit
    before = sum(process.cpu_times()[:2])
    while time.monotonic() < deadline:
        await asyncio.sleep(0.5)
        now = sum(process.cpu_times()[:2])
        if now - before < 0.02 + floor:
            return
        before = now


async def probing(server):
    """A Probe on ``server``, and the processor time answering it takes in half a second."""
    probe = Probe(server, server.client)
    process = psutil.Process(server.process.pid)
    before = sum(process.cpu_times()[:2])
    await asyncio.sleep(1.0)
    return probe, (sum(process.cpu_times()[:2]) - before) / 2


class NotebookSession:
    """A notebook session of ``path`` on ``server``, with a v1 kernel websocket open."""

    async def open(self, server, client, path):
        self.server, self.client, self.path = server, client, path
        body = {"path": path, "type": "notebook", "name": "", "kernel": {"name": "python3"}}
        kernel_id = server.request("POST", "api/sessions", body)["kernel"]["id"]
        url = server.url(f"api/kernels/{kernel_id}/channels?session_id={uuid.uuid4().hex}")
        self.connection = await websocket_connect(
            HTTPRequest(
                url.replace("http://", "ws://"),
                headers={"Authorization": f"token {server.token}"},
            ),
            subprotocols=[wire.V1_PROTOCOL],
            max_message_size=1 << 30,
        )
        return self

    async def run(self, cell, code, deleted=()):
        """Run ``code`` as ``cell``, as a notebook front end asks; once the kernel replied."""
        message = SESSION.msg("execute_request", {"code": code, "silent": False})
        message["metadata"] = {"cellId": cell, "deletedCells": list(deleted)}
        self.connection.write_message(v1_frame("shell", message), binary=True)
        await self._replied(message)

    async def run_all(self, cells):
        """Ask for each ``(cell, code)`` without waiting, as Run All does, but with at most
        RUN_AHEAD requests unanswered (the kernel deadlocks with thousands queued); once
        the last replied."""
        waiting = 0
        for cell, code in cells:
            if waiting == RUN_AHEAD:
                await self._replied()
                waiting -= 1
            message = SESSION.msg("execute_request", {"code": code, "silent": False})
            message["metadata"] = {"cellId": cell, "deletedCells": []}
            self.connection.write_message(v1_frame("shell", message), binary=True)
            waiting += 1
        await self._replied(message)

    async def _replied(self, request=None):
        """Once the reply to ``request`` came, or any reply."""
        mark = request["header"]["msg_id"].encode() if request is not None else b""
        while True:
            frame = await self.connection.read_message()
            if frame is None:
                raise RuntimeError("the kernel websocket closed")
            channel, header, parent = v1_read(frame)
            if channel == b"shell" and b"execute_reply" in header and mark in parent:
                return

    async def save(self, notebook):
        body = json.dumps({"type": "notebook", "format": "json", "content": notebook})
        await self.client.fetch(
            HTTPRequest(
                self.server.url(f"api/contents/{self.path}"), method="PUT", body=body,
                headers={"Authorization": f"token {self.server.token}"}, request_timeout=600,
            )
        )  # fmt: skip

    def close(self):
        self.connection.close()


def _base36(number):
    digits = ""
    while True:
        number, digit = divmod(number, 36)
        digits = "0123456789abcdefghijklmnopqrstuvwxyz"[digit] + digits
        if not number:
            return digits


HOSTILE = {
    "execute": 'an execute_request of `"(\\n" * 49000` (98 KB)',
    "deleted": "`deletedCells` of 10^6 ids",
    "save": "a save of one 120 KB cell of `(` lines",
}


async def send_hostile(session, kind):
    if kind == "execute":
        await session.run("deep", "(\n" * 49_000)
    elif kind == "deleted":
        await session.run("cell-1", cell_code(1), [_base36(n) for n in range(10**6)])
    else:
        notebook = saved_notebook(2)
        notebook["cells"][1]["source"] = "(\n" * 60_000
        await session.save(notebook)


def measure_server(observing, cell_counts, saves, workdir):
    """Autosave bursts and hostile requests on a server observing or not."""
    options = [] if observing else ["--Zelvo.observe_executions=False"]
    folder = Path(workdir, "on" if observing else "off")
    folder.mkdir()
    with Server(str(folder), options=options) as server:
        process = psutil.Process(server.process.pid)

        async def main():
            client = server.client = AsyncHTTPClient(force_instance=True)
            result = {"autosave": {}, "hostile": {}}
            for cells in cell_counts:
                path = f"saves-{cells}.ipynb"
                notebook = saved_notebook(cells)
                Path(folder, path).write_text(json.dumps(notebook))
                session = await NotebookSession().open(server, client, path)
                await session.run("cell-0", cell_code(0))
                await idle(server)  # the first read of the notebook
                probe, floor = await probing(server)
                used = sum(process.cpu_times()[:2])
                for k in range(saves):
                    start = time.perf_counter()
                    edit(notebook, k)
                    await session.save(notebook)
                    await asyncio.sleep(max(0.0, SAVE_EVERY - (time.perf_counter() - start)))
                await idle(server, floor=floor)
                result["autosave"][cells] = {
                    "saves": saves,
                    "cpu": (sum(process.cpu_times()[:2]) - used) / saves,
                    "stall": await probe.stop(),
                }
                session.close()
            used = []
            for round_ in range(RUN_ALL_ROUNDS):  # each with a kernel of its own
                path = f"run-all-{round_}.ipynb"
                Path(folder, path).write_text(json.dumps(saved_notebook(RUN_ALL)))
                session = await NotebookSession().open(server, client, path)
                await session.run("cell-0", cell_code(0))
                await idle(server)
                before = sum(process.cpu_times()[:2])
                await session.run_all((f"cell-{n}", cell_code(n)) for n in range(RUN_ALL))
                await idle(server)
                used.append(sum(process.cpu_times()[:2]) - before)
                session.close()
            result["run_all"] = {"cells": RUN_ALL, "cpu": statistics.median(used), "each": used}
            path = "hostile.ipynb"
            Path(folder, path).write_text(json.dumps(saved_notebook(2)))
            session = await NotebookSession().open(server, client, path)
            await session.run("cell-0", cell_code(0))
            await idle(server)
            for kind in HOSTILE:
                probe, floor = await probing(server)
                await send_hostile(session, kind)
                await idle(server, floor=floor)
                result["hostile"][kind] = await probe.stop()
            session.close()
            client.close()
            return result

        return asyncio.run(main())


def edit(notebook, k):
    """The ``k``-th autosave's edit of one cell: a comment, and every other time the names
    it reads too."""
    cells = notebook["cells"]
    n = (k * 7919) % len(cells)
    code = cell_code(n) if k % 2 else f"v{n} = v{n // 3}\nprint('cell {n}', v{n})\n"
    cells[n]["source"] = f"{code}# edit {k}\n"


def measure_observer_saves(cells, saves):
    """The observer alone, in this process (no server around it): autosaves of a notebook
    of ``cells`` cells, with cell ids and without (nbformat 4.4), each read in the worker as
    the server reads it; its processor time per save and the event loop's longest wait
    (a timer every millisecond) meanwhile."""

    async def main(folder, ids):
        notebook = saved_notebook(cells)
        if not ids:
            for cell in notebook["cells"]:
                del cell["id"]
            notebook["nbformat_minor"] = 4
        path = Path(folder, "autosave.ipynb")
        versions = []
        for k in range(saves + 1):
            versions.append(json.dumps(notebook).encode())
            edit(notebook, k)
        path.write_bytes(versions[0])
        session = {"type": "notebook", "path": path.name}

        async def get_session(**_):
            return session

        async def list_sessions():
            return [{**session, "kernel": {"id": KERNEL}}]

        serverapp = types.SimpleNamespace(
            kernel_manager={KERNEL},
            session_manager=types.SimpleNamespace(
                get_session=get_session, list_sessions=list_sessions
            ),
            contents_manager=types.SimpleNamespace(
                _get_os_path=lambda name: str(Path(folder, name)), is_hidden=lambda _: False,
                allow_hidden=True, root_dir=str(folder),
            ),
            log=types.SimpleNamespace(exception=print, warning=lambda *args, **_: print(*args)),
        )  # fmt: skip
        observer = Observer(serverapp)
        observer.connected(KERNEL)
        kernel = observer.kernels[KERNEL]
        while kernel.loading is not None or kernel.linking is not None or kernel.flushing:
            await observer.settled(KERNEL)
            await asyncio.sleep(0.01)
        longest, running = 0.0, True

        async def watch():
            nonlocal longest
            while running:
                start = time.perf_counter()
                await asyncio.sleep(0.001)
                longest = max(longest, time.perf_counter() - start - 0.001)

        watcher = asyncio.ensure_future(watch())
        used = time.process_time()
        for data in versions[1:]:
            Path(folder, "saving").write_bytes(data)
            os.replace(Path(folder, "saving"), path)  # whole, as the contents manager saves
            event = {"action": "save", "path": path.name}
            await observer.on_contents_event(None, None, event)
            await asyncio.sleep(SAVE_EVERY)
        while kernel.loading is not None or kernel.linking is not None or kernel.flushing:
            await observer.settled(KERNEL)
            await asyncio.sleep(0.01)
        cpu = (time.process_time() - used) / saves
        running = False
        await watcher
        observer.worker.close()
        registry.forget(KERNEL)
        return {"cpu": cpu, "stall": longest}

    def alone(ids):
        # Each as the first: nothing left of the other in the analysis cache or the heap.
        cell_facts.cache_clear()
        gc.collect()
        with tempfile.TemporaryDirectory() as folder:
            return asyncio.run(main(folder, ids))

    return {"cells": cells, "saves": saves, "ids": alone(True), "no ids": alone(False)}


def measure_saves(cell_counts, saves):
    with tempfile.TemporaryDirectory() as workdir:
        return {
            side: measure_server(side == "on", cell_counts, saves, workdir)
            for side in ("off", "on")
        }


# -- the report ------------------------------------------------------------------------------


def rows(figures):
    version = figures["python"]
    ex, th = figures["execution"], figures["throughput"]
    return (
        f"| {version} | {ex['median'] * 1e3:.2f} ms ({ex['p95'] * 1e3:.2f} ms) "
        f"| {ex['reading'] * 1e6:.0f} µs + {ex['registering'] * 1e3:.2f} ms "
        f"| {th['off']['rate']:,.0f} / {th['on']['rate']:,.0f} ({th['slower'] * 100:+.1f} %) "
        f"| {th['off']['cpu'] * 1e6:.1f} / {th['on']['cpu'] * 1e6:.1f} µs "
        f"({th['cpu_more'] * 100:+.1f} %) |"
    )


def section(every):
    first = every[0]
    ex, th = first["execution"], first["throughput"]
    worst_execution = max(f["execution"]["median"] for f in every)
    worst_slower = max(f["throughput"]["slower"] for f in every)
    return "\n".join(
        [
            SECTION,
            "",
            "Written by `python bench/observer.py --write` (also run by `make bench`), "
            + "; ".join(
                f"CPython {f['python']} {f['measured']}, load {f['load']:.1f}" for f in every
            )
            + f", {os.cpu_count()} cores.",
            "",
            f"*Per execution*: the observer in process, on a kernel whose front end already ran "
            f"{ex['cells']} cells (each reading one or two earlier ones), two connections; one "
            f"execution is {ex['frames']} frames in two turns of the loop, each followed by the "
            "registration it schedules (model, comparison, store, relay): the request and per "
            "connection the busy status and execute_input (running); per connection an output "
            "and the idle status, and the reply (succeeded). Median (95th percentile) of "
            f"{ex['executions']:,} reruns of cells all over the pipeline, split into reading "
            "the frames (with the rules) and registering. "
            f"*Throughput*: a real server (rate limits off) and one real kernel sending "
            f"{th['outputs']:,} small stream outputs per run to a v1 client; {th['rounds']} "
            "rounds, each with observation off and on for a new connection of the same kernel "
            "(the side that goes first taking turns); medians of outputs per second until the "
            "last output and of the server process's processor time per output, and in "
            "brackets the median over the rounds of each round's on-to-off difference.",
            "",
            "| CPython | Per execution, median (p95) | Reading + registering "
            "| Outputs/s off / on | Server CPU per output off / on |",
            "|---|---|---|---|---|",
            *(rows(f) for f in every),
            "",
            f"Targets: at most {EXECUTION_TARGET * 1e3:.0f} ms per execution (worst median "
            f"{worst_execution * 1e3:.2f} ms); at most {THROUGHPUT_TARGET * 100:.0f} % slower "
            f"with observation on (worst {worst_slower * 100:+.1f} %).",
            "",
            *larger(every),
        ]
    )


def larger(every):
    """The tables of the larger pipelines, the autosaves and the hostile requests."""
    every = [f for f in every if "saves" in f]
    if not every:
        return []
    lines = [
        "*Larger pipelines*: the same per-execution figures on kernels whose front end ran "
        "more cells.",
        "",
        "| CPython | Cells | Executions | Per execution, median (p95) |",
        "|---|---|---|---|",
    ]
    for f in every:
        for ex in f["larger"]:
            lines.append(
                f"| {f['python']} | {ex['cells']:,} | {ex['executions']:,} "
                f"| {ex['median'] * 1e3:.2f} ms ({ex['p95'] * 1e3:.2f} ms) |"
            )
    saves = every[0]["saves"]["on"]["autosave"]
    count = next(iter(saves.values()))["saves"]
    lines += [
        "",
        f"*Autosave*: a real server and a notebook session with a kernel websocket open; "
        f"{count} saves (PUT), one every {SAVE_EVERY * 1e3:.0f} ms, each editing one cell "
        "(every other one the names it reads); the server process's processor time per save "
        "until it is idle again, and the longest "
        f"answer to `GET api/status` asked every {PROBE_EVERY * 1e3:.0f} ms meanwhile, on a "
        "server observing and one started with `--Zelvo.observe_executions=False`. "
        "*Hostile requests*: on the same servers, the longest answer to the same probe while "
        "the request is handled, until the server is idle again.",
        "",
        "| CPython | Cells | CPU per save off / on | Longest stall off / on |",
        "|---|---|---|---|",
    ]
    for f in every:
        off, on = f["saves"]["off"]["autosave"], f["saves"]["on"]["autosave"]
        for cells in on:
            lines.append(
                f"| {f['python']} | {int(cells):,} "
                f"| {off[cells]['cpu'] * 1e3:.1f} / {on[cells]['cpu'] * 1e3:.1f} ms "
                f"| {off[cells]['stall'] * 1e3:.0f} / {on[cells]['stall'] * 1e3:.0f} ms |"
            )
    alone = every[0].get("observer_saves")
    if alone:
        lines += [
            "",
            f"*The observer alone*: the same {alone['saves']} autosaves of a notebook of "
            f"{alone['cells']:,} cells, with cell ids and without (nbformat 4.4), every other "
            "edit changing the names a cell reads, fed to the observer in this process with no "
            "server around it (so nothing else runs on its event loop): its processor time per "
            "save (reading, decoding and analysing in its worker, and its work on the loop) "
            "and the event loop's longest wait meanwhile (a timer every millisecond).",
            "",
            "| CPython | Cells | CPU per save, ids / no ids | Longest wait, ids / no ids |",
            "|---|---|---|---|",
        ]
        for f in every:
            a = f.get("observer_saves")
            if a:
                lines.append(
                    f"| {f['python']} | {a['cells']:,} "
                    f"| {a['ids']['cpu'] * 1e3:.1f} / {a['no ids']['cpu'] * 1e3:.1f} ms "
                    f"| {a['ids']['stall'] * 1e3:.1f} / {a['no ids']['stall'] * 1e3:.1f} ms |"
                )
    if "run_all" in every[0]["saves"]["on"]:
        lines += [
            "",
            f"*Run All*: on the same servers, a notebook of {RUN_ALL:,} cells whose front end "
            f"asks for every cell without waiting (at most {RUN_AHEAD} unanswered); the server "
            "process's processor time from the first request until it is idle again, median "
            f"of {RUN_ALL_ROUNDS} runs, each on a kernel of its own.",
            "",
            "| CPython | Cells | Server CPU off / on | On to off |",
            "|---|---|---|---|",
        ]
        for f in every:
            off, on = f["saves"]["off"]["run_all"], f["saves"]["on"]["run_all"]
            lines.append(
                f"| {f['python']} | {on['cells']:,} | {off['cpu']:.1f} / {on['cpu']:.1f} s "
                f"| {on['cpu'] / off['cpu']:.2f}× |"
            )
    lines += ["", "| CPython | Hostile request | Longest stall off / on |", "|---|---|---|"]
    for f in every:
        off, on = f["saves"]["off"]["hostile"], f["saves"]["on"]["hostile"]
        for kind, text in HOSTILE.items():
            lines.append(
                f"| {f['python']} | {text} | {off[kind] * 1e3:,.0f} / {on[kind] * 1e3:,.0f} ms |"
            )
    return [*lines, ""]


def write(figures):
    results = HERE / "results"
    results.mkdir(exist_ok=True)
    (results / f"observer-{figures['python']}.json").write_text(json.dumps(figures, indent=1))
    every = [json.loads(path.read_text()) for path in sorted(results.glob("observer-*.json"))]
    every.sort(key=lambda f: tuple(map(int, f["python"].split("."))))
    sections.replace(SECTION, section(every))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument(
        "--cells", default="500,2000,5000", help="pipeline sizes per execution, comma-separated"
    )
    parser.add_argument("--executions", type=int, default=1000)
    parser.add_argument("--outputs", type=int, default=100_000)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--saves", type=int, default=50, help="autosaves per notebook")
    parser.add_argument("--quick", action="store_true", help="fewer of everything")
    parser.add_argument("--write", action="store_true", help="update bench/RESULTS.md")
    options = parser.parse_args()
    if options.quick:
        options.executions, options.outputs, options.rounds = 100, 10_000, 1
        options.cells, options.saves = "500,2000", 10
    cells = [int(n) for n in options.cells.split(",")]
    figures = {
        "python": "{}.{}".format(*sys.version_info[:2]),
        "measured": time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime()),
        "load": os.getloadavg()[0],
        "execution": measure_executions(cells[0], options.executions),
        # Each builds its pipeline cell by cell first: fewer executions for the larger ones.
        "larger": [measure_executions(n, min(options.executions, 50)) for n in cells[1:]],
        "throughput": measure_throughput(options.outputs, options.rounds),
        "saves": measure_saves([2000, 5000], options.saves),
        "observer_saves": measure_observer_saves(5000, options.saves),
    }
    print(json.dumps(figures, indent=1))
    if options.write:
        write(figures)


if __name__ == "__main__":
    main()
