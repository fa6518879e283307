"""The route of a kernel's pipeline: DAGHandler behind the server's authorizer and kernels."""

import json
from http import HTTPStatus

from jupyter_core.utils import ensure_async
from jupyter_server.auth.utils import HTTP_METHOD_TO_AUTH_ACTION

from zelvo.server import registry
from zelvo.server.handlers import AUTH_RESOURCE, CODE_RESOURCE
from zelvo.server.handlers.flowsync import DAGHandler
from zelvo_core import protocol


class _NotJSON(ValueError):
    pass


def _refuse(constant):
    raise _NotJSON(constant)


def non_json_number(body):
    """The first of NaN, Infinity, -Infinity that ``body`` holds as a value, or None.

    Python's parser takes them, browsers' and most others' do not; the native handler parses
    the body as Python does.  Text that is not JSON otherwise is left to the handler.
    """
    if b"NaN" not in body and b"Infinity" not in body:
        return None
    try:
        json.loads(body, parse_constant=_refuse)
    except _NotJSON as found:
        return str(found)
    except (ValueError, RecursionError):
        return None
    return None


class PipelineHandler(DAGHandler):
    """Serves ``<base_url>zelvo/kernels/<kernel_id>``: GET reads, POST writes the pipeline.

    A pipeline is kernel state, so the route asks the authorizer as the server's own kernel
    API does: "read" on "kernels" for a GET, "write" for a POST.  A GET returns the cells'
    code, so it also asks for "read" on "contents".  The methods are DAGHandler's own.
    """

    auth_resource = AUTH_RESOURCE

    async def prepare(self):
        await super().prepare()
        # An anonymous request is left to the methods' tornado.web.authenticated.
        if self._finished or not self.current_user:
            return
        action = HTTP_METHOD_TO_AUTH_ACTION.get(self.request.method, "write")
        resources = [self.auth_resource]
        if self.request.method == "GET":
            resources.append(CODE_RESOURCE)
        for resource in resources:
            authorized = await ensure_async(
                self.authorizer.is_authorized(self, self.current_user, action, resource)
            )
            if not authorized:
                # Answered before anything of the request is read, registered or relayed.
                message = f"User is not authorized to {action} on resource: {resource}."
                self._finish_with_result(HTTPStatus.FORBIDDEN, {"message": message})
                return
        kernel_id = self.path_kwargs["kernel_id"]
        # A POST for a kernel this server does not run would be relayed and registered,
        # then dropped again by the clean-up, together with a cache folder that may belong to
        # another server sharing the runtime folder.
        if self.request.method == "POST" and kernel_id not in self.kernel_manager:
            message = protocol.KERNEL_NOT_FOUND.format(kernel_id=kernel_id)
            self._finish_with_result(HTTPStatus.NOT_FOUND, {"message": message})
            return
        constant = non_json_number(self.request.body) if self.request.method == "POST" else None
        if constant is not None:
            message = protocol.NOT_JSON_NUMBER.format(constant=constant)
            self._finish_with_result(HTTPStatus.BAD_REQUEST, {"message": message})

    def _remove_unused_kernels_on_cabinet(self):
        # The clean-up after a relayed POST forgets stopped kernels as every other way does,
        # so that only the server that ran a kernel removes its cache folder.
        registry.reconcile(self.kernel_manager.list_kernel_ids())
