"""The answer writer ``_finish_with_result`` and the query ``get``."""

import types
from http import HTTPStatus

import pytest

from zelvo.server.handlers import flowsync
from zelvo.server.handlers.pipeline_export import download, pipeport
from zelvo_core import protocol
from zelvo_core.misc.models import ZelvoPipelineModel

FINISH = flowsync.DAGHandler._finish_with_result
GET = flowsync.DAGHandler.get.__wrapped__
ns = types.SimpleNamespace


def _boom(*args, **kwargs):
    raise LookupError("boom")


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
def test_finish_writes_headers_status_and_body_in_order(
    make_handler, status_code, result, status, text
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


# (Failures of the host's calls, through post, are rows of test_post.)
@pytest.mark.parametrize(
    ("status_code", "result", "error", "line", "calls_made"),
    [
        (200, {"x": object()}, TypeError, 68, 1),
        ("abc", {}, ValueError, 69, 2),
        (None, {}, TypeError, 69, 2),
    ],
)
def test_finish_failure_keeps_the_steps_already_done(
    make_handler, records, status_code, result, error, line, calls_made
):
    handler = make_handler()
    with pytest.raises(error) as info:
        FINISH(handler, status_code, result)
    assert len(handler.calls) == calls_made
    assert records(info.value) == [("_finish_with_result", line)]


@pytest.mark.parametrize("kernel_id", ["ab", "", "k\u00e9-\u4e2d", 'q"uote'])
def test_get_unknown_kernel_answers_400(make_handler, kernel_id):
    other = flowsync.dag_cabinet["other"] = ZelvoPipelineModel(identifier="other")
    handler = make_handler()
    assert GET(handler, kernel_id) is None
    assert handler.answer() == (400, {"message": f"Cannot get dag data in {kernel_id}."})
    assert flowsync.dag_cabinet == {"other": other}
    if kernel_id == "ab":
        assert handler.calls[1] == ("set_header", "Content-Length", "41")


def test_get_registered_kernel_answers_its_dag_as_an_update(make_handler, component):
    dag = [component("a"), component("b", ["a"])]
    model = flowsync.dag_cabinet["k1"] = ZelvoPipelineModel(identifier="k1", dag_info=dag)
    handler = make_handler()
    GET(handler, "k1")
    # The registered model as an update from an empty pipeline of the same kernel.
    changes = {"added": dag, "revised": [], "deleted": []}
    assert handler.answer() == (200, {"identifier": "k1", "updated_components": changes})
    assert flowsync.dag_cabinet == {"k1": model} and flowsync.dag_cabinet["k1"] is model


NO = "'types.SimpleNamespace' object has no attribute "
NOT_DICT = "Argument 'result' has incorrect type (expected dict, got NoneType)"


@pytest.mark.parametrize(
    ("name", "value", "registered", "error", "entries"),
    [
        ("get_dag_update_info", lambda p, c: ns(dict=lambda: None), 1, NOT_DICT, [("get", 87)]),
        (
            "get_dag_update_info",
            lambda p, c: ns(dict=lambda: [1]),
            1,
            "Expected dict, got list",
            [("get", 82)],
        ),
        ("get_dag_update_info", _boom, True, "boom", [("get", 79)]),
        ("ZelvoPipelineModel", _boom, True, "boom", [("get", 80)]),
        ("HTTPStatus", ns(), False, NO + "'OK'", [("get", 75)]),
        ("HTTPStatus", ns(OK=200), False, NO + "'BAD_REQUEST'", [("get", 84)]),
        ("json", ns(dumps=_boom), False, "boom", [("get", 87), ("_finish_with_result", 68)]),
    ],
)
def test_get_failures_go_to_the_caller_with_their_step(
    make_handler, monkeypatch, records, name, value, registered, error, entries
):
    if registered:
        flowsync.dag_cabinet["k1"] = ZelvoPipelineModel(identifier="k1")
    monkeypatch.setattr(flowsync, name, value)
    handler = make_handler()
    with pytest.raises(Exception) as info:
        GET(handler, "k1")
    assert str(info.value) == error
    assert records(info.value) == entries
    # Only the content type is set before the text is made.
    assert len(handler.calls) == len(entries) - 1


def test_shared_messages_are_the_protocols(make_handler):
    # The native literals and the Python side's constants must be the same words.
    handler = make_handler()
    GET(handler, "k9")
    assert handler.answer() == (400, {"message": protocol.no_pipeline("k9")})
    relayed = {"procedure": "cell:executed", "status": None, "msg": None, "successful": None}
    handler = make_handler(relayed, kernels=["k9"])
    flowsync.DAGHandler.post.__wrapped__(handler, "k9")
    assert handler.answer() == (200, {"message": protocol.SUCCESS})
    flowsync.dag_cabinet["k9"] = ZelvoPipelineModel(identifier="k9")
    get_pipeline = object.__new__(pipeport.ZelvoPipelineExportHandler)._get_pipeline
    assert get_pipeline("k9", [], "n.ipynb") == download.NO_COMPONENTS
    assert download.NO_COMPONENTS == (protocol.NO_COMPONENTS, "error")
