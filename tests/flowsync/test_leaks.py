"""Every path of every method, repeated: no memory kept, no reference taken or dropped."""

import copy
import gc
import subprocess
import sys
import types

import pytest

from zelvo.server.handlers import flowsync
from zelvo_core.misc.models import ZelvoPipelineModel

D = flowsync.DAGHandler
POST = D.post.__wrapped__
GET = D.get.__wrapped__
REPEAT = 1000
SLACK = 100  # blocks; a leak of one object per call shows as REPEAT or more
K = "".join(["leak", "-k1"])  # not interned: its count is this test's alone
A = {
    "id": "a",
    "component_type": "code",
    "parents_id": [],
    "code": "a = 1",
    "execution_status": "succeeded",
    "last_execution": None,
}
BODY = {
    "procedure": "pipeline:updated",
    "status": "successful",
    "msg": "",
    "successful": {"dag_info": [A]},
}
ns = types.SimpleNamespace


def body(**values):
    return dict(copy.deepcopy(BODY), **values)


def _raise(error, *args):
    # A new exception each time: a raised instance keeps growing its traceback.
    def fail(*_, **__):
        raise error(*args)

    return fail


class Untrue:
    def __bool__(self):
        raise ArithmeticError("no truth")


def _untrue(previous, current):
    return ns(dict=dict, updated_components=ns(added=[], revised=Untrue(), deleted=[]))


def _post(make_body, registered=False, kernels=(K,), handler=(), **globals_):
    """post on a fresh body each call; `handler` and `globals_` are set before the calls."""

    def build(case):
        case.handler.kernels = list(kernels)
        vars(case.handler).update(handler)
        for name, value in globals_.items():
            case.mp.setattr(flowsync, name, value)
        if registered:
            case.watched.append(
                flowsync.dag_cabinet.setdefault(K, ZelvoPipelineModel(identifier=K))
            )

        def prepare():
            case.handler.body = make_body()
            return (case.handler, K), [case.handler.body] if case.handler.body else []

        return POST, prepare

    return build


def _changing(case):
    codes = iter(range(10**9))
    case.watched += case.connect(case.handler.calls, K, "other", K)
    return _post(lambda: body(successful={"dag_info": [dict(A, code=str(next(codes)))]}))(case)


def _stopped(case):
    case.mp.setenv("JUPYTER_RUNTIME_DIR", str(case.tmp_path))
    return _post(body, kernels=["other"])(case)


def _call(function, *args, setup=None):
    def build(case):
        if setup:
            case.watched += setup(case)
        given = tuple(case.handler if arg is D else arg for arg in args)
        case.watched += [arg for arg in given if arg is not None]
        return function, lambda: (given, [])

    return build


def _sockets(*kernel_ids):
    return lambda case: case.connect(case.handler.calls, *kernel_ids)


def _known(as_dict):
    def setup(case):
        if as_dict is not None:
            case.mp.setattr(flowsync, "get_dag_update_info", lambda p, c: ns(dict=lambda: as_dict))
        return [flowsync.dag_cabinet.setdefault(K, ZelvoPipelineModel(identifier=K, dag_info=[A]))]

    return setup


def _cleanup(case):
    entries = {f"s{n}": ns(diskcache_dir=str(case.tmp_path / "none" / str(n))) for n in range(3)}
    running = flowsync.dag_cabinet["r"] = ns(diskcache_dir=None)
    case.handler.kernels = ["r"]
    case.watched += [running, *entries.values()]

    def prepare():
        flowsync.dag_cabinet.update(entries)
        return (case.handler,), []

    return D._remove_unused_kernels_on_cabinet, prepare


PATHS = {
    "post changed": (_changing, 200),
    "post unchanged": (_post(lambda: body(successful={}), registered=True), 200),
    "post stopped kernel": (_stopped, 200),
    "post other message": (_post(lambda: body(status="failed")), 200),
    "post empty body": (_post(lambda: None), 400),
    "post list body": (_post(lambda: ["x"]), 400),
    "post missing key": (_post(lambda: {"procedure": "p"}), 400),
    "post wrong type": (_post(lambda: body(msg=3)), 400),
    "post wrong object": (_post(lambda: body(successful=[])), 400),
    "post null successful": (_post(lambda: body(successful=None), registered=True), 500),
    "post model refuses": (_post(lambda: body(successful={"x": 1})), 500),
    "post compare": (_post(body, True, get_dag_update_info=_raise(LookupError)), 500),
    "post truth": (_post(body, True, get_dag_update_info=_untrue), 500),
    "post transmit": (
        _post(
            lambda: body(procedure=None),
            ZelvoWebSocketHandler=ns(
                registry=[ns(kernel_id=K, write_message=_raise(ConnectionError))]
            ),
        ),
        500,
    ),
    "post clean-up": (
        _post(lambda: body(procedure=None), True, kernels=(), shutil=ns(rmtree=_raise(OSError))),
        500,
    ),
    "post interrupt": (
        _post(body, get_dag_update_info=_raise(KeyboardInterrupt)),
        KeyboardInterrupt,
    ),
    "post log fails": (
        _post(lambda: body(successful=None), handler={"log": ns(error=_raise(RuntimeError))}),
        RuntimeError,
    ),
    "post body fails": (_post(body, handler={"fail": {"get_json_body": ValueError}}), ValueError),
    "get unknown": (_call(GET, D, K), 400),
    "get known": (_call(GET, D, K, setup=_known(None)), 200),
    "get bad dict": (_call(GET, D, K, setup=_known([1])), TypeError),
    "finish bad status": (_call(D._finish_with_result, D, "x", {}), ValueError),
    "transmit to none": (_call(D.transmit, K, {"a": [1]}, setup=_sockets("other")), None),
    "transmit to two": (_call(D.transmit, K, {"a": "\u00e9"}, setup=_sockets(K, "x", K)), None),
    "transmit refused": (_call(D.transmit, K, {"x": object()}, setup=_sockets(K)), TypeError),
    "clean-up removals": (_cleanup, None),
    "binding count": (_call(POST, D), TypeError),
    "binding keyword": (_call(lambda *args: D.transmit(*args, kernel_id=K), K, {}), TypeError),
    "type kernel_id": (_call(POST, D, None), TypeError),
    "type data": (_call(D.transmit, K, {}.keys()), TypeError),
}


def _run(handler, function, args):
    """One call; the status it answered or the type of what it raised."""
    try:
        function(*args)
        outcome = next((call[1] for call in handler.calls if call[0] == "set_status"), None)
    except (Exception, KeyboardInterrupt) as exc:
        outcome = type(exc)
    handler.calls.clear()
    handler.logged.clear()
    return outcome


@pytest.mark.parametrize("path", PATHS)
def test_repeated_calls_keep_nothing(make_handler, monkeypatch, connect, tmp_path, path):
    build, outcome = PATHS[path]
    handler = make_handler()
    case = ns(
        handler=handler, mp=monkeypatch, connect=connect, tmp_path=tmp_path, watched=[K, handler]
    )
    function, prepare = build(case)
    for _ in range(50):
        _run(handler, function, prepare()[0])

    # The body may come to hold the kernel id; its own count is taken while it lives.
    handler.body = None
    counts = [sys.getrefcount(obj) for obj in case.watched]
    args, given = prepare()
    given_counts = [sys.getrefcount(obj) for obj in given]
    assert _run(handler, function, args) == outcome
    assert [sys.getrefcount(obj) for obj in given] == given_counts
    handler.body = None
    del args, given
    assert [sys.getrefcount(obj) for obj in case.watched] == counts

    gc.collect()
    before = sys.getallocatedblocks()
    for _ in range(REPEAT):
        _run(handler, function, prepare()[0])
    gc.collect()
    assert sys.getallocatedblocks() - before < SLACK


# In a child interpreter: each case makes a native call of a method that an object lacks,
# and a fault there may take the process down.
MISSING = """
import os, sys, types
os.environ.setdefault("JUPYTER_PLATFORM_DIRS", "1")
from zelvo.server.handlers import flowsync
D, ns = flowsync.DAGHandler, types.SimpleNamespace
exec(sys.argv[1])
for _ in range(20000):
    try:
        call()
    except AttributeError as exc:
        last = str(exc)
print(last)
"""


@pytest.mark.parametrize(
    ("setup", "message"),
    [
        (
            "call = lambda: D._remove_unused_kernels_on_cabinet(ns(kernel_manager=5))",
            "'int' object has no attribute 'list_kernels'",
        ),
        (
            "call = lambda: D.post.__wrapped__(5, 'k')",
            "'int' object has no attribute 'get_json_body'",
        ),
        (
            "flowsync.ZelvoWebSocketHandler.registry = [ns(kernel_id='k')]\n"
            "call = lambda: D.transmit('k', {})",
            "'types.SimpleNamespace' object has no attribute 'write_message'",
        ),
        (
            "flowsync.dag_cabinet['k'] = flowsync.ZelvoPipelineModel(identifier='k')\n"
            "flowsync.get_dag_update_info = lambda previous, current: 5\n"
            "call = lambda: D.get.__wrapped__(5, 'k')",
            "'int' object has no attribute 'dict'",
        ),
    ],
    ids=["list_kernels", "get_json_body", "write_message", "dict"],
)
def test_missing_method_is_an_attribute_error(tmp_path, setup, message):
    child = subprocess.run(
        [sys.executable, "-c", MISSING, setup],
        capture_output=True,
        text=True,
        timeout=120,
        cwd=tmp_path,
    )
    assert (child.returncode, child.stdout.strip()) == (0, message), child.stderr[-2000:]
