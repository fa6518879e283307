"""A pipeline derived from a notebook: its code cells and the cells each depends on.

Reading the notebook is done here; which cells depend on which is the analysis of
``zelvo_core.analysis``, run over the code cells in notebook order, and the components
are built and checked by the pipeline model.
"""

from __future__ import annotations

import json
import sys

from zelvo_core import protocol
from zelvo_core.analysis import Linker, cell_facts
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
    if not isinstance(notebook, dict) or not isinstance(notebook.get("cells"), list):
        if isinstance(notebook, dict) and notebook.get("worksheets") is not None:
            raise NotebookError(
                f"{name}: a notebook of format 3 or older; save it again with a current Jupyter"
            )
        raise NotebookError(f"{name}: not a notebook: no list of cells")
    for position, cell in enumerate(notebook["cells"]):
        if not isinstance(cell, dict) or not isinstance(cell.get("cell_type"), str):
            raise NotebookError(f"{name}: cell {position} is not a notebook cell")
    return notebook


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


def pipeline_from_notebook(notebook, name="notebook", warn=None):
    """Return ``{"dag_info": [...]}`` for the code cells of a decoded notebook.

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
    linker = Linker()
    dag_info = []
    for ident, (_, cell) in zip(_cell_ids(code_cells, name), code_cells):
        source = _source(cell)
        facts = cell_facts(source)
        for text in facts.warnings:
            warn(f"{name}: cell {ident!r} {text}")
        status, finished = _execution(cell)
        dag_info.append(
            {
                "id": ident,
                "component_type": protocol.PARAMETER if _is_parameters(cell) else protocol.CODE,
                "parents_id": linker.run(ident, facts),
                "code": source,
                "execution_status": status,
                "last_execution": finished,
            }
        )
    model = ZelvoPipelineModel(dag_info=dag_info)
    return {"dag_info": [component.to_dict() for component in model.graph.components.values()]}
