"""The pipeline pages in headless Chromium, against the real server under a non-root base_url."""

import asyncio
import functools
import os
import shutil

import pytest

webdriver = pytest.importorskip("selenium.webdriver")
from selenium.webdriver.common.by import By  # noqa: E402
from selenium.webdriver.support.ui import WebDriverWait  # noqa: E402

CHROMIUM = shutil.which("chromium") or shutil.which("chromium-browser")
CHROMEDRIVER = shutil.which("chromedriver")
pytestmark = pytest.mark.skipif(
    not (CHROMIUM and CHROMEDRIVER),
    reason="needs chromium and chromedriver (.ci/run installs them)",
)
from zelvo_core.misc.models import EXECUTION_STATUSES  # noqa: E402

HOSTILE = '<img src=x onerror="document.title=1">'
# The status of a component that has not run, where the model knows it.
NOT_RUN = ("not-run", "not run") if "not-run" in EXECUTION_STATUSES else ("invalid", "invalid")


@pytest.fixture()
def browser():
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for argument in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage"):
        options.add_argument(argument)
    options.add_argument("--window-size=1200,900")
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    # The browser is not under test: a sanitizer runtime preloaded into the suite stays out.
    env = {key: value for key, value in os.environ.items() if key != "LD_PRELOAD"}
    service = webdriver.ChromeService(CHROMEDRIVER, env=env)
    driver = webdriver.Chrome(options=options, service=service)
    yield driver
    driver.quit()


class Page:
    """Blocking driver calls run in a thread: the server shares the test's event loop."""

    def __init__(self, driver, origin):
        self.driver, self.origin = driver, origin

    async def run(self, function, *args):
        call = functools.partial(function, *args)
        return await asyncio.get_running_loop().run_in_executor(None, call)

    async def open(self, path):
        await self.run(self.driver.get, self.origin + path)

    async def until(self, condition):
        """Wait (in the thread) until ``condition(driver)`` is truthy; return its value."""
        return await self.run(WebDriverWait(self.driver, 10).until, condition)

    async def text(self, element_id):
        return await self.run(lambda: self.driver.find_element(By.ID, element_id).text)

    async def nodes(self):
        """(id, status word, whether marked as changed) of every drawn component."""
        script = """return Array.from(document.querySelectorAll('.node'), (n) => [
            n.dataset.id, n.querySelector('.meta').textContent, n.classList.contains('changed')
        ])"""
        return await self.run(self.driver.execute_script, script)


@pytest.fixture()
def page(browser, jp_http_port, jp_base_url):
    return Page(browser, f"http://127.0.0.1:{jp_http_port}{jp_base_url}")


async def test_live_page(page, server, component, updated, jp_serverapp):
    token = jp_serverapp.identity_provider.token
    kernel_id = await server.start_kernel()
    # The token in the URL logs the browser in, as for the server's own pages.
    await page.open(f"zelvo/kernels/{kernel_id}/view?token={token}")
    await page.until(lambda d: d.find_element(By.ID, "notice").text.startswith("No pipeline"))

    a = component("a", component_type="parameter")
    b = component("b", ["a"], execution_status="failed", last_execution=None)
    hostile = component(HOSTILE, ["a"], code=HOSTILE, execution_status="running")
    assert (await server.post(kernel_id, updated([a, b, hostile])))[0] == 200
    await page.until(lambda d: len(d.find_elements(By.CSS_SELECTOR, ".node")) == 3)
    await page.run(page.driver.execute_script, "window.notReloaded = true")
    # Drawn in layer order, each marked for a moment as added after the page opened.
    assert await page.nodes() == [
        ["a", "parameter · succeeded", True],
        ["b", "code · failed", True],
        [HOSTILE, "code · running", True],
    ]
    # Pipeline text is shown as text: no element was made from it.
    assert await page.run(page.driver.find_elements, By.CSS_SELECTOR, "img") == []

    c = component("c", ["b", HOSTILE], execution_status=NOT_RUN[0], last_execution=None)
    assert (await server.post(kernel_id, updated([a, b, hostile, c])))[0] == 200
    await page.until(lambda d: len(d.find_elements(By.CSS_SELECTOR, ".node")) == 4)
    assert (await page.nodes())[3] == ["c", f"code · {NOT_RUN[1]}", True]
    assert await page.run(page.driver.execute_script, "return window.notReloaded") is True
    # Layers: a on top, b and the hostile one below it, c below both.
    tops = await page.run(
        page.driver.execute_script,
        "return Array.from(document.querySelectorAll('.node'),"
        " (n) => n.transform.baseVal[0].matrix.f)",
    )
    assert tops[0] < tops[1] == tops[2] < tops[3]

    # Selecting a component by keyboard shows its code, as text.
    await page.run(
        lambda: page.driver.find_elements(By.CSS_SELECTOR, ".node")[2].send_keys("\ue007")
    )
    await page.until(lambda d: d.find_element(By.ID, "details-code").text == HOSTILE)
    assert await page.text("details-status") == "running"
    # A redraw keeps the keyboard focus, and says what changed in words.
    revised_b = dict(b, execution_status="succeeded")
    assert (await server.post(kernel_id, updated([a, revised_b, hostile, c])))[0] == 200
    await page.until(
        lambda d: "0 added, 1 revised, 0 deleted" in d.find_element(By.ID, "connection").text
    )
    assert (await page.nodes())[1] == ["b", "code · succeeded", True]
    focused = await page.run(
        page.driver.execute_script, "return document.activeElement.dataset.id"
    )
    assert focused == HOSTILE

    await page.open("zelvo/")
    link = await page.until(lambda d: d.find_element(By.LINK_TEXT, kernel_id))
    await page.run(link.click)
    await page.until(lambda d: len(d.find_elements(By.CSS_SELECTOR, ".node")) == 4)

    assert (await server.post(kernel_id, updated([])))[0] == 200
    await page.until(lambda d: "no components" in d.find_element(By.ID, "notice").text)
    await server.stop_kernel(kernel_id)
    await page.until(
        lambda d: f"Kernel {kernel_id} was shut down." in d.find_element(By.ID, "connection").text
    )

    logs = await page.run(page.driver.get_log, "browser")
    assert [entry for entry in logs if entry["level"] in ("SEVERE", "WARNING")] == []
