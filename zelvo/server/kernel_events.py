"""Forgets a kernel's pipeline once it stopped: at once when the server announces it, else at
the next reconciliation with the kernel manager's running kernels."""

import asyncio
import weakref
from http import HTTPStatus

from tornado import web
from tornado.ioloop import PeriodicCallback

from zelvo.server import cache_folders, registry

KERNEL_ACTIONS = "https://events.jupyter.org/jupyter_server/kernel_actions/v1"


def watch_kernels(serverapp):
    """Listen to the server's kernel actions: local and gateway kernel managers emit them."""
    manager = serverapp.kernel_manager
    cache_folders.start(serverapp.log)

    async def on_kernel_action(logger, schema_id, data):
        kernel_id = data.get("kernel_id")
        if kernel_id is None:
            return
        action, status = data.get("action"), data.get("status")
        if action == "start" and status == "success" and kernel_id in manager:
            registry.claim(kernel_id)
            return
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


def _is_gateway(manager):
    try:
        from jupyter_server.gateway.managers import GatewayMappingKernelManager
    except ImportError:  # pragma: no cover
        return False
    return isinstance(manager, GatewayMappingKernelManager)


# The gateway kernel managers whose gateway refused to list its kernels (its default): their
# kernels are asked for one by one from then on.
_unlisted = weakref.WeakSet()


async def _ask_gateway(manager, known, log):
    """Bring the map of a gateway kernel manager up to date for the ``known`` kernels: the
    host's map only learns of the kernels the gateway deleted or culled on its own when the
    gateway is asked. Listing them is one request; a gateway that refuses it (403) is asked
    for each kernel by id, as the host refreshes one kernel's model. False when the gateway
    could not be asked: then nothing is forgotten on its account."""
    if manager not in _unlisted:
        try:
            await manager.list_kernels()
            return True
        except web.HTTPError as error:
            if error.status_code != HTTPStatus.FORBIDDEN:
                log.debug("zelvo: could not list the gateway's kernels: %r", error)
                return False
            _unlisted.add(manager)
            log.debug("zelvo: the gateway does not list its kernels: asking for each by id")
        except Exception as error:  # unreachable gateway
            log.debug("zelvo: could not list the gateway's kernels: %r", error)
            return False
    ids = [kernel_id for kernel_id in manager.list_kernel_ids() if kernel_id in known]
    answers = await asyncio.gather(
        *(manager.get_kernel(kernel_id).refresh_model() for kernel_id in ids),
        return_exceptions=True,
    )
    for kernel_id, model in zip(ids, answers):
        if isinstance(model, BaseException):  # not a 404: the kernel may still run
            log.debug("zelvo: could not ask the gateway for kernel %s: %r", kernel_id, model)
        elif not model:  # 404: the gateway no longer has it
            manager.remove_kernel(kernel_id)
    return True


async def reconcile(serverapp):
    """Forget the kernels that stopped without an announcement: a kernel that died for good
    (the host drops it from its map without a word), one a gateway culled on its own."""
    manager = serverapp.kernel_manager
    known = registry.known_kernel_ids()
    if _is_gateway(manager) and known and not await _ask_gateway(manager, known, serverapp.log):
        return set()
    running = manager.list_kernel_ids()
    stopped = registry.reconcile(running)
    owner = cache_folders.owner
    if owner is not None:
        owner.sweep(running)
    for kernel_id in stopped:
        serverapp.log.debug("zelvo: forgot the pipeline of stopped kernel %s", kernel_id)
    return stopped


def reconcile_periodically(serverapp, interval):
    """Run ``reconcile`` every ``interval`` seconds (none when 0); returns the callback."""
    owner = cache_folders.start(serverapp.log)
    # A server killed before this one may have left its kernels' folders behind.
    owner.sweep_all(serverapp.kernel_manager.list_kernel_ids())
    if not interval > 0:
        return None
    running = []

    def tick():
        if running and not running[0].done():
            return  # a slow gateway: the previous round still runs
        running[:] = [asyncio.ensure_future(_logged(reconcile(serverapp), serverapp.log))]

    callback = PeriodicCallback(tick, interval * 1000)
    callback.start()
    return callback


async def _logged(round_, log):
    try:
        await round_
    except Exception:
        log.exception("zelvo: the reconciliation of kernels failed")
