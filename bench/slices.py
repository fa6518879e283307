"""Do the slices the analysis derives from public notebooks reproduce the notebooks' outputs?

    python bench/slices.py [--core PATH | --revision COMMIT] [--label NAME]
                           [--notebooks GLOB ...] [--limit N] [--jobs 2] [--timeout 120]
                           [--write]

Run with the interpreter of an environment with the `bench` extra (`.venv/bin/python`). For
each notebook of --folder (by default the public notebooks in shared/notebooks beside the
checkout or one of the folders holding it):

1. The whole notebook runs twice, each time in a fresh kernel. A code cell whose outputs
   differ between the two runs is *non-deterministic* and left out of the shares; so is a
   cell that fails in the whole run (missing data files, the network, library changes since
   the notebook was written). A notebook whose first code cells fail for missing data or
   modules is left out whole. The two runs are kept in build/slices/whole/ and reused.
2. Its pipeline is derived by ``pipeline_from_notebook`` (``zelvo_core.notebook``, before
   that ``zelvo.cli.notebook``: the analysis of ``zelvo_core``, cells in notebook order). A
   cell's *slice* is the cell and its ancestors (``parents_id``, followed to the roots), in
   notebook order, which puts parents first.
3. Each slice runs alone in a fresh kernel; the outputs of its last cell are compared with
   the whole run's. Slice runs are kept in build/slices/slice/, keyed by their code, so a
   measurement with another analysis runs only the slices that changed. The runs are
   kept apart by interpreter and library versions (build/slices/env-<digest>/).

Every kernel gets the same settings: matplotlib's inline backend (MPLBACKEND), its seaborn
styles also under their names before matplotlib 3.6 ("seaborn-whitegrid"), one thread
for the numeric libraries, PYTHONHASHSEED=0, an empty working folder of its own, its own
IPython and matplotlib configuration folders, and a proxy on a closed loopback port, so a
download fails at once instead of waiting for the timeout.

Outputs are compared after normalising what is not the cell's own doing:

- consecutive stream outputs of one stream are joined (how the kernel splits them depends
  on timing); execution counts and output metadata are ignored;
- memory addresses (``0x7f...``) become ``0x?``;
- the figures of %timeit and %time (``1.2 ms ± 3 µs per loop (...)``, ``CPU times: ...``,
  ``Wall time: ...``) and timeit's "The slowest run took ..." line are dropped;
- the ``path/file.py:123:`` in front of a warning on stderr is dropped (kernels name each
  cell's code after their process id);
- errors compare by exception name and message, not traceback;
- scikit-learn's numbering of the estimators it shows as HTML (``sk-estimator-id-3``) is
  dropped;
- widget views compare without their model id;
- images (PNG, JPEG) compare by their decoded pixels, exactly: the two whole runs check
  that matplotlib draws the same pixels each time (a cell whose figure differs between them
  is non-deterministic like any other).

--core PATH imports ``zelvo_core`` (and the module with ``pipeline_from_notebook``) from
another checkout; --revision COMMIT from a commit of this repository, extracted into
build/slices/core-<commit>/.

--write puts the result into bench/RESULTS.md (one table per --label, the latest of each
kept in bench/results/slices/), with the command that produced it.
"""

from __future__ import annotations

import argparse
import asyncio
import base64
import collections
import datetime
import fnmatch
import hashlib
import io
import json
import os
import re
import shlex
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
SECTION = "## Slices of public notebooks"
KEPT = HERE / "results" / "slices"
# The public notebooks beside the checkout, or beside a folder that holds it (a worktree).
DEFAULT_FOLDER = next(
    (
        folder / "shared" / "notebooks"
        for folder in HERE.parents[1:]
        if (folder / "shared" / "notebooks").is_dir()
    ),
    HERE.parents[1] / "shared" / "notebooks",
)
# The first code cells of a notebook that, failing for one of these, leave it out whole.
FIRST_CELLS = 3
MISSING = {
    "FileNotFoundError",
    "ModuleNotFoundError",
    "ImportError",
    "URLError",
    "HTTPError",
    "ConnectionError",
    "ConnectionRefusedError",
    "gaierror",
}
# Output kinds, in the order a rich output's representations are compared.
MIME_KINDS = [
    ("image/png", "image"),
    ("image/jpeg", "image"),
    ("image/svg+xml", "svg"),
    ("text/html", "html"),
    ("text/latex", "latex"),
    ("text/markdown", "markdown"),
    ("application/json", "json"),
    ("application/vnd.jupyter.widget-view+json", "widget"),
    ("text/plain", "text"),
]


# -- normalisation ----------------------------------------------------------------------------

ADDRESS = re.compile(r"0x[0-9a-fA-F]{4,}")
# IPython writes micro as the Greek letter; older releases wrote "us" or the micro sign.
TIMEIT = re.compile(
    r"[\d.]+ ?[nµμumk]?s ± [\d.]+ ?[nµμumk]?s per loop \(mean ± std\. dev\. of [\d,]+ runs?, "
    r"[\d,]+ loops? each\)"
)
TIMEIT_OLD = re.compile(r"[\d,]+ loops?, best of \d+: [\d.]+ ?[nµμumk]?s per loop")
SLOWEST = re.compile(r"^The slowest run took .*\n?(?:.*cached\.\n?)?", re.M)
TIME_LINES = re.compile(r"^(CPU times|Wall time|Compiler time|Parser time):.*$", re.M)
# scikit-learn numbers the estimators it shows as HTML in each process.
ESTIMATOR_ID = re.compile(r"\bsk-([a-z]+)-id-\d+")
WARNING_PATH = re.compile(r"^\S.*?\.py:\d+: (?=\w+(?:Warning|Error)\b)", re.M)


def normal_text(text):
    text = TIMEIT.sub("<timeit>", text)
    text = TIMEIT_OLD.sub("<timeit>", text)
    text = SLOWEST.sub("", text)
    text = TIME_LINES.sub(r"\1: <time>", text)
    text = WARNING_PATH.sub("", text)
    text = ESTIMATOR_ID.sub(r"sk-\1-id-?", text)
    return ADDRESS.sub("0x?", text)


def _text(value):
    return "".join(value) if isinstance(value, list) else str(value)


def _pixels(encoded):
    from PIL import Image

    try:
        with Image.open(io.BytesIO(base64.b64decode(_text(encoded)))) as image:
            image.load()
            digest = hashlib.sha256(image.tobytes()).hexdigest()[:16]
            return f"{image.mode} {image.size[0]}x{image.size[1]} {digest}"
    except Exception as error:  # an image the library cannot read still compares as data
        return f"undecodable {type(error).__name__} {len(_text(encoded))}"


def items(outputs):
    """The outputs of a cell as (kind, value) pairs, normalised."""
    result = []
    streams = []  # (name, text) of the stream outputs being joined

    def flush():
        for name, text in streams:
            if text:
                result.append((name, normal_text(text)))
        streams.clear()

    for output in outputs:
        kind = output.get("output_type")
        if kind == "stream":
            name = output.get("name", "stdout")
            if streams and streams[-1][0] == name:
                streams[-1] = (name, streams[-1][1] + _text(output.get("text", "")))
            else:
                streams.append((name, _text(output.get("text", ""))))
            continue
        flush()
        if kind == "error":
            result.append(
                ("error", f"{output.get('ename')}: {normal_text(str(output.get('evalue')))}")
            )
        elif kind in ("execute_result", "display_data"):
            data = output.get("data", {})
            for mime, name in MIME_KINDS:
                if mime not in data:
                    continue
                if name == "image":
                    result.append((name, _pixels(data[mime])))
                elif name == "widget":
                    view = dict(data[mime]) if isinstance(data[mime], dict) else {}
                    view.pop("model_id", None)
                    result.append((name, json.dumps(view, sort_keys=True)))
                elif name == "json":
                    result.append((name, json.dumps(data[mime], sort_keys=True)))
                else:
                    result.append((name, normal_text(_text(data[mime]))))
            for mime in sorted(set(data) - {mime for mime, _ in MIME_KINDS}):
                result.append(("other", f"{mime}: {normal_text(_text(data[mime]))}"))
    flush()
    return result


def first_difference(expected, got):
    """The kind of the first output that differs ('missing <kind>' when the slice has fewer
    outputs, 'extra <kind>' when it has more), or None when they are equal."""
    for index, item in enumerate(expected):
        if index >= len(got):
            return f"missing {item[0]}"
        if got[index] != item:
            return item[0] if got[index][0] == item[0] else f"{item[0]} (got {got[index][0]})"
    if len(got) > len(expected):
        return f"extra {got[len(expected)][0]}"
    return None


# -- kernels -----------------------------------------------------------------------------------


def kernel_env(work):
    env = dict(os.environ)
    for name in ("http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY"):
        env[name] = "http://127.0.0.1:9"
    env.pop("no_proxy", None)
    env.pop("NO_PROXY", None)
    env.update(
        MPLBACKEND="module://matplotlib_inline.backend_inline",
        MPLCONFIGDIR=str(work / "matplotlib"),
        IPYTHONDIR=str(work / "ipython"),
        JUPYTER_PLATFORM_DIRS="1",
        PYTHONHASHSEED="0",
        OMP_NUM_THREADS="1",
        OPENBLAS_NUM_THREADS="1",
        MKL_NUM_THREADS="1",
        NUMEXPR_MAX_THREADS="1",
        SCIKIT_LEARN_DATA=str(work / "scikit_learn_data"),
        PYDEVD_DISABLE_FILE_VALIDATION="1",
    )
    return env


def old_styles(folder):
    """Make matplotlib's seaborn styles available under the names they had before 3.6
    ("seaborn-whitegrid"), which the notebooks use, as user styles of the kernels."""
    import matplotlib

    folder.mkdir(parents=True, exist_ok=True)
    for path in (Path(matplotlib.get_data_path()) / "stylelib").glob("seaborn-v0_8*.mplstyle"):
        shutil.copyfile(path, folder / path.name.replace("seaborn-v0_8", "seaborn"))


class Runner:
    """Runs lists of code cells, each list in a fresh kernel, at most ``jobs`` at a time; each
    slot keeps one kernel manager and starts its kernels anew."""

    def __init__(self, work, jobs, timeout):
        self.work = work
        self.timeout = timeout
        self.env = kernel_env(work)
        self.slots = asyncio.Queue()
        self.jobs = jobs
        # What kernel processes write outside their cells (start-up notices, crashes).
        self.log = open(work / "kernels.log", "a")  # noqa: SIM115 (open while kernels run)

    async def start(self):
        from jupyter_client.manager import AsyncKernelManager

        for _ in range(self.jobs):
            self.slots.put_nowait(AsyncKernelManager(kernel_name="python3"))

    async def close(self):
        while not self.slots.empty():
            await self.slots.get_nowait().cleanup_resources()
        self.log.close()

    async def run(self, sources):
        """The outputs of each cell (lists of output dicts) and the seconds it took."""
        import nbformat
        from nbclient import NotebookClient

        notebook = nbformat.v4.new_notebook()
        notebook.cells = [nbformat.v4.new_code_cell(source) for source in sources]
        manager = await self.slots.get()
        folder = Path(tempfile.mkdtemp(prefix="run-", dir=self.work / "cwd"))
        started = time.monotonic()
        client = NotebookClient(
            notebook,
            km=manager,
            timeout=self.timeout,
            interrupt_on_timeout=True,
            allow_errors=True,
            kernel_name="python3",
            record_timing=False,
        )
        failure = None
        try:
            await client.async_execute(cwd=str(folder), env=self.env, stderr=self.log)
        except Exception as error:  # a kernel that died: the cells after it have no output
            failure = f"{type(error).__name__}: {str(error)[:200]}"
        finally:
            if client.kc is not None:
                client.kc.stop_channels()
            if manager.has_kernel:
                # As a restart does: the manager keeps its context and ports for the next.
                await manager.shutdown_kernel(now=True, restart=True)
            self.slots.put_nowait(manager)
            shutil.rmtree(folder, ignore_errors=True)
        outputs = [json.loads(json.dumps(cell.get("outputs", []))) for cell in notebook.cells]
        return {"outputs": outputs, "seconds": time.monotonic() - started, "failure": failure}


# -- the notebooks -----------------------------------------------------------------------------


def _source(cell):
    source = cell.get("source", "")
    return "".join(source) if isinstance(source, list) else source


def digest(value):
    return hashlib.sha256(json.dumps(value).encode()).hexdigest()[:20]


class Notebook:
    def __init__(self, path):
        self.path = path
        self.name = path.stem
        self.data = json.loads(path.read_text())
        self.positions = []  # 1-based position among all cells of each code cell
        self.sources = []
        for position, cell in enumerate(self.data["cells"], 1):
            if cell.get("cell_type") == "code":
                self.positions.append(position)
                self.sources.append(_source(cell))
        self.key = digest(self.sources)

    def slices(self, pipeline_from_notebook):
        """For each code cell, the indexes of the code cells of its slice, and the analysis's
        warnings."""
        copy = json.loads(json.dumps(self.data))
        ids = {}
        for cell in copy["cells"]:
            if cell.get("cell_type") == "code":
                # Ids of our own, so that any reading of the notebook maps them back.
                cell["id"] = f"code-{len(ids)}"
                ids[cell["id"]] = len(ids)
        warnings = []
        dag_info = pipeline_from_notebook(copy, self.name, warn=warnings.append)["dag_info"]
        parents = {component["id"]: component["parents_id"] for component in dag_info}
        result = []
        for ident in ids:
            seen, stack = {ident}, [ident]
            while stack:
                for parent in parents.get(stack.pop(), []):
                    if parent not in seen:
                        seen.add(parent)
                        stack.append(parent)
            result.append(sorted(ids[member] for member in seen))
        return result, warnings


def cached(path, make):
    async def get():
        if path.exists():
            return json.loads(path.read_text())
        value = await make()
        if value.get("failure"):
            return value  # measured again next time: the kernel may have died of the load
        path.parent.mkdir(parents=True, exist_ok=True)
        partial = path.with_suffix(".partial")
        partial.write_text(json.dumps(value))
        partial.replace(path)
        return value

    return get()


def excluded_reason(run, notebook):
    """Why a notebook is left out (its first cells fail for missing data or modules), or
    None."""
    for index, outputs in enumerate(run["outputs"][:FIRST_CELLS]):
        for output in outputs:
            if output.get("output_type") == "error" and output.get("ename") in MISSING:
                evalue = str(output.get("evalue"))[:120]
                return (
                    f"code cell {index + 1} ([{notebook.positions[index]}]) fails: "
                    f"{output['ename']}: {evalue}"
                )
    if run["failure"]:
        return f"the kernel failed: {run['failure']}"
    return None


def has_error(outputs):
    return any(output.get("output_type") == "error" for output in outputs)


def checkout(revision, build):
    """A folder with the files of ``revision`` of this repository (made once)."""
    commit = subprocess.run(
        ["git", "-C", str(ROOT), "rev-parse", "--verify", f"{revision}^{{commit}}"],
        capture_output=True,
        text=True,
        check=True,
    ).stdout.strip()
    folder = Path(build) / f"core-{commit[:12]}"
    if not folder.exists():
        partial = folder.with_name(folder.name + ".partial")
        shutil.rmtree(partial, ignore_errors=True)
        partial.mkdir(parents=True)
        archive = subprocess.run(
            ["git", "-C", str(ROOT), "archive", commit, "zelvo", "zelvo_core"],
            capture_output=True,
            check=True,
        ).stdout
        subprocess.run(["tar", "-x", "-C", str(partial)], input=archive, check=True)
        partial.rename(folder)
    return folder, commit


def load_core(core):
    """``pipeline_from_notebook`` and the files it came from. It has lived in
    ``zelvo.cli.notebook`` and in ``zelvo_core.notebook``; either is taken."""
    sys.path.insert(0, str(Path(core).resolve() if core else ROOT))
    import importlib

    import zelvo_core

    for name in ("zelvo_core.notebook", "zelvo.cli.notebook", "zelvo.cli"):
        try:
            module = importlib.import_module(name)
        except ImportError:
            continue
        if hasattr(module, "pipeline_from_notebook"):
            return module.pipeline_from_notebook, Path(module.__file__), Path(zelvo_core.__file__)
    sys.exit(f"no pipeline_from_notebook in {zelvo_core.__file__}'s checkout")


def _git(folder, *arguments):
    return subprocess.run(
        ["git", "-C", str(folder), *arguments], capture_output=True, text=True, check=True
    ).stdout.strip()


def describe_core(core_file, commit=None):
    """The checkout (or the commit of this repository) the analysis came from."""
    folder = ROOT if commit else core_file.parent.parent
    name = f"commit {commit[:7]}" if commit else str(folder)
    try:
        # A folder inside another checkout (an extracted revision) is no checkout itself.
        if Path(_git(folder, "rev-parse", "--show-toplevel")).resolve() != folder.resolve():
            return f"{name} (not a git checkout)"
        line = _git(folder, "log", "-1", "--format=%h %s", commit or "HEAD")
    except (OSError, subprocess.CalledProcessError):
        return f"{name} (not a git checkout)"
    line = line if len(line) <= 60 else line[:59] + "…"
    return f"commit {line}" if commit else f"{name} ({line})"


def environment():
    """What the kernels' results depend on besides the code: the interpreter and the
    libraries the notebooks use. Runs are kept apart by it."""
    from importlib import metadata

    names = ["ipykernel", "matplotlib", "numpy", "pandas", "scikit-learn", "scipy", "seaborn"]
    versions = []
    for name in names:
        try:
            versions.append(f"{name} {metadata.version(name)}")
        except metadata.PackageNotFoundError:
            versions.append(f"{name} none")
    return [f"CPython {sys.version.split()[0]}", *versions]


async def measure(options, pipeline_from_notebook, log):
    build = Path(options.build) / f"env-{digest(environment())}"
    work = build / "kernels"
    for sub in ("cwd", "matplotlib", "ipython", "scikit_learn_data"):
        (work / sub).mkdir(parents=True, exist_ok=True)
    old_styles(work / "matplotlib" / "stylelib")
    runner = Runner(work, options.jobs, options.timeout)
    await runner.start()

    paths = sorted(Path(options.folder).glob("*.ipynb"))
    if options.notebooks:
        paths = [p for p in paths if any(fnmatch.fnmatch(p.name, g) for g in options.notebooks)]
    notebooks = [Notebook(path) for path in paths]

    # The whole runs, two per notebook.
    async def whole(notebook, n):
        path = build / "whole" / f"{notebook.name}-{notebook.key}-{n}.json"
        kept = path.exists()
        run = await cached(path, lambda: runner.run(notebook.sources))
        if not kept:
            log(f"whole run {n} of {notebook.name}: {run['seconds']:.0f} s")
        return run

    pairs = await asyncio.gather(*(whole(nb, n) for nb in notebooks for n in (1, 2)))
    runs = {nb.name: (pairs[2 * i], pairs[2 * i + 1]) for i, nb in enumerate(notebooks)}

    # The slices.
    cells = []  # one record per code cell
    todo = []
    excluded = {}
    analysis_warnings = 0
    for notebook in notebooks:
        first, second = runs[notebook.name]
        reason = excluded_reason(first, notebook)
        if reason:
            excluded[notebook.name] = reason
            continue
        slices, warnings = notebook.slices(pipeline_from_notebook)
        analysis_warnings += len(warnings)
        for index, members in enumerate(slices):
            expected = items(first["outputs"][index])
            record = {
                "notebook": notebook.name,
                "index": index,
                "position": notebook.positions[index],
                "slice": members,
                "deterministic": expected == items(second["outputs"][index]),
                "whole_error": has_error(first["outputs"][index]),
                "images": sum(kind == "image" for kind, _ in expected),
                # Cells of the slice that fail in the whole run as well.
                "whole_failed": [m for m in members if has_error(first["outputs"][m])],
            }
            cells.append(record)
            if record["deterministic"] and not record["whole_error"]:
                sources = [notebook.sources[member] for member in members]
                path = build / "slice" / notebook.name / f"{digest(sources)}.json"
                todo.append((record, path, sources, expected))

    to_run = [job for job in todo if not job[1].exists()]
    if options.limit is not None:
        allowed = {id(job[0]) for job in to_run[options.limit :]}
        todo = [job for job in todo if id(job[0]) not in allowed]
    log(f"{len(todo)} slices to compare, {min(len(to_run), len(todo))} to run")
    done = [0]

    async def one(record, path, sources, expected):
        async def run():
            result = await runner.run(sources)
            # Only the last cell's outputs are compared; where the slice failed is kept.
            failed = [i for i, outputs in enumerate(result["outputs"]) if has_error(outputs)]
            return {
                "outputs": result["outputs"][-1],
                "failed_cells": failed,
                "failure": result["failure"],
                "seconds": result["seconds"],
            }

        result = await cached(path, run)
        got = items(result["outputs"])
        record["measured"] = True
        record["failed_cells"] = [record["slice"][i] for i in result["failed_cells"]]
        record["ran"] = not result["failure"] and set(record["failed_cells"]) <= set(
            record["whole_failed"]
        )
        record["difference"] = first_difference(expected, got)
        text = [item for item in expected if item[0] != "image"]
        record["text_equal"] = text == [item for item in got if item[0] != "image"]
        record["images_equal"] = [i for i in expected if i[0] == "image"] == [
            i for i in got if i[0] == "image"
        ]
        record["expected"] = expected
        record["got"] = got
        done[0] += 1
        log(
            f"[{done[0]}/{len(todo)}] {record['notebook']} [{record['position']}] "
            f"slice of {len(sources)}: {record['difference'] or 'same'}"
        )

    await asyncio.gather(*(one(*job) for job in todo))
    await runner.close()
    return notebooks, cells, excluded, analysis_warnings


# -- the report --------------------------------------------------------------------------------


def percent(part, whole):
    return f"{100 * part / whole:.1f} %" if whole else "–"


def summarise(cells):
    measured = [c for c in cells if c.get("measured")]
    kinds = collections.Counter(c["difference"] for c in measured if c["difference"])
    return {
        "cells": len(cells),
        "deterministic": sum(c["deterministic"] for c in cells),
        "whole_error": sum(c["deterministic"] and c["whole_error"] for c in cells),
        "eligible": sum(c["deterministic"] and not c["whole_error"] for c in cells),
        "measured": len(measured),
        "ran": sum(c["ran"] for c in measured),
        "same": sum(c["difference"] is None for c in measured),
        "text_same": sum(c["text_equal"] for c in measured),
        "image_cells": sum(c["images"] > 0 for c in measured),
        "images_same": sum(c["images"] > 0 and c["images_equal"] for c in measured),
        "slice_size": sum(len(c["slice"]) for c in measured) / len(measured) if measured else 0,
        "kinds": dict(kinds.most_common()),
    }


def row(name, s):
    return (
        f"| {name} | {s['cells']} | {s['deterministic']} | {s['whole_error']} | "
        f"{s['measured']} | {s['slice_size']:.1f} | {percent(s['ran'], s['measured'])} | "
        f"**{percent(s['same'], s['measured'])}** ({s['same']}) | "
        f"{percent(s['text_same'], s['measured'])} ({s['text_same']}) | "
        f"{s['images_same']}/{s['image_cells']} |"
    )


def summaries(cells):
    """The summary of each notebook's cells and of all, and the cells that differ."""
    by_notebook = collections.defaultdict(list)
    for cell in cells:
        by_notebook[cell["notebook"]].append(cell)
    return {
        "rows": {name: summarise(group) for name, group in sorted(by_notebook.items())},
        "total": summarise(cells),
        "differing": [
            f"{c['notebook']} [{c['position']}]: {c['difference']}"
            for c in cells
            if c.get("measured") and c["difference"]
        ],
    }


def tables(result):
    lines = [
        "| notebook | code cells | deterministic | of which fail whole | measured | mean slice "
        "| slice ran | slice reproduced text and images | text reproduced | images reproduced "
        "(cells) |",
        "|---|--:|--:|--:|--:|--:|--:|--:|--:|--:|",
    ]
    lines += [row(name, summary) for name, summary in result["rows"].items()]
    lines.append(row("**all**", result["total"]))
    lines += ["", "Failing cells by their first differing output:", ""]
    lines += ["| first difference | cells |", "|---|--:|"]
    lines += [f"| {kind} | {count} |" for kind, count in result["total"]["kinds"].items()]
    return lines


def comparison(results):
    lines = [
        "| measurement | analysis | measured cells | mean slice | slice ran | reproduced text "
        "and images | text reproduced | images reproduced (cells) |",
        "|---|---|--:|--:|--:|--:|--:|--:|",
    ]
    for result in results:
        s = result["total"]
        lines.append(
            f"| {result['label']} | {result['core']} | {s['measured']} | "
            f"{s['slice_size']:.2f} | "
            f"{percent(s['ran'], s['measured'])} | **{percent(s['same'], s['measured'])}** "
            f"({s['same']}) | {percent(s['text_same'], s['measured'])} ({s['text_same']}) | "
            f"{s['images_same']}/{s['image_cells']} |"
        )
    return lines


def section(results):
    out = [
        SECTION,
        "",
        "Written by `python bench/slices.py --write` (see its docstring for what is compared "
        "and normalised). A cell's *slice* is the cell and its ancestors in the pipeline that "
        "the analysis derives from the notebook, run alone in a fresh kernel, parents first; "
        "it *reproduces* the cell when the cell's outputs (text and decoded images) equal the "
        "whole notebook's; it *ran* when none of its cells failed that does not fail in the "
        "whole run. Cells whose outputs differ between two whole runs "
        "(non-deterministic) and cells that fail in the whole run are not measured. "
        "Percentages are of the measured cells.",
    ]
    if len(results) > 1:
        out += ["", *comparison(results)]
    for result in results:
        out += [
            "",
            f"### {result['label']}",
            "",
            f"`{result['command']}`: analysis of {result['core']}; {result['measured_at']}, "
            f"{result['python']}. Notebooks left out: "
            + (
                "; ".join(f"{name} ({why})" for name, why in sorted(result["excluded"].items()))
                or "none"
            )
            + ".",
            "",
            *tables(result),
        ]
    return "\n".join(out) + "\n"


def excerpt(expected, got, width=160):
    """The first differing output of each side, from a little before where they part."""
    for index in range(max(len(expected), len(got))):
        a = expected[index] if index < len(expected) else ("nothing", "")
        b = got[index] if index < len(got) else ("nothing", "")
        if a != b:
            start = 0
            while start < min(len(a[1]), len(b[1])) and a[1][start] == b[1][start]:
                start += 1
            start = max(0, start - 40)
            return [
                f"    whole {a[0]}: {a[1][start : start + width]!r}",
                f"    slice {b[0]}: {b[1][start : start + width]!r}",
            ]
    return []


def failures(result):
    lines = []
    for cell in result["cells"]:
        if not cell.get("measured") or cell["difference"] is None:
            continue
        lines.append(
            f"{cell['notebook']} [{cell['position']}] (code cell {cell['index'] + 1}, slice "
            f"{[m + 1 for m in cell['slice']]}, failed {[m + 1 for m in cell['failed_cells']]}):"
            f" {cell['difference']}"
        )
        lines += excerpt(cell["expected"], cell["got"])
    return "\n".join(lines) + "\n"


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--core", help="checkout to import zelvo_core and zelvo.cli from")
    parser.add_argument(
        "--revision", help="a commit of this repository to take them from instead (git archive)"
    )
    parser.add_argument("--label", default="current", help="name of this measurement")
    parser.add_argument("--folder", default=str(DEFAULT_FOLDER), help="notebooks to measure")
    parser.add_argument("--notebooks", nargs="*", help="file name patterns within --folder")
    parser.add_argument("--limit", type=int, help="run at most N slices not run before")
    parser.add_argument("--jobs", type=int, default=2, help="kernels at a time (at most 2)")
    parser.add_argument("--timeout", type=int, default=120, help="seconds per cell")
    parser.add_argument("--build", default=str(ROOT / "build" / "slices"))
    parser.add_argument("--write", action="store_true", help="update bench/RESULTS.md")
    options = parser.parse_args()
    options.jobs = max(1, min(options.jobs, 2))
    # The machine is shared: this process and the kernels it starts yield to others.
    if os.nice(0) < 10:
        os.nice(10 - os.nice(0))

    commit = None
    if options.revision:
        options.core, commit = checkout(options.revision, options.build)
    pipeline_from_notebook, module_file, core_file = load_core(options.core)

    def log(text):
        print(f"{time.strftime('%H:%M:%S')} {text}", flush=True)

    core = describe_core(core_file, commit)  # before the checkout can move on
    log(f"analysis from {core}, pipelines from {module_file}")
    notebooks, cells, excluded, analysis_warnings = asyncio.run(
        measure(options, pipeline_from_notebook, log)
    )
    arguments = [a for a in sys.argv[1:] if a != "--write"]
    result = {
        "label": options.label,
        "command": shlex.join(["python", "bench/slices.py", *arguments]),
        "core": core,
        "measured_at": datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC"),
        "python": ", ".join(environment()),
        "excluded": excluded,
        "analysis_warnings": analysis_warnings,
        "cells": cells,
    }
    result.update(summaries(cells))
    total = result["total"]
    print("\n".join(tables(result)))
    for name, why in sorted(excluded.items()):
        print(f"left out: {name}: {why}")
    build = Path(options.build)
    (build / f"failures-{options.label}.txt").write_text(failures(result))
    print(f"failing cells: {build / f'failures-{options.label}.txt'}")
    if options.write:
        if total["measured"] < total["eligible"]:
            sys.exit("not written: --limit left cells unmeasured")
        KEPT.mkdir(parents=True, exist_ok=True)
        kept = {k: v for k, v in result.items() if k != "cells"}
        path = KEPT / f"{options.label}.json"
        # A measurement measured again keeps its place among the others.
        previous = json.loads(path.read_text()) if path.exists() else {}
        kept["first_measured"] = previous.get("first_measured", kept["measured_at"])
        path.write_text(json.dumps(kept, indent=1) + "\n")
        results = [json.loads(p.read_text()) for p in KEPT.glob("*.json")]
        results.sort(key=lambda r: r.get("first_measured", r["measured_at"]))
        import sections

        sections.replace(SECTION, section(results))


if __name__ == "__main__":
    sys.path.insert(0, str(HERE))
    main()
