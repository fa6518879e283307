"""The records the analysis gives: what a cell's code does, and what a function does."""

from __future__ import annotations

from typing import Mapping, NamedTuple


class Body(NamedTuple):
    """What the code of a function, lambda or class defined in a cell does when called.

    Names are global (module-level) names: ``reads`` in the order first read, ``assigns``
    what it binds or deletes through ``global``, ``revises`` the objects it changes (see
    MUTATING_METHODS), ``calls`` the names it calls, ``method_calls`` the attribute names
    it calls (``x.m(...)`` gives "m"). A nested function's code counts as its enclosing
    one's. For a class, ``methods`` maps each method's name to its Body and the other
    fields hold the union of its methods (what calling the class may run). ``paths`` are
    the chains of attributes from global names it calls or assigns into, as CellFacts'.
    """

    reads: tuple[str, ...]
    assigns: tuple[str, ...]
    revises: tuple[str, ...]
    calls: tuple[str, ...]
    method_calls: tuple[str, ...]
    methods: Mapping[str, Body]
    paths: tuple[tuple[str, str], ...] = ()


class CellFacts(NamedTuple):
    """What one cell's code does to the notebook's names, as ``cell_facts`` finds it.

    - ``reads``: names read before the cell binds them, in order; a name read in the body
      of a function or lambda the cell defines counts, unless the cell binds it.
    - ``defines`` / ``deletes``: names the cell leaves bound / deleted at top level.
    - ``revises``: names whose object the cell changes without binding the name
      (``df['a'] = ...``, ``obj.x += 1``, ``del d[k]``, ``xs.append(...)``, ``m.fit(...)``,
      ``out=x``), and names it augments (``xs += [1]``: in place for a list or an array).
    - ``functions``: name -> Body of each function, lambda (``f = lambda ...``) and class
      the cell leaves defined at top level.
    - ``calls`` / ``method_calls``: global names / attribute names the cell calls (outside
      the bodies of its functions, which hold their own).
    - ``star_imports``: modules of ``from m import *`` (and ``%run -m m``).
    - ``file_writes`` / ``file_reads``: paths written by ``%%writefile``, run or loaded by
      ``%run`` / ``%load`` (which may define any name).
    - ``warnings``: what analysing or compiling the code raised, each a phrase that
      follows the cell's name ("is not Python (line 2): ..."), once each.

    What passes to later cells other than by names, as the cell's top-level code shows it
    (channels.py; the Linker makes dependencies of them):

    - ``imports``: (name, module) pairs, the names the cell binds by import
      (``import numpy as np``: ("np", "numpy"); ``from a.b import c``: ("c", "a.b.c")).
    - ``paths``: (path, how) pairs, the chains of attributes from global names the cell
      calls (how "call": ``plt.style.use(...)`` gives "plt.style.use") or assigns into
      ("store": ``mpl.rcParams[k] = v`` gives "mpl.rcParams").
    - ``aliases``: (name, of) pairs: a name the cell binds to an object that may share
      memory with another name's (``b = a``, ``b = a[:2]``, ``b = a.T``, ``b = a.view()``).
    - ``stateful``: names the cell binds to objects that change as they are used
      (``np.random.default_rng()``, ``open(...)``, ``iter(...)``, a generator expression).
    - ``objects_called``: names read of which the cell calls a method or that it iterates.
    - ``loads``: paths the code reads, named by string literals (``open("a")``,
      ``pd.read_csv("a")``), and the files of the modules it imports (``mod.py``).
      ``file_writes`` holds the paths the code writes so (``df.to_csv("a")``) too.
    - ``displays``: whether the cell ends with an expression, whose value IPython shows.
    """

    reads: tuple[str, ...]
    defines: tuple[str, ...]
    deletes: tuple[str, ...]
    revises: tuple[str, ...]
    functions: Mapping[str, Body]
    calls: tuple[str, ...]
    method_calls: tuple[str, ...]
    star_imports: tuple[str, ...]
    file_writes: tuple[str, ...]
    file_reads: tuple[str, ...]
    warnings: tuple[str, ...]
    imports: tuple[tuple[str, str], ...] = ()
    paths: tuple[tuple[str, str], ...] = ()
    aliases: tuple[tuple[str, str], ...] = ()
    stateful: tuple[str, ...] = ()
    objects_called: tuple[str, ...] = ()
    loads: tuple[str, ...] = ()
    displays: bool = False
