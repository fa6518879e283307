"""Walks of a pipeline's graph, written once for the server, the export and the command line.

A graph is given as ``parents``: a mapping of each node's id to the ids of its parents (any
iterable). Every walk is iterative and linear in the nodes and edges it visits, so a chain of
100,000 cells costs no recursion; ids missing from the mapping count as nodes without parents.
"""

from __future__ import annotations

import heapq

__all__ = ["CycleError", "ancestors", "children_of", "descendants", "outdated", "parents_first"]


class CycleError(ValueError):
    """The graph has a cycle; ``node`` is on it or below it."""

    def __init__(self, node):
        super().__init__(node)
        self.node = node


def children_of(parents):
    """``{id: [child ids]}`` of ``parents``, children in the mapping's order."""
    children = {}
    for ident, its_parents in parents.items():
        for parent in its_parents:
            children.setdefault(parent, []).append(ident)
    return children


def _reach(start, step):
    found, stack = set(), list(start)
    while stack:
        ident = stack.pop()
        for neighbour in step(ident):
            if neighbour not in found:
                found.add(neighbour)
                stack.append(neighbour)
    return found


def ancestors(ids, parents):
    """The ids every one of ``ids`` depends on, directly or not (without ``ids`` themselves,
    unless a cycle leads back to them)."""
    return _reach(ids, lambda ident: parents.get(ident, ()))


def descendants(ids, children):
    """The ids that depend on any of ``ids`` (``children`` as ``children_of`` gives it)."""
    return _reach(ids, lambda ident: children.get(ident, ()))


def parents_first(order, parents):
    """The ids of ``order`` (a sequence) with every id after its parents among them.

    Stable: of the ids whose parents are all placed, the one first in ``order`` goes next,
    so an order that already lists parents first is kept. Parents that are not in ``order``
    are ignored. Raises CycleError for a cycle.
    """
    positions = {ident: position for position, ident in enumerate(order)}
    waiting = [0] * len(order)
    children = {}
    for position, ident in enumerate(order):
        for parent in parents.get(ident, ()):
            before = positions.get(parent)
            if before is not None:
                waiting[position] += 1
                children.setdefault(before, []).append(position)
    ready = [position for position, count in enumerate(waiting) if not count]
    heapq.heapify(ready)
    placed = []
    while ready:
        position = heapq.heappop(ready)
        placed.append(order[position])
        for child in children.get(position, ()):
            waiting[child] -= 1
            if not waiting[child]:
                heapq.heappush(ready, child)
    if len(placed) != len(order):
        raise CycleError(next(order[position] for position, count in enumerate(waiting) if count))
    return placed


def outdated(order, parents, ran):
    """``{id: ancestor id}`` of the ids in ``order`` that are out of date: an ancestor of
    theirs ran after them. The value is the ancestor that ran last.

    ``order`` lists the ids parents first (as ``parents_first`` gives them); ``ran`` maps an
    id to when it last ran, as any comparable value (an execution count, a sequence number),
    or None for one that has not run. One pass over the nodes and edges.
    """
    latest = {}  # id -> (when, ancestor id): the latest run among its ancestors
    found = {}
    for ident in order:
        best = None
        for parent in parents.get(ident, ()):
            when = ran.get(parent)
            if when is not None and (best is None or when > best[0]):
                best = (when, parent)
            above = latest.get(parent)
            if above is not None and (best is None or above[0] > best[0]):
                best = above
        if best is not None:
            latest[ident] = best
            when = ran.get(ident)
            if when is not None and best[0] > when:
                found[ident] = best[1]
    return found
