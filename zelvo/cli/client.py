"""The server the command line talks to: where it is, its token, and its answers."""

from __future__ import annotations

import asyncio
import http.client
import json
import os
import re
import socket
import ssl
import warnings
from urllib.parse import quote, urlencode, urlsplit

from tornado import httpclient, httputil
from tornado.httpclient import HTTPClientError, HTTPRequest
from tornado.iostream import StreamClosedError
from tornado.util import TimeoutError as ConnectTimeout
from tornado.websocket import WebSocketClientConnection, WebSocketError, WebSocketProtocol13

TOKEN_VARIABLE = "JUPYTER_TOKEN"
# The largest answer read from a server, and the largest websocket message.
MAX_ANSWER = 256 * 2**20
# What a terminal must not receive from the server's text: control characters.
_CONTROL = re.compile(r"[\x00-\x1f\x7f-\x9f]")
# The same, but for text whose lines and indentation a terminal shows as they are.
_CONTROL_IN_TEXT = re.compile(r"[\x00-\x08\x0b-\x1f\x7f-\x9f]")


class CommandError(Exception):
    """A failure the user can act on; its text is the one line they see.

    ``status`` is the HTTP status of a server's refusal that carried a message.
    """

    def __init__(self, text, status=None):
        super().__init__(text)
        self.status = status


def printable(text):
    """``text`` with control characters escaped, safe to write to a terminal."""
    return _CONTROL.sub(lambda match: repr(match.group())[1:-1], str(text))


def printable_text(text):
    """``text`` with control characters other than newlines and tabs escaped."""
    return _CONTROL_IN_TEXT.sub(lambda match: repr(match.group())[1:-1], text)


class Answer:
    """A server's complete answer: status code, reason, headers and body."""

    def __init__(self, code, reason, headers, body):
        self.code, self.reason, self.headers, self.body = code, reason, headers, body


def running_servers():
    """The servers recorded in Jupyter's runtime directory, as `jupyter server list` shows."""
    # Importing the server application pulls in modules that warn about their
    # own deprecated imports; that is no news for a user of this command.
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        from jupyter_server.serverapp import list_running_servers

        return [info for info in list_running_servers() if info.get("url")]


def _same_server(url, info):
    def key(address):
        parts = urlsplit(address)
        return (parts.scheme, parts.hostname, parts.port, parts.path.rstrip("/"))

    return key(url) == key(info["url"])


def locate(url=None, token=None):
    """Return ``(base_url, token)``: the options, else JUPYTER_TOKEN, else a running server."""
    if token is None:
        token = os.environ.get(TOKEN_VARIABLE) or None
    if url is None:
        servers = running_servers()
        if not servers:
            raise CommandError(
                "no running Jupyter server found; start one or give its address with --url"
            )
        if len(servers) > 1:
            urls = ", ".join(printable(info["url"]) for info in servers)
            raise CommandError(f"several Jupyter servers are running ({urls}); choose with --url")
        url = servers[0]["url"]
        if token is None:
            token = servers[0].get("token") or None
    elif token is None:
        token = next(
            (info.get("token") for info in running_servers() if _same_server(url, info)), None
        )
    parts = urlsplit(url)
    if parts.scheme not in ("http", "https") or not parts.hostname:
        raise CommandError(f"--url must be an http:// or https:// address, not {printable(url)}")
    return url.rstrip("/") + "/", token


def _message(body):
    try:
        message = json.loads(body)["message"]
    except (ValueError, TypeError, KeyError):
        return None
    return message if isinstance(message, str) and message else None


class Server:
    """A Jupyter Server with the zelvo extension, at ``base_url``."""

    def __init__(self, base_url, token, timeout):
        self.base_url = base_url
        self.token = token
        self.timeout = timeout

    def close(self):
        """Nothing is kept open between requests."""

    def url(self, *parts, scheme=None, **query):
        path = "/".join(quote(part, safe="") for part in parts)
        url = self.base_url + path
        if scheme is not None:
            url = scheme + url[url.index(":") :]
        pairs = [(key, value) for key, values in query.items() for value in values]
        return f"{url}?{urlencode(pairs)}" if pairs else url

    def _headers(self):
        return {"Authorization": f"token {self.token}"} if self.token else {}

    def _refusal(self, code, reason, body, what):
        """The CommandError for an answer other than 2xx."""
        message = _message(body)
        if code in (401, 403):
            hint = "give --token or set JUPYTER_TOKEN" if not self.token else "check --token"
            return CommandError(f"the server refused the token ({code} {reason}); {hint}", code)
        if message is None:
            return CommandError(
                f"the server answered {code} {printable(reason)} to {what}"
                + ("; is the zelvo extension enabled there?" if code == 404 else ""),
                code,
            )
        return CommandError(f"{printable(message)} ({code} {printable(reason)})", code)

    def _unreachable(self, error, what):
        """The CommandError for a request that got no complete answer."""
        at = f"the server at {self.base_url}"
        if isinstance(error, (socket.timeout, TimeoutError, ConnectTimeout)):
            return CommandError(f"{at} did not answer in time ({what})")
        if isinstance(error, http.client.RemoteDisconnected):
            return CommandError(f"{at} closed the connection without answering ({what})")
        if isinstance(error, ConnectionRefusedError):
            return CommandError(f"cannot reach {at}: Connection refused")
        if isinstance(error, (ConnectionResetError, BrokenPipeError)):
            return CommandError(f"{at} reset the connection ({what})")
        if isinstance(error, http.client.IncompleteRead):
            return CommandError(f"{at} closed the connection before its answer to {what} was "
                                "complete")  # fmt: skip
        if isinstance(error, http.client.HTTPException):
            return CommandError(f"{at} sent a malformed answer to {what}")
        if isinstance(error, ssl.SSLError):
            return CommandError(f"cannot reach {at}: {printable(error)}")
        reason = error.strerror if isinstance(error, OSError) and error.strerror else error
        return CommandError(f"cannot reach {at}: {printable(reason)}")

    def _exchange(self, method, url, body):
        """One request and its complete answer, read with at most MAX_ANSWER bytes of body."""
        parts = urlsplit(url)
        kind = (
            http.client.HTTPSConnection if parts.scheme == "https" else http.client.HTTPConnection
        )
        connection = kind(parts.hostname, parts.port, timeout=self.timeout)
        try:
            target = parts.path + (f"?{parts.query}" if parts.query else "")
            connection.request(method, target, body=body, headers=self._headers())
            response = connection.getresponse()
            length = response.getheader("Content-Length")
            if length is not None and length.isdigit() and int(length) > MAX_ANSWER:
                raise _TooLarge()
            data = response.read(MAX_ANSWER + 1)
            if len(data) > MAX_ANSWER:
                raise _TooLarge()
            # A read of a given size returns what came before the connection closed.
            if length is not None and length.isdigit() and len(data) < int(length):
                raise http.client.IncompleteRead(data, int(length) - len(data))
            return Answer(response.status, response.reason, response.headers, data)
        finally:
            connection.close()

    async def fetch(self, what, *parts, method="GET", body=None, **query):
        """The successful answer to ``method`` on ``<base_url>parts?query``."""
        url = self.url(*parts, **query)
        if isinstance(body, str):
            body = body.encode("utf-8")
        loop = asyncio.get_running_loop()
        try:
            answer = await loop.run_in_executor(None, self._exchange, method, url, body)
        except _TooLarge:
            raise CommandError(
                f"the server's answer to {what} is too large (over {MAX_ANSWER >> 20} MiB)"
            ) from None
        except (OSError, http.client.HTTPException) as error:
            raise self._unreachable(error, what) from None
        if not 200 <= answer.code < 300:
            raise self._refusal(answer.code, answer.reason, answer.body, what)
        return answer

    async def fetch_json(self, what, *parts, **kwargs):
        response = await self.fetch(what, *parts, **kwargs)
        try:
            return json.loads(response.body)
        except (ValueError, RecursionError):
            raise CommandError(f"the server's answer to {what} is not JSON") from None

    async def connect(self, what, *parts, **query):
        """A websocket connection to ``<base_url>parts?query``."""
        scheme = "wss" if self.base_url.startswith("https") else "ws"
        request = HTTPRequest(
            self.url(*parts, scheme=scheme, **query),
            headers=httputil.HTTPHeaders(self._headers()),
            connect_timeout=self.timeout,
            request_timeout=self.timeout,
        )
        try:
            return await _Connection(request).connect_future
        except HTTPClientError as error:
            if error.code == 599:
                text = str(error).lower()
                if "timeout" in text:
                    raise self._unreachable(ConnectTimeout(), what) from None
                raise self._unreachable(http.client.RemoteDisconnected(), what) from None
            body = error.response.body if error.response is not None else b""
            reason = error.message or "error"
            raise self._refusal(error.code, reason, body, what) from None
        except StreamClosedError:
            raise CommandError(
                f"the server at {self.base_url} closed the connection during the handshake "
                f"({what})"
            ) from None
        except (ConnectTimeout, OSError, WebSocketError) as error:
            raise self._unreachable(error, what) from None


class _TooLarge(Exception):
    pass


class _Protocol(WebSocketProtocol13):
    def _handle_message(self, opcode, data):
        # A close reason that is not UTF-8 would end Tornado's reading with an exception and
        # leave the close unseen; it is read with replacement characters instead.
        if opcode == 0x8 and len(data) > 2:
            data = data[:2] + data[2:].decode("utf-8", "replace").encode("utf-8")
        return super()._handle_message(opcode, data)


class _Connection(WebSocketClientConnection):
    """websocket_connect's connection, with a close reason that is not UTF-8 read safely."""

    def __init__(self, request):
        request = httpclient._RequestProxy(request, HTTPRequest._DEFAULTS)
        super().__init__(
            request,
            on_message_callback=None,
            compression_options=None,
            ping_interval=None,
            ping_timeout=None,
            max_message_size=MAX_ANSWER,
            subprotocols=None,
            resolver=None,
        )

    def get_websocket_protocol(self):
        return _Protocol(self, mask_outgoing=True, params=self.params)
