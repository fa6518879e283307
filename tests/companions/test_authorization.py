import uuid

import pytest
import tornado.httpclient
from jupyter_server.auth.authorizer import Authorizer

from zelvo.server.handlers.ws_handler import ZelvoWebSocketHandler


class NoKernelsAuthorizer(Authorizer):
    """Lets the user in but grants nothing on kernels."""

    def is_authorized(self, handler, user, action, resource):
        return resource != "kernels"


@pytest.fixture()
def jp_server_config():
    return {"ServerApp": {"authorizer_class": NoKernelsAuthorizer}}


async def test_user_without_kernel_access_is_refused(
    zelvo_routes, export_answers, jp_fetch, jp_ws_fetch
):
    kernel_id = str(uuid.uuid4())
    export_answers[kernel_id] = ("{}", "json")

    with pytest.raises(tornado.httpclient.HTTPClientError) as refused:
        await jp_ws_fetch("zelvo", "kernels", kernel_id, "ws")
    assert refused.value.code == 403
    assert not ZelvoWebSocketHandler.registry

    response = await jp_fetch("zelvo", "kernels", kernel_id, "export", raise_error=False)
    assert response.code == 403
    assert zelvo_routes == []
