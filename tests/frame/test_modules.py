"""The module bodies of flowsync and pipeport: globals, classes, methods and code objects."""

import builtins
import importlib
import sys

import pytest
import tornado.web

import zelvo.server.handlers.flowsync as flowsync
import zelvo.server.handlers.pipeline_export.pipeport as pipeport

NativeFunction = type(flowsync.DAGHandler.transmit)
row = pytest.param
GET_DOC, POST_DOC = "Get current updated dag info by kernel_id.", "Register dag_info as kernel_id."
TRANSMIT_DOC = "transmit DAG info to websocket connection which has kernel id"
HEAD = ["__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__", "__builtins__"]

# module: its imports in binding order ("module" or "module:name"), then what the body binds
GLOBALS = {
    flowsync: (
        "json shutil traceback http:HTTPStatus typing:Any typing:Dict "
        "typing:Set tornado jupyter_server.base.handlers:APIHandler "
        "zelvo_core.misc.models:ZelvoPipelineModel zelvo_core.misc.models:InvalidPipelineError "
        "zelvo.server.misc.functions:get_dag_update_info "
        "zelvo.server.misc.models:ZelvoDagUpdateComponentModel "
        "zelvo.server.misc.models:ZelvoDagUpdateModel "
        "zelvo.server.handlers.ws_handler:ZelvoWebSocketHandler",
        ["dag_cabinet", "DAGHandler", "__test__"],
    ),
    pipeport: (
        "json typing:List typing:Tuple "
        "zelvo_core.misc.models:ZelvoPipelineModel zelvo.server.handlers.flowsync:dag_cabinet "
        "zelvo.server.handlers.pipeline_export.base_handler:BasePipelineExportHandler",
        ["ZelvoPipelineExportHandler", "__test__"],
    ),
}


@pytest.mark.parametrize("module", GLOBALS, ids=lambda m: m.__name__.rsplit(".")[-1])
def test_globals(module):
    imports, made = GLOBALS[module]
    imported = [entry.partition(":")[::2] for entry in imports.split()]
    assert list(vars(module)) == HEAD + [name or source for source, name in imported] + made
    for source, name in imported:
        found = importlib.import_module(source)
        assert getattr(module, name or source) is (getattr(found, name) if name else found)
    assert vars(module)["__builtins__"] is builtins and module.__doc__ is None
    assert module.__file__ == module.__spec__.origin
    assert module.__loader__ is module.__spec__.loader
    assert module.__package__ == module.__name__.rsplit(".", 1)[0]
    assert type(module.__test__) is dict and module.__test__ == {}
    assert type(module.dag_cabinet) is dict and module.dag_cabinet is not module.__test__
    assert pipeport.dag_cabinet is flowsync.dag_cabinet
    assert pipeport.__test__ is not flowsync.__test__


# The start and the end of the class docstring, a usage example.
DAG_DOC = (
    "API Handler for DAG update.\n\n    Args:\n        APIHandler : API Handler provided by",
    "resp = requests.post(uri, params=params, data=json.dumps(data))\n        ```\n\n    ",
)


@pytest.mark.parametrize(
    "cls, base, doc, names",
    [
        (
            flowsync.DAGHandler,
            flowsync.APIHandler,
            DAG_DOC,
            # type() consumes __qualname__; the rest stays in insertion order.
            ["__module__", "__doc__", "_finish_with_result", "get", "post"]
            + ["_remove_unused_kernels_on_cabinet", "transmit"],
        ),
        # type() adds __doc__ = None last.
        (
            pipeport.ZelvoPipelineExportHandler,
            pipeport.BasePipelineExportHandler,
            None,
            ["__module__", "_get_pipeline", "__doc__"],
        ),
    ],
    ids=["flowsync", "pipeport"],
)
def test_class(cls, base, doc, names):
    assert cls.__bases__ == (base,) and type(cls) is type(base)
    assert vars(sys.modules[cls.__module__])[cls.__name__] is cls
    assert cls.__qualname__ == cls.__name__
    assert cls.__doc__ == doc or cls.__doc__.startswith(doc[0]) and cls.__doc__.endswith(doc[1])
    assert list(cls.__dict__) == names


def test_wrapped_methods():
    stored = flowsync.DAGHandler.__dict__
    assert type(stored["transmit"]) is staticmethod
    for name in ("get", "post"):
        wrapper = stored[name]
        assert type(wrapper) is not NativeFunction and wrapper.__name__ == name
        # What tornado's `authenticated` makes of the function, not some other wrapper.
        assert wrapper.__code__ is tornado.web.authenticated(wrapper.__wrapped__).__code__


D, E = flowsync.DAGHandler, pipeport.ZelvoPipelineExportHandler
KERNEL_ID = {"kernel_id": "str", "return": "None"}
TRANSMIT = {"kernel_id": "str", "data": "Dict[str, Any]", "return": "None"}
EXPORT = {"kernel_id": "str", "cell_ids": "List[str]", "ipynb_name": "str"}
POST_LOCALS = "status_code result data procedure status msg successful exp dag_info"
# (class, name): (first line, "arguments | other locals", annotations, docstring)
METHODS = {
    (D, "_finish_with_result"): row(
        66,
        "self status_code result |",
        {"status_code": "HTTPStatus", "result": "Dict[str, Any]", "return": "None"},
        None,
    ),
    (D, "get"): row(72, "self kernel_id | status_code result dag_update_info", KERNEL_ID, GET_DOC),
    (D, "post"): row(
        89,
        f"self kernel_id | {POST_LOCALS} dag_update_info updated_components fp",
        KERNEL_ID,
        POST_DOC,
    ),
    (D, "_remove_unused_kernels_on_cabinet"): row(
        146,
        "self | kernel_ids unused_kernel_ids unused_kernel_id unused_diskcache_dir kernel",
        {"return": "None"},
        None,
    ),
    (D, "transmit"): row(154, "kernel_id data | payload handler", TRANSMIT, TRANSMIT_DOC),
    (E, "_get_pipeline"): row(
        28,
        "self kernel_id cell_ids ipynb_name | dag_info pipeline_contents pipeline_type exp",
        {**EXPORT, "return": "Tuple[str, str]"},
        None,
    ),
}


@pytest.mark.parametrize("cls, name", METHODS, ids=lambda x: getattr(x, "__name__", x))
def test_method_and_code(cls, name):
    first_line, varnames, annotations, doc = METHODS[cls, name].values
    fn = cls.__dict__[name]
    fn = getattr(fn, "__wrapped__", None) or getattr(fn, "__func__", fn)
    module = sys.modules[cls.__module__]
    assert type(fn) is NativeFunction and fn.__globals__ is vars(module)
    names = (fn.__name__, fn.__qualname__, fn.__module__, fn.__doc__)
    assert names == (name, f"{cls.__name__}.{name}", module.__name__, doc)
    assert list(fn.__annotations__.items()) == list(annotations.items())
    code = fn.__code__
    assert code.co_name == name and code.co_firstlineno == first_line
    assert code.co_filename == module.__name__.replace(".", "/")
    argcount = len(varnames.partition("|")[0].split())
    assert (code.co_argcount, code.co_posonlyargcount, code.co_kwonlyargcount) == (argcount, 0, 0)
    assert code.co_varnames == tuple(varnames.replace("|", "").split())
    assert code.co_nlocals == len(code.co_varnames)
    # co_lnotab gave way to co_linetable in 3.10, and warns from 3.12.
    lines = code.co_linetable if sys.version_info >= (3, 10) else code.co_lnotab
    assert (code.co_stacksize, code.co_flags, code.co_code, lines) == (0, 3, b"", b"")
    assert code.co_consts == code.co_names == code.co_freevars == code.co_cellvars == ()
