"""Scaling series: time per call against size, native and plain twin side by side.

    python bench/scaling.py [--quick]   -> JSON on stdout

- comparison: post of a changed "pipeline:updated" with n components (the model is built,
  compared with the registered one, registered, relayed and the registry cleaned up);
- transmit: one message to n connections of the kernel;
- clean-up: n registered kernels, all of them running (the state after every post).

Each point is the minimum of a few repeats, the sides interleaved. The slope of
log(time) against log(size) over the upper sizes, where fixed costs no longer matter, says
whether a series is linear (slope 1).
"""

import argparse
import gc
import json
import math
import random
import timeit

import fakes
from fakes import kernel_id

KERNEL = kernel_id(1)
SIDES = ("native", "plain")


def sizes(top):
    """1, 3, 10, 30, ... up to ``top``."""
    out = []
    value = 1
    while value <= top:
        out.append(value)
        if value * 3 <= top:
            out.append(value * 3)
        value *= 10
    return out


def measure(timers, target, repeats):
    """Per-call time of every side: the minimum over repeats, sides in a shuffled order."""
    for timer in timers.values():
        timer.timeit(1)  # warm up: caches, specialisation, the registered model
    number = 1
    while True:
        elapsed = timers["native"].timeit(number)
        if elapsed >= target / 2 or number >= 10**6:
            break
        number *= 4
    samples = {side: [] for side in timers}
    order = list(timers)
    for _ in range(repeats):
        random.shuffle(order)
        for side in order:
            samples[side].append(timers[side].timeit(number) / number)
    return {side: min(values) for side, values in samples.items()}


def comparison(count, target, repeats):
    bodies = [fakes.updated_body(count, "succeeded"), fakes.updated_body(count, "failed")]
    handlers = fakes.handlers(bodies=bodies, kernels=[KERNEL])
    fakes.install({KERNEL: fakes.model(KERNEL, count)}, [fakes.FakeSocket(KERNEL)])
    timers = {
        side: timeit.Timer(
            "h.post(k)", "h = _h; k = _k", globals={"_h": handlers[side], "_k": KERNEL}
        )
        for side in SIDES
    }
    return measure(timers, target, repeats)


def transmit(count, target, repeats):
    fakes.install(sockets=[fakes.FakeSocket(KERNEL) for _ in range(count)])
    data = {"procedure": "pipeline:executed", "status": "successful", "successful": {}}
    timers = {
        side: timeit.Timer(
            "D.transmit(k, d)",
            "D = _D; k = _k; d = _d",
            globals={"_D": fakes.dag_handler_class(side), "_k": KERNEL, "_d": data},
        )
        for side in SIDES
    }
    return measure(timers, target, repeats)


def cleanup(count, target, repeats):
    kernels = [kernel_id(1000 + number) for number in range(count)]
    fakes.install({kernel: fakes.model(kernel, 0) for kernel in kernels})
    handlers = fakes.handlers(kernels=kernels)
    timers = {
        side: timeit.Timer(
            "h._remove_unused_kernels_on_cabinet()", "h = _h", globals={"_h": handlers[side]}
        )
        for side in SIDES
    }
    return measure(timers, target, repeats)


def slope(points, low):
    """Least-squares slope of log(time) on log(size) over the sizes from ``low`` on."""
    pairs = [(math.log(size), math.log(time)) for size, time in points if size >= low]
    mean_x = sum(x for x, _ in pairs) / len(pairs)
    mean_y = sum(y for _, y in pairs) / len(pairs)
    numerator = sum((x - mean_x) * (y - mean_y) for x, y in pairs)
    return numerator / sum((x - mean_x) ** 2 for x, _ in pairs)


SERIES = {
    # name: (function, largest size, smallest size of the slope fit, seconds per measurement)
    "comparison": (comparison, 100_000, 1_000, 0.05),
    "transmit": (transmit, 10_000, 100, 0.02),
    "cleanup": (cleanup, 10_000, 100, 0.02),
}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--quick", action="store_true", help="smaller sizes, for a try-out")
    args = parser.parse_args()
    results = {}
    for name, (function, top, low, target) in SERIES.items():
        if args.quick:
            top //= 100
            low = min(low, top // 10)
        series = {side: [] for side in SIDES}
        for size in sizes(top):
            if name == "comparison" and size < 10:
                continue  # a pipeline of the range: 10 components and up
            figures = function(size, target, args.repeats)
            for side in SIDES:
                series[side].append((size, figures[side]))
            gc.collect()
        results[name] = {
            "fit_from": low,
            "points": series,
            "slope": {side: slope(points, low) for side, points in series.items()},
        }
    fakes.install()
    print(json.dumps(results))


if __name__ == "__main__":
    main()
