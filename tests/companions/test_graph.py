import pytest

from zelvo_core import graph

# a <- b <- c, a <- d; e alone.
PARENTS = {"b": ["a"], "c": ["b"], "d": ["a"], "e": []}
ORDER = ["a", "b", "c", "d", "e"]


@pytest.mark.parametrize(
    ("ran", "expected"),
    [
        ({}, {}),
        ({"a": 1, "b": 2, "c": 3, "d": 4}, {}),  # run top to bottom
        ({"a": 5, "b": 2, "c": 3, "d": 4}, {"b": "a", "c": "a", "d": "a"}),  # a reran
        ({"a": 1, "b": 4, "c": 3}, {"c": "b"}),  # the latest ancestor is named
        ({"a": 1, "b": None, "c": 3}, {}),  # an ancestor that did not run leaves it current
        ({"a": 9, "b": None, "c": 3, "e": 1}, {"c": "a"}),  # through one that did not run
    ],
)
def test_outdated(ran, expected):
    assert graph.outdated(ORDER, PARENTS, ran) == expected


@pytest.mark.parametrize(
    ("order", "parents", "expected"),
    [
        (["c", "b", "a"], PARENTS, ["a", "b", "c"]),
        (["x", "y"], {"x": ["gone"]}, ["x", "y"]),  # parents outside the order are ignored
        (["x", "y"], {"x": ["y"], "y": ["x"]}, graph.CycleError),
    ],
)
def test_parents_first(order, parents, expected):
    if expected is graph.CycleError:
        with pytest.raises(graph.CycleError):
            graph.parents_first(order, parents)
    else:
        assert graph.parents_first(order, parents) == expected


def test_walks_of_a_long_chain_need_no_recursion():
    parents = {str(n): [str(n - 1)] for n in range(1, 200_000)}
    assert len(graph.ancestors(["199999"], parents)) == 199_999
    assert len(graph.descendants(["0"], graph.children_of(parents))) == 199_999
