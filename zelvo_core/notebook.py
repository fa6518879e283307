"""Saved notebooks as the server and the command line read them.

Reading a notebook's cells (ids, code, tags, what a run left), which notebook a session
names, and the pipeline derived from a notebook: its code cells and the cells each depends
on, by the analysis of ``zelvo_core.analysis`` run over the code cells in notebook order.
"""

from __future__ import annotations

import json
import sys
from typing import NamedTuple

from zelvo_core import protocol
from zelvo_core.analysis import Linker, cell_facts, local_modules
from zelvo_core.misc.models import ZelvoPipelineModel, is_timestamp

NOT_RUN = protocol.NOT_RUN
# Where JupyterLab records when a cell last finished running (cell metadata
# "execution", written when timing is recorded), most precise first.
_FINISHED_KEYS = ("shell.execute_reply", "iopub.status.idle")


class NotebookError(Exception):
    """A file that is not a notebook this module can read; the text says why."""


def parse_notebook(text, name):
    """Decode a notebook's JSON text; ``name`` is what messages call it."""
    try:
        notebook = json.loads(text)
    except ValueError as error:
        raise NotebookError(f"{name}: not a notebook: invalid JSON ({error})") from None
    checked_notebook(notebook, name)
    for position, cell in enumerate(notebook["cells"]):
        checked_cell(position, cell, name)
    return notebook


def checked_notebook(notebook, name):
    """Raise NotebookError unless the decoded ``notebook`` has a list of cells."""
    if not isinstance(notebook, dict) or not isinstance(notebook.get("cells"), list):
        if isinstance(notebook, dict) and notebook.get("worksheets") is not None:
            raise NotebookError(
                f"{name}: a notebook of format 3 or older; save it again with a current Jupyter"
            )
        raise NotebookError(f"{name}: not a notebook: no list of cells")


def checked_cell(index, cell, name):
    """Raise NotebookError unless the decoded ``cell`` (0-based ``index``) is a cell."""
    if not isinstance(cell, dict) or not isinstance(cell.get("cell_type"), str):
        raise NotebookError(f"{name}: cell {index} is not a notebook cell")


class SavedCell(NamedTuple):
    """One code cell of a saved notebook."""

    position: int  # 1-based, among all the notebook's cells
    id: str | None  # the cell's own id; None in notebooks saved before nbformat 4.5
    code: str
    parameters: bool  # tagged "parameters"
    execution_count: int | None
    status: str  # what the saved outputs say: succeeded, failed or not-run
    finished: str | None  # when its run ended, where the notebook records it


def saved_cells(notebook):
    """The code cells of a decoded notebook (as ``parse_notebook`` gives it), in order."""
    found = (saved_cell(position, cell) for position, cell in enumerate(notebook["cells"], 1))
    return [cell for cell in found if cell is not None]


def saved_cell(position, cell):
    """The SavedCell of a decoded notebook's cell at ``position`` (1-based); None for a cell
    that is not code."""
    if cell["cell_type"] != "code":
        return None
    count = cell.get("execution_count")
    status, finished = _execution(cell)
    return SavedCell(
        position,
        _given_id(cell),
        _source(cell),
        _is_parameters(cell),
        count if type(count) is int and count > 0 else None,
        status,
        finished,
    )


def notebook_of(session):
    """The notebook path a session (a session model) names, or None.

    A console's or a file's session names none; a front end may open a notebook's session
    under a provisional name first, which does not end in ".ipynb".
    """
    if not isinstance(session, dict) or session.get("type") not in (None, "notebook"):
        return None
    path = session.get("path")
    return path if isinstance(path, str) and path.endswith(".ipynb") else None


def kernel_of(session):
    """The kernel id of a session model, or None."""
    kernel = session.get("kernel") if isinstance(session, dict) else None
    ident = kernel.get("id") if isinstance(kernel, dict) else None
    return ident if isinstance(ident, str) else None


def notebooks_of_kernels(sessions):
    """``{kernel id: notebook path}`` of session models.

    A kernel shared by several notebooks is given the first path in sorted order, so the
    answer does not depend on the order the sessions were made in.
    """
    found = {}
    for session in sessions:
        path, kernel_id = notebook_of(session), kernel_of(session)
        if path is None or kernel_id is None:
            continue
        if kernel_id not in found or path < found[kernel_id]:
            found[kernel_id] = path
    return found


def _source(cell):
    source = cell.get("source", "")
    # nbformat stores multi-line text either whole or as a list of lines.
    if isinstance(source, list):
        return "".join(line for line in source if isinstance(line, str))
    return source if isinstance(source, str) else ""


# -- the pipeline ---------------------------------------------------------------------------


def _execution(cell):
    """(execution_status, last_execution) as far as the notebook records them."""
    outputs = cell.get("outputs")
    outputs = outputs if isinstance(outputs, list) else []
    metadata = cell.get("metadata")
    metadata = metadata if isinstance(metadata, dict) else {}
    timing = metadata.get("execution")
    timing = timing if isinstance(timing, dict) else {}
    finished = next(
        (
            timing[key]
            for key in _FINISHED_KEYS
            if isinstance(timing.get(key), str) and is_timestamp(timing[key])
        ),
        None,
    )
    if any(
        isinstance(output, dict) and output.get("output_type") == "error" for output in outputs
    ):
        return protocol.FAILED, finished
    if cell.get("execution_count") is not None or finished is not None:
        return protocol.SUCCEEDED, finished
    return NOT_RUN, None


def _given_id(cell):
    ident = cell.get("id")
    return ident if isinstance(ident, str) and ident else None


def _cell_ids(cells, name):
    """The id of each code cell: its own, or one made from its position that no cell has."""
    given = [_given_id(cell) for _, cell in cells]
    taken = set()
    for ident in given:
        if ident is None:
            continue
        if ident in taken:
            raise NotebookError(f"{name}: two cells have the id {ident!r}")
        taken.add(ident)
    ids = []
    for (position, _), ident in zip(cells, given):
        if ident is None:
            # Notebooks before nbformat 4.5 have no cell ids; the position in the
            # notebook is stable as long as the cells are not reordered.
            ident, suffix = f"cell-{position}", 1
            while ident in taken:
                suffix += 1
                ident = f"cell-{position}-{suffix}"
            taken.add(ident)
        ids.append(ident)
    return ids


def _is_parameters(cell):
    metadata = cell.get("metadata")
    tags = metadata.get("tags") if isinstance(metadata, dict) else None
    return isinstance(tags, list) and protocol.PARAMETERS_TAG in tags


def pipeline_from_notebook(notebook, name="notebook", warn=None, folder=None):
    """Return ``{"dag_info": [...]}`` for the code cells of a decoded notebook, saved in
    ``folder`` if known (its modules count as the notebook's own).

    ``warn(text)`` is called once for each thing the analysis of a cell reports (code
    that is not Python, a warning compiling it raises), naming the notebook and the cell.
    Raises NotebookError for duplicate cell ids.
    """
    if warn is None:

        def warn(text):
            print(text, file=sys.stderr)

    code_cells = [
        (position, cell)
        for position, cell in enumerate(notebook["cells"])
        if cell["cell_type"] == "code"
    ]
    linker = Linker(local_modules(folder) if folder is not None else ())
    dag_info = []
    for ident, (position, cell) in zip(_cell_ids(code_cells, name), code_cells):
        source = _source(cell)
        facts = cell_facts(source)
        for text in facts.warnings:
            warn(f"{name}: cell {ident!r} {text}")
        status, finished = _execution(cell)
        raw = {
            "id": ident,
            "component_type": protocol.PARAMETER if _is_parameters(cell) else protocol.CODE,
            "parents_id": linker.run(ident, facts),
            "code": source,
            "execution_status": status,
            "last_execution": finished,
            "position": position + 1,
        }
        count = cell.get("execution_count")
        if type(count) is int and count > 0:
            raw["execution_count"] = count
        dag_info.append(raw)
    model = ZelvoPipelineModel(dag_info=dag_info)
    return {"dag_info": [component.to_dict() for component in model.graph.components.values()]}
