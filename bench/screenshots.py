"""The README's pictures of the view page: the example notebook run in real JupyterLab.

    make screenshots
    .venv/bin/python bench/screenshots.py docs/view.png docs/view-focus.png

Starts JupyterLab with the extension on a free loopback port (the front-end scenario's
harness, tests/server/test_front_ends.py), opens examples/analysis.ipynb in headless Chromium,
runs all its cells through JupyterLab's own commands, adds a cell at the end that reads only
the parameters and runs it, then edits the first cell and runs it alone, so the cells that
depend on it are out of date. No POST: the pipeline is the one the
server built from the runs. Then, in a 1400 x 900 window, the kernel's view page with one
component selected is saved as the first PNG, and the page focused on one component with a
search as the second.
"""

import argparse
import shutil
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path[:0] = [str(ROOT / "tests"), str(ROOT / "tests" / "server")]

from conftest import Served  # noqa: E402
from selenium import webdriver  # noqa: E402
from selenium.webdriver.common.by import By  # noqa: E402
from selenium.webdriver.support.ui import WebDriverWait  # noqa: E402
from test_front_ends import DEADLINE, EXAMPLE, OPEN, Notebook, drawn, pipeline  # noqa: E402

# What the pictures show: the component selected in the first, and the focus and search of
# the second.
SELECTED = "model"
FOCUS, FIND = "report", "rate"
# The cell added at the end: a second branch from the parameters, outside the focus.
ADDED = 'print(f"{rate:.0%} a year for {years} years")'


def browser():
    options = webdriver.ChromeOptions()
    options.binary_location = shutil.which("chromium") or shutil.which("chromium-browser")
    for argument in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage"):
        options.add_argument(argument)
    options.add_argument("--window-size=1400,900")
    driver = webdriver.Chrome(
        options=options, service=webdriver.ChromeService(shutil.which("chromedriver"))
    )
    driver.set_script_timeout(DEADLINE)
    return driver


def viewport(driver):
    # The page's own area, whatever the browser's frame takes.
    driver.execute_cdp_cmd(
        "Emulation.setDeviceMetricsOverride",
        {"width": 1400, "height": 900, "deviceScaleFactor": 1, "mobile": False},
    )


def until(check, what):
    deadline = time.monotonic() + DEADLINE
    while time.monotonic() < deadline:
        try:
            if check():
                return
        except OSError:  # not registered yet
            pass
        time.sleep(0.2)
    raise SystemExit(f"screenshots: {what}")


def run_example(served, driver):
    """The example run in JupyterLab: all cells, a cell added and run, then the first edited
    and run alone; the kernel's id and the statuses, once its pipeline shows them."""
    driver.get(f"{served.url}/{OPEN['lab'].format(EXAMPLE.name)}?token={served.token}")
    notebook = Notebook(driver, EXAMPLE.name)
    kernel_id = notebook.ready()
    cells = ("params", "model", "run", "report")

    def statuses():
        return {i: c["execution_status"] for i, c in pipeline(served, kernel_id).items()}

    ran = notebook.run_all()
    assert not isinstance(ran, str), ran
    until(lambda: statuses() == dict.fromkeys(cells, "succeeded"), "the run of all never showed")
    last = notebook.script("return panel.content.widgets.length;") - 1
    notebook.command("notebook:insert-cell-below", last)
    added = notebook.script("return panel.content.activeCell.model.id;")
    notebook.edit(added, ADDED)
    ran = notebook.run(added)
    assert not isinstance(ran, str), ran
    cells += (added,)
    until(lambda: statuses() == dict.fromkeys(cells, "succeeded"), "the added cell never showed")
    source = "".join(notebook.script("return panel.content.widgets[0].model.sharedModel.source;"))
    notebook.edit("params", source.replace("rate = 0.05", "rate = 0.07"))
    ran = notebook.run("params")
    assert not isinstance(ran, str), ran
    out_of_date = dict(dict.fromkeys(cells, "invalid"), params="succeeded")
    until(lambda: statuses() == out_of_date, "the rerun never showed")
    return kernel_id, out_of_date


def view(served, driver, kernel_id, expected, query=""):
    driver.get(f"{served.url}/zelvo/kernels/{kernel_id}/view?token={served.token}{query}")
    WebDriverWait(driver, DEADLINE).until(lambda d: set(drawn(d)) <= set(expected) and drawn(d))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("overview", help="the PNG of the page with one component selected")
    parser.add_argument("focused", help="the PNG of the page focused, with a search")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as workdir:
        folder = Path(workdir)
        (folder / EXAMPLE.name).write_bytes(EXAMPLE.read_bytes())
        served = Served(folder, "server", front_end="lab").wait()
        driver = browser()
        try:
            kernel_id, expected = run_example(served, driver)
            driver.switch_to.new_window("window")
            viewport(driver)
            view(served, driver, kernel_id, expected)
            node = driver.find_element(By.CSS_SELECTOR, f'.node[data-id="{SELECTED}"]')
            node.click()
            time.sleep(0.5)  # the selection's transition
            driver.save_screenshot(args.overview)
            print(f"saved {args.overview}")
            view(served, driver, kernel_id, expected, f"&focus={FOCUS}&find={FIND}")
            time.sleep(0.5)
            driver.save_screenshot(args.focused)
            print(f"saved {args.focused}")
        finally:
            driver.quit()
            served.stop()


if __name__ == "__main__":
    main()
