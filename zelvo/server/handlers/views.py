"""The list of registered pipelines, and the pages that show them in a browser."""

from __future__ import annotations

import json
import os
from urllib.parse import quote

import jinja2
from jupyter_server.auth.decorator import authorized
from jupyter_server.base.handlers import APIHandler, JupyterHandler
from tornado import web

from zelvo.server import registry
from zelvo.server.handlers import AUTH_RESOURCE, CODE_RESOURCE
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
        "glyphs": STATUS_GLYPHS,
        "final_close": protocol.GOING_AWAY,
    }


# The word-less signs shown beside each status's word and colour, so that a status is told
# apart without its colour.
STATUS_GLYPHS = {
    protocol.SUCCEEDED: "✓",
    protocol.FAILED: "✗",
    protocol.INVALID: "↻",
    protocol.RUNNING: "▶",
    protocol.NOT_RUN: "○",
}


def notebook_route(serverapp):
    """Where the server's front end opens a notebook, relative to base_url: JupyterLab's
    ``lab/tree/``, or Notebook 7's ``notebooks/`` when that is the app the server opens on (or
    the only one loaded); None without either."""
    manager = getattr(serverapp, "extension_manager", None)
    extensions = getattr(manager, "extensions", {}) if manager is not None else {}

    def loaded(name):
        package = extensions.get(name)
        return package is not None and getattr(package, "enabled", False)

    lab, classic = loaded("jupyterlab"), loaded("notebook")
    default = str(getattr(serverapp, "default_url", "") or "")
    if classic and (not lab or default.startswith(("/tree", "/notebooks"))):
        return "notebooks/"
    return "lab/tree/" if lab else None


def notebook_link(serverapp, base_url, path):
    """The address that opens the notebook at ``path`` (untrusted: every segment is quoted),
    or None."""
    route = notebook_route(serverapp)
    if route is None or not path:
        return None
    segments = path.split("/")
    # A browser resolves dot segments (quoted or not): such a path could leave the route.
    if any(segment in ("", ".", "..") for segment in segments):
        return None
    return base_url + route + "/".join(quote(segment, safe="") for segment in segments)


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
    @authorized("read", resource=CODE_RESOURCE)
    def get(self):
        self.render_page(
            protocol=page_protocol(), notebook_route=notebook_route(self.serverapp) or ""
        )


class ViewPageHandler(PageHandler):
    """Serves ``GET <base_url>zelvo/kernels/<kernel_id>/view``: the live drawing."""

    template_name = "view.html"

    @web.authenticated
    @authorized
    @authorized("read", resource=CODE_RESOURCE)
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
        self.render_page(
            kernel_id=kernel_id,
            protocol=data,
            notebook=notebook,
            notebook_link=notebook_link(self.serverapp, self.base_url, notebook),
            # For a notebook's side panel: the drawing and compact controls only.
            embed=self.get_query_argument("embed", "") == "1",
        )
