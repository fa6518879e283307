"""The observer's rules, fed recorded message sequences in each of the wire formats."""

import asyncio
import json
import threading
import types

import pytest
import zmq
from jupyter_client.jsonutil import json_default
from jupyter_client.session import Session
from jupyter_server.services.kernels.connection.base import (
    serialize_binary_message,
    serialize_msg_to_ws_v1,
)

import zelvo.server.observer as observer_module
from zelvo.server import registry
from zelvo.server.observer import Observer, observed_class, rules, saved, wire
from zelvo.server.observer.worker import Busy, Closed, Worker
from zelvo_core.misc.models import ZelvoPipelineModel
from zelvo_core.notebook import SavedCell

KERNEL = "6a0e7c6e-0000-4000-8000-000000000001"
SESSION = Session(key=b"")


class Recorded:
    """One message of a recording: a front end's request, or the kernel's input or reply."""

    def __init__(self, kind, msg_id, cell=None, code="", status="ok", deleted=(), **extra):
        self.kind, self.msg_id, self.cell, self.code = kind, msg_id, cell, code
        self.status, self.deleted, self.extra = status, list(deleted), extra

    def message(self):
        if self.kind == "request":
            metadata = {"trusted": True, "deletedCells": self.deleted, "recordTiming": False}
            if self.cell is not None:
                metadata["cellId"] = self.cell
            message = SESSION.msg("execute_request", {"code": self.code, "silent": False})
            message["header"]["msg_id"] = self.msg_id
            message["metadata"] = metadata
            return "shell", message
        parent = {"msg_id": self.msg_id, "msg_type": "execute_request"}
        if self.kind == "input":
            content = {"code": self.code}
            if "count" in self.extra:
                content["execution_count"] = self.extra["count"]
            message = SESSION.msg("execute_input", content, parent=parent)
            message["header"]["date"] = START_DATE
            return "iopub", message
        if self.kind == "error":
            return "iopub", SESSION.msg("error", self.extra["error"], parent=parent)
        if self.kind == "idle":
            message = SESSION.msg("status", {"execution_state": "idle"}, parent=parent)
            message["header"]["date"] = "2026-12-09T10:00:00.250000Z"
            return "iopub", message
        message = SESSION.msg("execute_reply", {"status": self.status}, parent=parent)
        message["header"]["date"] = "2026-12-09T10:00:00.250000Z"
        return "shell", message


START_DATE = "2026-12-09T10:00:00.100000+00:00"
RESTART = "restart"  # not a message: the server's event of a kernel restart
REPLY_DATE = "2026-12-09T10:00:00.250000+00:00"  # as the replies' dates read in UTC


def ran(msg_id, cell, code, status="ok", deleted=()):
    return [
        Recorded("request", msg_id, cell, code, deleted=deleted),
        Recorded("input", msg_id),
        Recorded("reply", msg_id, status=status),
    ]


def frames(recorded, protocol):
    """The frames of ``recorded`` as the connection's methods get them, for ``protocol``."""
    if isinstance(recorded, tuple):  # (direction, frame) as is
        return recorded
    channel, message = recorded.message()
    if recorded.kind == "request":
        if protocol == "v1":
            parts = [
                json.dumps(message[key], default=json_default).encode()
                for key in ("header", "parent_header", "metadata", "content")
            ]
            return "client", serialize_msg_to_ws_v1(parts, channel)
        if recorded.extra.get("buffers"):  # the legacy protocol's binary frame
            binary = {**message, "channel": channel, "buffers": recorded.extra["buffers"]}
            return "client", serialize_binary_message(binary)
        return "client", json.dumps({**message, "channel": channel}, default=json_default)
    if protocol == "gateway":
        return "kernel", (json.dumps({**message, "channel": channel}, default=json_default),)
    parts = [b"topic", *SESSION.serialize(message)]
    if protocol == "json":  # as a stream that does not copy hands them on
        parts = [zmq.Frame(part) for part in parts]
    return "kernel", (channel, parts)


NOT_PARSED = [
    ("client", b"\x00" * 7),  # shorter than a count
    ("client", (6).to_bytes(8, "little") + b"\xff" * 8),  # offsets past the end
    ("client", '{"channel": "shell", "header": {"msg_type": "execute_request"'),  # cut short
    ("client", '{"channel": "shell", "header": [], "content": {"code": "x"}}'),
    ("kernel", ("shell", [b"<IDS|MSG>", b"", b'{"msg_type": "execute_reply"', b"{}", b"{}"])),
    ("kernel", ("shell", [b"no delimiter", b'{"msg_type": "execute_reply"}'])),
    ("kernel", ('{"channel": "shell", "header": {"msg_type": "execute_reply"}, "content": 1}',)),
    ("kernel", ("iopub", ["not bytes", None])),
]
UNKNOWN = [
    Recorded("request", "m9", None, "x = 1"),  # no cell id: a console, not a notebook cell
    Recorded("input", "never-requested"),
    Recorded("reply", "never-requested", status="ok"),
]


def saved_cells(cells):
    """SavedCell values of a notebook's cells: ``(id, code)``, or code alone for a cell saved
    without an id, or None for a markdown cell."""
    found = []
    for position, cell in enumerate(cells, 1):
        if cell is not None:
            ident, code = cell if isinstance(cell, tuple) else (None, cell)
            found.append(SavedCell(position, ident, code, False, None, "not-run", None))
    return found


def expect(*rows):
    """{id: (status, parents, code)} from (id, status, parents, code) rows."""
    return {ident: (status, parents, code) for ident, status, parents, code in rows}


TABLE = {
    "runs in order, parents from the names read": (
        ran("m1", "a", "x = 1") + ran("m2", "b", "y = x + 1") + ran("m3", "c", "print(y, x)"),
        expect(
            ("a", "succeeded", [], "x = 1"),
            ("b", "succeeded", ["a"], "y = x + 1"),
            ("c", "succeeded", ["a", "b"], "print(y, x)"),
        ),
    ),
    "running until the reply": (
        ran("m1", "a", "x = 1") + ran("m2", "b", "y = x")[:2],
        expect(("a", "succeeded", [], "x = 1"), ("b", "running", ["a"], "y = x")),
    ),
    "every connection gets each iopub message: it counts once": (
        [
            Recorded("request", "m1", "a", "x = 1"),
            Recorded("input", "m1"),
            Recorded("input", "m1"),
            Recorded("reply", "m1"),
            Recorded("input", "m1"),  # the slower connection's copy, after the reply
            Recorded("reply", "m1"),
            *ran("m2", "b", "y = x"),
            Recorded("input", "m2"),
        ],
        expect(("a", "succeeded", [], "x = 1"), ("b", "succeeded", ["a"], "y = x")),
    ),
    "a rerun makes the descendants out of date, until they run again": (
        ran("m1", "a", "x = 1")
        + ran("m2", "b", "y = x")
        + ran("m3", "c", "z = y")
        + ran("m4", "d", "w = 2")
        + ran("m5", "a", "x = 3")
        + ran("m6", "b", "y = x"),
        expect(
            ("a", "succeeded", [], "x = 3"),
            ("b", "succeeded", ["a"], "y = x"),
            ("c", "invalid", ["b"], "z = y"),
            ("d", "succeeded", [], "w = 2"),
        ),
    ),
    "a rerun reaches a current cell below one out of date": (
        ran("m1", "a", "x = 1")
        + ran("m2", "b", "y = x")
        + ran("m3", "c", "z = y")
        + ran("m4", "a", "x = 2")
        + ran("m5", "c", "z = y")  # current again, under b that is not
        + ran("m6", "d", "w = z")
        + ran("m7", "a", "x = 3"),
        expect(
            ("a", "succeeded", [], "x = 3"),
            ("b", "invalid", ["a"], "y = x"),
            ("c", "invalid", ["b"], "z = y"),
            ("d", "invalid", ["c"], "w = z"),
        ),
    ),
    "a failure, then the aborted cells queued behind it": (
        ran("m1", "a", "x = 1")
        + ran("m2", "b", "y = x")
        + ran("m3", "c", "w = 2")
        + [
            Recorded("request", "m4", "a", "x = 1 / 0"),
            Recorded("request", "m5", "b", "y = x * 2"),
            Recorded("request", "m6", "c", "w = 3"),
            Recorded("request", "m7", "d", "v = w"),
            Recorded("input", "m4"),
            Recorded("reply", "m4", status="error"),
            Recorded("reply", "m5", status="aborted"),
            Recorded("reply", "m6", status="aborted"),
            Recorded("reply", "m7", status="aborted"),
        ],
        expect(
            ("a", "failed", [], "x = 1 / 0"),
            ("b", "invalid", ["a"], "y = x"),  # as it was, but its ancestor failed
            ("c", "succeeded", [], "w = 2"),  # as it was
            ("d", "not-run", ["c"], "v = w"),  # new: the request's code
        ),
    ),
    "a deleted cell leaves; its descendants are out of date": (
        ran("m1", "a", "x = 1")
        + ran("m2", "b", "y = x")
        + [Recorded("request", "m3", "b", "y = x + 1"), Recorded("input", "m3")]
        + ran("m4", "c", "print(x)", deleted=["b"])
        + ran("m5", "d", "print(x)", deleted=["a"])
        # The reply to the deleted cell's last run does not bring it back.
        + [Recorded("reply", "m3")],
        expect(("c", "invalid", [], "print(x)"), ("d", "succeeded", [], "print(x)")),
    ),
    "deletedCells: only the pipeline's own ids matter, and none other is kept": (
        ran("m1", "a", "x = 1")
        # Over a MiB: decoded in the worker, the kernel's messages behind it in order.
        + ran("m2", "b", "y = 2", deleted=[*(f"x{n}" for n in range(200_000)), "a", 7, {}]),
        expect(("b", "succeeded", [], "y = 2")),
    ),
    "a deleted cell that runs again is back": (
        ran("m1", "a", "x = 1") + ran("m2", "b", "y = 1", deleted=["a"]) + ran("m3", "a", "x"),
        expect(("b", "succeeded", [], "y = 1"), ("a", "succeeded", [], "x")),
    ),
    # Parents come from notebook order, not from what ran before.
    "a rerun that reads what a later cell defined": (
        ran("m1", "a", "x = 1") + ran("m2", "b", "y = x") + ran("m3", "a", "x = y"),
        expect(("a", "succeeded", [], "x = y"), ("b", "invalid", ["a"], "y = x")),
    ),
    "a restart: nothing ran in the kernel, parents and code are kept": (
        ran("m1", "a", "x = 1")
        + ran("m2", "b", "y = x")[:2]
        + [Recorded("request", "m3", "c", "z = 1"), RESTART]
        + ran("m4", "d", "print(x)"),
        expect(
            ("a", "not-run", [], "x = 1"),
            ("b", "not-run", ["a"], "y = x"),
            ("c", "not-run", [], "z = 1"),
            ("d", "succeeded", ["a"], "print(x)"),
        ),
    ),
    "a restart told by the execution counts starting again": (
        [
            *(
                message
                for msg_id, cell, code, count in [
                    ("m1", "a", "x = 1", 1),
                    ("m2", "b", "y = x", 2),
                    ("m3", "c", "z = 1", 1),
                ]  # fmt: skip
                for message in (
                    Recorded("request", msg_id, cell, code),
                    Recorded("input", msg_id, count=count),
                    Recorded("reply", msg_id),
                )
            )
        ],
        expect(
            ("a", "not-run", [], "x = 1"),
            ("b", "not-run", ["a"], "y = x"),
            ("c", "succeeded", [], "z = 1"),
        ),
    ),
    # A reload gives a new session id: the reply goes to a connection that is gone.
    "a run ends when the kernel is idle, without its reply": (
        [
            *ran("m1", "a", "x = 1"),
            Recorded("request", "m2", "b", "y = x"),
            Recorded("input", "m2"),
            Recorded("error", "m2", error={"ename": "E", "evalue": "v", "traceback": []}),
            Recorded("idle", "m2"),
            Recorded("request", "m3", "c", "z = y"),
            Recorded("input", "m3"),
            Recorded("idle", "m3"),
            Recorded("reply", "m3", status="error"),  # too late: the run ended
        ],
        expect(
            ("a", "succeeded", [], "x = 1"),
            ("b", "failed", ["a"], "y = x"),
            ("c", "succeeded", ["b"], "z = y"),
        ),
    ),
    "a notebook without cell ids, opened twice: one component per cell": (
        [
            ("save", [None, "x = 1", None, "y = x"]),
            *ran("m1", "u1", "x = 1"),
            *ran("m2", "u2", "y = x"),
            # Reloaded: the front end made new ids up.
            *ran("m3", "v1", "x = 1"),
            *ran("m4", "v2", "y = x"),
            *ran("m5", "v1", "x = 2"),
            ("save", [None, "x = 2", None, "y = x"]),
        ],
        expect(
            ("cell-1", "succeeded", [], "x = 2"),
            ("cell-3", "invalid", ["cell-1"], "y = x"),
        ),
    ),
    "an edited cell of a notebook without ids is still its cell": (
        [
            ("save", ["x = 1", "y = x", "print(y)"]),
            *ran("m1", "u1", "x = 1"),
            *ran("m2", "u2", "y = x * 2"),  # edited since the save
            *ran("m3", "u3", "print(y)"),
        ],
        expect(
            ("cell-0", "succeeded", [], "x = 1"),
            ("cell-1", "succeeded", ["cell-0"], "y = x * 2"),
            ("cell-2", "succeeded", ["cell-1"], "print(y)"),
        ),
    ),
    "saved cells that did not run are not-run; a deleted one goes with the save": (
        [
            ("save", [("a", "x = 1"), ("b", "y = x"), ("c", "z = y")]),
            *ran("m1", "b", "y = 2"),
            ("save", [("a", "x = 1"), ("b", "y = 2")]),
        ],
        expect(("a", "not-run", [], "x = 1"), ("b", "succeeded", [], "y = 2")),
    ),
    "a cell edited and saved without running gets the parents of its saved code": (
        [
            ("save", [("a", "x = 1"), ("b", "y = 2"), ("c", "z = 3")]),
            *ran("m1", "a", "x = 1"),
            ("save", [("a", "x = 1"), ("b", "y = x"), ("c", "z = 3  # note")]),
        ],
        expect(
            ("a", "succeeded", [], "x = 1"),
            ("b", "not-run", ["a"], "y = x"),
            ("c", "not-run", [], "z = 3  # note"),
        ),
    ),
    "a request with buffers": (
        [
            Recorded("request", "m1", "a", "x = 1", buffers=[b"\0" * 64]),
            Recorded("input", "m1"),
            Recorded("reply", "m1"),
        ],
        expect(("a", "succeeded", [], "x = 1")),
    ),
    "unknown messages change nothing": (UNKNOWN, None),
    "messages it cannot parse pass, and later ones count": (
        [*NOT_PARSED, *ran("m1", "a", "x = 1"), *NOT_PARSED],
        expect(("a", "succeeded", [], "x = 1")),
    ),
}


class Connection:
    """The connection the observer sees: its kernel, and the protocol it speaks."""

    def __init__(self, protocol):
        self.kernel_id, self.protocol = KERNEL, protocol
        if protocol == "v1":
            self.subprotocol = wire.V1_PROTOCOL
        elif protocol == "json":
            self.subprotocol = None


@pytest.fixture()
def observer(isolated):
    logged = []

    async def no_session(**_):
        raise KeyError("no session")

    serverapp = types.SimpleNamespace(
        kernel_manager={KERNEL},
        session_manager=types.SimpleNamespace(get_session=no_session),
        log=types.SimpleNamespace(
            exception=lambda *args: logged.append(args), warning=lambda *args, **kw: None
        ),
    )
    observer = Observer(serverapp)
    observer.logged = logged
    yield observer
    for kernel_id in list(observer.kernels):
        observer.forget(kernel_id)
    observer.worker.close()


async def feed(observer, connection, recording):
    observer.connected(KERNEL)
    for recorded in recording:
        if isinstance(recorded, tuple) and recorded[0] == "save":
            kernel = observer.kernels[KERNEL]
            kernel.pipeline.notebook_saved(saved_cells(recorded[1]))
            observer._schedule(KERNEL, kernel)
            continue
        if recorded is RESTART:
            data = {"kernel_id": KERNEL, "action": "restart", "status": "success"}
            await observer.on_kernel_action(None, None, data)
            continue
        direction, frame = frames(recorded, connection.protocol)
        if direction == "client":
            observer.from_client(connection, frame)
        else:
            observer.from_kernel(connection, frame)
        if getattr(recorded, "kind", None) in ("reply", "idle"):
            # Runs take longer than finding parents: each is linked before the next.
            await observer.settled(KERNEL)
    # What the loop does next: one registration for the messages so far, once the parents
    # are found.
    observer.kernels[KERNEL].flushing = True
    await observer.settled(KERNEL)


def components():
    model = registry.get(KERNEL)
    if model is None:
        return None
    return {
        component.id: (component.execution_status, list(component.parents_id), component.code)
        for component in model.graph.components.values()
    }


@pytest.mark.parametrize("protocol", ["v1", "json", "gateway"])
@pytest.mark.parametrize("recording", TABLE, ids=list(TABLE))
async def test_rules(observer, protocol, recording, monkeypatch):
    connection = Connection(protocol)
    messages, expected = TABLE[recording]
    if protocol == "json":  # and two components registered a turn: the rest in the next
        monkeypatch.setattr(observer_module, "REGISTERED_AT_ONCE", 2)
    await feed(observer, connection, messages)
    assert components() == expected
    assert observer.logged == []
    pipeline = observer.kernels[KERNEL].pipeline
    assert len(pipeline.deleted) <= len(expected or ()) and not pipeline.touched
    model = registry.get(KERNEL)
    for component in model.graph.components.values() if model else ():
        ran = component.execution_status not in ("not-run", "running")
        if "restart" not in recording:
            assert (component.last_execution is not None) == ran
            assert component.last_execution in (None, REPLY_DATE)


async def test_a_posted_pipeline_is_updated_by_id(observer, connect):
    connection, relayed = Connection("v1"), []
    connect(relayed, KERNEL)
    await feed(observer, connection, ran("m1", "a", "x = 1"))
    posted = [
        {"id": "p", "component_type": "parameter", "parents_id": [], "code": "x = 0",
         "execution_status": "succeeded", "last_execution": None},
        {"id": "a", "component_type": "code", "parents_id": ["p"], "code": "posted",
         "execution_status": "invalid", "last_execution": None},
    ]  # fmt: skip
    registry.register(KERNEL, ZelvoPipelineModel(dag_info=posted))
    await feed(observer, connection, ran("m2", "b", "y = x"))
    # b reads x, which p defines before it in the pipeline's order.
    assert components() == expect(
        ("p", "succeeded", [], "x = 0"),
        ("a", "invalid", ["p"], "posted"),
        ("b", "succeeded", ["p"], "y = x"),
    )
    assert len(relayed) == 3
    # What changes nothing relays nothing; it is registered anew all the same, as a POST is.
    before = registry.get(KERNEL)
    await feed(observer, connection, UNKNOWN)
    registry.register(KERNEL, ZelvoPipelineModel(**before.to_zelvo_dict()))
    assert registry.get(KERNEL) is not before and len(relayed) == 3
    # A kernel forgotten by the registry is forgotten by the observer too.
    registry.on_forget(observer.forget)
    connect(relayed)  # no sockets left to close
    registry.forget(KERNEL)
    assert KERNEL not in observer.kernels


async def test_a_failure_inside_passes_the_message_and_is_logged_once(observer, monkeypatch):
    passed = []

    class Base:
        kernel_id = KERNEL
        subprotocol = wire.V1_PROTOCOL

        def connect(self):
            return "connected"

        def handle_incoming_message(self, frame):
            passed.append(frame)

        def handle_outgoing_message(self, *args):
            passed.append(args)

    def broken(*args):
        raise RuntimeError("broken")

    monkeypatch.setattr("zelvo.server.observer.rules.KernelPipeline.request", broken)
    monkeypatch.setattr("zelvo.server.observer.rules.KernelPipeline.started", broken)
    connection = observed_class(Base, observer)()
    assert connection.connect() == "connected"
    sent = [frames(recorded, "v1") for recorded in ran("m1", "a", "x") + ran("m2", "b", "y")]
    for direction, frame in sent:
        if direction == "client":
            connection.handle_incoming_message(frame)
        else:
            connection.handle_outgoing_message(*frame)
    assert passed == [frame for _, frame in sent]
    assert len(observer.logged) == 1
    assert registry.get(KERNEL) is None


async def test_the_session_is_looked_up_again_one_lookup_at_a_time(observer):
    # A session under a provisional path, renamed to the notebook's later; each lookup
    # answers when the test says.
    answers, asked = asyncio.Queue(), []

    async def get_session(kernel_id):
        asked.append(kernel_id)
        return {"type": "notebook", "path": await answers.get()}

    async def get(path, **_):
        cell = {
            "id": "a",
            "cell_type": "code",
            "source": "x = 1",
            "metadata": {"tags": ["parameters"]},
        }
        return {"content": {"cells": [cell], "metadata": {}, "nbformat": 4, "nbformat_minor": 5}}

    observer.serverapp.session_manager = types.SimpleNamespace(get_session=get_session)
    observer.serverapp.contents_manager = types.SimpleNamespace(get=get)
    connection = Connection("v1")

    async def answer(path):
        await answers.put(path)
        await observer.kernels[KERNEL].loading  # the lookup under way ends

    async def lookups_after(*recordings):
        for recording in recordings:
            await feed(observer, connection, recording)
        await asyncio.sleep(0)
        return len(asked)

    # The connection's lookup; the runs meanwhile ask for none.
    assert await lookups_after(ran("m1", "a", "x = 1"), ran("m2", "b", "y = x")) == 1
    await answer("1f0c5a3e-provisional")
    # While the session names no notebook, a run looks it up again.
    assert await lookups_after(ran("m3", "b", "y = x")) == 2
    await answer("work.ipynb")
    assert await lookups_after(ran("m4", "b", "y = x")) == 2
    observer._register(KERNEL, observer.kernels[KERNEL])
    kinds = {c.id: c.component_type for c in registry.get(KERNEL).graph.components.values()}
    assert kinds == {"a": "parameter", "b": "code"}


ERROR = {"ename": "ValueError", "evalue": "<b>bad</b>", "traceback": ["\x1b[31mTraceback", "x"]}


@pytest.mark.parametrize(
    ("recording", "ident", "fields"),
    [
        (
            [
                Recorded("request", "m1", "a", "x = 1 / 0"),
                Recorded("input", "m1", count=4),
                Recorded("error", "m1", error=ERROR),
                Recorded("reply", "m1", status="error"),
            ],
            "a",
            {
                "execution_count": 4,
                "error": {
                    "ename": "ValueError",
                    "evalue": "<b>bad</b>",
                    "traceback": ["Traceback", "x"],
                },
            },  # fmt: skip
        ),
        (
            ran("m1", "a", "rate = 1") + ran("m2", "b", "y = rate") + ran("m3", "a", "rate = 2"),
            "b",
            {"outdated_by": {"id": "a", "last_execution": START_DATE, "names": ["rate"]}},
        ),
        (
            [("save", ["x = 1", "y = x"]), *ran("m1", "u1", "x = 1")],
            "cell-0",
            {"position": 1, "front_end_id": "u1"},
        ),
    ],
)
async def test_components_say_why(observer, recording, ident, fields):
    await feed(observer, Connection("v1"), recording)
    component = registry.get(KERNEL).graph.components[ident].to_dict()
    assert {key: component.get(key) for key in fields} == fields


@pytest.mark.parametrize(
    "refusal",
    ["raises", "closed", "not allowed"],
)
async def test_only_requests_the_host_passed_on_are_runs(observer, refusal):
    class Base:
        kernel_id = KERNEL
        subprotocol = wire.V1_PROTOCOL
        channels = {} if refusal == "closed" else {"shell": object()}
        multi_kernel_manager = types.SimpleNamespace(
            allowed_message_types=["kernel_info_request"] if refusal == "not allowed" else []
        )

        def connect(self):
            pass

        def handle_incoming_message(self, frame):
            if refusal == "raises":  # a legacy frame the host cannot encode
                raise UnicodeEncodeError("utf-8", "\ud800", 0, 1, "surrogates not allowed")

    connection = observed_class(Base, observer)()
    connection.connect()
    _, frame = frames(Recorded("request", "m1", "a", "x = 1"), "v1")
    try:
        connection.handle_incoming_message(frame)
    except UnicodeEncodeError:
        assert refusal == "raises"
    assert observer.kernels[KERNEL].pipeline.runs == {}


@pytest.mark.parametrize(
    "edits",
    [
        [{}, {1: "y = x  # a comment"}, {1: "y = 2"}, {2: "z = x + y"}],
        [{}, {0: "x = 1; w = 0"}, {3: "print(w)"}, {0: "x = 1"}],
        [{}, {}, {2: "z = y"}, {2: "z = y  # again"}],
    ],
    ids=["comments, then names", "a name moves", "nothing, then an edit"],
)
def test_linking_with_the_last_linking_finds_what_linking_anew_finds(edits):
    codes, memo, parents = ["x = 1", "y = x", "z = y", "print(x)"], rules.LinkMemo(), {}
    for edit in edits:
        codes = [edit.get(index, code) for index, code in enumerate(codes)]
        cells = [(f"c{index}", code) for index, code in enumerate(codes)]
        parents.update({ident: found[0] for ident, found in rules.link(cells, None, memo).items()})
        assert parents == {ident: found[0] for ident, found in rules.link(cells).items()}


async def test_the_worker_runs_jobs_in_one_thread_and_bounds_its_queue():
    worker, gate = Worker(limit=2), threading.Event()
    threads = await asyncio.gather(*(worker.run(threading.get_ident) for _ in range(2)))
    assert len(set(threads)) == 1 and threads[0] != threading.get_ident()
    with pytest.raises(ZeroDivisionError):
        await worker.run(divmod, 1, 0)
    # One job runs and holds the thread; two wait; a fourth is refused at once.
    held = asyncio.ensure_future(worker.run(gate.wait))
    await asyncio.sleep(0.1)
    waiting = [asyncio.ensure_future(worker.run(int, "7")) for _ in range(2)]
    await asyncio.sleep(0)
    with pytest.raises(Busy):
        await worker.run(int, "8")
    gate.set()
    assert await held is True and await asyncio.gather(*waiting) == [7, 7]
    # Closed: the waiting jobs are dropped, and no more are taken.
    gate.clear()
    held = asyncio.ensure_future(worker.run(gate.wait))
    waiting = asyncio.ensure_future(worker.run(int, "9"))
    await asyncio.sleep(0.1)
    worker.close()
    gate.set()
    with pytest.raises(Closed):
        await waiting
    with pytest.raises(Closed):
        await worker.run(int, "1")
    assert await held is True


def _notebook_bytes(*codes):
    cells = [
        {"id": f"c{n}", "cell_type": "code", "metadata": {}, "source": code, "outputs": [],
         "execution_count": None}
        for n, code in enumerate(codes)
    ]  # fmt: skip
    notebook = {"cells": cells, "metadata": {}, "nbformat": 4, "nbformat_minor": 5}
    return json.dumps(notebook).encode()


FIRST, SECOND = _notebook_bytes("x = 1", "y = x"), _notebook_bytes("x = 2", "y = x", "z = y")
NOT_JSON = "work.ipynb: not a notebook: invalid JSON"
TOO_BIG = "bytes, more than Zelvo.max_notebook_bytes (4,096): not read"
# Saves of the kernel's notebook, one after the other (the file's bytes, or "burst": 20 saves
# of the same bytes, 19 of them while the first is read, or "written meanwhile": a read of
# part of a save, which finds the file grown when it is done), then the reads and decodes they
# cost (the kernel's first connection reads it too), the warnings logged and the saved
# cells' ids the pipeline has at the end.
SAVES = {
    "the same bytes written again: read, not decoded": (
        [FIRST, FIRST, FIRST], 3, 1, [], ["c0", "c1"],
    ),
    "changed bytes: decoded again": ([FIRST, SECOND], 2, 2, [], ["c0", "c1", "c2"]),
    "read while the next save writes it: dropped quietly, read again at that save": (
        [FIRST, "written meanwhile", SECOND], 3, 2, [], ["c0", "c1", "c2"],
    ),
    "a burst of saves: one read under way and one more": (
        [FIRST, "burst"], 3, 1, [], ["c0", "c1"],
    ),
    "not JSON, saved again and again: one line": (
        [FIRST, b"{", b"{", b"{ ", b"[1, 2"], 5, 4, [NOT_JSON], ["c0", "c1"],
    ),
    "cells that are not cells": (
        [b'{"cells": [1]}'], 1, 1, ["work.ipynb: cell 0 is not a notebook cell"], [],
    ),
    "larger than the bound: not read, one line": (
        [FIRST, _notebook_bytes("x" * 5000), _notebook_bytes("y" * 6000)], 3, 1, [TOO_BIG],
        ["c0", "c1"],
    ),
}  # fmt: skip


@pytest.mark.parametrize("row", SAVES, ids=list(SAVES))
async def test_a_save_is_read_in_the_worker_when_its_bytes_changed(
    observer, tmp_path, monkeypatch, row
):
    from jupyter_server.services.contents.filemanager import FileContentsManager

    saves, reads, decodes, warnings, ids = SAVES[row]
    counted, threads, logged = {"read": 0, "decoded": 0}, set(), []

    def counting(name, function):
        def counted_call(*args):
            counted[name] += 1
            threads.add(threading.current_thread().name)
            return function(*args)

        monkeypatch.setattr(saved, function.__name__, counted_call)

    counting("read", saved.read_local)
    counting("decoded", saved._decoded)
    analysed = saved.cell_facts
    monkeypatch.setattr(
        saved, "cell_facts", lambda code: threads.add(threading.current_thread().name) or (
            analysed(code)
        )
    )  # fmt: skip

    async def get_session(kernel_id):
        return {"type": "notebook", "path": "work.ipynb"}

    observer.serverapp.session_manager = types.SimpleNamespace(get_session=get_session)
    observer.serverapp.contents_manager = FileContentsManager(root_dir=str(tmp_path))
    observer.log.warning = lambda *args, **kw: logged.append((args[-1], kw.get("exc_info")))
    observer.max_notebook_bytes = 4096
    path = tmp_path / "work.ipynb"
    path.write_bytes(saves[0])
    observer.connected(KERNEL)
    kernel = observer.kernels[KERNEL]
    for data in saves:
        if data == "burst":  # one save, then 19 while it is read
            before = counted["read"]
            observer._load(KERNEL, kernel, again=True)
            while counted["read"] == before:
                await asyncio.sleep(0.001)
            for _ in range(19):
                observer._load(KERNEL, kernel, again=True)
        elif data == "written meanwhile":
            real = saved.os
            grown = types.SimpleNamespace(
                fstat=real.fstat,
                stat=lambda name: types.SimpleNamespace(
                    st_ino=0, st_size=real.stat(name).st_size + 1, st_mtime_ns=0
                ),
            )
            with monkeypatch.context() as patch:
                patch.setattr(saved, "os", grown)
                path.write_bytes(SECOND[:40])  # what the save has written so far
                observer._load(KERNEL, kernel, again=True)
                while kernel.loading is not None:
                    await kernel.loading
        else:
            path.write_bytes(data)
            observer._load(KERNEL, kernel, again=True)
        while kernel.loading is not None:
            await kernel.loading
    assert (counted["read"], counted["decoded"]) == (reads, decodes)
    # One line each, without a traceback.
    assert len(logged) == len(warnings)
    for (text, trace), warning in zip(logged, warnings):
        assert warning in text and "\n" not in text and trace is None
    pipeline = kernel.pipeline
    assert [ident for ident in pipeline.order if pipeline.cells[ident].saved] == ids
    assert threads <= {"zelvo-worker"}
