"""The registered pipelines, for the Python side of the server.

The native handlers keep every kernel's latest pipeline in ``flowsync.dag_cabinet``; this
module is the one place in Python that reads or changes it, so that a snapshot, the listing,
forgetting a stopped kernel and registering a pipeline that no POST carried all follow the
same rules as the native POST. A registration is the native POST's own
(``DAGHandler.register``), so both paths compare, store and relay alike.
"""

from __future__ import annotations

import weakref

from zelvo.server import cache_folders
from zelvo.server.handlers.ws_handler import ZelvoWebSocketHandler
from zelvo.server.update import get_dag_update_info
from zelvo_core import protocol
from zelvo_core.misc.models import ZelvoPipelineModel


def _native():
    # The native module, imported on first use: the Python companions import without it (the
    # export handler's base class, which pulls in this module, comes before the native pipeport
    # that derives from it).
    from zelvo.server.handlers import flowsync

    return flowsync


def _cabinet():
    # The module global, read on each use as the native methods read it.
    return _native().dag_cabinet


def get(kernel_id):
    """The registered pipeline model of ``kernel_id``, or None."""
    return _cabinet().get(kernel_id)


def kernel_ids():
    """The ids of the kernels with a registered pipeline, as a new set."""
    return set(_cabinet())


def as_update(kernel_id, model=None):
    """The registered pipeline as an update from an empty one, as GET answers it; or None."""
    if model is None:
        model = get(kernel_id)
        if model is None:
            return None
    return get_dag_update_info(ZelvoPipelineModel(identifier=kernel_id), model)


def snapshot(kernel_id):
    """The first message of a websocket opened with ``?snapshot=1``."""
    update = as_update(kernel_id)
    if update is None:
        return {
            "procedure": protocol.PIPELINE_UPDATED,
            "status": protocol.FAILED,
            "msg": protocol.no_pipeline(kernel_id),
        }
    return {
        "procedure": protocol.PIPELINE_UPDATED,
        "status": protocol.SUCCESSFUL,
        "successful": update.dict(),
    }


def listing(kernel_manager, notebook_of=None):
    """One entry per registered pipeline, ordered by kernel id.

    ``notebook_of(kernel_id)`` gives the path of the kernel's notebook, or None.
    """
    entries = []
    for kernel_id, model in sorted(_cabinet().items()):
        created = getattr(model, "created", None)
        counts = dict.fromkeys(protocol.EXECUTION_STATUSES, 0)
        restarted = False
        for component in model.graph.components.values():
            status = component.execution_status
            counts[status] = counts.get(status, 0) + 1
            # Not run, yet it ran: before the kernel restarted.
            restarted = restarted or (
                status == protocol.NOT_RUN and component.last_execution is not None
            )
        entries.append(
            {
                "kernel_id": kernel_id,
                "notebook": notebook_of(kernel_id) if notebook_of is not None else None,
                "components": len(model.graph.components),
                "statuses": counts,
                "restarted": restarted,
                "updated": created.isoformat() if created is not None else None,
                "running": kernel_id in kernel_manager,
            }
        )
    return entries


def sockets(kernel_id):
    """The open websocket connections of ``kernel_id``, in the order they opened."""
    return ZelvoWebSocketHandler.of_kernel(kernel_id)


def relay(kernel_id, message):
    """Send ``message`` (a JSON object) to every websocket of ``kernel_id``."""
    _native().DAGHandler.transmit(kernel_id, message)


def register(kernel_id, model, update=None):
    """Register ``model`` as the pipeline of ``kernel_id``, as a successful
    ``pipeline:updated`` POST does: the native POST's registration runs
    (``DAGHandler.register``).

    The model takes the kernel id as its identifier and is stored, replacing the registered
    one even when nothing changed: its ``created`` is the time of the last registration (the
    list route's "updated"). What changed is ``update`` when the caller already knows it (a
    ``ZelvoDagUpdateModel``, say a change that the comparison of two pipelines does not see):
    no comparison is made then, and that update is relayed as it is. Otherwise it is what
    changed from the registered pipeline (or an empty one). The update is relayed to the
    kernel's websockets as a successful ``pipeline:updated`` when it lists any change.
    Returns the update.
    """
    return _native().DAGHandler.register(kernel_id, model, update)


# Called with the kernel id of every forgotten kernel; held weakly, so that a server that is
# gone (the tests run many in one process) leaves nothing behind.
_forget_hooks = []


def on_forget(hook):
    """Call the bound method ``hook(kernel_id)`` whenever a kernel is forgotten."""
    _forget_hooks.append(weakref.WeakMethod(hook))


def claim(kernel_id):
    """Claim the cache folder of ``kernel_id``, a kernel this server runs (see cache_folders)."""
    owner = cache_folders.owner
    if owner is not None and ZelvoPipelineModel(identifier=kernel_id).diskcache_dir is not None:
        owner.claim(kernel_id)


def forget(kernel_id, reason=None):
    """Drop the pipeline, the cache folder and the websocket clients of ``kernel_id``.

    The cache folder goes only if this server claimed it: it ran the kernel. The sockets are
    closed with 1001 and ``reason`` (by default that the kernel was shut down).
    """
    cabinet = _cabinet()
    entry = cabinet.get(kernel_id)
    if entry is None:
        # Front ends may have cached under the kernel's folder before any pipeline came.
        entry = ZelvoPipelineModel(identifier=kernel_id)
    # The folder first, then the entry, as the clean-up after a POST does.
    owner = cache_folders.owner
    if owner is not None:
        owner.release(kernel_id, entry.diskcache_dir)
    cabinet.pop(kernel_id, None)
    for reference in list(_forget_hooks):
        hook = reference()
        if hook is None:
            _forget_hooks.remove(reference)
        else:
            hook(kernel_id)
    if reason is None:
        reason = protocol.kernel_shut_down(kernel_id)
    for handler in sockets(kernel_id):
        handler.close(protocol.GOING_AWAY, reason)


def known_kernel_ids():
    """The kernels this server keeps anything for: a pipeline, a websocket, a cache folder."""
    known = set(_cabinet())
    known.update(handler.kernel_id for handler in ZelvoWebSocketHandler.registry)
    owner = cache_folders.owner
    if owner is not None:
        known |= owner.claimed
    return known


def reconcile(running):
    """Forget every kernel not among ``running`` (the kernel manager's ids); claim the cache
    folders of the running ones not claimed yet. Returns the forgotten ids.

    Set operations only, while nothing changed: cheap for thousands of kernels.
    """
    running = set(running)
    owner = cache_folders.owner
    if owner is not None:
        for kernel_id in running - owner.claimed - owner.unclaimable - owner.foreign:
            claim(kernel_id)
    stopped = known_kernel_ids() - running
    stopped.discard(None)
    for kernel_id in sorted(stopped):
        forget(kernel_id)
    return stopped
