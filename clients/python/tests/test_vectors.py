"""The golden vectors of docs/protocol-vectors.json: the client encodes each vector's requests byte
for byte, decodes its replies to the strings below, and gets the same replies from the native
morvik on the vectors' machine."""

from __future__ import annotations

import json
from collections.abc import Callable, Iterator
from pathlib import Path
from typing import Any

import pytest
from conftest import BUDGET, ROOT, SHARE, server

from morvik import Client, CommandFailed, Reply
from morvik._commands import Commands
from morvik._wire import HEADER, Params, decode_reply, encode_request, reply_body_length

FILE = json.loads((ROOT / "docs" / "protocol-vectors.json").read_text())
VECTORS = {v["name"]: v for v in FILE["vectors"]}

# (message type, command, sender, receiver, params) of each message in the session
Message = tuple[int, int, int, int, list[tuple[str, str]]]


def req(command: int, *params: tuple[str, str]) -> Message:
    return (1, command, 1, 2, list(params))


ALICE = [("user", "alice"), ("password", "Secret1!")]
BOB = [("user", "bob"), ("password", "Hunter2?")]
YES: tuple[int, list[str]] = (1, [])
NO: tuple[int, list[str]] = (0, [])
C = ("filepath", "C:\\")

CASES: dict[str, tuple[list[Message], list[tuple[int, list[str]]]]] = {
    "validate-user": ([req(1, *ALICE, ("domain", "CORP"))], [YES]),
    "validate-user-wrong-password": (
        [req(1, ("user", "alice"), ("password", "wrong"))],
        [(0, ["WinSecurity::logOnVelUser", "LogonUser", "1326", "The user name or password is incorrect.\r\n"])],
    ),
    "group-list": (
        [req(2, *ALICE, ("domain", "CORP"))],
        [(1, ["CORP\\Domain Users", "CORP\\Finance", "Everyone", "BUILTIN\\Users", "NT AUTHORITY\\Authenticated Users"])],
    ),
    "connect-then-disconnect": ([req(3, *ALICE, ("filepath", SHARE)), req(9, ("filepath", SHARE))], [YES, YES]),
    "access-list": (
        [req(4, ("filepath", BUDGET))],
        [(1, ["CORP\\bob", "NT AUTHORITY\\SYSTEM", "CORP\\Finance", "NT AUTHORITY\\Authenticated Users"])],
    ),
    "access-check-allowed": ([req(5, *ALICE, ("filepath", BUDGET))], [YES]),
    "access-check-denied": ([req(5, *BOB, ("filepath", BUDGET))], [NO]),
    "access-check-missing-file": (
        [req(5, *BOB, ("filepath", "C:\\data\\finance\\missing.xlsx"))],
        [(0, ["WinSecurity::checkURI", "GetFileSecurity", "2", "The system cannot find the file specified.\r\n"])],
    ),
    "is-ntfs-c": ([req(6, C)], [YES]),
    "is-ntfs-fat": ([req(6, ("filepath", "E:\\"))], [NO]),
    "is-ntfs-not-ready": (
        [req(6, ("filepath", "D:\\"))],
        [(0, ["WinSecurity::isNTFS", "GetVolumeInformation", "21", "The device is not ready.\r\n"])],
    ),
    "computer-name": ([req(7)], [(1, ["FILESRV01"])]),
    "domain-name": ([req(8)], [(1, ["CORP"])]),
    "disconnect-not-connected": (
        [req(9, ("filepath", SHARE))],
        [(0, ["NetConnection::disconnect", "WNetCancelConnection2W", "2250", "This network connection does not exist.\r\n"])],
    ),
    "is-mapped": ([req(10, ("filepath", "Z:\\"))], [YES]),
    "ids-swapped": ([(2, 10, 5, 9, [C])], [NO]),
    "unknown-then-served": ([req(42, C), req(6, C)], [YES]),
    "terminate": ([req(6, C), (3, 6, 1, 2, []), req(7)], [YES]),
}


def ordinary(m: Message) -> bool:
    """A request the client's own API sends; the others are built with the encoder only."""
    return m[0] == 1 and 1 <= m[1] <= 10 and m[2:4] == (1, 2)


@pytest.fixture(scope="module")
def live(tmp_path_factory: pytest.TempPathFactory) -> Iterator[Client]:
    from conftest import morvik_path

    path = tmp_path_factory.mktemp("vectors") / "machine.json"
    path.write_text(json.dumps(FILE["machine"]))
    command, env = server(morvik_path(), path)
    with Client(command, env, timeout=10) as client:
        yield client


def test_every_vector_has_a_case() -> None:
    assert sorted(CASES) == sorted(VECTORS)


def decode_all(data: bytes) -> list[Reply]:
    out, at = [], 0
    while at < len(data):
        length = reply_body_length(data[at : at + HEADER])
        out.append(decode_reply(data[at : at + HEADER], data[at + HEADER : at + HEADER + length]))
        at += HEADER + length
    return out


@pytest.mark.parametrize("name", sorted(VECTORS))
def test_encoded_and_decoded_as_the_vector_has_it(live: Client, name: str) -> None:
    messages, expected = CASES[name]
    encoded = b"".join(
        encode_request(command, params, message_type=t, sender=s, receiver=r) for t, command, s, r, params in messages
    )
    assert encoded.hex() == VECTORS[name]["request"]
    assert [(r.result, r.strings) for r in decode_all(bytes.fromhex(VECTORS[name]["reply"]))] == expected
    if all(ordinary(m) for m in messages):
        batch: list[tuple[int, Params | None]] = [(m[1], m[4]) for m in messages]
        replies = live.pipeline(batch) if len(batch) > 1 else [live.request(*batch[0])]
        assert [(r.result, r.strings) for r in replies] == expected


TYPED: list[tuple[str, Callable[[Commands], Any]]] = [
    ("validate-user", lambda c: c.validate("alice", bytearray(b"Secret1!"), "CORP")),
    ("validate-user-wrong-password", lambda c: c.validate("alice", "wrong")),
    ("group-list", lambda c: c.groups("alice", "Secret1!", "CORP")),
    ("connect-then-disconnect", lambda c: c.connect("alice", "Secret1!", SHARE)),
    ("access-list", lambda c: c.access_list(BUDGET)),
    ("access-check-denied", lambda c: c.can_read("bob", "Hunter2?", BUDGET)),
    ("is-ntfs-c", lambda c: c.is_ntfs("C:\\")),
    ("computer-name", lambda c: c.computer_name()),
    ("domain-name", lambda c: c.domain_name()),
    ("disconnect-not-connected", lambda c: c.disconnect(SHARE)),
    ("is-mapped", lambda c: c.is_mapped_drive("Z:\\")),
]


@pytest.mark.parametrize("name,call", TYPED, ids=[t[0] for t in TYPED])
def test_typed_methods_send_the_vectors_bytes(name: str, call: Callable[[Commands], Any]) -> None:
    sent: list[bytes] = []
    reply = decode_all(bytes.fromhex(VECTORS[name]["reply"]))[0]

    class Capture(Commands):
        def request(self, command: int, params: Params | None = None) -> Reply:
            sent.append(bytes(encode_request(command, params)))
            return reply

    try:
        call(Capture())
    except CommandFailed:
        pass  # the vectors' failures are answers too; the bytes sent are what is checked here
    assert len(sent) == 1
    # The first message of the vector's session is the one this method sends.
    assert sent[0].hex() == VECTORS[name]["request"][: 2 * len(sent[0])]
