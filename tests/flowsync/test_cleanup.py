"""``_remove_unused_kernels_on_cabinet``: entries and cache folders of stopped kernels."""

import os
import shutil
import types

import pytest

from zelvo.server.handlers import flowsync
from zelvo_core.misc.models import ZelvoPipelineModel

CLEAN = flowsync.DAGHandler._remove_unused_kernels_on_cabinet
ns = types.SimpleNamespace


@pytest.fixture()
def cached(monkeypatch, tmp_path):
    """cached(kernel_id) -> a registered model whose cache folder exists and holds files."""
    monkeypatch.setenv("JUPYTER_RUNTIME_DIR", str(tmp_path))

    def register(kernel_id, make_folder=True):
        model = flowsync.dag_cabinet[kernel_id] = ZelvoPipelineModel(identifier=kernel_id)
        assert model.diskcache_dir == str(tmp_path / "zelvo-cache" / kernel_id)
        if make_folder:
            os.makedirs(os.path.join(model.diskcache_dir, "sub"))
            with open(os.path.join(model.diskcache_dir, "sub", "data"), "wb") as f:
                f.write(b"\0" * 64)
        return model

    return register


@pytest.fixture()
def rmtree_calls(monkeypatch):
    """Calls of rmtree as the method makes them, each with the registry at that moment."""
    calls = []

    def rmtree(*args, **kwargs):
        calls.append((args, kwargs, dict(flowsync.dag_cabinet)))
        shutil.rmtree(*args, **kwargs)

    monkeypatch.setattr(flowsync, "shutil", ns(rmtree=rmtree))
    return calls


def test_stopped_kernels_lose_folder_then_entry(make_handler, cached, rmtree_calls):
    running = cached("run")
    stopped = [cached("gone1"), cached("gone2"), cached("no-folder", make_folder=False)]
    handler = make_handler(kernels=["run", "never-registered"])
    assert CLEAN(handler) is None
    assert handler.calls == [("list_kernel_ids",)] and flowsync.dag_cabinet == {"run": running}
    assert sorted(args for args, _, _ in rmtree_calls) == sorted(
        (m.diskcache_dir,) for m in stopped
    )
    for (path,), kwargs, registry in rmtree_calls:
        assert kwargs == {"ignore_errors": True}
        # The entry goes only after its folder.
        assert [model.diskcache_dir for model in registry.values()].count(path) == 1
    assert not any(os.path.exists(model.diskcache_dir) for model in stopped)
    assert os.path.isdir(running.diskcache_dir)


@pytest.mark.parametrize(
    "kind, kernels",
    [
        (list, ["c"]),
        (tuple, ("a", "c")),
        (iter, ["a", "c", "c"]),
        (dict.fromkeys, ["a", "c"]),
    ],
)
def test_kernel_ids_of_any_iterable(make_handler, rmtree_calls, kind, kernels):
    # An unsafe identifier has no cache folder: its entry goes without a call of rmtree.
    for kernel_id in "ab":
        flowsync.dag_cabinet[kernel_id] = ZelvoPipelineModel(identifier="../" + kernel_id)
    # A running kernel's entry is never read, however odd.
    odd = flowsync.dag_cabinet["c"] = ns(diskcache_dir=5)
    handler = make_handler()
    handler.kernel_manager = ns(list_kernel_ids=lambda: kind(kernels))
    CLEAN(handler)
    running = set(kernels)
    assert set(flowsync.dag_cabinet) == {"a", "b", "c"} & running
    assert flowsync.dag_cabinet["c"] is odd and rmtree_calls == []


@pytest.mark.parametrize(
    ("entry", "kernels", "error", "message", "line"),
    [
        (5, [], TypeError, "Expected str, got int", 150),
        (b"/tmp/x", [], TypeError, "Expected str, got bytes", 150),
        (..., [], AttributeError, "'object' object has no attribute 'diskcache_dir'", 150),
        (None, [[]], TypeError, "unhashable type: 'list'", 147),
        (None, 5, TypeError, "'int' object is not iterable", 147),
    ],
)
def test_failures_keep_the_entry(make_handler, records, entry, kernels, error, message, line):
    value = object() if entry is ... else ns(diskcache_dir=entry)
    flowsync.dag_cabinet["k9"] = value
    handler = make_handler()
    handler.kernel_manager = ns(list_kernel_ids=lambda: kernels)
    with pytest.raises(error) as info:
        CLEAN(handler)
    assert str(info.value) == message
    assert records(info.value) == [("_remove_unused_kernels_on_cabinet", line)]
    assert flowsync.dag_cabinet == {"k9": value}


def test_failure_midway_keeps_the_rest(make_handler, records, cached):
    for kernel_id in ("a", "b", "c"):
        cached(kernel_id)
    flowsync.dag_cabinet["bad"] = ns(diskcache_dir=7)
    walk = list(set(flowsync.dag_cabinet.keys()) - set())  # the method's order
    with pytest.raises(TypeError) as info:
        CLEAN(make_handler())
    assert records(info.value) == [("_remove_unused_kernels_on_cabinet", 150)]
    # Entries handled before the bad one are gone; it and the later ones stay.
    assert set(flowsync.dag_cabinet) == set(walk[walk.index("bad") :])
