"""Linking cells: which earlier runs a new run of a cell depends on."""

from __future__ import annotations

import collections
import itertools
import os
from typing import NamedTuple

from .channels import module_files
from .records import CellFacts
from .state import (
    FIGURE,
    PLOTTING_METHODS,
    SHOWING,
    SHOWING_CALLS,
    changed_by,
    figure_use,
    is_state,
    read_by,
    state,
)

# How many ancestors a run's search for parents it can leave out visits at most: a parent
# not found within them is kept, which bounds a run's cost in a long chain of cells.
_SEARCHED = 1000
# How many names a group of views holds at most, which bounds what a change costs; a view
# beyond them is not followed.
_GROUP = 64
# How a run left a name: bound, changed in place, deleted.
_DEFINED, _REVISED, _DELETED = "defined", "revised", "deleted"


# How many entries of a notebook's folder local_modules looks at, at most.
_FOLDER_ENTRIES = 10_000


def local_modules(folder):
    """The modules a notebook in ``folder`` imports from there rather than from the
    installed libraries: its `.py` files and packages (folders with `__init__.py`), as
    Linker's ``local_modules`` takes them. Empty if the folder cannot be read."""
    names = set()
    try:
        with os.scandir(folder) as entries:
            for entry in itertools.islice(entries, _FOLDER_ENTRIES):
                stem, suffix = os.path.splitext(entry.name)
                if suffix == ".py" or (
                    not suffix and os.path.isfile(os.path.join(entry.path, "__init__.py"))
                ):
                    names.add(stem)
    except OSError:
        return frozenset()
    return frozenset(name for name in names if name.isidentifier())


class _Run(NamedTuple):
    order: int  # when the run happened, among the Linker's runs
    facts: CellFacts
    parents: tuple
    writes: tuple  # (name, how) pairs of what the run left
    paths: tuple  # the files it wrote
    imports: dict  # name -> module, of the names it bound by import


class Linker:
    """The cells that ran, in order, and what each left: finds a new run's parents.

    ``run(cell_id, facts)`` records that the cell ran now (a rerun replaces its earlier
    run) and returns its parents: for each name it reads (directly, or through a function,
    lambda or class of the notebook that it calls or passes on, as the names stand at this
    call), the cell whose latest run before this one defined or revised it. A cell that
    revises a name reads it too, so it depends on the name's earlier definer. A cell that
    star-imports, or runs or loads a file (``%run``, ``%load``), may define any name: a
    reader depends on it when it ran after the name's definer (or no cell defines the
    name). A file read by ``%run`` / ``%load`` links to the cell that wrote it
    (``%%writefile``). A parent found only through a called function is left out when it
    is already an ancestor of the other parents (among their nearest 1,000). Each parent
    comes once, in the order of the parents' runs.

    What passes between cells other than by names links them too (see CellFacts):

    - A library's global state (state.py) is a name "<state:library>" that a cell changing
      it revises (``plt.style.use``, ``np.random.seed``, ``pd.set_option``, ...; also in a
      notebook function it calls) and that a cell using a name bound to the library by
      import reads. An import of one of
      ``local_modules`` (the modules beside the notebook, see ``local_modules()``), or of a
      module a cell wrote, may change any library's state, as may ``%run``.
    - Names bound to views of one another (``b = a[:2]``) form a group: a change to one
      changes all, as long as they stay so bound.
    - A method call on a name bound to a stateful object (a generator, an iterator, a file)
      revises it.
    - A cell reading a file named by a literal, or importing a module of that file name,
      depends on the latest cell that wrote it.

    ``forget(cell_id)`` drops a deleted cell. Parents returned for earlier runs are not
    revised: a cell run again after the cells that depend on it, now reading one of them,
    gets it as a parent, and the parents of the runs form a cycle that a caller keeping a
    pipeline has to resolve. Not thread-safe: one caller at a time.
    """

    def __init__(self, local_modules=()):
        self._runs = {}  # cell id -> _Run, in the order of the runs
        self._writes = {}  # name -> {cell id: how}, in the order of the runs
        self._binds = {}  # the same, for the runs that bound or deleted the name
        self._files = {}  # path -> {cell id: None}, in the order of the runs
        self._providers = {}  # cell ids whose runs may have defined any name
        self._state_providers = {}  # cell ids whose runs may have changed any library state
        self._states = {}  # the state names that runs read or changed
        self._methods = {}  # method name -> {cell id: None} of cells with such a class
        self._groups = {}  # name -> the set of names whose objects may share memory with it
        self._local = frozenset(local_modules)  # modules of the notebook's folder
        self._clock = 0

    def run(self, cell_id, facts):
        """Record a run of ``cell_id`` with ``facts``; return its parents' ids (a list)."""
        self.forget(cell_id)
        direct, called, writes = {}, {}, {}
        own = dict(facts.imports)
        reads, revises, leaves, local = self._channels(facts, own)
        if local:
            # It may change any library's state: those the notebook used so far, and (as a
            # provider) those it uses later.
            revises.update(dict.fromkeys(self._states))
        for name in (*facts.reads, *facts.revises, *reads, *revises):
            self._add_writer(name, direct)
        for path in (*facts.file_reads, *facts.loads):
            writers = self._files.get(path)
            if writers:
                direct[next(reversed(writers))] = None
        used, paths = {}, {}  # names the notebook's functions it calls read, and paths
        self._follow_calls(facts, called, writes, used, paths)
        for name in used:
            module = self._module_of(name)
            for read in read_by(module) if module else ():
                self._add_writer(read, called)
        for path, how in paths:
            # What the functions change (`np.random.seed(...)`, a draw), as names stand now.
            full = self._resolve(path, own)
            for changed in changed_by(full, how) if full else ():
                self._add_writer(changed, called)
                revises[changed] = None
        for name in (*facts.revises, *revises):
            writes[name] = _REVISED
        for name in facts.defines:
            writes[name] = _DEFINED
        for name in facts.deletes:
            writes[name] = _DELETED
        writes.update(leaves)
        changed = [*facts.revises, *(name for name, how in writes.items() if how == _REVISED)]
        for name in changed:
            # A change through a view changes what it views, and the other views.
            for other in self._groups.get(name, ()):
                writes.setdefault(other, _REVISED)
        only_called = called.keys() - direct.keys()
        if only_called:
            found = self._ancestors_among({**direct, **called}, only_called)
            called = {cell: None for cell in called if cell not in found}
        parents = sorted({**direct, **called}, key=lambda cell: self._runs[cell].order)

        run = _Run(
            self._clock, facts, tuple(parents), tuple(writes.items()), facts.file_writes, own
        )
        self._clock += 1
        self._runs[cell_id] = run
        for name, how in run.writes:
            self._writes.setdefault(name, {})[cell_id] = how
            if how != _REVISED:
                self._binds.setdefault(name, {})[cell_id] = how
        for path in run.paths:
            self._files.setdefault(path, {})[cell_id] = None
        if facts.star_imports or facts.file_reads:
            self._providers[cell_id] = None
        if local or facts.file_reads:
            self._state_providers[cell_id] = None
        self._states.update(dict.fromkeys(name for name in writes if is_state(name)))
        self._states.update(dict.fromkeys(reads))
        self._regroup(facts, writes)
        for body in facts.functions.values():
            for method in body.methods:
                self._methods.setdefault(method, {})[cell_id] = None
        return parents

    def forget(self, cell_id):
        """Drop the run of ``cell_id`` (a deleted cell); its names go back to earlier runs."""
        run = self._runs.pop(cell_id, None)
        if run is None:
            return
        for table, keys in (
            (self._writes, (name for name, _ in run.writes)),
            (self._binds, (name for name, how in run.writes if how != _REVISED)),
            (self._files, run.paths),
            (self._methods, (m for body in run.facts.functions.values() for m in body.methods)),
        ):
            for key in keys:
                cells = table.get(key)
                if cells is not None:
                    cells.pop(cell_id, None)
                    if not cells:
                        del table[key]
        self._providers.pop(cell_id, None)
        self._state_providers.pop(cell_id, None)

    # -- what passes other than by names

    def _channels(self, facts, own):
        """(state names read, names revised, {state name: how} left, whether it imports a
        local module) by a run: the libraries' states it uses and changes, the stateful
        objects it uses, and pyplot's current figure."""
        reads, revises, pyplot = {}, {}, []
        for name in (*facts.reads, *own):
            module = own.get(name) or self._module_of(name)
            if module:
                reads.update(dict.fromkeys(read_by(module)))
        if PLOTTING_METHODS.intersection(facts.method_calls):
            reads[state("matplotlib")] = None
        if facts.displays or SHOWING_CALLS.intersection(facts.calls):
            reads.update(dict.fromkeys(SHOWING))
        for path, how in facts.paths:
            full = self._resolve(path, own)
            if full:
                revises.update(dict.fromkeys(changed_by(full, how)))
                if how == "call" and full.startswith("matplotlib.pyplot."):
                    pyplot.append(full.rpartition(".")[2])
        for name in facts.objects_called:
            binder = self._binder(name)
            if binder is not None and name in self._runs[binder].facts.stateful:
                revises[name] = None
        local = any(self._is_local(module) for module in (*own.values(), *facts.star_imports))
        on_figure, left_open = figure_use(pyplot)
        if on_figure:
            reads[FIGURE] = None
        leaves = {} if left_open is None else {FIGURE: _DEFINED if left_open else _DELETED}
        return reads, revises, leaves, local

    def _resolve(self, path, own):
        """The module path a chain of attributes stands for ("plt.plot" with plt bound to
        matplotlib.pyplot: "matplotlib.pyplot.plot"), or None; ``own``: the run's imports."""
        root, dot, rest = path.partition(".")
        module = root if root.startswith("%") else own.get(root) or self._module_of(root)
        return module + dot + rest if module else None

    def _is_local(self, module):
        """Whether importing ``module`` runs a module of the notebook's folder, or one that a
        cell wrote (`%%writefile mod.py`)."""
        top = module.partition(".")[0]
        return top in self._local or any(path in self._files for path in module_files(top))

    def _binder(self, name):
        """The cell whose run last bound ``name``, or None (none did, or it was deleted)."""
        binds = self._binds.get(name)
        if binds:
            cell = next(reversed(binds))
            if binds[cell] == _DEFINED:
                return cell
        return None

    def _module_of(self, name):
        """The module ``name`` is bound to by import, or None."""
        binder = self._binder(name)
        return self._runs[binder].imports.get(name) if binder is not None else None

    def _regroup(self, facts, writes):
        """Names a run binds leave their groups of views; its views join theirs."""
        for name, how in writes.items():
            # `x2 += 1` binds x2 again, to the same object.
            if how != _REVISED and name not in facts.revises:
                group = self._groups.pop(name, None)
                if group is not None:
                    group.discard(name)
        for name, of in facts.aliases:
            group = self._groups.setdefault(of, {of})
            if len(group) < _GROUP:
                group.add(name)
                self._groups[name] = group

    # -- lookups

    def _add_writer(self, name, parents):
        """Add to ``parents`` the cells whose runs may have left ``name`` as it is now."""
        writers = self._writes.get(name)
        after = -1
        if writers:
            cell = next(reversed(writers))
            if writers[cell] != _DELETED:
                parents[cell] = None
            after = self._runs[cell].order
        # Providers are in the order of their runs: only those after the writer count.
        for cell in reversed(self._state_providers if is_state(name) else self._providers):
            if self._runs[cell].order < after:
                break
            parents[cell] = None

    def _body(self, name):
        """((cell id, name), Body) of the function ``name`` is bound to now, or None."""
        # A run that defines a function binds its name: the binder is the one to look at.
        cell = self._binder(name)
        body = self._runs[cell].facts.functions.get(name) if cell is not None else None
        return None if body is None else ((cell, name), body)

    def _method_bodies(self, method):
        for cell in self._methods.get(method, ()):
            for name, body in self._runs[cell].facts.functions.items():
                current = self._body(name)
                if method in body.methods and current is not None and current[0][0] == cell:
                    yield (cell, name, method), body.methods[method]

    def _follow_calls(self, facts, parents, writes, used, paths):
        """What the notebook's functions that the cell calls read (their cells into
        ``parents``, the names into ``used``), leave (into ``writes``) and call or assign
        into (``paths``), following their calls in turn."""
        pending = collections.deque()
        seen = set()

        def enqueue(key, body, own=False):
            if key not in seen:
                seen.add(key)
                pending.append((body, own))

        for name in facts.reads:
            found = self._body(name)
            if found is not None:
                enqueue(*found)
        for method in facts.method_calls:
            for found in self._method_bodies(method):
                enqueue(*found)
        # The cell's own functions that it calls: their reads are the cell's already.
        for name in facts.calls:
            if name in facts.functions:
                enqueue((None, name), facts.functions[name], own=True)
        while pending:
            body, own = pending.popleft()
            paths.update(dict.fromkeys(body.paths))
            for name in body.reads:
                if own:
                    if name in facts.functions:
                        enqueue((None, name), facts.functions[name], own=True)
                    continue
                self._add_writer(name, parents)
                used[name] = None
                found = self._body(name)
                if found is not None:
                    enqueue(*found)
            for name in body.revises:
                if not own:
                    self._add_writer(name, parents)
                writes[name] = _REVISED
            for name in body.assigns:
                writes[name] = _DEFINED
            for method in body.method_calls:
                for found in self._method_bodies(method):
                    enqueue(*found)

    def _ancestors_among(self, cells, wanted):
        """Those of ``wanted`` that ``cells`` depend on through their recorded parents."""
        wanted = set(wanted)
        found = set()
        seen = set()
        # Breadth first: what a call reads is usually a parent of the function's cell.
        queue = collections.deque(parent for cell in cells for parent in self._runs[cell].parents)
        while queue and found != wanted and len(seen) < _SEARCHED:
            cell = queue.popleft()
            if cell in seen or cell not in self._runs:
                continue
            seen.add(cell)
            if cell in wanted:
                found.add(cell)
            queue.extend(self._runs[cell].parents)
        return found
