"""The extension's settings: ``c.Zelvo.<name>`` in a Jupyter config file or ``--Zelvo.<name>``."""

from traitlets import Bool, Float, Int
from traitlets.config import Configurable

# The server settings the handlers read them from.
QUEUE_LIMIT_SETTING = "zelvo_websocket_queue_limit"
DEFAULT_QUEUE_LIMIT = 4 * 2**20
RECONCILE_INTERVAL = 2.0
DEFAULT_MAX_NOTEBOOK_BYTES = 50 * 2**20


class Zelvo(Configurable):
    """Settings of the zelvo server extension."""

    observe_executions = Bool(
        True,
        config=True,
        help="""Build each kernel's pipeline from the cells its front ends run. When False,
        the kernels' websockets are left as the server made them, and only POSTs register
        pipelines.""",
    )

    websocket_queue_limit = Int(
        DEFAULT_QUEUE_LIMIT,
        config=True,
        help="""Bytes sent to one websocket client and not yet taken by it, above which the
        server closes that client (code 1013) instead of queuing more. At most this much and
        one more message are held per client.""",
    )

    reconcile_interval = Float(
        RECONCILE_INTERVAL,
        config=True,
        help="""Seconds between two checks that every kernel with a pipeline, a websocket
        client or a cache folder still runs; those that stopped without the server announcing
        it are forgotten. 0 turns the check off.""",
    )

    max_notebook_bytes = Int(
        DEFAULT_MAX_NOTEBOOK_BYTES,
        config=True,
        help="""Size in bytes above which a kernel's saved notebook is not read (one warning
        says so): its cells that did not run stay out of the pipeline. A notebook is read
        and decoded in the extension's worker thread, only when its bytes changed.""",
    )


def apply(serverapp):
    """Read the settings from the server's configuration into its tornado settings."""
    settings = Zelvo(parent=serverapp)
    serverapp.web_app.settings[QUEUE_LIMIT_SETTING] = settings.websocket_queue_limit
    return settings
