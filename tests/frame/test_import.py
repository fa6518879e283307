"""Initialisation of both modules, each scenario in a new interpreter."""

import pytest

FLOWSYNC = "zelvo.server.handlers.flowsync"
PIPEPORT = "zelvo.server.handlers.pipeline_export.pipeport"


# Each obstacle fails the initialisation; once it is gone, an import starts over and succeeds.
FAILURES = """
import builtins, importlib.abc, importlib.util, _imp
import jupyter_server.base.handlers as host
import zelvo.server.handlers.pipeline_export.base_handler as export_base

def attempt(name):
    found = failure(lambda: load(name))
    return found and found + [[n for n in (FLOWSYNC, PIPEPORT) if n in sys.modules]]

# The body's built-ins are read from builtins when it starts.
saved = builtins.staticmethod
del builtins.staticmethod
facts["no_staticmethod"] = attempt(FLOWSYNC)
builtins.staticmethod = saved

class Refuse(importlib.abc.MetaPathFinder):
    seen = []
    def find_spec(self, name, path=None, target=None):
        self.seen.append(name)
        if name.partition(".")[0] == "zelvo_core":
            raise ModuleNotFoundError("No module named %r" % name, name=name)
sys.meta_path.insert(0, Refuse())
facts["flowsync_no_core"] = attempt(FLOWSYNC)
facts["pipeport_no_core"] = attempt(PIPEPORT)
sys.meta_path[0].seen.clear()

# An `http` in sys.modules without HTTPStatus: the import machinery is asked for the name.
import http
fake = sys.modules["http"] = type(sys)("http")
fake.__path__ = []
facts["missing_name"] = attempt(FLOWSYNC)
facts["machinery_asked"] = "http.HTTPStatus" in sys.meta_path[0].seen
sys.modules["http"] = http
del sys.meta_path[0]

class Entries:
    def __init__(self, result):
        self.result = result
    def __mro_entries__(self, bases):
        return self.result

APIHandler, ExportBase = host.APIHandler, export_base.BasePipelineExportHandler
host.APIHandler = export_base.BasePipelineExportHandler = Entries([APIHandler])
facts["entries_list"] = attempt(FLOWSYNC)
facts["flowsync_fails_in_pipeport"] = attempt(PIPEPORT)
Left, Right = type("Left", (type,), {}), type("Right", (type,), {})
host.APIHandler = Entries((Left("A", (), {}), Right("B", (), {})))
facts["conflict"] = attempt(FLOWSYNC)
host.APIHandler = APIHandler

# Two create calls before an exec give two module objects; only the first exec'd is kept.
# What a partial module spec lacks (loader, parent) is skipped; __path__ is copied.
spec = importlib.util.find_spec(FLOWSYNC)
bare = type(sys)("partial")
bare.name, bare.origin, bare.submodule_search_locations = spec.name, spec.origin, ["where"]
other, module = _imp.create_dynamic(bare), _imp.create_dynamic(spec)
facts["created"] = [
    module is not other, other.__file__ == spec.origin, other.__path__ == ["where"],
    other.__loader__ is None, other.__package__ is None,
    module.__loader__ is spec.loader, module.__package__ == "zelvo.server.handlers",
    hasattr(module, "__path__")]
facts["exec"] = [_imp.exec_dynamic(module), sys.modules.get(FLOWSYNC) is module,
                 _imp.exec_dynamic(module), _imp.create_dynamic(spec) is module]
facts["exec_other"] = failure(lambda: _imp.exec_dynamic(other))

module.dag_cabinet["k"] = "v"
cabinet, handler = module.dag_cabinet, module.DAGHandler
del sys.modules[FLOWSYNC]
again = load(FLOWSYNC)
facts["reimport"] = [again is module, again.dag_cabinet is cabinet,
                     cabinet == {"k": "v"}, again.DAGHandler is handler]
facts["pipeport_entries_list"] = attempt(PIPEPORT)
export_base.BasePipelineExportHandler = ExportBase
facts["flowsync_first"] = load(PIPEPORT).dag_cabinet is cabinet
"""

# Class statement hooks of the bases, and modules already in sys.modules.
HOOKS = """
import jupyter_server.base.handlers as host
import zelvo.server.handlers.pipeline_export.base_handler as export_base
import zelvo_core.misc.models, zelvo.server.misc.functions, zelvo.server.misc.models
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

def check(entries, cls, base):
    (*prepared, ns), (*made, made_ns) = Meta.calls
    Meta.calls.clear()
    return {"order": ns.order, "calls": [prepared == made == [cls.__name__, (base,), {}],
                                         made_ns is ns],
            "entries_called_with": [c == (entries,) for c in getattr(entries, "calls", [])],
            "class": [cls.__bases__ == (base,), type(cls) is Meta,
                      cls.__dict__.get("__orig_bases__") == (entries,)]}

Base = Meta("Base", (host.APIHandler,), {})
ExportBase = Meta("ExportBase", (export_base.BasePipelineExportHandler,), {})
Meta.calls.clear()
# Imports `name` with owner.attr resolved to `base` through __mro_entries__; should that
# fail, the failure is recorded and `base` itself is used, so the other facts still come.
def load_with_entries(name, owner, attr, base):
    setattr(owner, attr, Entries((base,)))
    facts[name + " failure"] = failure(lambda: load(name))
    if facts[name + " failure"]:
        Meta.calls.clear()
        setattr(owner, attr, base)
        load(name)
    return sys.modules[name]

fakes = {"json": type(sys)("json"), "typing": type(sys)("typing")}
fakes["typing"].Any, fakes["typing"].Dict, fakes["typing"].Set = object(), object(), object()
real = {name: sys.modules[name] for name in fakes}
sys.modules.update(fakes)
flowsync = load_with_entries(FLOWSYNC, host, "APIHandler", Base)
sys.modules.update(real)
facts["flowsync"] = check(host.APIHandler, flowsync.DAGHandler, Base)
facts["fakes_used"] = [flowsync.json is fakes["json"]] + [
    getattr(flowsync, n) is getattr(fakes["typing"], n) for n in ("Any", "Dict", "Set")]

pipeport = load_with_entries(PIPEPORT, export_base, "BasePipelineExportHandler", ExportBase)
facts["pipeport"] = check(
    export_base.BasePipelineExportHandler, pipeport.ZelvoPipelineExportHandler, ExportBase)
"""

# pipeport imported first, with RuntimeWarnings as errors (the module is built for this
# interpreter, so its version check stays silent).
PIPEPORT_FIRST = """
import gc, weakref

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

# A function kept alive only by a cycle through its own __dict__ is collected.
handler = flowsync.DAGHandler
function = handler.__dict__["_remove_unused_kernels_on_cabinet"]
del handler._remove_unused_kernels_on_cabinet
ref = weakref.ref(function)
function.itself = function
function.__annotations__["cycle"] = function
del function
gc.collect()
facts["cycle_collected"] = ref() is None

# A global missing from the module is read from the builtins, and else is a NameError.
import builtins
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
def failures(fresh_python):
    return fresh_python(FAILURES)


@pytest.fixture(scope="module")
def hooks(fresh_python):
    return fresh_python(HOOKS)


@pytest.fixture(scope="module")
def pipeport_first(fresh_python):
    return fresh_python(PIPEPORT_FIRST, "-W", "error::RuntimeWarning")


ENTRIES = "__mro_entries__ must return a tuple"


@pytest.mark.parametrize(
    "fact, kind, message, records",
    [
        ("no_staticmethod", "NameError", "name 'staticmethod' is not defined", [(FLOWSYNC, 1)]),
        (
            "flowsync_no_core",
            "ModuleNotFoundError",
            "No module named 'zelvo_core'",
            [(FLOWSYNC, 24)],
        ),
        (
            "pipeport_no_core",
            "ModuleNotFoundError",
            "No module named 'zelvo_core'",
            [(PIPEPORT, 20)],
        ),
        ("missing_name", "ImportError", "cannot import name HTTPStatus", [(FLOWSYNC, 19)]),
        ("entries_list", "TypeError", ENTRIES, [(FLOWSYNC, 33)]),
        ("flowsync_fails_in_pipeport", "TypeError", ENTRIES, [(PIPEPORT, 22), (FLOWSYNC, 33)]),
        (
            "conflict",
            "TypeError",
            "metaclass conflict: the metaclass of a derived class must be a "
            "(non-strict) subclass of the metaclasses of all its bases",
            [(FLOWSYNC, 33)],
        ),
        ("pipeport_entries_list", "TypeError", ENTRIES, [(PIPEPORT, 26)]),
    ],
)
def test_failed_initialisation(failures, fact, kind, message, records):
    found = failures[fact]
    assert found is not None, "the import succeeded"
    assert found[:2] == [kind, message]
    # The `init` records, outermost first.
    assert [r for r in found[2] if r[0].startswith("init ")] == [
        ["init " + module, module.replace(".", "/"), line] for module, line in records
    ]
    loaded = [FLOWSYNC] if fact == "pipeport_entries_list" else []  # loaded by then
    assert found[3] == loaded, "a failed module stays in sys.modules"


def test_missing_name_goes_through_the_import_machinery(failures):
    assert failures["machinery_asked"]


def test_one_module_object_per_process(failures):
    assert failures["created"] == [True] * 7 + [False]
    assert failures["exec"] == [0, True, 0, True]
    assert failures["exec_other"][:2] == [
        "RuntimeError",
        "Module 'flowsync' has already been imported. Re-initialisation is not supported.",
    ]
    assert failures["reimport"] == [True] * 4


def test_cabinet_shared_in_either_order(failures, pipeport_first):
    assert failures["flowsync_first"]
    assert pipeport_first["cabinet"] == [True, True, True]


@pytest.mark.parametrize(
    "module, ns_order",
    [
        (
            "flowsync",
            [
                "__module__",
                "__qualname__",
                "__doc__",
                "__orig_bases__",
                "_finish_with_result",
                "get",
                "post",
                "_remove_unused_kernels_on_cabinet",
                "transmit",
            ],
        ),
        ("pipeport", ["__module__", "__qualname__", "__orig_bases__", "_get_pipeline"]),
    ],
)
def test_class_statement_hooks(hooks, module, ns_order):
    assert hooks[{"flowsync": FLOWSYNC, "pipeport": PIPEPORT}[module] + " failure"] is None
    found = hooks[module]
    assert found["order"] == ns_order
    assert found["calls"] == [True, True]  # __prepare__ and the metaclass: same arguments
    assert found["entries_called_with"] == [True]
    assert found["class"] == [True, True, True]


def test_modules_in_sys_modules_are_used(hooks):
    assert hooks["fakes_used"] == [True] * 4


def test_one_interpreter_per_process(pipeport_first):
    text = (
        "Interpreter change detected - this module can only be loaded into one "
        "interpreter per process."
    )
    assert len(pipeport_first["subinterpreter"]) == 2
    assert all("ImportError" in m and text in m for m in pipeport_first["subinterpreter"] if m)


def test_function_in_a_cycle_is_collected(pipeport_first):
    assert pipeport_first["cycle_collected"]


def test_global_read_falls_back_to_builtins(pipeport_first):
    assert pipeport_first["global_from_builtins"] == ["LookupError", "refused"]
    kind, message, records = pipeport_first["global_missing"]
    assert [kind, message] == ["NameError", "name 'json' is not defined"]
    assert records[-1] == [
        "zelvo.server.handlers.flowsync.DAGHandler.transmit",
        "zelvo/server/handlers/flowsync",
        157,
    ]
