"""What Python sees of a NativeFunction: attributes, type, descriptor, pickling, gc."""

import asyncio
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
REJECTED = object()  # deletion must raise TypeError


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
    saved = {
        a: getattr(f, a)
        for a in (
            "__name__",
            "__qualname__",
            "__doc__",
            "__module__",
            "__annotations__",
            "__defaults__",
            "__kwdefaults__",
        )
    }
    saved_dict = dict(f.__dict__)
    yield f
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        for attr, value in saved.items():
            setattr(f, attr, value)
    f.__dict__ = saved_dict


def check_set_delete(fn, attr, accepted, rejected, after_delete):
    """Accepted values are stored as given; rejected ones raise TypeError and change nothing;
    deletion gives `after_delete`, or raises TypeError when that is REJECTED."""
    for value in accepted:
        setattr(fn, attr, value)
        assert getattr(fn, attr) is value
    for value in rejected:
        before = getattr(fn, attr)
        with pytest.raises(TypeError):
            setattr(fn, attr, value)
        assert getattr(fn, attr) is before
    if after_delete is REJECTED:
        before = getattr(fn, attr)
        with pytest.raises(TypeError):
            delattr(fn, attr)
        assert getattr(fn, attr) is before
    else:
        delattr(fn, attr)
        assert getattr(fn, attr) == after_delete


class TestNames:
    def test_read(self, fn):
        assert fn.__name__ == "transmit" and fn.__name__ is sys.intern("transmit")
        assert fn.__qualname__ == "DAGHandler.transmit"

    @pytest.mark.parametrize("attr", ["__name__", "__qualname__"])
    def test_set_delete(self, fn, attr):
        check_set_delete(fn, attr, ["renamed", Text("renamed")], [5, None, b"x"], REJECTED)

    def test_repr_follows_qualname(self, fn):
        fn.__qualname__ = "Elsewhere.renamed"
        text = repr(fn)
        assert text[0] + text[-1] == "<>"
        assert all(part in text for part in ("NativeFunction", "Elsewhere.renamed", hex(id(fn))))


class TestPlainAttributes:
    def test_doc(self, fn):
        assert fn.__doc__ == "transmit DAG info to websocket connection which has kernel id"
        assert DAGHandler._finish_with_result.__doc__ is None
        check_set_delete(fn, "__doc__", ["other", 5, None], [], None)

    def test_module(self, fn):
        assert fn.__module__ == "zelvo.server.handlers.flowsync"
        check_set_delete(fn, "__module__", ["elsewhere", 5], [], None)


class TestDict:
    def test_attributes(self, fn):
        fn.colour = "red"
        assert fn.__dict__ == {"colour": "red"}
        del fn.colour
        assert not hasattr(fn, "colour")
        replacement = {"shape": "round"}
        fn.__dict__ = replacement
        assert fn.__dict__ is replacement and fn.shape == "round"

    def test_rejected(self, fn):
        with pytest.raises(TypeError):
            fn.__dict__ = 5
        with pytest.raises(TypeError):
            del fn.__dict__


class TestDefaults:
    @pytest.mark.parametrize(
        "attr, accepted, rejected",
        [
            ("__defaults__", [(), ({},), Pair()], [[], {}]),
            ("__kwdefaults__", [{}, {"data": {}}, Mapping()], [(), []]),
        ],
    )
    def test_set_delete(self, fn, attr, accepted, rejected):
        assert getattr(fn, attr) is None
        with pytest.warns(RuntimeWarning, match=attr) as record:
            check_set_delete(fn, attr, accepted, rejected, None)
        # Stack level 1: the warning points at the assignment.
        assert {w.filename for w in record} == {__file__}

    @pytest.mark.parametrize(
        "attr, value", [("__defaults__", ({},)), ("__kwdefaults__", {"data": {}})]
    )
    def test_stored_values_do_not_bind(self, fn, attr, value):
        with pytest.warns(RuntimeWarning):
            setattr(fn, attr, value)
        with pytest.raises(TypeError, match=r"\(1 given\)"):
            fn("k")

    def test_warning_as_error_fails_the_assignment(self, fn):
        with warnings.catch_warnings():
            warnings.simplefilter("error", RuntimeWarning)
            with pytest.raises(RuntimeWarning):
                fn.__defaults__ = ()
        assert fn.__defaults__ is None


class TestAnnotations:
    def test_set_delete(self, fn):
        check_set_delete(fn, "__annotations__", [{"x": "int"}, Mapping()], [["x"], "x"], {})

    @pytest.mark.parametrize(
        "clear",
        [lambda f: setattr(f, "__annotations__", None), lambda f: delattr(f, "__annotations__")],
        ids=["none", "delete"],
    )
    def test_cleared_gives_a_new_stored_dict(self, fn, clear):
        old = fn.__annotations__
        clear(fn)
        new = fn.__annotations__
        assert new == {} and new is not old and fn.__annotations__ is new


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
    assert sys.modules["_zelvo_frame"]._native_function_v1 is NativeFunction
    with pytest.raises(TypeError):
        NativeFunction()
    for change in (
        lambda: setattr(NativeFunction, "extra", 1),
        lambda: setattr(NativeFunction, "__repr__", repr),
        lambda: delattr(NativeFunction, "__call__"),
    ):
        with pytest.raises(TypeError):
            change()
    assert not hasattr(NativeFunction, "extra")


def test_descriptor():
    fn = DAGHandler.__dict__["_finish_with_result"]
    assert DAGHandler._finish_with_result is fn and fn.__get__(None, DAGHandler) is fn
    instance = object.__new__(DAGHandler)
    bound = instance._finish_with_result
    assert type(bound) is types.MethodType
    assert bound.__self__ is instance and bound.__func__ is fn
    # transmit is a staticmethod: no binding through an instance either.
    assert instance.transmit is DAGHandler.transmit


@pytest.mark.parametrize(
    "fn",
    [
        DAGHandler._finish_with_result,
        DAGHandler.transmit,
        ZelvoPipelineExportHandler._get_pipeline,
    ],
    ids=lambda f: f.__name__,
)
def test_pickled_by_qualified_name(fn):
    assert fn.__reduce__() == fn.__qualname__
    assert fn.__qualname__.encode() in pickle.dumps(fn, 4)
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


@pytest.mark.parametrize(
    "fn, expected",
    [
        (DAGHandler.transmit, "(kernel_id: 'str', data: 'Dict[str, Any]') -> 'None'"),
        (DAGHandler.get, "(self, kernel_id: 'str') -> 'None'"),
        (
            object.__new__(ZelvoPipelineExportHandler)._get_pipeline,
            "(kernel_id: 'str', cell_ids: 'List[str]', ipynb_name: 'str') -> 'Tuple[str, str]'",
        ),
    ],
    ids=["static", "wrapped", "bound"],
)
def test_signature(fn, expected):
    assert str(inspect.signature(fn)) == expected
