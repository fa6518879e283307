"""Forgets a kernel's pipeline as soon as the server announces that the kernel stopped."""

from zelvo.server import registry

KERNEL_ACTIONS = "https://events.jupyter.org/jupyter_server/kernel_actions/v1"


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
            registry.forget(kernel_id)
            serverapp.log.debug("zelvo: forgot the pipeline of stopped kernel %s", kernel_id)

    # Unmodified: a modifier of the host may redact the kernel id (the schema marks it as
    # personal data).
    serverapp.event_logger.add_listener(
        modified=False, schema_id=KERNEL_ACTIONS, listener=on_kernel_action
    )
    return on_kernel_action
