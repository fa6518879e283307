import json
import os
import uuid

import pytest

from zelvo_core.misc.models import InvalidPipelineError, ZelvoPipelineModel, diskcache_root

CHAIN_LENGTH = 100_000
ROOT = ("r", [], {})


@pytest.mark.parametrize(
    ("fields", "nodes", "error", "fragment"),
    [
        ({"extra": 1}, [], TypeError, "'extra'"),
        ({"diskcache_dir": "/"}, [], TypeError, "'diskcache_dir'"),
        ({"identifier": 5}, [], TypeError, "identifier"),
        ({"dag_info": None}, None, TypeError, "dag_info"),
        ({"dag_info": ["a"]}, None, TypeError, "dag_info[0]"),
        ({}, [("a", [], {"colour": "red"})], ValueError, "unknown key(s) 'colour'"),
        # The optional fields, checked as strictly as the others.
        ({}, [("a", [], {"position": 0})], ValueError, "'position'"),
        ({}, [("a", [], {"execution_count": True})], ValueError, "'execution_count'"),
        ({}, [("a", [], {"front_end_id": ""})], ValueError, "'front_end_id'"),
        ({}, [("a", [], {"error": {"ename": "E"}})], ValueError, "'error'"),
        (
            {},
            [("a", [], {"error": {"ename": "E", "evalue": "v", "traceback": ["l"] * 11}})],
            ValueError,
            "more than 10",
        ),
        (
            {},
            [("a", [], {"outdated_by": {"id": "r", "last_execution": "soon", "names": []}})],
            ValueError,
            "outdated_by.last_execution",
        ),
        ({}, [("a", [], {"code": ...})], ValueError, "missing key(s) 'code'"),
        ({}, [("a", [], {"id": True})], TypeError, "'id'"),
        ({}, [("a", [], {"id": ""})], ValueError, "'id'"),
        ({}, [("a", [], {"component_type": "markdown"})], ValueError, "component_type"),
        ({}, [("a", [], {"parents_id": "r"})], TypeError, "parents_id"),
        ({}, [ROOT, ("a", [1], {})], TypeError, "parents_id"),
        ({}, [("a", [], {"code": b"x = 1"})], TypeError, "'code'"),
        ({}, [("a", [], {"execution_status": True})], ValueError, "execution_status"),
        ({}, [("a", [], {"execution_status": "not run"})], ValueError, "execution_status"),
        ({}, [("a", [], {"last_execution": "yesterday"})], ValueError, "last_execution"),
        ({}, [("a", [], {"last_execution": 1627392875})], TypeError, "last_execution"),
        ({}, [ROOT, ROOT], ValueError, "duplicate id 'r'"),
        ({}, [("a", ["ghost"], {})], ValueError, "'ghost'"),
        ({}, [ROOT, ("a", ["r", "r"], {})], ValueError, "twice"),
        ({}, [("a", ["a"], {})], ValueError, "own parent"),
        (
            {},
            [ROOT, ("x", ["r", "z"], {}), ("y", ["x"], {}), ("z", ["y"], {})],
            ValueError,
            "cycle",
        ),
        # A client's values are shown cut short: the text goes back to it and into the log.
        ({}, [("i" * 10**6, [], {}), ("i" * 10**6, [], {})], ValueError, "... (1000002 char"),
        ({}, [("a", [], {f"k{n}": 0 for n in range(10**4)})], ValueError, "and 9990 more"),
    ],
)
def test_refused_input(make_dag, fields, nodes, error, fragment):
    if nodes is not None:
        fields = dict(fields, dag_info=make_dag(nodes))
    with pytest.raises(error) as caught:
        ZelvoPipelineModel(**fields)
    # One class for every refusal, still the TypeError or ValueError it always was.
    assert type(caught.value) is InvalidPipelineError and fragment in str(caught.value)
    assert len(str(caught.value)) < 2_000


@pytest.mark.parametrize(
    "nodes",
    [
        [],
        # Children may come before their parents.
        [("d", ["b", "c"], {}), ("b", ["a"], {}), ("c", ["a"], {}), ("a", [], {})],
        [
            ("a", [], {"component_type": "parameter", "last_execution": None}),
            ("b", ["a"], {"execution_status": "running", "last_execution": "2021-07-27"}),
            ("c", ["a", "b"], {"last_execution": "2021-07-27T13:34:35.123Z", "code": ""}),
            ("d", ["c"], {"execution_status": "not-run", "last_execution": None}),
        ],
        # The optional fields round-trip; absent ones stay absent.
        [
            (
                "a",
                [],
                {
                    "execution_status": "failed",
                    "position": 2,
                    "execution_count": 7,
                    "error": {"ename": "E", "evalue": "<b>", "traceback": ["E: <b>"]},
                    "front_end_id": "5f1c",
                },
            ),
            (
                "b",
                ["a"],
                {
                    "execution_status": "invalid",
                    "outdated_by": {"id": "a", "last_execution": None, "names": ["x"]},
                },
            ),
        ],
    ],
)
def test_accepted_pipeline_keeps_order_and_round_trips(make_dag, nodes):
    dag_info = make_dag(nodes)
    model = ZelvoPipelineModel(identifier="client-chosen", dag_info=dag_info)
    assert list(model.graph.components) == [ident for ident, _, _ in nodes]
    assert bool(model.graph.components) == bool(nodes)
    document = model.to_zelvo_dict()
    assert json.loads(json.dumps(document)) == {
        "identifier": "client-chosen",
        "dag_info": dag_info,
    }
    assert ZelvoPipelineModel(**document).graph.components == model.graph.components
    assert model.to_zelvo_dict(include_captured=True) == dict(document, captured={})


@pytest.mark.parametrize("closed", [False, True])
def test_long_chain_is_checked_without_recursion(make_dag, closed):
    # Children first, so the cycle check has to walk the whole chain.
    nodes = [(f"c{i}", [f"c{i + 1}"], {}) for i in range(CHAIN_LENGTH - 1)]
    nodes.append((f"c{CHAIN_LENGTH - 1}", ["c0"] if closed else [], {}))
    if closed:
        with pytest.raises(ValueError, match="cycle"):
            ZelvoPipelineModel(dag_info=make_dag(nodes))
    else:
        assert len(ZelvoPipelineModel(dag_info=make_dag(nodes)).graph.components) == CHAIN_LENGTH


@pytest.mark.parametrize(
    "identifier",
    ["..", ".", "../x", "/abs", "a/b", "a\\b", "", "x\x00y", "-rf", "a\n", "é", 5, None],
)
def test_cache_folder_only_for_safe_identifiers(tmp_path, monkeypatch, identifier):
    monkeypatch.setenv("JUPYTER_RUNTIME_DIR", str(tmp_path))
    model = ZelvoPipelineModel(identifier="posted-by-client")
    model.identifier = identifier
    assert model.diskcache_dir is None
    model.identifier = kernel_id = str(uuid.uuid4())
    assert diskcache_root() == os.path.join(str(tmp_path), "zelvo-cache")
    assert model.diskcache_dir == os.path.join(diskcache_root(), kernel_id)


PREVIOUS = [ROOT, ("a", ["r"], {}), ("b", ["a"], {})]


@pytest.mark.parametrize(
    ("nodes", "checked", "fragment"),
    [
        (PREVIOUS, [], None),
        ([("b", ["a"], {}), ROOT, ("a", ["r"], {})], [], None),  # reordered
        ([ROOT, ("a", ["r"], {"code": "a = 2"}), ("b", ["a"], {})], ["a"], None),
        ([ROOT, ("b", ["r"], {}), ("c", [], {})], ["b", "c"], None),
        ([ROOT, ("a", ["r"], {"execution_status": "bogus"})], None, "execution_status"),
        ([ROOT, ("a", ["ghost"], {}), ("b", ["a"], {})], None, "'ghost'"),
        ([("r", ["b"], {}), ("a", ["r"], {}), ("b", ["a"], {})], None, "cycle"),
        ([ROOT, ROOT], None, "duplicate id 'r'"),
        ([ROOT, ("a", ["r"], {"colour": "red"})], None, "unknown key(s)"),
    ],
)
def test_revised_checks_only_what_changed(make_dag, nodes, checked, fragment):
    previous = ZelvoPipelineModel(dag_info=make_dag(PREVIOUS))
    dag_info = make_dag(nodes)
    if fragment is not None:
        with pytest.raises(InvalidPipelineError) as caught:
            ZelvoPipelineModel.revised(previous, dag_info)
        assert fragment in str(caught.value)
        return
    revised = ZelvoPipelineModel.revised(previous, dag_info, "k")
    made = ZelvoPipelineModel(identifier="k", dag_info=dag_info)
    assert revised.graph.components == made.graph.components
    assert list(revised.graph.components) == list(made.graph.components)
    assert revised.to_zelvo_dict() == made.to_zelvo_dict()
    old = previous.graph.components
    assert [
        ident
        for ident, component in revised.graph.components.items()
        if component is not old.get(ident)
    ] == checked
