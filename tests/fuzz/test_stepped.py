"""JSON decoded in steps gives what json.loads gives, whole or broken, with tiny steps."""

import json

import pytest
from hypothesis import given
from hypothesis import strategies as st

from zelvo.server.observer import stepped

SCALARS = st.none() | st.booleans() | st.integers() | st.floats(allow_nan=False) | st.text()
VALUES = st.recursive(
    SCALARS, lambda inner: st.lists(inner) | st.dictionaries(st.text(), inner), max_leaves=30
)


def decoded(loads, text):
    try:
        return loads(text)
    except ValueError:
        return ValueError


@pytest.fixture(autouse=True, scope="module")
def tiny_steps():
    with pytest.MonkeyPatch.context() as patch:
        patch.setattr(stepped, "STEP", 8)
        yield


@given(value=VALUES, indent=st.sampled_from([None, 1]), cut=st.integers(0, 200), at=st.data())
def test_stepped_decoding_gives_what_json_gives(value, indent, cut, at):
    text = json.dumps(value, indent=indent)
    assert stepped.loads(text) == value
    # A notebook's cells, each handed over as soon as it is decoded.
    notebook = {"metadata": value, "cells": [value, [value]]}
    assert stepped.loads(json.dumps(notebook, indent=indent), cells=lambda *cell: cell) == {
        **notebook,
        "cells": [(0, value), (1, [value])],
    }
    # Broken: cut short, or a character changed.
    spot = at.draw(st.integers(0, max(len(text) - 1, 0)))
    changed = at.draw(st.sampled_from('{}[],:" 1'))
    for broken in (text[:cut], text[:spot] + changed + text[spot + 1 :]):
        assert decoded(stepped.loads, broken) == decoded(json.loads, broken)


@pytest.mark.parametrize("text", ["[" * 100_000, '{"a": ' * 100_000])
def test_deep_nesting_is_an_error_not_a_crash(text):
    with pytest.raises((RecursionError, ValueError)):
        stepped.loads(text)
