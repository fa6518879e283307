"""Argument binding, exact-type tests, their messages and traceback records, global reads."""

import traceback

import pytest

import zelvo.server.handlers.flowsync as flowsync
from zelvo.server.handlers.flowsync import DAGHandler
from zelvo.server.handlers.pipeline_export.pipeport import ZelvoPipelineExportHandler
from zelvo.server.handlers.ws_handler import ZelvoWebSocketHandler

transmit = DAGHandler.transmit
finish = DAGHandler._finish_with_result
remove = DAGHandler._remove_unused_kernels_on_cabinet
pipeline = ZelvoPipelineExportHandler._get_pipeline
handler = object.__new__(DAGHandler)

NOTE = ". Subclasses of built-in types are rejected: the value must be of exactly that type."
LONG = type("K" * 250, (str,), {})


class KernelId(str):
    pass


class Payload(dict):
    pass


def at(method, line):
    return (
        "zelvo.server.handlers.flowsync.DAGHandler." + method,
        "zelvo/server/handlers/flowsync",
        line,
    )


TRANSMIT, FINISH, REMOVE = (
    at("transmit", 154),
    at("_finish_with_result", 66),
    at("_remove_unused_kernels_on_cabinet", 146),
)
PIPELINE = (
    "zelvo.server.handlers.pipeline_export.pipeport.ZelvoPipelineExportHandler._get_pipeline",
    "zelvo/server/handlers/pipeline_export/pipeport",
    28,
)
TAKES_2 = "transmit() takes exactly 2 positional arguments ({} given)"
TAKES_3 = "_finish_with_result() takes exactly 3 positional arguments ({} given)"
ARGUMENT = "Argument '{}' has incorrect type (expected {}, got {})"

# id: (call, exact message, innermost traceback record, or None when the frame adds none)
TYPE_ERRORS = {
    # "s" only when the method has more than one parameter.
    "single-param": (
        lambda: remove(1, 2),
        "_remove_unused_kernels_on_cabinet() takes exactly 1 positional argument (2 given)",
        REMOVE,
    ),
    "too-few": (lambda: transmit("k"), TAKES_2.format(1), TRANSMIT),
    "too-many": (lambda: transmit("k", {}, 1), TAKES_2.format(3), TRANSMIT),
    "too-many-with-keywords": (lambda: transmit("k", {}, 1, data={}), TAKES_2.format(3), TRANSMIT),
    # With keywords, the count given is the index of the first unbound parameter.
    "first-missing": (lambda: transmit(data={}), TAKES_2.format(0), TRANSMIT),
    "middle-missing": (lambda: finish(None, result={}), TAKES_3.format(1), FINISH),
    "last-missing": (lambda: finish(None, status_code=200), TAKES_3.format(2), FINISH),
    "bound-self-counts": (lambda: handler._finish_with_result(200), TAKES_3.format(2), FINISH),
    "pipeport": (
        lambda: pipeline(None, "k", []),
        "_get_pipeline() takes exactly 4 positional arguments (3 given)",
        PIPELINE,
    ),
    "multiple-values": (
        lambda: transmit("k", kernel_id="k"),
        "transmit() got multiple values for keyword argument 'kernel_id'",
        TRANSMIT,
    ),
    "unexpected": (
        lambda: transmit("k", {}, colour=1),
        "transmit() got an unexpected keyword argument 'colour'",
        TRANSMIT,
    ),
    "generic-call": (
        lambda: transmit(*("k",), **{"kernel_id": "k"}),
        "transmit() got multiple values for keyword argument 'kernel_id'",
        TRANSMIT,
    ),
    "keyword-not-str": (lambda: transmit("k", **{5: 6}), "keywords must be strings", None),
    "tp-call-keyword-not-str": (
        lambda: type(transmit).__call__(transmit, "k", **{5: 6}),
        "keywords must be strings",
        None,
    ),
    # Exact-type tests; none adds a record.
    "str-subclass": (
        lambda: transmit(KernelId("k"), {}),
        ARGUMENT.format("kernel_id", "str", "KernelId") + NOTE,
        None,
    ),
    "int": (lambda: transmit(5, {}), ARGUMENT.format("kernel_id", "str", "int"), None),
    "tested-in-order": (
        lambda: transmit(None, None),
        ARGUMENT.format("kernel_id", "str", "NoneType"),
        None,
    ),
    "dict-subclass": (
        lambda: finish(None, 200, Payload()),
        ARGUMENT.format("result", "dict", "Payload") + NOTE,
        None,
    ),
    "tuple-for-list": (
        lambda: pipeline(None, "k", ("a",), "n"),
        ARGUMENT.format("cell_ids", "list", "tuple"),
        None,
    ),
    "type-name-cut-at-200": (
        lambda: transmit(LONG("k"), {}),
        ARGUMENT.format("kernel_id", "str", "K" * 200) + NOTE,
        None,
    ),
    # Keywords bind by name in any order, `self` included: the type tests show where.
    "keywords-by-name": (
        lambda: transmit(data="k", kernel_id={}),
        ARGUMENT.format("kernel_id", "str", "dict"),
        None,
    ),
    "self-by-keyword": (
        lambda: pipeline(ipynb_name="n", cell_ids=(), kernel_id="k", self=0),
        ARGUMENT.format("cell_ids", "list", "tuple"),
        None,
    ),
    # Attribute assignments.
    "set-name": (
        lambda: setattr(transmit, "__name__", 5),
        "__name__ must be set to a string object",
        None,
    ),
    "del-name": (
        lambda: delattr(transmit, "__name__"),
        "__name__ must be set to a string object",
        None,
    ),
    "set-qualname": (
        lambda: setattr(transmit, "__qualname__", None),
        "__qualname__ must be set to a string object",
        None,
    ),
    "del-qualname": (
        lambda: delattr(transmit, "__qualname__"),
        "__qualname__ must be set to a string object",
        None,
    ),
    "set-defaults": (
        lambda: setattr(transmit, "__defaults__", []),
        "__defaults__ must be set to a tuple object",
        None,
    ),
    "set-kwdefaults": (
        lambda: setattr(transmit, "__kwdefaults__", ()),
        "__kwdefaults__ must be set to a dict object",
        None,
    ),
    "set-annotations": (
        lambda: setattr(transmit, "__annotations__", ["x"]),
        "__annotations__ must be set to a dict object",
        None,
    ),
}


@pytest.mark.parametrize("call, message, record", TYPE_ERRORS.values(), ids=TYPE_ERRORS)
def test_type_error(call, message, record):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message
    innermost = traceback.extract_tb(info.value.__traceback__)[-1]
    if record is None:
        assert (innermost.filename, innermost.name) == (__file__, "<lambda>")
    else:
        assert (innermost.name, innermost.filename, innermost.lineno) == record


@pytest.fixture
def no_connections(monkeypatch):
    monkeypatch.setattr(ZelvoWebSocketHandler, "registry", [])


@pytest.mark.parametrize(
    "call",
    [
        lambda: transmit(data={}, kernel_id="k"),
        lambda: transmit("k", data={}),
        lambda: transmit(*("k",), **{"data": {}}),
        lambda: transmit(**{"".join(["kernel", "_id"]): "k", "data": {}}),  # not interned
        lambda: type(transmit).__call__(transmit, data={}, kernel_id="k"),
        lambda: handler.transmit("k", {}),
    ],
    ids=["keywords-reversed", "mixed", "generic", "equal-name", "tp-call", "instance"],
)
def test_binding_succeeds(no_connections, call):
    assert call() is None


def test_rebound_global_is_seen(no_connections, monkeypatch):
    class Refusing:
        @staticmethod
        def dumps(data):
            raise LookupError("refused")

    assert transmit("k", {}) is None  # fills the reading site's cache
    monkeypatch.setattr(flowsync, "json", Refusing)
    with pytest.raises(LookupError):
        transmit("k", {})
    monkeypatch.undo()
    assert transmit("k", {}) is None
