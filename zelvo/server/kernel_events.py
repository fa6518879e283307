"""Forgets a kernel's pipeline as soon as the server announces that the kernel stopped."""

import shutil

KERNEL_ACTIONS = "https://events.jupyter.org/jupyter_server/kernel_actions/v1"
# Websocket close code "going away": the kernel the socket listens to is gone.
GOING_AWAY = 1001


def forget_kernel(kernel_id):
    """Drop the pipeline, the cache folder and the websocket clients of ``kernel_id``."""
    from zelvo.server.handlers import flowsync
    from zelvo.server.handlers.ws_handler import ZelvoWebSocketHandler
    from zelvo_core.misc.models import ZelvoPipelineModel

    entry = flowsync.dag_cabinet.get(kernel_id)
    if entry is None:
        # Front ends may have cached under the kernel's folder before any pipeline came.
        entry = ZelvoPipelineModel(identifier=kernel_id)
    # The folder first, then the entry, as the clean-up after a POST does.
    if entry.diskcache_dir is not None:
        shutil.rmtree(entry.diskcache_dir, ignore_errors=True)
    flowsync.dag_cabinet.pop(kernel_id, None)
    reason = f"Kernel {kernel_id} was shut down."
    for handler in list(ZelvoWebSocketHandler.registry):
        if handler.kernel_id == kernel_id:
            handler.close(GOING_AWAY, reason)


def watch_kernels(serverapp):
    """Listen to the server's kernel actions: local and gateway kernel managers emit them."""
    manager = serverapp.kernel_manager

    async def on_kernel_action(logger, schema_id, data):
        kernel_id = data.get("kernel_id")
        if kernel_id is None:
            return
        action, status = data.get("action"), data.get("status")
        # A restart keeps the kernel id and the cells, so it keeps the pipeline. A failed
        # start may leave nothing running under the id.
        stopped = (action == "shutdown" and status == "success") or (
            action == "start" and status == "error" and kernel_id not in manager
        )
        if stopped:
            forget_kernel(kernel_id)
            serverapp.log.debug("zelvo: forgot the pipeline of stopped kernel %s", kernel_id)

    # Unmodified: a modifier of the host may redact the kernel id (the schema marks it as
    # personal data).
    serverapp.event_logger.add_listener(
        modified=False, schema_id=KERNEL_ACTIONS, listener=on_kernel_action
    )
    return on_kernel_action
