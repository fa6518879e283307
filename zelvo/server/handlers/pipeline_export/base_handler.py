"""Download of a kernel's pipeline as a JSON document, a script or a notebook."""

import json

from jupyter_server.auth.decorator import authorized
from jupyter_server.base.handlers import APIHandler
from tornado import web

from zelvo.server import registry
from zelvo.server.handlers import AUTH_RESOURCE, CODE_RESOURCE
from zelvo.server.handlers.pipeline_export import download


class BasePipelineExportHandler(APIHandler):
    """Serves ``GET <base_url>zelvo/kernels/<kernel_id>/export``.

    Query: ``format`` (json, the default, py or ipynb), ``ipynb_name`` (the
    notebook's file name) and ``cell_ids`` (repeated and/or comma-separated:
    the components to export, with their ancestors).  The whole pipeline as
    JSON is the document of ``_get_pipeline``, which subclasses provide; a
    selection and the other formats are made from the registered model
    (``download.py``, with the documents of ``zelvo_core.export``).
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

    def _kernel_metadata(self, kernel_id):
        return download.kernel_metadata(
            self.kernel_manager, self.kernel_spec_manager, kernel_id, self.log
        )

    @web.authenticated
    @authorized
    @authorized("read", resource=CODE_RESOURCE)
    async def get(self, kernel_id):
        try:
            query = download.parse_query(
                self.get_argument("format", ""),
                self.get_argument("ipynb_name", ""),
                self.get_arguments("cell_ids"),
            )
            text = await download.export(
                query, kernel_id, self._get_pipeline, self._registered_model, self._kernel_metadata
            )
        except download.Refused as refused:
            self.set_status(refused.status)
            self.finish(json.dumps({"message": refused.message}))
            return
        self.set_header("Content-Disposition", query.disposition)
        # A lone surrogate (valid in JSON, not in UTF-8) can only come from a component's
        # code in the script, where an escape keeps the meaning of a string literal.
        self.finish(text.encode("utf-8", "backslashreplace"), set_content_type=query.content_type)
