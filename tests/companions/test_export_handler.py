import json
import uuid

import pytest
import tornado.httpclient
from jupyter_server.auth.authorizer import Authorizer

from zelvo.server.handlers.pipeline_export.base_handler import content_disposition
from zelvo.server.handlers.ws_handler import ZelvoWebSocketHandler

KERNEL_ID = str(uuid.uuid4())
DOCUMENT = json.dumps({"identifier": KERNEL_ID, "dag_info": []})


def _fetch_export(jp_fetch, params, **kwargs):
    return jp_fetch(
        "zelvo", "kernels", KERNEL_ID, "export", params=params, raise_error=False, **kwargs
    )


CELLS = [("cell_ids", "c1"), ("cell_ids", "c2,c3"), ("cell_ids", " c4 ,,")]


@pytest.mark.parametrize(
    ("params", "cell_ids", "ipynb_name", "filename"),
    [
        ([("ipynb_name", "")], [], "pipeline.ipynb", "pipeline.json"),
        (
            [("ipynb_name", "dir/My Analysis.ipynb")],
            [],
            "dir/My Analysis.ipynb",
            "My Analysis.json",
        ),
        (CELLS, ["c1", "c2", "c3", "c4"], "pipeline.ipynb", "pipeline.json"),
    ],
)
async def test_pipeline_is_offered_as_download(
    zelvo_routes, export_answers, jp_fetch, params, cell_ids, ipynb_name, filename
):
    export_answers[KERNEL_ID] = (DOCUMENT, "json")
    response = await _fetch_export(jp_fetch, params)
    assert zelvo_routes == [(KERNEL_ID, cell_ids, ipynb_name)]
    assert response.code == 200
    assert response.headers["Content-Type"] == "application/json"
    assert response.headers["Content-Disposition"] == f'attachment; filename="{filename}"'
    assert response.body.decode() == DOCUMENT


@pytest.mark.parametrize(
    ("answer", "headers", "code", "message"),
    [
        (("cell c9 is not in the pipeline", "error"), {}, 400, "cell c9 is not in the pipeline"),
        (None, {}, 404, f"No pipeline is registered for kernel {KERNEL_ID}."),
        ((DOCUMENT, "json"), {"Authorization": "token nope"}, 403, None),
    ],
)
async def test_refusals_are_json_messages(
    zelvo_routes, export_answers, jp_fetch, answer, headers, code, message
):
    if answer is not None:
        export_answers[KERNEL_ID] = answer
    response = await _fetch_export(jp_fetch, [("cell_ids", "c9")], headers=headers)
    assert response.code == code
    assert response.headers["Content-Type"] == "application/json"
    assert "Content-Disposition" not in response.headers
    if message is None:
        assert zelvo_routes == []
    else:
        assert json.loads(response.body) == {"message": message}


@pytest.mark.parametrize(
    ("ipynb_name", "filename"),
    [
        ("../../etc/passwd.ipynb", '"passwd.json"'),
        ("C:\\work\\run.IPYNB", '"run.json"'),
        ("analysis", '"analysis.json"'),
        (".ipynb", '"pipeline.json"'),
        ("...", '"pipeline.json"'),
        ('a"b.ipynb', '"a_b.json"'),
        ('x"\r\nX-Injected: 1\x00;.ipynb', '"x_X-Injected_ 1_.json"'),
        ("データ.ipynb", "\"pipeline.json\"; filename*=UTF-8''%E3%83%87%E3%83%BC%E3%82%BF.json"),
    ],
)
def test_download_name_is_sanitised(ipynb_name, filename):
    assert content_disposition(ipynb_name) == f"attachment; filename={filename}"


class NoKernelsAuthorizer(Authorizer):
    """Lets the user in but grants nothing on kernels."""

    def is_authorized(self, handler, user, action, resource):
        return resource != "kernels"


@pytest.mark.parametrize(
    "jp_server_config", [{"ServerApp": {"authorizer_class": NoKernelsAuthorizer}}]
)
async def test_user_without_kernel_access_is_refused(
    zelvo_routes, export_answers, jp_fetch, jp_ws_fetch
):
    export_answers[KERNEL_ID] = ("{}", "json")
    with pytest.raises(tornado.httpclient.HTTPClientError) as refused:
        await jp_ws_fetch("zelvo", "kernels", KERNEL_ID, "ws")
    assert refused.value.code == 403 and not ZelvoWebSocketHandler.registry
    assert (await _fetch_export(jp_fetch, [])).code == 403
    assert zelvo_routes == []
