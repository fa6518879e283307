"""One cell's CellFacts: parsing what parses, the walk, and the cache by source text."""

from __future__ import annotations

import ast
import collections
import types

from .parse import TooComplex, parse_cell
from .records import CellFacts
from .walk import CellAnalysis

# The cache holds at most this many characters of source (a notebook of 20,000 cells, or
# 64 MiB of code, rescanned whole); each entry counts ENTRY_COST more, for its facts.
CACHE_CHARACTERS = 64 * 1024 * 1024
ENTRY_COST = 1024

_EMPTY = types.MappingProxyType({})


def _without_parents(warning):
    return CellFacts((), (), (), (), _EMPTY, (), (), (), (), (), (warning,))


def _analyse(source):
    found = {}
    tree, ipython = parse_cell(source, found)
    analysis = CellAnalysis(ipython.transient if ipython is not None else frozenset())
    if tree is not None:
        analysis.visit(tree)
    effects = analysis.effects
    defines = [name for name, defined in effects.items() if defined]
    if ipython is not None:
        defines += [name for name in ipython.defines if name not in effects]
    return CellFacts(
        reads=tuple(analysis.reads),
        defines=tuple(dict.fromkeys(defines)),
        deletes=tuple(name for name, defined in effects.items() if not defined),
        revises=tuple(analysis.revises),
        functions=types.MappingProxyType(
            {name: body.freeze() for name, body in analysis.functions.items()}
        ),
        calls=tuple(analysis.calls),
        method_calls=tuple(analysis.method_calls),
        star_imports=tuple(analysis.star_imports)
        + (ipython.star_imports if ipython is not None else ()),
        file_writes=tuple(
            dict.fromkeys(
                (*(ipython.file_writes if ipython is not None else ()), *analysis.file_writes)
            )
        ),
        file_reads=ipython.file_reads if ipython is not None else (),
        warnings=tuple(found),
        imports=tuple(analysis.imports.items()),
        paths=tuple(analysis.paths)
        + tuple((magic, "call") for magic in (ipython.magics if ipython is not None else ())),
        aliases=tuple(analysis.aliases.items()),
        stateful=tuple(analysis.stateful),
        objects_called=tuple(analysis.objects_called),
        loads=tuple(analysis.loads),
        # IPython shows the value of a last expression, unless a semicolon ends it.
        displays=bool(tree and tree.body)
        and isinstance(tree.body[-1], ast.Expr)
        and not source.rstrip().endswith(";"),
    )


class _Cache:
    """The facts of recent sources, least recently used dropped first, bounded by size."""

    def __init__(self, limit):
        self.limit = limit
        self.size = 0
        self.entries = collections.OrderedDict()  # source -> CellFacts

    def get(self, source):
        facts = self.entries.get(source)
        if facts is not None:
            self.entries.move_to_end(source)
        return facts

    def put(self, source, facts):
        self.entries[source] = facts
        self.size += len(source) + ENTRY_COST
        while self.size > self.limit:
            dropped, _ = self.entries.popitem(last=False)
            self.size -= len(dropped) + ENTRY_COST

    def clear(self):
        self.entries.clear()
        self.size = 0


_cache = _Cache(CACHE_CHARACTERS)


def cell_facts(source):
    """Return the CellFacts of one cell's code (a str); never raises for any text.

    IPython's magics, shell escapes (`!cmd`) and help lines (`x?`) are read as IPython
    runs them. Code that does not parse is reported in ``warnings``: its top-level
    statements that parse are still read. A cell too long, too deeply nested or too costly
    to parse (see parse.py) gets no facts but a warning. The result is cached by source
    text (``cell_facts.cache_clear()`` empties the cache).

    For one thread at a time, any thread: the cache is not locked, and the parser's warnings
    are caught with ``warnings.catch_warnings``, which is process-wide.
    """
    facts = _cache.get(source)
    if facts is None:
        try:
            facts = _analyse(source)
        except TooComplex:
            facts = _without_parents("is too large or complex to analyse: kept without parents")
        except RecursionError:
            facts = _without_parents("is nested too deeply to analyse: kept without parents")
        _cache.put(source, facts)
    return facts


cell_facts.cache_clear = _cache.clear
