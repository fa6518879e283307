"""JSON decoded in steps, so that the worker lets go of the interpreter lock between them.

The json module's C scanner holds the lock until it is done: about 20 ms per MiB of small
values, during which the server's event loop cannot run. Here a value longer than ``STEP``
characters is decoded member by member, and each part the C scanner takes at once is at most
``STEP`` long (but a single string, which it reads at about a GiB a second). The values are
those ``json.loads`` gives, and so are the errors, but for their wording.
"""

from __future__ import annotations

import json
import re
from json.decoder import scanstring

from .worker import breathe

# Characters the C scanner is given at once, at most.
STEP = 1 << 16
# Values longer than a step nested in one another, at most (a notebook has four or five):
# each level is a few frames of Python on the thread's stack.
DEPTH = 100

_SPACE = re.compile(r"[ \t\n\r]*")
_ERRORS = (StopIteration, ValueError, RecursionError)


def loads(text, cells=None):
    """``json.loads(text)`` of a str, in steps. With ``cells``, a notebook's: each element
    of the top-level object's "cells" array is replaced by ``cells(index, value)`` as soon
    as it is decoded."""
    scan, index = json.JSONDecoder().scan_once, _skip(text, 0)
    if cells is not None and text[index : index + 1] == "{":
        value, end = _object(text, index, scan, cells)
    else:
        value, end = _value(text, index, scan)
    if _skip(text, end) != len(text):
        raise json.JSONDecodeError("Extra data", text, end)
    return value


def _skip(text, index):
    return _SPACE.match(text, index).end()


def _value(text, index, scan, depth=0):
    first = text[index : index + 1]
    if first in ("{", "[") and len(text) - index > STEP:
        # Whole when it fits in a slice: a value ends at its closing bracket, so a slice
        # that cuts it fails rather than giving another value. Most values are short.
        for length in (STEP >> 4, STEP):
            try:
                value, end = scan(text[index : index + length], 0)
                return value, index + end
            except _ERRORS:
                pass
        if depth == DEPTH:
            raise RecursionError("nested too deeply")
        return (_object if first == "{" else _array)(text, index, scan, depth=depth + 1)
    if first == '"':
        return scanstring(text, index + 1)
    try:
        return scan(text, index)
    except StopIteration as stop:
        raise json.JSONDecodeError("Expecting value", text, stop.value) from None


def _object(text, index, scan, cells=None, depth=0):
    found, index = {}, _skip(text, index + 1)
    if text[index : index + 1] == "}":
        return found, index + 1
    while True:
        if text[index : index + 1] != '"':
            raise json.JSONDecodeError("Expecting property name", text, index)
        key, index = scanstring(text, index + 1)
        index = _skip(text, index)
        if text[index : index + 1] != ":":
            raise json.JSONDecodeError("Expecting ':' delimiter", text, index)
        index = _skip(text, index + 1)
        if cells is not None and key == "cells" and text[index : index + 1] == "[":
            found[key], index = _array(text, index, scan, cells)
        else:
            found[key], index = _value(text, index, scan, depth)
        breathe()
        index = _skip(text, index)
        if text[index : index + 1] == "}":
            return found, index + 1
        if text[index : index + 1] != ",":
            raise json.JSONDecodeError("Expecting ',' delimiter", text, index)
        index = _skip(text, index + 1)


def _array(text, index, scan, each=None, depth=0):
    found, index = [], _skip(text, index + 1)
    if text[index : index + 1] == "]":
        return found, index + 1
    while True:
        value, index = _value(text, index, scan, depth)
        found.append(value if each is None else each(len(found), value))
        breathe()
        index = _skip(text, index)
        if text[index : index + 1] == "]":
            return found, index + 1
        if text[index : index + 1] != ",":
            raise json.JSONDecodeError("Expecting ',' delimiter", text, index)
        index = _skip(text, index + 1)
