"""The observer's cost: the event loop's time per observed execution, and the kernel channel's
throughput with observation on against off.

    python bench/observer.py [--cells N] [--executions N] [--outputs N] [--rounds R] [--write]

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

--write puts the figures of this interpreter into bench/results/observer-<version>.json and
the section of every interpreter measured into bench/RESULTS.md.
"""

import argparse
import asyncio
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

from zelvo.server import registry
from zelvo.server.observer import Observer, wire

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


def execution_frames(cell, code):
    """The frames of one run of ``cell`` as the server sees them, in two turns of its loop:
    up to the start of the run, and from there to the reply. Each frame is (direction,
    connection index, frame)."""
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
            SESSION.msg("execute_input", {"code": code, "execution_count": 1}, parent=parent),
        ),
    ]
    reply = SESSION.msg("execute_reply", {"status": "ok", "execution_count": 1}, parent=parent)
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
    from tornado.httpclient import HTTPRequest
    from tornado.websocket import websocket_connect

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
        ]
    )


def write(figures):
    results = HERE / "results"
    results.mkdir(exist_ok=True)
    (results / f"observer-{figures['python']}.json").write_text(json.dumps(figures, indent=1))
    every = [json.loads(path.read_text()) for path in sorted(results.glob("observer-*.json"))]
    every.sort(key=lambda f: tuple(map(int, f["python"].split("."))))
    sections.replace(SECTION, section(every))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--cells", type=int, default=500)
    parser.add_argument("--executions", type=int, default=1000)
    parser.add_argument("--outputs", type=int, default=100_000)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--write", action="store_true", help="update bench/RESULTS.md")
    options = parser.parse_args()
    figures = {
        "python": "{}.{}".format(*sys.version_info[:2]),
        "measured": time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime()),
        "load": os.getloadavg()[0],
        "execution": measure_executions(options.cells, options.executions),
        "throughput": measure_throughput(options.outputs, options.rounds),
    }
    print(json.dumps(figures, indent=1))
    if options.write:
        write(figures)


if __name__ == "__main__":
    main()
