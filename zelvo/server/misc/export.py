"""Selection, order and rendering of an exported pipeline.

Components here are the ``PipelineComponent`` values of a pipeline model
(``model.graph.components.values()``), in pipeline order.  Everything is
linear in the number of components, up to the heap of the ordering.
"""

import hashlib
import heapq
import json
import re
from json.encoder import encode_basestring, encode_basestring_ascii

PARAMETERS_TAG = "parameters"
NBFORMAT = 4
NBFORMAT_MINOR = 5

# nbformat 4.5 cell ids; a component id outside this gets a derived cell id.
_CELL_ID = re.compile(r"[A-Za-z0-9_-]{1,64}")
_NOT_CELL_ID_CHARS = re.compile(r"[^A-Za-z0-9_-]+")


class UnknownComponentError(LookupError):
    """A selection names components that are not in the pipeline."""

    def __init__(self, ids):
        super().__init__(ids)
        self.ids = ids


def _positions(components):
    return {component.id: position for position, component in enumerate(components)}


def _unknown_parent(component, parent):
    return ValueError(f"component {component.id!r} lists parent {parent!r}, which is not exported")


def with_ancestors(components, cell_ids):
    """Return the components named in ``cell_ids`` and all their ancestors, in pipeline order.

    Raise UnknownComponentError, listing each unknown id once in the order
    given, when ``cell_ids`` names an id that is not in ``components``.
    """
    positions = _positions(components)
    unknown = [ident for ident in dict.fromkeys(cell_ids) if ident not in positions]
    if unknown:
        raise UnknownComponentError(unknown)
    kept = bytearray(len(components))
    stack = [positions[ident] for ident in cell_ids]
    while stack:
        position = stack.pop()
        if kept[position]:
            continue
        kept[position] = 1
        component = components[position]
        for parent in component.parents_id:
            if parent not in positions:
                raise _unknown_parent(component, parent)
            stack.append(positions[parent])
    return [component for component, keep in zip(components, kept) if keep]


def parents_first(components):
    """Return ``components`` with every component after its parents.

    The order is stable: of the components whose parents are all placed, the
    one that comes first in the pipeline goes next, so a pipeline that already
    lists parents first keeps its order.  Raise ValueError for a cycle or a
    parent that is not among ``components``.
    """
    positions = _positions(components)
    waiting = [0] * len(components)
    children = {}
    in_order = True
    for position, component in enumerate(components):
        for parent in component.parents_id:
            before = positions.get(parent)
            if before is None:
                raise _unknown_parent(component, parent)
            if before > position:
                in_order = False
            waiting[position] += 1
            children.setdefault(before, []).append(position)
    if in_order:
        return list(components)
    ready = [position for position, count in enumerate(waiting) if not count]
    ordered = []
    while ready:
        position = heapq.heappop(ready)
        ordered.append(components[position])
        for child in children.get(position, ()):
            waiting[child] -= 1
            if not waiting[child]:
                heapq.heappush(ready, child)
    if len(ordered) != len(components):
        stuck = next(components[position].id for position, count in enumerate(waiting) if count)
        raise ValueError(f"'parents_id' form a cycle: component {stuck!r} is on or below a cycle")
    return ordered


def _header_value(text):
    # A JSON string, with every character that an editor could take for a
    # line break escaped too, so that an id never ends the header line.
    quoted = encode_basestring(text)
    if quoted.isprintable():
        return quoted
    return "".join(char if char.isprintable() else f"\\u{ord(char):04x}" for char in quoted)


_NOTEBOOK_TAGS = {"parameter": f', "tags": ["{PARAMETERS_TAG}"]'}
_SCRIPT_TYPES = {
    "code": ' component_type="code"\n',
    "parameter": f' component_type="parameter" tags=["{PARAMETERS_TAG}"]\n',
}


def percent_script(components):
    """Return a Python script in the percent cell format, one ``# %%`` cell per component.

    The header of each cell names the component's id and type; a parameter
    component's header also carries the ``parameters`` tag.
    """
    cells = []
    for component in components:
        kind = _SCRIPT_TYPES.get(component.component_type)
        if kind is None:
            kind = f" component_type={_header_value(component.component_type)}\n"
        code = component.code
        if code and code[-1] != "\n":
            code += "\n"
        cells.append(f"# %% id={_header_value(component.id)}{kind}{code}")
    return "\n".join(cells)


def _cell_ids(components):
    """nbformat cell ids: the component's id where allowed, else one derived from it."""
    taken = {component.id for component in components if _CELL_ID.fullmatch(component.id)}
    cell_ids = []
    for component in components:
        ident = component.id
        if _CELL_ID.fullmatch(ident):
            cell_ids.append(ident)
            continue
        digest = hashlib.sha256(ident.encode("utf-8", "surrogatepass")).hexdigest()[:16]
        stem = _NOT_CELL_ID_CHARS.sub("-", ident).strip("-")[:40] or "cell"
        cell_id, suffix = f"{stem}-{digest}", 0
        while cell_id in taken:
            suffix += 1
            cell_id = f"{stem}-{digest}-{suffix}"
        taken.add(cell_id)
        cell_ids.append(cell_id)
    return cell_ids


def notebook(components, kernelspec):
    """Return the JSON text of an nbformat 4.5 notebook with one code cell per component.

    ``kernelspec`` holds the kernel's ``name``, ``display_name`` and
    ``language``.  Each cell's metadata keeps the component's id, type and
    parents under "zelvo"; parameter cells are tagged ``parameters``.  The
    text is ASCII: a lone surrogate in a component's code is escaped, never
    left to fail the encoding of the download.
    """
    # Written directly rather than through json.dumps of nested dicts, which
    # takes three times as long for a large pipeline.
    quote = encode_basestring_ascii
    cells = []
    for component, cell_id in zip(components, _cell_ids(components)):
        tags = _NOTEBOOK_TAGS.get(component.component_type, "")
        parents = ", ".join(map(quote, component.parents_id))
        cells.append(
            '{"cell_type": "code", "execution_count": null, '
            f'"id": {quote(cell_id)}, "metadata": {{"zelvo": {{"id": {quote(component.id)}, '
            f'"component_type": {quote(component.component_type)}, '
            f'"parents_id": [{parents}]}}{tags}}}, '
            f'"outputs": [], "source": {quote(component.code)}}}'
        )
    metadata = {
        "kernelspec": dict(kernelspec),
        "language_info": {"name": kernelspec["language"]},
    }
    return (
        '{"cells": [\n' + ",\n".join(cells) + f'\n], "metadata": {json.dumps(metadata)}, '
        f'"nbformat": {NBFORMAT}, "nbformat_minor": {NBFORMAT_MINOR}}}\n'
    )
