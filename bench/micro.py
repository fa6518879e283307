"""Micro paths: one method call per path, native against the two Python twins (and, for
_get_pipeline's constant path, against the builtin floor).

    python bench/micro.py times  [--rounds N] [--target SECONDS]   -> JSON on stdout
    python bench/micro.py memory [--calls N] [--scale F]            -> JSON on stdout

`times` measures every path on every side in one process: each round runs every side once
(in a shuffled order) for the same number of calls, and a side's figure is its minimum over
the rounds, so that load from other processes mostly drops out and hits every side alike.
The driver runs several such processes and keeps the minimum of each side over them.

`memory` counts the interpreter's allocations per call on the constant path and the growth
of allocated blocks over many calls of every path.
"""

import argparse
import gc
import json
import random
import sys
import timeit
from http import HTTPStatus

import _floor
import fakes
from fakes import SIDES, kernel_id

KERNEL = kernel_id(1)
OTHERS = [kernel_id(number) for number in (2, 3)]
NOTEBOOK = "analysis.ipynb"


class FloorHandler(_floor.Floor):
    """A handler class whose _get_pipeline is the floor's builtin method."""


class Path:
    """One measured path: a statement, the names it uses per side, and the shared state."""

    def __init__(self, key, title, stmt, names, state, calls=100_000, probe=None):
        self.key = key
        self.title = title
        self.stmt = stmt
        self.probe = probe or stmt  # what the agreement check runs: the error not caught
        self.names = names  # side -> {name: value}
        self.state = state  # installs the registry and websockets every side sees
        self.calls = calls  # calls of the leak check

    def timer(self, side):
        names = self.names[side]
        # Locals of the timing function, so that every side reads its names alike.
        setup = "; ".join(f"{name} = _names[{name!r}]" for name in names) or "pass"
        return timeit.Timer(self.stmt, setup=setup, globals={"_names": names})


def per_side(make, floor=None):
    names = {side: make(side) for side in SIDES}
    if floor is not None:
        names["floor"] = floor
    return names


def caught(stmt):
    # The plain twin makes no type tests: a wrongly typed kernel id fails at the registry
    # lookup instead (KeyError), so every error is caught alike.
    return f"try:\n    {stmt}\nexcept Exception:\n    pass"


def service_state():
    """A small server: three kernels with pipelines, four websockets (two of KERNEL)."""
    cabinet = {kernel: fakes.model(kernel, 10) for kernel in [KERNEL, *OTHERS]}
    sockets = [fakes.FakeSocket(kernel) for kernel in (KERNEL, OTHERS[0], KERNEL, OTHERS[1])]
    return lambda: fakes.install(cabinet, sockets)


def export_paths():
    empty = {KERNEL: fakes.model(KERNEL, 0)}
    small = {KERNEL: fakes.model(KERNEL, 10)}
    large = {KERNEL: fakes.model(KERNEL, 1000)}
    _floor.set_cabinet(fakes.dag_cabinet)

    def names(side):
        return {"h": fakes.export_handler(side), "k": KERNEL, "c": [], "n": NOTEBOOK}

    floor = {"h": FloorHandler(), "k": KERNEL, "c": [], "n": NOTEBOOK}
    positional = "h._get_pipeline(k, c, n)"
    keyword = "h._get_pipeline(kernel_id=k, cell_ids=c, ipynb_name=n)"
    return [
        Path(
            "pipeline_empty_pos",
            "_get_pipeline, no components, positional",
            positional,
            per_side(names, floor),
            lambda: fakes.install(empty),
        ),
        Path(
            "pipeline_empty_kw",
            "_get_pipeline, no components, keywords",
            keyword,
            per_side(names, floor),
            lambda: fakes.install(empty),
        ),
        Path(
            "pipeline_small",
            "_get_pipeline, 10 components",
            positional,
            per_side(names),
            lambda: fakes.install(small),
        ),
        Path(
            "pipeline_large",
            "_get_pipeline, 1,000 components",
            positional,
            per_side(names),
            lambda: fakes.install(large),
            # 10^5 calls would take three minutes; the code is the small path's.
            calls=2_000,
        ),
        Path(
            "pipeline_binding_error",
            "_get_pipeline, binding error (raise and catch)",
            caught("h._get_pipeline(k, c)"),
            per_side(names),
            lambda: fakes.install(empty),
            probe="h._get_pipeline(k, c)",
        ),
        Path(
            "pipeline_type_error",
            "_get_pipeline, type-test error (raise and catch)",
            caught("h._get_pipeline(None, c, n)"),
            per_side(names),
            lambda: fakes.install(empty),
            probe="h._get_pipeline(None, c, n)",
        ),
    ]


def service_paths():
    state = service_state()
    kernels = [KERNEL, *OTHERS]

    def with_handler(**kwargs):
        handlers = fakes.handlers(kernels=kernels, **kwargs)
        return lambda side: {"h": handlers[side], "k": KERNEL}

    missing = dict(fakes.updated_body(10))
    del missing["status"]
    other = {
        "procedure": "pipeline:executed",
        "status": "successful",
        "msg": "Ran c000009.",
        "successful": {"component_id": "c000009"},
    }
    changed = [fakes.updated_body(10, "succeeded"), fakes.updated_body(10, "failed")]
    unchanged = [fakes.updated_body(10)]

    def finish_names(side):
        handler = fakes.handlers(kernels=kernels)[side]
        return {"h": handler, "s": HTTPStatus.OK, "r": {"message": "Success."}}

    return [
        Path(
            "finish",
            "_finish_with_result",
            "h._finish_with_result(status_code=s, result=r)",
            per_side(finish_names),
            state,
        ),
        Path(
            "get_known",
            "get, registered kernel (10 components)",
            "h.get(k)",
            per_side(with_handler()),
            state,
        ),
        Path(
            "get_unknown",
            "get, unknown kernel (400)",
            "h.get(u)",
            per_side(lambda side: {**with_handler()(side), "u": kernel_id(99)}),
            state,
        ),
        Path(
            "post_missing",
            "post, missing key (400)",
            "h.post(k)",
            per_side(with_handler(bodies=[missing])),
            state,
        ),
        Path(
            "post_other",
            "post, another procedure (relay, clean-up)",
            "h.post(k)",
            per_side(with_handler(bodies=[other])),
            state,
        ),
        Path(
            "post_changed",
            'post, changed "pipeline:updated" (10 components)',
            "h.post(k)",
            per_side(with_handler(bodies=changed)),
            state,
        ),
        Path(
            "post_unchanged",
            'post, unchanged "pipeline:updated" (10 components)',
            "h.post(k)",
            per_side(with_handler(bodies=unchanged)),
            state,
        ),
    ]


def relayed_message():
    """The message post relays for a changed pipeline: the update of one component."""
    update = {
        "identifier": KERNEL,
        "updated_components": {
            "added": [],
            "revised": [fakes.component("c000009", ["c000008"], "failed")],
            "deleted": [],
        },
    }
    return {"procedure": "pipeline:updated", "status": "successful", "successful": update}


def transmit_path(connections):
    sockets = [fakes.FakeSocket(KERNEL) for _ in range(connections)]
    data = relayed_message()
    _floor.set_transmit(fakes.ZelvoWebSocketHandler, json.dumps)
    return Path(
        f"transmit_{connections}",
        f"transmit to {connections:,} connections",
        "D.transmit(k, d)",
        per_side(
            lambda side: {"D": fakes.dag_handler_class(side), "k": KERNEL, "d": data},
            floor={"D": FloorHandler, "k": KERNEL, "d": data},
        ),
        lambda: fakes.install(sockets=sockets),
    )


def cleanup_path(count):
    kernels = [kernel_id(1000 + number) for number in range(count)]
    cabinet = {kernel: fakes.model(kernel, 0) for kernel in kernels}
    handlers = fakes.handlers(kernels=kernels)
    return Path(
        f"cleanup_{count}",
        f"clean-up, {count:,} registered kernels",
        "h._remove_unused_kernels_on_cabinet()",
        per_side(lambda side: {"h": handlers[side]}),
        lambda: fakes.install(cabinet),
    )


def all_paths():
    return [
        *export_paths(),
        *service_paths(),
        transmit_path(0),
        transmit_path(10),
        transmit_path(1000),
        cleanup_path(0),
        cleanup_path(100),
        cleanup_path(1000),
    ]


# -- agreement -------------------------------------------------------------------------------


def outcome(path, side):
    """What one call of ``path`` on ``side`` did: its result or error, and the host calls."""
    calls = []
    names = dict(path.names[side])
    handler = names.get("h")
    patched = []
    if handler is not None and not isinstance(handler, FloorHandler):
        for name in ("set_header", "set_status", "finish"):
            if hasattr(handler, name):
                patched.append(name)
                setattr(handler, name, lambda *a, _n=name, **k: calls.append((_n, a, k)))
    sockets = list(fakes.ZelvoWebSocketHandler.registry)
    for socket in sockets:
        socket.write_message = lambda text, _s=socket: calls.append(("write", id(_s), text))
    try:
        code = compile(path.probe, path.key, "eval")
    except SyntaxError:
        code = compile(path.probe, path.key, "exec")
    try:
        result = eval(code, {}, names)
        error = None
    except BaseException as exc:  # noqa: BLE001 - compared, not handled
        result, error = None, (type(exc), str(exc))
    finally:
        for name in patched:
            delattr(handler, name)
        for socket in sockets:
            del socket.write_message
    registry = {key: len(value.graph.components) for key, value in fakes.dag_cabinet.items()}
    return result, error, calls, registry


def check_agreement(paths):
    """Every side of every path must do what the native side does. On the error paths the
    checking twin raises what the native side raises (the interpreter words its own binding
    errors differently), and the plain twin, which tests no types, fails in its own way."""
    for path in paths:
        reference = None
        for side in path.names:
            path.state()
            if hasattr(path.names[side].get("h"), "turn"):
                path.names[side]["h"].turn = 0
            seen = outcome(path, side)
            if reference is None:
                reference = seen
            elif path.key.endswith("_error"):
                if seen[1] is None or (side == "checking" and seen[1][0] is not reference[1][0]):
                    raise AssertionError(f"{path.key}: {side} gave {seen[:2]}")
            elif seen != reference:
                raise AssertionError(f"{path.key}: {side} differs:\n{seen}\n{reference}")


# -- timing ----------------------------------------------------------------------------------


def calibrate(timer, target):
    number = 1
    while True:
        elapsed = timer.timeit(number)
        if elapsed >= target / 4 or number >= 10**7:
            return max(1, int(number * target / max(elapsed, 1e-9)))
        number *= 4


def time_paths(paths, rounds, target):
    results = {}
    for path in paths:
        path.state()
        timers = {side: path.timer(side) for side in path.names}
        for timer in timers.values():
            timer.timeit(10)  # warm up: caches, specialisation
        number = calibrate(timers["native"], target)
        samples = {side: [] for side in timers}
        order = list(timers)
        for _ in range(rounds):
            random.shuffle(order)
            for side in order:
                samples[side].append(timers[side].timeit(number) / number)
        results[path.key] = {
            "title": path.title,
            "number": number,
            "best": {side: min(values) for side, values in samples.items()},
            "median": {side: sorted(values)[len(values) // 2] for side, values in samples.items()},
        }
    # The cost of the timing loop itself, for reference.
    empty = timeit.Timer("pass")
    results["_loop"] = min(empty.timeit(10**6) / 10**6 for _ in range(5))
    return results


def interpreter_costs(rounds, n=20_000):
    """What the interpreter charges native code against bytecode for the two operations that
    dominate the paths where the twins can win: calling a Python method and reading an
    instance attribute. Native: a C loop through the public API; bytecode: timeit, less the
    cost of its empty loop."""
    socket = fakes.FakeSocket(KERNEL)
    cases = {
        "call": (
            lambda: _floor.call_method_n(socket, "write_message", "text", n),
            timeit.Timer("s.write_message(t)", "s = _s; t = 'text'", globals={"_s": socket}),
        ),
        "getattr": (
            lambda: _floor.getattr_n(socket, "kernel_id", n),
            timeit.Timer("s.kernel_id", "s = _s", globals={"_s": socket}),
        ),
    }
    empty = timeit.Timer("pass")
    figures = {}
    for key, (native, bytecode) in cases.items():
        native_times, bytecode_times, loop_times = [], [], []
        native()
        bytecode.timeit(n)
        for _ in range(rounds):
            start = timeit.default_timer()
            native()
            native_times.append((timeit.default_timer() - start) / n)
            bytecode_times.append(bytecode.timeit(n) / n)
            loop_times.append(empty.timeit(n) / n)
        figures[key] = {
            "native": min(native_times),
            "bytecode": min(bytecode_times) - min(loop_times),
        }
    return figures


# -- memory ----------------------------------------------------------------------------------


def allocations_per_call(calls):
    """Allocations per call of the constant path, counted by the interpreter's allocators."""
    fakes.install({KERNEL: fakes.model(KERNEL, 0)})
    _floor.set_cabinet(fakes.dag_cabinet)
    figures = {}
    handlers = {side: fakes.export_handler(side) for side in SIDES}
    handlers["floor"] = FloorHandler()
    for side, handler in handlers.items():
        function = type(handler).__dict__.get("_get_pipeline") or type(handler)._get_pipeline
        for style, kwnames in (("pos", None), ("kw", ("kernel_id", "cell_ids", "ipynb_name"))):
            args = (handler, KERNEL, [], NOTEBOOK)
            _floor.count_allocations(function, args, kwnames, 1000)  # warm up
            counted = _floor.count_allocations(function, args, kwnames, calls)
            figures[f"{side}_{style}"] = counted / calls
    return figures


def block_growth(paths, scale):
    """Allocated blocks after the path's calls minus before them, native side."""
    figures = {}
    for path in paths:
        calls = max(100, int(path.calls * scale))
        path.state()
        timer = path.timer("native")
        timer.timeit(max(100, calls // 10))  # warm up
        gc.collect()
        before = sys.getallocatedblocks()
        timer.timeit(calls)
        gc.collect()
        figures[path.key] = {"calls": calls, "growth": sys.getallocatedblocks() - before}
    return figures


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("mode", choices=["times", "memory", "check"])
    # Many short rounds: a round that another process interrupts is simply not the minimum.
    parser.add_argument("--rounds", type=int, default=41)
    parser.add_argument("--target", type=float, default=0.002)
    parser.add_argument("--calls", type=int, default=100_000)
    parser.add_argument("--scale", type=float, default=1.0, help="of the leak checks' calls")
    parser.add_argument("--only", default="")
    args = parser.parse_args()
    paths = all_paths()
    if args.only:
        paths = [path for path in paths if path.key in args.only.split(",")]
    if args.mode == "check":
        check_agreement(paths)
        print(json.dumps({"agreement": "ok", "paths": len(paths)}))
    elif args.mode == "times":
        results = time_paths(paths, args.rounds, args.target)
        results["_interpreter"] = interpreter_costs(args.rounds)
        print(json.dumps(results))
    else:
        print(
            json.dumps(
                {
                    "allocations": allocations_per_call(args.calls),
                    "growth": block_growth(paths, args.scale),
                }
            )
        )


if __name__ == "__main__":
    main()
