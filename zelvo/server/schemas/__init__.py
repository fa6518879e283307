"""JSON Schemas (draft 2020-12) of the messages and answers of the zelvo routes.

Each schema is a file ``<name>.json`` beside this module whose ``$id`` is
``urn:zelvo:schema:<name>``; schemas refer to each other by those ids.
"""

import json
from pathlib import Path

FOLDER = Path(__file__).parent
ID_PREFIX = "urn:zelvo:schema:"

# The routes under the server's base_url, by what a client does there.
PIPELINE = "zelvo/kernels/<kernel_id>"
EXPORT = "zelvo/kernels/<kernel_id>/export"
LIST = "zelvo/kernels"
WEBSOCKET = "zelvo/kernels/<kernel_id>/ws"

# (method, route) -> {status: the schema of the answer's JSON body}. A 403 of the pipeline
# route for a missing or wrong token comes from the host before the handler runs and is not
# JSON; a 403 for a user who may not read or write kernels is.
ANSWERS = {
    ("POST", PIPELINE): {200: "success", 400: "error", 403: "error", 404: "error", 500: "error"},
    ("GET", PIPELINE): {200: "dag-update", 400: "error", 403: "error"},
    ("GET", EXPORT): {200: "export-document", 400: "error", 403: "error", 404: "error"},
    ("GET", LIST): {200: "kernel-list", 403: "error"},
}
# What a client sends and what the websocket sends: (method, route) -> schema.
REQUESTS = {("POST", PIPELINE): "post-body"}
FRAMES = {"relayed-message": WEBSOCKET, "snapshot-message": WEBSOCKET + "?snapshot=1"}


def names():
    """The names of all schemas, sorted."""
    return sorted(path.stem for path in FOLDER.glob("*.json"))


def load(name):
    """The schema ``name`` as a dict."""
    return json.loads((FOLDER / f"{name}.json").read_text(encoding="utf-8"))


def registry():
    """A ``referencing.Registry`` of all schemas (needs the referencing package).

    ``jsonschema.Draft202012Validator(load(name), registry=registry())`` validates
    against one of them.
    """
    from referencing import Registry, Resource

    return Registry().with_resources(
        (ID_PREFIX + name, Resource.from_contents(load(name))) for name in names()
    )
