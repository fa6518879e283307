"""The full server: POST and GET round trips on loopback against a real Jupyter Server with
the extension, the native handler and the plain twin on two routes of the same server.

    python bench/server.py [--rounds N] [--seconds S] [--connections C] [--pairs N]  -> JSON

The load generator keeps C requests in flight: wrk where it is installed, else a small
tornado client in this process. The routes take turns (order shuffled each round) so that
load from other processes falls on both alike; the figures are medians over the rounds.
Each round also runs POSTs on the timed routes, which tell how much of the server's time per
POST is spent inside the handler methods.
"""

import argparse
import asyncio
import http.client
import json
import random
import re
import shutil
import statistics
import subprocess
import tempfile
import time
from pathlib import Path

import fakes
import psutil
from served import Server

ROUTES = {"native": "zelvo-native", "plain": "zelvo-plain"}
TIMED = {"native": "zelvo-native-timed", "plain": "zelvo-plain-timed"}
COMPONENTS = 10


# -- load generators -------------------------------------------------------------------------

LUA = """
wrk.method = "{method}"
wrk.headers["Content-Type"] = "application/json"
wrk.headers["Authorization"] = "token {token}"
local bodies = {{{bodies}}}
local turn = 0
request = function()
  if #bodies == 0 then
    return wrk.format(nil, nil, nil, nil)
  end
  turn = turn % #bodies + 1
  return wrk.format(nil, nil, nil, bodies[turn])
end
"""

UNITS = {"us": 1e-6, "ms": 1e-3, "s": 1.0}


def wrk_run(url, method, bodies, token, seconds, connections, workdir):
    script = Path(workdir, f"{method.lower()}.lua")
    quoted = ", ".join(f"[==[{json.dumps(body)}]==]" for body in bodies)
    script.write_text(LUA.format(method=method, token=token, bodies=quoted))
    output = subprocess.run(
        ["wrk", "-t1", f"-c{connections}", f"-d{seconds}s", "--latency", "-s", str(script), url],
        capture_output=True,
        text=True,
        check=True,
    ).stdout
    requests = int(re.search(r"(\d+) requests in", output).group(1))
    rate = float(re.search(r"Requests/sec:\s+([\d.]+)", output).group(1))
    bad = re.search(r"Non-2xx or 3xx responses: (\d+)", output)
    latency = {}
    for percent, value, unit in re.findall(r"\s(50|99)%\s+([\d.]+)(us|ms|s)\b", output):
        latency[percent] = float(value) * UNITS[unit]
    return {
        "requests": requests,
        "rate": rate,
        "p50": latency["50"],
        "p99": latency["99"],
        "errors": int(bad.group(1)) if bad else 0,
    }


def python_run(url, method, bodies, token, seconds, connections, workdir):
    """The same measurement with tornado's client, where wrk is not installed."""
    from tornado.httpclient import AsyncHTTPClient, HTTPClientError

    async def run():
        client = AsyncHTTPClient(max_clients=connections)
        headers = {"Authorization": f"token {token}", "Content-Type": "application/json"}
        texts = [json.dumps(body) for body in bodies] or [None]
        latencies, errors = [], 0
        deadline = time.perf_counter() + seconds

        async def worker(offset):
            nonlocal errors
            turn = offset
            while time.perf_counter() < deadline:
                turn += 1
                start = time.perf_counter()
                try:
                    await client.fetch(
                        url, method=method, headers=headers, body=texts[turn % len(texts)]
                    )
                except HTTPClientError:
                    errors += 1
                latencies.append(time.perf_counter() - start)

        start = time.perf_counter()
        await asyncio.gather(*(worker(n) for n in range(connections)))
        elapsed = time.perf_counter() - start
        client.close()
        latencies.sort()
        return {
            "requests": len(latencies),
            "rate": len(latencies) / elapsed,
            "p50": latencies[len(latencies) // 2],
            "p99": latencies[int(len(latencies) * 0.99)],
            "errors": errors,
        }

    return asyncio.run(run())


def paired(server, kernel, bodies, pairs):
    """Round trips one at a time on one connection, the routes taking turns request by
    request (in a shuffled order): load that comes and goes falls on both alike, so the
    medians compare the routes closely."""
    connection = http.client.HTTPConnection("127.0.0.1", server.port, timeout=30)
    headers = {"Authorization": f"token {server.token}", "Content-Type": "application/json"}
    texts = [json.dumps(body) for body in bodies]
    times = {method: {side: [] for side in ROUTES} for method in ("POST", "GET")}
    for method in ("POST", "GET"):
        for number in range(pairs):
            for side in random.sample(list(ROUTES), len(ROUTES)):
                body = texts[number % len(texts)] if method == "POST" else None
                start = time.perf_counter()
                connection.request(
                    method, f"/{ROUTES[side]}/kernels/{kernel}", body=body, headers=headers
                )
                response = connection.getresponse()
                response.read()
                times[method][side].append(time.perf_counter() - start)
                if response.status != 200:
                    raise RuntimeError(f"{method} {side}: {response.status}")
    connection.close()
    return {
        method: {
            **{side: statistics.median(values) for side, values in sides.items()},
            "ratio": statistics.median(sides["plain"]) / statistics.median(sides["native"]),
        }
        for method, sides in times.items()
    }


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=10)
    parser.add_argument("--seconds", type=int, default=1)
    parser.add_argument("--pairs", type=int, default=1500, help="of the one-by-one requests")
    parser.add_argument("--connections", type=int, default=4)
    args = parser.parse_args()
    load = wrk_run if shutil.which("wrk") else python_run

    workdir = tempfile.mkdtemp(prefix="zelvo-bench-")
    server = Server(workdir, extensions=["bench_routes"])
    try:
        kernel = server.request("POST", "api/kernels", {"name": "python3"})["id"]
        bodies = [
            fakes.updated_body(COMPONENTS, "succeeded"),
            fakes.updated_body(COMPONENTS, "failed"),
        ]
        # The extension's own route and both compared routes must answer alike.
        for route in ("zelvo", *ROUTES.values()):
            assert server.request("POST", f"{route}/kernels/{kernel}", bodies[0]) == {
                "message": "Success."
            }
        answers = [
            server.request("GET", f"{route}/kernels/{kernel}")
            for route in ("zelvo", *ROUTES.values())
        ]
        assert answers[0] == answers[1] == answers[2], answers

        process = psutil.Process(server.process.pid)

        def run(route, method):
            url = server.url(f"{route}/kernels/{kernel}")
            cpu = process.cpu_times()
            figures = load(
                url,
                method,
                bodies if method == "POST" else [],
                server.token,
                args.seconds,
                args.connections,
                workdir,
            )
            if figures["errors"]:
                raise RuntimeError(f"{figures['errors']} failed requests on {url}")
            used = process.cpu_times()
            # The server's own processor time per request: unlike the rate, it does not count
            # the time the server waited for a core that other processes held.
            spent = used.user + used.system - cpu.user - cpu.system
            figures["cpu"] = spent / figures["requests"]
            return figures

        # The handler's share: the server is saturated, so its time per POST is a run's
        # length over the requests served; the timed routes add up the time inside post.
        server.request("GET", "zelvo-bench/stats")
        timed = {side: {"ns": 0, "posts": 0, "seconds": 0.0, "requests": 0} for side in TIMED}

        def timed_run(side):
            start = time.perf_counter()
            figures = run(TIMED[side], "POST")
            elapsed = time.perf_counter() - start
            nanoseconds, posts = server.request("GET", "zelvo-bench/stats")[side]
            totals = timed[side]
            totals["ns"] += nanoseconds
            totals["posts"] += posts
            totals["seconds"] += elapsed
            totals["requests"] += figures["requests"]

        runs = {method: {side: [] for side in ROUTES} for method in ("POST", "GET")}
        for _ in range(args.rounds):
            for method in ("POST", "GET", "timed"):
                for side in random.sample(list(ROUTES), len(ROUTES)):
                    if method == "timed":
                        timed_run(side)
                    else:
                        runs[method][side].append(run(ROUTES[side], method))
        share = {
            side: {
                "inside_post": totals["ns"] * 1e-9 / totals["posts"],
                "per_request": totals["seconds"] / totals["requests"],
                "share": totals["ns"] * 1e-9 / totals["seconds"],
            }
            for side, totals in timed.items()
        }
        one_by_one = paired(server, kernel, bodies, args.pairs)
        # `jupyter server` replaces itself with the server, so the pid is the server's.
        server_rss = psutil.Process(server.process.pid).memory_info().rss
        server.request("DELETE", f"api/kernels/{kernel}")
    finally:
        server.stop()
        shutil.rmtree(workdir, ignore_errors=True)

    summary = {}
    for method, sides in runs.items():
        summary[method] = {
            side: {
                key: statistics.median(run[key] for run in side_runs)
                for key in ("rate", "p50", "p99", "cpu")
            }
            for side, side_runs in sides.items()
        }
        pairs = list(zip(sides["native"], sides["plain"]))
        summary[method]["ratio"] = statistics.median(
            native["rate"] / plain["rate"] for native, plain in pairs
        )
        summary[method]["cpu_ratio"] = statistics.median(
            plain["cpu"] / native["cpu"] for native, plain in pairs
        )
        ratios = [native["rate"] / plain["rate"] for native, plain in pairs]
        if len(ratios) > 1:
            quartiles = statistics.quantiles(ratios, n=4, method="inclusive")
            summary[method]["quartiles"] = [quartiles[0], quartiles[2]]
        else:
            summary[method]["quartiles"] = ratios * 2
    print(
        json.dumps(
            {
                "generator": "wrk" if load is wrk_run else "tornado client",
                "connections": args.connections,
                "seconds": args.seconds,
                "rounds": args.rounds,
                "components": COMPONENTS,
                "summary": summary,
                "runs": runs,
                "share": share,
                "paired": one_by_one,
                "pairs": args.pairs,
                "server_rss": server_rss,
            }
        )
    )


if __name__ == "__main__":
    main()
