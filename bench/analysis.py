"""How many parents `zelvo from-notebook` finds in some notebooks, and what that costs.

    .venv/bin/python bench/analysis.py [--save FILE] [--compare FILE] [NOTEBOOK ...]

Without notebooks, those in bench/notebooks/ (written for this: a table's grouping, a
classifier's training, a network's training, a simulation fitted to data). Per notebook:
code cells, edges, and the best time over 20 derivations per cell, with the analysis's cache
emptied each time. ``--save`` writes each cell's ancestors; ``--compare`` counts the cells
whose ancestors differ from a saved run (e.g. of another version on the PYTHONPATH).
"""

import argparse
import glob
import json
import os
import sys
import time

from zelvo_core.notebook import parse_notebook, pipeline_from_notebook

try:
    from zelvo_core.analysis import cell_facts
except ImportError:  # a version without the analysis module caches nothing
    cell_facts = None

REPEAT = 20
HERE = os.path.dirname(os.path.abspath(__file__))


def ancestors(dag_info):
    parents = {component["id"]: component["parents_id"] for component in dag_info}
    found = {}
    for ident in parents:  # parents come first
        found[ident] = sorted({a for p in parents[ident] for a in (p, *found[p])})
    return found


def measure(path):
    with open(path, encoding="utf-8") as stream:
        notebook = parse_notebook(stream.read(), path)
    best = float("inf")
    for _ in range(REPEAT):
        if cell_facts is not None:
            cell_facts.cache_clear()
        start = time.perf_counter()
        pipeline = pipeline_from_notebook(notebook, path, warn=lambda text: None)
        best = min(best, time.perf_counter() - start)
    dag_info = pipeline["dag_info"]
    edges = sum(len(component["parents_id"]) for component in dag_info)
    return len(dag_info), edges, best / max(len(dag_info), 1), ancestors(dag_info)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("notebooks", nargs="*")
    parser.add_argument("--save", metavar="FILE")
    parser.add_argument("--compare", metavar="FILE")
    args = parser.parse_args()
    paths = args.notebooks or sorted(glob.glob(os.path.join(HERE, "notebooks", "*.ipynb")))
    before = {}
    if args.compare:
        with open(args.compare, encoding="utf-8") as stream:
            before = json.load(stream)
    saved = {}
    print(f"{'notebook':<24} {'cells':>5} {'edges':>5} {'changed':>7} {'us/cell':>8}")
    for path in paths:
        cells, edges, per_cell, found = measure(path)
        name = os.path.basename(path)
        saved[name] = found
        old = before.get(name, {})
        changed = sum(1 for ident, a in found.items() if ident in old and old[ident] != a)
        shown = str(changed) if old else "-"
        print(f"{name:<24} {cells:>5} {edges:>5} {shown:>7} {per_cell * 1e6:>8.0f}")
    if args.save:
        with open(args.save, "w", encoding="utf-8") as stream:
            json.dump(saved, stream, indent=1)
    return 0


if __name__ == "__main__":
    sys.exit(main())
