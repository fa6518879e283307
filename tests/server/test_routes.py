import asyncio
import json
import uuid

import pytest
import tornado.httpclient
from jupyter_server.auth import Authorizer

from zelvo.server.handlers import flowsync

PROBE = {"procedure": "cell:executed", "status": "successful", "msg": "", "successful": None}
NOT_AN_OBJECT = "The body of the request must be a JSON object."
SUCCESS = {"message": "Success."}
ROUTES = [("GET", ()), ("POST", ()), ("GET", ("export",)), ("WEBSOCKET", ("ws",))]


class Refusing(Authorizer):
    """Refuses the (action, resource) pairs in ``refused``; allows everything else."""

    refused = frozenset()

    async def is_authorized(self, handler, user, action, resource):
        return (action, resource) not in self.refused


@pytest.fixture()
def jp_server_config(jp_server_config):
    # As `--ServerApp.authorizer_class=...` sets it.
    return {"ServerApp": {**jp_server_config["ServerApp"], "authorizer_class": Refusing}}


@pytest.fixture()
def refuse(monkeypatch):
    return lambda action, resource="kernels": monkeypatch.setattr(
        Refusing, "refused", {(action, resource)}
    )


async def _status(jp_fetch, jp_ws_fetch, method, kernel_id, suffix, **kwargs):
    parts = ("zelvo", "kernels", kernel_id, *suffix)
    if method == "WEBSOCKET":
        try:
            (await jp_ws_fetch(*parts, **kwargs)).close()
        except tornado.httpclient.HTTPClientError as refused:
            return refused.code
        return 101
    body = json.dumps(PROBE) if method == "POST" else None  # relayed and answered 200 if let in
    return (await jp_fetch(*parts, method=method, body=body, raise_error=False, **kwargs)).code


@pytest.mark.parametrize("authorization", ["", "token not-the-token"])
@pytest.mark.parametrize(("method", "suffix"), ROUTES)
async def test_request_without_valid_token_is_refused(
    jp_fetch, jp_ws_fetch, method, suffix, authorization
):
    headers = {"Authorization": authorization}
    assert (
        await _status(jp_fetch, jp_ws_fetch, method, str(uuid.uuid4()), suffix, headers=headers)
        == 403
    )


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
        ("", NOT_AN_OBJECT),  # no body and a JSON array, as the host parses them
        ("[]", NOT_AN_OBJECT),
        # Numbers Python's parser takes and browsers' do not: refused before any relay.
        ('{"procedure": "other", "status": "successful", "successful": {"v": NaN}}', "NaN"),
        ('{"procedure": "other", "status": "successful", "x": [[1, -Infinity]]}', "-Infinity"),
        ('{"procedure": "pipeline:updated", "status": "successful", "msg": Infinity}', "Infinity"),
    ],
)
async def test_body_that_is_not_an_object_is_answered_400(server, running_id, body, message):
    kernel_id = running_id()
    listener = await server.connect(kernel_id)
    if message != NOT_AN_OBJECT:
        message = f"The body of the request must be a JSON object: {message} is not a JSON number."
    assert await server.post(kernel_id, body) == (400, {"message": message})
    # Text that only looks like one is a string, and passes.
    assert await server.post(kernel_id, dict(PROBE, msg="NaN, -Infinity")) == (200, SUCCESS)
    assert (
        json.loads(await asyncio.wait_for(listener.read_message(), 10))["msg"] == "NaN, -Infinity"
    )
    assert flowsync.dag_cabinet == {}
    listener.close()


class NoKernelsAuthorizer(Authorizer):
    def is_authorized(self, handler, user, action, resource):
        return resource != "kernels"


class NoContentsAuthorizer(Authorizer):
    def is_authorized(self, handler, user, action, resource):
        return resource != "contents"


@pytest.mark.parametrize(
    ("path", "content_type"),
    [
        ("zelvo/", "text/html"),
        ("zelvo/kernels/{}/view", "text/html"),
        ("zelvo/kernels", "json"),
        ("zelvo/protocol", "json"),
    ],
)
async def test_pages_and_list_follow_the_servers_login_and_authorization(
    jp_fetch, jp_serverapp, jp_base_url, monkeypatch, running_id, path, content_type
):
    ghost = path.format(uuid.uuid4())
    path = path.format(running_id())
    if ghost != path:  # the page of a kernel the server does not run says so
        missing = await jp_fetch(ghost, raise_error=False)
        assert missing.code == 404 and "text/html" in missing.headers["Content-Type"]
        assert "does not run kernel" in missing.body.decode()
    anonymous = await jp_fetch(
        path, headers={"Authorization": ""}, follow_redirects=False, raise_error=False
    )
    if path == "zelvo/":  # the index is also reached without the final slash
        bare = await jp_fetch("zelvo", follow_redirects=False, raise_error=False)
        assert bare.code == 301 and bare.headers["Location"] == "zelvo/"
    if content_type == "json":
        assert anonymous.code == 403
    else:  # like the server's own pages: to the login page, and back after it
        assert anonymous.code == 302
        assert anonymous.headers["Location"].startswith(f"{jp_base_url}login?next=")
    answer = await jp_fetch(path)
    assert content_type in answer.headers["Content-Type"]
    if content_type != "json":
        policy = answer.headers["Content-Security-Policy"]
        assert "frame-ancestors 'self'" in policy and "script-src 'self'" in policy
        assert f'src="{jp_base_url}static/zelvo/' in answer.body.decode()
    # The pages show the cells' code, the list does not.
    for refusing, code in [(NoContentsAuthorizer, 200 if content_type == "json" else 403),
                           (NoKernelsAuthorizer, 403)]:  # fmt: skip
        denied = refusing(parent=jp_serverapp, identity_provider=jp_serverapp.identity_provider)
        monkeypatch.setitem(jp_serverapp.web_app.settings, "authorizer", denied)
        assert (await jp_fetch(path, raise_error=False)).code == code


# The action refused on "kernels" (or on another resource): the status of each route, in the
# order of ROUTES. Reading lets in GET (no pipeline: 400), the export (404) and the websocket;
# writing lets in POST. What returns code also needs reading "contents".
REFUSALS = {
    "write": [400, 403, 404, 101],
    "read": [403, 200, 403, 403],
    "read contents": [403, 200, 403, 403],
}


@pytest.mark.parametrize("action", REFUSALS)
@pytest.mark.parametrize(
    "route", range(len(ROUTES)), ids=[" ".join(r[::-1][0] + (r[0],)) for r in ROUTES]
)
async def test_authorizer_is_asked_like_by_the_servers_kernel_api(
    jp_fetch, jp_ws_fetch, running_id, refuse, action, route
):
    refuse(*action.split())
    method, suffix = ROUTES[route]
    status = await _status(jp_fetch, jp_ws_fetch, method, running_id(), suffix)
    assert status == REFUSALS[action][route]


async def test_refused_post_reads_registers_and_relays_nothing(
    server, jp_fetch, running_id, refuse, updated
):
    kernel_id = running_id()
    listener = await server.connect(kernel_id)
    refuse("write")
    message = {"message": "User is not authorized to write on resource: kernels."}
    assert await server.post(kernel_id, updated([])) == (403, message)
    # The body is not even read: one that is not UTF-8 is refused alike.
    not_utf8 = await jp_fetch(
        "zelvo", "kernels", kernel_id, method="POST", body=b"\xff{", raise_error=False
    )
    assert (not_utf8.code, json.loads(not_utf8.body)) == (403, message)
    assert (
        await jp_fetch("api", "kernels", method="POST", body="{}", raise_error=False)
    ).code == 403
    assert flowsync.dag_cabinet == {}
    refuse("read")
    got = await server.get(kernel_id)
    assert (got.code, json.loads(got.body)) == (
        403,
        {"message": message["message"].replace("write", "read")},
    )
    refuse("read", "contents")  # the cells' code is the notebook's
    got = await server.get(kernel_id)
    assert (got.code, json.loads(got.body)) == (
        403,
        {"message": "User is not authorized to read on resource: contents."},
    )
    # The listener's first frame is what is posted once writing is allowed.
    allowed = dict(PROBE, msg="allowed")
    assert await server.post(kernel_id, allowed) == (200, {"message": "Success."})
    assert await asyncio.wait_for(listener.read_message(), 10) == json.dumps(allowed)
    listener.close()
