"""The pipelines of notebooks run in real front ends, driven in headless Chromium: no POST.

The front end is driven through its own commands (what its menus and keys call), so each run
sends what a person's would: the cell's id, and the cells deleted since the last run.
"""

import asyncio
import datetime
import json
import time
import urllib.error
from pathlib import Path

import pytest

pytest.importorskip("selenium.webdriver")
from selenium.common.exceptions import JavascriptException  # noqa: E402
from selenium.webdriver.support.ui import WebDriverWait  # noqa: E402

EXAMPLE = Path(__file__).resolve().parents[2] / "examples" / "analysis.ipynb"
# Saved without cell ids (nbformat 4.4): the front end makes ids up on each load.
UNNAMED = Path(__file__).resolve().parent / "notebooks" / "growth-4.4.ipynb"
# Generous: a front end's first page load on a busy machine takes a while.
DEADLINE = 180
# For the pipeline and the drawing to follow a run that has ended (the kernel is idle): the
# server has seen every message by then.
SETTLE = 60
# Where each front end opens a notebook.
OPEN = {"lab": "lab/tree/{}", "notebook": "notebooks/{}"}

# The notebook open in the page: its panel, found among the main area's widgets.
PANEL = """
const app = window.jupyterapp;
const panel = app && app.shell && Array.from(app.shell.widgets("main")).find(
    (w) => w.context && w.context.path === arguments[0] && w.content);
if (!panel) throw new Error(`the notebook ${arguments[0]} is not open`);
"""


class Notebook:
    """One notebook open in a front end's page, driven through the front end's commands."""

    def __init__(self, driver, path):
        self.driver, self.path = driver, path
        self.window = driver.current_window_handle

    def script(self, body, *args):
        self.driver.switch_to.window(self.window)
        return self.driver.execute_script(PANEL + body, self.path, *args)

    def ready(self):
        """Once the notebook is open and its kernel connected: the kernel's id."""
        wait = WebDriverWait(self.driver, DEADLINE, ignored_exceptions=(JavascriptException,))
        return wait.until(
            lambda _: self.script(
                """const kernel = panel && panel.sessionContext.session
                       && panel.sessionContext.session.kernel;
                   return kernel && kernel.connectionStatus === "connected"
                       && panel.content.widgets.length > 0 ? kernel.id : null;"""
            )
        )

    def command(self, name, index=None):
        """Run ``name`` on the cell at ``index`` (or the active one) and wait for it, for the
        kernel to be idle and for the replies to every request sent before; the code cells'
        execution counts after it.

        A run of all ends at the first failure, before the kernel's replies to the aborted
        cells: one coming after a deletion clears the front end's list of deleted cells, and
        the next run would not send it. The kernel answers its shell requests in order, so
        the reply to a request of its own info comes after theirs."""
        self.driver.switch_to.window(self.window)
        return self.driver.execute_async_script(
            PANEL
            + """
            const [, name, index, done] = arguments;
            if (index !== null) panel.content.activeCellIndex = index;
            app.shell.activateById(panel.id);
            const kernel = panel.sessionContext.session.kernel;
            const idle = () => kernel.status === "idle" ? Promise.resolve() : new Promise(
                (resolve) => kernel.statusChanged.connect(function wait(_, status) {
                    if (status === "idle") { kernel.statusChanged.disconnect(wait); resolve(); }
                }));
            app.commands.execute(name).then(idle).then(() => kernel.requestKernelInfo())
                .then(() => done(
                panel.content.widgets.filter((cell) => cell.model.type === "code")
                    .map((cell) => [cell.model.id, cell.model.executionCount])
            ), (error) => done(String(error)));
            """,
            self.path,
            name,
            index,
        )

    def index(self, cell_id):
        return self.script(
            "return panel.content.widgets.findIndex((cell) => cell.model.id === arguments[1]);",
            cell_id,
        )

    def edit(self, cell_id, source):
        # The editor and the cell share this model: the same change as typing it.
        self.script(
            """const cell = panel.content.widgets.find((cell) => cell.model.id === arguments[1]);
               cell.model.sharedModel.setSource(arguments[2]);""",
            cell_id,
            source,
        )

    def run_all(self):
        return self.command("notebook:run-all-cells")

    def save(self):
        return self.command("docmanager:save")

    def restart(self):
        # The kernel's own restart, without the front end's dialog asking to confirm it.
        self.driver.switch_to.window(self.window)
        return self.driver.execute_async_script(
            PANEL
            + """const done = arguments[arguments.length - 1];
                 panel.sessionContext.session.kernel.restart().then(() => done(null),
                     (error) => done(String(error)));""",
            self.path,
        )

    def run(self, cell_id):
        return self.command("notebook:run-cell", self.index(cell_id))

    def delete(self, cell_id):
        left = self.command("notebook:delete-cell", self.index(cell_id))
        assert isinstance(left, list) and cell_id not in dict(left), left


def until(served, check, what):
    """Poll ``check()`` until it returns something truthy (a falsy value or a failed
    assertion means not yet); fail with the last reason after the deadline."""
    deadline, reason = time.monotonic() + SETTLE, None
    while time.monotonic() < deadline:
        try:
            result = check()
            if result:
                return result
        except (AssertionError, urllib.error.HTTPError) as error:
            reason = error
        time.sleep(0.2)
    log = [line for line in served.output().splitlines() if " GET /zelvo/kernels/" not in line]
    raise AssertionError("\n".join([f"{what}: {reason}", *log[-40:]]))


def pipeline(served, kernel_id):
    """{component id: component} of the kernel's registered pipeline."""
    answer = served.call("GET", f"zelvo/kernels/{kernel_id}")
    return {c["id"]: c for c in answer["updated_components"]["added"]}


def drawn(driver):
    """{id: status} of the components the view page draws (a node's class names it)."""
    return dict(
        driver.execute_script(
            """return Array.from(document.querySelectorAll(".node"), (n) => [n.dataset.id,
                Array.from(n.classList).find((c) => c.startsWith("status-")).slice(7)]);"""
        )
    )


def scenario(served, driver, front_end):
    (Path(served.folder) / EXAMPLE.name).write_bytes(EXAMPLE.read_bytes())
    source = {c["id"]: "".join(c["source"]) for c in json.loads(EXAMPLE.read_text())["cells"]}
    driver.get(f"{served.url}/{OPEN[front_end].format(EXAMPLE.name)}?token={served.token}")
    notebook = Notebook(driver, EXAMPLE.name)
    kernel_id = notebook.ready()
    view = None

    def step(expected, action, **fields):
        """Run ``action`` in the front end; then the pipeline (GET) must come to ``expected``
        ({id: status}, or a list of the outcomes the kernel may choose between) with
        ``fields`` ({field: {id: value}}), and so must the drawing (the view page, open beside
        the front end since the first step)."""
        nonlocal view
        outcomes = expected if isinstance(expected, list) else [expected]
        ran = action()
        assert not isinstance(ran, str), ran

        def reached():
            got = pipeline(served, kernel_id)
            assert {i: c["execution_status"] for i, c in got.items()} in outcomes
            for field, values in fields.items():
                assert {i: got[i][field] for i in values} == values, field
            return got

        components = until(served, reached, "the pipeline never came to the runs")
        if view is None:
            driver.switch_to.new_window("window")
            view = driver.current_window_handle
            driver.get(f"{served.url}/zelvo/kernels/{kernel_id}/view")
            assert driver.title == EXAMPLE.name  # the kernel's notebook names the page
            driver.execute_script("window.notReloaded = true")
        driver.switch_to.window(view)
        reached_statuses = {i: c["execution_status"] for i, c in components.items()}
        WebDriverWait(driver, SETTLE).until(lambda d: drawn(d) == reached_statuses)
        assert driver.execute_script("return window.notReloaded") is True
        return components

    # Run all: one component per cell id, parents from the names each reads, the cell tagged
    # "parameters" in the saved notebook a parameter.
    statuses = {"params": "succeeded", "model": "succeeded", "run": "succeeded",
                "report": "succeeded"}  # fmt: skip
    first = step(
        statuses,
        notebook.run_all,
        component_type={"params": "parameter", "model": "code", "run": "code", "report": "code"},
        parents_id={"params": [], "model": ["params"], "run": ["model"], "report": ["run"]},
        code={ident: source[ident] for ident in statuses},
    )
    ended = [datetime.datetime.fromisoformat(first[i]["last_execution"]) for i in statuses]
    assert ended == sorted(ended)
    (listed,) = served.call("GET", "zelvo/kernels")
    assert (listed["kernel_id"], listed["notebook"]) == (kernel_id, EXAMPLE.name)

    # An early cell edited and run again: everything that depends on it is out of date.
    changed = source["params"].replace("rate = 0.05", "rate = 0.07")
    notebook.edit("params", changed)
    second = step(
        dict(statuses, model="invalid", run="invalid", report="invalid"),
        lambda: notebook.run("params"),
        code={"params": changed},
    )

    # A failing cell in a run of all: it failed, and the cells the kernel then aborted are
    # as they were. The kernel aborts only the requests queued when the error happened: on a
    # loaded machine the last one may come after and run (and succeed, on the old names).
    failing = 'raise ValueError("no balances today")'
    notebook.edit("run", failing)
    third = step([dict(statuses, run="failed", report="invalid"),
                  dict(statuses, run="failed", report="succeeded")],
                 notebook.run_all, code={"run": failing})  # fmt: skip
    if third["report"]["execution_status"] == "invalid":
        # As it was, but for its parents: the failing code defines nothing it reads.
        assert third["report"] == dict(second["report"], parents_id=[])

    # A deleted cell leaves the pipeline once another cell runs.
    notebook.delete("report")
    step({"params": "succeeded", "model": "succeeded", "run": "failed"},
         lambda: notebook.run("model"))  # fmt: skip

    # The index page lists the notebook, its kernel, and a link that opens it in the front
    # end the server opens on.
    driver.get(f"{served.url}/zelvo/")
    route = {"lab": "lab/tree/", "notebook": "notebooks/"}[front_end]
    WebDriverWait(driver, DEADLINE).until(
        lambda d: (
            d.execute_script(
                "return Array.from(document.querySelectorAll('#pipelines tbody tr'),"
                " (r) => [r.dataset.kernelId, r.querySelector('a.open-view').textContent,"
                " new URL(r.querySelector('a.open').href).pathname]);"
            )
            == [[kernel_id, EXAMPLE.name, f"/{route}{EXAMPLE.name}"]]
        )
    )


def by_code(served, kernel_id):
    """{code: (status, [parents' code])} of the kernel's pipeline, and the number of its
    components (its ids are the server's to choose)."""
    got = pipeline(served, kernel_id)
    code = {ident: component["code"] for ident, component in got.items()}
    return {
        component["code"]: (
            component["execution_status"],
            sorted(code[parent] for parent in component["parents_id"]),
        )
        for component in got.values()
    }, len(got)


def unnamed_scenario(served, driver, front_end):
    """A notebook saved without cell ids: run all, save, reload, run all, rerun an early
    cell, restart: one component per cell at each step."""
    (Path(served.folder) / UNNAMED.name).write_bytes(UNNAMED.read_bytes())
    cells = [
        "".join(c["source"]) for c in json.loads(UNNAMED.read_text())["cells"]
        if c["cell_type"] == "code"
    ]  # fmt: skip
    imports, rate, grow, final, report = cells
    parents = {imports: [], rate: [], grow: sorted([imports, rate]), final: [grow],
               report: [final]}  # fmt: skip
    url = f"{served.url}/{OPEN[front_end].format(UNNAMED.name)}?token={served.token}"
    driver.get(url)
    notebook = Notebook(driver, UNNAMED.name)
    kernel_id = notebook.ready()

    def step(action, statuses, edited=None):
        ran = action()
        assert not isinstance(ran, str), ran
        code = dict(zip(cells, cells), **(edited or {}))
        wanted = {code[c]: (status, sorted(code[p] for p in parents[c]))
                  for c, status in zip(cells, statuses)}  # fmt: skip
        until(served, lambda: by_code(served, kernel_id) == (wanted, len(cells)), "step")

    done = ["succeeded"] * 5
    step(notebook.run_all, done)
    step(notebook.save, done)
    driver.refresh()  # the front end makes new ids up
    notebook = Notebook(driver, UNNAMED.name)
    assert notebook.ready() == kernel_id
    step(notebook.run_all, done)
    changed = rate.replace("0.05", "0.07")
    cell_id = notebook.script(
        "return panel.content.widgets.filter((c) => c.model.type === 'code')[1].model.id;"
    )
    notebook.edit(cell_id, changed)
    step(lambda: notebook.run(cell_id), ["succeeded", "succeeded", "invalid", "invalid",
                                         "invalid"], {rate: changed})  # fmt: skip
    step(notebook.restart, ["not-run"] * 5, {rate: changed})


@pytest.mark.parametrize(
    ("front_end", "kernels", "which"),
    [
        ("lab", "local", scenario),
        ("lab", "local", unnamed_scenario),
        ("lab", "gateway listing", scenario),  # the front end lists the kernels
        ("notebook", "local", scenario),
    ],
    ids=["lab-local", "lab-local-unnamed", "lab-gateway", "notebook-local"],
)
async def test_runs_in_a_front_end_are_the_kernels_pipeline(
    serve, browser, front_end, kernels, which
):
    served = await serve(kernels, front_end=front_end)
    await in_browser(browser, which, served, front_end)


async def in_browser(browser, run, served, front_end):
    """``run(served, browser, front_end)`` off the event loop; then the browser is left with
    one blank window, so that the next case's pages start without this one's."""
    browser.set_script_timeout(DEADLINE)
    try:
        await asyncio.get_running_loop().run_in_executor(None, run, served, browser, front_end)
    finally:
        for handle in browser.window_handles[1:]:
            browser.switch_to.window(handle)
            browser.close()
        browser.switch_to.window(browser.window_handles[0])
        browser.get("about:blank")
