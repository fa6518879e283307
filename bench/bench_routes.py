"""Server extension of the full-server benchmark: the plain twin beside the native handler.

On the same server as zelvo's own routes, in one group of routes:

- ``zelvo-plain/kernels/<kernel_id>`` and ``zelvo-native/kernels/<kernel_id>``: the plain
  twin's DAGHandler and zelvo's own;
- ``zelvo-plain-timed/...`` and ``zelvo-native-timed/...``: the same two handlers, with the
  time spent inside ``post`` added up, to tell the handler's share of a POST;
- ``zelvo-bench/stats``: GET answers the sums so far and starts them again.

The host tries route groups in the order their extensions loaded (by name), and every route
it tries costs time: on zelvo's own route, a request first passes the routes of the
extensions loaded before it. Hence both handlers are compared here, side by side, the
native one second (it pays for one more route tried). Both share the one registry (the twin
binds flowsync's), so a kernel registered through one route is seen by the other.
"""

import json
import time

import twin_plain
from jupyter_server.base.handlers import APIHandler
from jupyter_server.utils import url_path_join
from tornado import web

from zelvo.server import kernel_url_pattern
from zelvo.server.handlers.flowsync import DAGHandler

# route -> [nanoseconds inside post, posts]
STATS = {"native": [0, 0], "plain": [0, 0]}


def timed(base, key):
    """A subclass of ``base`` whose post adds its duration to STATS[key]."""

    class Timed(base):
        def post(self, kernel_id):
            start = time.perf_counter_ns()
            try:
                return base.post(self, kernel_id)
            finally:
                entry = STATS[key]
                entry[0] += time.perf_counter_ns() - start
                entry[1] += 1

    Timed.__name__ = Timed.__qualname__ = f"Timed{base.__name__}"
    return Timed


class StatsHandler(APIHandler):
    @web.authenticated
    def get(self):
        self.finish(json.dumps(STATS))
        for entry in STATS.values():
            entry[:] = [0, 0]


def _load_jupyter_server_extension(serverapp):
    base_url = serverapp.web_app.settings["base_url"]

    def route(prefix):
        return kernel_url_pattern(base_url).replace("/zelvo/", f"/{prefix}/", 1)

    serverapp.web_app.add_handlers(
        ".*$",
        [
            (route("zelvo-plain"), twin_plain.DAGHandler),
            (route("zelvo-native"), DAGHandler),
            (route("zelvo-plain-timed"), timed(twin_plain.DAGHandler, "plain")),
            (route("zelvo-native-timed"), timed(DAGHandler, "native")),
            (url_path_join(base_url, "zelvo-bench", "stats"), StatsHandler),
        ],
    )


def _jupyter_server_extension_points():
    return [{"module": "bench_routes"}]
