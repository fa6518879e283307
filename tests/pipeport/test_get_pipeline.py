import gc
import itertools
import json
import sys
import types
import weakref

import pytest

from zelvo.server.handlers.pipeline_export import pipeport
from zelvo_core.misc.models import ZelvoPipelineModel

NO_COMPONENTS = ("There are no components in this pipeline.", "error")
DELETED = object()


class Graph:
    def __init__(self, components):
        self.components = components


class Entry:
    """What the method needs of a registered model: ``graph.components`` and ``to_zelvo_dict``.

    ``to_zelvo_dict`` returns ``document``, or raises what ``fail()`` makes. It keeps a
    count and the last call only, so that calling it in a loop allocates nothing lasting.
    """

    def __init__(self, components=("a",), document=None, fail=None):
        self.graph = Graph(components)
        self.document = {"a": 1} if document is None else document
        self.fail = fail
        self.calls = 0
        self.last_call = None

    def to_zelvo_dict(self, *args, **kwargs):
        self.calls += 1
        self.last_call = (args, kwargs)
        if self.fail is not None:
            raise self.fail()
        return self.document


class Falsy:
    def __len__(self):
        return 0


class Unjudgeable:
    def __bool__(self):
        raise ValueError("no truth value")


class Unprintable(Exception):
    def __str__(self):
        raise RuntimeError("no text")


class Traced(ValueError):
    """A ValueError that can be watched through a weak reference."""


class Poisoned:
    """Stands in for ``json`` where it must not be touched."""

    def __getattr__(self, name):
        raise AssertionError(f"json.{name} was looked up")


def _Dumps(text):
    """A ``json`` whose dumps returns ``text`` whatever it is given."""
    return types.SimpleNamespace(dumps=lambda value: text)


def _json_error(value):
    try:
        json.dumps(value)
    except TypeError as exc:
        return str(exc)
    raise AssertionError("serialisable")


def _model(identifier):
    component = {
        "component_type": "code",
        "execution_status": "succeeded",
        "last_execution": "2021-07-27T13:34:35",
    }
    model = ZelvoPipelineModel(
        dag_info=[
            {**component, "id": "a", "parents_id": [], "code": "a = 1"},
            {**component, "id": "b", "parents_id": ["a"], "code": "print('\u00e9', a)"},
        ]
    )
    model.identifier = identifier
    return model


def test_model_is_exported_as_its_json_text(cabinet, handler):
    model = cabinet["k"] = _model("k")
    result = handler._get_pipeline("k", ["a"], "n.ipynb")
    assert result == (json.dumps(model.to_zelvo_dict(include_captured=False)), "json")
    assert handler._get_pipeline("k", ["a"], "n.ipynb") is not result


@pytest.mark.parametrize("components", [[], None, 0, False, {}, Falsy()])
def test_no_components_is_the_one_constant(cabinet, handler, monkeypatch, components):
    entry = cabinet["k"] = Entry(components=components)
    cabinet["other"] = Entry(components=[])
    monkeypatch.setattr(pipeport, "json", Poisoned())
    first = handler._get_pipeline("k", [], "n.ipynb")
    assert first == NO_COMPONENTS
    assert handler._get_pipeline("k", [], "n.ipynb") is first
    assert handler._get_pipeline("other", [], "n.ipynb") is first
    assert entry.calls == 0


def test_document_and_text_are_passed_on_unchanged(cabinet, handler, monkeypatch):
    # Key order, a float and a non-ASCII text show the default dumps options.
    document = {"b": 1, "a": [1.5, "\u00e9", None]}
    entry = cabinet["k"] = Entry(document=document)
    dumped = []

    def dumps(*args, **kwargs):
        dumped.append((args, kwargs))
        return json.dumps(*args, **kwargs)

    monkeypatch.setattr(pipeport, "json", types.SimpleNamespace(dumps=dumps))
    assert handler._get_pipeline("k", [], "n.ipynb") == (json.dumps(document), "json")
    assert entry.last_call == ((), {"include_captured": False})
    assert entry.last_call[1]["include_captured"] is False
    assert len(dumped) == 1
    assert dumped[0][0][0] is document
    assert dumped[0] == ((document,), {})


@pytest.mark.parametrize(
    ("entry", "json_module", "expected"),
    [
        (Entry(fail=lambda: ValueError("bad")), None, ("bad", "error")),
        (Entry(fail=RuntimeError), None, ("", "error")),
        (Entry(fail=lambda: OSError(2, "gone")), None, ("[Errno 2] gone", "error")),
        (Entry(document={"x": {1}}), None, (_json_error({"x": {1}}), "error")),
        (Entry(), _Dumps(b"{}"), ("Expected str, got bytes", "error")),
        (Entry(), _Dumps(None), (None, "json")),
        (Entry(), DELETED, ("name 'json' is not defined", "error")),
    ],
    ids=["value-error", "no-args", "os-error", "unserialisable", "bytes", "none", "no-json"],
)
def test_serialisation_outcomes(
    cabinet, handler, monkeypatch, remove_global, entry, json_module, expected
):
    cabinet["k"] = entry
    # A first call with the real json, so that a cached global must notice the change.
    handler._get_pipeline("k", [], "n.ipynb")
    if json_module is DELETED:
        remove_global("json")
    elif json_module is not None:
        monkeypatch.setattr(pipeport, "json", json_module)
    calls = entry.calls
    assert handler._get_pipeline("k", [], "n.ipynb") == expected
    # json.dumps is fetched before the model is asked for its document.
    assert entry.calls == calls + (json_module is not DELETED)


def test_error_result_restores_the_handled_exception(cabinet, handler):
    raised = []

    def fail():
        exc = Traced("bad")
        raised.append(weakref.ref(exc))
        return exc

    cabinet["k"] = Entry(fail=fail)
    try:
        raise LookupError("outer")
    except LookupError as outer:
        assert handler._get_pipeline("k", [], "n.ipynb") == ("bad", "error")
        assert sys.exc_info()[1] is outer
    assert sys.exc_info() == (None, None, None)
    assert handler._get_pipeline("k", [], "n.ipynb") == ("bad", "error")
    assert sys.exc_info() == (None, None, None)
    # ``exp`` is unbound again: nothing keeps the caught exceptions alive.
    assert [ref() for ref in raised] == [None, None]


@pytest.mark.parametrize(
    ("entry", "error", "args", "lines"),
    [
        (None, KeyError, ("k",), [30]),
        (DELETED, NameError, ("name 'dag_cabinet' is not defined",), [30]),
        (object(), AttributeError, None, [32]),
        (types.SimpleNamespace(graph=object()), AttributeError, None, [32]),
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
    cabinet, handler, remove_global, native_lines, entry, error, args, lines
):
    cabinet["other"] = Entry()
    if entry is DELETED:
        remove_global("dag_cabinet")
    elif entry is not None:
        cabinet["k"] = entry
    with pytest.raises(error) as raised:
        handler._get_pipeline("k", [], "n.ipynb")
    assert type(raised.value) is error
    if args is not None:
        assert raised.value.args == args
    assert native_lines(raised.value) == lines
    if error is RuntimeError:
        # Raised while handling the serialisation error, as in an ``except`` clause.
        assert type(raised.value.__context__) is Unprintable


def test_rebinding_the_registry_is_seen(cabinet, handler, monkeypatch):
    class EveryKernel(dict):
        def __getitem__(self, kernel_id):
            return Entry(document={"kernel": kernel_id})

    with pytest.raises(KeyError):
        handler._get_pipeline("k", [], "n.ipynb")
    monkeypatch.setattr(pipeport, "dag_cabinet", EveryKernel())
    assert handler._get_pipeline("k", [], "n.ipynb") == ('{"kernel": "k"}', "json")
    monkeypatch.undo()
    with pytest.raises(KeyError):
        handler._get_pipeline("k", [], "n.ipynb")


def test_entry_removed_during_the_call_is_still_used(cabinet, handler):
    class Leaving(Entry):
        # The registry's reference goes away as soon as the graph is read.
        @property
        def graph(self):
            del cabinet["k"]
            return Graph(["a"])

        @graph.setter
        def graph(self, value):
            pass

    cabinet["k"] = Leaving(document={"left": True})
    assert handler._get_pipeline("k", [], "n.ipynb") == ('{"left": true}', "json")
    assert cabinet == {}


@pytest.mark.parametrize(
    ("args", "kwargs"),
    [
        (("k", ["c1", "c2"], "other.ipynb"), {}),
        (("k", [1, None, object()], ""), {}),
        (("k",), {"ipynb_name": "x.ipynb", "cell_ids": []}),
        ((), {"ipynb_name": "y", "cell_ids": ["c"], "kernel_id": "k"}),
    ],
)
def test_cell_ids_and_notebook_name_do_not_matter(cabinet, handler, args, kwargs):
    cabinet["k"] = Entry()
    expected = handler._get_pipeline("k", [], "n.ipynb")
    assert handler._get_pipeline(*args, **kwargs) == expected


class Text(str):
    pass


class Cells(list):
    pass


TAKES = "_get_pipeline() takes exactly 4 positional arguments ({} given)"
INCORRECT = "Argument '{}' has incorrect type (expected {}, got {})"


@pytest.mark.parametrize(
    ("args", "kwargs", "message", "lines"),
    [
        (("k", []), {}, TAKES.format(3), [28]),
        (("k", [], "n", "x"), {}, TAKES.format(5), [28]),
        (("k",), {"ipynb_name": "n"}, TAKES.format(2), [28]),
        (
            ("k", [], "n"),
            {"kernel_id": "k"},
            "_get_pipeline() got multiple values for keyword argument 'kernel_id'",
            [28],
        ),
        (
            ("k", []),
            {"ipynb_name": "n", "notebook": "n"},
            "_get_pipeline() got an unexpected keyword argument 'notebook'",
            [28],
        ),
        (("k", (), "n"), {}, INCORRECT.format("cell_ids", "list", "tuple"), []),
        ((None, (), "n"), {}, INCORRECT.format("kernel_id", "str", "NoneType"), []),
        (("k", [], 5), {}, INCORRECT.format("ipynb_name", "str", "int"), []),
        # Subclasses are refused too, with a note after ". ".
        ((Text("k"), [], "n"), {}, INCORRECT.format("kernel_id", "str", "Text") + ". ", []),
        (("k", Cells(), "n"), {}, INCORRECT.format("cell_ids", "list", "Cells") + ". ", []),
        (("k", [], Text("n")), {}, INCORRECT.format("ipynb_name", "str", "Text") + ". ", []),
    ],
)
def test_binding_and_type_errors(cabinet, handler, native_lines, args, kwargs, message, lines):
    entry = cabinet["k"] = Entry()
    with pytest.raises(TypeError) as raised:
        handler._get_pipeline(*args, **kwargs)
    if message.endswith(". "):
        assert str(raised.value).startswith(message)
        assert "subclass" in str(raised.value)[len(message) :].lower()
    else:
        assert str(raised.value) == message
    assert native_lines(raised.value) == lines
    assert entry.calls == 0


def _paths(cabinet, handler):
    """One call per path, and the objects every call shares (argument references must not leak)."""
    cabinet["empty"] = Entry(components=[])
    cabinet["json"] = Entry()
    cabinet["error"] = Entry(fail=lambda: ValueError("bad"))
    method = handler._get_pipeline
    cells, name, missing = [], "n.ipynb", "missing"

    def failing(*args):
        def run():
            try:
                method(*args)
            except (KeyError, TypeError):
                pass
            else:
                raise AssertionError("no error")

        return run

    runs = {
        "constant": lambda: method("empty", cells, name),
        "json": lambda: method("json", cells, name),
        "error": lambda: method("error", cells, name),
        "key-error": failing(missing, cells, name),
        "binding": failing("json", cells),
        "type": failing("json", (), name),
    }
    shared = [handler, cells, name, missing, NO_COMPONENTS, *cabinet.values()]
    shared += [entry.document for entry in cabinet.values()]
    return runs, shared


def _blocks_gained(run, times):
    gc.collect()
    gc.disable()
    try:
        before = sys.getallocatedblocks()
        for _ in itertools.repeat(None, times):
            run()
        return sys.getallocatedblocks() - before
    finally:
        gc.enable()


@pytest.mark.parametrize("path", ["json", "error", "key-error", "binding", "type"])
def test_repeated_calls_leak_nothing(cabinet, handler, path):
    runs, shared = _paths(cabinet, handler)
    _blocks_gained(runs[path], 200)
    references = [sys.getrefcount(item) for item in shared]
    # Caches and free lists move a few blocks; a leak grows with the calls.
    assert _blocks_gained(runs[path], 3000) < 50
    assert [sys.getrefcount(item) for item in shared] == references


def test_constant_path_allocates_nothing(cabinet, handler):
    runs, shared = _paths(cabinet, handler)

    def idle():
        return None

    for run in (runs["constant"], idle):
        _blocks_gained(run, 100)
    references = [sys.getrefcount(item) for item in shared]
    # The measuring loop costs a block or two itself; the calls must add none.
    assert _blocks_gained(runs["constant"], 10_000) == _blocks_gained(idle, 10_000)
    assert [sys.getrefcount(item) for item in shared] == references
