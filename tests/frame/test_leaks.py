"""Every outcome of every method, repeated: no memory kept, no reference taken or dropped."""

import gc
import itertools
import sys
import types
import warnings

import pytest

from zelvo.server.handlers import flowsync
from zelvo.server.handlers.pipeline_export.pipeport import ZelvoPipelineExportHandler
from zelvo.server.update import ZelvoDagUpdateModel
from zelvo_core.misc.models import ZelvoPipelineModel

D = flowsync.DAGHandler
POST, GET = D.post.__wrapped__, D.get.__wrapped__
PIPELINE = object.__new__(ZelvoPipelineExportHandler)._get_pipeline
NativeFunction = type(D.transmit)
REPEAT, SLACK = 1000, 100  # a leak of one object per call shows as REPEAT blocks or more
K = "".join(["leak", "-k1"])  # not interned: its count is this test's alone
A = dict(id="a", component_type="code", parents_id=[], code="a = 1", last_execution=None)
A.update(execution_status="succeeded")
ns = types.SimpleNamespace


CODES = itertools.count()


def body(**values):
    return {"procedure": "pipeline:updated", "status": "successful", "msg": "", **values}


def pipeline(**values):
    return body(successful={"dag_info": [A]}, **values)


def changed():
    return body(successful={"dag_info": [dict(A, code=str(next(CODES)))]})


def _raise(error):
    def fail(*_, **__):
        raise error()  # a new one each time: a raised instance keeps growing its traceback

    return fail


def _known(compare=None):
    def setup(case):
        if compare is not None:
            case.mp.setattr(flowsync, "get_dag_update_info", compare)
        return [flowsync.dag_cabinet.setdefault(K, ZelvoPipelineModel(identifier=K, dag_info=[A]))]

    return setup


def _sockets(*kernel_ids):
    return lambda case: case.connect(case.handler.calls, *kernel_ids)


def _post(outcome, make_body, registered=False, kernels=(K,), handler=(), extra=None, **globals_):
    """post on a fresh body each call; `handler` and `globals_` are set before the calls."""

    def setup(case):
        case.handler.kernels = list(kernels)
        vars(case.handler).update(handler)
        for name, value in globals_.items():
            case.mp.setattr(flowsync, name, value)
        return (_known()(case) if registered else []) + ((extra and extra(case)) or [])

    def prepare(case):
        case.handler.body = make_body()
        return POST, (case.handler, K), [case.handler.body] if case.handler.body else []

    return setup, prepare, outcome


def _call(outcome, function, *args, setup=lambda case: [], each=lambda case: None):
    """function(*args), D standing for the handler; `each` runs before every call."""

    def prepare(case):
        each(case)
        given = tuple(case.handler if arg is D else arg for arg in args)
        return function, given, [arg for arg in given if arg is not None]

    return setup, prepare, outcome


def _stopped(case):
    case.mp.setenv("JUPYTER_RUNTIME_DIR", str(case.tmp_path))


def _cleanup(case):
    case.entries = {f"s{n}": ns(diskcache_dir=str(case.tmp_path / str(n))) for n in range(3)}
    running = flowsync.dag_cabinet["r"] = ns(diskcache_dir=None)
    case.handler.kernels = ["r"]
    return [running, *case.entries.values()]


def _exported(case):
    model = ZelvoPipelineModel(identifier=K, dag_info=[A])
    refusing = ns(graph=model.graph, to_zelvo_dict=_raise(ValueError))
    flowsync.dag_cabinet.update({K: model, "error": refusing})
    return [model, refusing]


def _attributes():
    fn = D._finish_with_result
    saved = fn.__name__, fn.__qualname__, fn.__annotations__
    fn.__doc__ = "changed"
    del fn.__doc__
    del fn.__annotations__
    fn.__name__, fn.__qualname__, fn.__annotations__ = "renamed", "Elsewhere.renamed", {}
    fn.__name__, fn.__qualname__, fn.__annotations__ = saved
    fn.extra = [1]
    del fn.extra
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        fn.__defaults__, fn.__kwdefaults__ = ((),), {"result": {}}
        del fn.__defaults__, fn.__kwdefaults__
        warnings.simplefilter("error", RuntimeWarning)
        fn.__defaults__ = ()  # a warning turned into an error fails the assignment


CLEAN = D._remove_unused_kernels_on_cabinet
BROKEN = ns(registry=[ns(kernel_id=K, write_message=_raise(OSError))])
LOG_FAILS = {"log": ns(error=_raise(RuntimeError), warning=_raise(RuntimeError))}


class NotUtf8(UnicodeDecodeError):
    def __init__(self):
        super().__init__("utf-8", b"\xff", 0, 1, "invalid start byte")


def relayed():
    return pipeline(procedure=None)


def _no_writer(case):
    case.mp.setattr(flowsync.ZelvoWebSocketHandler, "registry", [ns(kernel_id=K)])


def _put_back(case):
    flowsync.dag_cabinet.update(case.entries)


class Text(str):
    pass


def _fresh():
    """A new model of a changed pipeline."""
    return ZelvoPipelineModel(dag_info=[dict(A, code=str(next(CODES)))])


# name: (setup, prepare, the status answered or the type raised)
PATHS = {
    "post changed": _post(200, changed, extra=_sockets(K, "other", K)),
    "post unchanged": _post(200, pipeline, registered=True),
    "post stopped kernel": _post(200, changed, kernels=["other"], extra=_stopped),
    "post other message": _post(200, lambda: pipeline(status="failed")),
    "post not an object": _post(400, lambda: None),
    "post missing key": _post(400, lambda: {"procedure": "p"}),
    "post wrong type": _post(400, lambda: pipeline(msg=3)),
    "post wrong object": _post(400, lambda: body(successful=[])),
    "post null successful": _post(400, lambda: body(successful=None), registered=True),
    "post model refuses": _post(400, lambda: body(successful={"x": 1}), registered=True),
    "post not UTF-8": _post(400, pipeline, handler={"fail": {"get_json_body": NotUtf8}}),
    "post compare": _post(500, pipeline, True, get_dag_update_info=_raise(LookupError)),
    "post transmit": _post(500, lambda: pipeline(procedure=None), ZelvoWebSocketHandler=BROKEN),
    "post clean-up": _post(500, relayed, True, (), shutil=ns(rmtree=_raise(OSError))),
    "post interrupt": _post(
        KeyboardInterrupt, pipeline, get_dag_update_info=_raise(KeyboardInterrupt)
    ),
    "post log fails": _post(
        RuntimeError, relayed, True, (), shutil=ns(rmtree=_raise(OSError)), handler=LOG_FAILS
    ),
    "post warning fails": _post(
        RuntimeError, lambda: body(successful={"x": 1}), handler=LOG_FAILS
    ),
    "post body fails": _post(
        ValueError, pipeline, handler={"fail": {"get_json_body": ValueError}}
    ),
    "post no get_json_body": _call(AttributeError, POST, 5, K),
    "get unknown": _call(400, GET, D, K),
    "get known": _call(200, GET, D, K, setup=_known()),
    "get bad dict": _call(TypeError, GET, D, K, setup=_known(lambda p, c: ns(dict=lambda: [1]))),
    "finish bad status": _call(ValueError, D._finish_with_result, D, "x", {}),
    "transmit to two": _call(None, D.transmit, K, {"a": "\u00e9"}, setup=_sockets(K, "x", K)),
    "transmit refused": _call(TypeError, D.transmit, K, {"x": object()}, setup=_sockets(K)),
    "transmit no write_message": _call(AttributeError, D.transmit, K, {}, setup=_no_writer),
    "clean-up removals": _call(None, CLEAN, D, setup=_cleanup, each=_put_back),
    "register changed": _call(None, lambda: D.register(K, _fresh(), None), setup=_sockets(K)),
    "register given update": _call(None, lambda: D.register(K, _fresh(), ZelvoDagUpdateModel(K))),
    "register compare": _call(
        LookupError, lambda: D.register(K, _fresh(), None), setup=_known(_raise(LookupError))
    ),
    "export json": _call(None, PIPELINE, K, [], "n.ipynb", setup=_exported),
    "export error": _call(None, PIPELINE, "error", [], "n.ipynb", setup=_exported),
    "export unknown": _call(KeyError, PIPELINE, "missing", [], "n.ipynb"),
    "binding count": _call(TypeError, POST, D),
    "binding missing first": _call(TypeError, lambda data: D.transmit(data=data), {}),
    "binding multiple values": _call(TypeError, lambda *a: D.transmit(*a, kernel_id=K), K, {}),
    "binding keyword not str": _call(TypeError, lambda *a: D.transmit(*a, **{5: 6}), K),
    "binding keywords": _call(None, lambda *a: D.transmit(data=a[0], kernel_id=K), {}),
    "type subclass": _call(TypeError, D.transmit, Text("k"), {}),
    "type none": _call(TypeError, PIPELINE, K, None, "n"),
    "attributes": _call(RuntimeWarning, _attributes),
    "attribute rejected": _call(TypeError, setattr, D.transmit, "__name__", 5),
    "type not instantiable": _call(TypeError, NativeFunction),
    "type immutable": _call(TypeError, setattr, NativeFunction, "extra", 1),
}


def _run(case, function, args):
    """One call; the status it answered or the type of what it raised."""
    try:
        function(*args)
        outcome = next((call[1] for call in case.handler.calls if call[0] == "set_status"), None)
    except (Exception, KeyboardInterrupt) as exc:
        outcome = type(exc)
    case.handler.calls.clear()
    case.handler.logged.clear()
    case.handler.warned.clear()
    return outcome


@pytest.mark.parametrize("path", PATHS)
def test_repeated_calls_keep_nothing(isolated, make_handler, monkeypatch, connect, tmp_path, path):
    setup, prepare, outcome = PATHS[path]
    handler = make_handler()
    case = ns(handler=handler, mp=monkeypatch, connect=connect, tmp_path=tmp_path)
    watched = [K, handler, *(setup(case) or [])]
    for _ in range(50):
        _run(case, *prepare(case)[:2])
    # The body may come to hold the kernel id; its own count is taken while it lives.
    handler.body = None
    counts = [sys.getrefcount(obj) for obj in watched]
    function, args, given = prepare(case)
    given_counts = [sys.getrefcount(obj) for obj in given]
    assert _run(case, function, args) == outcome
    assert [sys.getrefcount(obj) for obj in given] == given_counts
    handler.body = None
    del args, given
    assert [sys.getrefcount(obj) for obj in watched] == counts
    gc.collect()
    before = sys.getallocatedblocks()
    for _ in range(REPEAT):
        _run(case, *prepare(case)[:2])
    gc.collect()
    assert sys.getallocatedblocks() - before < SLACK
