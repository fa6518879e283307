"""The registered pipelines, for the Python side of the server.

The native handlers keep every kernel's latest pipeline in ``flowsync.dag_cabinet``; this
module is the one place in Python that reads or changes it, so that a snapshot, the listing,
forgetting a stopped kernel and registering a pipeline that no POST carried all follow the
same rules as the native POST.
"""

from __future__ import annotations

import weakref

from zelvo.server import cache_folders
from zelvo_core import protocol


def _cabinet():
    # Imported on use: flowsync imports the websocket handler, which uses this module, while
    # it initialises.
    from zelvo.server.handlers.flowsync import dag_cabinet

    return dag_cabinet


def _empty(kernel_id):
    from zelvo_core.misc.models import ZelvoPipelineModel

    return ZelvoPipelineModel(identifier=kernel_id)


def _compare(previous, current):
    from zelvo.server.misc.functions import get_dag_update_info

    return get_dag_update_info(previous, current)


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
    return _compare(_empty(kernel_id), model)


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
        for component in model.graph.components.values():
            counts[component.execution_status] = counts.get(component.execution_status, 0) + 1
        entries.append(
            {
                "kernel_id": kernel_id,
                "notebook": notebook_of(kernel_id) if notebook_of is not None else None,
                "components": len(model.graph.components),
                "statuses": counts,
                "updated": created.isoformat() if created is not None else None,
                "running": kernel_id in kernel_manager,
            }
        )
    return entries


def sockets(kernel_id):
    """The open websocket connections of ``kernel_id``, in the order they opened."""
    from zelvo.server.handlers.ws_handler import ZelvoWebSocketHandler

    return [
        handler for handler in ZelvoWebSocketHandler.registry if handler.kernel_id == kernel_id
    ]


def relay(kernel_id, message):
    """Send ``message`` (a JSON object) to every websocket of ``kernel_id``."""
    from zelvo.server.handlers.flowsync import DAGHandler

    DAGHandler.transmit(kernel_id, message)


def register(kernel_id, model):
    """Register ``model`` for ``kernel_id`` as a successful ``pipeline:updated`` POST does.

    The model is compared with the registered one (or an empty one), stored, and the update is
    relayed when anything changed; when nothing did, the registered model stays (and so does
    the time of its registration). Returns the update.
    """
    model.identifier = kernel_id
    cabinet = _cabinet()
    previous = cabinet.get(kernel_id)
    update = _compare(previous if previous is not None else _empty(kernel_id), model)
    if not update.updated_components:
        if previous is None:
            cabinet[kernel_id] = model
        return update
    cabinet[kernel_id] = model
    relay(
        kernel_id,
        {
            "procedure": protocol.PIPELINE_UPDATED,
            "status": protocol.SUCCESSFUL,
            "successful": update.dict(),
        },
    )
    return update


# Called with the kernel id of every forgotten kernel; held weakly, so that a server that is
# gone (the tests run many in one process) leaves nothing behind.
_forget_hooks = []


def on_forget(hook):
    """Call the bound method ``hook(kernel_id)`` whenever a kernel is forgotten."""
    _forget_hooks.append(weakref.WeakMethod(hook))


def claim(kernel_id):
    """Claim the cache folder of ``kernel_id``, a kernel this server runs (see cache_folders)."""
    owner = cache_folders.owner
    if owner is not None and _empty(kernel_id).diskcache_dir is not None:
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
        entry = _empty(kernel_id)
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
    from zelvo.server.handlers.ws_handler import ZelvoWebSocketHandler

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
