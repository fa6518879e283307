"""A clean DAG registry per test, and what the _get_pipeline tests share."""

import traceback

import pytest

from zelvo.server.handlers import flowsync
from zelvo.server.handlers.pipeline_export import pipeport

SOURCE = "zelvo/server/handlers/pipeline_export/pipeport"
QUALIFIED = (
    "zelvo.server.handlers.pipeline_export.pipeport.ZelvoPipelineExportHandler._get_pipeline"
)


@pytest.fixture(autouse=True)
def cabinet():
    # pipeport holds flowsync's registry itself; clear it, never rebind it.
    assert pipeport.dag_cabinet is flowsync.dag_cabinet
    flowsync.dag_cabinet.clear()
    yield flowsync.dag_cabinet
    flowsync.dag_cabinet.clear()


@pytest.fixture()
def handler():
    # The method neither tests nor reads ``self``; an instance made without a
    # request still exercises the binding that the export machinery uses.
    return pipeport.ZelvoPipelineExportHandler.__new__(pipeport.ZelvoPipelineExportHandler)


@pytest.fixture()
def remove_global():
    """``remove_global(name)`` takes a global out of pipeport for this test only.

    The module dict is restored in its original order as well: put back by a
    plain assignment, a name would move to the end.
    """
    namespace = vars(pipeport)
    saved = list(namespace.items())
    yield namespace.__delitem__
    namespace.clear()
    namespace.update(saved)


@pytest.fixture()
def native_lines():
    """The lines of the method's traceback entries in ``exc``, outermost first."""

    def lines(exc):
        entries = [
            entry for entry in traceback.extract_tb(exc.__traceback__) if entry.filename == SOURCE
        ]
        assert all(entry.name == QUALIFIED for entry in entries), entries
        return [entry.lineno for entry in entries]

    return lines
