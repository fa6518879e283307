"""What Python sees of a NativeFunction: attributes, type, descriptor, pickling, gc."""

import asyncio
import contextlib
import copy
import gc
import inspect
import pickle
import sys
import types
import warnings
import weakref

import pytest

import zelvo.server.handlers.flowsync as flowsync
from zelvo.server.handlers.flowsync import DAGHandler
from zelvo.server.handlers.pipeline_export.pipeport import ZelvoPipelineExportHandler

NativeFunction = type(DAGHandler.transmit)
REJECTED = object()  # deletion raises TypeError
row = pytest.param


class Text(str):
    pass


class Pair(tuple):
    pass


class Mapping(dict):
    pass


@pytest.fixture
def fn():
    """DAGHandler.transmit, with every writable attribute restored afterwards."""
    f = DAGHandler.transmit
    saved = {attr: getattr(f, attr) for attr in ATTRIBUTES}
    saved_dict = dict(f.__dict__)
    yield f
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        for attr, value in saved.items():
            setattr(f, attr, value)
    f.__dict__ = saved_dict


# attr: (accepted values, stored as given; rejected values; the value after deletion, or
# REJECTED; the type named in the TypeError's message)
ATTRIBUTES = {
    "__name__": row(["renamed", Text("renamed")], [5, None, b"x"], REJECTED, "string"),
    "__qualname__": row(["Elsewhere.renamed", Text("x")], [5, None, b"x"], REJECTED, "string"),
    "__doc__": row(["other", 5, None], [], None, None),
    "__module__": row(["elsewhere", 5], [], None, None),
    "__annotations__": row([{"x": "int"}, Mapping()], [["x"], "x"], {}, "dict"),
    # Accepted with a RuntimeWarning at the assignment: calls bind without them.
    "__defaults__": row([(), ({},), Pair()], [[], {}], None, "tuple"),
    "__kwdefaults__": row([{}, {"data": {}}, Mapping()], [(), []], None, "dict"),
}


@pytest.mark.parametrize("attr", ATTRIBUTES)
def test_set_and_delete(fn, attr):
    accepted, rejected, after_delete, kind = ATTRIBUTES[attr].values
    warns = "defaults" in attr
    with pytest.warns(RuntimeWarning, match=attr) if warns else contextlib.nullcontext() as seen:
        for value in accepted:
            setattr(fn, attr, value)
            assert getattr(fn, attr) is value
        changes = [lambda v=v: setattr(fn, attr, v) for v in rejected]
        if after_delete is REJECTED:
            changes.append(lambda: delattr(fn, attr))
        for change in changes:
            before = getattr(fn, attr)
            with pytest.raises(TypeError) as info:
                change()
            assert str(info.value) == f"{attr} must be set to a {kind} object"
            assert getattr(fn, attr) is before
        if after_delete is not REJECTED:
            old = getattr(fn, attr)
            delattr(fn, attr)
            assert getattr(fn, attr) == after_delete and getattr(fn, attr) is getattr(fn, attr)
            assert after_delete is None or getattr(fn, attr) is not old
    if warns:  # stack level 1: the warning points at the assignment
        assert {w.filename for w in seen} == {__file__}


def test_name_and_repr(fn):
    assert fn.__name__ is sys.intern("transmit")
    fn.__qualname__ = "Elsewhere.renamed"
    assert repr(fn) == f"<NativeFunction Elsewhere.renamed at {hex(id(fn))}>"


def test_defaults_do_not_bind_and_warning_as_error_refuses(fn):
    with warnings.catch_warnings():
        warnings.simplefilter("error", RuntimeWarning)
        with pytest.raises(RuntimeWarning):
            fn.__defaults__ = ()
    assert fn.__defaults__ is None
    with pytest.warns(RuntimeWarning):
        fn.__defaults__, fn.__kwdefaults__ = ({},), {"data": {}}
    with pytest.raises(TypeError, match=r"\(1 given\)"):
        fn("k")


def test_dict(fn):
    fn.colour = "red"
    assert fn.__dict__ == {"colour": "red"}
    del fn.colour
    assert not hasattr(fn, "colour")
    fn.__dict__ = replacement = {"shape": "round"}
    assert fn.__dict__ is replacement and fn.shape == "round"
    for change in (lambda: setattr(fn, "__dict__", 5), lambda: delattr(fn, "__dict__")):
        with pytest.raises(TypeError):
            change()


@pytest.mark.parametrize(
    "attr, expected",
    [
        ("__globals__", vars(flowsync)),
        ("__closure__", None),
        ("__code__", DAGHandler.transmit.__code__),
        ("_is_coroutine", False),
    ],
)
def test_read_only(fn, attr, expected):
    assert getattr(fn, attr) is expected
    for change in (lambda: setattr(fn, attr, None), lambda: delattr(fn, attr)):
        with pytest.raises(AttributeError):
            change()
        assert getattr(fn, attr) is expected
    assert not asyncio.iscoroutinefunction(fn) and not inspect.iscoroutinefunction(fn)


def test_type_is_shared_and_closed():
    assert NativeFunction.__name__ == "NativeFunction"
    assert type(ZelvoPipelineExportHandler._get_pipeline) is NativeFunction
    # Registered where the next module to initialise finds it, under whatever name.
    assert any(v is NativeFunction for v in vars(sys.modules["_zelvo_frame"]).values())
    with pytest.raises(TypeError):
        NativeFunction()
    for change in (
        lambda: setattr(NativeFunction, "extra", 1),
        lambda: setattr(NativeFunction, "__repr__", repr),
        lambda: delattr(NativeFunction, "__call__"),
    ):
        with pytest.raises(TypeError, match="immutable type"):
            change()
    assert not hasattr(NativeFunction, "extra")


def test_descriptor():
    fn = DAGHandler.__dict__["_finish_with_result"]
    assert DAGHandler._finish_with_result is fn and fn.__get__(None, DAGHandler) is fn
    instance = object.__new__(DAGHandler)
    bound = instance._finish_with_result
    assert type(bound) is types.MethodType
    assert bound.__self__ is instance and bound.__func__ is fn
    assert instance.transmit is DAGHandler.transmit  # a staticmethod


@pytest.mark.parametrize("fn", [DAGHandler.transmit, ZelvoPipelineExportHandler._get_pipeline])
def test_pickled_by_qualified_name(fn):
    assert fn.__reduce__() == fn.__qualname__
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        assert pickle.loads(pickle.dumps(fn, protocol)) is fn
    assert copy.copy(fn) is fn and copy.deepcopy(fn) is fn


def test_weak_references_and_gc(fn):
    assert weakref.ref(fn)() is fn and fn in weakref.WeakSet([fn])
    assert gc.is_tracked(fn)
    fn.marker = object()
    referents = gc.get_referents(fn)
    for owned in (fn.__dict__, fn.__globals__, fn.__code__, fn.__annotations__):
        assert any(r is owned for r in referents)
