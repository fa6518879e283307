"""The route ``<base_url>zelvo/kernels/<kernel_id>``: DAGHandler behind the host's checks."""

from http import HTTPStatus

from zelvo.server.handlers.flowsync import DAGHandler


class PipelineHandler(DAGHandler):
    """Serves the pipeline route; the methods are DAGHandler's own."""

    async def prepare(self):
        await super().prepare()
        if self._finished or self.current_user is None:
            # An anonymous request is refused by the methods' own authentication.
            return
        kernel_id = self.path_kwargs["kernel_id"]
        # A POST for a kernel this server does not run would be relayed and registered,
        # then dropped again by the clean-up, together with a cache folder that may belong to
        # another server sharing the runtime folder.
        if self.request.method == "POST" and kernel_id not in self.kernel_manager:
            self._finish_with_result(
                status_code=HTTPStatus.NOT_FOUND,
                result={"message": f"Kernel does not exist: {kernel_id}"},
            )
