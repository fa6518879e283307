"""``_get_pipeline``: a registered pipeline as export contents, or why there are none."""

import gc
import itertools
import json
import sys
import weakref
from types import SimpleNamespace as ns

import pytest

from zelvo.server.handlers.pipeline_export import pipeport
from zelvo_core.misc.models import ZelvoPipelineModel

NO_COMPONENTS = ("There are no components in this pipeline.", "error")
DELETED = object()


class Entry:
    """A registered model as the method uses it: ``graph.components`` and ``to_zelvo_dict``,
    which returns ``document`` or raises what ``fail()`` makes."""

    def __init__(self, components=("a",), document=None, fail=None):
        self.graph = ns(components=components)
        self.document = {"a": 1} if document is None else document
        self.fail, self.calls = fail, []

    def to_zelvo_dict(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        if self.fail is not None:
            raise self.fail()
        return self.document


class Unjudgeable:
    def __bool__(self):
        raise ValueError("no truth value")


class Unprintable(Exception):
    def __str__(self):
        raise RuntimeError("no text")


class Traced(ValueError):
    """Watched through a weak reference."""


def test_model_is_exported_as_its_json_text(cabinet, method, component):
    model = cabinet["k"] = ZelvoPipelineModel(
        identifier="k", dag_info=[component("a"), component("b", ["a"], code="print('\u00e9', a)")]
    )
    result = method("k", ["a"], "n.ipynb")
    assert result == (json.dumps(model.to_zelvo_dict(include_captured=False)), "json")
    assert method("k", ["a"], "n.ipynb") is not result
    # The cell ids and the notebook's name change nothing.
    assert method(kernel_id="k", cell_ids=[1, None], ipynb_name="") == result


@pytest.mark.parametrize(
    "components", [[], None, 0, False, {}, type("Falsy", (), {"__len__": lambda self: 0})()]
)
def test_no_components_is_the_one_constant(cabinet, method, monkeypatch, components):
    entry = cabinet["k"] = Entry(components=components)
    cabinet["other"] = Entry(components=[])
    monkeypatch.setattr(pipeport, "json", ns())  # json must not be touched
    first = method("k", [], "n.ipynb")
    assert first == NO_COMPONENTS
    assert method("k", [], "n.ipynb") is first and method("other", [], "n.ipynb") is first
    assert entry.calls == []


def test_constant_path_allocates_nothing(cabinet, method):
    cabinet["empty"] = Entry(components=[])
    cells, name = [], "n.ipynb"
    shared = [method.__self__, cells, name, NO_COMPONENTS, cabinet["empty"]]

    def blocks_gained(run, times):
        gc.collect()
        gc.disable()
        try:
            before = sys.getallocatedblocks()
            for _ in itertools.repeat(None, times):
                run()
            return sys.getallocatedblocks() - before
        finally:
            gc.enable()

    def constant():
        return method("empty", cells, name)

    def idle():
        return None

    for run in (constant, idle):
        blocks_gained(run, 100)
    references = [sys.getrefcount(item) for item in shared]
    # The measuring loop costs a block or two itself; the calls must add none.
    assert blocks_gained(constant, 10_000) == blocks_gained(idle, 10_000)
    assert [sys.getrefcount(item) for item in shared] == references


def test_document_and_text_are_passed_on_unchanged(cabinet, method, monkeypatch):
    # Key order, a float and a non-ASCII text show the default dumps options.
    document = {"b": 1, "a": [1.5, "\u00e9", None]}
    entry = cabinet["k"] = Entry(document=document)
    dumped = []
    dumps = lambda *args, **kwargs: dumped.append((args, kwargs)) or json.dumps(*args)  # noqa: E731
    monkeypatch.setattr(pipeport, "json", ns(dumps=dumps))
    assert method("k", [], "n.ipynb") == (json.dumps(document), "json")
    assert entry.calls == [((), {"include_captured": False})]
    assert entry.calls[0][1]["include_captured"] is False
    assert dumped == [((document,), {})] and dumped[0][0][0] is document


def _json_error(value):
    try:
        json.dumps(value)
    except TypeError as exc:
        return str(exc)


@pytest.mark.parametrize(
    ("entry", "json_module", "expected"),
    [
        (Entry(fail=lambda: ValueError("bad")), None, ("bad", "error")),
        (Entry(fail=RuntimeError), None, ("", "error")),
        (Entry(fail=lambda: OSError(2, "gone")), None, ("[Errno 2] gone", "error")),
        (Entry(document={"x": {1}}), None, (_json_error({"x": {1}}), "error")),
        (
            Entry(),
            ns(dumps=lambda value: b"{}"),
            ("Expected str, got bytes", "error"),
        ),
        (Entry(), ns(dumps=lambda value: None), (None, "json")),
        (Entry(), DELETED, ("name 'json' is not defined", "error")),
    ],
    ids=["value-error", "no-args", "os-error", "unserialisable", "bytes", "none", "no-json"],
)
def test_serialisation_outcomes(
    cabinet, method, monkeypatch, remove_global, entry, json_module, expected
):
    cabinet["k"] = entry
    # A first call with the real json, so that a cached global must notice the change.
    method("k", [], "n.ipynb")
    if json_module is DELETED:
        remove_global("json")
    elif json_module is not None:
        monkeypatch.setattr(pipeport, "json", json_module)
    calls = len(entry.calls)
    assert method("k", [], "n.ipynb") == expected
    # json.dumps is fetched before the model is asked for its document.
    assert len(entry.calls) == calls + (json_module is not DELETED)


def test_error_result_restores_the_handled_exception(cabinet, method):
    raised = []

    def fail():
        exc = Traced("bad")
        raised.append(weakref.ref(exc))
        return exc

    cabinet["k"] = Entry(fail=fail)
    try:
        raise LookupError("outer")
    except LookupError as outer:
        assert method("k", [], "n.ipynb") == ("bad", "error")
        assert sys.exc_info()[1] is outer
    assert sys.exc_info() == (None, None, None)
    assert method("k", [], "n.ipynb") == ("bad", "error")
    assert sys.exc_info() == (None, None, None)
    # ``exp`` is unbound again: nothing keeps the caught exceptions alive.
    assert [ref() for ref in raised] == [None, None]


@pytest.mark.parametrize(
    ("entry", "error", "args", "lines"),
    [
        (None, KeyError, ("k",), [30]),
        (DELETED, NameError, ("name 'dag_cabinet' is not defined",), [30]),
        (object(), AttributeError, None, [32]),
        (ns(graph=object()), AttributeError, None, [32]),
        (Entry(components=Unjudgeable()), ValueError, ("no truth value",), [32]),
        (Entry(fail=lambda: KeyboardInterrupt("stop")), KeyboardInterrupt, ("stop",), [36]),
        (Entry(fail=lambda: SystemExit(3)), SystemExit, (3,), [36]),
        (Entry(fail=Unprintable), RuntimeError, ("no text",), [39]),
    ],
    ids=[
        "no-entry",
        "no-cabinet",
        "no-graph",
        "no-components",
        "truth",
        "interrupt",
        "exit",
        "str",
    ],
)
def test_failures_reach_the_caller(
    cabinet, method, remove_global, records, entry, error, args, lines
):
    cabinet["other"] = Entry()
    if entry is DELETED:
        remove_global("dag_cabinet")
    elif entry is not None:
        cabinet["k"] = entry
    with pytest.raises(error) as raised:
        method("k", [], "n.ipynb")
    assert type(raised.value) is error
    assert args is None or raised.value.args == args
    assert records(raised.value) == [("_get_pipeline", line) for line in lines]
    if error is RuntimeError:
        # Raised while handling the serialisation error, as in an ``except`` clause.
        assert type(raised.value.__context__) is Unprintable


def test_entry_removed_during_the_call_is_still_used(cabinet, method):
    class Leaving(Entry):  # the registry's reference goes as soon as the graph is read
        graph = property(lambda self: cabinet.pop("k") and ns(components=["a"]), lambda *_: None)

    cabinet["k"] = Leaving(document={"left": True})
    assert method("k", [], "n.ipynb") == ('{"left": true}', "json")
    assert cabinet == {}
