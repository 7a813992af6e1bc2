"""The client for asyncio crawlers: the same protocol over an asyncio subprocess."""

from __future__ import annotations

import asyncio
import contextlib
from collections.abc import Mapping, Sequence
from types import TracebackType

from . import _commands as answers
from . import _wire
from ._commands import Password, Request
from ._wire import Params, Reply
from .client import CLOSE_GRACE, DEFAULT_TIMEOUT, STDERR_KEPT, checked_command, server_environment
from .errors import MorvikError


class AsyncClient:
    """One morvik server for asyncio: `client = await AsyncClient.start(command, env)`, or
    `async with AsyncClient(command, env) as client:`. Requests are served one at a time (callers
    wait for each other); every wait is bounded by `timeout` seconds a reply, and a server that
    takes longer or answers anything but a well-formed reply is stopped. The typed methods are the
    Client's, as coroutines, with the same meaning of a "no" and a failure."""

    def __init__(
        self, command: Sequence[str], env: Mapping[str, str] | None = None, timeout: float = DEFAULT_TIMEOUT
    ) -> None:
        self.command = checked_command(command, timeout)
        self.timeout = timeout
        self._env = dict(env or {})
        self._process: asyncio.subprocess.Process | None = None
        self._lock = asyncio.Lock()
        self._broken: str | None = None
        self._stderr = bytearray()
        self._stderr_task: asyncio.Task[None] | None = None

    @classmethod
    async def start(
        cls, command: Sequence[str], env: Mapping[str, str] | None = None, timeout: float = DEFAULT_TIMEOUT
    ) -> AsyncClient:
        client = cls(command, env, timeout)
        await client._start()
        return client

    async def _start(self) -> None:
        if self._process is not None:
            return
        try:
            self._process = await asyncio.create_subprocess_exec(
                *self.command,
                stdin=asyncio.subprocess.PIPE,
                stdout=asyncio.subprocess.PIPE,
                stderr=asyncio.subprocess.PIPE,
                env=server_environment(self._env),
            )
        except OSError as e:
            raise MorvikError(f"could not start the server {self}: {e.strerror or e}") from None
        self._stderr_task = asyncio.get_running_loop().create_task(self._keep_stderr())

    @property
    def pid(self) -> int:
        return self._live().pid

    @property
    def is_open(self) -> bool:
        return self._process is not None and self._broken is None

    async def request(self, command: int, params: Params | None = None) -> Reply:
        _wire.check_command(command)
        return (await self._exchange([_wire.encode_request(command, params)]))[0]

    async def pipeline(self, requests: Sequence[tuple[int, Params | None]]) -> list[Reply]:
        """Sends all requests before reading the replies; the replies in request order."""
        for command, _ in requests:
            _wire.check_command(command)
        return await self._exchange([_wire.encode_request(command, params) for command, params in requests])

    async def close(self) -> None:
        """Ends the server: end of input, then a kill if it has not exited within a bounded time."""
        if self._broken is None:
            self._broken = "the client is closed"
        process = self._process
        if process is None:
            return
        if process.stdin:
            process.stdin.close()
        if await _exited(process, CLOSE_GRACE) is None:
            with contextlib.suppress(ProcessLookupError):
                process.kill()
            await _exited(process, CLOSE_GRACE)
        _release(process)
        await self._end_stderr()

    async def __aenter__(self) -> AsyncClient:
        await self._start()
        return self

    async def __aexit__(
        self, kind: type[BaseException] | None, value: BaseException | None, tb: TracebackType | None
    ) -> None:
        await self.close()

    def __repr__(self) -> str:
        return f"AsyncClient({' '.join(self.command)!r}{'' if self.is_open else ', closed'})"

    def __str__(self) -> str:
        return " ".join(self.command)

    # The ten commands, as in Client.
    async def validate(self, user: str, password: Password, domain: str | None = None) -> None:
        answers.done(1, await self._ask(answers.logon(1, user, password, "domain", domain)))

    async def groups(self, user: str, password: Password, domain: str | None = None) -> list[str]:
        return answers.strings(2, await self._ask(answers.logon(2, user, password, "domain", domain)))

    async def connect(self, user: str, password: Password, share: str) -> None:
        answers.done(3, await self._ask(answers.logon(3, user, password, "filepath", share)))

    async def access_list(self, file: str) -> list[str]:
        return answers.strings(4, await self._ask(answers.path(4, file)))

    async def can_read(self, user: str, password: Password, file: str) -> bool:
        return answers.yes_no(5, await self._ask(answers.logon(5, user, password, "filepath", file)))

    async def is_ntfs(self, root: str) -> bool:
        return answers.yes_no(6, await self._ask(answers.path(6, root)))

    async def computer_name(self) -> str:
        return answers.one(7, await self.request(7))

    async def domain_name(self) -> str | None:
        return answers.one_or_none(8, await self.request(8))

    async def disconnect(self, share: str) -> None:
        answers.done(9, await self._ask(answers.path(9, share)))

    async def is_mapped_drive(self, root: str) -> bool:
        return answers.yes_no(10, await self._ask(answers.path(10, root)))

    async def _ask(self, req: Request) -> Reply:
        return await self.request(req[0], req[1])

    def _live(self) -> asyncio.subprocess.Process:
        if self._process is None:
            raise MorvikError("the client was not started: await AsyncClient.start(...) or use async with")
        return self._process

    async def _exchange(self, requests: list[bytearray]) -> list[Reply]:
        data = requests[0] if len(requests) == 1 else bytearray().join(requests)
        try:
            process = self._live()
            async with self._lock:
                if self._broken is not None:
                    raise MorvikError(f"the server no longer serves: {self._broken}")
                assert process.stdin and process.stdout
                # The server writes replies while it reads: the requests go out in a task of their
                # own, so that a large batch cannot fill both pipes and stall both sides.
                process.stdin.write(data)
                writer = asyncio.get_running_loop().create_task(process.stdin.drain())
                try:
                    return [await self._receive(process.stdout) for _ in requests]
                finally:
                    if not writer.done():
                        writer.cancel()
                    with contextlib.suppress(BaseException):
                        await writer
        finally:
            data[:] = bytes(len(data))
            for r in requests:
                r[:] = bytes(len(r))

    async def _receive(self, out: asyncio.StreamReader) -> Reply:
        try:
            header = await asyncio.wait_for(out.readexactly(_wire.HEADER), self.timeout)
            length = _wire.reply_body_length(header)
            body = await asyncio.wait_for(out.readexactly(length), self.timeout) if length else b""
            reply = _wire.decode_reply(header, body)
            _wire.check_ids(reply)
            return reply
        except asyncio.TimeoutError:
            raise await self._stop(f"no reply within {self.timeout:g} s") from None
        except asyncio.IncompleteReadError as e:
            if not e.partial and e.expected == _wire.HEADER:
                why = "the server exited"
            elif e.expected == _wire.HEADER:
                why = f"the server stopped inside a reply header ({len(e.partial)} of 32 bytes)"
            else:
                why = f"the server stopped inside a reply body ({len(e.partial)} of {e.expected} bytes)"
            raise await self._stop(why) from None
        except MorvikError as e:
            raise await self._stop(str(e)) from None
        except asyncio.CancelledError:
            # A reply is on its way that no caller will take: the stream is out of step for good.
            await self._stop("cancelled while waiting for a reply")
            raise

    async def _stop(self, why: str) -> MorvikError:
        self._broken = why
        process = self._live()
        with contextlib.suppress(ProcessLookupError):
            process.kill()
        code = await _exited(process, CLOSE_GRACE)
        status = f"; exit status {code}" if code is not None and code >= 0 else ""
        _release(process)
        await self._end_stderr()
        stderr = self._stderr.decode("utf-8", errors="replace").strip()
        if stderr:
            status += f"; standard error: {stderr}"
        return MorvikError(f"{why} ({self}{status}); the server was stopped")

    async def _keep_stderr(self) -> None:
        process = self._live()
        assert process.stderr
        while chunk := await process.stderr.read(4096):
            self._stderr += chunk
            del self._stderr[:-STDERR_KEPT]

    async def _end_stderr(self) -> None:
        task = self._stderr_task
        if task is None:
            return
        try:
            await asyncio.wait_for(asyncio.shield(task), 0.5)
        except (asyncio.TimeoutError, asyncio.CancelledError):
            task.cancel()


async def _exited(process: asyncio.subprocess.Process, within: float) -> int | None:
    """The exit status once the process has exited, or None after `within` seconds. Not
    process.wait(): that also waits for the pipes to close, which a child of the server that holds
    them may never let happen."""
    deadline = asyncio.get_running_loop().time() + within
    while process.returncode is None and asyncio.get_running_loop().time() < deadline:
        await asyncio.sleep(0.005)
    return process.returncode


def _release(process: asyncio.subprocess.Process) -> None:
    """Closes the pipes now: a child of the server may hold their other ends open, and the
    transport would otherwise stay open past the event loop's end."""
    transport = getattr(process, "_transport", None)
    if transport is not None:
        transport.close()
