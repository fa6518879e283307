"""Parsing a cell's code into a tree, keeping what parses, within a bounded amount of work."""

from __future__ import annotations

import ast
import itertools
import re
import warnings

from .ipython import from_ipython

# A cell longer than this (in characters) is not parsed at all.
MAX_SOURCE = 1_000_000
# The parsing a cell may cost, in characters handed to the parser: WORK_FACTOR times its
# length plus WORK_BASE, at most MAX_WORK. Each attempt costs ATTEMPT_COST more, the
# parser's fixed cost in characters' worth. A cell that parses at once costs its length;
# one that does not is retried piece by piece, which the bound keeps linear in its length.
WORK_FACTOR = 8
WORK_BASE = 32_768
MAX_WORK = 4 * MAX_SOURCE
ATTEMPT_COST = 256
# What looking at a line costs, in characters' worth, when the search for what parses
# does; and how many lines' offsets it finds at a time.
LINE_COST = 16
_BLOCK = 1024
# How many statements a statement that does not parse alone is tried with.
JOINED = 16

# The file name the parser's warnings carry.
_FILENAME = "<cell>"
# A line that starts a top-level statement (not one that closes a bracket or continues a
# compound statement).
_CONTINUES = re.compile(r"[ \t#)\]}]|(?:else|elif|except|finally)\b|$")


class TooComplex(Exception):
    """The cell would cost more parsing than its budget."""


class Parser:
    """Parses one cell within its budget; raises TooComplex once that is spent.

    Warnings the parser raises are recorded in ``found`` for the trees kept, and dropped for
    the attempts along the way. Call within ``warnings.catch_warnings(record=True)``: the
    caller catches them all at once, as that context manager is costly and process-wide.
    """

    def __init__(self, source, caught, found):
        self.left = min(MAX_WORK, WORK_FACTOR * len(source) + WORK_BASE)
        self.caught = caught  # the list catch_warnings records into
        self.found = found  # warning text -> None, in order

    def charge(self, cost):
        self.left -= cost
        if self.left < 0:
            raise TooComplex

    def parse(self, source, keep_warnings=True):
        """ast.parse of ``source``, paid for; SyntaxError / ValueError as ast.parse."""
        self.charge(len(source) + ATTEMPT_COST)
        first = len(self.caught)
        try:
            return ast.parse(source, _FILENAME)
        except MemoryError:
            # The parser's stack overflowed (before 3.9): too deeply nested, as below.
            raise RecursionError("source too complex to parse") from None
        finally:
            if keep_warnings:
                for warning in self.caught[first:]:
                    # Only the parser's own: another thread's may come in meanwhile.
                    if warning.filename == _FILENAME:
                        text = f"has a warning (line {warning.lineno}): {warning.message}"
                        self.found[text] = None
            del self.caught[first:]

    def tree(self, source):
        """(tree or None, ipython or None): the cell's tree, or of what parses in it."""
        try:
            return self.parse(source), None
        except (SyntaxError, ValueError) as error:
            return self._parse_ipython(source, error)

    def _parse_ipython(self, source, error):
        # IPython's syntax only once plain Python fails: a line may begin with "%" or "!"
        # inside valid code too.
        ipython = from_ipython(source)
        if ipython is not None:
            try:
                return self.parse(ipython.source), ipython
            except (SyntaxError, ValueError) as stripped:
                error = stripped
            source = ipython.source
        elif not isinstance(error, SyntaxError):
            # A NUL character (before 3.12).
            self.found["is not Python: kept without parents"] = None
            return None, None
        return self._parse_what_parses(source, error), ipython

    def _parse_what_parses(self, source, error):
        """The tree of ``source`` without the top-level statements that do not parse;
        ``error``: what parsing it whole raised."""
        lines = _Lines(source, self)
        count = len(lines.lines)
        kept = []  # (first line, end line) of the runs of statements kept
        failed = {}  # (first line, end line) -> the line of the statement at fault
        if lines.whole in (source, source + "\n"):
            failed[0, count] = self._at_fault(lines, 0, count, error)

        def attempt(first, end):
            """None if lines [first, end) parse together, else the statement at fault."""
            if (first, end) not in failed:
                try:
                    self.parse(lines.text(first, end), False)
                except (SyntaxError, ValueError) as failure:
                    failed[first, end] = self._at_fault(lines, first, end, failure)
                else:
                    kept.append((first, end))
                    return None
            return failed[first, end]

        start = 0
        while start < count:
            # The rest at once, or else what comes before the statement at fault.
            failing = attempt(start, count)
            if failing is None:
                break
            if failing > start and attempt(start, failing) is None:
                start = failing
                continue
            # A statement may run on over the next lines that start at column 0.
            end, joined = start, False
            for _ in range(JOINED):
                end = lines.next_statement(end)
                joined = attempt(start, end) is None
                if joined or end == count:
                    break
            start = end if joined else lines.next_statement(start)
        line = getattr(error, "lineno", None)
        where = f" (line {line})" if line else ""
        if kept:
            # Blank lines in place of those dropped keep the line numbers.
            kept_lines = [""] * count
            for first, end in kept:
                kept_lines[first:end] = lines.lines[first:end]
            try:
                tree = self.parse("\n".join(kept_lines))
            except (SyntaxError, ValueError):
                pass
            else:
                self.found[f"is not Python{where}: only the lines that parse are read"] = None
                return tree
        self.found[f"is not Python{where}: kept without parents"] = None
        return None

    @staticmethod
    def _at_fault(lines, first, end, error):
        """The first line of the statement where parsing lines [first, end) failed."""
        line = first + (getattr(error, "lineno", None) or 1) - 1
        return max(first, lines.statement_of(min(max(line, first), end - 1)))


class _Lines:
    """A cell's lines, and where its top-level statements start, found as the search needs
    them: a cell that does not parse may have 100,000 lines, of which it looks at a few."""

    def __init__(self, source, parser):
        # The lines as splitlines() finds them, joined by newlines so that the parser numbers
        # them alike.
        self.lines = source.splitlines()
        self.parser = parser
        self.whole = "\n".join(self.lines) + "\n"
        self.offsets = [0]  # where the first lines start in ``whole``, as far as found
        self.starts = {}  # line -> whether a top-level statement starts there

    def text(self, first, end):
        return self.whole[self._offset(first) : self._offset(end)]

    def _offset(self, line):
        if line == len(self.lines):
            return len(self.whole)
        offsets = self.offsets
        if line >= len(offsets):
            # Those of the next lines, a block at a time.
            known = len(offsets) - 1
            more = self.lines[known : max(line, known + _BLOCK)]
            self.parser.charge(len(more))
            sums = itertools.accumulate(map((1).__add__, map(len, more)), initial=offsets[-1])
            offsets += itertools.islice(sums, 1, None)
        return offsets[line]

    def _starts(self, line):
        """Whether a top-level statement starts at ``line``: not one that continues a
        statement, nor the one a decorator applies to."""
        known = self.starts.get(line)
        if known is None:
            self.parser.charge(LINE_COST)
            text = self.lines[line]
            known = line == 0 or not _CONTINUES.match(text)
            if known and line:
                previous = line - 1
                while previous and _CONTINUES.match(self.lines[previous]):
                    previous -= 1
                    self.parser.charge(LINE_COST)
                known = not self.lines[previous].startswith("@")
            self.starts[line] = known
        return known

    def statement_of(self, line):
        """The line where the statement that ``line`` belongs to starts."""
        while not self._starts(line):
            line -= 1
        return line

    def next_statement(self, line):
        """The line where the statement after the one at ``line`` starts, or the end."""
        line += 1
        while line < len(self.lines) and not self._starts(line):
            line += 1
        return line


def parse_cell(source, found):
    """(tree or None, ipython or None) of a cell's code, with what parsing it reported in
    ``found``. Raises TooComplex or RecursionError for a cell too large or complex."""
    if len(source) > MAX_SOURCE:
        raise TooComplex
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        return Parser(source, caught, found).tree(source)
