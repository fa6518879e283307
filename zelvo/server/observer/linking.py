"""Which earlier runs a cell's run depends on, through the shared analysis module.

The observer uses the analysis module's interface only: ``cell_facts(source)``, and a
``Linker`` told each run in the kernel's order (``run(cell_id, facts)`` answers the run's
parents; a rerun replaces the cell's earlier run) and each cell that is gone (``forget``).
Until that module ships, the same interface is given here over the names the notebook reader
finds in a cell.
"""

from __future__ import annotations

try:
    from zelvo_core.analysis import Linker, cell_facts
except ImportError:  # the analysis module is not installed yet

    def cell_facts(source):
        """(names read before bound, {name: defined afterwards}) of a cell; none if not Python."""
        from zelvo.cli.notebook import _parse_cell

        try:
            return _parse_cell(source)
        except (SyntaxError, ValueError, RecursionError):
            return [], {}

    class Linker:
        """The kernel's names and the cell whose latest run defined each."""

        def __init__(self):
            self._definers = {}

        def run(self, cell_id, facts):
            reads, effects = facts
            parents = []
            for name in reads:
                definer = self._definers.get(name)
                if definer is not None and definer != cell_id and definer not in parents:
                    parents.append(definer)
            for name, defined in effects.items():
                if defined:
                    self._definers[name] = cell_id
                else:
                    self._definers.pop(name, None)
            return parents

        def forget(self, cell_id):
            self._definers = {
                name: definer for name, definer in self._definers.items() if definer != cell_id
            }
