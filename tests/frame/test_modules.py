"""The module bodies of flowsync and pipeport: globals, classes and their stored methods."""

import builtins
import importlib
import sys

import pytest
import tornado.web

import zelvo.server.handlers.flowsync as flowsync
import zelvo.server.handlers.pipeline_export.pipeport as pipeport

NativeFunction = type(flowsync.DAGHandler.transmit)
HEAD = ["__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__", "__builtins__"]

# module: its imports in binding order ("module" or "module:name"), then what the body binds
GLOBALS = {
    flowsync: (
        "json shutil traceback http:HTTPStatus typing:Any typing:Dict "
        "typing:Set tornado jupyter_server.base.handlers:APIHandler "
        "zelvo_core.misc.models:ZelvoPipelineModel zelvo_core.misc.models:InvalidPipelineError "
        "zelvo.server.update:get_dag_update_info "
        "zelvo.server.update:ZelvoDagUpdateComponentModel "
        "zelvo.server.update:ZelvoDagUpdateModel "
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
            + ["_remove_unused_kernels_on_cabinet", "transmit", "register"],
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


def native_methods():
    for cls in (flowsync.DAGHandler, pipeport.ZelvoPipelineExportHandler):
        for name, stored in vars(cls).items():
            fn = getattr(stored, "__wrapped__", None) or getattr(stored, "__func__", stored)
            if type(fn) is NativeFunction:
                yield pytest.param(cls, name, fn, id=name)


# What holds for every method made from a descriptor, whatever the descriptor says.
@pytest.mark.parametrize("cls, name, fn", list(native_methods()))
def test_function_and_code_agree(cls, name, fn):
    module = sys.modules[cls.__module__]
    assert fn.__globals__ is vars(module)
    assert (fn.__name__, fn.__qualname__, fn.__module__) == (
        name,
        f"{cls.__name__}.{name}",
        module.__name__,
    )
    code = fn.__code__
    assert code.co_name == name and code.co_filename == module.__name__.replace(".", "/")
    assert (code.co_posonlyargcount, code.co_kwonlyargcount) == (0, 0)
    assert code.co_nlocals == len(code.co_varnames) >= code.co_argcount > 0
    assert set(fn.__annotations__) <= {*code.co_varnames[: code.co_argcount], "return"}
    # co_lnotab gave way to co_linetable in 3.10, and warns from 3.12.
    lines = code.co_linetable if sys.version_info >= (3, 10) else code.co_lnotab
    assert (code.co_stacksize, code.co_flags, code.co_code, lines) == (0, 3, b"", b"")
    assert code.co_consts == code.co_names == code.co_freevars == code.co_cellvars == ()
