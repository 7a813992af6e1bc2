"""Servers that break the protocol: each gives a clear MorvikError, never a hang, and the client
stops the server. The stand-ins read the 36-byte command-7 request, then misbehave."""

from __future__ import annotations

import asyncio
import os
import time
from collections.abc import Callable
from pathlib import Path

import pytest
from conftest import le, printf, reply_header, server

from morvik import AsyncClient, Client, MorvikError

READ_REQUEST = "head -c 36 >/dev/null; "
SHORT = 0.4

BROKEN = [
    ("exits before replying", "exit 3", "the server exited"),
    ("garbage", "printf 'this is not a reply, only some text to read'", "malformed reply: message type"),
    ("stops inside the header", printf(bytes(10)), "inside a reply header (10 of 32 bytes)"),
    ("stops inside the body", printf(reply_header(1, 17) + le(1, 9)), "inside a reply body (8 of 17 bytes)"),
    ("negative body length", printf(reply_header(1, -4)), "announces a body of -4 bytes"),
    ("huge body length", printf(reply_header(1, 0x7FFFFFFF)), "announces a body of 2147483647"),
    ("body shorter than its count", printf(reply_header(1, 2) + bytes(2)), "has no count"),
    ("count past the strings", printf(reply_header(1, 8) + le(2, 0)), "ends inside string 1 of 2"),
    ("string past the body", printf(reply_header(1, 8) + le(1, 100)), "runs past the body"),
    ("negative count", printf(reply_header(1, 4) + le(-1)), "string count of -1"),
    ("bytes after the strings", printf(reply_header(1, 9) + le(0) + bytes(5)), "5 bytes after the last"),
    ("ids not swapped", printf(le(2, 1, 1, 0, 1, 2) + bytes(8)), "not the request's swapped"),
    ("a message type other than a reply", printf(le(1, 1, 1, 0, 2, 1) + bytes(8)), "message type 1 and command 1"),
    ("stops inside a reply and hangs", printf(reply_header(1, 0)[:8]) + "; exec sleep 30", "no reply within 0.4 s"),
    ("never replies", "exec sleep 30", "no reply within 0.4 s"),
    # Killing the shell leaves its child holding the reply pipe open: no end of file ever comes.
    ("never replies, the pipe held by a grandchild", "sleep 5", "no reply within 0.4 s"),
]


def gone(pid: int) -> bool:
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return True
    # Reaped by the client's wait, a pid is gone; a zombie would still answer signal 0.
    return Path(f"/proc/{pid}/stat").read_text().split()[2] == "Z"


@pytest.mark.parametrize("name,script,message", BROKEN, ids=[b[0] for b in BROKEN])
def test_a_broken_reply_is_a_clear_error_and_stops_the_server(name: str, script: str, message: str) -> None:
    with Client(["/bin/sh", "-c", READ_REQUEST + script], timeout=SHORT) as client:
        with pytest.raises(MorvikError) as caught:
            client.computer_name()
        assert message in str(caught.value)
        assert not client.is_open
        assert gone(client.pid), "the server was stopped"
        with pytest.raises(MorvikError, match="no longer serves"):
            client.computer_name()


@pytest.mark.parametrize("name,script,message", BROKEN, ids=[b[0] for b in BROKEN])
def test_the_async_client_meets_the_same_servers_alike(name: str, script: str, message: str) -> None:
    async def run() -> None:
        async with AsyncClient(["/bin/sh", "-c", READ_REQUEST + script], timeout=SHORT) as client:
            with pytest.raises(MorvikError) as caught:
                await client.computer_name()
            assert message in str(caught.value)
            assert not client.is_open
            with pytest.raises(MorvikError, match="no longer serves"):
                await client.computer_name()

    asyncio.run(run())


def test_a_reply_no_request_asked_for_is_caught_at_the_next_request() -> None:
    reply = reply_header(1, 13) + le(1, 5) + b"HOST1"
    script = READ_REQUEST + printf(reply) + "; sleep 0.1; " + printf(reply) + "; exec sleep 30"
    with Client(["/bin/sh", "-c", script], timeout=SHORT) as c:
        assert c.computer_name() == "HOST1"
        time.sleep(0.4)  # the second reply has long arrived
        with pytest.raises(MorvikError, match="no request asked for"):
            c.computer_name()


def test_a_program_that_cannot_run_is_a_start_failure() -> None:
    with pytest.raises(MorvikError, match="could not start the server /nonexistent/morvik"):
        Client(["/nonexistent/morvik"])

    async def run() -> None:
        with pytest.raises(MorvikError, match="could not start the server"):
            await AsyncClient.start(["/nonexistent/morvik"])

    asyncio.run(run())


def test_a_bad_machine_file_shows_the_servers_exit_and_its_message(
    morvik: Path, machine: Callable[..., Path]
) -> None:
    command, env = server(morvik, machine({}, computerName=5))
    with Client(command, env, timeout=10) as client:
        with pytest.raises(MorvikError) as caught:
            client.computer_name()
    assert "exit status 2" in str(caught.value) and "winsim: " in str(caught.value)


def test_a_slow_logon_times_out_and_the_child_is_killed(morvik: Path, machine: Callable[..., Path]) -> None:
    command, env = server(morvik, machine(delays={"LogonUserW": 5000}))
    with Client(command, env, timeout=SHORT) as client:
        assert client.is_ntfs("C:\\"), "what does not log on answers at once"
        with pytest.raises(MorvikError, match="no reply within 0.4 s") as caught:
            client.validate("alice", "Secret1!", "CORP")
        assert "Secret1!" not in str(caught.value)
        assert gone(client.pid)


def test_a_server_that_stops_reading_is_a_timeout_not_a_hang() -> None:
    with Client(["/bin/sh", "-c", "exec sleep 30"], timeout=SHORT) as client:
        with pytest.raises(MorvikError, match="no reply within"):
            client.pipeline([(6, {"filepath": "C:\\"})] * 40000)


def test_replies_to_requests_never_read_are_no_answers() -> None:
    # Answers 40,000 requests without reading one: the batch's write can never finish.
    loop = f"sleep 0.3; i=0; while [ $i -lt 40000 ]; do {printf(reply_header(1, 0))}; i=$((i+1)); done; exec sleep 5"
    with Client(["/bin/sh", "-c", loop], timeout=5) as client:
        with pytest.raises(MorvikError, match="replied to requests it had not read"):
            client.pipeline([(6, {"filepath": "C:\\"})] * 40000)
