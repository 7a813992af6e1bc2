"""The bytes of the protocol: 32-byte headers of little-endian 32-bit integers, and the bodies."""

from __future__ import annotations

import struct
from collections.abc import Iterable, Mapping, Sequence
from dataclasses import dataclass
from typing import Union

from .errors import ErrorRecord, MorvikError

HEADER = 32
REQUEST = 1
REPLY = 2
TERMINATE = 3
# The ids this client sends; the server swaps them in its reply.
CLIENT_ID = 1
SERVER_ID = 2
LAST_COMMAND = 10
# Replies are a few memory blocks at most: anything larger is a broken server.
MAX_REPLY_BODY = 16 * 1024 * 1024

_HEADER = struct.Struct("<6i8x")
_INT = struct.Struct("<i")

Value = Union[str, bytes, bytearray]
Params = Union[Mapping[str, Value], Sequence[tuple[str, Value]]]


def _as_bytes(value: Value) -> bytes | bytearray:
    return value.encode("utf-8") if isinstance(value, str) else value


def encode_request(
    command: int,
    params: Params | None = None,
    *,
    message_type: int = REQUEST,
    sender: int = CLIENT_ID,
    receiver: int = SERVER_ID,
) -> bytearray:
    """The request's bytes. A bytearray value (a password) is zeroed once copied in; the caller
    zeroes the returned bytearray once it is written."""
    pairs: Iterable[tuple[str, Value]] = params.items() if isinstance(params, Mapping) else (params or ())
    items = [(key.encode("utf-8"), _as_bytes(value)) for key, value in pairs]
    length = 4 + sum(8 + len(k) + len(v) for k, v in items)
    out = bytearray(HEADER + length)
    _HEADER.pack_into(out, 0, message_type, command, 0, length, sender, receiver)
    at = HEADER
    _INT.pack_into(out, at, len(items))
    at += 4
    for key, value in items:
        for part in (key, value):
            _INT.pack_into(out, at, len(part))
            out[at + 4 : at + 4 + len(part)] = part
            at += 4 + len(part)
    for _, value in items:
        if isinstance(value, bytearray):
            value[:] = bytes(len(value))
    return out


@dataclass(frozen=True)
class Reply:
    """One reply as it came off the wire: the command's result and its string list."""

    result: int
    string_bytes: tuple[bytes, ...]
    sender_id: int = SERVER_ID
    receiver_id: int = CLIENT_ID

    @property
    def strings(self) -> list[str]:
        """The strings as text, decoded as UTF-8. Commands 7 and 8 answer in the ANSI code page:
        for names outside ASCII, decode string_bytes in the machine's code page instead."""
        return [s.decode("utf-8", errors="replace") for s in self.string_bytes]

    @property
    def error(self) -> ErrorRecord | None:
        """The error record, when the result is not 1 and the strings are one."""
        if self.result == 1 or len(self.string_bytes) not in (3, 4):
            return None
        number = self.string_bytes[2].decode("ascii", errors="replace")
        digits = number[1:] if number.startswith("-") else number
        if not digits.isdigit() or not digits.isascii() or len(digits) > 19:
            return None
        text = self.strings
        return ErrorRecord(text[0], text[1], int(number), text[3] if len(text) == 4 else "")


def reply_body_length(header: bytes | bytearray | memoryview) -> int:
    """The body length a reply header announces, after checking it is a reply header at all."""
    fields: tuple[int, ...] = _HEADER.unpack_from(header)
    message_type, command, _, length, _, _ = fields
    if message_type != REPLY or command != 1:
        raise MorvikError(
            f"malformed reply: message type {message_type} and command {command} where a reply has 2 and 1"
        )
    if length < 0 or length > MAX_REPLY_BODY:
        raise MorvikError(f"malformed reply: it announces a body of {length} bytes")
    return length


def decode_reply(header: bytes | bytearray | memoryview, body: bytes | bytearray | memoryview) -> Reply:
    """A reply from its header and its body (as many bytes as the header announced)."""
    _, _, result, _, sender, receiver = _HEADER.unpack_from(header)
    strings: list[bytes] = []
    if len(body) > 0:
        if len(body) < 4:
            raise MorvikError(f"malformed reply: a body of {len(body)} bytes has no count")
        (count,) = _INT.unpack_from(body, 0)
        if count < 0:
            raise MorvikError(f"malformed reply: a string count of {count}")
        at = 4
        for i in range(count):
            if len(body) - at < 4:
                raise MorvikError(f"malformed reply: the body ends inside string {i} of {count}")
            (n,) = _INT.unpack_from(body, at)
            at += 4
            if n < 0 or n > len(body) - at:
                raise MorvikError(f"malformed reply: string {i} of {n} bytes runs past the body")
            strings.append(bytes(body[at : at + n]))
            at += n
        if at != len(body):
            raise MorvikError(f"malformed reply: {len(body) - at} bytes after the last of {count} strings")
    return Reply(result, tuple(strings), sender, receiver)


def check_ids(reply: Reply) -> None:
    if reply.sender_id != SERVER_ID or reply.receiver_id != CLIENT_ID:
        raise MorvikError(
            f"malformed reply: sender {reply.sender_id} and receiver {reply.receiver_id}"
            " are not the request's swapped"
        )


def check_command(command: int) -> None:
    if not 1 <= command <= LAST_COMMAND:
        # The server drops such a request without a reply: waiting for one would wait forever,
        # and the reply to the next request would be taken for it.
        raise ValueError(f"the server answers commands 1 to 10 only, not {command}")
