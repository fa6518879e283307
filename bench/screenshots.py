"""The README's pictures of the view page: a public notebook's pipeline at Fit.

    make screenshots NOTEBOOK=path/to/02.06-Boolean-Arrays-and-Masks.ipynb
    .venv/bin/python bench/screenshots.py NOTEBOOK docs/view.png docs/view-focus.png

Starts a Jupyter Server with the extension (bench/served.py) in a folder holding a copy of the
notebook, opens a session of it on a new kernel, and posts the notebook's pipeline as
``zelvo from-notebook`` derives it (each cell's position and execution count included), as a
run of all its cells would leave it: every cell ran in order, the one that reads a data file
that is not there failed with its error, then the cell with the most descendants was run again,
so that they are out of date. In a 1400 x 900 window the view page, as it opens (fitted), with
the failed cell selected, is the first PNG; the page focused on a cell with a search is the
second.
"""

import argparse
import datetime
import json
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from selenium import webdriver
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import WebDriverWait
from served import Server

DEADLINE = 60
START = datetime.datetime(2026, 12, 9, 14, 2, 11, tzinfo=datetime.timezone.utc)


def browser():
    options = webdriver.ChromeOptions()
    options.binary_location = shutil.which("chromium") or shutil.which("chromium-browser")
    for argument in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage"):
        options.add_argument(argument)
    options.add_argument("--window-size=1400,900")
    driver = webdriver.Chrome(
        options=options, service=webdriver.ChromeService(shutil.which("chromedriver"))
    )
    # The page's own area, whatever the browser's frame takes.
    driver.execute_cdp_cmd(
        "Emulation.setDeviceMetricsOverride",
        {"width": 1400, "height": 900, "deviceScaleFactor": 1, "mobile": False},
    )
    return driver


def pipeline_of(notebook):
    """The notebook's components, as a run of all its cells and one rerun leave them."""
    derived = subprocess.run(
        [str(Path(sys.executable).with_name("zelvo")), "from-notebook", str(notebook)],
        capture_output=True,
        text=True,
        check=True,
    )
    dag_info = json.loads(derived.stdout)["dag_info"]
    ran = {}
    for step, component in enumerate(dag_info):
        ran[component["id"]] = START + datetime.timedelta(seconds=7 * step)
        component["last_execution"] = ran[component["id"]].isoformat()
    children = {}
    for component in dag_info:
        for parent in component["parents_id"]:
            children.setdefault(parent, []).append(component["id"])

    def descendants(ident):
        found, stack = set(), [ident]
        while stack:
            for child in children.get(stack.pop(), []):
                if child not in found:
                    found.add(child)
                    stack.append(child)
        return found

    # The first cell that reads a data set failed: the handbook's data is not in the folder.
    failed = next(c for c in dag_info if "data." in c["code"] or "read_csv" in c["code"])
    failed["execution_status"] = "failed"
    failed["error"] = {
        "ename": "ModuleNotFoundError",
        "evalue": "No module named 'vega_datasets'",
        "traceback": [
            "---------------------------------------------------------------------------",
            "ModuleNotFoundError                       Traceback (most recent call last)",
            "Cell In[1], line 2",
            "      1 import numpy as np",
            "----> 2 from vega_datasets import data",
            "ModuleNotFoundError: No module named 'vega_datasets'",
        ],
    }
    for ident in descendants(failed["id"]):
        component = next(c for c in dag_info if c["id"] == ident)
        component["execution_status"] = "not-run"
        component["last_execution"] = None
    # The cell with the most descendants that ran, run again later: they are out of date.
    rerun = max(
        (c for c in dag_info if c["execution_status"] == "succeeded"),
        key=lambda c: len(descendants(c["id"])),
    )
    again = START + datetime.timedelta(minutes=20)
    rerun["last_execution"] = again.isoformat()
    for ident in descendants(rerun["id"]):
        component = next(c for c in dag_info if c["id"] == ident)
        if component["execution_status"] == "succeeded":
            component["execution_status"] = "invalid"
            component["outdated_by"] = {
                "id": rerun["id"],
                "last_execution": again.isoformat(),
                "names": [],
            }
    return dag_info, failed["id"], rerun["id"]


def view(server, driver, kernel_id, query=""):
    driver.get(server.url(f"zelvo/kernels/{kernel_id}/view?token={server.token}{query}"))
    WebDriverWait(driver, DEADLINE).until(
        lambda d: d.execute_script("return Number(document.body.dataset.updates || 0) > 0")
    )
    time.sleep(0.5)  # the fitted view's frame


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("notebook", type=Path, help="the notebook (.ipynb) to show")
    parser.add_argument("overview", help="the PNG of the page at Fit, the failed cell selected")
    parser.add_argument("focused", help="the PNG of the page focused on a cell, with a search")
    args = parser.parse_args()
    dag_info, failed, rerun = pipeline_of(args.notebook)
    with tempfile.TemporaryDirectory() as workdir:
        shutil.copy(args.notebook, Path(workdir, args.notebook.name))
        with Server(workdir) as server:
            session = server.request(
                "POST",
                "api/sessions",
                {"path": args.notebook.name, "type": "notebook", "kernel": {"name": "python3"}},
            )
            kernel_id = session["kernel"]["id"]
            server.post_pipeline(kernel_id, dag_info)
            driver = browser()
            try:
                view(server, driver, kernel_id)
                driver.find_element(By.CSS_SELECTOR, f'.node[data-id="{failed}"]').click()
                time.sleep(0.5)  # the selection's transition
                driver.save_screenshot(args.overview)
                print(f"saved {args.overview}")
                view(server, driver, kernel_id, f"&focus={rerun}&find=mask")
                driver.save_screenshot(args.focused)
                print(f"saved {args.focused}")
            finally:
                driver.quit()


if __name__ == "__main__":
    main()
