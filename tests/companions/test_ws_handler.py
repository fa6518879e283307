import asyncio
import gc
import logging

import pytest
import tornado.httpclient

from zelvo.server.handlers.ws_handler import ZelvoWebSocketHandler

registry = ZelvoWebSocketHandler.registry


async def _connect_all(jp_ws_fetch, wait_until, running_id, count):
    clients = []
    for _ in range(count):
        clients.append(await jp_ws_fetch("zelvo", "kernels", running_id(), "ws"))
        await wait_until(lambda: len(registry) == len(clients))
    return clients


async def test_connection_is_listed_until_it_closes(
    zelvo_routes, jp_ws_fetch, wait_until, running_id
):
    first, second = await _connect_all(jp_ws_fetch, wait_until, running_id, 2)
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


@pytest.mark.parametrize("right", [False, True])
async def test_query_token_is_checked(
    zelvo_routes, jp_serverapp, jp_ws_fetch, wait_until, running_id, right
):
    token = jp_serverapp.identity_provider.token if right else "wrong"
    parts = ("zelvo", "kernels", running_id(), "ws")
    connecting = jp_ws_fetch(*parts, headers={"Authorization": ""}, params={"token": token})
    if right:
        (await connecting).close()
        await wait_until(lambda: not registry)
    else:
        with pytest.raises(tornado.httpclient.HTTPClientError) as refused:
            await connecting
        assert refused.value.code == 403 and not registry


async def test_write_failing_after_it_started_is_silent(
    zelvo_routes, jp_ws_fetch, wait_until, running_id, caplog
):
    (client,) = await _connect_all(jp_ws_fetch, wait_until, running_id, 1)
    handler = registry[0]
    caplog.clear()
    # Far more than the socket buffers take: the write is still pending when the connection drops.
    pending = handler.write_message("x" * (64 << 20))
    assert not pending.done()
    handler.ws_connection.stream.close()
    assert await pending is None
    await wait_until(lambda: not registry)
    client.close()
    gc.collect()
    found = [r.getMessage() for r in caplog.records]
    assert [m for m, r in zip(found, caplog.records) if r.levelno >= logging.WARNING] == []
    assert not [m for m in found if "never retrieved" in m]
