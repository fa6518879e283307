"""The few kernel messages the observer reads, taken from a kernel websocket's own frames.

A channel carries thousands of outputs a second, and the observer needs a few kinds of
message: a front end's ``execute_request``, and the kernel's ``execute_input``, ``error``,
``status`` and ``execute_reply``. So each frame is looked at only as far as needed to tell
whether it is one of them (its channel and the header's bytes); only those have their header,
parent header, metadata and content decoded, and buffers are never touched. Anything
unreadable is None: the observer skips it, the channel has already carried it.
"""

from __future__ import annotations

import json
from typing import NamedTuple

from . import stepped

V1_PROTOCOL = "v1.kernel.websocket.jupyter.org"
EXECUTE_REQUEST = "execute_request"
EXECUTE_INPUT = "execute_input"
EXECUTE_REPLY = "execute_reply"
ERROR = "error"
STATUS = "status"
# What the kernel sends back, by channel.
FROM_KERNEL = {"iopub": (EXECUTE_INPUT, ERROR, STATUS), "shell": (EXECUTE_REPLY,)}
_DELIMITER = b"<IDS|MSG>"
_REQUEST_MARK = EXECUTE_REQUEST.encode()
_IDLE_MARK = b"idle"
_decode = json.JSONDecoder().decode
_KERNEL_MARKS = {
    channel: tuple(kind.encode() for kind in kinds) for channel, kinds in FROM_KERNEL.items()
}


class Message(NamedTuple):
    """One message the observer reads; every part a dict (empty when absent)."""

    msg_type: str
    header: dict
    parent_header: dict
    metadata: dict
    content: dict


def _object(part):
    if isinstance(part, (bytes, bytearray, memoryview)):
        part = bytes(part).decode()  # the protocol's JSON is UTF-8
    elif not isinstance(part, str):
        return None
    value = _loads(part)
    return value if isinstance(value, dict) else None


def _loads(text):
    # A long part (a request over a MiB is decoded in the worker) goes in steps: the event
    # loop gets the interpreter lock between them.
    return stepped.loads(text) if len(text) > stepped.STEP else _decode(text)


def _message(wanted, header, parent, metadata, content):
    # Decodes the header first: most frames that pass the byte test are other messages that
    # merely mention the type (an output that prints it, an execute_result's header). A
    # kernel's metadata (None) is never read, nor a status other than idle.
    header = _object(header)
    kind = header.get("msg_type") if header is not None else None
    if kind not in wanted or (kind == STATUS and _IDLE_MARK not in content):
        return None
    parts = [_object(part) if part is not None else {} for part in (parent, metadata, content)]
    if parts[2] is None:
        return None
    return Message(kind, header, parts[0] or {}, parts[1] or {}, parts[2])


def _safely(read):
    # The frames come from clients and kernels: whatever is malformed is simply not observed.
    def reader(*args):
        try:
            return read(*args)
        except (
            ValueError,
            TypeError,
            AttributeError,
            IndexError,
            KeyError,
            OverflowError,
            RecursionError,
        ):
            return None

    reader.__name__, reader.__doc__ = read.__name__, read.__doc__
    return reader


@_safely
def client_v1(frame):
    """An ``execute_request`` in a front end's frame of the v1 protocol, or None.

    The frame: 8-byte little-endian count n, n offsets, then the channel and the message's
    parts at those offsets (header, parent header, metadata, content, buffers).
    """
    if not isinstance(frame, (bytes, bytearray, memoryview)):
        return None
    frame = memoryview(frame)
    count = int.from_bytes(frame[:8], "little")
    if count < 6 or len(frame) < 8 * (count + 1):
        return None
    offsets = [int.from_bytes(frame[8 * i : 8 * i + 8], "little") for i in range(1, 7)]
    if bytes(frame[offsets[0] : offsets[1]]) != b"shell":
        return None
    header = bytes(frame[offsets[1] : offsets[2]])
    if _REQUEST_MARK not in header:
        return None
    parts = [frame[offsets[i] : offsets[i + 1]] for i in range(2, 5)]
    if len(parts[2]) == 0:
        return None
    return _message((EXECUTE_REQUEST,), header, *(bytes(part) for part in parts))


@_safely
def client_json(frame):
    """An ``execute_request`` in a front end's frame of the legacy JSON protocol, or None.

    A text frame is the whole message as JSON with its ``channel``; a binary one (a message
    with buffers) is a 4-byte count n, n offsets, the message as JSON, then the buffers.
    """
    if isinstance(frame, str):
        if EXECUTE_REQUEST not in frame:
            return None
        text = frame
    else:
        frame = bytes(frame)
        count = int.from_bytes(frame[:4], "big")
        if count < 1:
            return None
        start = int.from_bytes(frame[4:8], "big")
        stop = int.from_bytes(frame[8:12], "big") if count > 1 else len(frame)
        text = frame[start:stop]
        if _REQUEST_MARK not in text:
            return None
    message = _loads(text if isinstance(text, str) else text.decode())
    # The server takes a message without a channel for one on shell.
    if not isinstance(message, dict) or message.get("channel", "shell") != "shell":
        return None
    return _whole((EXECUTE_REQUEST,), message)


def _whole(wanted, message):
    if not isinstance(message, dict):
        return None
    header = message.get("header")
    kind = header.get("msg_type") if isinstance(header, dict) else None
    if kind not in wanted:
        return None
    content = message.get("content")
    if not isinstance(content, dict):
        return None
    parent, metadata = message.get("parent_header"), message.get("metadata")
    return Message(
        kind,
        header,
        parent if isinstance(parent, dict) else {},
        metadata if isinstance(metadata, dict) else {},
        content,
    )


@_safely
def kernel_zmq(channel, parts):
    """An ``execute_input``, ``error`` or ``status`` (iopub) or ``execute_reply`` (shell) in
    a kernel's zmq frames, or None.

    The frames: routing identities, the delimiter, the signature, then header, parent header,
    metadata, content and buffers.
    """
    wanted = FROM_KERNEL.get(channel)
    if wanted is None:
        return None
    # Only the routing identities and the message's first parts are read: buffers may be
    # large, and a zmq.Frame would copy them.
    start = next((i for i, part in enumerate(parts) if _bytes(part) == _DELIMITER), None)
    if start is None:
        return None
    header = _bytes(parts[start + 2])
    if not any(mark in header for mark in _KERNEL_MARKS[channel]):
        return None
    return _message(wanted, header, _bytes(parts[start + 3]), None, _bytes(parts[start + 5]))


def _bytes(part):
    return part if isinstance(part, bytes) else getattr(part, "bytes", part)


@_safely
def kernel_json(text):
    """One of the kernel's messages above in a kernel gateway's JSON text, or None."""
    if isinstance(text, (bytes, bytearray)):
        text = bytes(text).decode("utf-8")
    if not any(kind in text for kinds in FROM_KERNEL.values() for kind in kinds):
        return None
    message = json.loads(text)
    if not isinstance(message, dict):
        return None
    wanted = FROM_KERNEL.get(message.get("channel"))
    return None if wanted is None else _whole(wanted, message)
