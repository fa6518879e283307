"""Jupyter Server extension that keeps, relays and exports pipelines per kernel."""


def _jupyter_server_extension_points():
    return [{"module": "zelvo.server"}]


def kernel_url_pattern(base_url, *suffix):
    """Return the route pattern ``<base_url>zelvo/kernels/<kernel_id>[/suffix...]``."""
    # Imported on use: importing a module of zelvo.server (the registry, the update) should not
    # pull in the whole kernel service.
    from jupyter_server.services.kernels.handlers import _kernel_id_regex
    from jupyter_server.utils import url_path_join

    return url_path_join(base_url, "zelvo", "kernels", _kernel_id_regex, *suffix)


def _load_jupyter_server_extension(serverapp):
    # The handler modules import the native modules and the server's, so they are imported
    # here rather than when this package is first imported.
    from jupyter_server.base.handlers import FileFindHandler
    from jupyter_server.utils import url_path_join
    from tornado import web

    from zelvo.server import config, registry
    from zelvo.server.handlers.pipeline import PipelineHandler
    from zelvo.server.handlers.pipeline_export.pipeport import ZelvoPipelineExportHandler
    from zelvo.server.handlers.views import (
        STATIC_DIR,
        IndexPageHandler,
        PipelineListHandler,
        ProtocolHandler,
        ViewPageHandler,
        announce,
    )
    from zelvo.server.handlers.ws_handler import ZelvoWebSocketHandler
    from zelvo.server.kernel_events import reconcile_periodically, watch_kernels
    from zelvo.server.observer import observe
    from zelvo.server.observer.worker import Worker

    base_url = serverapp.web_app.settings["base_url"]
    serverapp.web_app.add_handlers(
        ".*$",
        [
            (kernel_url_pattern(base_url), PipelineHandler),
            (
                kernel_url_pattern(base_url, "ws"),
                ZelvoWebSocketHandler,
                {"snapshot": registry.snapshot},
            ),
            (kernel_url_pattern(base_url, "export"), ZelvoPipelineExportHandler),
            (url_path_join(base_url, "zelvo", "kernels"), PipelineListHandler),
            (url_path_join(base_url, "zelvo", "protocol"), ProtocolHandler),
            (kernel_url_pattern(base_url, "view"), ViewPageHandler),
            (url_path_join(base_url, "zelvo") + "/", IndexPageHandler),
            (url_path_join(base_url, "zelvo"), web.RedirectHandler, {"url": "zelvo/"}),
            (
                url_path_join(base_url, "static", "zelvo", "(.*)"),
                FileFindHandler,
                {"path": STATIC_DIR},
            ),
        ],
    )
    settings = config.apply(serverapp)
    worker = Worker()
    _on_stop(serverapp, worker.close)
    watch_kernels(serverapp)
    observe(serverapp, settings, worker)
    reconcile_periodically(serverapp, settings.reconcile_interval)
    serverapp.log.info("zelvo: pipeline handlers registered under %szelvo/kernels/", base_url)
    # The port is known once the server listens, after the extensions load.
    serverapp.io_loop.add_callback(announce, serverapp)


def _on_stop(serverapp, stop):
    """Call ``stop()`` when the server stops, before its extensions' own hooks.

    The host calls stop hooks of extension applications only; a module like this one is
    told through the server's clean-up of its extensions.
    """
    cleanup = serverapp.cleanup_extensions

    async def cleanup_extensions():
        try:
            stop()
        finally:
            await cleanup()

    serverapp.cleanup_extensions = cleanup_extensions


# Older loaders look the function up without the leading underscore.
load_jupyter_server_extension = _load_jupyter_server_extension
