"""Builds each kernel's pipeline from the cells its front ends run, by watching its websockets.

When the extension loads, the server's kernel websocket connection class (local kernels, or
kernels behind a gateway) is replaced by a subclass that hands every message on first, exactly
as it came, and then lets the observer read it (``wire``). What a kernel's messages mean for its
pipeline is decided by ``rules``; each change is registered as a POST would register it.
Nothing here may break or slow a kernel's channel: a failure is logged once per kernel and
the message has passed already. The saved notebook is read, decoded and analysed in the
extension's worker thread (``worker``), only when the file changed (``saved``).
"""

from __future__ import annotations

import asyncio
import collections
import datetime
import os
import time

from tornado.ioloop import IOLoop
from tornado.web import HTTPError

from zelvo.server import registry
from zelvo.server.config import DEFAULT_MAX_NOTEBOOK_BYTES
from zelvo.server.kernel_events import KERNEL_ACTIONS
from zelvo.server.update import ZelvoDagUpdateComponentModel, ZelvoDagUpdateModel
from zelvo_core.misc.models import PipelineGraph, ZelvoPipelineModel
from zelvo_core.notebook import NotebookError, kernel_of, notebook_of

from . import rules, saved, wire
from .worker import Busy, Closed, Worker

# Seconds before parents are asked for again from a worker that was busy.
BUSY_RETRY = 0.1
# A front end's frame larger than this is decoded in the worker, not on the event loop.
LARGE_FRAME = 1 << 20
CONTENTS_SERVICE = "https://events.jupyter.org/jupyter_server/contents_service/v1"
# Seconds between the starts of two registrations of a kernel, at least.
REGISTER_EVERY = 0.02
# Components registered in one turn of the loop, at most.
REGISTERED_AT_ONCE = 1000
# Distinct failures of reading a kernel's saved notebook that are logged, at most.
COMPLAINTS = 16


class _Kernel:
    """What the observer keeps for one kernel."""

    __slots__ = (
        "again", "backlog", "complaints", "flushing", "linking", "loading", "notebook",
        "pipeline", "registered", "registering", "saved", "whole",
    )  # fmt: skip

    def __init__(self):
        self.pipeline = rules.KernelPipeline()
        self.registered = None  # the model this observer registered last
        self.registering = 0.0  # time.monotonic() of the last registration
        self.flushing = False  # a registration is scheduled
        self.linking = None  # the future of the parents being found, off the loop
        self.whole = False  # compare the whole pipeline at the next registration
        # Messages that wait, in order, behind a large request being decoded in the worker.
        self.backlog = None
        # The notebook its session named when last looked up; None: none yet (a front end
        # may open its session under a provisional path and rename it just after).
        self.notebook = None
        self.loading = None  # the task looking the session up and reading its notebook
        self.again = False  # a save came while it ran: look up and read once more
        self.saved = None  # the saved.Stamp of the notebook last read
        self.complaints = set()  # the failures of reading it that were logged


class Observer:
    """The kernels' pipelines as their front ends run cells, for one server."""

    def __init__(self, serverapp, worker=None, max_notebook_bytes=DEFAULT_MAX_NOTEBOOK_BYTES):
        self.serverapp = serverapp
        self.log = serverapp.log
        # The extension's worker: all analysis runs in its one thread.
        self.worker = worker if worker is not None else Worker()
        self.max_notebook_bytes = max_notebook_bytes
        self.kernels = {}  # kernel id -> _Kernel
        self.failed = set()  # ids of the kernels whose failure was logged

    # -- from the connections

    def connected(self, kernel_id):
        """A websocket of ``kernel_id`` opens: observe the kernel from now on."""
        self._kernel(kernel_id)

    def from_client(self, connection, frame):
        """A front end's frame, already passed on to the kernel."""
        kernel_id = None
        try:
            kernel_id = connection.kernel_id
            if not _forwarded(connection):
                return
            legacy = isinstance(frame, str) or (
                getattr(connection, "subprotocol", None) != wire.V1_PROTOCOL
            )
            if len(frame) > LARGE_FRAME:
                # Decoded in the worker; the kernel's messages after it wait in order.
                kernel = self._kernel(kernel_id)
                if kernel is not None:
                    pipeline = kernel.pipeline
                    known = frozenset(pipeline.cells.keys() | pipeline.aliases.keys())
                    job = self.worker.run(_request, legacy, frame, known)
                    self._enqueue(kernel_id, kernel, asyncio.ensure_future(job))
                return
            message = _request(legacy, frame)
            if message is not None:
                self._take(kernel_id, self._kernel(kernel_id), self._requested, message)
        except Exception:
            self._failed(kernel_id, "a front end's message")

    def _requested(self, kernel_id, kernel, message):
        cell_id = message.metadata.get("cellId")
        msg_id = message.header.get("msg_id")
        code = message.content.get("code")
        if not (isinstance(cell_id, str) and cell_id and isinstance(msg_id, str)):
            return
        if not isinstance(code, str):
            return
        deleted = message.metadata.get("deletedCells")
        deleted = deleted if isinstance(deleted, list) else ()
        if kernel.notebook is None:
            self._load(kernel_id, kernel)
        tags = message.metadata.get("tags")
        if kernel.pipeline.request(msg_id, cell_id, code, deleted, tags):
            self._schedule(kernel_id, kernel)

    def from_kernel(self, connection, args):
        """A kernel's message, already passed on to the front end: ``(stream, zmq frames)``
        from a local kernel, ``(JSON text,)`` from a gateway."""
        kernel_id = None
        try:
            if len(args) == 1:
                message = wire.kernel_json(args[0])
            else:
                stream, parts = args[0], args[1]
                if isinstance(stream, str):
                    channel = stream
                else:
                    channel = getattr(stream, "channel", None)
                message = wire.kernel_zmq(channel, parts)
            if message is not None:
                kernel_id = connection.kernel_id
                self._take(kernel_id, self.kernels.get(kernel_id), self._observe, message)
        except Exception:
            self._failed(kernel_id, "a kernel's message")

    def _take(self, kernel_id, kernel, step, message):
        """``step(kernel_id, kernel, message)`` now, or after what waits for the worker."""
        if kernel is None:
            return
        if kernel.backlog:
            self._enqueue(kernel_id, kernel, (step, message))
        else:
            step(kernel_id, kernel, message)

    def _enqueue(self, kernel_id, kernel, entry):
        """Keep ``entry`` (a future of a decoded request, or a step and its message) behind
        what waits for the worker, and go through what no longer waits."""
        if kernel.backlog is None:
            kernel.backlog = collections.deque()
        kernel.backlog.append(entry)
        if isinstance(entry, asyncio.Future):

            def ready(done):
                if not done.cancelled():
                    done.exception()  # looked at, even if the kernel is gone meanwhile
                self._drain(kernel_id, kernel)

            entry.add_done_callback(ready)
        else:
            self._drain(kernel_id, kernel)

    def _drain(self, kernel_id, kernel):
        backlog = kernel.backlog
        while backlog and self.kernels.get(kernel_id) is kernel:
            entry = backlog[0]
            try:
                if isinstance(entry, asyncio.Future):
                    if not entry.done():
                        return
                    backlog.popleft()
                    # A worker that was busy or closed: the request goes unobserved.
                    failed = entry.cancelled() or entry.exception() is not None
                    message = None if failed else entry.result()
                    if message is not None:
                        self._requested(kernel_id, kernel, message)
                else:
                    backlog.popleft()
                    entry[0](kernel_id, kernel, entry[1])
            except Exception:
                self._failed(kernel_id, "a front end's message")

    def _observe(self, kernel_id, kernel, message):
        parent = message.parent_header.get("msg_id")
        if not isinstance(parent, str):
            return
        pipeline, kind, content = kernel.pipeline, message.msg_type, message.content
        date = message.header.get("date")
        if kind == wire.EXECUTE_INPUT:
            changed = pipeline.started(parent, content.get("execution_count"), date)
        elif kind == wire.ERROR:
            changed = pipeline.failed(parent, content)
        elif kind == wire.STATUS:
            changed = content.get("execution_state") == "idle" and pipeline.idle(parent, date)
        else:
            changed = pipeline.replied(parent, content.get("status"), date, content)
        if changed:
            self._schedule(kernel_id, kernel)

    # -- kernels

    def _kernel(self, kernel_id):
        kernel = self.kernels.get(kernel_id)
        if kernel is None:
            if kernel_id not in self.serverapp.kernel_manager:
                return None  # gone, or going: nothing to keep
            kernel = self.kernels[kernel_id] = _Kernel()
            self._load(kernel_id, kernel)
        return kernel

    def forget(self, kernel_id):
        """Drop what is kept for ``kernel_id`` (its pipeline is forgotten)."""
        self.failed.discard(kernel_id)
        kernel = self.kernels.pop(kernel_id, None)
        if kernel is not None and kernel.loading is not None:
            kernel.loading.cancel()

    def _failed(self, kernel_id, what):
        # Once per kernel (None: a connection that could not even name its kernel).
        if kernel_id in self.failed:
            return
        self.failed.add(kernel_id)
        self.log.exception(
            "zelvo: could not follow %s of kernel %s; its pipeline may miss runs", what, kernel_id
        )

    # -- the saved notebook

    def _load(self, kernel_id, kernel, again=False):
        """Look the kernel's session up and read its notebook, in the background; while that
        is under way, nothing more, or once more after it with ``again`` (what it reads may
        be older than a save)."""
        if kernel.loading is not None:
            kernel.again = kernel.again or again
            return
        kernel.again = False
        kernel.loading = asyncio.ensure_future(self._read_notebook(kernel_id, kernel))

    async def _notebook_path(self, kernel_id):
        try:
            session = await self.serverapp.session_manager.get_session(kernel_id=kernel_id)
        except Exception:  # no session (a kernel started alone), or it just went
            return None
        return notebook_of(session)

    async def _read_notebook(self, kernel_id, kernel):
        try:
            while self.kernels.get(kernel_id) is kernel:
                kernel.again = False
                # Looked up each time: the session may have been renamed since.
                path = kernel.notebook = await self._notebook_path(kernel_id)
                if path is not None:
                    await self._read(kernel_id, kernel, path)
                if not kernel.again:
                    break
        except asyncio.CancelledError:
            raise
        except Closed:  # the server stops
            pass
        except Exception:
            self._failed(kernel_id, "the session")
        finally:
            if kernel.loading is asyncio.current_task():
                kernel.loading = None

    async def _read(self, kernel_id, kernel, path):
        try:
            stamp, read = await self._saved_cells(path, kernel.saved)
            if self.kernels.get(kernel_id) is not kernel:
                return
            if read is not None:
                self._notebook_saved(kernel_id, kernel, path, read)
            # Only once its cells are in: a save that failed half-way is read again.
            kernel.saved = stamp
        except (asyncio.CancelledError, Closed):
            raise
        except saved.Changing:  # saved again meanwhile: that save is read next
            pass
        except Exception as error:
            # A notebook that cannot be read leaves out only its unrun cells.
            if self.kernels.get(kernel_id) is kernel:
                kernel.saved = getattr(error, "stamp", kernel.saved)
            self._complain(kernel_id, kernel, path, error)

    async def _saved_cells(self, path, last):
        """``(stamp, read)`` of the notebook at ``path``, read and analysed in the
        worker (``read`` a saved.Read); ``(stamp, None)`` when it is the one read as
        ``last``."""
        manager = self.serverapp.contents_manager
        locate = getattr(manager, "_get_os_path", None)
        if locate is not None:  # a local file: read in the worker, under the manager's rules
            if not getattr(manager, "allow_hidden", False) and await _maybe_await(
                manager.is_hidden(path)
            ):
                raise HTTPError(404, "hidden")
            return await self.worker.run(
                saved.read_local, locate(path), path, last, self.max_notebook_bytes
            )
        model = await _maybe_await(manager.get(path, content=False))
        date = model.get("last_modified")
        stamp = saved.Stamp(path, None if date is None else (model.get("size"), date), None)
        if last is not None and stamp.file is not None and last[:2] == stamp[:2]:
            return last, None
        size = model.get("size")
        if isinstance(size, int) and size > self.max_notebook_bytes:
            raise saved.TooBig(size)
        model = await _maybe_await(manager.get(path, content=True, type="notebook"))
        return await self.worker.run(saved.cells_of, model.get("content"), stamp, last)

    def _notebook_saved(self, kernel_id, kernel, path, read):
        """The saved notebook's code cells changed (a saved.Read)."""
        if kernel.pipeline.notebook_saved(read.cells, time.time(), read.previous, read.changed):
            self._schedule(kernel_id, kernel)

    def _complain(self, kernel_id, kernel, path, error):
        """Log a failure to read the saved notebook once per kernel and kind of failure: an
        autosave of a notebook that is not one fails the same way every few seconds."""
        name = saved.shown(path)
        trace = False
        if isinstance(error, NotebookError):
            kind, text = "not a notebook", str(error)
        elif isinstance(error, saved.TooBig):
            kind = "too big"
            text = (
                f"{name} is {error.args[0]:,} bytes, more than Zelvo.max_notebook_bytes "
                f"({self.max_notebook_bytes:,}): not read"
            )
        elif isinstance(error, Busy):
            kind, text = "busy", f"{name}: the worker has too many jobs; read at the next save"
        elif isinstance(error, OSError):
            kind, text = f"os {error.errno}", f"could not read {name}: {error.strerror or error}"
        elif isinstance(error, HTTPError):
            kind = f"http {error.status_code}"
            text = f"could not read {name}: the contents manager answered {error.status_code}"
        else:
            kind, trace = type(error).__name__, True
            text = f"could not read {name}; its cells that did not run are left out"
        if (path, kind) in kernel.complaints or len(kernel.complaints) >= COMPLAINTS:
            return
        kernel.complaints.add((path, kind))
        self.log.warning(
            "zelvo: kernel %s: %s", kernel_id, text, exc_info=(error if trace else None)
        )

    async def on_contents_event(self, logger, schema_id, data):
        """The contents manager saved a file: reread it for the kernels whose session has
        that path now."""
        if data.get("action") != "save" or not isinstance(data.get("path"), str):
            return
        saved = data["path"].strip("/")
        try:
            sessions = await self.serverapp.session_manager.list_sessions()
        except Exception:
            self.log.warning("zelvo: could not list the sessions", exc_info=True)
            return
        for session in sessions:
            path, kernel_id = notebook_of(session), kernel_of(session)
            kernel = self.kernels.get(kernel_id) if kernel_id is not None else None
            if kernel is not None and path is not None and path.strip("/") == saved:
                self._load(kernel_id, kernel, again=True)

    async def on_kernel_action(self, logger, schema_id, data):
        """A kernel restarted: what ran before is no longer in it."""
        kernel = self.kernels.get(data.get("kernel_id"))
        restarted = (data.get("action"), data.get("status")) == ("restart", "success")
        if kernel is not None and restarted and kernel.pipeline.restarted():
            self._schedule(data["kernel_id"], kernel)

    # -- registration

    def _schedule(self, kernel_id, kernel):
        # One registration for all the messages handled in one turn of the loop, after the
        # channel has carried them; in a burst (Run All), one every REGISTER_EVERY seconds.
        if not kernel.flushing:
            kernel.flushing = True
            wait = kernel.registering + REGISTER_EVERY - time.monotonic()
            if wait > 0:
                IOLoop.current().call_later(wait, self._register, kernel_id, kernel)
            else:
                IOLoop.current().add_callback(self._register, kernel_id, kernel)

    def _register(self, kernel_id, kernel):
        if not kernel.flushing or self.kernels.get(kernel_id) is not kernel:
            return
        kernel.flushing = False
        kernel.registering = time.monotonic()
        try:
            current = registry.get(kernel_id)
            if current is not None and current is not kernel.registered:
                # A client posted a pipeline: it replaces the observed one, and later runs
                # update its components.
                kernel.pipeline.adopt(current.graph.components.values())
                kernel.registered, kernel.whole = current, True
            if self._link(kernel_id, kernel):
                return  # registered once the parents are found
            pipeline = kernel.pipeline
            if kernel.whole:
                kernel.whole = False  # compared whole, as a POST is
                registry.register(
                    kernel_id, ZelvoPipelineModel.revised(current, pipeline.dag_info(), kernel_id)
                )
                kernel.registered = registry.get(kernel_id)
                pipeline.registered(everything=True)
                return
            if current is None:
                if not pipeline.order:
                    return
                pipeline.unregistered()
                current = ZelvoPipelineModel.revised(None, [], kernel_id)
            # A thousand components at a time (a first registration, a restart): the
            # rest in the next turns of the loop.
            order, changed, deleted = pipeline.changes(REGISTERED_AT_ONCE)
            if not (order or changed or deleted):
                return
            registry.register(kernel_id, *_applied(current, order, changed, deleted))
            kernel.registered = registry.get(kernel_id)
            pipeline.registered()
            if pipeline.touched:
                self._schedule(kernel_id, kernel)
        except Exception:
            self._failed(kernel_id, "the pipeline")

    def _link(self, kernel_id, kernel):
        """Find the parents anew, in the worker, when code or order changed; the pipeline is
        registered once they are found. Whether they are being found."""
        if kernel.linking is not None:
            return True
        cells = kernel.pipeline.links()
        if cells is None:
            return False
        future = asyncio.ensure_future(
            self.worker.run(rules.link, cells, self._folder(kernel.notebook), kernel.pipeline.memo)
        )
        kernel.linking = future

        def done(future):
            kernel.linking = None
            if self.kernels.get(kernel_id) is not kernel or future.cancelled():
                return
            error = future.exception()
            kernel.flushing = False
            if isinstance(error, Closed):
                return  # the server stops
            if isinstance(error, Busy):
                # The worker has its hands full (large saves): the parents come a bit later.
                kernel.pipeline.relink = True
                IOLoop.current().call_later(BUSY_RETRY, self._schedule, kernel_id, kernel)
                return
            if error is not None:
                self._failed(kernel_id, "the analysis")
            else:
                kernel.pipeline.linked(future.result())
            self._schedule(kernel_id, kernel)

        future.add_done_callback(done)
        return True

    def _folder(self, path):
        """The folder of the notebook at ``path`` (the server's), where the contents live
        in files; else None."""
        root = getattr(getattr(self.serverapp, "contents_manager", None), "root_dir", None)
        parts = path.strip("/").split("/") if isinstance(path, str) else [".."]
        if not isinstance(root, str) or ".." in parts:
            return None
        return os.path.dirname(os.path.join(root, *parts))

    async def settled(self, kernel_id):
        """Once the parents of ``kernel_id`` are found and registered (for tests and tools)."""
        while True:
            kernel = self.kernels.get(kernel_id)
            if kernel is None:
                return
            waiting = [
                entry for entry in kernel.backlog or () if isinstance(entry, asyncio.Future)
            ]
            if waiting:
                await asyncio.wait(waiting[:1])
            elif kernel.linking is not None:
                await asyncio.wait([kernel.linking])
            elif kernel.flushing:
                self._register(kernel_id, kernel)
            else:
                return
            await asyncio.sleep(0)


def _applied(current, order, changed, deleted):
    """The model ``current`` with ``changed`` components (PipelineComponent values) and
    without the ``deleted`` ids, in ``order`` (ids) when given; and the update from
    ``current`` to it. Costs what changed, but for a new order."""
    before = current.graph.components
    components = dict(before)
    added, revised = [], []
    for component in changed:
        old = before.get(component.id)
        if old is None:
            added.append(component)
        elif old != component:
            revised.append(component)
        components[component.id] = component
    gone = [ident for ident in deleted if ident in before]
    for ident in gone:
        del components[ident]
    if order is not None:
        components = {ident: components[ident] for ident in order if ident in components}
    model = ZelvoPipelineModel.__new__(ZelvoPipelineModel)
    model.identifier = current.identifier
    model.graph = PipelineGraph(components)
    model.created = datetime.datetime.now(datetime.timezone.utc)
    update = ZelvoDagUpdateModel(
        identifier=current.identifier,
        updated_components=ZelvoDagUpdateComponentModel(added, revised, gone),
    )
    return model, update


def _request(legacy, frame, known=None):
    """The ``execute_request`` in a front end's frame, or None; with ``known`` (the ids of
    the kernel's pipeline), its deleted cells cut to those. Pure, for the worker too."""
    message = wire.client_json(frame) if legacy else wire.client_v1(frame)
    if message is not None and known is not None:
        deleted = message.metadata.get("deletedCells")
        if isinstance(deleted, list):
            message.metadata["deletedCells"] = [
                ident for ident in deleted if type(ident) is str and ident in known
            ]
    return message


def _forwarded(connection):
    """Whether the host passed a front end's request on to the kernel: not when the
    connection had closed, nor when the server allows no execute_request."""
    if getattr(connection, "channels", True) == {}:
        return False
    manager = getattr(connection, "multi_kernel_manager", None)
    allowed = getattr(manager, "allowed_message_types", None)
    return not allowed or wire.EXECUTE_REQUEST in allowed


async def _maybe_await(value):
    if asyncio.iscoroutine(value) or isinstance(value, asyncio.Future):
        return await value
    return value


def observed_class(base, observer):
    """A subclass of the connection class ``base`` that shows ``observer`` every message."""

    def connect(self):
        kernel_id = None
        try:
            kernel_id = self.kernel_id
            observer.connected(kernel_id)
        except Exception:
            observer._failed(kernel_id, "a new connection")
        return base.connect(self)

    def handle_incoming_message(self, incoming_msg, *args, **kwargs):
        # A request the host could not pass on (it raised) never reaches the kernel; nothing
        # of the observer's may keep one from it.
        result = base.handle_incoming_message(self, incoming_msg, *args, **kwargs)
        observer.from_client(self, incoming_msg)
        return result

    def handle_outgoing_message(self, *args):
        try:
            return base.handle_outgoing_message(self, *args)
        finally:
            observer.from_kernel(self, args)

    namespace = {
        "__module__": __name__,
        "__doc__": base.__doc__,
        "connect": connect,
        "handle_incoming_message": handle_incoming_message,
        "handle_outgoing_message": handle_outgoing_message,
    }
    return type(f"Observed{base.__name__}", (base,), namespace)


def observe(serverapp, settings, worker=None):
    """Wrap the server's kernel websocket connection class, unless ``settings`` (the
    extension's ``Zelvo`` settings) say not to; ``worker`` is the extension's.

    Returns the Observer, or None when observation is off.
    """
    if not settings.observe_executions:
        serverapp.log.info("zelvo: not observing executions (Zelvo.observe_executions=False)")
        return None
    observer = Observer(serverapp, worker, settings.max_notebook_bytes)
    settings = serverapp.web_app.settings
    base = settings.get("kernel_websocket_connection_class") or (
        serverapp.kernel_websocket_connection_class
    )
    observed = observed_class(base, observer)
    serverapp.kernel_websocket_connection_class = observed
    settings["kernel_websocket_connection_class"] = observed
    serverapp.event_logger.add_listener(
        modified=False, schema_id=CONTENTS_SERVICE, listener=observer.on_contents_event
    )
    serverapp.event_logger.add_listener(
        modified=False, schema_id=KERNEL_ACTIONS, listener=observer.on_kernel_action
    )
    registry.on_forget(observer.forget)
    return observer
