"""The module body of flowsync: globals, the registry and the DAGHandler class."""

import importlib
import sys

import jupyter_server.base.handlers
import pytest
import tornado.web

import zelvo.server.handlers.flowsync as flowsync
from zelvo.server.handlers.flowsync import DAGHandler


def line_table(code):
    # co_lnotab gave way to co_linetable in 3.10, and warns from 3.12.
    return code.co_linetable if sys.version_info >= (3, 10) else code.co_lnotab


NativeFunction = type(DAGHandler.transmit)

DOC = """API Handler for DAG update.

    Args:
        APIHandler : API Handler provided by Jupyter Server

    Usage:
        ```
        uri = "http://127.0.0.1:8888/zelvo/kernels/<KERNEL_ID>"
        params = {"token": <TOKEN_ID>}
        data = {
            "dag_info": [
                {
                    "id": "2e26f0da-3774-4a08-8e96-589b176a0206",
                    "component_type": "code" | "parameter"
                    "parents_id": [
                        "7e26f0da-3774-4a08-8e96-589b176a0999",
                        ...
                    ],
                    "code": "b = a + 3",
                    "execution_status": "succeeded" | "failed" | "invalid" | "running"
                    "last_execution": "2021-07-27T13:34:35"
                },
                ...
            ]
        }
        resp = requests.post(uri, params=params, data=json.dumps(data))
        ```

    """


def test_globals_in_binding_order():
    assert list(vars(flowsync)) == [
        "__name__",
        "__doc__",
        "__package__",
        "__loader__",
        "__spec__",
        "__file__",
        "__builtins__",
        "json",
        "shutil",
        "traceback",
        "HTTPStatus",
        "Any",
        "Dict",
        "Set",
        "tornado",
        "APIHandler",
        "ZelvoPipelineModel",
        "get_dag_update_info",
        "ZelvoDagUpdateComponentModel",
        "ZelvoDagUpdateModel",
        "ZelvoWebSocketHandler",
        "dag_cabinet",
        "DAGHandler",
        "__test__",
    ]


@pytest.mark.parametrize(
    "name, source",
    [
        ("json", "json"),
        ("shutil", "shutil"),
        ("traceback", "traceback"),
        ("HTTPStatus", "http"),
        ("Any", "typing"),
        ("Dict", "typing"),
        ("Set", "typing"),
        ("tornado", "tornado"),
        ("APIHandler", "jupyter_server.base.handlers"),
        ("ZelvoPipelineModel", "zelvo_core.misc.models"),
        ("get_dag_update_info", "zelvo.server.misc.functions"),
        ("ZelvoDagUpdateComponentModel", "zelvo.server.misc.models"),
        ("ZelvoDagUpdateModel", "zelvo.server.misc.models"),
        ("ZelvoWebSocketHandler", "zelvo.server.handlers.ws_handler"),
        ("__builtins__", "builtins"),
    ],
)
def test_global_is_the_imported_object(name, source):
    module = importlib.import_module(source)
    expected = module if name in (source, "__builtins__") else getattr(module, name)
    assert getattr(flowsync, name) is expected


def test_module_attributes():
    spec = flowsync.__spec__
    assert flowsync.__doc__ is None
    assert flowsync.__file__ == spec.origin and flowsync.__loader__ is spec.loader
    assert flowsync.__package__ == "zelvo.server.handlers"
    assert type(flowsync.__test__) is dict and flowsync.__test__ == {}
    assert type(flowsync.dag_cabinet) is dict and flowsync.__test__ is not flowsync.dag_cabinet


def test_class():
    assert DAGHandler.__bases__ == (jupyter_server.base.handlers.APIHandler,)
    assert type(DAGHandler) is type(jupyter_server.base.handlers.APIHandler)
    assert DAGHandler.__module__ == "zelvo.server.handlers.flowsync"
    assert DAGHandler.__qualname__ == DAGHandler.__name__ == "DAGHandler"
    assert DAGHandler.__doc__ == DOC
    # type() consumes __qualname__; everything else stays in insertion order.
    assert list(DAGHandler.__dict__) == [
        "__module__",
        "__doc__",
        "_finish_with_result",
        "get",
        "post",
        "_remove_unused_kernels_on_cabinet",
        "transmit",
    ]


def test_wrapped_methods():
    stored = DAGHandler.__dict__
    assert type(stored["transmit"]) is staticmethod
    assert stored["transmit"].__func__ is DAGHandler.transmit
    assert type(DAGHandler.transmit) is NativeFunction
    for name in ("get", "post"):
        wrapper = stored[name]
        assert type(wrapper) is not NativeFunction and wrapper.__name__ == name
        assert type(wrapper.__wrapped__) is NativeFunction
        # What tornado's `authenticated` makes of the function, not some other wrapper.
        assert wrapper.__code__ is tornado.web.authenticated(wrapper.__wrapped__).__code__
    for name in ("_finish_with_result", "_remove_unused_kernels_on_cabinet"):
        assert type(stored[name]) is NativeFunction


def native(name):
    fn = DAGHandler.__dict__[name]
    return getattr(fn, "__wrapped__", None) or getattr(fn, "__func__", fn)


METHODS = {
    # name: (first line, argument count, variable names, annotations, docstring)
    "_finish_with_result": (
        66,
        3,
        ("self", "status_code", "result"),
        {"status_code": "HTTPStatus", "result": "Dict[str, Any]", "return": "None"},
        None,
    ),
    "get": (
        72,
        2,
        ("self", "kernel_id", "status_code", "result", "dag_update_info"),
        {"kernel_id": "str", "return": "None"},
        "Get current updated dag info by kernel_id.",
    ),
    "post": (
        89,
        2,
        (
            "self",
            "kernel_id",
            "status_code",
            "result",
            "data",
            "procedure",
            "status",
            "msg",
            "successful",
            "exp",
            "dag_info",
            "dag_update_info",
            "updated_components",
            "fp",
        ),
        {"kernel_id": "str", "return": "None"},
        "Register dag_info as kernel_id.",
    ),
    "_remove_unused_kernels_on_cabinet": (
        146,
        1,
        (
            "self",
            "kernel_ids",
            "unused_kernel_ids",
            "unused_kernel_id",
            "unused_diskcache_dir",
            "kernel",
        ),
        {"return": "None"},
        None,
    ),
    "transmit": (
        154,
        2,
        ("kernel_id", "data", "payload", "handler"),
        {"kernel_id": "str", "data": "Dict[str, Any]", "return": "None"},
        "transmit DAG info to websocket connection which has kernel id",
    ),
}


@pytest.mark.parametrize("name", METHODS)
def test_method(name):
    first_line, argcount, varnames, annotations, doc = METHODS[name]
    fn = native(name)
    assert (fn.__name__, fn.__qualname__, fn.__module__) == (
        name,
        "DAGHandler." + name,
        "zelvo.server.handlers.flowsync",
    )
    assert fn.__doc__ == doc
    assert list(fn.__annotations__.items()) == list(annotations.items())
    assert fn.__defaults__ is None and fn.__kwdefaults__ is None
    code = fn.__code__
    assert (code.co_name, code.co_filename, code.co_firstlineno) == (
        name,
        "zelvo/server/handlers/flowsync",
        first_line,
    )
    assert (code.co_argcount, code.co_posonlyargcount, code.co_kwonlyargcount) == (argcount, 0, 0)
    assert code.co_varnames == varnames and code.co_nlocals == len(varnames)
    assert (code.co_stacksize, code.co_flags, code.co_code, line_table(code)) == (0, 3, b"", b"")
    assert code.co_consts == code.co_names == code.co_freevars == code.co_cellvars == ()
