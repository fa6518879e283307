"""A kernel's pipeline as its front ends run cells: the rules, without the server.

Each run of a cell (an ``execute_request`` whose metadata names the cell) goes through the
kernel's messages: the request, the kernel's ``execute_input`` when the run starts (in the
order the kernel runs them) and its ``execute_reply`` when it ends, all tied by the request's
``msg_id``. Every method answers whether the pipeline changed; ``dag_info()`` gives it.

- One component per cell that ran, in the order cells first ran, with its latest run's code;
  ``running`` from the start of a run, then ``succeeded`` or ``failed`` by the reply, and
  ``last_execution`` the time that reply was sent.
- An aborted request leaves its cell's component as it was, or adds it as ``not-run`` with
  the request's code.
- Parents: the cells whose latest run before the cell's own defined a name it read.
- Out of date: a succeeded component is ``invalid`` once, after its latest run, an ancestor
  starts again, fails or is deleted; its own next run makes it current.
- Cells a request lists as deleted leave the pipeline; only running them again brings them
  back.
- The saved notebook's code cells that have not run join as ``not-run``, with the saved code
  and parents by notebook order.
- A component is a parameter when its cell is tagged ``parameters``: by the tags its latest
  request carried (notebook front ends send the cell's metadata with it), else by the saved
  notebook.
- Messages seen more than once (every connection of a kernel receives each iopub message)
  count once: a request starts and ends once.
"""

from __future__ import annotations

import datetime

from zelvo_core import protocol
from zelvo_core.analysis import Linker, cell_facts

# A cell's code longer than this is not analysed (the analysis runs on the server's event
# loop): its run has no parents and defines no names.
ANALYSED_LENGTH = 100_000


class Entry:
    """One component of the pipeline, as the observer keeps it."""

    __slots__ = (
        "code", "component_type", "last_execution", "parents", "stale", "status", "tagged",
    )  # fmt: skip

    def __init__(
        self, code, status, parents=(), last_execution=None, component_type=None, tagged=None
    ):
        self.code = code  # the latest run's code
        self.status = status  # running, succeeded, failed or not-run
        self.parents = list(parents)  # ids, as the analysis gives them
        self.last_execution = last_execution  # ISO 8601 end of the latest run, or None
        self.stale = False  # an ancestor ran, failed or went since this ran
        self.component_type = component_type  # as a POST gave it, else from the notebook
        # Whether the latest run's request tagged the cell "parameters"; None: it sent no tags.
        self.tagged = tagged


class _Run:
    """A request the kernel has not answered yet."""

    __slots__ = ("cell_id", "code", "started", "tagged")

    def __init__(self, cell_id, code, tagged=None):
        self.cell_id, self.code, self.started, self.tagged = cell_id, code, False, tagged


def end_time(date):
    """A reply header's ``date`` as ISO 8601 in UTC; now if it is missing or unreadable."""
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


def _facts(code):
    return cell_facts(code if len(code) <= ANALYSED_LENGTH else "")


class KernelPipeline:
    """The rules for one kernel; fed messages in the order the server sees them."""

    def __init__(self):
        self.entries = {}  # cell id -> Entry, in the order the cells first ran
        self.runs = {}  # request msg_id -> _Run, until its reply
        self.deleted = set()  # cells a front end deleted, until they run again
        self.saved = []  # dag_info of the saved notebook's code cells, in notebook order
        self.parameters = frozenset()  # ids of the saved cells tagged "parameters"
        self.linker = Linker()
        self.touched = set()  # cells changed since the pipeline was last registered
        self._children_of = None  # parent id -> child ids, until a link changes

    # -- what the kernel's messages say

    def request(self, msg_id, cell_id, code, deleted=(), tags=None):
        """A front end asked to run ``code`` as cell ``cell_id``; ``deleted`` lists cells it
        deleted since its last request, ``tags`` are the cell's tags if it sent them."""
        changed = False
        for gone in deleted:
            if isinstance(gone, str) and gone != cell_id:
                changed = self._delete(gone) or changed
        self.deleted.discard(cell_id)
        tagged = protocol.PARAMETERS_TAG in tags if isinstance(tags, list) else None
        self.runs[msg_id] = _Run(cell_id, code, tagged)
        return changed

    def started(self, msg_id):
        """The kernel started the run that ``msg_id`` asked for."""
        run = self.runs.get(msg_id)
        if run is None or run.started:
            return False
        run.started = True
        self._start(run)
        return True

    def replied(self, msg_id, status, date=None):
        """The kernel answered request ``msg_id`` with ``status`` (``ok``, ``error`` or
        ``aborted``) in a reply sent at ``date``."""
        run = self.runs.pop(msg_id, None)
        if run is None:
            return False
        if status == "aborted" and not run.started:
            if run.cell_id in self.entries:
                return False
            self.entries[run.cell_id] = Entry(run.code, protocol.NOT_RUN, tagged=run.tagged)
            self.touched.add(run.cell_id)
            return True
        if not run.started or run.cell_id not in self.entries:
            # A kernel that does not announce its inputs, or a POST that came mid-run.
            self._start(run)
        entry = self.entries[run.cell_id]
        self.touched.add(run.cell_id)
        entry.last_execution = end_time(date)
        if status == "ok":
            entry.status = protocol.SUCCEEDED
        else:
            entry.status = protocol.FAILED
            self._outdate(run.cell_id)
        return True

    def restarted(self, date=None):
        """The kernel restarted: the runs under way ended without a reply, and the names that
        the earlier runs defined are gone."""
        for run in self.runs.values():
            entry = self.entries.get(run.cell_id)
            if run.started and entry is not None and entry.status == protocol.RUNNING:
                entry.status, entry.last_execution = protocol.FAILED, end_time(date)
                self.touched.add(run.cell_id)
        self.runs.clear()
        self.linker = Linker()
        return True

    # -- what the server knows besides

    def notebook_saved(self, dag_info):
        """The saved notebook's code cells changed to ``dag_info`` (as from the notebook)."""
        self.saved = [dict(raw) for raw in dag_info]
        self.parameters = frozenset(
            raw["id"] for raw in self.saved if raw["component_type"] == protocol.PARAMETER
        )
        return True

    def adopt(self, components):
        """Take a pipeline some client registered (PipelineComponent values) as the current
        one: it replaces what was observed, except the cells that changed since the last
        registration; later runs update its components by id."""
        entries = {}
        for component in components:
            ident = component.id
            if ident in self.touched:
                if ident in self.entries:  # else deleted since
                    entries[ident] = self.entries[ident]
                continue
            invalid = component.execution_status == protocol.INVALID
            entry = Entry(
                component.code,
                protocol.SUCCEEDED if invalid else component.execution_status,
                component.parents_id,
                component.last_execution,
                component.component_type,
            )
            entry.stale = invalid
            entries[ident] = entry
            self.deleted.discard(ident)
        for ident in self.touched:
            if ident in self.entries and ident not in entries:
                entries[ident] = self.entries[ident]
        self.entries = entries
        self._children_of = None

    def registered(self):
        """The pipeline as it is now was registered."""
        self.touched.clear()

    # -- the pipeline

    def dag_info(self):
        """The pipeline's components as ``dag_info`` dicts, parents before their use where
        the run order allows."""
        saved = [
            raw
            for raw in self.saved
            if raw["id"] not in self.entries and raw["id"] not in self.deleted
        ]
        present = set(self.entries)
        present.update(raw["id"] for raw in saved)
        dag_info = []
        for ident, entry in self.entries.items():
            status = entry.status
            if status == protocol.SUCCEEDED and entry.stale:
                status = protocol.INVALID
            kind = entry.component_type
            if entry.tagged is not None:
                kind = protocol.PARAMETER if entry.tagged else protocol.CODE
            elif ident in self.parameters:
                kind = protocol.PARAMETER
            elif kind is None:
                kind = protocol.CODE
            dag_info.append(
                {
                    "id": ident,
                    "component_type": kind,
                    "parents_id": [parent for parent in entry.parents if parent in present],
                    "code": entry.code,
                    "execution_status": status,
                    "last_execution": entry.last_execution,
                }
            )
        for raw in saved:
            dag_info.append(
                {
                    "id": raw["id"],
                    "component_type": raw["component_type"],
                    "parents_id": [parent for parent in raw["parents_id"] if parent in present],
                    "code": raw["code"],
                    "execution_status": protocol.NOT_RUN,
                    "last_execution": None,
                }
            )
        return dag_info

    # -- the steps

    def _start(self, run):
        cell_id, code = run.cell_id, run.code
        self.deleted.discard(cell_id)
        self.touched.add(cell_id)
        parents = [
            parent
            for parent in self.linker.run(cell_id, _facts(code))
            if parent in self.entries and parent != cell_id
        ]
        entry = self.entries.get(cell_id)
        if entry is None:
            entry = self.entries[cell_id] = Entry(code, protocol.RUNNING)
        self._outdate(cell_id)
        if parents:
            self._break_cycles(cell_id, parents)
        entry.code, entry.status, entry.stale = code, protocol.RUNNING, False
        entry.tagged = run.tagged
        entry.parents = parents
        self._children_of = None

    def _delete(self, cell_id):
        self.deleted.add(cell_id)
        self.touched.add(cell_id)
        for msg_id in [key for key, run in self.runs.items() if run.cell_id == cell_id]:
            del self.runs[msg_id]
        self.linker.forget(cell_id)
        was_saved = any(raw["id"] == cell_id for raw in self.saved)
        if cell_id not in self.entries:
            return was_saved
        self._outdate(cell_id)
        del self.entries[cell_id]
        for entry in self.entries.values():
            if cell_id in entry.parents:
                entry.parents.remove(cell_id)
        self._children_of = None
        return True

    def _children(self):
        if self._children_of is not None:
            return self._children_of
        children = self._children_of = {}
        for ident, entry in self.entries.items():
            for parent in entry.parents:
                children.setdefault(parent, []).append(ident)
        return children

    def _descendants(self, cell_id, children):
        found, stack = set(), list(children.get(cell_id, ()))
        while stack:
            ident = stack.pop()
            if ident not in found:
                found.add(ident)
                stack.extend(children.get(ident, ()))
        return found

    def _outdate(self, cell_id):
        for ident in self._descendants(cell_id, self._children()):
            self.entries[ident].stale = True

    def _break_cycles(self, cell_id, parents):
        # A rerun may read what one of its own descendants defined: that descendant's link to
        # the cell's earlier run is what would close a cycle. The descendant is out of date
        # now, and the link to a run that is gone is dropped.
        children = self._children()
        wanted = set(parents)
        if not wanted & self._descendants(cell_id, children):
            return
        for child in children.get(cell_id, ()):
            if child in wanted or wanted & self._descendants(child, children):
                self.entries[child].parents.remove(cell_id)
        self._children_of = None
