"""Stale outputs of a saved notebook: what `zelvo check` reports, found without running it.

The execution counts a notebook keeps say in which order its cells last ran. Each code
cell's parents come from ``pipeline_from_notebook`` (the analysis run over the code cells in
notebook order) and "out of date" is ``graph.outdated`` with the execution counts as the
times of the runs: the rules the server applies to a notebook run in that order.

A saved notebook does not record that a cell was edited after it ran (neither nbformat nor
JupyterLab keep an edit time), so an edit is not something this module can see.
"""

from __future__ import annotations

import builtins
import math
from typing import NamedTuple

from zelvo_core.analysis import cell_facts
from zelvo_core.graph import outdated
from zelvo_core.notebook import pipeline_from_notebook

__all__ = ["ANCESTOR_NOT_RUN", "HIDDEN_STATE", "KINDS", "OUTDATED", "RUN_ORDER", "Cell",
           "Finding", "check_notebook"]  # fmt: skip

# What a finding is about; also the order of a cell's findings.
OUTDATED = "outdated"  # a cell it depends on ran after it
ANCESTOR_NOT_RUN = "ancestor-not-run"  # a cell it depends on did not run, it did
HIDDEN_STATE = "hidden-state"  # it read a name that only a later cell defines
RUN_ORDER = "run-order"  # (strict) not one top-to-bottom run of a fresh kernel
KINDS = (OUTDATED, ANCESTOR_NOT_RUN, HIDDEN_STATE, RUN_ORDER)
# The key under which a finding's JSON names the other cell it is about.
_OTHER_KEYS = {
    OUTDATED: "ancestor",
    ANCESTOR_NOT_RUN: "ancestor",
    HIDDEN_STATE: "defined_by",
    RUN_ORDER: "previous",
}

# Names a cell reads without any cell defining them: Python's builtins and what IPython
# puts into a notebook's namespace. A later cell that shadows one is hidden state only
# when it ran first.
_PROVIDED = frozenset(dir(builtins)) | {
    "In", "Out", "get_ipython", "display", "exit", "quit", "_", "__", "___",
    "_i", "_ii", "_iii", "_ih", "_oh", "_dh",
}  # fmt: skip
_LANGUAGE_KEYS = (("language_info", "name"), ("kernelspec", "language"))


class Cell(NamedTuple):
    """A code cell as a finding names it."""

    position: int  # 1-based, among all the notebook's cells
    cell_id: str  # its id, or the one the notebook module makes for it
    execution_count: int | None

    def shown(self):
        return f"[{self.position}] ({_ran(self)})"

    def to_dict(self):
        return dict(self._asdict())


class Finding(NamedTuple):
    """One problem of one cell. ``other`` is the cell it is about, where there is one: the
    ancestor that ran after it or did not run, the later cell that defines what it read,
    the cell above it in the run order."""

    cell: Cell
    kind: str
    message: str
    other: Cell | None = None
    names: tuple[str, ...] = ()  # out of date: what it reads from ``other``, its parent

    def to_dict(self):
        """The finding as JSON tools get it (``path`` is the caller's to add)."""
        found = {
            "position": self.cell.position,
            "cell_id": self.cell.cell_id,
            "execution_count": self.cell.execution_count,
            "kind": self.kind,
            "message": self.message,
        }
        if self.other is not None:
            found[_OTHER_KEYS[self.kind]] = self.other.to_dict()
            if self.kind in (OUTDATED, ANCESTOR_NOT_RUN):
                found["ancestor"]["names"] = list(self.names)
        return found


def check_notebook(notebook, strict=False, name="notebook"):
    """The findings of a decoded notebook (as ``parse_notebook`` gives it), by position.

    With ``strict``, also every execution count that a run of all cells, top to bottom,
    in a new kernel would not have left. Raises NotebookError for duplicate cell ids.
    """
    components = pipeline_from_notebook(notebook, name, warn=lambda text: None)["dag_info"]
    cells = {c["id"]: Cell(c["position"], c["id"], c.get("execution_count")) for c in components}
    found = []
    if _is_python(notebook):
        found += _out_of_date(components, cells)
        found += _hidden_state(components, cells)
    if strict:
        found += _run_order(components, cells)
    rank = {kind: order for order, kind in enumerate(KINDS)}
    return sorted(found, key=lambda finding: (finding.cell.position, rank[finding.kind]))


def _is_python(notebook):
    """False when the notebook says its cells are in another language than Python."""
    metadata = notebook.get("metadata")
    for section, key in _LANGUAGE_KEYS:
        part = metadata.get(section) if isinstance(metadata, dict) else None
        language = part.get(key) if isinstance(part, dict) else None
        if isinstance(language, str) and language:
            return language.lower() == "python"
    return True


def _out_of_date(components, cells):
    order = [c["id"] for c in components]  # notebook order lists parents first
    parents = {c["id"]: c["parents_id"] for c in components}
    counts = {ident: cell.execution_count for ident, cell in cells.items()}
    codes = {c["id"]: c["code"] for c in components}
    found = []
    later = outdated(order, parents, counts)
    # A cell that did not run would have to run now, after every cell that did: as if its
    # run came last, it makes the cells below it that ran out of date.
    last = {ident: math.inf if count is None else count for ident, count in counts.items()}
    pending = outdated(order, parents, last)
    for ident in order:
        cell = cells[ident]
        if ident in later:
            ancestor = cells[later[ident]]
            kind, what = OUTDATED, f"ran after it (ran as {ancestor.execution_count}, this cell as"
        elif ident in pending:
            ancestor = cells[pending[ident]]
            kind, what = ANCESTOR_NOT_RUN, "did not run (this cell ran as"
        else:
            continue
        direct = ancestor.cell_id in parents[ident]
        names = _names_from(codes[ident], codes[ancestor.cell_id]) if direct else ()
        if names:
            how = " for " + ", ".join(names)
        else:  # a parent through a function it calls, a file it runs, ...
            how = "" if direct else " through other cells"
        found.append(
            Finding(
                cell,
                kind,
                f"output out of date: [{ancestor.position}], which it depends on{how}, {what} "
                f"{cell.execution_count})",
                ancestor,
                names,
            )
        )
    return found


def _names_from(code, ancestor_code):
    """The names a cell reads (or changes) that its parent defines or changes, in order."""
    reader, writer = cell_facts(code), cell_facts(ancestor_code)
    written = {*writer.defines, *writer.revises, *writer.deletes}
    for body in writer.functions.values():
        written.update(body.assigns)
    return tuple(
        name for name in dict.fromkeys((*reader.reads, *reader.revises)) if name in written
    )


def _hidden_state(components, cells):
    """Cells that ran and read a name that no cell above them defines but one below does:
    their outputs came from a kernel state that running the notebook in order does not
    make."""
    facts = [cell_facts(c["code"]) for c in components]
    first_definer = {}  # name -> index of the first code cell whose top level defines it
    for index, fact in enumerate(facts):
        for name in fact.defines:
            first_definer.setdefault(name, index)
    found = []
    bound = set()  # names that cells above may have defined
    anything = False  # a cell above star-imports or runs a file: any name may be defined
    for index, (component, fact) in enumerate(zip(components, facts)):
        cell = cells[component["id"]]
        if cell.execution_count is not None and not anything:
            # A name read in the body of a function the cell defines is read only when
            # the function is called, which may be after the cell defining the name.
            in_bodies = {name for body in fact.functions.values() for name in body.reads}
            hidden = {}  # index of the later definer -> names
            for name in dict.fromkeys((*fact.reads, *fact.revises)):
                where = first_definer.get(name)
                if name in bound or name in in_bodies or where is None or where <= index:
                    continue
                definer = cells[components[where]["id"]]
                if name in _PROVIDED and not _ran_before(definer, cell):
                    continue
                hidden.setdefault(where, []).append(name)
            for where, names in hidden.items():
                definer = cells[components[where]["id"]]
                listed = ", ".join(names)
                found.append(
                    Finding(
                        cell,
                        HIDDEN_STATE,
                        f"hidden state: reads {listed}, which no cell above it defines but "
                        f"[{definer.position}] below does ({_ran(definer)}, this cell as "
                        f"{cell.execution_count})",
                        definer,
                    )
                )
        bound.update(fact.defines)
        for body in fact.functions.values():
            bound.update(body.assigns)  # `global` assignments, once the function is called
        anything = anything or bool(fact.star_imports or fact.file_reads)
    return found


def _ran(cell):
    return "did not run" if cell.execution_count is None else f"ran as {cell.execution_count}"


def _ran_before(one, other):
    return one.execution_count is not None and one.execution_count < other.execution_count


def _run_order(components, cells):
    """Execution counts that one run of all cells, top to bottom, of a new kernel would not
    have left: 1, 2, 3, ... down the code cells. Empty cells are not run (front ends skip
    them). A notebook without any count, its outputs cleared, shows nothing stale and passes.
    """
    if all(cell.execution_count is None for cell in cells.values()):
        return []
    found = []
    previous = None  # the last cell above that ran
    for component in components:
        cell = cells[component["id"]]
        count = cell.execution_count
        if not component["code"].strip():
            continue
        if count is None:
            found.append(Finding(cell, RUN_ORDER, "not run in the last run of all cells"))
            continue
        if previous is None:
            if count != 1:
                found.append(
                    Finding(
                        cell,
                        RUN_ORDER,
                        f"the first cell that ran has execution count {count}, not 1: the "
                        "kernel was not restarted before the run",
                    )
                )
        elif count <= previous.execution_count:
            found.append(
                Finding(
                    cell,
                    RUN_ORDER,
                    f"ran as {count}, before the code cell above it {previous.shown()}: not run "
                    "top to bottom",
                    previous,
                )
            )
        elif count != previous.execution_count + 1:
            found.append(
                Finding(
                    cell,
                    RUN_ORDER,
                    f"ran as {count} after the code cell above it {previous.shown()}: other code "
                    "ran in between",
                    previous,
                )
            )
        previous = cell
    return found
