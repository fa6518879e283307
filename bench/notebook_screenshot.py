"""The README's picture of the notebook extension: the example run in real JupyterLab.

    make screenshots
    .venv/bin/python bench/notebook_screenshot.py docs/notebook.png

Starts JupyterLab with the extension on a free loopback port (the front-end scenario's
harness, tests/server/test_front_ends.py), opens examples/analysis.ipynb in headless Chromium,
runs all its cells, edits the first cell and runs it alone, and makes the third fail, so that
the cells after the first are marked. Then, in a 1400 x 900 window, JupyterLab with the marks,
the status bar's count and the pipeline panel open is saved as the PNG.
"""

import argparse
import json
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
from test_front_ends import DEADLINE, EXAMPLE, OPEN, Notebook, pipeline  # noqa: E402

WIDTH, HEIGHT = 1400, 900
# The cell made to fail, and how.
FAILING, FAILURE = "report", 'print(f"{start} -> {final:.2f} in {currency}")'


def browser():
    options = webdriver.ChromeOptions()
    options.binary_location = shutil.which("chromium") or shutil.which("chromium-browser")
    for argument in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage"):
        options.add_argument(argument)
    options.add_argument(f"--window-size={WIDTH},{HEIGHT}")
    driver = webdriver.Chrome(
        options=options, service=webdriver.ChromeService(shutil.which("chromedriver"))
    )
    driver.set_script_timeout(DEADLINE)
    driver.execute_cdp_cmd(
        "Emulation.setDeviceMetricsOverride",
        {"width": WIDTH, "height": HEIGHT, "deviceScaleFactor": 1, "mobile": False},
    )
    return driver


def until(check, what):
    deadline = time.monotonic() + DEADLINE
    while time.monotonic() < deadline:
        try:
            if check():
                return
        except OSError:  # not registered yet
            pass
        time.sleep(0.2)
    raise SystemExit(f"notebook_screenshot: {what}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("png", help="the PNG of JupyterLab with the marks and the panel")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as workdir:
        folder = Path(workdir)
        (folder / EXAMPLE.name).write_bytes(EXAMPLE.read_bytes())
        served = Served(folder, "server", front_end="lab").wait()
        # No news prompt over the picture.
        news = folder / "server" / "lab" / "settings" / "@jupyterlab" / "apputils-extension"
        news.mkdir(parents=True, exist_ok=True)
        (news / "notification.jupyterlab-settings").write_text(json.dumps({"fetchNews": "false"}))
        driver = browser()
        try:
            driver.get(f"{served.url}/{OPEN['lab'].format(EXAMPLE.name)}?token={served.token}")
            notebook = Notebook(driver, EXAMPLE.name)
            kernel_id = notebook.ready()

            def statuses():
                return {i: c["execution_status"] for i, c in pipeline(served, kernel_id).items()}

            notebook.run_all()
            until(lambda: set(statuses().values()) == {"succeeded"}, "the run of all")
            notebook.edit(FAILING, FAILURE)
            notebook.run(FAILING)
            until(lambda: statuses()[FAILING] == "failed", "the failing cell")
            source = notebook.script("return panel.content.widgets[0].model.sharedModel.source;")
            notebook.edit("params", source.replace("rate = 0.05", "rate = 0.07"))
            notebook.run("params")
            until(lambda: statuses()["model"] == "invalid", "the rerun of the first cell")
            # The file browser folded away, the panel open, the first cell active.
            notebook.command("filebrowser:toggle-main")
            notebook.command("zelvo:open-pipeline-panel", 0)
            frame = driver.find_element(By.CSS_SELECTOR, "#zelvo-pipeline-panel iframe")
            driver.switch_to.frame(frame)
            WebDriverWait(driver, DEADLINE).until(
                lambda d: d.find_elements(By.CSS_SELECTOR, ".node[data-id='report']")
            )
            driver.switch_to.default_content()
            WebDriverWait(driver, DEADLINE).until(
                lambda d: len(d.find_elements(By.CSS_SELECTOR, ".zelvo-badge")) == 3
            )
            time.sleep(1)  # the drawing's transitions
            driver.save_screenshot(args.png)
            print(f"saved {args.png}")
        finally:
            driver.quit()
            served.stop()


if __name__ == "__main__":
    main()
