"""A kernel's pipeline built from what a scripted front end runs, without any POST."""

import asyncio
import datetime
import json
import subprocess
import sys
import threading
import time
import urllib.request
import uuid

import pytest
from tornado.httpclient import HTTPRequest
from tornado.websocket import websocket_connect

V1 = "v1.kernel.websocket.jupyter.org"


def notebook(*cells):
    """An nbformat 4.5 notebook of (id, source[, tags]) code cells and a markdown cell."""
    made = [{"id": "intro", "cell_type": "markdown", "metadata": {}, "source": "# Work"}]
    for ident, source, *tags in cells:
        made.append(
            {
                "id": ident,
                "cell_type": "code",
                "metadata": {"tags": tags[0]} if tags else {},
                "source": source,
                "outputs": [],
                "execution_count": None,
            }
        )
    return {"cells": made, "metadata": {}, "nbformat": 4, "nbformat_minor": 5}


class Frontend:
    """One kernel websocket, speaking the v1 protocol or the legacy JSON one."""

    def __init__(self, connection, protocol, session):
        self.connection, self.protocol, self.session = connection, protocol, session
        self.deleted = []

    @classmethod
    async def open(cls, served, kernel_id, protocol):
        session = uuid.uuid4().hex
        request = HTTPRequest(
            f"ws://127.0.0.1:{served.port}/api/kernels/{kernel_id}/channels?session_id={session}",
            headers={"Authorization": f"token {served.token}"},
        )
        connection = await websocket_connect(
            request, subprotocols=[V1] if protocol == "v1" else None
        )
        assert connection.selected_subprotocol == (V1 if protocol == "v1" else None)
        return cls(connection, protocol, session)

    def send(self, cell_id, code, tags=None):
        """Sends an execute_request for ``cell_id`` as a notebook front end does (with the
        cell's ``tags`` if given, as its metadata comes along); its msg_id."""
        msg_id = uuid.uuid4().hex
        parts = {
            "header": {
                "msg_id": msg_id, "msg_type": "execute_request", "session": self.session,
                "username": "", "version": "5.3",
                "date": datetime.datetime.now(datetime.timezone.utc).isoformat(),
            },
            "parent_header": {},
            "metadata": {
                "trusted": True, "deletedCells": self.deleted, "recordTiming": False,
                "cellId": cell_id,
            },
            "content": {
                "code": code, "silent": False, "store_history": True, "user_expressions": {},
                "allow_stdin": False, "stop_on_error": True,
            },
        }  # fmt: skip
        if tags is not None:
            parts["metadata"]["tags"] = tags
        self.deleted = []
        if self.protocol == "v1":
            packed = [json.dumps(parts[key]).encode() for key in parts]
            channel = b"shell"
            offsets = [8 * (len(packed) + 3)]
            for part in (channel, *packed):
                offsets.append(offsets[-1] + len(part))
            head = len(offsets).to_bytes(8, "little")
            frame = b"".join([head, *(o.to_bytes(8, "little") for o in offsets), channel, *packed])
            self.connection.write_message(frame, binary=True)
        else:
            self.connection.write_message(json.dumps({**parts, "channel": "shell", "buffers": []}))
        return msg_id

    async def reply(self, msg_id):
        """The content of the execute_reply to ``msg_id``."""
        while True:
            frame = await asyncio.wait_for(self.connection.read_message(), 60)
            assert frame is not None, "the kernel websocket closed"
            if isinstance(frame, bytes):
                count = int.from_bytes(frame[:8], "little")
                offsets = [
                    int.from_bytes(frame[8 * i : 8 * i + 8], "little") for i in range(1, count + 1)
                ]
                channel = frame[offsets[0] : offsets[1]].decode()
                header, parent, _, content = (
                    json.loads(frame[offsets[i] : offsets[i + 1]]) for i in range(1, 5)
                )
            else:
                message = json.loads(frame)
                channel, header, parent = (
                    message["channel"],
                    message["header"],
                    message["parent_header"],
                )
                content = message["content"]
            if (channel, header["msg_type"], parent.get("msg_id")) == (
                "shell",
                "execute_reply",
                msg_id,
            ):
                return content

    async def run(self, cell_id, code, tags=None):
        return (await self.reply(self.send(cell_id, code, tags)))["status"]


async def pipeline(served, kernel_id, expected, restarted=False):
    """The kernel's components (id -> (type, parents, status, code)) once they are ``expected``
    (after a restart, cells that are not run may have run before it)."""
    deadline = time.monotonic() + 30
    while True:
        response = await served.request("GET", f"zelvo/kernels/{kernel_id}")
        found = {}
        if response.code == 200:
            for raw in json.loads(response.body)["updated_components"]["added"]:
                ran = raw["last_execution"] is not None
                assert ran == (raw["execution_status"] != "not-run") or restarted, raw
                found[raw["id"]] = (
                    raw["component_type"],
                    raw["parents_id"],
                    raw["execution_status"],
                    raw["code"],
                )
        if found == expected or time.monotonic() > deadline:
            assert found == expected
            return found
        await asyncio.sleep(0.05)


@pytest.mark.parametrize(
    ("kernels", "protocol"), [("local", "v1"), ("local", "json"), ("gateway", "json")]
)
async def test_runs_make_the_pipeline(serve, tmp_path, kernels, protocol):
    saved = notebook(
        ("rate", "rate = 0.05", ["parameters"]), ("grow", "amount = 100 * (1 + rate)"),
        ("report", "print(amount)"), ("later", "half = amount / 2"),
    )  # fmt: skip
    (tmp_path / "work.ipynb").write_text(json.dumps(saved))
    served = await serve(kernels)
    body = {"path": "work.ipynb", "type": "notebook", "name": "", "kernel": {"name": "python3"}}
    answer = await served.request("POST", "api/sessions", json.dumps(body))
    kernel_id = json.loads(answer.body)["kernel"]["id"]
    front = await Frontend.open(served, kernel_id, protocol)
    # A second connection of the same kernel receives every iopub message too.
    other = await Frontend.open(served, kernel_id, protocol)
    # Before any run: the saved cells, not run, with their parents by notebook order.
    saved_cells = {
        "rate": ("parameter", [], "not-run", "rate = 0.05"),
        "grow": ("code", ["rate"], "not-run", "amount = 100 * (1 + rate)"),
        "report": ("code", ["grow"], "not-run", "print(amount)"),
        "later": ("code", ["grow"], "not-run", "half = amount / 2"),
    }
    await pipeline(served, kernel_id, saved_cells)

    steps = [
        ("rate", "rate = 0.05"),
        ("grow", "amount = 100 * (1 + rate)"),
        ("report", "print(amount)"),
    ]
    for ident, code in steps:
        assert await front.run(ident, code) == "ok"
    ran = {
        "rate": ("parameter", [], "succeeded", "rate = 0.05"),
        "grow": ("code", ["rate"], "succeeded", "amount = 100 * (1 + rate)"),
        "report": ("code", ["grow"], "succeeded", "print(amount)"),
        "later": ("code", ["grow"], "not-run", "half = amount / 2"),
    }
    await pipeline(served, kernel_id, ran)

    # An edited cell rerun from the other connection: what depends on it is out of date.
    assert await other.run("rate", "rate = 0.07") == "ok"
    ran["rate"] = ("parameter", [], "succeeded", "rate = 0.07")
    ran["grow"] = ran["grow"][:2] + ("invalid",) + ran["grow"][3:]
    ran["report"] = ran["report"][:2] + ("invalid",) + ran["report"][3:]
    await pipeline(served, kernel_id, ran)

    # A failing cell, and the two queued behind it that the kernel aborts: the one that ran
    # before is left as it was, the new one joins as not run. (The kernel aborts what is
    # queued when the error comes, so the failing cell waits for both to arrive.)
    boom = "import time\ntime.sleep(1)\nraise ValueError(rate)"
    failing = front.send("boom", boom)
    aborted = [front.send("grow", "amount = 1"), front.send("fresh", "fresh = 1")]
    assert (await front.reply(failing))["status"] == "error"
    assert [(await front.reply(msg_id))["status"] for msg_id in aborted] == ["aborted"] * 2
    ran["boom"] = ("code", ["rate"], "failed", boom)
    ran["fresh"] = ("code", [], "not-run", "fresh = 1")
    await pipeline(served, kernel_id, ran)

    # A deleted cell leaves, and a save of the notebook that still holds it does not bring
    # it back; the save brings in the saved notebook's new cell.
    front.deleted = ["report"]
    assert await front.run("grow", "amount = 200 * (1 + rate)") == "ok"
    saved["cells"] += notebook(("extra", "extra = half"), ("show", "print(extra)"))["cells"][1:]
    put = {"type": "notebook", "format": "json", "content": saved}
    assert (await served.request("PUT", "api/contents/work.ipynb", json.dumps(put))).code == 200
    del ran["report"]
    ran["grow"] = ("code", ["rate"], "succeeded", "amount = 200 * (1 + rate)")
    ran["extra"] = ("code", ["later"], "not-run", "extra = half")
    ran["show"] = ("code", ["extra"], "not-run", "print(extra)")
    await pipeline(served, kernel_id, ran)

    # A restart: the kernel holds nothing, the parents stay, and a selected export holds what
    # the chosen cell needs: it runs and prints what the notebook prints.
    assert (await served.request("POST", f"api/kernels/{kernel_id}/restart", "{}")).code == 200
    ran = {ident: value[:2] + ("not-run",) + value[3:] for ident, value in ran.items()}
    await pipeline(served, kernel_id, ran, restarted=True)
    (listed,) = json.loads((await served.request("GET", "zelvo/kernels")).body)
    assert listed["restarted"] is True and listed["statuses"]["not-run"] == len(ran)
    script = await served.request(
        "GET", f"zelvo/kernels/{kernel_id}/export?format=py&cell_ids=show"
    )
    (tmp_path / "show.py").write_bytes(script.body)
    printed = subprocess.run(
        [sys.executable, str(tmp_path / "show.py")], capture_output=True, text=True, check=True
    )
    assert printed.stdout == "107.0\n"
    for client in (front, other):
        client.connection.close()
    assert not [line for line in served.output().splitlines() if "zelvo: could not" in line]


async def test_the_session_is_followed_through_renames(serve, tmp_path):
    saved = notebook(
        ("rate", "rate = 0.05", ["parameters"]), ("grow", "amount = 100 * (1 + rate)"),
        ("later", "half = amount / 2"),
    )  # fmt: skip
    (tmp_path / "work.ipynb").write_text(json.dumps(saved))
    served = await serve()

    async def call(method, path, body):
        answer = await served.request(method, path, json.dumps(body))
        assert answer.code in (200, 201), answer.body
        return json.loads(answer.body)

    # As JupyterLab opens a notebook: a session under a provisional path, renamed to the
    # notebook's after the kernel's first connection (and its first lookup).
    kernel = {"name": "python3"}
    body = {"path": uuid.uuid4().hex, "type": "notebook", "name": "", "kernel": kernel}
    session = await call("POST", "api/sessions", body)
    kernel_id = session["kernel"]["id"]
    front = await Frontend.open(served, kernel_id, "v1")
    assert await front.run("rate", "rate = 0.05") == "ok"
    ran = {"rate": ("code", [], "succeeded", "rate = 0.05")}
    await pipeline(served, kernel_id, ran)
    await call("PATCH", f"api/sessions/{session['id']}", {"path": "work.ipynb"})
    # The next run looks the session up again: the saved notebook comes in. The tags a
    # request carries decide over the saved ones.
    assert await front.run("grow", "amount = 100 * (1 + rate)", ["parameters"]) == "ok"
    ran = {
        "rate": ("parameter", [], "succeeded", "rate = 0.05"),
        "grow": ("parameter", ["rate"], "succeeded", "amount = 100 * (1 + rate)"),
        "later": ("code", ["grow"], "not-run", "half = amount / 2"),
    }
    await pipeline(served, kernel_id, ran)
    assert await front.run("rate", "rate = 0.07", []) == "ok"
    ran["rate"] = ("code", [], "succeeded", "rate = 0.07")
    ran["grow"] = ran["grow"][:2] + ("invalid",) + ran["grow"][3:]
    await pipeline(served, kernel_id, ran)

    # Renamed by the user: a save of the new path is the kernel's notebook, one of a new
    # file under the old path is not.
    await call("PATCH", "api/contents/work.ipynb", {"path": "renamed.ipynb"})
    await call("PATCH", f"api/sessions/{session['id']}", {"path": "renamed.ipynb"})
    other = notebook(("elsewhere", "unrelated = 1"))
    put = {"type": "notebook", "format": "json", "content": other}
    await call("PUT", "api/contents/work.ipynb", put)
    saved["cells"].append(notebook(("extra", "extra = half"))["cells"][1])
    await call("PUT", "api/contents/renamed.ipynb", dict(put, content=saved))
    ran["extra"] = ("code", ["later"], "not-run", "extra = half")
    await pipeline(served, kernel_id, ran)
    front.connection.close()
    assert not [line for line in served.output().splitlines() if "zelvo: could not" in line]


@pytest.fixture(params=[True, False], ids=["observing", "not observing"])
def jp_server_config(request):
    return {
        "ServerApp": {
            "jpserver_extensions": {"zelvo.server": True},
            "reraise_server_extension_failures": True,
        },
        "Zelvo": {"observe_executions": request.param},
    }


def test_the_setting_leaves_the_connections_alone(jp_serverapp, jp_server_config):
    from jupyter_server.services.kernels.connection.channels import (
        ZMQChannelsWebsocketConnection as Host,
    )

    made = jp_serverapp.web_app.settings["kernel_websocket_connection_class"]
    assert jp_serverapp.kernel_websocket_connection_class is made
    assert issubclass(made, Host)
    assert (made is not Host) == jp_server_config["Zelvo"]["observe_executions"]


def _base36(number):
    digits = ""
    while True:
        number, digit = divmod(number, 36)
        digits = "0123456789abcdefghijklmnopqrstuvwxyz"[digit] + digits
        if not number:
            return digits


async def _deep_run(served, front, path):
    assert await front.run("deep", "(\n" * 49_000) == "error"  # 98 KB a parser gives up on


async def _many_deleted(served, front, path):
    front.deleted = [_base36(n) for n in range(10**6)]
    assert await front.run("b", "y = x") == "ok"


async def _deep_save(served, front, path):
    saved = notebook(("a", "x = 1"), ("deep", "(\n" * 60_000))  # a 120 KB cell
    put = {"type": "notebook", "format": "json", "content": saved}
    answer = await served.request("PUT", f"api/contents/{path}", json.dumps(put))
    assert answer.code == 200
    await asyncio.sleep(3)  # the observer reads it meanwhile


# Requests a client may send that make the observer work hard.
HOSTILE = [
    pytest.param(_deep_run, id="an execute_request of 49,000 open brackets"),
    pytest.param(_many_deleted, id="deletedCells of a million ids"),
    pytest.param(_deep_save, id="a save of a 120 KB cell of open brackets"),
]


@pytest.mark.parametrize("hostile", HOSTILE)
async def test_hostile_requests_do_not_stall_the_server(serve, tmp_path, hostile):
    (tmp_path / "work.ipynb").write_text(json.dumps(notebook(("a", "x = 1"))))
    served = await serve()
    body = {"path": "work.ipynb", "type": "notebook", "name": "", "kernel": {"name": "python3"}}
    answer = await served.request("POST", "api/sessions", json.dumps(body))
    front = await Frontend.open(served, json.loads(answer.body)["kernel"]["id"], "v1")
    assert await front.run("a", "x = 1") == "ok"
    stalls, done = [], threading.Event()

    def probe():
        # A status request every 10 ms from a thread of its own, so that the work of sending
        # the request (in this process) does not count; one that takes longer than the bound
        # ends the probe.
        request = urllib.request.Request(
            f"{served.url}/api/status", headers={"Authorization": f"token {served.token}"}
        )
        while not done.is_set():
            start = time.monotonic()
            try:
                urllib.request.urlopen(request, timeout=0.5).read()
            except (OSError, TimeoutError):
                stalls.append(time.monotonic() - start)
                served.process.kill()  # rather than wait for the loop to come back
                return
            time.sleep(0.01)

    probing = asyncio.get_running_loop().run_in_executor(None, probe)
    sending = asyncio.ensure_future(hostile(served, front, "work.ipynb"))
    await asyncio.wait([sending, probing], return_when=asyncio.FIRST_COMPLETED)
    done.set()
    sending.cancel()  # when the probe ended first
    await probing
    front.connection.close()
    assert stalls == []
    await sending


async def test_the_worker_stops_with_the_server(jp_serverapp):
    def workers():
        return [thread for thread in threading.enumerate() if thread.name == "zelvo-worker"]

    assert workers()
    await jp_serverapp.cleanup_extensions()  # as the server stops
    for thread in workers():
        thread.join(10)
    assert workers() == []
