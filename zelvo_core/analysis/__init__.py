"""Which cells a notebook cell depends on, from the names its code shares with them.

Nothing here runs code: the standard ``ast`` module reads it. Where Python's dynamic
features leave a choice, the answer errs toward an extra dependency rather than a missing
one, because a selected export runs only with all the cells it needs.

Two steps, usable apart:

- ``cell_facts(source)`` describes one cell's code (pure, cached by source text).
- ``Linker().run(cell_id, facts)`` records that a cell ran and returns the cells it depends
  on, given everything that ran before it. ``pipeline_from_notebook`` in the command line
  runs one Linker over a notebook's cells in order; a server can run one per kernel, one
  call per execution.

Nothing here needs an event loop, and the work per cell is bounded (see ``parse.py``). It
is for one thread at a time, whichever: ``cell_facts`` shares a cache, and catches the
parser's warnings with ``warnings.catch_warnings``, which is process-wide.
"""

from .facts import cell_facts
from .linker import Linker, local_modules
from .records import Body, CellFacts

__all__ = ["Body", "CellFacts", "Linker", "cell_facts", "local_modules"]
