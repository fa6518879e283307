"""Download of a kernel's pipeline as a JSON document."""

import json
import os
import re
from urllib.parse import quote

from jupyter_server.auth.decorator import authorized
from jupyter_server.base.handlers import APIHandler
from tornado import web

AUTH_RESOURCE = "kernels"
DEFAULT_IPYNB_NAME = "pipeline.ipynb"
FALLBACK_STEM = "pipeline"
MAX_STEM_LENGTH = 200

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


def content_disposition(ipynb_name):
    """Return an attachment header naming ``<notebook stem>.json``.

    The plain ``filename`` keeps to a conservative ASCII set so that no
    quote, CR or LF reaches the header; a name with non-ASCII characters is
    also given percent-encoded in ``filename*``.
    """
    stem = _notebook_stem(ipynb_name)
    safe = _UNSAFE_FILENAME_CHARS.sub("_", stem).strip(" .")
    if not _ASCII_ALNUM.search(safe):
        safe = FALLBACK_STEM
    header = f'attachment; filename="{safe}.json"'
    if not stem.isascii():
        header += "; filename*=UTF-8''" + quote(f"{stem}.json", safe="")
    return header


class BasePipelineExportHandler(APIHandler):
    """Serves ``GET <base_url>zelvo/kernels/<kernel_id>/export``.

    Query: ``ipynb_name`` (the notebook's file name) and ``cell_ids``
    (repeated and/or comma-separated).  Subclasses provide ``_get_pipeline``.
    """

    auth_resource = AUTH_RESOURCE

    def _get_pipeline(self, kernel_id, cell_ids, ipynb_name):
        """Return ``(text, kind)``: kind "json" for a document, "error" for a message.

        Raise KeyError when no pipeline is registered for ``kernel_id``.
        """
        raise NotImplementedError

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

    @web.authenticated
    @authorized
    async def get(self, kernel_id):
        ipynb_name = self.get_argument("ipynb_name", "") or DEFAULT_IPYNB_NAME
        try:
            text, kind = self._get_pipeline(kernel_id, self._cell_ids(), ipynb_name)
        except KeyError:
            self._finish_json(
                404, {"message": f"No pipeline is registered for kernel {kernel_id}."}
            )
            return
        if kind == "json":
            self.set_header("Content-Disposition", content_disposition(ipynb_name))
            self.finish(text)
        elif kind == "error":
            self._finish_json(400, {"message": text})
        else:
            raise web.HTTPError(500, f"Unknown pipeline export kind {kind!r}")
