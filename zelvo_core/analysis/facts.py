"""One cell's CellFacts: parsing what parses, the walk, and the cache by source text."""

from __future__ import annotations

import ast
import functools
import re
import types
import warnings

from .ipython import from_ipython
from .records import CellFacts
from .walk import CellAnalysis

# Bounds the cache of cell_facts: a notebook's cells, and their recent versions.
CACHE_SIZE = 2048


def _parse(source, found):
    """ast.parse, with the warnings it raises added to ``found`` instead of shown."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            tree = ast.parse(source)
        except MemoryError:
            # The parser's stack overflowed (before 3.9): too deeply nested, as below.
            raise RecursionError("source too complex to parse") from None
    for warning in caught:
        found[f"has a warning (line {warning.lineno}): {warning.message}"] = None
    return tree


# A line that starts a top-level statement (not one that closes a bracket or continues a
# compound statement).
_CONTINUES = re.compile(r"[ \t#)\]}]|(?:else|elif|except|finally)\b|$")


# How many statements a statement that does not parse alone is tried with.
_JOINED = 16


def _statement_starts(lines):
    starts = [0]
    for number, line in enumerate(lines[1:], 1):
        if not _CONTINUES.match(line) and not lines[starts[-1]].startswith("@"):
            starts.append(number)
    return starts


def _parse_what_parses(source, error, found):
    """The tree of ``source`` without the top-level statements that do not parse."""
    lines = source.splitlines()
    starts = [*_statement_starts(lines), len(lines)]
    kept = [""] * len(lines)  # blank lines keep the line numbers
    segment, count, dropped = 0, len(starts) - 1, 0
    while segment < count:
        # A statement may run on over the next lines that start at column 0.
        for end in range(segment + 1, min(count, segment + _JOINED) + 1):
            chunk = lines[starts[segment] : starts[end]]
            try:
                _parse("\n".join(chunk), {})
            except (SyntaxError, ValueError):
                continue
            kept[starts[segment] : starts[end]] = chunk
            segment = end
            break
        else:
            segment += 1
            dropped += 1
    line = getattr(error, "lineno", None)
    where = f" (line {line})" if line else ""
    if dropped < count:
        try:
            tree = _parse("\n".join(kept), found)
        except (SyntaxError, ValueError):
            pass
        else:
            found[f"is not Python{where}: only the lines that parse are read"] = None
            return tree
    found[f"is not Python{where}: kept without parents"] = None
    return None


def _parse_ipython(source, error, found):
    """(tree or None, IPython or None) of a cell that is not plain Python."""
    # IPython's syntax only once plain Python fails: a line may begin with "%" or "!"
    # inside valid code too.
    ipython = from_ipython(source)
    if ipython is not None:
        try:
            return _parse(ipython.source, found), ipython
        except (SyntaxError, ValueError) as stripped:
            error = stripped
        source = ipython.source
    elif not isinstance(error, SyntaxError):
        # A NUL character (before 3.12).
        found["is not Python: kept without parents"] = None
        return None, None
    return _parse_what_parses(source, error, found), ipython


def _analyse(source):
    found = {}
    ipython = None
    try:
        tree = _parse(source, found)
    except (SyntaxError, ValueError) as error:
        tree, ipython = _parse_ipython(source, error, found)
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
        file_writes=ipython.file_writes if ipython is not None else (),
        file_reads=ipython.file_reads if ipython is not None else (),
        warnings=tuple(found),
    )


@functools.lru_cache(maxsize=CACHE_SIZE)
def cell_facts(source):
    """Return the CellFacts of one cell's code (a str); never raises for any text.

    IPython's magics, shell escapes (`!cmd`) and help lines (`x?`) are read as IPython
    runs them. Code that does not parse is reported in ``warnings``: its top-level
    statements that parse are still read. The result is cached by source text. The
    parser's warnings are caught with ``warnings.catch_warnings``, which is process-wide:
    call it from one thread at a time (a server's event loop).
    """
    try:
        return _analyse(source)
    except RecursionError:
        empty = types.MappingProxyType({})
        return CellFacts(
            (), (), (), (), empty, (), (), (), (), (),
            ("is nested too deeply to analyse: kept without parents",),
        )  # fmt: skip
