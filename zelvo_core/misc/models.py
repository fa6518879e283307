"""The pipeline model: a validated DAG of notebook components.

A pipeline arrives as JSON from the front end, so every check here is about
refusing malformed input early with a message a client can act on.  All
checks are linear in the number of components (up to the heap that orders a
pipeline posted children first); pipelines of 100,000 components are expected.
"""

from __future__ import annotations

import contextlib
import datetime
import gc
import os
import re
from typing import NamedTuple

from jupyter_core.paths import jupyter_runtime_dir

from zelvo_core import graph, protocol

CACHE_FOLDER = "zelvo-cache"
COMPONENT_TYPES = frozenset(protocol.COMPONENT_TYPES)
EXECUTION_STATUSES = frozenset(protocol.EXECUTION_STATUSES)
MODEL_FIELDS = frozenset({"identifier", "dag_info"})

# The cache folder of a pipeline is removed with shutil.rmtree, so its name
# must be one plain path component that cannot climb out of the cache root.
_SAFE_IDENTIFIER = re.compile(r"[A-Za-z0-9][A-Za-z0-9._-]{0,254}")


class InvalidPipelineError(ValueError, TypeError):
    """The posted pipeline is refused; the message names the component and field at fault.

    The model raises this one class for every refusal, so that a server can tell a client's
    mistake from its own faults.  A wrongly typed field is a TypeError too, and callers may
    catch it as one.
    """


def diskcache_root():
    """Return the folder that holds one cache folder per pipeline."""
    return os.path.abspath(os.path.join(jupyter_runtime_dir(), CACHE_FOLDER))


class ErrorInfo(NamedTuple):
    """Why a failed component failed, as the kernel said it."""

    ename: str
    evalue: str
    traceback: tuple[str, ...]  # its last lines

    def to_dict(self):
        return {"ename": self.ename, "evalue": self.evalue, "traceback": list(self.traceback)}


class OutdatedBy(NamedTuple):
    """The ancestor whose later run left an out-of-date component behind."""

    id: str
    last_execution: str | None
    names: tuple[str, ...]  # what the component reads of it, where known

    def to_dict(self):
        return {"id": self.id, "last_execution": self.last_execution, "names": list(self.names)}


class PipelineComponent(NamedTuple):
    """One immutable node of the pipeline; equality compares every field.

    The fields after ``last_execution`` are optional: None when unknown, and then left out
    of the component's JSON.
    """

    id: str
    component_type: str
    parents_id: tuple[str, ...]
    code: str
    execution_status: str
    last_execution: str | None
    position: int | None = None  # 1-based among the notebook's cells
    execution_count: int | None = None
    error: ErrorInfo | None = None
    outdated_by: OutdatedBy | None = None
    front_end_id: str | None = None  # the id a front end last ran the cell under

    def to_dict(self):
        raw = {
            "id": self.id,
            "component_type": self.component_type,
            "parents_id": list(self.parents_id),
            "code": self.code,
            "execution_status": self.execution_status,
            "last_execution": self.last_execution,
        }
        if self.position is not None:
            raw["position"] = self.position
        if self.execution_count is not None:
            raw["execution_count"] = self.execution_count
        if self.error is not None:
            raw["error"] = self.error.to_dict()
        if self.outdated_by is not None:
            raw["outdated_by"] = self.outdated_by.to_dict()
        if self.front_end_id is not None:
            raw["front_end_id"] = self.front_end_id
        return raw


COMPONENT_FIELDS = frozenset(PipelineComponent._fields[:6])
OPTIONAL_FIELDS = frozenset(PipelineComponent._fields[6:])
ALL_FIELDS = COMPONENT_FIELDS | OPTIONAL_FIELDS
# Bounds of what a client may put in the optional texts; the server's own stay within them.
SHOWN_TRACEBACK_LINES = 10
ERROR_TEXT_LENGTH = 10_000


class PipelineGraph:
    """Holds ``components``: a dict id -> PipelineComponent in pipeline order.

    The dict is empty (falsy) for a pipeline without components.  Treat it
    as read-only; a changed pipeline is a new model.
    """

    __slots__ = ("components",)

    def __init__(self, components):
        self.components = components

    def __repr__(self):
        return f"PipelineGraph(<{len(self.components)} components>)"


@contextlib.contextmanager
def collector_paused():
    """Pause the garbage collector (for the whole process) while building many small
    objects: each would otherwise trigger full collections that walk the whole (acyclic)
    input, holding the interpreter lock."""
    was_enabled = gc.isenabled()
    gc.disable()
    try:
        yield
    finally:
        if was_enabled:
            gc.enable()


# A refusal's text goes back to the client and into the server's log: a value of the client
# is shown cut to this many characters, and at most this many unknown keys are named.
SHOWN_LENGTH = 100
SHOWN_KEYS = 10


def _shown(value):
    text = repr(value)
    if len(text) <= SHOWN_LENGTH:
        return text
    return f"{text[: SHOWN_LENGTH - 3]}... ({len(text)} characters)"


def _listed(keys):
    names = sorted(_shown(key) for key in keys)
    if len(names) > SHOWN_KEYS:
        names[SHOWN_KEYS:] = [f"and {len(names) - SHOWN_KEYS} more"]
    return ", ".join(names)


def _describe(raw, position):
    ident = raw.get("id") if isinstance(raw, dict) else None
    if isinstance(ident, str):
        return f"dag_info[{position}] (id {_shown(ident)})"
    return f"dag_info[{position}]"


def is_timestamp(value):
    """Whether ``value`` (a str) is an ISO 8601 timestamp, with "Z" allowed for UTC."""
    # fromisoformat() before 3.11 does not know the "Z" suffix that
    # JavaScript's toISOString() writes.
    if value[-1:] in ("Z", "z"):
        value = value[:-1] + "+00:00"
    try:
        datetime.datetime.fromisoformat(value)
    except ValueError:
        return False
    return True


def _component_from_dict(raw, position):
    if not isinstance(raw, dict):
        raise InvalidPipelineError(
            f"dag_info[{position}] must be an object, not {type(raw).__name__}"
        )
    if raw.keys() != COMPONENT_FIELDS and not (
        raw.keys() >= COMPONENT_FIELDS and raw.keys() <= ALL_FIELDS
    ):
        where = _describe(raw, position)
        unknown = raw.keys() - ALL_FIELDS
        missing = COMPONENT_FIELDS - raw.keys()
        problems = []
        if unknown:
            problems.append("unknown key(s) " + _listed(unknown))
        if missing:
            problems.append("missing key(s) " + _listed(missing))
        raise InvalidPipelineError(f"{where}: " + "; ".join(problems))

    ident = raw["id"]
    if not isinstance(ident, str):
        raise InvalidPipelineError(
            f"dag_info[{position}]: 'id' must be a string, not {type(ident).__name__}"
        )
    if not ident:
        raise InvalidPipelineError(f"dag_info[{position}]: 'id' must not be empty")

    component_type = raw["component_type"]
    if not isinstance(component_type, str) or component_type not in COMPONENT_TYPES:
        raise InvalidPipelineError(
            f"{_describe(raw, position)}: 'component_type' must be one of "
            f"{sorted(COMPONENT_TYPES)}, got {_shown(component_type)}"
        )

    parents = raw["parents_id"]
    if not isinstance(parents, (list, tuple)):
        raise InvalidPipelineError(
            f"{_describe(raw, position)}: 'parents_id' must be a list, "
            f"not {type(parents).__name__}"
        )
    for parent in parents:
        if not isinstance(parent, str):
            raise InvalidPipelineError(
                f"{_describe(raw, position)}: 'parents_id' must hold strings, "
                f"found {type(parent).__name__}"
            )
    if len(parents) > 1 and len(set(parents)) != len(parents):
        raise InvalidPipelineError(
            f"{_describe(raw, position)}: 'parents_id' lists a parent twice"
        )
    if ident in parents:
        raise InvalidPipelineError(
            f"{_describe(raw, position)}: a component cannot be its own parent"
        )

    code = raw["code"]
    if not isinstance(code, str):
        raise InvalidPipelineError(
            f"{_describe(raw, position)}: 'code' must be a string, not {type(code).__name__}"
        )

    status = raw["execution_status"]
    if not isinstance(status, str) or status not in EXECUTION_STATUSES:
        raise InvalidPipelineError(
            f"{_describe(raw, position)}: 'execution_status' must be one of "
            f"{sorted(EXECUTION_STATUSES)}, got {_shown(status)}"
        )

    last_execution = raw["last_execution"]
    if last_execution is not None:
        if not isinstance(last_execution, str):
            raise InvalidPipelineError(
                f"{_describe(raw, position)}: 'last_execution' must be a string or null, "
                f"not {type(last_execution).__name__}"
            )
        if not is_timestamp(last_execution):
            raise InvalidPipelineError(
                f"{_describe(raw, position)}: 'last_execution' must be an ISO 8601 "
                f"timestamp or null, got {_shown(last_execution)}"
            )

    optional = {name: raw[name] for name in OPTIONAL_FIELDS if raw.get(name) is not None}
    if optional:
        optional = _optional_fields(optional, lambda: _describe(raw, position))
    return PipelineComponent(
        ident, component_type, tuple(parents), code, status, last_execution, **optional
    )


def _text(value, field, where, limit=ERROR_TEXT_LENGTH):
    if not isinstance(value, str):
        raise InvalidPipelineError(
            f"{where()}: {field} must be a string, not {type(value).__name__}"
        )
    if len(value) > limit:
        raise InvalidPipelineError(f"{where()}: {field} is longer than {limit} characters")
    return value


def _texts(value, field, where, most):
    if not isinstance(value, (list, tuple)):
        raise InvalidPipelineError(
            f"{where()}: {field} must be a list, not {type(value).__name__}"
        )
    if len(value) > most:
        raise InvalidPipelineError(f"{where()}: {field} holds more than {most} items")
    return tuple(_text(item, field, where) for item in value)


def _object(value, field, keys, where):
    if not isinstance(value, dict) or value.keys() != keys:
        raise InvalidPipelineError(
            f"{where()}: '{field}' must be an object with the keys {_listed(keys)}"
        )
    return value


def _count(value, field, where):
    if type(value) is not int or value < 1:
        raise InvalidPipelineError(f"{where()}: '{field}' must be a positive integer or null")
    return value


def _optional_fields(optional, where):
    """The optional fields of a component, checked and made immutable."""
    fields = {}
    for name, value in optional.items():
        if name in ("position", "execution_count"):
            fields[name] = _count(value, name, where)
        elif name == "front_end_id":
            fields[name] = _text(value, "'front_end_id'", where, limit=1_000)
            if not value:
                raise InvalidPipelineError(f"{where()}: 'front_end_id' must not be empty")
        elif name == "error":
            value = _object(value, name, frozenset(ErrorInfo._fields), where)
            fields[name] = ErrorInfo(
                _text(value["ename"], "'error.ename'", where),
                _text(value["evalue"], "'error.evalue'", where),
                _texts(value["traceback"], "'error.traceback'", where, SHOWN_TRACEBACK_LINES),
            )
        else:
            value = _object(value, name, frozenset(OutdatedBy._fields), where)
            last = value["last_execution"]
            if last is not None and not (isinstance(last, str) and is_timestamp(last)):
                raise InvalidPipelineError(
                    f"{where()}: 'outdated_by.last_execution' must be an ISO 8601 timestamp "
                    "or null"
                )
            fields[name] = OutdatedBy(
                _text(value["id"], "'outdated_by.id'", where, limit=1_000),
                last,
                _texts(value["names"], "'outdated_by.names'", where, 1_000),
            )
    return fields


def parents_first(components):
    """Return ``components`` (a sequence) with every component after its parents.

    The order is stable: of the components whose parents are all placed, the
    one that comes first goes next, so a sequence that already lists parents
    first keeps its order.  Raise InvalidPipelineError for a parent that is
    not among ``components`` or for a cycle.
    """
    positions = {component.id: position for position, component in enumerate(components)}
    in_order = True
    for position, component in enumerate(components):
        for parent in component.parents_id:
            before = positions.get(parent)
            if before is None:
                raise InvalidPipelineError(
                    f"component {_shown(component.id)} lists parent {_shown(parent)}, "
                    "which is not in the pipeline"
                )
            in_order = in_order and before < position
    if in_order:
        return list(components)
    parents = {component.id: component.parents_id for component in components}
    try:
        order = graph.parents_first(list(positions), parents)
    except graph.CycleError as cycle:
        raise InvalidPipelineError(
            f"'parents_id' form a cycle: component {_shown(cycle.node)} is on or below a cycle"
        ) from None
    return [components[positions[ident]] for ident in order]


def _unchanged(raw, known):
    """``known``'s component of ``raw``'s id when ``raw`` holds the same fields, else None."""
    if not isinstance(raw, dict) or raw.keys() != COMPONENT_FIELDS:
        return None
    ident, parents = raw["id"], raw["parents_id"]
    if not isinstance(ident, str) or not isinstance(parents, (list, tuple)):
        return None
    old = known.get(ident)
    if old is not None and old[6:] != (None,) * len(OPTIONAL_FIELDS):
        return None  # the optional fields are checked anew
    # One comparison of tuples: PipelineComponent is one.
    fields = (
        ident,
        raw["component_type"],
        tuple(parents),
        raw["code"],
        raw["execution_status"],
        raw["last_execution"],
    )
    return old if old is not None and old[:6] == fields else None


def _build_components(dag_info, known=None):
    if not isinstance(dag_info, (list, tuple)):
        raise InvalidPipelineError(f"'dag_info' must be a list, not {type(dag_info).__name__}")
    components = {}
    # Front ends usually send parents before children; then no cycle is
    # possible and the full graph walk can be skipped.
    in_order = True
    for position, raw in enumerate(dag_info):
        # An unchanged component of a model already made was checked then; the model keeps
        # that one, so a value that merely compares equal never enters the pipeline.
        component = _unchanged(raw, known) if known else None
        if component is None:
            component = _component_from_dict(raw, position)
        if component.id in components:
            raise InvalidPipelineError(
                f"dag_info[{position}]: duplicate id {_shown(component.id)}"
            )
        if in_order:
            for parent in component.parents_id:
                if parent not in components:
                    in_order = False
                    break
        components[component.id] = component
    if not in_order:
        parents_first(list(components.values()))
    return components


class ZelvoPipelineModel:
    """A pipeline as posted by the front end, validated on construction.

    ``identifier`` is a plain attribute: the server replaces whatever the
    client sent with the kernel id after construction.  ``created`` is the
    UTC time the model was built; for a registered model that is when its
    pipeline was registered.
    """

    def __init__(self, **fields):
        unknown = fields.keys() - MODEL_FIELDS
        if unknown:
            raise InvalidPipelineError(
                f"ZelvoPipelineModel got unexpected field(s) {_listed(unknown)}"
            )
        identifier = fields.get("identifier")
        if identifier is not None and not isinstance(identifier, str):
            raise InvalidPipelineError(
                f"'identifier' must be a string or null, not {type(identifier).__name__}"
            )
        self.identifier = identifier
        with collector_paused():
            components = _build_components(fields.get("dag_info", []))
        self.graph = PipelineGraph(components)
        self.created = datetime.datetime.now(datetime.timezone.utc)

    @classmethod
    def revised(cls, previous, dag_info, identifier=None):
        """The model of ``dag_info``, as ``ZelvoPipelineModel(dag_info=...)`` makes it, where
        each component equal to ``previous``'s of the same id (``previous`` a model, or None)
        is taken from ``previous`` instead of being checked again.

        For a server that registers a large pipeline anew on every small change.
        """
        if identifier is not None and not isinstance(identifier, str):
            raise InvalidPipelineError(
                f"'identifier' must be a string or null, not {type(identifier).__name__}"
            )
        model = cls.__new__(cls)
        model.identifier = identifier
        known = previous.graph.components if previous is not None else None
        with collector_paused():
            model.graph = PipelineGraph(_build_components(dag_info, known))
        model.created = datetime.datetime.now(datetime.timezone.utc)
        return model

    def __repr__(self):
        return (
            f"ZelvoPipelineModel(identifier={self.identifier!r}, "
            f"components={len(self.graph.components)})"
        )

    @property
    def diskcache_dir(self):
        """The pipeline's cache folder, or None when the identifier is unsafe."""
        identifier = self.identifier
        if type(identifier) is not str or not _SAFE_IDENTIFIER.fullmatch(identifier):
            return None
        return os.path.join(diskcache_root(), identifier)

    def to_zelvo_dict(self, *, include_captured=False):
        """Return the JSON-serialisable export document of the pipeline."""
        with collector_paused():
            dag_info = [component.to_dict() for component in self.graph.components.values()]
        document = {"identifier": self.identifier, "dag_info": dag_info}
        if include_captured:
            # Captured values live in the kernel; the server keeps none.
            document["captured"] = {}
        return document
