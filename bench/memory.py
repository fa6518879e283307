"""Memory of a full registry: 1,000 kernels with 1,000 components each, registered through
one side's post, in a process of its own.

    python bench/memory.py native|plain [--kernels N] [--components N]   -> JSON on stdout

Reports the interpreter's allocated blocks that the registry holds (after the request
bodies are gone) and the process's peak resident set size.
"""

import argparse
import gc
import json
import resource
import sys

import fakes
from fakes import kernel_id


def body(kernel_number, count):
    """A kernel's own pipeline: its texts differ from every other kernel's, as they would."""
    components = fakes.dag_info(count, seed=kernel_number)
    for item in components:
        item["id"] = f"k{kernel_number}-{item['id']}"
        item["parents_id"] = [f"k{kernel_number}-{parent}" for parent in item["parents_id"]]
        item["code"] = f"{item['id'].replace('-', '_')} = {kernel_number}"
    return {
        "procedure": "pipeline:updated",
        "status": "successful",
        "msg": "",
        "successful": {"dag_info": components},
    }


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("side", choices=fakes.SIDES)
    parser.add_argument("--kernels", type=int, default=1000)
    parser.add_argument("--components", type=int, default=1000)
    args = parser.parse_args()

    kernels = [kernel_id(number) for number in range(args.kernels)]
    fakes.install()
    handler = fakes.HANDLER_CLASSES[args.side](kernels=kernels)
    gc.collect()
    before = sys.getallocatedblocks()
    rss_before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    for number, kernel in enumerate(kernels):
        handler.bodies = [body(number, args.components)]
        handler.post(kernel)
    handler.bodies = [None]
    gc.collect()
    held = sys.getallocatedblocks() - before
    registered = sum(len(model.graph.components) for model in fakes.dag_cabinet.values())
    print(
        json.dumps(
            {
                "side": args.side,
                "kernels": len(fakes.dag_cabinet),
                "components": registered,
                "blocks": held,
                "blocks_per_component": held / max(registered, 1),
                "peak_rss_kib": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss,
                "rss_before_kib": rss_before,
            }
        )
    )


if __name__ == "__main__":
    main()
