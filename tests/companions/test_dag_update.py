import json

import pytest

from zelvo.server.update import get_dag_update_info
from zelvo_core.misc.models import ZelvoPipelineModel

BASE = [("a", [], {}), ("b", ["a"], {}), ("c", ["a"], {}), ("d", ["b", "c"], {})]


@pytest.mark.parametrize(
    ("previous", "current", "added", "revised", "deleted"),
    [
        (BASE, BASE[::-1], [], [], []),
        ([], BASE, ["a", "b", "c", "d"], [], []),
        (BASE[::-1], [BASE[0], BASE[2]], [], [], ["d", "b"]),
        (BASE, [BASE[0], ("z", ["a"], {}), *BASE[1:], ("y", ["d"], {})], ["z", "y"], [], []),
        (BASE, BASE[:3] + [("d", ["b", "c"], {"code": "d = 2"})], [], ["d"], []),
        (BASE, BASE[:3] + [("d", ["b", "c"], {"execution_status": "failed"})], [], ["d"], []),
        (BASE, BASE[:3] + [("d", ["b", "c"], {"last_execution": None})], [], ["d"], []),
        (BASE, BASE[:3] + [("d", ["c", "b"], {})], [], ["d"], []),
        (BASE, [("a", [], {"component_type": "parameter"})] + BASE[1:], [], ["a"], []),
        (
            BASE,
            [("d", ["c"], {"code": "new"}), ("e", [], {}), ("c", ["e"], {}), ("a", [], {})],
            ["e"],
            ["d", "c"],
            ["b"],
        ),
    ],
)
def test_changes_are_matched_by_id_in_pipeline_order(
    make_dag, previous, current, added, revised, deleted
):
    before = ZelvoPipelineModel(dag_info=make_dag(previous))
    after = ZelvoPipelineModel(dag_info=make_dag(current))
    changes = get_dag_update_info(before, after).updated_components
    assert [component.id for component in changes.added] == added
    assert [component.id for component in changes.revised] == revised
    assert changes.deleted == deleted
    truths = [bool(changes.added), bool(changes.revised), bool(changes.deleted), bool(changes)]
    assert truths == [bool(added), bool(revised), bool(deleted), bool(added or revised or deleted)]


@pytest.mark.parametrize(
    ("previous_id", "current_id", "expected"),
    [("k-old", "k-new", "k-new"), ("k-old", None, "k-old")],
)
def test_update_dict_is_plain_json(make_dag, previous_id, current_id, expected):
    before = ZelvoPipelineModel(identifier=previous_id, dag_info=make_dag(BASE))
    current = make_dag([BASE[0], ("b", ["a"], {"code": "b = 2"}), ("n", ["a"], {})])
    after = ZelvoPipelineModel(identifier=current_id, dag_info=current)
    document = get_dag_update_info(before, after).dict()
    assert type(document) is dict and type(document["updated_components"]) is dict
    changes = {"added": [current[2]], "revised": [current[1]], "deleted": ["c", "d"]}
    assert json.loads(json.dumps(document)) == {
        "identifier": expected,
        "updated_components": changes,
    }
