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
import os
import types
from typing import Mapping, NamedTuple, Sequence

from zelvo_core.analysis import cell_facts
from zelvo_core.notebook import (
    NotebookError,
    checked_cell,
    checked_notebook,
    saved_cell,
    saved_cells,
)

from . import stepped
from .worker import breathe

_NO_FACTS = types.MappingProxyType({})


class Stamp(NamedTuple):
    """What identifies one read of a notebook: a read with the same stamp changed nothing."""

    path: str  # the API path
    file: tuple | None  # (inode, size, mtime in ns) of a local file; the manager's date else
    digest: bytes | None  # hash of the bytes of a local file
    # The facts of the cells read last, by code: an autosave changes a cell or two, and a
    # notebook of more cells than the analysis caches would be analysed whole each time.
    facts: Mapping = _NO_FACTS
    cells: Sequence = ()  # the cells read last (SavedCell values)


class Read(NamedTuple):
    """A notebook's code cells as read, and how they differ from the read before."""

    cells: list  # SavedCell values, in notebook order
    previous: Sequence  # the cells of the read before (empty if none)
    # Indices of the cells that differ from ``previous``, where no cell came, went or moved
    # (an autosave's usual edit); else None.
    changed: list | None


class TooBig(Exception):
    """The file is larger than the bound; ``args[0]`` is its size in bytes."""


class Changing(Exception):
    """The file changed while it was read: a save is under way, and its event follows."""


def shown(path):
    """``path`` as a log line may show it: a notebook's name is the user's to choose."""
    return "".join(c if c.isprintable() else repr(c)[1:-1] for c in path)


def read_local(os_path, path, last, limit):
    """In the worker: ``(stamp, read)`` of the local file ``os_path`` (API ``path``), with
    ``read`` None when the file is the one read as ``last``, else its Read.

    Raises TooBig past ``limit`` bytes, NotebookError for a file that is not a notebook
    (both with the file's ``stamp``), Changing for a file written meanwhile, OSError when it
    cannot be read.
    """
    # A file that fails keeps what was read before: the next read is compared with that.
    known, before = (last.facts, last.cells) if last is not None else (_NO_FACTS, ())
    with open(os_path, "rb") as stream:
        status = os.fstat(stream.fileno())
        file = (status.st_ino, status.st_size, status.st_mtime_ns)
        if last is not None and (last.path, last.file) == (path, file):
            return last, None
        if status.st_size > limit:
            raise _stamped(TooBig(status.st_size), Stamp(path, file, None, known, before))
        data = stream.read(limit + 1)  # it may have grown since
    if len(data) > limit:
        raise TooBig(len(data))
    # The contents manager writes a save in place: a read during the next save may get part
    # of it. That save's own event reads it again.
    now = os.stat(os_path)
    if len(data) != status.st_size or (now.st_ino, now.st_size, now.st_mtime_ns) != file:
        raise Changing()
    stamp = Stamp(path, file, hashlib.sha256(data).digest(), known, before)
    if last is not None and (last.path, last.digest) == (path, stamp.digest):
        return stamp, None
    try:
        cells = _decoded(data, shown(path))
    except NotebookError as error:
        raise _stamped(error, stamp) from None
    return _taken(stamp, cells, last)


def _stamped(error, stamp):
    # The same file fails the same way: a save that leaves it as it is is not read again.
    error.stamp = stamp
    return error


def _decoded(data, name):
    """The SavedCells of a notebook's bytes. Decoded in steps, each cell read as soon as it
    is decoded and dropped: the worker lets the event loop have the interpreter lock, and
    the notebook's many objects are never all alive at once, which would make the garbage
    collector go through them (holding the lock) again and again."""

    def each(index, cell):
        checked_cell(index, cell, name)
        breathe()
        return saved_cell(index + 1, cell)

    try:
        notebook = stepped.loads(data.decode(json.detect_encoding(data)), cells=each)
    except RecursionError:
        raise NotebookError(f"{name}: not a notebook: nested too deeply") from None
    except ValueError as error:  # UnicodeDecodeError too
        raise NotebookError(f"{name}: not a notebook: invalid JSON ({error})") from None
    checked_notebook(notebook, name)
    return [cell for cell in notebook["cells"] if cell is not None]


def cells_of(notebook, stamp, last):
    """In the worker: ``(stamp, read)`` of a notebook a contents manager decoded,
    ``stamp`` its stamp without facts, ``read`` its Read."""
    name = shown(stamp.path)
    checked_notebook(notebook, name)
    for index, cell in enumerate(notebook["cells"]):
        checked_cell(index, cell, name)
    return _taken(stamp, saved_cells(notebook), last)


def _taken(stamp, cells, last):
    """``(stamp, Read)`` of ``cells`` read after ``last``."""
    previous = last.cells if last is not None else ()
    changed = None
    if len(previous) == len(cells):
        changed = []
        for index, (before, now) in enumerate(zip(previous, cells)):
            breathe()
            if before == now:
                # The object read before stays, the new one goes at once: thousands of new
                # objects kept per save would set off the garbage collector's full passes.
                cells[index] = before
            elif changed is not None:
                if (before.id, before.position) == (now.id, now.position):
                    changed.append(index)
                else:
                    changed = None  # a cell came, went or moved
    known = last.facts if last is not None else _NO_FACTS
    stamp = stamp._replace(facts=_facts(cells, known), cells=cells)
    return stamp, Read(cells, previous, changed)


def _facts(cells, known):
    """The facts of the ``cells`` (SavedCell values) by code: a cell is analysed here,
    unless its code is among the ``known`` facts, so that the kernel's pipeline finds them
    analysed."""
    facts = {}
    for cell in cells:
        breathe()
        if cell.code not in facts:
            facts[cell.code] = known.get(cell.code) or cell_facts(cell.code)
    return facts
