import json
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

from zelvo.cli import main
from zelvo.server.observer.rules import KernelPipeline, link
from zelvo_core.check import OUTDATED, check_notebook
from zelvo_core.misc.models import ZelvoPipelineModel
from zelvo_core.notebook import NOT_RUN, pipeline_from_notebook


def markdown(text):
    return {"cell_type": "markdown", "metadata": {}, "source": text}


def raw(text):
    return {"cell_type": "raw", "metadata": {}, "source": text}


def notebook(cells, ids=True):
    """A notebook of ``cells``: source strings become code cells with the id c<position>."""
    built = []
    for position, cell in enumerate(cells):
        if isinstance(cell, str):
            cell = {"cell_type": "code", "metadata": {}, "execution_count": None,
                    "outputs": [], "source": cell.splitlines(keepends=True)}  # fmt: skip
        if ids:
            cell = {"id": f"c{position}", **cell}
        built.append(cell)
    return {"nbformat": 4, "nbformat_minor": 5 if ids else 4, "metadata": {}, "cells": built}


def analyse(cells, ids=True):
    """({id: parents} of the code cells, the warnings)."""
    warnings = []
    pipeline = pipeline_from_notebook(notebook(cells, ids), "nb.ipynb", warn=warnings.append)
    # What the command prints is always a pipeline the server accepts.
    ZelvoPipelineModel(**pipeline)
    return {c["id"]: c["parents_id"] for c in pipeline["dag_info"]}, warnings


@pytest.mark.parametrize(
    ("cells", "parents"),
    [
        pytest.param(
            ["x = 1", "x = 2", "y = x", "x = 3", "z = x + y"],
            {"c0": [], "c1": [], "c2": ["c1"], "c3": [], "c4": ["c2", "c3"]},
            id="redefinitions, parents in notebook order",
        ),
        pytest.param(
            ["x = 1", "print(x)\nx = 2", "x = 3\nprint(x)", "x"],
            {"c0": [], "c1": ["c0"], "c2": [], "c3": ["c2"]},
            id="read before or after the cell's own assignment",
        ),
        pytest.param(
            ["import numpy as np", "import os.path", "from math import pi as PI, tau",
             "a = np.ones(os.sep, PI, tau)"],
            {"c0": [], "c1": [], "c2": [], "c3": ["c0", "c1", "c2"]},
            id="imports",
        ),
        pytest.param(
            ["k = 1\ng = 2",
             "def f(v, w=k):\n    return v * k + g + f(v)\n",
             "def h():\n    return helper()\ndef helper():\n    return 1",
             "@f\nclass A(Base):\n    z = f(1)\n    t = z + g\n    def m(self):\n        return z",
             "r = A().m() + h()"],
            {"c0": [], "c1": ["c0"], "c2": [], "c3": ["c0", "c1"], "c4": ["c2", "c3"]},
            id="functions and classes",
        ),
        pytest.param(
            ["i = 10\nxs = [1]\nk = 0",
             "s = [i * 2 for i in xs if i > k]\nd = {j: v for j, v in pairs}",
             "g = (i for i in range(3))",
             "ys = [last := x for x in xs]",
             "print(i, x, last)"],
            {"c0": [], "c1": ["c0"], "c2": [], "c3": ["c0"], "c4": ["c0", "c3"]},
            id="comprehension scopes",
        ),
        pytest.param(
            ["n = 0", "n += 1", "m = n", "m -= n"],
            {"c0": [], "c1": ["c0"], "c2": ["c1"], "c3": ["c1", "c2"]},
            id="augmented assignment reads and defines",
        ),
        pytest.param(
            ["x = 1\ny = 1", "del x", "print(x, y)", "x = 2\ndel x\nz = 3", "x, z"],
            {"c0": [], "c1": ["c0"], "c2": ["c0"], "c3": [], "c4": ["c3"]},
            id="del",
        ),
        pytest.param(
            ["for i in range(3):\n    acc = i", "with open(p) as fh, lock as (a, b):\n    pass",
             "if (w := 5):\n    pass", "e = 1",
             "try:\n    pass\nexcept ValueError as e:\n    pass",
             "print(i, acc, fh, b, w, e)"],
            {"c0": [], "c1": [], "c2": [], "c3": [], "c4": [], "c5": ["c0", "c1", "c2"]},
            id="for, with and walrus targets; an except name ends with its handler",
        ),
        pytest.param(
            ["print(len(range(3)))", "len = 3", "print(len)"],
            {"c0": [], "c1": [], "c2": ["c1"]},
            id="builtins are not cell names until a cell defines one",
        ),
        pytest.param(
            ["%matplotlib inline\nimport pandas as pd",
             "!pip install x\nfiles = !ls\nif files:\n    %time df = pd.read_csv(files[0])\nf?",
             "%%bash\necho $files", "%%time\nout = files.sum()"],
            {"c0": [], "c1": ["c0"], "c2": [], "c3": ["c1"]},
            id="magics and shell escapes",
        ),
        pytest.param(
            [markdown("x = 1"), raw("x = 2"), "y = x", markdown("# y"), "z = y"],
            {"c2": [], "c4": ["c2"]},
            id="markdown and raw cells skipped",
        ),
        pytest.param(
            ["import pandas as pd\nregiment = pd.read_csv(path)",
             "regiment['total'] = regiment.pre + regiment.post",
             "min_score = 3",
             "regiment[regiment.total > min_score].groupby('company').mean()"],
            {"c0": [], "c1": ["c0"], "c2": [], "c3": ["c1", "c2"]},
            id="a change to an object: readers depend on it, it on the definer",
        ),
        pytest.param(
            ["xs = []\nd = {}\nobj = C()\nm = Model()\ndf = load()",
             "xs.append(1)", "obj.count += 1", "del d['k']", "m.fit(X)",
             "df.drop(columns='a', inplace=True)", "df.sort_values('a', inplace=False)",
             "np.random.shuffle(xs)", "print(xs, obj, d, m, df)"],
            {"c0": [], "c1": ["c0"], "c2": ["c0"], "c3": ["c0"], "c4": ["c0"], "c5": ["c0"],
             "c6": ["c5"], "c7": ["c1"], "c8": ["c2", "c3", "c4", "c5", "c7"]},
            id="mutation forms",
        ),
        pytest.param(
            ["counter = 0", "def bump():\n    global counter\n    counter += 1", "bump()",
             "print(counter)", "items = []", "def add(x):\n    items.append(x)", "add(1)",
             "print(items)"],
            {"c0": [], "c1": ["c0"], "c2": ["c1"], "c3": ["c2"], "c4": [], "c5": ["c4"],
             "c6": ["c5"], "c7": ["c6"]},
            id="a called function's global assignments and changes are the caller's",
        ),
        pytest.param(
            ["g = lambda: late + 1\nclass A:\n    def m(self):\n        return later",
             "a = A()", "late = 1\nlater = 2", "print(g(), a.m())"],
            {"c0": [], "c1": ["c0"], "c2": [], "c3": ["c0", "c1", "c2"]},
            id="a later definition read by a called function, lambda or method",
        ),
        pytest.param(
            ["rate = 0.05\nyears = 10",
             "import math\n\ndef grow(amount):\n    return amount * math.pow(1 + rate, years)",
             "start = 100\nfinal = grow(start)", "print(start, final)"],
            {"c0": [], "c1": ["c0"], "c2": ["c1"], "c3": ["c2"]},
            id="what a called function reads adds no parent that is already an ancestor",
        ),
        pytest.param(
            ["x = 1", "from math import *", "y = 2", "print(x, y, pi)"],
            {"c0": [], "c1": [], "c2": [], "c3": ["c0", "c1", "c2"]},
            id="a star import may define any name read after it",
        ),
        pytest.param(
            ["%%capture out\nprint(1)", "out.show()",
             "%%writefile helper.py\ndef f():\n    return 1", "%run helper.py", "print(f())",
             "%load ./helper.py", "%%bash --out listing\nls", "print(listing)"],
            {"c0": [], "c1": ["c0"], "c2": [], "c3": ["c2"], "c4": ["c3"], "c5": ["c2"],
             "c6": [], "c7": ["c3", "c5", "c6"]},
            id="magics that bind a name, write a file, or run or load one",
        ),
        pytest.param(
            ["counts = [0]\nn = 3", "%timeit counts = [n]",
             "%%timeit -n1 total = n\ncounts = [total]", "print(counts)"],
            {"c0": [], "c1": ["c0"], "c2": ["c0"], "c3": ["c0"]},
            id="timeit's assignments do not persist",
        ),
        pytest.param(
            ["x = 1", "!pip install a \\\n    b\ny = x", "print(y)"],
            {"c0": [], "c1": ["c0"], "c2": ["c1"]},
            id="a shell line continued with a backslash",
        ),
        pytest.param(
            ["url = 'x'\nfolder = 'd'", "!curl -O {url}\nfiles = !ls $folder | awk '{print $1}'",
             "print(files)"],
            {"c0": [], "c1": ["c0"], "c2": ["c1"]},
            id="shell and magic lines read the names they interpolate",
        ),
    ],
)  # fmt: skip
def test_parents_from_the_names_cells_share(cells, parents):
    assert analyse(cells) == (parents, [])


def test_code_that_is_not_python_is_reported_and_what_parses_is_kept():
    cells = ["a = 1", "b = a +", "c = b + a", "%load_ext x\nd = (", "e = 'x\x00'",
             "f = a\nif f:\nprint(f)\ng = 1", "print(g)", "x = " + "-" * 100000 + "1"]  # fmt: skip
    parents, warnings = analyse(cells)
    assert parents == {
        "c0": [], "c1": [], "c2": ["c0"], "c3": [], "c4": [], "c5": ["c0"], "c6": ["c5"],
        "c7": [],
    }  # fmt: skip
    assert [warnings[0], warnings[1], warnings[3]] == [
        "nb.ipynb: cell 'c1' is not Python (line 1): kept without parents",
        "nb.ipynb: cell 'c3' is not Python (line 2): only the lines that parse are read",
        "nb.ipynb: cell 'c5' is not Python (line 3): only the lines that parse are read",
    ]
    assert warnings[2].startswith("nb.ipynb: cell 'c4' is not Python")
    assert warnings[4:] == [
        "nb.ipynb: cell 'c7' is nested too deeply to analyse: kept without parents"
    ]


def test_warnings_compiling_a_cell_raises_name_the_cell_once():
    # LaTeX in a plain string: an invalid escape, twice on one line.
    parents, warnings = analyse(["label = '$\\sigma$' + '$\\sigma$'", "print(label)"])
    assert parents == {"c0": [], "c1": ["c0"]}
    (warning,) = warnings
    assert warning.startswith("nb.ipynb: cell 'c0' has a warning (line 1): invalid escape")


def test_notebook_without_cell_ids_numbers_cells_by_position():
    cells = [markdown("intro"), "a = 1", "b = a", markdown("end"), "c = a + b"]
    assert analyse(cells, ids=False) == (
        {"cell-1": [], "cell-2": ["cell-1"], "cell-4": ["cell-1", "cell-2"]},
        [],
    )
    # A made-up id never takes one that a cell of the notebook has.
    cells = [{"id": "cell-1", **notebook(["a = 1"], ids=False)["cells"][0]}, "b = a"]
    assert analyse(cells, ids=False) == ({"cell-1": [], "cell-1-2": ["cell-1"]}, [])


ERROR = {"output_type": "error", "ename": "ZeroDivisionError", "evalue": "", "traceback": []}
STREAM = {"output_type": "stream", "name": "stdout", "text": "1\n"}
FINISHED = "2024-03-01T10:00:02.123456Z"


@pytest.mark.parametrize(
    ("fields", "expected"),
    [
        ({}, ("code", NOT_RUN, None)),
        ({"execution_count": 3, "outputs": [STREAM]}, ("code", "succeeded", None)),
        ({"execution_count": 4, "outputs": [STREAM, ERROR]}, ("code", "failed", None)),
        (
            {"execution_count": 1, "metadata": {"tags": ["parameters"], "execution": {
                "iopub.status.idle": "2024-03-01T10:00:02Z", "shell.execute_reply": FINISHED}}},
            ("parameter", "succeeded", FINISHED),
        ),
        # A cell whose outputs were cleared may keep its timing; a bad timestamp is dropped.
        ({"metadata": {"execution": {"iopub.status.idle": FINISHED}}},
         ("code", "succeeded", FINISHED)),
        ({"execution_count": 2, "metadata": {"execution": {"shell.execute_reply": "noon"}}},
         ("code", "succeeded", None)),
        ({"metadata": {"tags": ["other"]}, "outputs": [ERROR]}, ("code", "failed", None)),
    ],
)  # fmt: skip
def test_component_fields_from_the_cell(fields, expected):
    cell = {"cell_type": "code", "id": "c", "metadata": {}, "outputs": [], "source": ["a = 1\n"],
            "execution_count": None, **fields}  # fmt: skip
    (component,) = pipeline_from_notebook({"cells": [cell]})["dag_info"]
    assert component["code"] == "a = 1\n"
    assert (
        component["component_type"],
        component["execution_status"],
        component["last_execution"],
    ) == expected


# -- zelvo check ----------------------------------------------------------------------------


def ran(source, count, outputs=()):
    """A code cell saved with its execution count (None: not run)."""
    return {"cell_type": "code", "metadata": {}, "execution_count": count,
            "outputs": list(outputs), "source": source}  # fmt: skip


def check(capsys, *argv):
    """(status, stdout, stderr) of `zelvo check` run in this process."""
    capsys.readouterr()
    status = main(["check", *argv])
    out, err = capsys.readouterr()
    assert "Traceback" not in err
    return status, out, err


@pytest.mark.parametrize(
    ("cells", "options", "expected"),
    [
        pytest.param([], {}, [], id="an empty notebook"),
        pytest.param(
            [ran("x = 1", None), ran("print(x)", None)], {"strict": True}, [],
            id="strict: outputs cleared",
        ),
        pytest.param(
            [markdown("# Title"), ran("import math", 1), raw("x = 9"), ran("", None),
             ran("x = math.pi", 2, [ERROR]), ran("print(x)", 3)],
            {"strict": True}, [], id="run top to bottom, an empty cell skipped: clean",
        ),
        pytest.param(
            [markdown("intro"), ran("x = 1", 3), raw("x = 2"), ran("print(x)", 2)],
            {}, [(4, "c3", "outdated", 2)], id="a parent ran after its child",
        ),
        pytest.param(
            [ran("a = 1", 4), ran("b = a", 2), ran("c = b", 3), ran("d = 5", 9)],
            {}, [(2, "c1", "outdated", 1), (3, "c2", "outdated", 1)],
            id="out of date through an ancestor; an unrelated later run changes nothing",
        ),
        pytest.param(
            [ran("x = 1", 1), ran("y = 2", 3), ran("print(x)", 2)],
            {"strict": True}, [(2, "c1", "run-order", 1), (3, "c2", "run-order", 2)],
            id="strict: a gap, then a step back",
        ),
        pytest.param(
            [ran("import numpy as np", None), ran("np.ones(3)", 1), ran("np.zeros(1)", None)],
            {}, [(2, "c1", "ancestor-not-run", 1)], id="an ancestor that did not run",
        ),
        pytest.param(
            [ran("print(x)", 2), ran("x = 1", 1), ran("print(y)", None), ran("y = 2", None)],
            {}, [(1, "c0", "hidden-state", 2)],
            id="hidden state, only for a cell that ran",
        ),
        pytest.param(
            [ran("def f():\n    return x", 1), ran("x = 1", 2), ran("f()", 3),
             ran("a = [1]", 4), ran("print(len(a))", 5), ran("len = 3", 6),
             ran("print(sum(a))", 8), ran("sum = lambda v: 0", 7)],
            {}, [(7, "c6", "hidden-state", 8)],
            id="a function body's read, a builtin shadowed later; shadowed and run first",
        ),
        pytest.param(
            [ran("from math import *", 1), ran("print(tau)", 3), ran("tau = 6", 2)],
            {}, [], id="a star import may define any name",
        ),
        pytest.param(
            [ran("%matplotlib inline\nimport numpy as np", 5),
             ran("files = !ls\n%time y = np.ones(3)", 2), ran("%%time\nprint(files)", 4)],
            {}, [(2, "c1", "outdated", 1), (3, "c2", "outdated", 1)], id="magics",
        ),
        pytest.param(
            [markdown("no ids"), ran("x = 1", 2), ran("print(x)", 1)],
            {"ids": False}, [(3, "cell-2", "outdated", 2)], id="nbformat 4.4 without ids",
        ),
        pytest.param(
            [ran("x <- 1", 2), ran("print(x)", 1)],
            {"language": "R"}, [], id="another language: no analysis",
        ),
        pytest.param(
            [ran("a = 1", 3), ran("b = 2", None), ran("", None), ran("c = 3", 5),
             ran("d = 4", 4), markdown("m"), ran("e = 5", 7)],
            {"strict": True, "language": "R"},
            [(1, "c0", "run-order", None), (2, "c1", "run-order", None),
             (4, "c3", "run-order", 1), (5, "c4", "run-order", 4), (7, "c6", "run-order", 5)],
            id="strict: not from 1, not run, a gap, a step back",
        ),
    ],
)  # fmt: skip
def test_check_findings(tmp_path, capsys, cells, options, expected):
    document = notebook(cells, ids=options.get("ids", True))
    if "language" in options:
        document["metadata"]["kernelspec"] = {"name": "ir", "language": options["language"]}
    argv = ["--format", "json"] + (["--strict"] if options.get("strict") else [])
    (tmp_path / "nb.ipynb").write_text(json.dumps(document))
    status, out, err = check(capsys, *argv, str(tmp_path / "nb.ipynb"))
    assert (status, err) == (1 if expected else 0, "")
    found = json.loads(out)
    assert [
        (f["position"], f["cell_id"], f["kind"],
         (f.get("ancestor") or f.get("defined_by") or f.get("previous") or {}).get("position"))
        for f in found
    ] == expected  # fmt: skip
    assert {f["path"] for f in found} <= {str(tmp_path / "nb.ipynb")}


def test_check_reports_each_file_and_goes_on_past_unreadable_ones(tmp_path, capsys):
    stale = notebook([ran("x = 1", 2), ran("print(x)", 1)])
    stale["cells"][1]["id"] = "evil\x1b]0;title\x07"
    text = json.dumps(stale)
    files = {
        "bad\x1b[2J.ipynb": text,
        "missing.ipynb": None,
        "truncated.ipynb": text[: len(text) // 2],
        "list.ipynb": "[]",
        "other.ipynb": '{"dag_info": []}',
        "v3.ipynb": '{"nbformat": 3, "worksheets": []}',
        "deep.ipynb": "[" * 100_000,
        "latin1.ipynb": b'{"cells": [], "x": "\xe9"}',
        "clean.ipynb": json.dumps(notebook([ran("x = 1", 1)])),
    }
    for name, content in files.items():
        if content is not None:
            path = tmp_path / name
            path.write_bytes(content if isinstance(content, bytes) else content.encode())
    argv = [str(tmp_path / name) for name in files]
    status, out, err = check(capsys, *argv)
    assert status == 2
    message = (
        "output out of date: [1], which it depends on for x, ran after it "
        "(ran as 2, this cell as 1)"
    )
    shown = str(tmp_path / "bad\\x1b[2J.ipynb")
    assert out == f"{shown}:[2] evil\\x1b]0;title\\x07: {message}\n"
    errors = err.splitlines()
    assert len(errors) == 7 and all(line.startswith("zelvo: error: ") for line in errors)
    for line, reason in zip(errors, ["no such file", "not a notebook: invalid JSON",
                                     "not a notebook: no list of cells", "no list of cells",
                                     "a notebook of format 3", "nested too deeply",
                                     "cannot be read"]):  # fmt: skip
        assert reason in line

    status, out, err = check(capsys, "--format", "json", *argv[:2])
    assert (status, err.count("\n")) == (2, 1)
    assert json.loads(out) == [
        {"path": argv[0], "position": 2, "cell_id": "evil\x1b]0;title\x07",
         "execution_count": 1, "kind": "outdated", "message": message,
         "ancestor": {"position": 1, "cell_id": "c0", "execution_count": 2, "names": ["x"]}},
    ]  # fmt: skip
    assert "\x1b" not in out


REPOSITORY = Path(__file__).resolve().parents[2]


@pytest.mark.skipif(shutil.which("git") is None, reason="needs git")
def test_the_pre_commit_hook_stops_a_commit_of_stale_outputs(tmp_path):
    pytest.importorskip("pre_commit")
    yaml = pytest.importorskip("yaml")
    (hook,) = yaml.safe_load((REPOSITORY / ".pre-commit-hooks.yaml").read_text())
    assert (hook["id"], hook["entry"], hook["files"]) == (
        "zelvo-check",
        "zelvo check",
        r"\.ipynb$",
    )
    # The published hook with the installed command instead of an environment that
    # pre-commit would build (and download for).
    local = {**hook, "language": "system"}
    config = {"repos": [{"repo": "local", "hooks": [local]}]}
    work = tmp_path / "work"
    work.mkdir()
    (work / ".pre-commit-config.yaml").write_text(yaml.safe_dump(config))
    bin_folder = str(Path(sys.executable).parent)
    env = {key: value for key, value in os.environ.items()
           if not key.startswith(("GIT_", "LD_PRELOAD", "ASAN_", "PRE_COMMIT"))}  # fmt: skip
    env.update(
        HOME=str(tmp_path), PRE_COMMIT_HOME=str(tmp_path / "cache"), GIT_CONFIG_NOSYSTEM="1",
        PATH=bin_folder + os.pathsep + env.get("PATH", ""), GIT_AUTHOR_NAME="a",
        GIT_AUTHOR_EMAIL="a@example.invalid", GIT_COMMITTER_NAME="a",
        GIT_COMMITTER_EMAIL="a@example.invalid",
    )  # fmt: skip

    def run(*argv):
        done = subprocess.run(argv, cwd=work, env=env, capture_output=True, text=True)
        return done.returncode, done.stdout + done.stderr

    assert run("git", "init", "-q")[0] == 0
    assert run(sys.executable, "-m", "pre_commit", "install")[0] == 0
    (work / "stale.ipynb").write_text(json.dumps(notebook([ran("x = 1", 2), ran("x", 1)])))
    (work / "notes.json").write_text(json.dumps(notebook([ran("x = 1", 2), ran("x", 1)])))
    run("git", "add", ".")
    status, said = run("git", "commit", "-qm", "stale")
    assert status == 1, said
    assert "stale.ipynb:[2] c1: output out of date: [1], which it depends on for x, " in said
    assert "notes.json" not in said
    (work / "stale.ipynb").write_text(json.dumps(notebook([ran("x = 1", 1), ran("x", 2)])))
    run("git", "add", ".")
    status, said = run("git", "commit", "-qm", "rerun")
    assert status == 0, said


@pytest.mark.parametrize(
    ("sources", "runs"),
    [
        pytest.param(["a = 1", "b = a", "c = b", "d = 5"], [0, 1, 2, 3, 0], id="a root again"),
        pytest.param(["a = 1", "b = a", "c = b"], [0, 1, 2, 1], id="a middle cell again"),
        pytest.param(["a = 1", "b = a", "c = a", "d = b + c"], [0, 1, 2, 3, 2], id="a diamond"),
        pytest.param(["a = 1", "b = a", "c = b"], [0, 1, 2, 0, 1, 2], id="all again, in order"),
        pytest.param(
            ["xs = []", "xs.append(1)", "print(xs)", "n = len(xs)"], [0, 1, 2, 3, 1],
            id="a change to an object",
        ),
        pytest.param(
            ["import numpy as np\n%matplotlib inline", "def f():\n    return np.ones(k)",
             "k = 2", "%time y = f()"], [0, 1, 2, 3, 2], id="a function and magics",
        ),
    ],
)  # fmt: skip
def test_check_marks_out_of_date_what_the_server_marks(sources, runs):
    server = KernelPipeline()
    counts = {}
    for count, index in enumerate(runs, 1):
        server.request(str(count), f"c{index}", sources[index])
        server.started(str(count))
        server.replied(str(count), "ok")
        cells = server.links()  # the server finds parents between runs, in its worker
        if cells is not None:
            server.linked(link(cells))
        counts[index] = count
    marked = {c["id"] for c in server.dag_info() if c["execution_status"] == "invalid"}
    saved = notebook([ran(source, counts.get(i)) for i, source in enumerate(sources)])
    found = {f.cell.cell_id for f in check_notebook(saved) if f.kind == OUTDATED}
    assert found == marked
