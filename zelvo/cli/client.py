"""The server the command line talks to: where it is, its token, and its answers."""

from __future__ import annotations

import json
import os
import re
import warnings
from urllib.parse import quote, urlencode, urlsplit

from tornado.httpclient import AsyncHTTPClient, HTTPClientError, HTTPRequest
from tornado.util import TimeoutError as ConnectTimeout
from tornado.websocket import WebSocketError, websocket_connect

TOKEN_VARIABLE = "JUPYTER_TOKEN"
# What a terminal must not receive from the server's text: control characters.
_CONTROL = re.compile(r"[\x00-\x1f\x7f-\x9f]")


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
        self.http = AsyncHTTPClient(force_instance=True)

    def close(self):
        self.http.close()

    def url(self, *parts, scheme=None, **query):
        path = "/".join(quote(part, safe="") for part in parts)
        url = self.base_url + path
        if scheme is not None:
            url = scheme + url[url.index(":") :]
        pairs = [(key, value) for key, values in query.items() for value in values]
        return f"{url}?{urlencode(pairs)}" if pairs else url

    def _request(self, url, **kwargs):
        headers = {"Authorization": f"token {self.token}"} if self.token else {}
        return HTTPRequest(
            url,
            headers=headers,
            connect_timeout=self.timeout,
            request_timeout=self.timeout,
            **kwargs,
        )

    def _failure(self, error, what):
        """The CommandError for a request that got no successful answer."""
        if isinstance(error, HTTPClientError) and error.code == 599:
            return CommandError(f"the server at {self.base_url} did not answer in time ({what})")
        if isinstance(error, HTTPClientError):
            body = error.response.body if error.response is not None else b""
            message = _message(body)
            if error.code in (401, 403):
                hint = "give --token or set JUPYTER_TOKEN" if not self.token else "check --token"
                return CommandError(
                    f"the server refused the token ({error.code} {error.message}); {hint}"
                )
            if message is None:
                return CommandError(
                    f"the server answered {error.code} {error.message} to {what}"
                    + ("; is the zelvo extension enabled there?" if error.code == 404 else "")
                )
            return CommandError(f"{printable(message)} ({error.code} {error.message})", error.code)
        reason = error.strerror if isinstance(error, OSError) and error.strerror else error
        return CommandError(f"cannot reach the server at {self.base_url}: {printable(reason)}")

    async def fetch(self, what, *parts, method="GET", body=None, **query):
        """The body of a successful answer to ``method`` on ``<base_url>parts?query``."""
        request = self._request(self.url(*parts, **query), method=method, body=body)
        try:
            response = await self.http.fetch(request)
        except (HTTPClientError, OSError) as error:
            raise self._failure(error, what) from None
        return response

    async def fetch_json(self, what, *parts, **kwargs):
        response = await self.fetch(what, *parts, **kwargs)
        try:
            return json.loads(response.body)
        except ValueError:
            raise CommandError(f"the server's answer to {what} is not JSON") from None

    async def connect(self, what, *parts, **query):
        """A websocket connection to ``<base_url>parts?query``."""
        scheme = "wss" if self.base_url.startswith("https") else "ws"
        request = self._request(self.url(*parts, scheme=scheme, **query))
        try:
            return await websocket_connect(request)
        except ConnectTimeout:
            raise self._failure(HTTPClientError(599), what) from None
        except (HTTPClientError, OSError, WebSocketError) as error:
            raise self._failure(error, what) from None
