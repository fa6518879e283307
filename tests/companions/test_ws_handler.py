import asyncio
import gc
import logging
import uuid

import pytest
import tornado.httpclient

from zelvo.server.handlers.ws_handler import ZelvoWebSocketHandler

registry = ZelvoWebSocketHandler.registry


def _problems(caplog):
    return [
        record.getMessage()
        for record in caplog.records
        if record.levelno >= logging.WARNING or "never retrieved" in record.getMessage()
    ]


async def _connect_all(jp_ws_fetch, wait_until, count):
    clients = []
    for _ in range(count):
        clients.append(await jp_ws_fetch("zelvo", "kernels", str(uuid.uuid4()), "ws"))
        await wait_until(lambda: len(registry) == len(clients))
    return clients


async def test_connection_is_listed_until_it_closes(zelvo_routes, jp_ws_fetch, wait_until):
    first, second = await _connect_all(jp_ws_fetch, wait_until, 2)
    kernel_ids = [handler.kernel_id for handler in registry]
    assert first.request.url.endswith(f"/{kernel_ids[0]}/ws")
    assert second.request.url.endswith(f"/{kernel_ids[1]}/ws")

    # Whatever a client sends is ignored and does not cost it the connection.
    await first.write_message("hello")
    await asyncio.sleep(0.1)
    registry[0].write_message("update")
    assert await first.read_message() == "update"

    first.close()
    await wait_until(lambda: [handler.kernel_id for handler in registry] == kernel_ids[1:])
    second.close()
    await wait_until(lambda: not registry)


REAL_TOKEN = "<the server's token>"


@pytest.mark.parametrize(
    ("authorization", "query_token", "accepted"),
    [
        ("", None, False),
        ("token wrong", None, False),
        ("", "wrong", False),
        ("", REAL_TOKEN, True),
    ],
)
async def test_token_is_required(
    zelvo_routes, jp_serverapp, jp_ws_fetch, wait_until, authorization, query_token, accepted
):
    params = {}
    if query_token is not None:
        real = jp_serverapp.identity_provider.token
        params["token"] = real if query_token == REAL_TOKEN else query_token
    connecting = jp_ws_fetch(
        "zelvo",
        "kernels",
        str(uuid.uuid4()),
        "ws",
        headers={"Authorization": authorization},
        params=params,
    )
    if accepted:
        client = await connecting
        await wait_until(lambda: len(registry) == 1)
        client.close()
        await wait_until(lambda: not registry)
    else:
        with pytest.raises(tornado.httpclient.HTTPClientError) as refused:
            await connecting
        assert refused.value.code == 403
        assert not registry


async def test_dead_client_does_not_stop_broadcast(zelvo_routes, jp_ws_fetch, wait_until, caplog):
    clients = await _connect_all(jp_ws_fetch, wait_until, 3)
    dead = registry[1]
    # The middle client vanishes before the server notices: it is still listed
    # while the broadcast runs.
    dead.ws_connection.stream.close()
    caplog.clear()

    for handler in registry:
        handler.write_message("broadcast")

    assert await clients[0].read_message() == "broadcast"
    assert await clients[2].read_message() == "broadcast"
    await wait_until(lambda: dead not in registry)
    assert await dead.write_message("after close") is None
    dead.on_close()
    assert len(registry) == 2
    for client in clients:
        client.close()
    await wait_until(lambda: not registry)
    gc.collect()
    assert _problems(caplog) == []


async def test_write_failing_after_it_started_is_silent(
    zelvo_routes, jp_ws_fetch, wait_until, caplog
):
    (client,) = await _connect_all(jp_ws_fetch, wait_until, 1)
    handler = registry[0]
    caplog.clear()

    # Far more than the socket buffers take, so the write is still pending
    # when the connection drops.
    pending = handler.write_message("x" * (64 << 20))
    assert not pending.done()
    handler.ws_connection.stream.close()

    assert await pending is None
    await wait_until(lambda: not registry)
    client.close()
    gc.collect()
    assert _problems(caplog) == []
