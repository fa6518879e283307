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
import types
from typing import Mapping, NamedTuple

from zelvo_core.analysis import cell_facts
from zelvo_core.notebook import NotebookError, parse_notebook, saved_cells

# Bytes of JSON above which a notebook is decoded by the json module's Python scanner: the C
# one holds the interpreter lock until it is done (about 30 ms per MiB), and with it the
# server's event loop; the Python one, about half as fast, lets the loop run between steps.
C_DECODED = 2**20


_NO_FACTS = types.MappingProxyType({})


class Stamp(NamedTuple):
    """What identifies one read of a notebook: a read with the same stamp changed nothing."""

    path: str  # the API path
    file: tuple | None  # (inode, size, mtime in ns) of a local file; the manager's date else
    digest: bytes | None  # hash of the bytes of a local file
    # The facts of the cells read last, by code: an autosave changes a cell or two, and a
    # notebook of more cells than the analysis caches would be analysed whole each time.
    facts: Mapping = _NO_FACTS


class TooBig(Exception):
    """The file is larger than the bound; ``args[0]`` is its size in bytes."""


class Changing(Exception):
    """The file changed while it was read: a save is under way, and its event follows."""


def shown(path):
    """``path`` as a log line may show it: a notebook's name is the user's to choose."""
    return "".join(c if c.isprintable() else repr(c)[1:-1] for c in path)


def read_local(os_path, path, last, limit):
    """In the worker: ``(stamp, saved)`` of the local file ``os_path`` (API ``path``), with
    ``saved`` None when the file is the one read as ``last``, else its cells (SavedCell).

    Raises TooBig past ``limit`` bytes, NotebookError for a file that is not a notebook
    (both with the file's ``stamp``), Changing for a file written meanwhile, OSError when it
    cannot be read.
    """
    known = last.facts if last is not None else _NO_FACTS
    with open(os_path, "rb") as stream:
        status = os.fstat(stream.fileno())
        file = (status.st_ino, status.st_size, status.st_mtime_ns)
        if last is not None and (last.path, last.file) == (path, file):
            return last, None
        if status.st_size > limit:
            raise _stamped(TooBig(status.st_size), Stamp(path, file, None, known))
        data = stream.read(limit + 1)  # it may have grown since
    if len(data) > limit:
        raise TooBig(len(data))
    # The contents manager writes a save in place: a read during the next save may get part
    # of it. That save's own event reads it again.
    now = os.stat(os_path)
    if len(data) != status.st_size or (now.st_ino, now.st_size, now.st_mtime_ns) != file:
        raise Changing()
    stamp = Stamp(path, file, hashlib.sha256(data).digest(), known)
    if last is not None and (last.path, last.digest) == (path, stamp.digest):
        return stamp, None
    try:
        notebook = _decoded(data, shown(path))
    except NotebookError as error:
        raise _stamped(error, stamp) from None
    cells, facts = _saved(notebook, path, known)
    return stamp._replace(facts=facts), cells


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


def cells_of(notebook, stamp, last):
    """In the worker: ``(stamp, cells)`` of a notebook a contents manager
    decoded, ``stamp`` its stamp without facts."""
    known = last.facts if last is not None else _NO_FACTS
    cells, facts = _saved(_checked(notebook, shown(stamp.path)), stamp.path, known)
    return stamp._replace(facts=facts), cells


def _checked(notebook, name):
    # As parse_notebook checks what it decoded.
    cells = notebook.get("cells") if isinstance(notebook, dict) else None
    if not isinstance(cells, list):
        raise NotebookError(f"{name}: not a notebook: no list of cells")
    for position, cell in enumerate(cells):
        if not isinstance(cell, dict) or not isinstance(cell.get("cell_type"), str):
            raise NotebookError(f"{name}: cell {position} is not a notebook cell")
    return notebook


def _saved(notebook, path, known):
    """The notebook's saved cells (SavedCell values), and their facts by code: a cell is
    analysed here, unless its code is among the ``known`` facts, so that the kernel's
    pipeline finds them analysed."""
    cells = saved_cells(notebook)
    facts = {}
    for cell in cells:
        if cell.code not in facts:
            facts[cell.code] = known.get(cell.code) or cell_facts(cell.code)
    return cells, facts
