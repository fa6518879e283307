"""IPython's syntax in a cell (magics, shell escapes, help lines) made into Python."""

from __future__ import annotations

import ast
import os
import re
import shlex
from typing import NamedTuple

# Cell magics whose body is Python and runs in the notebook's namespace.
_PYTHON_CELL_MAGICS = frozenset({"time", "capture", "prun", "debug"})
# Cell magics that write their body to the file they name.
_FILE_CELL_MAGICS = frozenset({"writefile", "file"})
# Line magics that run the Python statement after their options; `%timeit` runs it in a
# namespace of its own, so its assignments do not persist.
_STATEMENT_MAGIC = re.compile(
    r"(?P<indent>[ \t]*)%(?P<magic>time|timeit|prun|debug)[ \t]+"
    r"(?:-\w+[ \t]*(?:\d+[ \t]+)?)*(?P<statement>[^-\s].*)"
)
# `%%timeit [options] [setup statement]`.
_TIMEIT_CELL = re.compile(r"[ \t]*%%timeit(?:[ \t]+-\w+[ \t]*(?:\d+\b)?)*[ \t]*(?P<setup>.*)")
# `%run` and `%load` take a file (or `-m module`) after their options.
_FILE_MAGIC = re.compile(r"[ \t]*%(?P<magic>run|load|loadpy)[ \t]+(?P<arguments>.*)")
# Other line magics, shell escapes and help requests (`?x`, `x?`, `x??`).
_MAGIC_LINE = re.compile(r"(?P<indent>[ \t]*)(?:[%!?]|[\w.]+\?\??[ \t]*$)")
# `x = %magic` and `x = !command`: x is still assigned.
_MAGIC_ASSIGNMENT = re.compile(r"(?P<target>[ \t]*[\w.\[\], \t]+?[ \t]*=)[ \t]*[%!]")
# What IPython puts into a shell or magic line from the notebook's names: `{expression}`
# and `$name` (`$$` is a dollar sign).
_INTERPOLATED = re.compile(r"\{(?P<expression>[^{}]+)\}|(?<!\$)\$(?P<name>[A-Za-z_]\w*)")

# Whether a line may be any of the above (or a line break other than "\n" hides one): a
# search over the whole text spares looking at each line of one that is not.
_MAYBE_IPYTHON = re.compile(
    r"^[ \t]*[%!?]|^[ \t]*[\w.]+\?\??[ \t]*$|=[ \t]*[%!]|[\r\v\f\x1c-\x1e\x85\u2028\u2029]",
    re.MULTILINE,
)


class IPython(NamedTuple):
    """A cell's IPython syntax made into Python, and what the magics themselves do."""

    source: str  # the Python, with the cell's line numbers
    defines: tuple  # names a magic binds (`%%capture out`, `--out name`)
    file_writes: tuple
    file_reads: tuple
    star_imports: tuple  # `%run -m module`
    transient: frozenset  # line numbers (1-based) whose assignments do not persist
    # The magics that change a library's state, as the paths state.py knows them
    # ("%matplotlib", "%config InlineBackend").
    magics: tuple = ()


def _arguments(text):
    try:
        return shlex.split(text, comments=True)
    except ValueError:  # an unclosed quote
        return text.split()


def _path(text):
    return os.path.normpath(text)


def _interpolated(line):
    """A Python expression that reads what IPython interpolates into ``line``, or None."""
    expressions = []
    for match in _INTERPOLATED.finditer(line):
        expression = match["name"] or match["expression"].strip()
        try:
            ast.parse(expression, mode="eval")
        except (SyntaxError, ValueError, MemoryError, RecursionError):
            continue  # shell syntax such as awk's `{print $1}`
        expressions.append(f"({expression})")
    return f"({', '.join(expressions)},)" if expressions else None


def _cell_magic(first, body_lines):
    """(python body lines, defines, file_writes, transient) of a cell magic's cell."""
    words = _arguments(first.lstrip()[2:])
    magic, options = (words[0], words[1:]) if words else ("", [])
    defines, writes = [], []
    for option, value in zip(options, options[1:]):
        # The script magics (`%%bash --out name`) bind their output to a name.
        if option in ("--out", "--err"):
            defines.append(value)
    if magic == "capture":
        defines += [word for word in options if not word.startswith("-")][:1]
    if magic in _FILE_CELL_MAGICS:
        writes += [_path(word) for word in options if not word.startswith("-")][:1]
    if magic == "timeit":
        setup = _TIMEIT_CELL.match(first)
        lines = [setup["setup"] if setup else "", *body_lines]
        return lines, defines, writes, True
    if magic in _PYTHON_CELL_MAGICS:
        return ["", *body_lines], defines, writes, False
    return None, defines, writes, False


def from_ipython(source):
    """The cell as Python (see IPython), or None if nothing in it is IPython's syntax."""
    if not any(character in source for character in "%!?\r\v\f\x1c\x1d\x1e\x85\u2028\u2029"):
        return None
    if not _MAYBE_IPYTHON.search(source):
        return None
    lines = source.splitlines()
    defines, writes, reads, stars, magics, transient = [], [], [], [], [], set()
    changed = False
    if lines and lines[0].lstrip().startswith("%%"):
        body, defines, writes, whole = _cell_magic(lines[0], lines[1:])
        if body is None:
            # IPython hands the body to the magic: nothing in it is Python.
            return IPython("", tuple(defines), tuple(writes), (), (), frozenset())
        lines = body
        if whole:
            transient.update(range(1, len(lines) + 1))
        changed = True
    continued = False
    for number, line in enumerate(lines):
        if continued:
            # A shell or magic line goes on after a trailing backslash.
            continued = line.endswith("\\")
            lines[number] = ""
            continue
        statement = _STATEMENT_MAGIC.fullmatch(line)
        if statement:
            lines[number] = statement["indent"] + statement["statement"]
            if statement["magic"] == "timeit":
                transient.add(number + 1)
            changed = True
            continue
        assignment = _MAGIC_ASSIGNMENT.match(line)
        if assignment:
            value = _interpolated(line[assignment.end() :]) or "None"
            lines[number] = f"{assignment['target']} {value}"
            continued = line.endswith("\\")
            changed = True
            continue
        magic = _MAGIC_LINE.match(line)
        if magic:
            files = _FILE_MAGIC.match(line)
            if files:
                words = _arguments(files["arguments"])
                if "-m" in words[:-1] and files["magic"] == "run":
                    stars.append(words[words.index("-m") + 1])
                else:
                    reads += [_path(word) for word in words if not word.startswith("-")][:1]
            words = line.split(None, 2)
            if words[0] == "%matplotlib":
                magics.append("%matplotlib")
            elif words[0] == "%config" and line.find("InlineBackend") > 0:
                magics.append("%config InlineBackend")
            shell = line.lstrip()[:1] in "%!"
            lines[number] = magic["indent"] + ((shell and _interpolated(line)) or "pass")
            continued = line.endswith("\\")
            changed = True
    if not changed:
        return None
    return IPython(
        "\n".join(lines), tuple(defines), tuple(writes), tuple(reads), tuple(stars),
        frozenset(transient), tuple(magics),
    )  # fmt: skip
