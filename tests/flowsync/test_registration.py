"""``post``: registration of a posted pipeline, relay, clean-up and the answer."""

import copy
import json
import sys
import types
from http import HTTPStatus

import pytest

from zelvo.server.handlers import flowsync
from zelvo.server.misc.functions import get_dag_update_info
from zelvo_core.misc.models import ZelvoPipelineModel

POST = flowsync.DAGHandler.post.__wrapped__
GET = flowsync.DAGHandler.get.__wrapped__
K = "k1"
SUCCESS = (200, {"message": "Success."})
ANSWER = ["set_header", "set_header", "set_status", "finish"]
NOT_OBJECT = "The body of the request must be a JSON object."
REQUIRED = "{} is required in the body of the request."
NOT_STR = "{} must be a string or null."
NOT_DICT = "successful must be an object or null."
# Against an empty or unregistered pipeline, one added component.
CHANGE = {
    "dag_info": [
        {
            "id": "a",
            "component_type": "code",
            "parents_id": [],
            "code": "",
            "execution_status": "failed",
            "last_execution": None,
        }
    ]
}


def fields(drop=(), **values):
    """A successful "pipeline:updated" body, with keys dropped or replaced."""
    body = {"procedure": "pipeline:updated", "status": "successful", "msg": "", "successful": {}}
    body.update(values)
    return {key: value for key, value in body.items() if key not in drop}


def names(calls):
    return [call[0] for call in calls]


@pytest.fixture()
def relayed(monkeypatch):
    """What post hands to DAGHandler.transmit, which it reads as a module global."""
    sent = []
    relay = types.SimpleNamespace(transmit=lambda *args, **kw: sent.append((args, kw)))
    monkeypatch.setattr(flowsync, "DAGHandler", relay)
    return sent


class TestRegistration:
    @pytest.mark.parametrize("msg", [None, "", "note"])
    def test_first_update(self, make_handler, connect, component, msg):
        dag = [component("a"), component("b", ["a"])]
        data = fields(msg=msg, successful={"dag_info": dag}, ext={"keep": [1]})
        handler = make_handler(data, kernels=[K, "k2"])
        mine, _, also_mine = connect(handler.calls, K, "k2", K)

        assert POST(handler, K) is None

        entry = flowsync.dag_cabinet[K]
        assert list(flowsync.dag_cabinet) == [K]
        assert type(entry) is ZelvoPipelineModel and entry.identifier == K
        assert list(entry.graph.components) == ["a", "b"]
        expected = fields(
            msg=msg,
            ext={"keep": [1]},
            successful={
                "identifier": K,
                "updated_components": {"added": dag, "revised": [], "deleted": []},
            },
        )
        if not msg:
            del expected["msg"]
        assert data == expected  # the body itself became the relayed message
        writes = [call for call in handler.calls if call[0] == "write_message"]
        assert [socket for _, socket, _ in writes] == [mine, also_mine]
        assert writes[0][2] is writes[1][2] and json.loads(writes[0][2]) == expected
        # Relay, then clean-up, then the answer.
        assert names(handler.calls) == [
            "get_json_body",
            "write_message",
            "write_message",
            "list_kernels",
            *ANSWER,
        ]
        assert handler.answer() == SUCCESS

    def test_unchanged_pipeline_is_stored_but_not_relayed(
        self, make_handler, connect, monkeypatch
    ):
        POST(make_handler(fields(successful=CHANGE), kernels=[K]), K)
        first = flowsync.dag_cabinet[K]
        seen = []
        monkeypatch.setattr(
            flowsync,
            "get_dag_update_info",
            lambda *args: seen.append(args) or get_dag_update_info(*args),
        )

        data = fields(successful=CHANGE, msg=None)
        handler = make_handler(data, kernels=[])  # a clean-up would drop the entry
        connect(handler.calls, K)
        POST(handler, K)

        assert seen == [(first, flowsync.dag_cabinet[K])]
        assert flowsync.dag_cabinet[K] is not first and flowsync.dag_cabinet[K].identifier == K
        assert names(handler.calls) == ["get_json_body", *ANSWER]
        assert handler.answer() == SUCCESS
        assert data == {
            "procedure": "pipeline:updated",
            "status": "successful",
            "successful": {
                "identifier": K,
                "updated_components": {"added": [], "revised": [], "deleted": []},
            },
        }

    def test_identifier_in_the_body_is_overridden(self, make_handler, relayed):
        successful = dict(CHANGE, identifier="evil")
        data = fields(successful=successful)
        POST(make_handler(data, kernels=[K]), K)
        assert flowsync.dag_cabinet[K].identifier == K
        assert successful == dict(CHANGE, identifier="evil")
        assert data["successful"]["identifier"] == K

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
        self, make_handler, relayed, procedure, status, successful, msg
    ):
        old = flowsync.dag_cabinet["p"] = ZelvoPipelineModel(identifier="p")
        data = fields(procedure=procedure, status=status, successful=successful, msg=msg)
        data["other"] = [None]
        expected = copy.deepcopy(data)
        if not msg:
            del expected["msg"]
        handler = make_handler(data, kernels=["p"])

        POST(handler, K)

        # Through the class, positionally, with the body dict itself.
        assert relayed == [((K, data), {})] and relayed[0][0][1] is data
        assert data == expected
        assert flowsync.dag_cabinet == {"p": old}
        assert names(handler.calls) == ["get_json_body", "list_kernels", *ANSWER]
        assert handler.answer() == SUCCESS

    def test_stopped_kernel_is_relayed_then_dropped(
        self, make_handler, connect, monkeypatch, tmp_path
    ):
        monkeypatch.setenv("JUPYTER_RUNTIME_DIR", str(tmp_path))
        cache = tmp_path / "zelvo-cache" / K
        cache.mkdir(parents=True)
        (cache / "blob").write_text("x")
        handler = make_handler(fields(successful=CHANGE), kernels=["k2"])
        connect(handler.calls, K)

        POST(handler, K)

        assert names(handler.calls)[1:3] == ["write_message", "list_kernels"]
        assert handler.answer() == SUCCESS
        assert flowsync.dag_cabinet == {} and not cache.exists()
        later = make_handler()
        GET(later, K)
        assert later.answer() == (400, {"message": f"Cannot get dag data in {K}."})

    @pytest.mark.parametrize(
        ("data", "status", "message"),
        [
            (fields(procedure=None), HTTPStatus.OK, "Success."),
            ({}, HTTPStatus.BAD_REQUEST, REQUIRED.format("procedure")),
            (
                fields(successful=None),
                HTTPStatus.INTERNAL_SERVER_ERROR,
                "argument after ** must be a mapping, not NoneType",
            ),
        ],
    )
    def test_answer_goes_through_the_handler(self, make_handler, data, status, message):
        handler = make_handler(data, [K])
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
        ([], NOT_OBJECT),
        ([fields()], NOT_OBJECT),
        ("procedure", NOT_OBJECT),
        (5, NOT_OBJECT),
        ({}, REQUIRED.format("procedure")),
        (fields(drop=["procedure", "status"]), REQUIRED.format("procedure")),
        (fields(drop=["status"]), REQUIRED.format("status")),
        (fields(drop=["msg"]), REQUIRED.format("msg")),
        (fields(drop=["successful"]), REQUIRED.format("successful")),
        (fields(procedure=5), NOT_STR.format("procedure")),
        (fields(drop=["status"], procedure=5), NOT_STR.format("procedure")),
        (fields(drop=["procedure"], status=5), REQUIRED.format("procedure")),
        (fields(status=["successful"]), NOT_STR.format("status")),
        (fields(msg=1.5, successful="x"), NOT_STR.format("msg")),
        (fields(msg=False), NOT_STR.format("msg")),
        (fields(successful=[]), NOT_DICT),
        (fields(successful="{}"), NOT_DICT),
    ],
)
def test_bad_body_answers_400_and_touches_nothing(make_handler, connect, data, message):
    old = flowsync.dag_cabinet["p"] = ZelvoPipelineModel(identifier="p")
    before = copy.deepcopy(data)
    handler = make_handler(data, kernels=[])
    connect(handler.calls, K)

    assert POST(handler, K) is None

    assert handler.answer() == (400, {"message": message})
    assert names(handler.calls) == ["get_json_body", *ANSWER]
    assert data == before
    assert flowsync.dag_cabinet == {"p": old}


def _raise(error):
    def fail(*args, **kwargs):
        raise error

    return fail


def _update(changes=types.SimpleNamespace(added=[1], revised=[], deleted=[]), as_dict=dict):
    return lambda previous, current: types.SimpleNamespace(
        updated_components=changes, dict=as_dict
    )


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


class Closed:
    kernel_id = K
    write_message = staticmethod(_raise(ConnectionError("socket gone")))


# The handler's kernel manager lists no kernel: a clean-up would remove the new entry.
# (registered before, "successful", module globals replaced, failing line, error, entry kept)
FAILURES = {
    "null successful": (
        True,
        None,
        {},
        115,
        "TypeError: argument after ** must be a mapping, not NoneType",
        False,
    ),
    "model refuses": (
        False,
        {"bogus": 1},
        {},
        115,
        "TypeError: ZelvoPipelineModel got unexpected field(s) 'bogus'",
        False,
    ),
    "identifier": (
        True,
        {},
        {"ZelvoPipelineModel": Frozen},
        116,
        "AttributeError: frozen model",
        False,
    ),
    "empty model": (
        False,
        CHANGE,
        {"ZelvoPipelineModel": OnlyFull},
        120,
        "ValueError: no empty models",
        False,
    ),
    "compare, new": (
        False,
        {},
        {"get_dag_update_info": _raise(LookupError("c"))},
        119,
        "LookupError: c",
        False,
    ),
    "compare, known": (
        True,
        {},
        {"get_dag_update_info": _raise(LookupError("c"))},
        123,
        "LookupError: c",
        False,
    ),
    "dict": (
        True,
        {},
        {"get_dag_update_info": _update(as_dict=_raise(OverflowError("d")))},
        125,
        "OverflowError: d",
        False,
    ),
    "update": (
        False,
        {},
        {"dag_cabinet": Cabinet(), "get_dag_update_info": _update()},
        126,
        "MemoryError: cabinet full",
        False,
    ),
    "components": (
        True,
        {},
        {"get_dag_update_info": lambda p, c: types.SimpleNamespace(dict=dict)},
        129,
        "AttributeError: 'types.SimpleNamespace' object has no attribute 'updated_components'",
        True,
    ),
    "truth": (
        False,
        {},
        {
            "get_dag_update_info": _update(
                types.SimpleNamespace(added=[], revised=Untrue(), deleted=[])
            )
        },
        130,
        "ArithmeticError: no truth here",
        True,
    ),
    "transmit": (
        True,
        CHANGE,
        {"ZelvoWebSocketHandler": types.SimpleNamespace(registry=[Closed()])},
        135,
        "ConnectionError: socket gone",
        True,
    ),
    "relay lookup": (
        True,
        CHANGE,
        {"DAGHandler": types.SimpleNamespace()},
        135,
        "AttributeError: 'types.SimpleNamespace' object has no attribute 'transmit'",
        True,
    ),
    "clean-up": (
        False,
        CHANGE,
        {"shutil": types.SimpleNamespace(rmtree=_raise(OSError("r")))},
        136,
        "OSError: r",
        True,
    ),
}


class TestFailures:
    @pytest.mark.parametrize(
        ("registered", "successful", "patches", "line", "error", "kept"),
        FAILURES.values(),
        ids=FAILURES.keys(),
    )
    def test_answers_500_and_logs_one_traceback(
        self,
        make_handler,
        monkeypatch,
        logged_head,
        registered,
        successful,
        patches,
        line,
        error,
        kept,
    ):
        old = ZelvoPipelineModel(identifier=K)
        if registered:
            flowsync.dag_cabinet[K] = old
        for name, value in patches.items():
            monkeypatch.setattr(flowsync, name, value)
        before = dict(flowsync.dag_cabinet)
        handler = make_handler(fields(successful=successful))

        assert POST(handler, K) is None

        assert handler.answer() == (500, {"message": error.split(": ", 1)[1]})
        [text] = handler.logged
        assert text.startswith(logged_head(line)) and text.endswith(f"\n{error}\n")
        assert ("list_kernels",) not in handler.calls or line == 136
        if kept:
            assert flowsync.dag_cabinet.keys() == {K}
            assert flowsync.dag_cabinet[K] is not old and flowsync.dag_cabinet[K].identifier == K
        else:
            assert flowsync.dag_cabinet == before
            assert all(flowsync.dag_cabinet[key] is before[key] for key in before)
        assert sys.exc_info() == (None, None, None)

    @pytest.mark.parametrize("error", [KeyboardInterrupt, SystemExit])
    @pytest.mark.parametrize(
        ("procedure", "entries"),
        [
            ("pipeline:updated", [("post", 119)]),
            (None, [("post", 135), ("transmit", 160)]),
        ],
    )
    def test_non_exceptions_pass_through(
        self, make_handler, connect, monkeypatch, native_entries, error, procedure, entries
    ):
        raised = error("stop")
        handler = make_handler(fields(procedure=procedure), kernels=[K])
        monkeypatch.setattr(flowsync, "get_dag_update_info", _raise(raised))
        connect(handler.calls, K)[0].write_message = _raise(raised)
        with pytest.raises(error) as info:
            POST(handler, K)
        assert info.value is raised
        assert native_entries(info.value) == entries
        assert handler.logged == [] and handler.answers() == []

    def test_logging_failure_goes_to_the_caller(self, make_handler, native_entries):
        handler = make_handler(fields(successful=None))
        handler.log = types.SimpleNamespace(error=_raise(RuntimeError("log is broken")))
        with pytest.raises(RuntimeError, match="^log is broken$") as info:
            POST(handler, K)
        [(name, line)] = native_entries(info.value)
        assert name == "post" and line in (141, 142)  # the logging statement
        assert isinstance(info.value.__context__, TypeError)
        assert handler.answers() == []

    @pytest.mark.parametrize(
        ("data", "fail", "entries"),
        [
            (fields(), "get_json_body", [("post", 96)]),
            (fields(procedure=None), "finish", [("post", 144), ("_finish_with_result", 70)]),
            ({}, "set_status", [("post", 106), ("_finish_with_result", 69)]),
            (fields(successful=None), "set_header", [("post", 144), ("_finish_with_result", 67)]),
        ],
    )
    def test_failures_outside_the_guard_go_to_the_caller(
        self, make_handler, native_entries, data, fail, entries
    ):
        handler = make_handler(data, kernels=[K])
        handler.fail[fail] = error = OSError("gone")
        with pytest.raises(OSError) as info:
            POST(handler, K)
        assert info.value is error
        assert native_entries(info.value) == entries
