"""Initialisation of both modules, each scenario in a new interpreter."""

import re

import pytest

FLOWSYNC = "zelvo.server.handlers.flowsync"
PIPEPORT = "zelvo.server.handlers.pipeline_export.pipeport"

# Each obstacle fails the initialisation; once it is gone, an import starts over and succeeds.
FAILURES = """
import builtins, gc, importlib.abc, importlib.util, _imp
import jupyter_server.base.handlers as host
import zelvo.server.handlers.pipeline_export.base_handler as export_base

def attempt(name, leaks=None):
    found = failure(lambda: load(name))
    if leaks:  # the same failure, repeated
        facts["gained"][leaks] = gained(lambda: failure(lambda: load(name)))
    return found and found + [[n for n in (FLOWSYNC, PIPEPORT) if n in sys.modules]]

def gained(step, rounds=1000):
    # Blocks gained per 1000 rounds, the smaller of two windows after a warm-up: a leak of
    # even one object a round grows both by 1000, while the interpreter's caches, which settle
    # slowly on some versions, grow one of them at most. Without pymalloc (the sanitizer
    # run) there is nothing to count, and a few rounds do.
    rounds = rounds if sys.getallocatedblocks() else 20
    windows = []
    for window in range(3):
        gc.collect()
        before = sys.getallocatedblocks()
        for _ in range(rounds):
            step()
        gc.collect()
        windows.append(sys.getallocatedblocks() - before)
    return min(windows[1:])

def reimport(name):
    sys.modules.pop(name)
    load(name)

facts["gained"] = {}

saved = builtins.staticmethod  # the body's built-ins are read when it starts
del builtins.staticmethod
facts["no_staticmethod"] = attempt(FLOWSYNC, "no_staticmethod")
builtins.staticmethod = saved

import shutil
sys.modules["shutil"] = None  # blocked on purpose
facts["blocked"] = attempt(FLOWSYNC)
sys.modules["shutil"] = shutil

class Refuse(importlib.abc.MetaPathFinder):
    seen = []
    def find_spec(self, name, path=None, target=None):
        self.seen.append(name)
        # The companion models' package; zelvo_core itself is loaded by the export base.
        if name == "zelvo_core.misc" or name.startswith("zelvo_core.misc."):
            raise ModuleNotFoundError("No module named %r" % name, name=name)
# The export base loaded the models too (through the registry): set aside while refused.
aside = {n: sys.modules.pop(n) for n in list(sys.modules) if n.startswith("zelvo_core.misc")}
sys.meta_path.insert(0, Refuse())
facts["flowsync_no_core"] = attempt(FLOWSYNC)
facts["pipeport_no_core"] = attempt(PIPEPORT)
Refuse.seen.clear()
# An `http` in sys.modules without HTTPStatus: the import machinery is asked for the name.
import http
sys.modules["http"] = type(sys)("http")
sys.modules["http"].__path__ = []
facts["missing_name"] = attempt(FLOWSYNC)
facts["machinery_asked"] = "http.HTTPStatus" in Refuse.seen
sys.modules["http"] = http
del sys.meta_path[0]
sys.modules.update(aside)

class Entries:
    def __init__(self, result):
        self.result = result
    def __mro_entries__(self, bases):
        return self.result

APIHandler, ExportBase = host.APIHandler, export_base.BasePipelineExportHandler
host.APIHandler = export_base.BasePipelineExportHandler = Entries([APIHandler])
facts["entries_list"] = attempt(FLOWSYNC, "flowsync_class")
facts["flowsync_fails_in_pipeport"] = attempt(PIPEPORT)
Left, Right = type("Left", (type,), {}), type("Right", (type,), {})
host.APIHandler = Entries((Left("A", (), {}), Right("B", (), {})))
facts["conflict"] = attempt(FLOWSYNC)
host.APIHandler = APIHandler

# Two create calls before an exec give two module objects; only the first exec'd is kept.
# A module found with neither loader nor parent gets neither attribute; __path__ is copied.
located = importlib.util.find_spec(FLOWSYNC)
bare = type(sys)("partial")
bare.name, bare.origin, bare.submodule_search_locations = located.name, located.origin, ["where"]
other, module = _imp.create_dynamic(bare), _imp.create_dynamic(located)
facts["created"] = [
    module is not other, other.__file__ == located.origin, other.__path__ == ["where"],
    other.__loader__ is None, other.__package__ is None, module.__loader__ is located.loader,
    module.__package__ == "zelvo.server.handlers", not hasattr(module, "__path__")]
facts["exec"] = [_imp.exec_dynamic(module) == 0, sys.modules.get(FLOWSYNC) is module,
                 _imp.exec_dynamic(module) == 0, _imp.create_dynamic(located) is module]
facts["exec_other"] = failure(lambda: _imp.exec_dynamic(other))[:2]

module.dag_cabinet["k"] = "v"
cabinet, handler = module.dag_cabinet, module.DAGHandler
del sys.modules[FLOWSYNC]
again = load(FLOWSYNC)  # the same module, its body not run again
facts["reimport"] = [again is module, again.dag_cabinet is cabinet, cabinet == {"k": "v"},
                     again.DAGHandler is handler]
facts["pipeport_entries_list"] = attempt(PIPEPORT, "pipeport_class")
export_base.BasePipelineExportHandler = ExportBase
facts["flowsync_first"] = load(PIPEPORT).dag_cabinet is cabinet
facts["gained"]["flowsync_again"] = gained(lambda: reimport(FLOWSYNC))
facts["gained"]["pipeport_again"] = gained(lambda: reimport(PIPEPORT))
"""

# Class statement hooks of the bases, and modules already in sys.modules.
HOOKS = """
import jupyter_server.base.handlers as host
import zelvo.server.handlers.pipeline_export.base_handler as export_base
import zelvo_core.misc.models, zelvo.server.update
import zelvo.server.handlers.ws_handler

class Namespace(dict):
    def __setitem__(self, key, value):
        self.order.append(key)
        super().__setitem__(key, value)

class Meta(type):
    calls = []
    @classmethod
    def __prepare__(mcs, name, bases, **kwargs):
        ns = Namespace()
        ns.order = []
        mcs.calls.append([name, bases, kwargs, ns])
        return ns
    def __new__(mcs, name, bases, ns, **kwargs):
        mcs.calls.append([name, bases, kwargs, ns])
        return super().__new__(mcs, name, bases, dict(ns))

class Entries:
    def __init__(self, result):
        self.result, self.calls = result, []
    def __mro_entries__(self, bases):
        self.calls.append(bases)
        return self.result

def load_with_entries(name, owner, attr, base):
    entries = Entries((base,))
    setattr(owner, attr, entries)
    Meta.calls.clear()
    module = load(name)
    cls = module.DAGHandler if name == FLOWSYNC else module.ZelvoPipelineExportHandler
    (*prepared, ns), (*made, made_ns) = Meta.calls
    facts[name] = {
        "order": ns.order,
        "same_calls": [prepared == made == [cls.__name__, (base,), {}], made_ns is ns],
        "entries_called_with": [c == (entries,) for c in entries.calls],
        "class": [cls.__bases__ == (base,), type(cls) is Meta,
                  cls.__dict__.get("__orig_bases__") == (entries,)]}

Base = Meta("Base", (host.APIHandler,), {})
ExportBase = Meta("ExportBase", (export_base.BasePipelineExportHandler,), {})
fakes = {"json": type(sys)("json"), "typing": type(sys)("typing")}
fakes["typing"].Any, fakes["typing"].Dict, fakes["typing"].Set = object(), object(), object()
real = {name: sys.modules[name] for name in fakes}
sys.modules.update(fakes)
load_with_entries(FLOWSYNC, host, "APIHandler", Base)
sys.modules.update(real)
flowsync = sys.modules[FLOWSYNC]
facts["fakes_used"] = [flowsync.json is fakes["json"]] + [
    getattr(flowsync, n) is getattr(fakes["typing"], n) for n in ("Any", "Dict", "Set")]
load_with_entries(PIPEPORT, export_base, "BasePipelineExportHandler", ExportBase)
"""

# pipeport imported first, with RuntimeWarnings as errors (the module is built for this
# interpreter, so its version check stays silent).
PIPEPORT_FIRST = """
import builtins, gc, weakref

# A subinterpreter that shares the main one's GIL: an isolated one (the default from 3.12)
# refuses modules without per-interpreter support before they get to say anything.
if sys.version_info >= (3, 13):
    import _interpreters

    def import_in_subinterpreter(name):
        interpreter = _interpreters.create("legacy")
        failure = _interpreters.run_string(interpreter, "import " + name)
        _interpreters.destroy(interpreter)
        return failure and f"{failure.type.__name__}: {failure.msg}"
else:
    import _xxsubinterpreters as subinterpreters

    def import_in_subinterpreter(name):
        shared = {} if sys.version_info < (3, 9) else {"isolated": False}
        interpreter = subinterpreters.create(**shared)
        try:
            subinterpreters.run_string(interpreter, "import " + name)
        except subinterpreters.RunFailedError as exc:
            return str(exc)
        finally:
            subinterpreters.destroy(interpreter)

pipeport = load(PIPEPORT)
flowsync = sys.modules.get(FLOWSYNC)
facts["cabinet"] = [flowsync is not None and pipeport.dag_cabinet is flowsync.dag_cabinet,
                    type(pipeport.dag_cabinet) is dict, pipeport.dag_cabinet == {}]
facts["subinterpreter"] = [import_in_subinterpreter(name) for name in (FLOWSYNC, PIPEPORT)]

# A function kept alive only by a cycle through its own __dict__ is collected. Code that runs
# while the collector clears it still gets its representation.
class Token:
    pass

class Holder:
    def __del__(self):
        # Weak references made while the collector finalises are not cleared by it: the
        # callback runs when the function's clearing frees the token.
        function = weakref.ref(self.function)
        self.watch = weakref.ref(self.token, lambda _: cleared.append(repr(function())))

handler = flowsync.DAGHandler
function = handler.__dict__["_remove_unused_kernels_on_cabinet"]
del handler._remove_unused_kernels_on_cabinet
ref, cleared, where = weakref.ref(function), [], hex(id(function))
function.itself = function
function.__annotations__["cycle"] = function
function.holder = Holder()
function.holder.function, function.holder.token = function, Token()
del function
gc.collect()
facts["cycle_collected"] = ref() is None
facts["cleared_repr"] = [text.replace(where, "<address>") for text in cleared]

# A global missing from the module is read from the builtins, and else is a NameError.
class Refusing:
    @staticmethod
    def dumps(data):
        raise LookupError("refused")
transmit = handler.transmit
transmit("k", {})
del flowsync.json
builtins.json = Refusing
facts["global_from_builtins"] = failure(lambda: transmit("k", {}))[:2]
del builtins.json
facts["global_missing"] = failure(lambda: transmit("k", {}))
"""


@pytest.fixture(scope="module")
def facts(fresh_python):
    return {
        **fresh_python(FAILURES),
        **fresh_python(HOOKS),
        **fresh_python(PIPEPORT_FIRST, "-W", "error::RuntimeWarning"),
    }


ENTRIES = "__mro_entries__ must return a tuple"
CONFLICT = (
    "metaclass conflict: the metaclass of a derived class must be a "
    "(non-strict) subclass of the metaclasses of all its bases"
)
NO_CORE = ("ModuleNotFoundError", "No module named 'zelvo_core.misc'")
BLOCKED = "import of shutil halted; None in sys.modules"


@pytest.mark.parametrize(
    "fact, error, records",
    [
        ("no_staticmethod", ("NameError", "name 'staticmethod' is not defined"), [(FLOWSYNC, 1)]),
        ("blocked", ("ModuleNotFoundError", BLOCKED), [(FLOWSYNC, 17)]),
        ("flowsync_no_core", NO_CORE, [(FLOWSYNC, 24)]),
        ("pipeport_no_core", NO_CORE, [(PIPEPORT, 20)]),
        ("missing_name", ("ImportError", "cannot import name HTTPStatus"), [(FLOWSYNC, 19)]),
        ("entries_list", ("TypeError", ENTRIES), [(FLOWSYNC, 33)]),
        ("flowsync_fails_in_pipeport", ("TypeError", ENTRIES), [(PIPEPORT, 22), (FLOWSYNC, 33)]),
        ("conflict", ("TypeError", CONFLICT), [(FLOWSYNC, 33)]),
        ("pipeport_entries_list", ("TypeError", ENTRIES), [(PIPEPORT, 26)]),
    ],
)
def test_failed_initialisation(facts, fact, error, records):
    found = facts[fact]
    assert found is not None, "the import succeeded"
    assert found[:2] == list(error)
    # The `init` records, outermost first.
    assert [r for r in found[2] if r[0].startswith("init ")] == [
        ["init " + module, module.replace(".", "/"), line] for module, line in records
    ]
    loaded = [FLOWSYNC] if fact == "pipeport_entries_list" else []  # loaded by then
    assert found[3] == loaded, "a failed module stays in sys.modules"


def test_failed_and_repeated_imports_keep_no_memory(facts):
    assert len(facts["gained"]) == 5 and all(b < 100 for b in facts["gained"].values()), facts


def test_one_module_object_per_process(facts):
    assert facts["machinery_asked"]
    assert facts["created"] == facts["exec"] + facts["reimport"] == [True] * 8
    assert facts["exec_other"] == [
        "RuntimeError",
        "Module 'flowsync' has already been imported. Re-initialisation is not supported.",
    ]
    assert facts["flowsync_first"] and facts["cabinet"] == [True] * 3  # shared in either order
    assert facts["cycle_collected"]
    # The collector may break the cycle at the function (which then has only its definition's
    # name left) or at one of its dicts first; which, differs between releases. Either way the
    # representation is made without a crash.
    assert facts["cleared_repr"] in (
        ["<NativeFunction _remove_unused_kernels_on_cabinet at <address>>"],
        ["<NativeFunction DAGHandler._remove_unused_kernels_on_cabinet at <address>>"],
    )
    # The module object belongs to the main interpreter: a subinterpreter cannot import it.
    text = (
        "ImportError'?>?: Interpreter change detected - this module can only be loaded into one "
        "interpreter per process."
    )
    assert [bool(m and re.search(text, m)) for m in facts["subinterpreter"]] == [True, True]


FLOWSYNC_METHODS = ["_finish_with_result", "get", "post", "_remove_unused_kernels_on_cabinet"]


@pytest.mark.parametrize(
    "module, ns_order",
    [
        (FLOWSYNC, ["__doc__", "__orig_bases__", *FLOWSYNC_METHODS, "transmit", "register"]),
        (PIPEPORT, ["__orig_bases__", "_get_pipeline"]),
    ],
)
def test_class_statement_hooks(facts, module, ns_order):
    found = facts[module]
    assert found["order"] == ["__module__", "__qualname__", *ns_order]
    assert found["same_calls"] == [True, True]  # __prepare__ and the metaclass
    assert found["entries_called_with"] == [True]
    assert found["class"] == [True, True, True]
    assert facts["fakes_used"] == [True] * 4  # modules found in sys.modules are used


def test_global_read_falls_back_to_builtins(facts):
    assert facts["global_from_builtins"] == ["LookupError", "refused"]
    kind, message, records = facts["global_missing"]
    assert [kind, message] == ["NameError", "name 'json' is not defined"]
    assert records[-1] == [FLOWSYNC + ".DAGHandler.transmit", FLOWSYNC.replace(".", "/"), 157]
