"""The module body of pipeport: globals, the shared registry and the export handler class."""

import builtins
import json
import sys
import typing

import pytest

import zelvo.server.handlers.flowsync as flowsync
import zelvo.server.handlers.pipeline_export.pipeport as pipeport
import zelvo_core.misc.models
from zelvo.server.handlers.pipeline_export.base_handler import BasePipelineExportHandler
from zelvo.server.handlers.pipeline_export.pipeport import ZelvoPipelineExportHandler


def line_table(code):
    # co_lnotab gave way to co_linetable in 3.10, and warns from 3.12.
    return code.co_linetable if sys.version_info >= (3, 10) else code.co_lnotab


def test_globals_in_binding_order():
    assert list(vars(pipeport)) == [
        "__name__",
        "__doc__",
        "__package__",
        "__loader__",
        "__spec__",
        "__file__",
        "__builtins__",
        "json",
        "List",
        "Tuple",
        "ZelvoPipelineModel",
        "dag_cabinet",
        "BasePipelineExportHandler",
        "ZelvoPipelineExportHandler",
        "__test__",
    ]


@pytest.mark.parametrize(
    "name, expected",
    [
        ("json", json),
        ("List", typing.List),
        ("Tuple", typing.Tuple),
        ("ZelvoPipelineModel", zelvo_core.misc.models.ZelvoPipelineModel),
        ("dag_cabinet", flowsync.dag_cabinet),
        ("BasePipelineExportHandler", BasePipelineExportHandler),
        ("__builtins__", builtins),
    ],
)
def test_global_is_the_imported_object(name, expected):
    assert getattr(pipeport, name) is expected


def test_module_attributes():
    assert pipeport.__doc__ is None
    assert pipeport.__file__ == pipeport.__spec__.origin
    assert pipeport.__package__ == "zelvo.server.handlers.pipeline_export"
    assert type(pipeport.__test__) is dict and pipeport.__test__ == {}
    assert pipeport.__test__ is not flowsync.__test__


def test_class():
    cls = ZelvoPipelineExportHandler
    assert cls.__bases__ == (BasePipelineExportHandler,)
    assert type(cls) is type(BasePipelineExportHandler)
    assert (cls.__module__, cls.__qualname__, cls.__doc__) == (
        "zelvo.server.handlers.pipeline_export.pipeport",
        "ZelvoPipelineExportHandler",
        None,
    )
    # type() consumes __qualname__ and adds __doc__ = None last.
    assert list(cls.__dict__) == ["__module__", "_get_pipeline", "__doc__"]


def test_get_pipeline():
    fn = ZelvoPipelineExportHandler.__dict__["_get_pipeline"]
    assert type(fn) is type(flowsync.DAGHandler.transmit)
    assert (fn.__name__, fn.__qualname__, fn.__module__, fn.__doc__) == (
        "_get_pipeline",
        "ZelvoPipelineExportHandler._get_pipeline",
        "zelvo.server.handlers.pipeline_export.pipeport",
        None,
    )
    assert fn.__globals__ is vars(pipeport)
    assert list(fn.__annotations__.items()) == [
        ("kernel_id", "str"),
        ("cell_ids", "List[str]"),
        ("ipynb_name", "str"),
        ("return", "Tuple[str, str]"),
    ]
    code = fn.__code__
    assert (code.co_name, code.co_filename, code.co_firstlineno) == (
        "_get_pipeline",
        "zelvo/server/handlers/pipeline_export/pipeport",
        28,
    )
    assert (code.co_argcount, code.co_posonlyargcount, code.co_kwonlyargcount) == (4, 0, 0)
    assert code.co_varnames == (
        "self",
        "kernel_id",
        "cell_ids",
        "ipynb_name",
        "dag_info",
        "pipeline_contents",
        "pipeline_type",
        "exp",
    )
    assert code.co_nlocals == 8
    assert (code.co_stacksize, code.co_flags, code.co_code, line_table(code)) == (0, 3, b"", b"")
    assert code.co_consts == code.co_names == code.co_freevars == code.co_cellvars == ()
