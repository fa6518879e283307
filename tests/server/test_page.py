"""The pipeline pages in headless Chromium, against the real server under a non-root base_url."""

import asyncio
import functools
import json
import re
from pathlib import Path
from urllib.parse import parse_qs, urlsplit

import pytest

webdriver = pytest.importorskip("selenium.webdriver")
from selenium.webdriver.common.by import By  # noqa: E402
from selenium.webdriver.support.ui import WebDriverWait  # noqa: E402

from zelvo.server import registry  # noqa: E402
from zelvo.server.handlers import views  # noqa: E402
from zelvo_core import protocol  # noqa: E402

HOSTILE = '<img src=x onerror="document.title=1">'
WORD = protocol.STATUS_LABELS
GLYPH = views.STATUS_GLYPHS
STATIC = Path(views.STATIC_DIR)


class Page:
    """Blocking driver calls run in a thread: the server shares the test's event loop."""

    def __init__(self, driver, origin, token):
        self.driver, self.origin, self.token = driver, origin, token

    async def run(self, function, *args):
        call = functools.partial(function, *args)
        return await asyncio.get_running_loop().run_in_executor(None, call)

    async def open(self, path, **query):
        """Open a path; ``view`` is the kernel's page, opened with the token."""
        params = "&".join(
            f"{key}={value}" for key, value in {"token": self.token, **query}.items()
        )
        await self.run(self.driver.get, f"{self.origin}{path}?{params}")

    async def until(self, condition):
        """Wait (in the thread) until ``condition(driver)`` is truthy; return its value."""
        return await self.run(WebDriverWait(self.driver, 10).until, condition)

    async def script(self, source, *args):
        return await self.run(self.driver.execute_script, source, *args)

    async def text(self, element_id):
        return await self.run(lambda: self.driver.find_element(By.ID, element_id).text)

    async def nodes(self):
        """(id, status word, whether marked as changed) of every drawn component."""
        return await self.script("""return Array.from(document.querySelectorAll('.node'), (n) => [
            n.dataset.id, n.querySelector('.word').textContent, n.classList.contains('changed')
        ])""")

    async def titles(self):
        return await self.script(
            "return Array.from(document.querySelectorAll('.node .title'), (t) => t.textContent)"
        )

    async def fitted(self):
        """Whether every drawn box lies inside the drawing's window."""
        return await self.script("""const g = document.getElementById('graph')
            .getBoundingClientRect();
            const boxes = Array.from(document.querySelectorAll('.node .box'),
                (b) => b.getBoundingClientRect());
            return boxes.length > 0 && boxes.every((b) => b.left >= g.left && b.right <= g.right
                && b.top >= g.top && b.bottom <= g.bottom)""")

    async def drawn(self):
        """The ids of the drawn components and the (parent, child) pairs of the drawn edges."""
        ids, edges = await self.script("""return [
            Array.from(document.querySelectorAll('.node'), (n) => n.dataset.id),
            Array.from(document.querySelectorAll('.edges:not(.trunks) path'),
                       (p) => [p.dataset.from, p.dataset.to])]""")
        return sorted(ids), sorted(map(tuple, edges))

    async def drawing(self, count):
        await self.until(lambda d: len(d.find_elements(By.CSS_SELECTOR, ".node")) == count)


@pytest.fixture()
def page(browser, jp_http_port, jp_base_url, jp_serverapp):
    token = jp_serverapp.identity_provider.token
    return Page(browser, f"http://127.0.0.1:{jp_http_port}{jp_base_url}", token)


def pairs(dag_info):
    return sorted((parent, c["id"]) for c in dag_info for parent in c["parents_id"])


async def test_statuses_and_title_come_from_the_protocol(server, jp_fetch):
    kernel_id = await server.start_kernel()
    html = (await jp_fetch("zelvo", "kernels", kernel_id, "view")).body.decode()
    block = re.search(r'<script type="application/json" id="protocol">(.*?)</script>', html, re.S)
    statuses = [[status, WORD[status]] for status in protocol.EXECUTION_STATUSES]
    data = views.page_protocol()
    assert json.loads(block.group(1)) == data
    assert data["statuses"] == statuses and data["final_close"] == protocol.GOING_AWAY
    assert (data["procedure"], data["message"]["successful"]) == (
        protocol.PIPELINE_UPDATED,
        protocol.SUCCESSFUL,
    )
    # The same words for scripts outside the pages, behind the same login.
    assert json.loads((await jp_fetch("zelvo", "protocol")).body) == data
    # One rule per status, in the same order, plus the one for a status the page does not know.
    css = (STATIC / "zelvo.css").read_text()
    assert re.findall(r"^\.status-([\w-]+) \{", css, re.M) == [
        *protocol.EXECUTION_STATUSES,
        "unknown",
    ]
    # The script and the template take every status and word from that data only.
    scripts = [path.name for path in STATIC.glob("*.js")]
    for name in (*scripts, "../templates/view.html", "../templates/index.html"):
        source = (STATIC / name).read_text()
        words = {protocol.PIPELINE_UPDATED, protocol.SUCCESSFUL}
        for word in {*protocol.EXECUTION_STATUSES, *WORD.values(), *words}:
            assert f'"{word}"' not in source and f">{word}<" not in source, (name, word)

    template = views._templates.get_template("view.html")
    shown = template.render(kernel_id=kernel_id, protocol=data, notebook=f"work/{HOSTILE}.ipynb")
    assert re.search(r"<title>work/&lt;img .*\.ipynb</title>", shown)
    assert HOSTILE not in shown
    assert f"<title>Pipeline of kernel {kernel_id}</title>" in html


async def test_live_page(page, server, component, updated):
    kernel_id = await server.start_kernel()
    # The token in the URL logs the browser in, as for the server's own pages.
    await page.open(f"zelvo/kernels/{kernel_id}/view")
    await page.until(lambda d: d.find_element(By.ID, "notice").text.startswith("No pipeline"))

    a = component("a", component_type="parameter", position=1, execution_count=3)
    error = {"ename": "ValueError", "evalue": HOSTILE, "traceback": ["Cell In[4]", HOSTILE]}
    b = component("b", ["a"], execution_status="failed", position=5, error=error)
    hostile = component(HOSTILE, ["a"], code=HOSTILE, execution_status="running", position=2)
    assert (await server.post(kernel_id, updated([a, b, hostile])))[0] == 200
    await page.drawing(3)
    await page.script("window.notReloaded = true")
    # Drawn in notebook order, each marked for a moment as added after the page opened.
    assert await page.nodes() == [
        ["a", WORD["succeeded"], True],
        [HOSTILE, WORD["running"], True],
        ["b", WORD["failed"], True],
    ]
    # Named as the notebook names them, and shown as text: no element was made from them.
    assert await page.titles() == ["[1] a = 1", f"[2] {HOSTILE[:24]}…", "[5] b = 1"]
    assert await page.run(page.driver.find_elements, By.CSS_SELECTOR, "img") == []

    ran = "2021-07-27T13:40:00"
    outdated_by = {"id": HOSTILE, "last_execution": ran, "names": ["x"]}
    c = component("c", ["b", HOSTILE], execution_status="invalid", outdated_by=outdated_by)
    assert (await server.post(kernel_id, updated([a, b, hostile, c])))[0] == 200
    await page.drawing(4)
    assert (await page.nodes())[3] == ["c", WORD["invalid"], True]
    assert await page.script("return window.notReloaded") is True
    # A few cells read down one column, as in the notebook, and the page opened fitted.
    tops = await page.script(
        "return Array.from(document.querySelectorAll('.node'),"
        " (n) => n.transform.baseVal[0].matrix.f)"
    )
    assert tops == sorted(tops) and len(set(tops)) == 4
    assert await page.fitted()

    # Why: the error of a failed one and the ancestor that made one out of date, as text.
    reasons = {}
    for ident in ("b", "c"):
        await page.script(
            "document.querySelector(`.node[data-id='${arguments[0]}']`)"
            ".dispatchEvent(new MouseEvent('click', {bubbles: true}))",
            ident,
        )
        await page.until(lambda d, i=ident: d.find_element(By.ID, "details-id").text == i)
        reasons[ident] = await page.text("details-reason")
    assert reasons["b"] == f"{WORD['failed']}: ValueError: {HOSTILE}"
    assert reasons["c"].startswith(f"{WORD['invalid']}: reads `x`, which cell [2] changed at ")
    await page.script(
        "document.querySelector('.node[data-id=\"b\"]').dispatchEvent("
        "new MouseEvent('click', {bubbles: true}))"
    )
    await page.until(lambda d: d.find_element(By.ID, "details-error").text)
    assert (await page.text("details-error")).split("\n") == ["Cell In[4]", HOSTILE]
    assert await page.run(page.driver.find_elements, By.CSS_SELECTOR, "img") == []

    # Selecting a component by keyboard shows its code, as text.
    await page.run(
        lambda: page.driver.find_elements(By.CSS_SELECTOR, ".node")[1].send_keys("\ue007")
    )
    await page.until(lambda d: d.find_element(By.ID, "details-code").text == HOSTILE)
    assert (await page.text("details-status")).endswith(WORD["running"])
    assert await page.text("details-name") == f"[2] {HOSTILE}"
    # An update replaces only the node it revised, hands the keyboard focus to its successor,
    # and says what changed in words.
    await page.script("document.querySelectorAll('.node').forEach((n) => { n.kept = true; })")
    revised = dict(hostile, execution_status="succeeded")
    assert (await server.post(kernel_id, updated([a, b, revised, c])))[0] == 200
    await page.until(
        lambda d: "0 added, 1 revised, 0 deleted" in d.find_element(By.ID, "connection").text
    )
    assert await page.script(
        "return Array.from(document.querySelectorAll('.node'), (n) => [n.dataset.id, !!n.kept])"
    ) == [["a", True], [HOSTILE, False], ["b", True], ["c", True]]
    assert (await page.nodes())[1] == [HOSTILE, WORD["succeeded"], True]
    assert await page.script("return document.activeElement.dataset.id") == HOSTILE
    counts = await page.script(
        "return Array.from(document.querySelectorAll('#summary li:not([hidden])'),"
        " (li) => li.textContent)"
    )
    assert counts == [
        f"{GLYPH[s]}{WORD[s]} {n}" for s, n in zip(protocol.EXECUTION_STATUSES, (2, 1, 1, 0, 0))
    ]

    # The index follows changes without a reload, and its row opens the drawing.
    await page.open("zelvo/")
    row = f"tr[data-kernel-id='{kernel_id}']"
    await page.until(lambda d: d.find_element(By.CSS_SELECTOR, row))
    await page.script("window.notReloaded = true")
    rerun = component("c", ["b", HOSTILE])
    assert (await server.post(kernel_id, updated([a, b, revised, rerun])))[0] == 200
    await page.until(
        lambda d: f"3 {WORD['succeeded']}" in d.find_element(By.CSS_SELECTOR, row).text
    )
    assert "4 in all" in await page.script(f'return document.querySelector("{row}").textContent')
    assert await page.script("return window.notReloaded") is True
    await page.run(lambda: page.driver.find_element(By.CSS_SELECTOR, f"{row} a.open-view").click())
    await page.drawing(4)

    assert (await server.post(kernel_id, updated([])))[0] == 200
    await page.until(lambda d: "no components" in d.find_element(By.ID, "notice").text)
    await server.stop_kernel(kernel_id)
    await page.until(
        lambda d: f"Kernel {kernel_id} was shut down." in d.find_element(By.ID, "connection").text
    )
    await asyncio.sleep(1)  # a page that tried to reconnect would say so by now
    assert "Reconnecting" not in await page.text("connection")

    logs = await page.run(page.driver.get_log, "browser")
    assert [entry for entry in logs if entry["level"] in ("SEVERE", "WARNING")] == []


def fan(count):
    """A hub, and components each the child of the hub and of one a layer above."""
    dag_info = [{"id": "hub", "parents_id": []}]
    for at in range(1, count):
        parents = ["hub"] + ([f"n{at - 5:02d}"] if at > 5 else [])
        dag_info.append({"id": f"n{at:02d}", "parents_id": parents})
    return dag_info


# Long edges (r -> u, r -> v, s -> w), and a branch (x, summary) outside u's family.
LONG = [
    ("r", []), ("s", ["r"]), ("t", ["s"]), ("u", ["t", "r"]), ("v", ["r", "u"]),
    ("w", ["s", "v"]), ("x", ["r"]), ("summary", ["x"]),
]  # fmt: skip


async def test_shapes_focus_and_find(page, server, component, updated):
    kernel_id = await server.start_kernel()
    view = f"zelvo/kernels/{kernel_id}/view"
    shapes = [
        [component(c["id"], c["parents_id"]) for c in fan(21)],
        [component(i, p, code="checksum = 0" if i == "x" else f"{i} = 1") for i, p in LONG],
    ]
    # u ran before its ancestors: it may be out of date against them.
    shapes[1][3]["last_execution"] = "2021-07-27T13:00:00"
    await page.open(view)
    for dag_info in shapes:
        assert (await server.post(kernel_id, updated(dag_info)))[0] == 200
        await page.drawing(len(dag_info))
        await page.run(lambda: page.driver.find_element(By.ID, "fit").click())
        assert await page.drawn() == (sorted(c["id"] for c in dag_info), pairs(dag_info))
    # Opened on a focus: fitted to it.
    await page.open(view, focus="u")
    family = ["r", "s", "t", "u", "v", "w"]
    await page.drawing(len(family))
    assert await page.fitted()
    focused = [c for c in shapes[1] if c["id"] in family]
    assert await page.drawn() == (family, pairs(focused))
    assert "3 ancestors and its 2 descendants" in await page.text("focus-text")
    # The focused component is selected; what ran after it is listed, and its edges dashed.
    newer = await page.script("""return [
        Array.from(document.querySelectorAll('#details-newer button'), (b) => b.dataset.id),
        Array.from(document.querySelectorAll('.edges path.newer'),
                   (p) => p.dataset.from + '>' + p.dataset.to).sort()]""")
    assert newer == [["r", "s", "t"], ["r>u", "t>u"]]
    for fmt in ("py", "ipynb"):
        href = await page.script(f"return document.getElementById('export-{fmt}').href")
        query = parse_qs(urlsplit(href).query)
        assert (query["format"], sorted(query["cell_ids"][0].split(","))) == ([fmt], family)
    # Showing everything takes the focus out of the URL.
    await page.run(lambda: page.driver.find_element(By.ID, "unfocus").click())
    await page.drawing(len(LONG))
    assert "focus=" not in await page.script("return location.search")

    # Find lists the matches by title and code, in notebook order, and leaves the selection
    # alone until one of them is picked.
    await page.open(view, focus="t")
    await page.drawing(len(family))
    await page.run(lambda: page.driver.find_element(By.ID, "find").send_keys("SUM"))
    await page.until(lambda d: d.find_element(By.ID, "matches").text)
    assert (await page.text("matches")).split("\n") == [
        "x checksum = 0",
        "checksum = 0",
        "summary summary = 1",
        "summary = 1",
    ]
    assert await page.text("details-id") == "t"
    assert await page.script("return new URLSearchParams(location.search).get('focus')") == "t"
    await page.run(lambda: page.driver.find_element(By.CSS_SELECTOR, "#matches button").click())
    await page.until(lambda d: d.find_element(By.ID, "details-id").text == "x")
    # The focus did not hold it: the whole pipeline is drawn, with it in the window.
    await page.drawing(len(LONG))

    # Embedded in a notebook's panel (a frame of the same origin): no page header; a click
    # tells the notebook, and the notebook's ask selects and shows a component.
    await page.open("zelvo/")
    await page.script(
        """window.told = [];
        window.addEventListener('message', (e) => told.push([e.origin, e.data]));
        const frame = document.createElement('iframe');
        frame.id = 'panel';
        frame.style.cssText = 'width: 500px; height: 700px';
        frame.src = arguments[0];
        document.body.appendChild(frame);""",
        f"kernels/{kernel_id}/view?embed=1",
    )
    frame = await page.until(lambda d: d.find_element(By.ID, "panel"))
    await page.run(page.driver.switch_to.frame, frame)
    try:
        await page.drawing(len(LONG))
        assert await page.run(page.driver.find_elements, By.CSS_SELECTOR, "header") == []
        assert await page.fitted()
        await page.run(
            lambda: page.driver.find_element(By.CSS_SELECTOR, '.node[data-id="w"]').click()
        )
        await page.run(page.driver.switch_to.parent_frame)
        told = await page.until(lambda d: d.execute_script("return told.length && told"))
        origin = await page.script("return location.origin")
        assert told == [
            [origin, {"type": "zelvo:select", "id": "w", "front_end_id": None, "position": None}]
        ]
        await page.script(
            "document.getElementById('panel').contentWindow.postMessage("
            "{type: 'zelvo:focus', id: 'summary'}, location.origin)"
        )
        await page.run(page.driver.switch_to.frame, frame)
        await page.until(lambda d: d.find_element(By.ID, "details-id").text == "summary")
    finally:
        await page.run(page.driver.switch_to.default_content)


class Package:
    def __init__(self, enabled):
        self.enabled = enabled


class App:
    def __init__(self, default_url, *names):
        self.default_url = default_url
        self.extension_manager = type("Manager", (), {})()
        self.extension_manager.extensions = {name: Package(True) for name in names}


@pytest.mark.parametrize(
    ("app", "path", "link"),
    [
        (App("/lab", "jupyterlab", "notebook"), "work/a b.ipynb", "/x/lab/tree/work/a%20b.ipynb"),
        (App("/tree", "jupyterlab", "notebook"), "a.ipynb", "/x/notebooks/a.ipynb"),
        (App("/lab", "notebook"), "a.ipynb", "/x/notebooks/a.ipynb"),
        (App("/", "jupyterlab"), f"{HOSTILE}/?#.ipynb", "/x/lab/tree/%3Cimg%20src%3Dx%20onerror"
         "%3D%22document.title%3D1%22%3E/%3F%23.ipynb"),
        (App("/", "jupyterlab"), "a/../../api/kernels", None),
        (App("/"), "a.ipynb", None),
        (App("/lab", "jupyterlab"), None, None),
    ],
)  # fmt: skip
def test_notebook_links_follow_the_front_end_and_quote_the_path(app, path, link):
    assert views.notebook_link(app, "/x/", path) == link


async def test_reconnects_after_the_server_drops_the_socket(page, server, component, updated):
    kernel_id = await server.start_kernel()
    dag_info = [component("a")]
    assert (await server.post(kernel_id, updated(dag_info)))[0] == 200
    await page.open(f"zelvo/kernels/{kernel_id}/view")
    await page.drawing(1)
    await page.script("""window.said = [];
        const line = document.getElementById('connection');
        new MutationObserver(() => said.push(line.textContent))
            .observe(line, {childList: true, characterData: true, subtree: true});""")
    drops = [
        lambda socket: socket.close(protocol.TRY_AGAIN_LATER, "The client fell behind."),
        lambda socket: socket.ws_connection.stream.close(),  # no closing handshake at all
    ]
    for drop in drops:
        await page.until(lambda d: "Live" in d.find_element(By.ID, "connection").text)
        (socket,) = registry.sockets(kernel_id)
        drop(socket)
        # What changes while the page is away reaches it with the snapshot it asks for.
        dag_info = [*dag_info, component(f"c{len(dag_info)}", ["a"])]
        assert (await server.post(kernel_id, updated(dag_info)))[0] == 200
        await page.drawing(len(dag_info))
        await page.until(lambda d: "Live again" in d.find_element(By.ID, "connection").text)
    said = await page.script("return said")
    assert sum(text.startswith("Connection lost") and "Reconnecting" in text for text in said) == 2
    assert any("The client fell behind." in text for text in said)
