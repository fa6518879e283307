"""Access against a real server, and a websocket that closes during a broadcast."""

import asyncio
import json
import urllib.parse
from http.cookies import SimpleCookie

from zelvo.server.handlers.ws_handler import ZelvoWebSocketHandler

PROBE = {"procedure": "cell:executed", "status": "successful", "msg": "ran", "successful": None}
NO_TOKEN = {"Authorization": ""}
SUCCESS = {"message": "Success."}


async def test_socket_closing_during_a_broadcast_does_not_stop_it(server, running_id):
    kernel_id = running_id()
    clients = [await server.connect(kernel_id) for _ in range(3)]
    first, closing, last = ZelvoWebSocketHandler.registry
    write = first.write_message

    def write_then_lose_the_next(message, binary=False):
        closing.ws_connection.stream.close()  # the client vanishes mid-broadcast
        return write(message, binary=binary)

    first.write_message = write_then_lose_the_next
    assert await server.post(kernel_id, PROBE) == (200, {"message": "Success."})
    for client in (clients[0], clients[2]):
        assert await asyncio.wait_for(client.read_message(), 10) == json.dumps(PROBE)
    assert await asyncio.wait_for(clients[1].read_message(), 10) is None
    del first.write_message
    assert await server.post(kernel_id, dict(PROBE, msg="again")) == (200, {"message": "Success."})
    for client in (clients[0], clients[2]):
        assert json.loads(await asyncio.wait_for(client.read_message(), 10))["msg"] == "again"
    assert ZelvoWebSocketHandler.registry == [first, last]
    for client in clients:
        client.close()


async def _login(jp_fetch, jp_serverapp):
    """The cookies of a browser that logged in with the token: login and _xsrf."""
    page = await jp_fetch("login", headers=NO_TOKEN)
    cookies = SimpleCookie()
    for header in page.headers.get_list("Set-Cookie"):
        cookies.load(header)
    xsrf = cookies["_xsrf"].value
    form = {"_xsrf": xsrf, "password": jp_serverapp.identity_provider.token}
    logged_in = await jp_fetch(
        "login",
        method="POST",
        body=urllib.parse.urlencode(form),
        headers={**NO_TOKEN, "Cookie": f"_xsrf={xsrf}"},
        follow_redirects=False,
        raise_error=False,
    )
    assert logged_in.code == 302
    for header in logged_in.headers.get_list("Set-Cookie"):
        cookies.load(header)
    return "; ".join(f"{name}={morsel.value}" for name, morsel in cookies.items()), xsrf


async def test_cookie_post_needs_the_xsrf_token_like_the_servers_own_api(
    jp_fetch, jp_serverapp, running_id
):
    cookie, xsrf = await _login(jp_fetch, jp_serverapp)
    kernel_id = running_id()

    async def send(*parts, body, **headers):
        headers = {**NO_TOKEN, "Cookie": cookie, **headers}
        return (
            await jp_fetch(*parts, method="POST", body=body, headers=headers, raise_error=False)
        ).code

    ours = ("zelvo", "kernels", kernel_id)
    assert await send(*ours, body=json.dumps(PROBE)) == 403
    assert await send("api", "kernels", body="{}") == 403  # the server's own API
    assert await send(*ours, body=json.dumps(PROBE), **{"X-XSRFToken": xsrf}) == 200
    # A read needs no XSRF token: the cookie is enough.
    got = await jp_fetch(*ours, headers={**NO_TOKEN, "Cookie": cookie}, raise_error=False)
    assert got.code == 400


async def test_client_that_falls_behind_is_closed_and_others_lose_nothing(
    server, running_id, jp_serverapp, monkeypatch, caplog
):
    from zelvo.server.config import QUEUE_LIMIT_SETTING

    monkeypatch.setitem(jp_serverapp.web_app.settings, QUEUE_LIMIT_SETTING, 1 << 20)
    kernel_id = running_id()
    # Listed first: closing it must not make the broadcast skip the next client.
    stalled = await server.connect(kernel_id)  # its frames are never asked for
    reading = await server.connect(kernel_id)
    behind = ZelvoWebSocketHandler.registry[0]
    received, sent = [], []

    async def read_all():
        while (text := await reading.read_message()) is not None:
            received.append(json.loads(text)["msg"])

    reader = asyncio.ensure_future(read_all())
    # Far more than the socket buffers and the limit take.
    while not behind.fell_behind:
        assert len(sent) < 2000, "the stalled client was never closed"
        sent.append(f"{len(sent)} " + "x" * 200_000)
        assert await server.post(kernel_id, dict(PROBE, msg=sent[-1])) == (200, SUCCESS)
    # At most the limit and one message stay queued for it.
    assert behind.queued <= (1 << 20) + 2 * len(json.dumps(dict(PROBE, msg=sent[-1])))
    assert [r.levelname for r in caplog.records if "fell behind" in r.getMessage()] == ["WARNING"]
    sent.append("after")
    assert await server.post(kernel_id, dict(PROBE, msg="after")) == (200, SUCCESS)
    late = []
    while (text := await asyncio.wait_for(stalled.read_message(), 30)) is not None:
        late.append(json.loads(text)["msg"])
    assert late == sent[: len(late)] and len(late) < len(sent) - 1
    assert (stalled.close_code, stalled.close_reason) == (
        1013,
        "The client fell behind the updates; reconnect with ?snapshot=1.",
    )
    for _ in range(600):  # bounded: a lost frame fails the test rather than hang it
        if len(received) >= len(sent):
            break
        await asyncio.sleep(0.05)
    assert received == sent
    reading.close()
    await reader
    stalled.close()
