"""A kernel's saved notebook, read in the worker and only when the file changed.

Autosave may write a notebook every few hundred milliseconds, and most saves of a large
notebook change a few cells or nothing the pipeline reads. A save is read again only when
the file's identity, size or modification time changed, and decoded only when its bytes
did (by their hash). Reading, decoding and analysing the cells run in the worker
(``worker.py``), never on the event loop. A file larger than the configured bound is not
read at all.
"""

from __future__ import annotations

import hashlib
import json
import json.scanner
import os
from typing import NamedTuple

from zelvo_core import protocol
from zelvo_core.analysis import Linker, cell_facts
from zelvo_core.notebook import NotebookError, _cell_ids, parse_notebook, saved_cells

# Bytes of JSON above which a notebook is decoded by the json module's Python scanner: the C
# one holds the interpreter lock until it is done (about 30 ms per MiB), and with it the
# server's event loop; the Python one, about half as fast, lets the loop run between steps.
C_DECODED = 2**20


class Stamp(NamedTuple):
    """What identifies one read of a notebook: a read with the same stamp changed nothing."""

    path: str  # the API path
    file: tuple | None  # (inode, size, mtime in ns) of a local file; the manager's date else
    digest: bytes | None  # hash of the bytes of a local file


class TooBig(Exception):
    """The file is larger than the bound; ``args[0]`` is its size in bytes."""


def shown(path):
    """``path`` as a log line may show it: a notebook's name is the user's to choose."""
    return "".join(c if c.isprintable() else repr(c)[1:-1] for c in path)


def read_local(os_path, path, last, limit):
    """In the worker: ``(stamp, cells)`` of the local file ``os_path`` (API ``path``), with
    ``cells`` None when the file is the one read as ``last``.

    Raises TooBig past ``limit`` bytes, NotebookError for a file that is not a notebook
    (both with the file's ``stamp``), OSError when it cannot be read.
    """
    with open(os_path, "rb") as stream:
        status = os.fstat(stream.fileno())
        file = (status.st_ino, status.st_size, status.st_mtime_ns)
        if last is not None and (last.path, last.file) == (path, file):
            return last, None
        if status.st_size > limit:
            raise _stamped(TooBig(status.st_size), Stamp(path, file, None))
        data = stream.read(limit + 1)  # it may have grown since
    if len(data) > limit:
        raise TooBig(len(data))
    stamp = Stamp(path, file, hashlib.sha256(data).digest())
    if last is not None and (last.path, last.digest) == (path, stamp.digest):
        return stamp, None
    try:
        notebook = _decoded(data, shown(path))
    except NotebookError as error:
        raise _stamped(error, stamp) from None
    return stamp, _cells(notebook)


def _stamped(error, stamp):
    # The same file fails the same way: a save that leaves it as it is is not read again.
    error.stamp = stamp
    return error


def _decoded(data, name):
    try:
        if len(data) <= C_DECODED:
            return parse_notebook(data, name)
        decoder = json.JSONDecoder()
        decoder.scan_once = json.scanner.py_make_scanner(decoder)
        notebook = decoder.decode(data.decode(json.detect_encoding(data)))
    except RecursionError:
        raise NotebookError(f"{name}: not a notebook: nested too deeply") from None
    except ValueError as error:  # UnicodeDecodeError too
        raise NotebookError(f"{name}: not a notebook: invalid JSON ({error})") from None
    return _checked(notebook, name)


def cells_of(notebook, path):
    """In the worker: the saved cells of a notebook a contents manager decoded."""
    return _cells(_checked(notebook, shown(path)))


def _checked(notebook, name):
    # As parse_notebook checks what it decoded.
    cells = notebook.get("cells") if isinstance(notebook, dict) else None
    if not isinstance(cells, list):
        raise NotebookError(f"{name}: not a notebook: no list of cells")
    for position, cell in enumerate(cells):
        if not isinstance(cell, dict) or not isinstance(cell.get("cell_type"), str):
            raise NotebookError(f"{name}: cell {position} is not a notebook cell")
    return notebook


def _cells(notebook):
    cells = saved_cells(notebook)
    for cell in cells:
        # Analysed here rather than on the loop when the cell's facts are asked for.
        cell_facts(cell.code)
    return cells


def dag_info(cells, path):
    """In the worker: the saved cells as the kernel's rules take them, each code cell with
    its parents by notebook order. Raises NotebookError for two cells of one id."""
    ids = _cell_ids([(cell.position - 1, {"id": cell.id}) for cell in cells], shown(path))
    linker = Linker()
    return [
        {
            "id": ident,
            "component_type": protocol.PARAMETER if cell.parameters else protocol.CODE,
            "parents_id": linker.run(ident, cell_facts(cell.code)),
            "code": cell.code,
        }
        for ident, cell in zip(ids, cells)
    ]
