"""The answer writer ``_finish_with_result`` and the query ``get``."""

import types
from http import HTTPStatus

import pytest

from zelvo.server.handlers import flowsync
from zelvo.server.misc.functions import get_dag_update_info
from zelvo_core.misc.models import ZelvoPipelineModel

FINISH = flowsync.DAGHandler._finish_with_result
GET = flowsync.DAGHandler.get.__wrapped__
POST = flowsync.DAGHandler.post.__wrapped__


def _boom(*args, **kwargs):
    raise LookupError("boom")


class Body(dict):
    pass


class TestFinishWithResult:
    @pytest.mark.parametrize(
        ("status_code", "result", "status", "text"),
        [
            (HTTPStatus.OK, {}, 200, "{}"),
            (HTTPStatus.BAD_REQUEST, {"a": "\u00e9"}, 400, '{"a": "\\u00e9"}'),
            (HTTPStatus.INTERNAL_SERVER_ERROR, {"k": [1, None]}, 500, '{"k": [1, null]}'),
            (404, {"m": "\U0001f600"}, 404, '{"m": "\\ud83d\\ude00"}'),
            ("201", {}, 201, "{}"),
        ],
    )
    def test_headers_status_and_body_in_order(
        self, make_handler, status_code, result, status, text
    ):
        handler = make_handler()
        assert FINISH(handler, status_code, result) is None
        # The length is of the escaped text, so it matches the bytes sent.
        assert handler.calls == [
            ("set_header", "Content-Type", "application/json"),
            ("set_header", "Content-Length", str(len(text))),
            ("set_status", status),
            ("finish", text),
        ]
        assert type(handler.calls[2][1]) is int

    @pytest.mark.parametrize(
        ("status_code", "result", "fail", "error", "line", "calls_made"),
        [
            (200, {}, "set_header", RuntimeError, 67, 1),
            (200, {"x": object()}, None, TypeError, 68, 1),
            ("abc", {}, None, ValueError, 69, 2),
            (None, {}, None, TypeError, 69, 2),
            (200, {}, "set_status", RuntimeError, 69, 3),
            (200, {}, "finish", RuntimeError, 70, 4),
        ],
    )
    def test_failure_keeps_the_steps_already_done(
        self, make_handler, native_entries, status_code, result, fail, error, line, calls_made
    ):
        handler = make_handler()
        if fail:
            handler.fail[fail] = RuntimeError("host says no")
        with pytest.raises(error) as info:
            FINISH(handler, status_code, result)
        assert len(handler.calls) == calls_made
        assert native_entries(info.value) == [("_finish_with_result", line)]


@pytest.mark.parametrize(
    ("method", "args", "message"),
    [
        (FINISH, (200, Body()), "Argument 'result' has incorrect type (expected dict, got Body)"),
        (
            FINISH,
            (200, None),
            "Argument 'result' has incorrect type (expected dict, got NoneType)",
        ),
        (GET, (5,), "Argument 'kernel_id' has incorrect type (expected str, got int)"),
        (POST, (None,), "Argument 'kernel_id' has incorrect type (expected str, got NoneType)"),
    ],
)
def test_argument_types_are_refused_before_the_body(make_handler, method, args, message):
    # Registered and with a body: a body that ran would reach the host.
    flowsync.dag_cabinet[5] = ZelvoPipelineModel(identifier="5")
    handler = make_handler({"procedure": None, "status": None, "msg": None, "successful": None})
    with pytest.raises(TypeError) as info:
        method(handler, *args)
    assert str(info.value).startswith(message)
    assert handler.calls == []


class TestGet:
    @pytest.mark.parametrize("kernel_id", ["ab", "", "k\u00e9-\u4e2d", 'q"uote'])
    def test_unknown_kernel_answers_400(self, make_handler, kernel_id):
        other = flowsync.dag_cabinet["other"] = ZelvoPipelineModel(identifier="other")
        handler = make_handler()
        assert GET(handler, kernel_id) is None
        assert handler.answer() == (400, {"message": f"Cannot get dag data in {kernel_id}."})
        assert flowsync.dag_cabinet == {"other": other}
        if kernel_id == "ab":
            assert handler.calls[1] == ("set_header", "Content-Length", "41")

    def test_registered_kernel_answers_its_dag_as_an_update(
        self, make_handler, monkeypatch, component
    ):
        dag = [component("a"), component("b", ["a"])]
        model = flowsync.dag_cabinet["k1"] = ZelvoPipelineModel(identifier="k1", dag_info=dag)
        seen = []

        def compare(*args, **kwargs):
            seen.append((args, kwargs))
            return get_dag_update_info(*args)

        monkeypatch.setattr(flowsync, "get_dag_update_info", compare)
        handler = make_handler()
        GET(handler, "k1")

        changes = {"added": dag, "revised": [], "deleted": []}
        assert handler.answer() == (200, {"identifier": "k1", "updated_components": changes})
        assert flowsync.dag_cabinet == {"k1": model} and flowsync.dag_cabinet["k1"] is model
        # The registered model as an update from an empty pipeline of the same kernel.
        [((empty, current), kwargs)] = seen
        assert kwargs == {} and current is model
        assert type(empty) is ZelvoPipelineModel
        assert empty.identifier == "k1" and not empty.graph.components

    @pytest.mark.parametrize(
        ("name", "value", "registered", "error", "entries"),
        [
            (
                "get_dag_update_info",
                lambda p, c: types.SimpleNamespace(dict=lambda: None),
                True,
                "Argument 'result' has incorrect type (expected dict, got NoneType)",
                [("get", 87)],
            ),
            (
                "get_dag_update_info",
                lambda p, c: types.SimpleNamespace(dict=lambda: [1]),
                True,
                "Expected dict, got list",
                [("get", 82)],
            ),
            ("get_dag_update_info", _boom, True, "boom", [("get", 79)]),
            ("ZelvoPipelineModel", _boom, True, "boom", [("get", 80)]),
            (
                "HTTPStatus",
                types.SimpleNamespace(),
                False,
                "'types.SimpleNamespace' object has no attribute 'OK'",
                [("get", 75)],
            ),
            (
                "HTTPStatus",
                types.SimpleNamespace(OK=200),
                False,
                "'types.SimpleNamespace' object has no attribute 'BAD_REQUEST'",
                [("get", 84)],
            ),
            (
                "json",
                types.SimpleNamespace(dumps=_boom),
                False,
                "boom",
                [("get", 87), ("_finish_with_result", 68)],
            ),
        ],
    )
    def test_failures_go_to_the_caller_with_their_step(
        self, make_handler, monkeypatch, native_entries, name, value, registered, error, entries
    ):
        if registered:
            flowsync.dag_cabinet["k1"] = ZelvoPipelineModel(identifier="k1")
        monkeypatch.setattr(flowsync, name, value)
        handler = make_handler()
        with pytest.raises(Exception) as info:
            GET(handler, "k1")
        assert str(info.value) == error
        assert native_entries(info.value) == entries
        # Only the content type is set before the text is made.
        assert len(handler.answers()) == len(entries) - 1
