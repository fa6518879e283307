"""Server extension of the observer benchmark: observation turned on and off at run time.

``POST zelvo-bench/observe`` with ``{"on": true|false}`` makes the kernel websockets opened
from then on observed or not; those already open keep what they had. The kernel stays the
same, so both sides of the throughput comparison run on one kernel.
"""

import json

from jupyter_server.base.handlers import APIHandler
from jupyter_server.utils import url_path_join
from tornado import web

SETTING = "kernel_websocket_connection_class"


class ObserveHandler(APIHandler):
    @web.authenticated
    def post(self):
        settings = self.settings
        observed = settings.setdefault("zelvo_bench_observed", settings[SETTING])
        # The observed class subclasses the server's own directly.
        plain = observed.__mro__[1]
        settings[SETTING] = observed if json.loads(self.request.body)["on"] else plain
        self.finish(json.dumps({"class": settings[SETTING].__name__}))


def _load_jupyter_server_extension(serverapp):
    base_url = serverapp.web_app.settings["base_url"]
    serverapp.web_app.add_handlers(
        ".*$", [(url_path_join(base_url, "zelvo-bench", "observe"), ObserveHandler)]
    )


def _jupyter_server_extension_points():
    return [{"module": "bench_observer"}]
