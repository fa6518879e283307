"""The analysis's two steps on their own: a cell's facts, and a Linker fed runs in any order.

The rules on whole notebooks are the table of tests/cli/test_notebook.py.
"""

import sys

import pytest

from zelvo_core.analysis import Linker, cell_facts, local_modules

TOO_COSTLY = "is too large or complex to analyse: kept without parents"
NESTED = "is nested too deeply to analyse: kept without parents"
OLD_PARSER = sys.version_info < (3, 9)


@pytest.mark.parametrize(
    ("source", "expected"),
    [
        ("df['a'] = df.b\nm.fit(X)\nd = {}\nd['k'] = 1",
         {"reads": ("df", "m", "X"), "defines": ("d",), "revises": ("df", "m")}),
        ("from m import *\n%run -m tool\n%load 'a dir/../h.py'",
         {"star_imports": ("m", "tool"), "file_reads": ("h.py",)}),
        ("%%writefile -a out/h.py\nx = 1", {"defines": (), "file_writes": ("out/h.py",)}),
        ("def f(v):\n    global g\n    g = k + v\n    lst.append(v)\n    return h(v).m()",
         {"reads": ("k", "lst", "h"), "defines": ("f", "g"), "revises": ()}),
        ("x = 1\ndel x\ny = f(x)", {"defines": ("y",), "deletes": ("x",), "calls": ("f",)}),
        ("import matplotlib.pyplot as plt\nfrom numpy.random import seed\nplt.style.use('x')\n"
         "mpl.rcParams['a'] = 1\npd.options.display.width = 9\nseed(0)",
         {"imports": (("plt", "matplotlib.pyplot"), ("seed", "numpy.random.seed")),
          "paths": (("plt.style.use", "call"), ("mpl.rcParams", "store"),
                    ("pd.options.display.width", "store"), ("seed", "call"))}),
        ("b = a.T\nc = a.loc[:, 'x'].values\nd = np.asarray(a)\ne = a.copy()\nv = a[:2]\n"
         "v[0] = 1\nb = 0",
         {"aliases": (("c", "a"), ("d", "a"), ("v", "a")), "revises": ("a",)}),
        ("rng = np.random.default_rng(1)\nf = open(p)\ng = (i for i in xs)\nrng = 2\n"
         "r.random()\nfor x in it:\n    pass\nf.close()",
         {"stateful": ("f", "g"), "objects_called": ("r", "it")}),
        ("a = df.count()\nb = itertools.count()\nc = count(3)\ne = zip(a, b)\nm = s.map(g)",
         {"stateful": ("b", "c", "e")}),
        ("np.save('a', x)\nnp.savez('b.npz', x)\ndf.to_csv(path_or_buf='./d/c.csv')\n"
         "open('e', 'r+')\nopen(name, mode)\nx = np.load('f.npy')\nimport mod",
         {"file_writes": ("a.npy", "b.npz", "d/c.csv", "e"),
          "loads": ("e", "f.npy", "mod.py", "mod/__init__.py")}),
        ("Path('a').write_text('x')\nwith Path('b').open('w') as f:\n    pass\n"
         "shutil.copyfile('c', 'd')\nopen('e', mode=m)\nmodel.save(path)\nf = torch.load('g')",
         {"file_writes": ("a", "b", "d", "e"), "loads": ("c", "e", "g"),
          "stateful": ()}),
        ("%matplotlib inline\n%config InlineBackend.figure_format = 'svg'\nimport torch",
         {"paths": (("%matplotlib", "call"), ("%config InlineBackend", "call")),
          "imports": (("torch", "torch"),), "displays": False}),
        ("for row in rows:\n    total += row\nnext(reader)\ntotal",
         {"objects_called": ("rows",), "revises": ("total", "reader"), "displays": True}),
    ],
)  # fmt: skip
def test_facts_of_a_cell(source, expected):
    facts = cell_facts(source)
    assert {field: getattr(facts, field) for field in expected} == expected
    assert facts.warnings == ()


def test_facts_hold_function_bodies_and_are_cached_and_immutable():
    source = (
        "def f(v):\n    global g\n    g = k\n    lst.append(v)\n    return h(v).m()\n"
        "class A:\n    def run(self):\n        return B\n    def stop(self):\n        C.clear()\n"
    )
    facts = cell_facts(source)
    f, a = facts.functions["f"], facts.functions["A"]
    assert (f.reads, f.assigns, f.revises, f.calls, f.method_calls, dict(f.methods)) == (
        ("k", "lst", "h"), ("g",), ("lst",), ("h",), ("append", "m"), {},
    )  # fmt: skip
    assert (a.reads, a.revises, list(a.methods)) == (("B", "C"), ("C",), ["run", "stop"])
    assert cell_facts(source) is facts
    # A notebook of 2,100 cells rescanned whole finds them all in the cache.
    many = [f"x{number} = {number}" for number in range(2100)]
    first = [cell_facts(cell) for cell in many]
    assert all(cell_facts(cell) is facts for cell, facts in zip(many, first))
    with pytest.raises(TypeError):
        facts.functions["g"] = f
    # The suite turns warnings into errors: one that parsing raised is only recorded.
    (warning,) = cell_facts("s = '\\d'").warnings
    assert warning.startswith("has a warning (line 1): invalid escape sequence")


def test_reruns_replace_earlier_runs_and_forget_drops_a_cell():
    linker = Linker()

    def run(ident, source):
        return linker.run(ident, cell_facts(source))

    assert run("a", "x = 1") == run("b", "x = 2") == []
    assert run("c", "y = x") == ["b"]
    # b runs again without x: x is a's again.
    assert run("b", "z = 0") == []
    assert run("c", "y = x") == ["a"]
    # A rerun never depends on its own earlier run.
    assert run("inc", "x += 1") == ["a"]
    assert run("inc", "x += 1") == ["a"]
    assert run("c", "y = x") == ["inc"]
    linker.forget("inc")
    linker.forget("a")
    linker.forget("never ran")
    assert run("c", "y = x") == []
    # Parents in the order of their latest runs, as the names stood at this run.
    run("p", "p = 1")
    run("q", "def q():\n    return late")
    run("late", "late = 1")
    run("p", "p = 2")
    assert run("r", "print(p, q())") == ["q", "late", "p"]


def test_modules_beside_the_notebook_may_change_any_library_state(tmp_path):
    for name in ("mymod.py", "bad-name.py", "notes.txt", "pkg/__init__.py", "data/x.py"):
        (tmp_path / name).parent.mkdir(exist_ok=True)
        (tmp_path / name).write_text("")
    assert local_modules(tmp_path) == {"mymod", "pkg"}
    assert local_modules(tmp_path / "missing") == frozenset()
    linker = Linker(local_modules=local_modules(tmp_path))

    def run(ident, source):
        return linker.run(ident, cell_facts(source))

    run("np", "import numpy as np")
    assert run("a", "x = np.ones(1)") == ["np"]
    assert run("local", "from pkg.sub import f") == []
    assert run("b", "y = np.ones(1)") == ["np", "local"]
    assert run("math", "import math\nz = math.pi") == ["local"]
    assert run("seed", "np.random.seed(0)") == ["np", "local"]
    assert run("c", "w = np.ones(1)") == ["np", "local", "seed"]
    # Any library's use depends on it; an import of an installed one changes nothing.
    assert run("json", "import json") == ["local"]
    assert run("d", "v = np.ones(1)") == ["np", "local", "seed"]
    # Each such import changes the states used so far: a user depends on the latest only.
    for number in range(300):
        run(f"m{number}", "import mymod")
    assert run("e", "u = np.ones(1)") == ["np", "m299"]


PROSE = "\n".join(
    f"Line {n} of prose pasted in a cell: it isn't code (really)." for n in range(1000)
)


@pytest.mark.parametrize(
    ("source", "warning", "defines", "reads"),
    [
        # Before 3.9 the parser itself gives up on so deep a nesting.
        pytest.param(
            "(\n" * 49000, NESTED if OLD_PARSER else TOO_COSTLY, (), (),
            id="98 KB of open brackets",
        ),
        pytest.param(PROSE, TOO_COSTLY, (), (), id="1,000 lines of prose"),
        pytest.param("if x:\n" * 5000, TOO_COSTLY, (), (), id="5,000 unfinished statements"),
        pytest.param("x = 1\n" * 200_000, TOO_COSTLY, (), (), id="1.2 MB of code"),
        # Parsers before 3.10 place an unclosed bracket's fault at the end of the cell: the
        # search for the statements that parse then exceeds the budget.
        pytest.param(
            "y = 1\n" * 500 + "z = (\n" + "@d\ndef f():\n    pass\nw = y\n" * 500,
            *(
                ("is not Python (line 501): only the lines that parse are read",
                 ("y", "f", "w"), ("d",))
                if sys.version_info >= (3, 10) else (TOO_COSTLY, (), ())
            ),
            id="one fault in 2,500 lines",
        ),
    ],
)  # fmt: skip
def test_parsing_costs_a_bounded_amount_of_work(source, warning, defines, reads):
    facts = cell_facts(source)
    assert (facts.warnings, facts.defines, facts.reads) == ((warning,), defines, reads)
