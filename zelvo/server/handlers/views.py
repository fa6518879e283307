"""The list of registered pipelines, and the pages that show them in a browser."""

from __future__ import annotations

import json
import os

import jinja2
from jupyter_server.auth.decorator import authorized
from jupyter_server.base.handlers import APIHandler, JupyterHandler
from tornado import web

from zelvo.server import registry
from zelvo.server.handlers import AUTH_RESOURCE
from zelvo_core import protocol
from zelvo_core.notebook import notebooks_of_kernels

HERE = os.path.dirname(os.path.abspath(__file__))
STATIC_DIR = os.path.join(os.path.dirname(HERE), "static")
TEMPLATE_DIR = os.path.join(os.path.dirname(HERE), "templates")

# Added to the host's own policy (unless the operator configured one): the
# pages load their scripts and styles from the server and nothing inline.
PAGE_POLICY = (
    "script-src 'self'",
    "style-src 'self'",
    "object-src 'none'",
    "base-uri 'none'",
)

# Autoescaped: the kernel id comes from the URL.
_templates = jinja2.Environment(
    loader=jinja2.FileSystemLoader(TEMPLATE_DIR), autoescape=True, auto_reload=False
)


async def notebooks(session_manager):
    """``{kernel id: notebook path}`` of the server's notebook sessions."""
    return notebooks_of_kernels(await session_manager.list_sessions())


def page_protocol():
    """The protocol's words the pages and the notebook's panel take from the server, so that no
    script writes them itself: the procedure and message statuses of a websocket message, the
    components' statuses in order with their words (and by name), and the close code after
    which a page does not reconnect."""
    words = protocol.STATUS_LABELS
    return {
        "procedure": protocol.PIPELINE_UPDATED,
        "message": {"successful": protocol.SUCCESSFUL, "failed": protocol.FAILED},
        "statuses": [[status, words[status]] for status in protocol.EXECUTION_STATUSES],
        "status": {
            "succeeded": protocol.SUCCEEDED,
            "failed": protocol.FAILED,
            "invalid": protocol.INVALID,
            "running": protocol.RUNNING,
            "not_run": protocol.NOT_RUN,
        },
        "component_types": list(protocol.COMPONENT_TYPES),
        "final_close": protocol.GOING_AWAY,
    }


def page_url(serverapp):
    """The index page's address as the server shows its own: the token in full only when the
    server generated it (one that came from the configuration is shown as "...")."""
    provider = serverapp.identity_provider
    url = serverapp.connection_url.rstrip("/") + "/zelvo/"
    if provider.token:
        url += "?token=" + (provider.token if provider.token_generated else "...")
    return url


def announce(serverapp):
    """Log where the pipelines are shown; called once the server listens."""
    serverapp.log.info("zelvo: the pipelines page: %s", page_url(serverapp))


class PipelineListHandler(APIHandler):
    """Serves ``GET <base_url>zelvo/kernels``: the registered pipelines."""

    auth_resource = AUTH_RESOURCE

    @web.authenticated
    @authorized
    async def get(self):
        paths = await notebooks(self.session_manager)
        self.set_header("Content-Type", "application/json")
        self.finish(json.dumps(registry.listing(self.kernel_manager, paths.get)))


class ProtocolHandler(APIHandler):
    """Serves ``GET <base_url>zelvo/protocol``: the words of ``page_protocol``, for scripts
    outside the extension's pages (the notebook's panel)."""

    auth_resource = AUTH_RESOURCE

    @web.authenticated
    @authorized
    def get(self):
        self.set_header("Content-Type", "application/json")
        self.finish(json.dumps(page_protocol()))


class PageHandler(JupyterHandler):
    """A page of the extension: an anonymous visitor is sent to the login page."""

    auth_resource = AUTH_RESOURCE
    template_name = ""

    @property
    def content_security_policy(self):
        policy = super().content_security_policy
        if "Content-Security-Policy" in self.settings.get("headers", {}):
            return policy
        return "; ".join((policy, *PAGE_POLICY))

    def render_page(self, **values):
        template = _templates.get_template(self.template_name)
        self.finish(
            template.render(
                base_url=self.base_url,
                static=self.base_url + "static/zelvo/",
                **values,
            )
        )


class IndexPageHandler(PageHandler):
    """Serves ``GET <base_url>zelvo/``: links to every registered pipeline."""

    template_name = "index.html"

    @web.authenticated
    @authorized
    def get(self):
        self.render_page()


class ViewPageHandler(PageHandler):
    """Serves ``GET <base_url>zelvo/kernels/<kernel_id>/view``: the live drawing."""

    template_name = "view.html"

    @web.authenticated
    @authorized
    async def get(self, kernel_id):
        if kernel_id not in self.kernel_manager:
            # Nothing would ever be relayed to it: say so rather than wait for updates.
            self.set_status(404)
            self.template_name = "missing.html"
            self.render_page(kernel_id=kernel_id)
            return
        # The page takes the protocol's words from this data alone.
        data = page_protocol()
        # The notebook is the page's title when the kernel's session names one.
        notebook = (await notebooks(self.session_manager)).get(kernel_id)
        self.render_page(kernel_id=kernel_id, protocol=data, notebook=notebook)
