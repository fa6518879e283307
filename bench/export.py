"""Export of a large pipeline in each format: the handler's work and the full round trip.

    python bench/export.py [--components N] [--rounds R] [--write]

Run with the interpreter of an environment where zelvo is installed (`.venv/bin/python`).
The pipeline (N components, 10,000 by default) is posted children first, so that the
script and the notebook must be reordered, and each component has one or two parents.

- *work*: in this process, what the export handler does for a GET after the route: the
  native `_get_pipeline` for the whole pipeline as JSON; for a selection, the script and
  the notebook, selecting, ordering and rendering from the registered model (`render` of
  `zelvo_core.export`); then the encoding of the download.
- *round trip*: a GET of `zelvo/kernels/<id>/export` from a real Jupyter Server with the
  extension and a running kernel, on loopback, until the last byte is read.

Figures are the median and the minimum over R rounds (21 by default), the formats taking
turns in each round. --write puts the table into bench/RESULTS.md, replacing the section
of a previous run.
"""

import argparse
import os
import statistics
import sys
import tempfile
import time
import urllib.parse

import sections
from served import Server

SECTION = "## Export of a large pipeline"
TARGET = 0.1  # seconds
STATUSES = ["succeeded", "failed", "invalid", "running", "not-run"]


def pipeline(size):
    """``dag_info`` of ``size`` components, children first."""
    components = []
    for n in range(size):
        parents = [] if n == 0 else sorted({f"c{n - 1:05d}", f"c{n // 2:05d}"})
        components.append(
            {
                "id": f"c{n:05d}",
                "component_type": "parameter" if n % 100 == 0 else "code",
                "parents_id": parents,
                "code": f"v{n} = {' + '.join(f'v{p[1:]}' for p in parents) or '1'}\n"
                f"print('component {n}', v{n})",
                "execution_status": STATUSES[n % len(STATUSES)],
                "last_execution": None if n % 3 else "2026-12-08T10:00:00Z",
            }
        )
    components.reverse()
    return components


def cases(dag_info):
    leaf = dag_info[len(dag_info) // 2]["id"]
    return [
        ("json", {"format": "json"}),
        ("py", {"format": "py"}),
        ("ipynb", {"format": "ipynb"}),
        ("json, cell_ids of a middle component", {"format": "json", "cell_ids": leaf}),
        ("ipynb, cell_ids of a middle component", {"format": "ipynb", "cell_ids": leaf}),
    ]


def summary(times):
    return {"median": statistics.median(times), "min": min(times), "runs": len(times)}


def measure_work(dag_info, rounds):
    os.environ.setdefault("JUPYTER_PLATFORM_DIRS", "1")
    from zelvo.server.handlers import flowsync
    from zelvo.server.handlers.pipeline_export import pipeport
    from zelvo_core import export as export_module
    from zelvo_core.misc.models import ZelvoPipelineModel

    kernel_id = "bench-export"
    model = ZelvoPipelineModel(dag_info=dag_info)
    model.identifier = kernel_id
    flowsync.dag_cabinet[kernel_id] = model
    handler = object.__new__(pipeport.ZelvoPipelineExportHandler)

    def export(query):
        # The handler's path: the whole pipeline as JSON is _get_pipeline's document, the
        # rest is rendered from the registered model.
        cell_ids = [query["cell_ids"]] if "cell_ids" in query else []
        if query["format"] == "json" and not cell_ids:
            text, kind = handler._get_pipeline(kernel_id, cell_ids, "analysis.ipynb")
            assert kind == "json"
        else:
            text = export_module.render(flowsync.dag_cabinet[kernel_id], query["format"], cell_ids)
        return text.encode("utf-8", "backslashreplace")

    times = {name: [] for name, _ in cases(dag_info)}
    cpu = {name: [] for name, _ in cases(dag_info)}
    for _ in range(rounds):
        for name, query in cases(dag_info):
            start, start_cpu = time.perf_counter(), time.process_time()
            export(query)
            times[name].append(time.perf_counter() - start)
            cpu[name].append(time.process_time() - start_cpu)
    del flowsync.dag_cabinet[kernel_id]
    return {name: {**summary(times[name]), "cpu": statistics.median(cpu[name])} for name in times}


def measure_round_trip(dag_info, rounds):
    with tempfile.TemporaryDirectory() as workdir, Server(workdir) as server:
        kernel_id = server.request("POST", "api/kernels", {"name": "python3"})["id"]
        server.post_pipeline(kernel_id, dag_info)
        times = {name: [] for name, _ in cases(dag_info)}
        sizes = {}
        for _ in range(rounds):
            for name, query in cases(dag_info):
                path = f"zelvo/kernels/{kernel_id}/export?{urllib.parse.urlencode(query)}"
                start = time.perf_counter()
                sizes[name] = len(server.fetch("GET", path))
                times[name].append(time.perf_counter() - start)
        server.request("DELETE", f"api/kernels/{kernel_id}")
    return {name: {**summary(values), "bytes": sizes[name]} for name, values in times.items()}


def table(results):
    rows = [
        "| Export | Size | Work, median (min) | Work, processor time | Round trip, median (min) |",
        "|---|---|---|---|---|",
    ]
    for name, trip in results["round_trip"].items():
        work = results["work"][name]
        rows.append(
            f"| {name} | {trip['bytes'] / 1e6:.1f} MB "
            f"| {work['median'] * 1e3:.0f} ms ({work['min'] * 1e3:.0f} ms) "
            f"| {work['cpu'] * 1e3:.0f} ms "
            f"| {trip['median'] * 1e3:.0f} ms ({trip['min'] * 1e3:.0f} ms) |"
        )
    return rows


def section(results):
    version = ".".join(map(str, sys.version_info[:3]))
    name, trip = max(results["round_trip"].items(), key=lambda item: item[1]["median"])
    slowest = trip["median"]
    return "\n".join(
        [
            SECTION,
            "",
            f"Written by `python bench/export.py --write` (CPython {version}, "
            f"{results['measured']}, load average {results['load']:.1f} on "
            f"{os.cpu_count()} cores): {results['components']:,} components posted children "
            f"first, each with one or two parents; median and minimum of {results['rounds']} "
            "rounds. *Work*: the export handler's part in process (`_get_pipeline`, or "
            "selecting, ordering and rendering from the model), wall-clock and the median "
            "processor time of this process, which load from other processes inflates less; "
            "*round trip*: a GET from a real "
            "server on loopback until the last byte.",
            "",
            *table(results),
            "",
            f"Target: an export of {results['components']:,} components in under "
            f"{TARGET * 1e3:.0f} ms in each "
            f"format. Slowest median round trip: {slowest * 1e3:.0f} ms ({name}).",
            "",
        ]
    )


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--components", type=int, default=10_000)
    parser.add_argument("--rounds", type=int, default=21)
    parser.add_argument("--write", action="store_true", help="update bench/RESULTS.md")
    options = parser.parse_args()
    dag_info = pipeline(options.components)
    results = {
        "components": options.components,
        "rounds": options.rounds,
        "measured": time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime()),
        "load": os.getloadavg()[0],
        "work": measure_work(dag_info, options.rounds),
        "round_trip": measure_round_trip(dag_info, options.rounds),
    }
    print("\n".join(table(results)))
    if options.write:
        sections.replace(SECTION, section(results))


if __name__ == "__main__":
    main()
