"""The download of a pipeline's export: the query, the refusals, the kernel's metadata and
the download's name. The documents themselves are rendered by ``zelvo_core.export``; the
handler only reads the query's arguments and answers what is made here.
"""

import asyncio
import inspect
import os
import re
from typing import NamedTuple
from urllib.parse import quote

from tornado import web

from zelvo_core import protocol
from zelvo_core.export import FALLBACK_KERNELSPEC, UnknownComponentError, render

DEFAULT_IPYNB_NAME = "pipeline.ipynb"
FALLBACK_STEM = "pipeline"
MAX_STEM_LENGTH = 200
MAX_IDS_NAMED = 10
MAX_FORMAT_ECHOED = 40
# What the native _get_pipeline answers for a pipeline without components.
NO_COMPONENTS = (protocol.NO_COMPONENTS, "error")
# How long an ipynb export waits for the kernel to tell its language; a busy kernel answers
# late, and then the spec's language with the defaults of zelvo_core.export stands in.
KERNEL_INFO_TIMEOUT = 2.0


class Refused(Exception):
    """An export that is not made: the status and the message of the answer."""

    def __init__(self, status, message):
        super().__init__(status, message)
        self.status = status
        self.message = message


class Query(NamedTuple):
    """An export's query: the format, the selected component ids and the notebook's name."""

    format: str
    cell_ids: list
    ipynb_name: str

    @property
    def content_type(self):
        return protocol.EXPORT_FORMATS[self.format][1]

    @property
    def disposition(self):
        """The Content-Disposition header of the download."""
        return content_disposition(self.ipynb_name, protocol.EXPORT_FORMATS[self.format][0])


def parse_query(export_format, ipynb_name, cell_id_arguments):
    """The query from the raw ``format`` and ``ipynb_name`` arguments and the ``cell_ids`` ones.

    ``cell_ids`` may be repeated and each may be comma-separated; empty ids are dropped.
    Raise Refused (400) for an unknown format.
    """
    export_format = export_format or protocol.DEFAULT_EXPORT_FORMAT
    if export_format not in protocol.EXPORT_FORMATS:
        shown = export_format[:MAX_FORMAT_ECHOED]
        formats = ", ".join(protocol.EXPORT_FORMATS)
        raise Refused(400, f"Unknown format {shown!r}: use one of {formats}.")
    cell_ids = [
        cell_id.strip()
        for argument in cell_id_arguments
        for cell_id in argument.split(",")
        if cell_id.strip()
    ]
    return Query(export_format, cell_ids, ipynb_name or DEFAULT_IPYNB_NAME)


async def export(query, kernel_id, document, model, kernel_metadata):
    """The text of the download ``query`` asks for of ``kernel_id``'s pipeline.

    The whole pipeline as JSON is ``document(kernel_id, cell_ids, ipynb_name)``, a
    ``(text, kind)`` pair (kind "json", or "error" with a message); everything else is
    rendered from ``model(kernel_id)``, the registered model, the notebook with the
    kernelspec and language_info that ``await kernel_metadata(kernel_id)`` gives.  Both
    raise KeyError for a kernel without a pipeline.  Raise Refused for what is answered
    with a message.
    """
    try:
        if query.format == protocol.JSON and not query.cell_ids:
            text, kind = document(kernel_id, query.cell_ids, query.ipynb_name)
        else:
            registered = model(kernel_id)
            text, kind = (None, "model") if registered.graph.components else NO_COMPONENTS
    except KeyError:
        raise Refused(404, f"No pipeline is registered for kernel {kernel_id}.") from None
    if kind == "error":
        raise Refused(400, text)
    if kind == "json":
        return text
    if kind != "model":
        raise web.HTTPError(500, f"Unknown pipeline export kind {kind!r}")
    metadata = await kernel_metadata(kernel_id) if query.format == protocol.NOTEBOOK else None
    try:
        return render(registered, query.format, query.cell_ids, metadata)
    except UnknownComponentError as unknown:
        raise Refused(400, _unknown_ids_message(unknown.ids)) from None


def _unknown_ids_message(ids):
    named = ", ".join(repr(ident) for ident in ids[:MAX_IDS_NAMED])
    if len(ids) > MAX_IDS_NAMED:
        named += f" and {len(ids) - MAX_IDS_NAMED} more"
    return f"cell_ids names components that are not in the pipeline: {named}"


# What a download name keeps of the notebook's name.
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


async def kernel_metadata(kernel_manager, kernel_spec_manager, kernel_id, log):
    """The notebook metadata of a kernel: ``{"kernelspec": ..., "language_info": ...}``.

    The kernelspec (name, display_name, language) comes from the kernel's spec, the
    language_info from the kernel's own kernel_info reply; a kernel that no longer runs,
    or whose spec cannot be read, gives a Python 3 kernel's, and one that does not answer
    in time gives the spec's language (with the usual fields for Python).
    """
    try:
        if kernel_id not in kernel_manager:
            return {"kernelspec": FALLBACK_KERNELSPEC}
        kernel = kernel_manager.get_kernel(kernel_id)
        spec = kernel_spec_manager.get_kernel_spec(kernel.kernel_name)
        if inspect.isawaitable(spec):  # the gateway's manager is asynchronous
            spec = await spec
        kernelspec = {
            "name": kernel.kernel_name,
            "display_name": spec.display_name,
            "language": spec.language,
        }
    except Exception:
        log.debug("zelvo: no kernel spec for the export, using Python 3", exc_info=True)
        return {"kernelspec": FALLBACK_KERNELSPEC}
    try:
        told = await asyncio.wait_for(_kernel_language_info(kernel), KERNEL_INFO_TIMEOUT)
    except Exception:
        log.debug("zelvo: no kernel_info reply for the export", exc_info=True)
        told = {}
    return {"kernelspec": kernelspec, "language_info": told}


async def _kernel_language_info(kernel):
    """The language_info of a running kernel's kernel_info reply (through its own client)."""
    client = kernel.client()
    try:
        started = client.start_channels()
        if inspect.isawaitable(started):  # the gateway's client connects asynchronously
            await started
        reply = client.kernel_info(reply=True, timeout=KERNEL_INFO_TIMEOUT)
        if inspect.isawaitable(reply):
            reply = await reply
    finally:
        client.stop_channels()
    told = reply["content"].get("language_info")
    return told if isinstance(told, dict) else {}
