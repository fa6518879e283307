"""``post``: registration of a posted pipeline, relay, clean-up and the answer."""

import copy
import json
import re
import sys
from http import HTTPStatus
from types import SimpleNamespace as ns

import pytest

from zelvo.server import registry
from zelvo.server.handlers import flowsync
from zelvo.server.update import (
    ZelvoDagUpdateComponentModel,
    ZelvoDagUpdateModel,
    get_dag_update_info,
)
from zelvo_core.misc.models import InvalidPipelineError, ZelvoPipelineModel

POST = flowsync.DAGHandler.post.__wrapped__
row = pytest.param
K = "k1"
SUCCESS = (200, {"message": "Success."})
ANSWER = ["set_header", "set_header", "set_status", "finish"]
REFUSED = "refused: "  # a row's message that the model gives, and the warning logged
LOGGED = "zelvo: refused the pipeline posted for kernel %s: %s"
CYCLE = "'parents_id' form a cycle: component 'a' is on or below a cycle"
GHOST = "component 'a' lists parent 'ghost', which is not in the pipeline"
OWN, NOT_INT = "a component cannot be its own parent", "must be a string, not int"
NOT_OBJECT = "The body of the request must be a JSON object."
REQUIRED = "{} is required in the body of the request."
NOT_STR = "{} must be a string or null."
NOT_DICT = "successful must be an object or null."
NEEDED = "successful must be an object for a successful pipeline:updated."
NOT_UTF8 = "<a body that is not UTF-8>"  # get_json_body raises UnicodeDecodeError
# Against an empty or unregistered pipeline, one added component.
CHANGE = {"dag_info": [{"id": "a", "component_type": "code", "parents_id": [], "code": ""}]}
CHANGE["dag_info"][0].update(execution_status="failed", last_execution=None)


def fields(drop=(), **values):
    """A successful "pipeline:updated" body, with keys dropped or replaced."""
    body = {"procedure": "pipeline:updated", "status": "successful", "msg": "", "successful": {}}
    body.update(values)
    return {key: value for key, value in body.items() if key not in drop}


def pipeline(*dag, **successful):
    """A successful "pipeline:updated" of these components, its "msg" kept as it is."""
    return fields(msg="kept", successful={"dag_info": list(dag), **successful})


def node(ident, parents=(), **overrides):
    fields = dict(CHANGE["dag_info"][0], id=ident, parents_id=list(parents), **overrides)
    return {key: value for key, value in fields.items() if value is not ...}


@pytest.mark.parametrize("msg", [None, "", "note"])
def test_first_update_is_registered_and_relayed(make_handler, connect, component, msg):
    dag = [component("a"), component("b", ["a"])]
    successful = {"dag_info": dag, "identifier": "evil"}
    data = fields(msg=msg, successful=successful, ext={"keep": [1]})
    handler = make_handler(data, kernels=[K, "k2"])
    mine, _, also_mine = connect(handler.calls, K, "k2", K)
    assert POST(handler, K) is None
    [(key, entry)] = flowsync.dag_cabinet.items()
    assert key == K and type(entry) is ZelvoPipelineModel and entry.identifier == K
    assert list(entry.graph.components) == ["a", "b"]
    assert successful == {"dag_info": dag, "identifier": "evil"}  # the model got a copy
    changes = {"added": dag, "revised": [], "deleted": []}
    expected = fields(msg=msg, ext={"keep": [1]})
    expected["successful"] = {"identifier": K, "updated_components": changes}
    if not msg:
        del expected["msg"]
    assert data == expected  # the body itself became the relayed message
    writes = [call for call in handler.calls if call[0] == "write_message"]
    assert [socket for _, socket, _ in writes] == [mine, also_mine]
    assert writes[0][2] is writes[1][2] and json.loads(writes[0][2]) == expected
    # Relay, then clean-up, then the answer.
    assert (
        handler.names()
        == ["get_json_body", "write_message", "write_message", "list_kernel_ids"] + ANSWER
    )
    assert handler.answer() == SUCCESS


def test_unchanged_pipeline_is_stored_but_not_relayed(make_handler, connect, monkeypatch):
    POST(make_handler(fields(successful=CHANGE), kernels=[K]), K)
    first = flowsync.dag_cabinet[K]
    seen = []
    compare = lambda *args: seen.append(args) or get_dag_update_info(*args)  # noqa: E731
    monkeypatch.setattr(flowsync, "get_dag_update_info", compare)
    data = fields(successful=CHANGE, msg=None)
    handler = make_handler(data, kernels=[])  # a clean-up would drop the entry
    connect(handler.calls, K)
    POST(handler, K)
    assert seen == [(first, flowsync.dag_cabinet[K])]
    assert flowsync.dag_cabinet[K] is not first and flowsync.dag_cabinet[K].identifier == K
    assert handler.names() == ["get_json_body", *ANSWER] and handler.answer() == SUCCESS
    nothing = {"added": [], "revised": [], "deleted": []}
    assert data == fields(
        drop=["msg"], successful={"identifier": K, "updated_components": nothing}
    )


A, B, C = node("a"), node("b", ["a"]), node("c", ["b"])
REVISED_B = node("b", ["a"], code="b = 2")
# The pipelines registered before, the one registered then, and the ids it adds, revises and
# deletes (None: it changes nothing, and nothing is relayed).
BOTH_PATHS = {
    "first post": ([], [A, B], ("a b", "", "")),
    "identical repost": ([[A, B]], [A, B], None),
    "changed": ([[A, B]], [A, REVISED_B, C], ("c", "b", "")),
    "deleted": ([[A, B, C]], [A, B], ("", "", "c")),
    "empty": ([[A, B]], [], ("", "", "a b")),
    "empty first": ([], [], None),
}


@pytest.mark.parametrize(("before", "dag", "changes"), BOTH_PATHS.values(), ids=BOTH_PATHS)
def test_post_and_the_registry_register_alike(make_handler, connect, before, dag, changes):
    def by_post(dag_info):
        POST(make_handler(fields(successful={"dag_info": dag_info}), kernels=[K]), K)

    def by_registry(dag_info):
        registry.register(K, ZelvoPipelineModel(dag_info=dag_info))

    outcomes = []
    for register in (by_post, by_registry):
        flowsync.dag_cabinet.clear()
        for earlier in before:
            register(copy.deepcopy(earlier))
        relayed, previous = [], flowsync.dag_cabinet.get(K)
        connect(relayed, K)
        register(copy.deepcopy(dag))
        entry = flowsync.dag_cabinet[K]
        messages = [json.loads(text) for _, _, text in relayed]
        # Every registration stores the model anew: its time is the list's "updated".
        outcomes.append((messages, entry.to_zelvo_dict(), entry is not previous))
    assert outcomes[0] == outcomes[1]
    messages, document, replaced = outcomes[0]
    assert document == {"identifier": K, "dag_info": dag} and replaced
    if changes is None:
        assert messages == []
        return
    [message] = messages
    assert message.keys() == {"procedure", "status", "successful"}
    updated = message["successful"]["updated_components"]
    ids = [c["id"] for c in updated["added"]], [c["id"] for c in updated["revised"]]
    assert (*map(" ".join, ids), " ".join(updated["deleted"])) == changes


@pytest.mark.parametrize("changed", [True, False])
def test_a_given_update_is_stored_and_relayed_as_it_is(connect, monkeypatch, changed):
    flowsync.dag_cabinet[K] = ZelvoPipelineModel(identifier=K, dag_info=[A])
    monkeypatch.setattr(flowsync, "get_dag_update_info", _raise(AssertionError("compared")))
    relayed = []
    connect(relayed, K)
    # What a comparison would not see: the component's revision is the caller's word.
    model = ZelvoPipelineModel(dag_info=[A])
    revised = list(model.graph.components.values()) * changed
    update = ZelvoDagUpdateModel(K, ZelvoDagUpdateComponentModel(revised=revised))
    assert registry.register(K, model, update) is update
    assert flowsync.dag_cabinet[K] is model and model.identifier == K
    expected = {"identifier": K, "updated_components": update.updated_components.dict()}
    assert [json.loads(text)["successful"] for _, _, text in relayed] == [expected] * changed


@pytest.mark.parametrize(
    ("procedure", "status", "successful", "msg"),
    [
        ("pipeline:updated", "failed", {"dag_info": "not even a list"}, "oops"),
        ("pipeline:updated", None, None, None),
        ("kernel:restarted", "successful", None, ""),
        (None, "successful", {"x": 1}, "text"),
        ("Pipeline:Updated", "successful", {}, "text"),
    ],
)
def test_other_messages_are_relayed_as_they_came(
    make_handler, monkeypatch, procedure, status, successful, msg
):
    relayed = []  # what post hands to DAGHandler.transmit, read as a module global
    relay = ns(transmit=lambda *args, **kw: relayed.append((args, kw)))
    monkeypatch.setattr(flowsync, "DAGHandler", relay)
    old = flowsync.dag_cabinet["p"] = ZelvoPipelineModel(identifier="p")
    data = fields(procedure=procedure, status=status, successful=successful, msg=msg, other=[None])
    expected = copy.deepcopy(data)
    if not msg:
        del expected["msg"]
    handler = make_handler(data, kernels=["p"])
    POST(handler, K)
    # Through the class, positionally, with the body dict itself.
    assert relayed == [((K, data), {})] and relayed[0][0][1] is data
    assert data == expected and flowsync.dag_cabinet == {"p": old}
    assert handler.names() == ["get_json_body", "list_kernel_ids", *ANSWER]
    assert handler.answer() == SUCCESS


@pytest.mark.parametrize(
    ("data", "status", "message"),
    [
        (fields(procedure=None), HTTPStatus.OK, "Success."),
        ({}, HTTPStatus.BAD_REQUEST, REQUIRED.format("procedure")),
        (fields(successful=None), HTTPStatus.BAD_REQUEST, NEEDED),
        (pipeline(node("a", ["a"])), HTTPStatus.BAD_REQUEST, "dag_info[0] (id 'a'): " + OWN),
        (fields(procedure=None), HTTPStatus.INTERNAL_SERVER_ERROR, "busy"),
    ],
)
def test_answer_goes_through_the_handler(make_handler, data, status, message):
    handler = make_handler(data, [K])
    if status == 500:
        handler.fail["list_kernel_ids"] = TimeoutError("busy")
    seen = []
    handler._finish_with_result = lambda *args, **kwargs: seen.append((args, kwargs))
    POST(handler, K)
    [(args, kwargs)] = seen
    assert args == () and kwargs.keys() == {"status_code", "result"}
    assert kwargs["status_code"] is status  # the member, converted only when set
    assert type(kwargs["result"]) is dict and kwargs["result"] == {"message": message}


@pytest.mark.parametrize(
    ("data", "message"),
    [
        (None, NOT_OBJECT),
        ([fields()], NOT_OBJECT),
        (5, NOT_OBJECT),
        ({}, REQUIRED.format("procedure")),
        (fields(drop=["procedure", "status"]), REQUIRED.format("procedure")),
        (fields(drop=["status"]), REQUIRED.format("status")),
        (fields(drop=["msg"]), REQUIRED.format("msg")),
        (fields(drop=["successful"]), REQUIRED.format("successful")),
        (fields(procedure=5), NOT_STR.format("procedure")),
        # Keys are read in order, each tested for presence and then for type.
        (fields(drop=["status"], procedure=5), NOT_STR.format("procedure")),
        (fields(drop=["procedure"], status=5), REQUIRED.format("procedure")),
        (fields(status=["successful"]), NOT_STR.format("status")),
        (fields(msg=1.5, successful="x"), NOT_STR.format("msg")),
        (fields(msg=False), NOT_STR.format("msg")),
        (fields(successful=[]), NOT_DICT),
        (fields(successful=None), NEEDED),
        (fields(msg=None, successful=None), NEEDED),
        (NOT_UTF8, NOT_OBJECT),
        # Refused by the model, which names the component and field at fault.
        (pipeline(node("a", ["b"]), node("b", ["a"])), REFUSED + CYCLE),
        (pipeline(node("a"), node("a")), REFUSED + "dag_info[1]: duplicate id 'a'"),
        (pipeline(node("a", ["ghost"])), REFUSED + GHOST),
        (pipeline(node("a", code=5)), REFUSED + "dag_info[0] (id 'a'): 'code' " + NOT_INT),
        (
            pipeline(node("a", colour="red")),
            REFUSED + "dag_info[0] (id 'a'): unknown key(s) 'colour'",
        ),
        (pipeline(bogus=1), REFUSED + "ZelvoPipelineModel got unexpected field(s) 'bogus'"),
        (pipeline(identifier=[K]), REFUSED + "'identifier' must be a string or null, not list"),
    ],
)
def test_bad_body_answers_400_and_touches_nothing(make_handler, connect, data, message):
    old = flowsync.dag_cabinet[K] = ZelvoPipelineModel(identifier=K, dag_info=[node("x")])
    before = copy.deepcopy(data)
    handler = make_handler(data, kernels=[])  # a clean-up would drop the entry
    if data == NOT_UTF8:
        handler.fail["get_json_body"] = UnicodeDecodeError("utf-8", b"\xff", 0, 1, "invalid")
    connect(handler.calls, K)
    refused = message.startswith(REFUSED)
    message = message[len(REFUSED) :] if refused else message
    assert POST(handler, K) is None
    assert handler.answer() == (400, {"message": message})
    assert handler.names() == ["get_json_body", *ANSWER]  # nothing relayed
    assert data == before and flowsync.dag_cabinet == {K: old} and flowsync.dag_cabinet[K] is old
    # One warning line for a refused pipeline: the kernel id and the model's text.
    assert handler.logged == [] and handler.warned == ([(LOGGED, K, message)] if refused else [])
    assert sys.exc_info() == (None, None, None)


def _raise(error):
    def fail(*args, **kwargs):
        raise error

    return fail


class Untrue:
    def __bool__(self):
        raise ArithmeticError("no truth here")


class Frozen:
    def __init__(self, **fields):
        pass

    def __setattr__(self, name, value):
        raise AttributeError("frozen model")


class OnlyFull(ZelvoPipelineModel):
    def __init__(self, **fields):
        if "dag_info" not in fields:
            raise ValueError("no empty models")
        super().__init__(**fields)


class Cabinet(dict):
    def update(self, *args):
        raise MemoryError("cabinet full")


class Lost:
    """A connection whose ``kernel_id`` cannot be read."""

    @property
    def kernel_id(self):
        raise ConnectionResetError("gone")


def _breaking(sockets):
    yield sockets[0]
    raise RuntimeError("registry changed")


def _relay_text(text):
    # The answer is serialised by the same global: only the relayed message is refused.
    def dumps(value):
        if "procedure" not in value:
            return json.dumps(value)
        if text is None:
            raise ValueError("Out of range float values are not JSON compliant")
        return text

    return ns(dumps=dumps)


class Unequal:
    def __eq__(self, other):
        raise ArithmeticError("no")


def _update(as_dict=dict, added=(1,), revised=()):
    changes = ns(added=list(added), revised=revised, deleted=[])
    return lambda previous, current: ns(updated_components=changes, dict=as_dict)


def compare(fake):
    return P(get_dag_update_info=fake)


def P(**globals_):  # noqa: N802
    """Replaces module globals of flowsync."""
    return lambda mp, handler, sockets: [mp.setattr(flowsync, k, v) for k, v in globals_.items()]


def _socket_fails(mp, handler, sockets):
    sockets[1].write_message = _raise(ConnectionError("socket gone"))


def _registry_breaks(mp, handler, sockets):
    mp.setattr(flowsync.ZelvoWebSocketHandler, "registry", _breaking(sockets))


def _kernel_id_unreadable(mp, handler, sockets):
    flowsync.ZelvoWebSocketHandler.registry.insert(1, Lost())


def _kernel_id_uncomparable(mp, handler, sockets):
    sockets[1].kernel_id = Unequal()  # asked for equality: its value is on the left


def _kernels_unknown(mp, handler, sockets):
    handler.kernel_manager = ns(list_kernel_ids=_raise(TimeoutError("busy")))


NO_EMPTY, FULL = "ValueError: no empty models", "MemoryError: cabinet full"
LATE = "zelvo_core.misc.models.InvalidPipelineError: late"
UNTRUE, NOT_ITERABLE = "ArithmeticError: no truth here", "TypeError: 'int' object is not iterable"
NO = "AttributeError: 'types.SimpleNamespace' object has no attribute "
NO_IDENTIFIER = "AttributeError: frozen model"
NAN = "ValueError: Out of range float values are not JSON compliant"
BYTES = "TypeError: Expected str, got bytes"
RM = "_remove_unused_kernels_on_cabinet"
# Two sockets of the kernel listen; the kernel manager lists no kernel, so a clean-up would
# remove the new entry. (registered before, "successful", fault, the traceback's native
# records, sockets reached, error)
REL, CLEAN = "post 135, transmit ", "post 136, _remove_unused_kernels_on_cabinet "
FAILURES = {
    # Only the model's refusal of the posted pipeline is the client's mistake.
    "model fails": row(
        1, {}, P(ZelvoPipelineModel=_raise(ValueError("m"))), "post 115", 0, "ValueError: m"
    ),
    "refusal elsewhere": row(
        0, {}, compare(_raise(InvalidPipelineError("late"))), "post 119", 0, LATE
    ),
    "identifier": row(1, {}, P(ZelvoPipelineModel=Frozen), "post 116", 0, NO_IDENTIFIER),
    "empty model": row(0, CHANGE, P(ZelvoPipelineModel=OnlyFull), "post 120", 0, NO_EMPTY),
    "compare new": row(0, {}, compare(_raise(LookupError("c"))), "post 119", 0, "LookupError: c"),
    "compare known": row(
        1, {}, compare(_raise(LookupError("c"))), "post 123", 0, "LookupError: c"
    ),
    "dict": row(
        1, {}, compare(_update(_raise(OverflowError("d")))), "post 125", 0, "OverflowError: d"
    ),
    "update": row(
        0, {}, P(dag_cabinet=Cabinet(), get_dag_update_info=_update()), "post 126", 0, FULL
    ),
    "components": row(
        1, {}, compare(lambda p, c: ns(dict=dict)), "post 129", 0, NO + "'updated_components'"
    ),
    "truth": row(0, {}, compare(_update(added=(), revised=Untrue())), "post 130", 0, UNTRUE),
    "relay lookup": row(1, CHANGE, P(DAGHandler=ns()), "post 135", 0, NO + "'transmit'"),
    "relay dumps": row(1, CHANGE, P(json=_relay_text(None)), REL + "157", 0, NAN),
    "relay bytes": row(1, CHANGE, P(json=_relay_text(b"{}")), REL + "157", 0, BYTES),
    "no registry": row(
        1, CHANGE, P(ZelvoWebSocketHandler=ns()), REL + "158", 0, NO + "'registry'"
    ),
    "registry not iterable": row(
        1, CHANGE, P(ZelvoWebSocketHandler=ns(registry=5)), REL + "158", 0, NOT_ITERABLE
    ),
    "registry": row(1, CHANGE, _registry_breaks, REL + "158", 1, "RuntimeError: registry changed"),
    "kernel_id": row(
        1, CHANGE, _kernel_id_unreadable, REL + "159", 1, "ConnectionResetError: gone"
    ),
    "kernel_id compare": row(
        1, CHANGE, _kernel_id_uncomparable, REL + "159", 1, "ArithmeticError: no"
    ),
    "write_message": row(1, CHANGE, _socket_fails, REL + "160", 1, "ConnectionError: socket gone"),
    "list_kernel_ids": row(0, CHANGE, _kernels_unknown, CLEAN + "147", 2, "TimeoutError: busy"),
    "rmtree": row(
        0, CHANGE, P(shutil=ns(rmtree=_raise(OSError("r")))), CLEAN + "151", 2, "OSError: r"
    ),
}
NATIVE = r"line (\d+), in zelvo\.server\.handlers\.flowsync\.DAGHandler\.(\w+)"


@pytest.mark.parametrize(
    ("registered", "successful", "fault", "where", "sent", "error"),
    FAILURES.values(),
    ids=FAILURES,
)
def test_failure_answers_500_and_logs_one_traceback(
    make_handler, connect, monkeypatch, registered, successful, fault, where, sent, error
):
    old = ZelvoPipelineModel(identifier=K)
    if registered:
        flowsync.dag_cabinet[K] = old
    handler = make_handler(fields(successful=successful))
    sockets = connect(handler.calls, K, K)
    if fault:
        fault(monkeypatch, handler, sockets)
    before = dict(flowsync.dag_cabinet)
    assert POST(handler, K) is None
    assert handler.answer() == (500, {"message": error.split(": ", 1)[1]})
    [text] = handler.logged
    assert handler.warned == []
    assert text.startswith("Traceback (most recent call last):\n")
    assert text.endswith(f"\n{error}\n")
    assert ", ".join(f"{name} {line}" for line, name in re.findall(NATIVE, text)) == where
    assert len([call for call in handler.calls if call[0] == "write_message"]) == sent
    assert ("list_kernel_ids",) not in handler.calls or where.startswith("post 136")
    if int(where[5:8]) > 126:  # the new model is registered from there on
        assert flowsync.dag_cabinet.keys() == {K}
        assert flowsync.dag_cabinet[K] is not old and flowsync.dag_cabinet[K].identifier == K
    else:
        assert flowsync.dag_cabinet == before
        assert all(flowsync.dag_cabinet[key] is before[key] for key in before)
    assert sys.exc_info() == (None, None, None)


@pytest.mark.parametrize("error", [KeyboardInterrupt, SystemExit])
@pytest.mark.parametrize(
    ("procedure", "entries"),
    [("pipeline:updated", [("post", 119)]), (None, [("post", 135), ("transmit", 160)])],
)
def test_non_exceptions_pass_through(
    make_handler, connect, monkeypatch, records, error, procedure, entries
):
    raised = error("stop")
    handler = make_handler(fields(procedure=procedure), kernels=[K])
    monkeypatch.setattr(flowsync, "get_dag_update_info", _raise(raised))
    connect(handler.calls, K)[0].write_message = _raise(raised)
    with pytest.raises(error) as info:
        POST(handler, K)
    assert info.value is raised and records(info.value) == entries
    assert handler.logged == [] and handler.names() == ["get_json_body"]


@pytest.mark.parametrize(
    ("data", "fail", "entries"),
    [
        (fields(), "get_json_body", [("post", 96)]),
        (fields(procedure=None), "finish", [("post", 144), ("_finish_with_result", 70)]),
        ({}, "set_status", [("post", 106), ("_finish_with_result", 69)]),
        (pipeline(node("a", ["a"])), "set_header", [("post", 144), ("_finish_with_result", 67)]),
        # While the 500 and the 400 of a refused pipeline are handled.
        (fields(procedure=None), "error", [("post", 141)]),
        (pipeline(node("a", ["a"])), "warning", [("post", 141)]),
    ],
)
def test_failures_outside_the_guard_go_to_the_caller(make_handler, records, data, fail, entries):
    handler = make_handler(data, kernels=[K])
    handler.fail[fail] = error = OSError("gone")
    logging = fail in ("error", "warning")
    if logging:
        handler.log = ns(**{fail: _raise(error)})
        handler.fail["list_kernel_ids"] = TimeoutError("busy")  # a 500 when the clean-up runs
    with pytest.raises(OSError) as info:
        POST(handler, K)
    assert info.value is error and records(info.value) == entries
    context = {"error": TimeoutError, "warning": InvalidPipelineError}.get(fail, type(None))
    assert type(info.value.__context__) is context
    assert not logging or "set_status" not in handler.names()  # no answer written
