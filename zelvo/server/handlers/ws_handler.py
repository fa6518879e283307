"""Websocket through which the server pushes pipeline updates to front ends."""

from __future__ import annotations

import ctypes
import ctypes.util
import functools
import json
from typing import ClassVar

from jupyter_core.utils import ensure_async
from jupyter_server.auth.decorator import ws_authenticated
from jupyter_server.base.handlers import JupyterHandler
from jupyter_server.base.websocket import WebSocketMixin
from tornado import web
from tornado.concurrent import Future, future_set_result_unless_cancelled
from tornado.ioloop import IOLoop
from tornado.websocket import WebSocketClosedError, WebSocketHandler

from zelvo.server.config import DEFAULT_QUEUE_LIMIT, QUEUE_LIMIT_SETTING
from zelvo.server.handlers import AUTH_RESOURCE, CODE_RESOURCE
from zelvo_core import protocol


def _give_back_memory():
    """Return the C heap's free pages to the system, where the C library can (glibc).

    What a client that fell behind held was freed in pieces of the heap that the allocator
    keeps otherwise: the server's resident memory would stay at its peak.
    """
    try:
        trim = ctypes.CDLL(ctypes.util.find_library("c") or "libc.so.6").malloc_trim
    except (OSError, AttributeError):
        return
    trim(0)


class ZelvoWebSocketHandler(WebSocketMixin, WebSocketHandler, JupyterHandler):
    """Serves ``<base_url>zelvo/kernels/<kernel_id>/ws``.

    Clients only listen; whatever they send is ignored.  ``registry`` lists
    the open connections in the order they opened, for broadcasting.

    With ``?snapshot=1`` the first message is the registered pipeline in the
    shape of a relayed update (everything added), or, when none is
    registered, ``{"procedure": "pipeline:updated", "status": "failed",
    "msg": ...}`` with GET's message: what the route's ``snapshot(kernel_id)``
    gives (the registry's, which knows the pipelines; this module knows only
    the connections, which the native relay reads).  Every relayed message
    follows.

    A client that lets more than the queue limit of sent data pile up unread is closed with
    1013: a reader that cannot keep up must not make the server hold without bound.
    """

    auth_resource = AUTH_RESOURCE
    registry: ClassVar[list[ZelvoWebSocketHandler]] = []
    kernel_id = None
    # Bytes handed to the connection and not yet written to the socket.
    queued = 0
    fell_behind = False

    def initialize(self, snapshot=None):
        self.snapshot = snapshot

    @classmethod
    def of_kernel(cls, kernel_id):
        """The open connections of ``kernel_id``, in the order they opened: those that the
        relay (``DAGHandler.transmit``) writes the kernel's messages to."""
        return [handler for handler in cls.registry if handler.kernel_id == kernel_id]

    def set_default_headers(self):
        """JupyterHandler's page headers make no sense on a websocket."""

    def write_error(self, status_code, **kwargs):
        # A refused handshake says why in JSON, as the other routes do, not in a page.
        error = kwargs.get("exc_info", (None, None, None))[1]
        message = getattr(error, "log_message", None)
        if message and getattr(error, "args", None):
            message = message % error.args
        self.set_header("Content-Type", "application/json")
        self.finish(json.dumps({"message": message or self._reason}))

    def get_compression_options(self):
        return self.settings.get("websocket_compression_options", None)

    def get_websocket_protocol(self):
        # The host's mixin pings on its own timer and reads ping_interval and ping_timeout in
        # milliseconds (ws_ping_interval, ws_ping_timeout); Tornado's own pinger would read
        # the same properties as seconds (and 6.5 and later warn that the host's timeout is
        # longer than its interval). Only the host's pinger runs.
        connection = super().get_websocket_protocol()
        if connection is not None:
            connection.params.ping_interval = 0
        return connection

    @ws_authenticated
    async def get(self, kernel_id):
        self.kernel_id = kernel_id
        # The socket reveals pipeline state and the cells' code.
        for resource in (self.auth_resource, CODE_RESOURCE):
            authorized = await ensure_async(
                self.authorizer.is_authorized(self, self.current_user, "read", resource)
            )
            if not authorized:
                message = f"User is not authorized to read on resource: {resource}."
                raise web.HTTPError(403, message)
        # Nothing would ever be relayed to a socket of a kernel this server does not run.
        if kernel_id not in self.kernel_manager:
            raise web.HTTPError(404, protocol.KERNEL_NOT_FOUND.format(kernel_id="%s"), kernel_id)
        await super().get(kernel_id=kernel_id)

    def open(self, kernel_id):
        super().open()
        # Queued and listed in one step on the event loop: every POST handled
        # before is in the snapshot, every one after is relayed, none twice.
        if self.get_query_argument("snapshot", "") == "1" and self.snapshot is not None:
            self.write_message(json.dumps(self.snapshot(kernel_id)))
        self.registry.append(self)
        self.log.debug("Zelvo websocket opened for kernel %s", kernel_id)

    def on_message(self, message):
        """Front ends have nothing to tell the server over this socket."""

    def on_close(self):
        if self.ping_callback is not None:
            self.ping_callback.stop()
        if self.fell_behind:
            # Once the connection's stream, and its queue, are gone.
            IOLoop.current().add_callback(_give_back_memory)
        try:
            self.registry.remove(self)
        except ValueError:
            return
        self.log.debug("Zelvo websocket closed for kernel %s", self.kernel_id)

    def write_message(self, message, binary=False):
        """Send ``message``, or drop it if the client has gone or fell behind.

        The returned future always resolves to None: a client that closed
        between two broadcasts must not break the broadcast loop, nor leave
        an unretrieved exception behind.
        """
        outcome = Future()
        limit = self.settings.get(QUEUE_LIMIT_SETTING, DEFAULT_QUEUE_LIMIT)
        if self.queued > limit and not self.fell_behind:
            self._fell_behind()
        try:
            sent = super().write_message(message, binary=binary)
        except WebSocketClosedError:
            self.log.debug("Dropped a message for closed websocket of kernel %s", self.kernel_id)
            future_set_result_unless_cancelled(outcome, None)
            return outcome
        # The relayed texts are ASCII (json.dumps escapes the rest): characters are bytes.
        size = len(message)
        self.queued += size
        sent.add_done_callback(functools.partial(self._settle_write, outcome, size))
        return outcome

    def _fell_behind(self):
        """Close a client that does not read what it is sent, and stop sending to it."""
        self.log.warning(
            "zelvo: closed a websocket of kernel %s that fell behind (%d bytes unsent)",
            self.kernel_id,
            self.queued,
        )
        # Still listed until it closed: a broadcast may be walking the list right now.
        self.fell_behind = True
        # The close frame queues behind what is unsent; Tornado aborts the connection, and so
        # frees the queue, if the client does not answer it within a few seconds.
        self.close(protocol.TRY_AGAIN_LATER, protocol.FELL_BEHIND)

    def _settle_write(self, outcome, size, sent):
        self.queued -= size
        error = None if sent.cancelled() else sent.exception()
        if isinstance(error, WebSocketClosedError):
            self.log.debug("Dropped a message for closed websocket of kernel %s", self.kernel_id)
        elif error is not None:
            self.log.warning(
                "Sending to the websocket of kernel %s failed: %r", self.kernel_id, error
            )
        future_set_result_unless_cancelled(outcome, None)
