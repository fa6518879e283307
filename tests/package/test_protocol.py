"""The protocol's schemas: sound, strict where the server is, and rendered in docs/."""

import copy
import runpy
from pathlib import Path

import pytest
from jsonschema import Draft202012Validator

from zelvo.server import schemas
from zelvo_core import protocol

ROOT = Path(__file__).resolve().parents[2]


def validator(name):
    return Draft202012Validator(schemas.load(name), registry=schemas.registry())


def example(name, **changes):
    document = copy.deepcopy(schemas.load(name)["examples"][0])
    for path, value in changes.items():
        *parents, last = path.split("__")
        target = document
        for key in parents:
            target = target[int(key)] if isinstance(target, list) else target[key]
        if value is ...:
            del target[last]
        else:
            target[int(last) if isinstance(target, list) else last] = value
    return document


@pytest.mark.parametrize("name", schemas.names())
def test_schema_is_sound_and_its_example_conforms(name):
    schema = schemas.load(name)
    Draft202012Validator.check_schema(schema)
    assert schema["$id"] == schemas.ID_PREFIX + name
    validator(name).validate(schema["examples"][0])


UPDATE = "successful__updated_components__"
# (schema, document, valid): edits of the examples around what the server accepts or sends.
CASES = {
    "not-run status": ("component", example("component", execution_status="not-run"), True),
    "unknown status": ("component", example("component", execution_status="done"), False),
    "empty id": ("component", example("component", id=""), False),
    "extra component key": ("component", example("component", colour="red"), False),
    "other message, null": (
        "post-body",
        example("post-body", procedure="cell:executed", successful=None),
        True,
    ),
    "update without pipeline": ("post-body", example("post-body", successful=None), False),
    "missing msg": ("post-body", example("post-body", msg=...), False),
    "relayed deletion only": (
        "relayed-message",
        example("relayed-message", **{UPDATE + "added": [], UPDATE + "revised": []}),
        True,
    ),
    "relayed without change": (
        "relayed-message",
        example(
            "relayed-message",
            **{UPDATE + "added": [], UPDATE + "revised": [], UPDATE + "deleted": []},
        ),
        False,
    ),
    "relayed empty msg": ("relayed-message", example("relayed-message", msg=""), False),
    "empty snapshot": (
        "snapshot-message",
        example("snapshot-message", **{UPDATE + "added": []}),
        True,
    ),
    "snapshot without a pipeline": (
        "snapshot-message",
        schemas.load("snapshot-message")["examples"][1],
        True,
    ),
    "failed snapshot with a pipeline": (
        "snapshot-message",
        {**example("snapshot-message"), "status": "failed", "msg": "none"},
        False,
    ),
    "empty export": ("export-document", example("export-document", dag_info=[]), False),
    "negative count": ("kernel-list", example("kernel-list", **{"0__components": -1}), False),
    "error with reason": ("error", {"message": "Forbidden", "reason": None}, True),
    "other success text": ("success", {"message": "Done."}, False),
}


@pytest.mark.parametrize(("name", "document", "valid"), CASES.values(), ids=list(CASES))
def test_schemas_are_as_strict_as_the_server(name, document, valid):
    assert validator(name).is_valid(document) is valid


def test_protocol_reference_is_current():
    rendered = runpy.run_path(str(ROOT / "docs" / "render_protocol.py"))["render"]()
    current = (ROOT / "docs" / "protocol.md").read_text(encoding="utf-8")
    assert rendered == current, "docs/protocol.md is out of date: run `make docs`"


# A property's words in the schemas -> the protocol's constants for it, in its order.
WORDS = {
    "procedure": [protocol.PIPELINE_UPDATED],
    "status": [protocol.SUCCESSFUL, protocol.FAILED],
    "component_type": list(protocol.COMPONENT_TYPES),
    "execution_status": list(protocol.EXECUTION_STATUSES),
    "message": [protocol.SUCCESS],
}


def _words(node, name):
    """Every enum (a list) and const (one value) that the schema ``node`` gives property
    ``name``, wherever it stands."""
    if isinstance(node, list):
        return [found for item in node for found in _words(item, name)]
    if not isinstance(node, dict):
        return []
    found = []
    for key, value in node.items():
        if key == "properties" and isinstance(value.get(name), dict):
            words = value[name]
            found += [words["enum"]] if "enum" in words else []
            found += [words["const"]] if "const" in words else []
        found += _words(value, name)
    return found


@pytest.mark.parametrize("name", WORDS)
def test_schema_words_are_the_protocols(name):
    found = [words for schema in schemas.names() for words in _words(schemas.load(schema), name)]
    assert found, f"no schema fixes {name}"
    for words in found:
        if isinstance(words, list):
            assert words == WORDS[name]
        else:
            assert words in WORDS[name]
