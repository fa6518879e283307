"""Writes docs/protocol.md from the JSON Schemas in zelvo/server/schemas/ (`make docs`)."""

import json
import re
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT))  # the schemas of this tree, not of an installed package

from zelvo.server import schemas  # noqa: E402

TARGET = ROOT / "docs" / "protocol.md"
# Requests and answers first, then the websocket frames, then the parts they are made of.
ORDER = [
    "post-body", "success", "error", "dag-update", "export-document", "kernel-list",
    "relayed-message", "snapshot-message", "pipeline", "component",
]  # fmt: skip

HEADER = """\
# Protocol reference

The messages and answers of the routes under the server's `base_url`, as JSON Schemas
(draft 2020-12) shipped in the package: `zelvo/server/schemas/<name>.json`, `$id`
`urn:zelvo:schema:<name>`. `zelvo.server.schemas.registry()` gives them to `jsonschema`:

```python
from jsonschema import Draft202012Validator
from zelvo.server import schemas

validator = Draft202012Validator(schemas.load("post-body"), registry=schemas.registry())
```

This page is generated from the schemas by `docs/render_protocol.py` (`make docs`).
"""


def title(name):
    return schemas.load(name)["title"]


def link(name):
    text = title(name)
    return f"[{text}](#{re.sub(r'[^a-z0-9 -]', '', text.lower()).replace(' ', '-')})"


def describe_type(node):
    """The type of a schema node in words."""
    if "$ref" in node:
        return link(node["$ref"][len(schemas.ID_PREFIX) :])
    if "const" in node:
        return f"`{json.dumps(node['const'])}`"
    if "enum" in node:
        return "one of " + ", ".join(f"`{json.dumps(value)}`" for value in node["enum"])
    kinds = node.get("type", "any")
    kinds = " or ".join(kinds) if isinstance(kinds, list) else kinds
    if kinds == "array" and "items" in node:
        return f"array of {describe_type(node['items'])}"
    return kinds


def properties_table(node):
    required = set(node.get("required", ()))
    rows = ["| Key | Type | Required | Meaning |", "|---|---|---|---|"]
    for key, child in node["properties"].items():
        needed = "yes" if key in required else "no"
        rows.append(
            f"| `{key}` | {describe_type(child)} | {needed} | {child.get('description', '')} |"
        )
    if node.get("additionalProperties") is not False:
        rows.append("| any other | any | no | passed on as it came |")
    return rows


def section(name):
    schema = schemas.load(name)
    lines = [f"### {schema['title']}", "", f"`{name}.json`: {schema['description']}", ""]
    if schema["type"] == "array":
        lines += ["An array; each item is an object:", ""]
        lines += properties_table(schema["items"])
    else:
        lines += properties_table(schema)
    for key, child in schema["properties"].items() if "properties" in schema else ():
        if "properties" in child:
            lines += ["", f"`{key}`: {child.get('description', '')}", ""]
            lines += properties_table(child)
    if "if" in schema:
        condition = ", ".join(
            f'"{key}" is `{json.dumps(value["const"])}`'
            for key, value in schema["if"]["properties"].items()
        )
        changed = ", ".join(
            " ".join([f'"{key}" is {describe_type(value)}', value.get("description", "")]).strip()
            for key, value in schema["then"]["properties"].items()
        )
        lines += ["", f"When {condition}: {changed}."]
    example = json.dumps(schema["examples"][0], indent=2)
    return [*lines, "", "Example:", "", "```json", example, "```", ""]


def routes_table():
    rows = ["| Method | Route | Body | Answers |", "|---|---|---|---|"]
    for (method, route), answers in schemas.ANSWERS.items():
        body = schemas.REQUESTS.get((method, route))
        listed = "; ".join(f"{status}: {link(name)}" for status, name in answers.items())
        rows.append(f"| {method} | `{route}` | {link(body) if body else ''} | {listed} |")
    for name, route in schemas.FRAMES.items():
        rows.append(f"| websocket | `{route}` | | frames: {link(name)} |")
    return rows


def render():
    names = ORDER + [name for name in schemas.names() if name not in ORDER]
    lines = [HEADER, "## Routes", "", *routes_table(), "", "## Schemas", ""]
    for name in names:
        lines += section(name)
    return "\n".join(lines).rstrip("\n") + "\n"


if __name__ == "__main__":
    TARGET.write_text(render(), encoding="utf-8")
