"""A kernel's pipeline as its front ends run cells: the rules, without the server.

Each run of a cell (an ``execute_request`` whose metadata names the cell) goes through the
kernel's messages: the request, the kernel's ``execute_input`` when the run starts (in the
order the kernel runs them), an ``error`` if it raised, and its ``execute_reply`` or its
``status: idle`` when it ends, all tied by the request's ``msg_id``.

- One component per cell of the notebook: the saved notebook's code cells, and the cells its
  front ends ran. A front end's cell id names the component; where the saved notebook has no
  cell ids (nbformat 4.4 and older), front ends make ids up on each load, and a run is
  matched to a saved cell by its code and its place after the cell run before it, so the
  component keeps one id for the kernel's lifetime (``front_end_id`` gives the latest).
- Notebook order: the saved notebook's, with a cell it does not hold yet placed after the
  cell run before it. Parents are what a cell's code needs among the cells before it in that
  order (the analysis run over the cells in order, each with the latest code run for it, else
  its saved code), so they do not depend on what ran since the kernel started.
- Status from the runs: ``running`` from the start of a run, then ``succeeded`` or ``failed``
  (with the error the kernel gave); ``not-run`` for a cell that has not run in this kernel,
  and for every cell after the kernel restarted (its last run time kept). A succeeded cell
  is ``invalid`` once an ancestor starts a later run, fails, or is deleted; its own next run
  makes it current.
- A cell a front end deleted leaves; only running it again brings it back. A cell that is no
  longer in the saved notebook leaves on the save that drops it.
- Messages seen more than once (every connection of a kernel receives each iopub message)
  count once: a request starts and ends once.

The analysis is not done here: ``links()`` gives what to link and ``linked()`` takes the
answer, so that a caller can run ``link`` elsewhere (the server, in its worker thread).
Everything else costs what it touches: a run updates its component and its descendants.
"""

from __future__ import annotations

import collections
import datetime
import difflib
import heapq
import itertools
import re
import time

from zelvo_core import graph, protocol
from zelvo_core.analysis import Linker, cell_facts, local_modules
from zelvo_core.misc.models import ErrorInfo, OutdatedBy, PipelineComponent

from .worker import breathe

# Requests kept waiting for their run at most; a front end that floods requests the kernel
# never answers loses the oldest.
PENDING_RUNS = 10_000
# Of an error, what is kept: the last lines of its traceback, each cut to a length.
TRACEBACK_LINES = 10
LINE_LENGTH = 500
NAME_LENGTH = 200
MESSAGE_LENGTH = 2_000
# Front-end ids kept per component: earlier loads' are never sent again.
KEPT_ALIASES = 4
# How long after a run of a cell a save may still not hold that cell (it was written before
# the run's request came), in seconds.
SAVE_SLACK = 5.0
# The most pairs of cells a reread notebook without ids aligns by code; past it (thousands of
# cells changed in one save), cells keep their components by position alone.
ALIGNED = 250_000
_ANSI = re.compile(r"\x1b\[[0-9;?]*[ -/]*[@-~]")


class Cell:
    """One component, as the rules keep it."""

    __slots__ = (
        "code", "component_type", "count", "error", "facts", "front_end_id", "last_execution",
        "outdated", "parents", "position", "posted", "requested", "saved", "seq", "started",
        "status", "tagged",
    )  # fmt: skip

    def __init__(self, code, status=protocol.NOT_RUN):
        self.code = code  # the latest run's code, else the saved code
        self.status = status  # running, succeeded, failed or not-run
        self.parents = ()  # ids, as the last linking gave them
        self.facts = None  # the analysis of its code when last linked; None until then
        self.last_execution = None  # ISO 8601 end of the latest run
        self.started = None  # ISO 8601 start of the latest run
        self.seq = 0  # the order of its latest run's start among the kernel's runs; 0: none
        self.outdated = None  # OutdatedBy, while an ancestor's later run leaves it behind
        self.error = None  # ErrorInfo of its latest run, if it failed
        self.count = None  # the kernel's execution count of its latest run
        self.front_end_id = None  # the id a front end last ran it under, if not its own
        self.position = None  # 1-based among the saved notebook's cells
        self.saved = False  # in the saved notebook
        self.posted = False  # taken from a posted pipeline, its parents as posted
        self.component_type = None  # as posted, else by tags
        self.tagged = None  # whether its latest request tagged it "parameters"; None: no tags
        self.requested = 0.0  # time.time() of its latest request


class _Pending:
    """A request the kernel has not finished."""

    __slots__ = ("cell_id", "code", "error", "started", "tagged")

    def __init__(self, cell_id, code, tagged):
        self.cell_id, self.code, self.tagged = cell_id, code, tagged
        self.started = False
        self.error = None


def end_time(date):
    """A header's ``date`` as ISO 8601 in UTC; now if it is missing or unreadable."""
    if isinstance(date, str):
        text = date[:-1] + "+00:00" if date[-1:] in ("Z", "z") else date
        try:
            moment = datetime.datetime.fromisoformat(text)
        except ValueError:
            moment = None
        if moment is not None:
            if moment.tzinfo is None:
                moment = moment.replace(tzinfo=datetime.timezone.utc)
            return moment.astimezone(datetime.timezone.utc).isoformat()
    return datetime.datetime.now(datetime.timezone.utc).isoformat()


def _cut(text, length):
    text = text if isinstance(text, str) else ""
    return text if len(text) <= length else text[: length - 1] + "…"


def error_info(content):
    """ErrorInfo of an ``error`` message's or an error reply's content."""
    lines = []
    traceback = content.get("traceback")
    for entry in traceback[-TRACEBACK_LINES:] if isinstance(traceback, list) else ():
        if isinstance(entry, str):
            lines.extend(_ANSI.sub("", entry[-LINE_LENGTH * TRACEBACK_LINES :]).splitlines())
    lines = [_cut(line, LINE_LENGTH) for line in lines if line.strip()][-TRACEBACK_LINES:]
    return ErrorInfo(
        _cut(content.get("ename"), NAME_LENGTH), _cut(content.get("evalue"), MESSAGE_LENGTH),
        tuple(lines),
    )  # fmt: skip


class LinkMemo:
    """What the last linking of one kernel's cells found, for the next: an autosave changes
    a cell or two, often not what it reads or defines. Only the worker touches it. Kept as
    mappings of shared or untracked values: a new object per cell and linking would set off
    the garbage collector's full passes."""

    __slots__ = ("modules", "codes", "facts", "parents")

    def __init__(self):
        self.modules = None  # the local modules it was linked with
        self.codes = {}  # id -> code, in notebook order
        self.facts = {}  # id -> CellFacts
        self.parents = {}  # id -> parent ids


def link(cells, folder=None, memo=None):
    """Parents by notebook order: ``cells`` is ``[(id, code), ...]`` in that order, of a
    notebook in ``folder`` (whose modules its cells may import), if known; returns
    ``{id: (parents, facts)}``. With the ``memo`` of the last linking, only the cells whose
    code or parents changed since, and the analysis is skipped where no cell's facts did.
    For one thread at a time, not the event loop's: it reads the folder, and the analysis
    of a cell may take milliseconds."""
    modules = local_modules(folder) if folder is not None else frozenset()
    if memo is None or memo.modules != modules:
        memo, known = LinkMemo(), {}
    else:
        known = memo.codes
    if len(known) == len(cells) and all(
        ident == old_ident for (ident, _), old_ident in zip(cells, known)
    ):
        # The same cells in the same order: where no cell's facts changed, the same
        # parents, and the last linking is brought up to date in place.
        changed = {ident: _facts(code) for ident, code in cells if known[ident] != code}
        if all(facts == memo.facts[ident] for ident, facts in changed.items()):
            for ident, code in cells:
                if ident in changed:
                    memo.codes[ident], memo.facts[ident] = code, changed[ident]
            return {ident: (memo.parents[ident], facts) for ident, facts in changed.items()}
    linker, codes, facts_of, parents_of, found = Linker(modules), {}, {}, {}, {}
    for ident, code in cells:
        facts = facts_of[ident] = _facts(code)
        parents = parents_of[ident] = tuple(linker.run(ident, facts))
        codes[ident] = code
        if known.get(ident) != code or memo.parents.get(ident) != parents:
            found[ident] = (parents, facts)
    memo.modules, memo.codes, memo.facts, memo.parents = modules, codes, facts_of, parents_of
    return found


def _current(cell):
    return cell is not None and cell.status == protocol.SUCCEEDED and cell.outdated is None


def _facts(code):
    breathe()  # each cell's analysis and run of the Linker take microseconds
    return cell_facts(code)


class KernelPipeline:
    """The rules for one kernel; fed messages in the order the server sees them. Each
    method answers whether the pipeline changed."""

    def __init__(self):
        self.cells = {}  # component id -> Cell
        self.order = []  # component ids in notebook order
        self.aliases = {}  # front-end id -> component id, where they differ
        self.claimed = {}  # component id -> when a front-end id was last matched to it
        self.runs = collections.OrderedDict()  # request msg_id -> _Pending
        self.deleted = set()  # saved cells a front end deleted, until a save drops them
        self.unnamed = False  # the saved notebook has cells without ids
        self.touched = set()  # ids changed since the last registration
        self._taken = self.touched  # the ids the last changes() gave
        self.gone = set()  # ids deleted since the last registration
        self.reordered = False  # the order changed since the last registration
        self.relink = True  # code or order changed since the last linking
        self.restarted_at = None  # when the kernel last restarted, ISO 8601
        self._children = None  # parent id -> child ids, until a link changes
        self.memo = LinkMemo()  # the last linking's, for ``link``
        # The saved cells taken last, while each is its own component under its id and the
        # order holds them alone: the next save may look at its changed cells only.
        self._plain = None
        # A run's walk over its descendants is skipped where no current cell (succeeded, not
        # out of date) comes after it in notebook order and every cell's parents come before
        # it (``_forward``): Run All would walk every later cell at each run.
        self._positions = None  # id -> index in the order, until the order changes
        self._currents = None  # heap of (-position, id) of current cells, some stale
        self._forward = False
        self._clock = 0  # runs started
        self._claims = 0
        self._cursor = None  # the component of the latest request
        self._looked = None  # (position of each id in the order, saved ids by code), lazily
        self._aliases_of = {}  # component id -> its latest front-end ids, oldest first
        self._count = 0  # the highest execution count seen since the last restart

    # -- what the kernel's messages say

    def request(self, msg_id, front_id, code, deleted=(), tags=None, now=None):
        """A front end asked to run ``code`` as its cell ``front_id``; ``deleted`` lists cells
        it deleted since its last request, ``tags`` are the cell's tags if it sent them."""
        changed = False
        if deleted:
            # Only ids of this pipeline matter, whatever the length of the list.
            known = self.cells.keys() | self.aliases.keys()
            for gone in known.intersection(gone for gone in deleted if type(gone) is str):
                if gone != front_id:
                    changed = self._delete(self.aliases.get(gone, gone)) or changed
        ident = self._identify(front_id, code)
        tagged = protocol.PARAMETERS_TAG in tags if isinstance(tags, list) else None
        if len(self.runs) >= PENDING_RUNS:
            self.runs.popitem(last=False)
        self.runs[msg_id] = _Pending(ident, code, tagged)
        cell = self.cells.get(ident)
        if cell is None:
            self.deleted.discard(ident)
            cell = self.cells[ident] = Cell(code)
            self._place(ident)
            self.touched.add(ident)
            changed = True
        cell.requested = time.time() if now is None else now
        front_end_id = front_id if front_id != ident else None
        if cell.front_end_id != front_end_id:
            cell.front_end_id = front_end_id
            self.touched.add(ident)
            changed = True
        self._cursor = ident
        return changed

    def started(self, msg_id, count=None, date=None):
        """The kernel started the run that ``msg_id`` asked for, as execution ``count``."""
        run = self.runs.get(msg_id)
        if run is None or run.started:
            return False
        if isinstance(count, int) and not isinstance(count, bool):
            if count <= self._count and count == 1:
                self.restarted(date)  # the counts start again: the kernel restarted
                self.runs[msg_id] = run
            self._count = max(self._count, count)
        else:
            count = None
        run.started = True
        self._start(run, count, date)
        return True

    def failed(self, msg_id, content):
        """The run of ``msg_id`` raised: the kernel's ``error`` message."""
        run = self.runs.get(msg_id)
        if run is not None:
            run.error = error_info(content)
        return False

    def replied(self, msg_id, status, date=None, content=None):
        """The kernel answered request ``msg_id`` with ``status`` (``ok``, ``error`` or
        ``aborted``) at ``date``."""
        run = self.runs.pop(msg_id, None)
        if run is None:
            return False
        cell = self.cells.get(run.cell_id)
        if status == "aborted" and not run.started:
            return False  # left as it was; a new cell stays not-run
        if cell is None:
            return False  # deleted meanwhile
        if not run.started:
            # A kernel that does not announce its inputs, or a POST that came mid-run.
            self._start(run, None, date)
        if status == "error" and run.error is None and isinstance(content, dict):
            run.error = error_info(content)
        self._end(run, cell, status == "ok", date)
        return True

    def idle(self, msg_id, date=None):
        """The kernel went idle after ``msg_id``: a run it started has ended, even where its
        reply went to a connection that closed."""
        run = self.runs.get(msg_id)
        if run is None or not run.started:
            return False
        del self.runs[msg_id]
        cell = self.cells.get(run.cell_id)
        if cell is None:
            return False
        self._end(run, cell, run.error is None, date)
        return True

    def restarted(self, date=None):
        """The kernel restarted: it holds nothing of what ran before."""
        self.runs.clear()
        self._count = 0
        self.restarted_at = end_time(date)
        for ident, cell in self.cells.items():
            if cell.status != protocol.NOT_RUN or cell.outdated is not None:
                if cell.status == protocol.RUNNING:
                    cell.last_execution = self.restarted_at
                cell.status, cell.outdated, cell.error = protocol.NOT_RUN, None, None
                self.touched.add(ident)
        return True

    # -- what the server knows besides

    def notebook_saved(self, saved, now=None, previous=None, changed=None):
        """The saved notebook's code cells are ``saved`` (SavedCell values, in order). Where
        the cells taken last were ``previous`` and only those at indices ``changed`` differ,
        only those are looked at."""
        if changed is not None and previous is not None and previous is self._plain:
            # An autosave of a notebook whose cells all have ids: costs what changed.
            for index in changed:
                cell = saved[index]
                if cell.id not in self.deleted:
                    self._take_saved(cell.id, cell)
            self._plain = saved
            return True
        now = time.time() if now is None else now
        self.unnamed = any(cell.id is None for cell in saved)
        order, taken, renamed = [], set(), False
        unsaved = [ident for ident in self.order if not self.cells[ident].saved]
        before = [ident for ident in self.order if self.cells[ident].saved]
        matches = self._match_saved(saved, before, unsaved) if self.unnamed else {}
        still_deleted = set()
        for index, cell in enumerate(saved):
            ident = cell.id if cell.id is not None else matches.get(index)
            if ident is None or ident in taken:
                ident, renamed = self._new_id(f"cell-{cell.position - 1}", taken), True
            taken.add(ident)
            if ident in self.deleted:
                still_deleted.add(ident)  # deleted in the front end since this was saved
                continue
            order.append(ident)
            self._take_saved(ident, cell)
        # What the save does not hold: cells run since it was written stay, after the cell
        # before them; the others were deleted.
        kept = set(order)
        for ident in list(self.order):
            if ident in kept:
                continue
            cell = self.cells[ident]
            if cell.saved or cell.requested < now - SAVE_SLACK:
                self._delete(ident)
                self.deleted.discard(ident)
            else:
                after = self.order.index(ident)
                before = next(
                    (self.order[i] for i in range(after - 1, -1, -1) if self.order[i] in kept),
                    None,
                )
                order.insert(order.index(before) + 1 if before is not None else len(order), ident)
                kept.add(ident)
        self.deleted = still_deleted
        if order != self.order:
            self.order, self.reordered, self.relink = order, True, True
            self._reordered()
        self._looked = None
        # Every saved cell is its own component, and the order holds nothing else.
        plain = not (self.unnamed or renamed) and len(order) + len(still_deleted) == len(saved)
        self._plain = saved if plain else None
        return True

    def _take_saved(self, ident, cell):
        component = self.cells.get(ident)
        if component is None:
            component = self.cells[ident] = Cell(cell.code)
            self.touched.add(ident)
        elif component.seq == 0 and not component.posted and component.code != cell.code:
            component.code = cell.code  # not run: the saved code
            self._looked, self.relink = None, True
            self.touched.add(ident)
        if not component.saved or component.position != cell.position:
            component.saved, component.position = True, cell.position
            self.touched.add(ident)
        parameter = protocol.PARAMETER if cell.parameters else None
        if component.component_type != parameter and not component.posted:
            component.component_type = parameter
            self.touched.add(ident)

    def adopt(self, components):
        """Take a pipeline some client registered (PipelineComponent values) as the current
        one: it replaces what was observed, except the cells that changed since the last
        registration; later runs update its components by id."""
        cells, order = {}, []
        for component in components:
            ident = component.id
            if ident in self.touched:
                if ident in self.cells:  # else deleted since
                    cells[ident] = self.cells[ident]
                    order.append(ident)
                continue
            cell = self.cells.get(ident) or Cell(component.code)
            cell.code, cell.facts, cell.posted = component.code, None, True
            self.memo = LinkMemo()  # its parents are the posted ones now
            invalid = component.execution_status == protocol.INVALID
            cell.status = protocol.SUCCEEDED if invalid else component.execution_status
            cell.outdated = component.outdated_by or (
                OutdatedBy("", None, ()) if invalid else None
            )
            cell.parents = component.parents_id
            cell.last_execution = component.last_execution
            cell.component_type, cell.error = component.component_type, component.error
            cells[ident] = cell
            order.append(ident)
            self.deleted.discard(ident)
        for ident in self.touched:
            if ident in self.cells and ident not in cells:
                cells[ident] = self.cells[ident]
                order.append(ident)
        self.cells, self.order = cells, order
        self._children = self._looked = self._plain = None
        self._reordered()
        self.reordered = self.relink = True

    # -- linking

    def links(self):
        """``[(id, code), ...]`` in notebook order to link (with ``link``), or None when the
        parents are current."""
        if not self.relink:
            return None
        self.relink = False
        return [(ident, self.cells[ident].code) for ident in self.order]

    def linked(self, found):
        """Take ``link``'s answer for what ``links()`` gave; cells whose code changed since
        wait for the next linking."""
        changed = False
        for ident, (parents, facts) in found.items():
            cell = self.cells.get(ident)
            if cell is None or cell.posted:
                continue
            parents = tuple(parent for parent in parents if parent in self.cells)
            cell.facts = facts
            if parents != cell.parents:
                cell.parents = parents
                self.touched.add(ident)
                changed = True
        if changed:
            self._children = None
            # New parents may have run after their new children.
            ran = {
                ident: cell.seq
                for ident, cell in self.cells.items()
                if cell.seq and cell.status != protocol.NOT_RUN
            }
            parents = {ident: cell.parents for ident, cell in self.cells.items()}
            for ident, culprit in graph.outdated(self.order, parents, ran).items():
                cell = self.cells[ident]
                if cell.outdated is None and cell.status == protocol.SUCCEEDED:
                    self._outdate(cell, ident, culprit)
        if changed or not self._forward:
            positions = self._order_positions()
            self._forward = all(
                positions.get(parent, -1) < here
                for ident, here in positions.items()
                for parent in self.cells[ident].parents
            )
        return changed

    # -- the pipeline

    def changes(self, limit=None):
        """What changed since the last registration: ``(order, changed, deleted)``, the ids
        in notebook order when it changed (else None), the components (PipelineComponent)
        that changed, at most ``limit`` of them (the others wait for the next), and the ids
        deleted."""
        taken = self.touched
        if limit is not None and len(taken) > limit:
            taken = set(itertools.islice(taken, limit))
        self._taken = taken
        changed = [self.component(ident) for ident in taken if ident in self.cells]
        order = list(self.order) if self.reordered else None
        return order, changed, [ident for ident in self.gone if ident not in self.cells]

    def registered(self, everything=False):
        """What ``changes()`` gave was registered; with ``everything``, the whole pipeline."""
        if everything or self._taken is self.touched:
            self.touched.clear()
        else:
            self.touched -= self._taken
        self._taken = self.touched
        self.gone.clear()
        self.reordered = self.reordered and bool(self.touched)  # the others keep their place

    def unregistered(self):
        """Nothing of the pipeline is registered (any more): all of it changed."""
        self.touched.update(self.order)
        self.reordered = True

    def component(self, ident):
        cell = self.cells[ident]
        status = cell.status
        if status == protocol.SUCCEEDED and cell.outdated is not None:
            status = protocol.INVALID
        kind = cell.component_type
        if cell.tagged is not None:
            kind = protocol.PARAMETER if cell.tagged else protocol.CODE
        elif kind is None:
            kind = protocol.CODE
        return PipelineComponent(
            ident, kind, cell.parents, cell.code, status, cell.last_execution, cell.position,
            cell.count if status != protocol.NOT_RUN else None,
            cell.error if status == protocol.FAILED else None,
            cell.outdated if status == protocol.INVALID and cell.outdated.id else None,
            cell.front_end_id,
        )  # fmt: skip

    def dag_info(self):
        """The whole pipeline as ``dag_info`` dicts, in notebook order."""
        return [self.component(ident).to_dict() for ident in self.order]

    # -- the steps

    def _identify(self, front_id, code):
        ident = self.aliases.get(front_id)
        if ident is not None and ident in self.cells:
            return ident
        if front_id in self.cells or not self.unnamed:
            return front_id
        ident = self._match_run(code)
        if ident is None:
            return front_id
        self.aliases[front_id] = ident
        # A cell's ids from earlier loads are not sent again: keep its latest few (two tabs
        # of one notebook have one each).
        kept = self._aliases_of.setdefault(ident, collections.deque())
        kept.append(front_id)
        if len(kept) > KEPT_ALIASES:
            self.aliases.pop(kept.popleft(), None)
        self._claims += 1
        self.claimed[ident] = self._claims
        return ident

    def _match_run(self, code):
        """The saved cell without an id that a front end's new id stands for, or None: one
        whose code is the run's, the least recently matched first, then the nearest after
        the cell run before; else, for a cell edited since, the saved cell right after
        that one when nothing has matched it since that one was."""
        after = self._index(self._cursor)
        positions, by_code = self._lookup()
        best, best_key = None, None
        size = len(self.order) or 1
        for ident in by_code.get(code, ()):
            key = (self.claimed.get(ident, 0), (positions[ident] - after - 1) % size)
            if best_key is None or key < best_key:
                best, best_key = ident, key
        if best is not None or after < 0:
            return best
        for ident in self.order[after + 1 :]:
            cell = self.cells[ident]
            if cell.saved:
                fresh = self.claimed.get(ident, 0) < self.claimed.get(self._cursor, 0)
                return ident if fresh else None
        return None

    def _match_saved(self, saved, previous, unsaved):
        """``{index in saved: component id}`` for a reread notebook without cell ids: the
        components of the previous save by alignment of their code, then the cells run but
        not saved before by their code."""
        matches = {}
        before = [self.cells[ident].code for ident in previous]
        after = [cell.code for cell in saved]
        # The same start and end need no alignment: usually all but a few cells.
        start = 0
        while start < min(len(before), len(after)) and before[start] == after[start]:
            start += 1
        end = 0
        while end < min(len(before), len(after)) - start and before[-1 - end] == after[-1 - end]:
            end += 1
        for offset in range(start):
            matches[offset] = previous[offset]
        for offset in range(1, end + 1):
            matches[len(after) - offset] = previous[len(before) - offset]
        middle_before, middle_after = (
            before[start : len(before) - end],
            after[start : len(after) - end],
        )
        if middle_before and middle_after and len(middle_before) * len(middle_after) <= ALIGNED:
            matcher = difflib.SequenceMatcher(None, middle_before, middle_after, False)
            for tag, a1, a2, b1, b2 in matcher.get_opcodes():
                # Replaced stretches of the same length: the same cells, edited.
                if tag == "equal" or (tag == "replace" and a2 - a1 == b2 - b1):
                    for offset in range(a2 - a1):
                        matches[start + b1 + offset] = previous[start + a1 + offset]
        else:
            for offset in range(min(len(middle_before), len(middle_after))):
                matches[start + offset] = previous[start + offset]
        by_code = {}
        for ident in unsaved:
            by_code.setdefault(self.cells[ident].code, []).append(ident)
        for index, cell in enumerate(saved):
            if index not in matches and by_code.get(cell.code):
                matches[index] = by_code[cell.code].pop(0)
        return matches

    def _new_id(self, wanted, taken):
        ident, suffix = wanted, 1
        while ident in taken or (ident in self.cells and self.cells[ident].saved is False):
            suffix += 1
            ident = f"{wanted}-{suffix}"
        return ident

    def _lookup(self):
        if self._looked is None:
            positions = {ident: index for index, ident in enumerate(self.order)}
            by_code = {}
            for ident in self.order:
                cell = self.cells[ident]
                if cell.saved:
                    by_code.setdefault(cell.code, []).append(ident)
            self._looked = positions, by_code
        return self._looked

    def _index(self, ident):
        return self._lookup()[0].get(ident, -1)

    def _place(self, ident):
        # A cell the saved notebook does not hold yet: after the cell run before it.
        after = self._index(self._cursor)
        self.order.insert(after + 1 if after >= 0 else len(self.order), ident)
        self._reordered()
        self.reordered = self.relink = True
        self._looked = self._plain = None

    def _start(self, run, count, date):
        cell = self.cells.get(run.cell_id)
        if cell is None:
            return
        ident = run.cell_id
        self._clock += 1
        cell.seq = self._clock
        cell.started = end_time(date)
        # What the descendants read of it is known from its code before this run.
        self._outdate_descendants(ident, cell)
        if cell.code != run.code:
            cell.code, self.relink = run.code, True
            self._looked = None
        cell.status, cell.outdated, cell.error, cell.count = protocol.RUNNING, None, None, count
        if cell.posted:  # its parents are found from now on
            cell.posted, self.relink, self.memo = False, True, LinkMemo()
        cell.tagged = run.tagged
        self.touched.add(ident)

    def _end(self, run, cell, ok, date):
        cell.last_execution = end_time(date)
        self.touched.add(run.cell_id)
        if ok:
            cell.status = protocol.SUCCEEDED
            if cell.outdated is None and self._currents is not None:
                position = self._order_positions().get(run.cell_id, -1)
                heapq.heappush(self._currents, (-position, run.cell_id))
        else:
            cell.status, cell.error = protocol.FAILED, run.error
            self._outdate_descendants(run.cell_id, cell)

    def _delete(self, ident):
        cell = self.cells.get(ident)
        if cell is None:
            return False
        for msg_id in [key for key, run in self.runs.items() if run.cell_id == ident]:
            del self.runs[msg_id]
        self._outdate_descendants(ident, cell)
        if cell.saved:
            self.deleted.add(ident)  # until a save drops it
        del self.cells[ident]
        self.order.remove(ident)
        self._plain = None
        self.claimed.pop(ident, None)
        for front_id in self._aliases_of.pop(ident, ()):
            self.aliases.pop(front_id, None)
        self._looked = None
        for child in self.children().get(ident, ()):
            kept = self.cells.get(child)
            if kept is not None:
                kept.parents = tuple(parent for parent in kept.parents if parent != ident)
        self._children = None
        self._reordered()
        self.gone.add(ident)
        self.touched.discard(ident)
        self.reordered = self.relink = True
        return True

    def children(self):
        if self._children is None:
            self._children = graph.children_of(
                {ident: cell.parents for ident, cell in self.cells.items()}
            )
        return self._children

    def _outdate_descendants(self, ident, culprit):
        if self._forward and not self._current_after(ident):
            return  # Run All: nothing after it has run since
        for child in graph.descendants([ident], self.children()):
            cell = self.cells.get(child)
            if cell is not None and cell.outdated is None and cell.status == protocol.SUCCEEDED:
                self._outdate(cell, child, ident, culprit)

    def _current_after(self, ident):
        """Whether a current cell comes after ``ident`` in notebook order."""
        positions, heap = self._order_positions(), self._currents
        if heap is None:
            heap = self._currents = [
                (-positions[key], key) for key, cell in self.cells.items()
                if _current(cell) and key in positions
            ]  # fmt: skip
            heapq.heapify(heap)
        while heap and not _current(self.cells.get(heap[0][1])):
            heapq.heappop(heap)
        return bool(heap) and -heap[0][0] > positions.get(ident, -1)

    def _order_positions(self):
        if self._positions is None:
            self._positions = {ident: index for index, ident in enumerate(self.order)}
        return self._positions

    def _reordered(self):
        self._positions = self._currents = None
        self._forward = False

    def _outdate(self, cell, ident, culprit_id, culprit=None):
        culprit = culprit or self.cells.get(culprit_id)
        names = ()
        if culprit is not None and culprit_id in cell.parents:
            wanted = culprit.facts
            facts = cell.facts
            if wanted is not None and facts is not None:
                left = set(wanted.defines) | set(wanted.revises)
                names = tuple(name for name in (*facts.reads, *facts.revises) if name in left)
        when = culprit.started if culprit is not None else None
        cell.outdated = OutdatedBy(culprit_id, when, tuple(dict.fromkeys(names)))
        self.touched.add(ident)
