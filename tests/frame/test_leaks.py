"""Frame paths repeated many times must not keep memory."""

import gc
import sys

from zelvo.server.handlers.flowsync import DAGHandler
from zelvo.server.handlers.pipeline_export.pipeport import ZelvoPipelineExportHandler
from zelvo.server.handlers.ws_handler import ZelvoWebSocketHandler

transmit = DAGHandler.transmit
pipeline = ZelvoPipelineExportHandler._get_pipeline


class KernelId(str):
    pass


FAILING = [
    lambda: transmit("k"),  # count, with a traceback record
    lambda: transmit(data={}),  # missing first parameter
    lambda: transmit("k", kernel_id="k"),  # multiple values
    lambda: transmit("k", {}, colour=1),  # unexpected keyword
    lambda: transmit("k", **{5: 6}),  # keyword not a str
    lambda: transmit(KernelId("k"), {}),  # subclass, with the note
    lambda: transmit(5, {}),  # wrong type
    lambda: pipeline(None, "k", None, "n"),  # None
    lambda: setattr(transmit, "__name__", 5),  # rejected assignment
]


def exercise(fn, rounds):
    for _ in range(rounds):
        transmit("k", {})
        transmit(data={}, kernel_id="k")
        for call in FAILING:
            try:
                call()
            except TypeError:
                pass
        fn.__doc__ = "changed"
        del fn.__doc__
        fn.__annotations__ = {"a": "b"}
        del fn.__annotations__
        fn.__name__ = "renamed"
        fn.__qualname__ = "Elsewhere.renamed"
        fn.extra = [1]
        del fn.extra


def test_repeated_paths_keep_no_memory():
    assert ZelvoWebSocketHandler.registry == []
    fn = DAGHandler._finish_with_result
    saved = fn.__name__, fn.__qualname__, fn.__doc__, fn.__annotations__
    try:
        exercise(fn, 1000)
        gc.collect()
        before = sys.getallocatedblocks()
        exercise(fn, 2000)
        gc.collect()
        assert sys.getallocatedblocks() - before < 50
    finally:
        fn.__name__, fn.__qualname__, fn.__doc__, fn.__annotations__ = saved
