"""Arbitrary JSON bodies through ``post`` with the real models, comparison and registry."""

import json
import os
import types

import pytest
from hypothesis import event, example, given
from hypothesis import strategies as st

from zelvo.server.handlers import flowsync
from zelvo.server.handlers.ws_handler import ZelvoWebSocketHandler
from zelvo.server.update import get_dag_update_info
from zelvo_core.misc.models import InvalidPipelineError, ZelvoPipelineModel, diskcache_root

POST = flowsync.DAGHandler.post.__wrapped__
KEYS = ("procedure", "status", "msg", "successful")
RUNNING = ["r1", "r2", "4d3c2b1a-0000-4000-8000-000000000001"]
removed = []  # the clean-up's rmtree calls
REFUSED = "zelvo: refused the pipeline posted for kernel %s: %s"


class Socket:
    def __init__(self, kernel_id):
        self.kernel_id, self.sent = kernel_id, []
        self.write_message = self.sent.append


@pytest.fixture(scope="module", autouse=True)
def _isolated(tmp_path_factory):
    """A cache root of its own, and an rmtree that records instead of deleting: a fuzzed
    identifier must never make the clean-up delete anything real."""
    with pytest.MonkeyPatch.context() as mp:
        mp.setenv("JUPYTER_RUNTIME_DIR", str(tmp_path_factory.mktemp("runtime")))
        mp.setattr(
            flowsync,
            "shutil",
            types.SimpleNamespace(rmtree=lambda path, **_: removed.append(path)),
        )
        mp.setattr(ZelvoWebSocketHandler, "registry", [])
        yield
    flowsync.dag_cabinet.clear()


# Any JSON value; huge strings (below 50 kB, as a failing example is printed) go into "msg"
# and code.
huge = st.sampled_from(["x", "\u00e9\U0001f600\u0000"]).map(lambda text: text * 12_000)
leaves = st.none() | st.booleans() | st.integers() | st.floats() | st.text()
values = st.recursive(
    leaves,
    lambda inner: st.lists(inner, max_size=4) | st.dictionaries(st.text(max_size=6), inner),
    max_leaves=6,
)
# Few distinct ids, so that duplicates, unknown parents and cycles come often.
ids = st.sampled_from(["a", "b", "c", ""]) | st.text(max_size=3)
# Path-like pieces: a kernel id or identifier must never lead the clean-up out of its root.
pieces = st.sampled_from(["..", "/", "\\", ".", "a", "0", "-", "\0", "~", "\u00e9", "%2e"])
kernel_ids = st.sampled_from([*RUNNING, "gone"]) | st.lists(pieces, max_size=6).map("".join)


def sometimes(draw, usual, rare, one_in=8):
    return draw(rare if draw(st.integers(1, one_in)) == 1 else usual)


@st.composite
def components(draw):
    component = {
        "id": draw(ids),
        "component_type": draw(st.sampled_from(["code", "parameter"])),
        "parents_id": draw(st.lists(ids, max_size=3)),
        "code": sometimes(draw, st.text(), huge),
        "execution_status": draw(
            st.sampled_from(["succeeded", "failed", "invalid", "running", "not-run"])
        ),
        "last_execution": draw(st.sampled_from([None, "2021-07-27T13:34:35", "2021-07-27Z"])),
    }
    # Now and then a field wrong, missing or added.
    spoiled = sometimes(draw, st.none(), st.sampled_from([*component, "extra"]), 10)
    if spoiled and draw(st.booleans()):
        component.pop(spoiled, None)
    elif spoiled:
        component[spoiled] = draw(values)
    return component


pipelines = st.fixed_dictionaries(
    {"dag_info": st.lists(components(), max_size=6)},
    optional={"identifier": kernel_ids | values, "other": values},
)
FIELDS = {
    "procedure": st.just("pipeline:updated") | st.just("pipeline:updated") | st.text() | st.none(),
    "status": st.just("successful") | st.just("successful") | st.text() | st.none(),
    "msg": st.sampled_from([None, ""]) | st.text() | huge,
    "successful": pipelines | st.none() | st.dictionaries(st.text(max_size=4), values),
}


@st.composite
def bodies(draw):
    """Mostly objects with the four keys, any of them now and then missing or of any type."""
    if draw(st.integers(1, 10)) == 1:
        return draw(values)
    body = draw(st.dictionaries(st.text(max_size=6), values, max_size=2))
    for key, usual in FIELDS.items():
        if draw(st.integers(1, 20)) > 1:
            body[key] = sometimes(draw, usual, values)
    return body


def expected(kernel_id, data):
    """What post must do, by the rules: (status, message, relayed text, model, refused).

    No JSON body makes the model fail other than by refusing it.
    """
    if type(data) is not dict:
        return 400, "The body of the request must be a JSON object.", None, None, None
    for key in KEYS:
        value = data.get(key, ...)
        if value is ...:
            return 400, f"{key} is required in the body of the request.", None, None, None
        if key == "successful" and value is not None and type(value) is not dict:
            return 400, "successful must be an object or null.", None, None, None
        if key != "successful" and value is not None and type(value) is not str:
            return 400, f"{key} must be a string or null.", None, None, None
    message, model = dict(data), None
    if not data["msg"]:
        del message["msg"]
    if data["procedure"] == "pipeline:updated" and data["status"] == "successful":
        if data["successful"] is None:
            needed = "successful must be an object for a successful pipeline:updated."
            return 400, needed, None, None, None
        try:
            model = ZelvoPipelineModel(**data["successful"])
        except InvalidPipelineError as exc:
            return 400, str(exc), None, None, True
        model.identifier = kernel_id
        empty = ZelvoPipelineModel(identifier=kernel_id)
        update = get_dag_update_info(flowsync.dag_cabinet.get(kernel_id, empty), model)
        message["successful"] = update.dict()
        if not update.updated_components:
            return 200, "Success.", None, model, None
    return 200, "Success.", json.dumps(message), model, None


def inside_root(path):
    root = os.path.realpath(diskcache_root())
    return path is None or os.path.dirname(os.path.realpath(path)) == root


@example(posts=[("r1", {"procedure": "pipeline:updated", "status": "successful", "msg": ""})])
@given(posts=st.lists(st.tuples(kernel_ids, bodies()), min_size=1, max_size=4))
def test_any_body_gets_one_of_its_answers(make_handler, posts):
    flowsync.dag_cabinet.clear()
    for kernel_id, body in posts:
        text = json.dumps(body)
        status, message, relayed, model, refused = expected(kernel_id, json.loads(text))
        handler = make_handler(json.loads(text), RUNNING)
        mine, stranger = Socket(kernel_id), Socket(None)
        ZelvoWebSocketHandler.registry = [mine, stranger]
        before = dict(flowsync.dag_cabinet)
        removed.clear()
        assert POST(handler, kernel_id) is None
        event(f"answered {status}" + (", relayed" if relayed else ""))
        assert handler.answer() == (status, {"message": message})
        # No error record; a refused pipeline is one warning line.
        assert handler.logged == []
        assert handler.warned == ([(REFUSED, kernel_id, message)] if refused else [])
        assert mine.sent == ([relayed] if relayed else []) and stranger.sent == []
        # Only validated models, each under its kernel id; the clean-up leaves running ones.
        keys = set(before) | ({kernel_id} if model else set())
        if relayed:
            keys &= set(RUNNING)
        assert set(flowsync.dag_cabinet) == keys
        for key, entry in flowsync.dag_cabinet.items():
            if key == kernel_id and model:
                assert type(entry) is ZelvoPipelineModel and entry is not before.get(key)
                assert entry.identifier == key
                assert entry.graph.components == model.graph.components
            else:
                assert entry is before[key]
        assert all(inside_root(path) for path in removed)
        # The clean-up removes the folders of the entries it drops, this post's own included.
        entries = {**before, kernel_id: model} if model else before
        assert sorted(removed) == sorted(
            entries[key].diskcache_dir
            for key in set(entries) - keys
            if entries[key].diskcache_dir is not None
        )


@given(kernel_id=kernel_ids, identifier=kernel_ids | values)
def test_cache_folder_never_leaves_the_root(make_handler, kernel_id, identifier):
    flowsync.dag_cabinet.clear()
    removed.clear()
    ZelvoWebSocketHandler.registry = []
    registering = {"procedure": "pipeline:updated", "status": "successful", "msg": None}
    registering["successful"] = {"identifier": identifier, "dag_info": []}
    POST(make_handler(registering, RUNNING), kernel_id)
    registered = flowsync.dag_cabinet.get(kernel_id)
    assert registered is None or inside_root(registered.diskcache_dir)
    # Any relayed message runs the clean-up, which removes the folder of a stopped kernel.
    probe = {"procedure": None, "status": None, "msg": None, "successful": None}
    POST(make_handler(probe, RUNNING), kernel_id)
    assert all(inside_root(path) for path in removed)
