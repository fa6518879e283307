"""Download of a kernel's pipeline as a JSON document, a script or a notebook."""

import inspect
import json
import os
import re
from urllib.parse import quote

from jupyter_server.auth.decorator import authorized
from jupyter_server.base.handlers import APIHandler
from tornado import web

from zelvo.server import registry
from zelvo.server.handlers import AUTH_RESOURCE
from zelvo.server.misc.export import (
    UnknownComponentError,
    notebook,
    parents_first,
    percent_script,
    with_ancestors,
)
from zelvo_core import protocol

DEFAULT_IPYNB_NAME = "pipeline.ipynb"
FALLBACK_STEM = "pipeline"
MAX_STEM_LENGTH = 200
DEFAULT_FORMAT = protocol.DEFAULT_EXPORT_FORMAT
FORMATS = protocol.EXPORT_FORMATS
# The kernel of a pipeline whose kernel no longer runs, or whose spec cannot be read.
FALLBACK_KERNELSPEC = {"name": "python3", "display_name": "Python 3", "language": "python"}
# What _get_pipeline answers for a pipeline without components.
NO_COMPONENTS = (protocol.NO_COMPONENTS, "error")
MAX_IDS_NAMED = 10
MAX_FORMAT_ECHOED = 40

_CONTROL_CHARS = re.compile(r"[\x00-\x1f\x7f]")
_UNSAFE_FILENAME_CHARS = re.compile(r"[^A-Za-z0-9._ ()-]+")
_ASCII_ALNUM = re.compile(r"[A-Za-z0-9]")


def _notebook_stem(ipynb_name):
    name = _CONTROL_CHARS.sub("", ipynb_name)
    name = name.replace("\\", "/").rsplit("/", 1)[-1]
    if name.lower().endswith(".ipynb"):
        name = name[: -len(".ipynb")]
    else:
        name = os.path.splitext(name)[0]
    return name.strip()[:MAX_STEM_LENGTH]


def content_disposition(ipynb_name, ending=".json"):
    """Return an attachment header naming ``<notebook stem><ending>``.

    The plain ``filename`` keeps to a conservative ASCII set so that no
    quote, CR or LF reaches the header; a name with non-ASCII characters is
    also given percent-encoded in ``filename*``.
    """
    stem = _notebook_stem(ipynb_name)
    safe = _UNSAFE_FILENAME_CHARS.sub("_", stem).strip(" .")
    if not _ASCII_ALNUM.search(safe):
        safe = FALLBACK_STEM
    header = f'attachment; filename="{safe}{ending}"'
    if not stem.isascii():
        header += "; filename*=UTF-8''" + quote(f"{stem}{ending}", safe="")
    return header


def _unknown_ids_message(ids):
    named = ", ".join(repr(ident) for ident in ids[:MAX_IDS_NAMED])
    if len(ids) > MAX_IDS_NAMED:
        named += f" and {len(ids) - MAX_IDS_NAMED} more"
    return f"cell_ids names components that are not in the pipeline: {named}"


def render(model, export_format, cell_ids=(), kernelspec=None):
    """Return a pipeline model's export as text in ``export_format``.

    ``cell_ids`` selects components together with their ancestors (all when
    empty).  The JSON document keeps pipeline order; the script and the
    notebook list parents first, the notebook for ``kernelspec`` (a Python 3
    kernel when None).  Raise UnknownComponentError for a selected id that is
    not in the pipeline.
    """
    components = list(model.graph.components.values())
    if cell_ids:
        components = with_ancestors(components, cell_ids)
    if export_format == "json":
        document = model.to_zelvo_dict(include_captured=False)
        if len(components) < len(document["dag_info"]):
            selected = {component.id for component in components}
            document["dag_info"] = [c for c in document["dag_info"] if c["id"] in selected]
        return json.dumps(document)
    components = parents_first(components)
    if export_format == "py":
        return percent_script(components)
    if export_format == "ipynb":
        return notebook(components, kernelspec or FALLBACK_KERNELSPEC)
    raise ValueError(f"unknown export format {export_format!r}")


class BasePipelineExportHandler(APIHandler):
    """Serves ``GET <base_url>zelvo/kernels/<kernel_id>/export``.

    Query: ``format`` (json, the default, py or ipynb), ``ipynb_name`` (the
    notebook's file name) and ``cell_ids`` (repeated and/or comma-separated:
    the components to export, with their ancestors).  The whole pipeline as
    JSON is the document of ``_get_pipeline``, which subclasses provide; a
    selection and the other formats are made from the registered model.
    """

    auth_resource = AUTH_RESOURCE

    def _get_pipeline(self, kernel_id, cell_ids, ipynb_name):
        """Return ``(text, kind)``: kind "json" for a document, "error" for a message.

        Raise KeyError when no pipeline is registered for ``kernel_id``.
        """
        raise NotImplementedError

    def _registered_model(self, kernel_id):
        """The kernel's registered pipeline model; KeyError when there is none."""
        model = registry.get(kernel_id)
        if model is None:
            raise KeyError(kernel_id)
        return model

    def _cell_ids(self):
        return [
            cell_id.strip()
            for argument in self.get_arguments("cell_ids")
            for cell_id in argument.split(",")
            if cell_id.strip()
        ]

    def _finish_json(self, status, payload):
        self.set_status(status)
        self.finish(json.dumps(payload))

    async def _kernelspec(self, kernel_id):
        """name, display_name and language of the kernel's spec, else a Python 3 one."""
        try:
            if kernel_id not in self.kernel_manager:
                return FALLBACK_KERNELSPEC
            name = self.kernel_manager.get_kernel(kernel_id).kernel_name
            spec = self.kernel_spec_manager.get_kernel_spec(name)
            if inspect.isawaitable(spec):  # the gateway's manager is asynchronous
                spec = await spec
            return {"name": name, "display_name": spec.display_name, "language": spec.language}
        except Exception:
            self.log.debug("zelvo: no kernel spec for the export, using Python 3", exc_info=True)
            return FALLBACK_KERNELSPEC

    @web.authenticated
    @authorized
    async def get(self, kernel_id):
        export_format = self.get_argument("format", "") or DEFAULT_FORMAT
        if export_format not in FORMATS:
            shown = export_format[:MAX_FORMAT_ECHOED]
            formats = ", ".join(FORMATS)
            self._finish_json(400, {"message": f"Unknown format {shown!r}: use one of {formats}."})
            return
        ipynb_name = self.get_argument("ipynb_name", "") or DEFAULT_IPYNB_NAME
        cell_ids = self._cell_ids()
        ending, content_type = FORMATS[export_format]
        try:
            if export_format == "json" and not cell_ids:
                text, kind = self._get_pipeline(kernel_id, cell_ids, ipynb_name)
            else:
                model = self._registered_model(kernel_id)
                text, kind = (None, "model") if model.graph.components else NO_COMPONENTS
        except KeyError:
            self._finish_json(
                404, {"message": f"No pipeline is registered for kernel {kernel_id}."}
            )
            return
        if kind == "error":
            self._finish_json(400, {"message": text})
            return
        if kind == "model":
            kernelspec = await self._kernelspec(kernel_id) if export_format == "ipynb" else None
            try:
                text = render(model, export_format, cell_ids, kernelspec)
            except UnknownComponentError as unknown:
                self._finish_json(400, {"message": _unknown_ids_message(unknown.ids)})
                return
        elif kind != "json":
            raise web.HTTPError(500, f"Unknown pipeline export kind {kind!r}")
        self.set_header("Content-Disposition", content_disposition(ipynb_name, ending))
        # A lone surrogate (valid in JSON, not in UTF-8) can only come from a component's
        # code in the script, where an escape keeps the meaning of a string literal.
        self.finish(text.encode("utf-8", "backslashreplace"), set_content_type=content_type)
