"""Runs every benchmark on this interpreter and writes bench/results/<major.minor>.json.

    python bench/run.py [--processes N] [--quick]

Each part runs in processes of its own, so that one part's memory and caches do not
colour the next. Micro paths run in several processes; the figures kept are each side's
minimum over them.
"""

import argparse
import json
import os
import platform
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
RESULTS = HERE / "results"


def part(script, *args):
    started = time.perf_counter()
    output = subprocess.run(
        [sys.executable, str(HERE / script), *args],
        capture_output=True,
        text=True,
    )
    if output.returncode:
        sys.stderr.write(output.stderr)
        raise SystemExit(f"{script} {' '.join(args)} failed")
    print(f"  {script} {' '.join(args)}: {time.perf_counter() - started:.0f} s", flush=True)
    return json.loads(output.stdout)


def cpu_model():
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown"


def merge_micro(runs):
    """Per path and side: the minimum over processes of each process's best time (load from
    other processes only ever adds time), and the ratios of those minima."""
    merged = {}
    for key in runs[0]:
        if key.startswith("_"):
            continue
        sides = runs[0][key]["best"].keys()
        best = {side: min(run[key]["best"][side] for run in runs) for side in sides}
        merged[key] = {
            "title": runs[0][key]["title"],
            "time": best,
            "ratio": {side: best[side] / best["native"] for side in sides if side != "native"},
            # The lowest and highest per-process ratio: how far one process may be off.
            "spread": {
                side: [
                    min(run[key]["best"][side] / run[key]["best"]["native"] for run in runs),
                    max(run[key]["best"][side] / run[key]["best"]["native"] for run in runs),
                ]
                for side in sides
                if side != "native"
            },
        }
    loop = min(run["_loop"] for run in runs)
    interpreter = {
        key: {side: min(run["_interpreter"][key][side] for run in runs) for side in figures}
        for key, figures in runs[0]["_interpreter"].items()
    }
    return merged, loop, interpreter


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--processes", type=int, default=3)
    parser.add_argument("--quick", action="store_true", help="a short try-out run")
    args = parser.parse_args()
    version = "{}.{}".format(*sys.version_info[:2])
    print(f"Benchmarks on CPython {platform.python_version()} ({sys.executable})", flush=True)
    started = time.perf_counter()

    part("micro.py", "check")
    micro_args = ["--rounds", "5"] if args.quick else []
    runs = [part("micro.py", "times", *micro_args) for _ in range(args.processes)]
    micro, loop, interpreter = merge_micro(runs)
    memory = part(
        "micro.py", "memory", *(["--calls", "10000", "--scale", "0.05"] if args.quick else [])
    )
    scaling = part("scaling.py", *(["--quick"] if args.quick else []))
    sizes = ["--kernels", "50", "--components", "100"] if args.quick else []
    registry = {side: part("memory.py", side, *sizes) for side in ("native", "plain")}
    server = part("server.py", *(["--rounds", "2", "--pairs", "100"] if args.quick else []))

    results = {
        "python": platform.python_version(),
        "implementation": platform.python_implementation(),
        "cpu": cpu_model(),
        "cores": os.cpu_count(),
        "platform": platform.platform(),
        "date": time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime()),
        "quick": args.quick,
        "processes": args.processes,
        "micro": micro,
        "loop": loop,
        "interpreter": interpreter,
        "allocations": memory["allocations"],
        "growth": memory["growth"],
        "scaling": scaling,
        "registry": registry,
        "server": server,
        "seconds": time.perf_counter() - started,
    }
    RESULTS.mkdir(exist_ok=True)
    target = RESULTS / f"{version}.json"
    temporary = target.with_suffix(".json.tmp")
    temporary.write_text(json.dumps(results, indent=1) + "\n")
    temporary.replace(target)
    print(f"  wrote {target.relative_to(HERE.parent)} in {results['seconds']:.0f} s", flush=True)


if __name__ == "__main__":
    main()
