import json
import uuid

import pytest
import tornado.httpclient

BODY = {"procedure": "pipeline:updated", "status": "successful", "msg": "", "successful": None}
NOT_AN_OBJECT = "The body of the request must be a JSON object."
ROUTES = [("GET", ()), ("POST", ()), ("GET", ("export",)), ("WEBSOCKET", ("ws",))]


async def _status(jp_fetch, jp_ws_fetch, method, kernel_id, suffix, **kwargs):
    if method == "WEBSOCKET":
        try:
            client = await jp_ws_fetch("zelvo", "kernels", kernel_id, *suffix, **kwargs)
        except tornado.httpclient.HTTPClientError as refused:
            return refused.code
        client.close()
        return 101
    # A message that would be relayed and answered 200 if it got through.
    body = json.dumps({**BODY, "procedure": "cell:executed"})
    response = await jp_fetch(
        "zelvo",
        "kernels",
        kernel_id,
        *suffix,
        method=method,
        body=body if method == "POST" else None,
        raise_error=False,
        **kwargs,
    )
    return response.code


@pytest.mark.parametrize("authorization", ["", "token not-the-token"])
@pytest.mark.parametrize(("method", "suffix"), ROUTES)
async def test_request_without_valid_token_is_refused(
    jp_fetch, jp_ws_fetch, method, suffix, authorization
):
    kernel_id = str(uuid.uuid4())
    headers = {"Authorization": authorization}
    status = await _status(jp_fetch, jp_ws_fetch, method, kernel_id, suffix, headers=headers)
    assert status == 403


# Ids that the host's kernel id pattern refuses: they never reach a handler.
@pytest.mark.parametrize(
    "kernel_id", ["not-a-kernel", "a-b-c-d-e-f", "..-b-c-d-e", "a-b-c-d-e/.."]
)
@pytest.mark.parametrize(("method", "suffix"), ROUTES)
async def test_kernel_id_outside_the_pattern_matches_no_route(
    jp_fetch, jp_ws_fetch, method, suffix, kernel_id
):
    assert await _status(jp_fetch, jp_ws_fetch, method, kernel_id, suffix) == 404


async def test_routes_live_under_the_base_url(
    jp_base_url, jp_fetch, http_server_client, jp_auth_header
):
    kernel_id = str(uuid.uuid4())
    under_base = await jp_fetch("zelvo", "kernels", kernel_id, raise_error=False)
    assert under_base.code == 400
    assert json.loads(under_base.body) == {"message": f"Cannot get dag data in {kernel_id}."}
    assert jp_base_url != "/"
    at_root = await http_server_client.fetch(
        f"/zelvo/kernels/{kernel_id}", headers=jp_auth_header, raise_error=False
    )
    assert at_root.code == 404


@pytest.mark.parametrize(
    ("body", "message"),
    [
        ("", NOT_AN_OBJECT),
        ("[]", NOT_AN_OBJECT),
        (
            {key: value for key, value in BODY.items() if key != "status"},
            "status is required in the body of the request.",
        ),
        ({"msg": "", "successful": None}, "procedure is required in the body of the request."),
        ({**BODY, "procedure": 5}, "procedure must be a string or null."),
        ({**BODY, "msg": ["text"]}, "msg must be a string or null."),
        ({**BODY, "successful": []}, "successful must be an object or null."),
    ],
)
async def test_bad_body_is_answered_400(post, body, message):
    assert await post(str(uuid.uuid4()), body) == (400, {"message": message})
