"""The README's pictures of the view page: a public notebook's pipeline at Fit.

    make screenshots NOTEBOOK=path/to/02.06-Boolean-Arrays-and-Masks.ipynb
    .venv/bin/python bench/screenshots.py NOTEBOOK docs/view.png docs/view-focus.png

Starts a Jupyter Server with the extension (bench/served.py) in a folder holding a copy of the
notebook, opens a session of it on a new kernel, and posts the notebook's pipeline as
``zelvo from-notebook`` derives it (each cell's position and execution count included), as a
run of all its cells would leave it: every cell ran in order, those the notebook saved with an
error failed with it, then the cell with the most descendants was run again, so that they are
out of date. In a 1400 x 900 window the view page, as it opens (fitted), with
the failed cell selected, is the first PNG; the page focused on a cell with a search is the
second.
"""

import argparse
import datetime
import json
import re
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
    """The notebook's components as a run of all its cells, then a rerun of one, leave them:
    the cells saved with an error failed with it, and the cell with the most descendants ran
    again at the end, so that they are out of date."""
    derived = subprocess.run(
        [str(Path(sys.executable).with_name("zelvo")), "from-notebook", str(notebook)],
        capture_output=True,
        text=True,
        check=True,
    )
    dag_info = json.loads(derived.stdout)["dag_info"]
    cells = json.loads(notebook.read_text())["cells"]
    by_id = {component["id"]: component for component in dag_info}
    children = {}
    for step, component in enumerate(dag_info):
        component["last_execution"] = (START + datetime.timedelta(seconds=7 * step)).isoformat()
        for parent in component["parents_id"]:
            children.setdefault(parent, []).append(component["id"])
        saved = cells[component["position"] - 1].get("outputs", [])
        error = next((out for out in saved if out.get("output_type") == "error"), None)
        if error is not None:
            # The handbook saved the error without its traceback: the kernel's last lines.
            line = component["code"].strip().splitlines()[-1]
            component["execution_status"] = "failed"
            component["error"] = {
                "ename": error["ename"],
                "evalue": error["evalue"],
                "traceback": [
                    f"Cell In[{component.get('execution_count', 1)}], line 1",
                    f"----> 1 {line}",
                    f"{error['ename']}: {error['evalue']}",
                ],
            }

    def descendants(ident):
        found, stack = set(), [ident]
        while stack:
            for child in children.get(stack.pop(), []):
                if child not in found:
                    found.add(child)
                    stack.append(child)
        return found

    rerun = max(dag_info, key=lambda c: len(descendants(c["id"])))
    again = START + datetime.timedelta(minutes=20)
    rerun["last_execution"] = again.isoformat()
    defined = set(re.findall(r"^(\w+)\s*=", rerun["code"], re.M))
    for ident in descendants(rerun["id"]):
        component = by_id[ident]
        if component["execution_status"] == "succeeded":
            component["execution_status"] = "invalid"
            reads = set(re.findall(r"\w+", component["code"])) & defined
            component["outdated_by"] = {
                "id": rerun["id"],
                "last_execution": again.isoformat(),
                "names": sorted(reads) if rerun["id"] in component["parents_id"] else [],
            }
    failed = next(c["id"] for c in dag_info if c["execution_status"] == "failed")
    # The second picture's focus: a cell with a family of about ten.
    parents = {c["id"]: c["parents_id"] for c in dag_info}

    def family(ident):
        found, stack = set(), [ident]
        while stack:
            for parent in parents[stack.pop()]:
                if parent not in found:
                    found.add(parent)
                    stack.append(parent)
        return len(found | descendants(ident))

    focus = min(dag_info, key=lambda c: abs(family(c["id"]) - 10))["id"]
    return dag_info, failed, focus


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
    dag_info, failed, focus = pipeline_of(args.notebook)
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
                view(server, driver, kernel_id, f"&focus={focus}&find=np.sum")
                driver.save_screenshot(args.focused)
                print(f"saved {args.focused}")
            finally:
                driver.quit()


if __name__ == "__main__":
    main()
