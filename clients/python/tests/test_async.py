"""The asyncio client against the native morvik: the same answers, concurrent callers, pipelining."""

from __future__ import annotations

import asyncio
from collections.abc import Callable
from pathlib import Path

import pytest
from conftest import BUDGET, server

from morvik import AsyncClient, CommandFailed, MorvikError


def test_every_kind_of_answer(morvik: Path) -> None:
    async def run() -> None:
        command, env = server(morvik)
        async with AsyncClient(command, env, timeout=10) as c:
            await c.validate("alice", "Secret1!", "CORP")
            with pytest.raises(CommandFailed) as wrong:
                await c.validate("alice", bytearray(b"nope"), "CORP")
            assert wrong.value.error.number == 1326
            assert await c.groups("alice", "Secret1!") == [
                "CORP\\Domain Users", "CORP\\Finance", "Everyone", "BUILTIN\\Users", "NT AUTHORITY\\Authenticated Users"]
            await c.connect("alice", "Secret1!", "\\\\fs01\\docs")
            await c.disconnect("\\\\fs01\\docs")
            assert len(await c.access_list(BUDGET)) == 4
            assert await c.can_read("alice", "Secret1!", BUDGET) is True
            assert await c.can_read("bob", "Hunter2?", BUDGET) is False
            assert await c.is_ntfs("C:\\") is True
            assert await c.is_ntfs("E:\\") is False
            with pytest.raises(CommandFailed) as not_ready:
                await c.is_ntfs("D:\\")
            assert not_ready.value.error.number == 21
            assert await c.computer_name() == "FILESRV01"
            assert await c.domain_name() == "CORP"
            assert await c.is_mapped_drive("Z:\\") is True
            assert await c.is_mapped_drive("C:\\") is False
            with pytest.raises(ValueError):
                await c.request(42)

    asyncio.run(run())


def test_concurrent_callers_and_a_pipeline_keep_their_own_replies(morvik: Path) -> None:
    async def run() -> None:
        command, env = server(morvik)
        c = await AsyncClient.start(command, env, timeout=10)
        try:
            roots = ["C:\\", "E:\\", "Z:\\"]
            results = await asyncio.gather(*(c.is_ntfs(roots[i % 3]) for i in range(300)))
            assert results == [i % 3 != 1 for i in range(300)]
            replies = await c.pipeline([(10, {"filepath": roots[i % 3]}) for i in range(5000)])
            assert [r.result for r in replies] == [1 if i % 3 == 2 else 0 for i in range(5000)]
        finally:
            await c.close()
        assert not c.is_open

    asyncio.run(run())


def test_a_slow_logon_times_out(morvik: Path, machine: Callable[..., Path]) -> None:
    async def run() -> None:
        command, env = server(morvik, machine(delays={"LogonUserW": 5000}))
        async with AsyncClient(command, env, timeout=0.4) as c:
            with pytest.raises(MorvikError, match="no reply within 0.4 s"):
                await c.validate("alice", "Secret1!", "CORP")
            assert not c.is_open

    asyncio.run(run())
