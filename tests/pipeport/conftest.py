import pytest

from zelvo.server.handlers import flowsync
from zelvo.server.handlers.pipeline_export import pipeport


@pytest.fixture(autouse=True)
def cabinet():
    # pipeport holds flowsync's registry itself; clear it, never rebind it.
    flowsync.dag_cabinet.clear()
    yield flowsync.dag_cabinet
    flowsync.dag_cabinet.clear()


@pytest.fixture()
def method():
    """_get_pipeline bound to a handler made without a request: the method never reads it."""
    return object.__new__(pipeport.ZelvoPipelineExportHandler)._get_pipeline


@pytest.fixture()
def remove_global():
    """``remove_global(name)`` takes a global out of pipeport for this test only, the module
    dict restored in its original order afterwards."""
    namespace = vars(pipeport)
    saved = list(namespace.items())
    yield namespace.__delitem__
    namespace.clear()
    namespace.update(saved)
