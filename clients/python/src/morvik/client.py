"""One morvik server as a child process, and the protocol over its standard streams."""

from __future__ import annotations

import os
import selectors
import subprocess
import threading
import time
from collections.abc import Mapping, Sequence
from types import TracebackType

from . import _wire
from ._commands import Commands
from ._wire import Params, Reply
from .errors import MorvikError

DEFAULT_TIMEOUT = 30.0
# How long close() lets the server end on its own before it is killed.
CLOSE_GRACE = 2.0
STDERR_KEPT = 2048


def server_environment(env: Mapping[str, str] | None) -> dict[str, str]:
    full = dict(os.environ)
    full.update(env or {})
    return full


def checked_command(command: Sequence[str], timeout: float) -> list[str]:
    """The server command as a list, after the checks every client makes of what it is given."""
    if not command:
        raise ValueError("a server command needs a program")
    if timeout <= 0:
        raise ValueError("the timeout must be positive")
    return list(command)


class Client(Commands):
    """One morvik server, started from a command (no shell) and variables added to the inherited
    environment. Requests are served one at a time; calls from several threads wait for each other
    (a Pool serves several at once). Every wait is bounded by `timeout` seconds a reply: a server
    that takes longer, or answers with anything but a well-formed reply, is stopped, and this
    client with it."""

    def __init__(
        self, command: Sequence[str], env: Mapping[str, str] | None = None, timeout: float = DEFAULT_TIMEOUT
    ) -> None:
        self.command = checked_command(command, timeout)
        self.timeout = timeout
        self._lock = threading.Lock()
        self._broken: str | None = None
        self._closing = False  # closed from another thread while a request ran
        self._pending = bytearray()  # reply bytes read but not yet taken
        self._stderr = bytearray()
        try:
            self._process = subprocess.Popen(
                self.command,
                stdin=subprocess.PIPE,
                stdout=subprocess.PIPE,
                stderr=subprocess.PIPE,
                env=server_environment(env),
                bufsize=0,
                close_fds=True,
            )
        except OSError as e:
            raise MorvikError(f"could not start the server {self}: {e.strerror or e}") from None
        assert self._process.stdin and self._process.stdout and self._process.stderr
        self._in = self._process.stdin.fileno()
        self._out = self._process.stdout.fileno()
        self._err = self._process.stderr.fileno()
        for fd in (self._in, self._out, self._err):
            os.set_blocking(fd, False)
        self._selector = selectors.DefaultSelector()
        self._selector.register(self._out, selectors.EVENT_READ)
        self._selector.register(self._err, selectors.EVENT_READ)

    @property
    def pid(self) -> int:
        return self._process.pid

    @property
    def is_open(self) -> bool:
        """Whether the server still serves: False once closed, stopped, or after a reply went wrong."""
        return self._broken is None

    def request(self, command: int, params: Params | None = None) -> Reply:
        _wire.check_command(command)
        return self._exchange([_wire.encode_request(command, params)])[0]

    def pipeline(self, requests: Sequence[tuple[int, Params | None]]) -> list[Reply]:
        """Sends all requests before reading the replies (in one write as far as the pipe takes
        it) and returns the replies in request order. Each reply may take the timeout."""
        for command, _ in requests:
            _wire.check_command(command)
        return self._exchange([_wire.encode_request(command, params) for command, params in requests])

    def close(self) -> None:
        """Ends the server: end of input, then a kill if it has not exited within a bounded time.
        A request still running on another thread is not waited for: the server is killed, and
        that request ends with a MorvikError (and closes the pipes itself)."""
        if not self._lock.acquire(blocking=False):
            self._closing = True
            self._broken = self._broken or "the client is closed"
            self._process.kill()
            return
        try:
            if self._broken is None:
                self._broken = "the client is closed"
            try:
                assert self._process.stdin
                self._process.stdin.close()
            except OSError:
                pass
            try:
                self._process.wait(CLOSE_GRACE)
            except subprocess.TimeoutExpired:
                self._process.kill()
                self._process.wait(CLOSE_GRACE)
            self._close_streams()
        finally:
            self._lock.release()

    def __enter__(self) -> Client:
        return self

    def __exit__(
        self, kind: type[BaseException] | None, value: BaseException | None, tb: TracebackType | None
    ) -> None:
        self.close()

    def __repr__(self) -> str:
        return f"Client({' '.join(self.command)!r}, pid {self._process.pid}{'' if self.is_open else ', closed'})"

    def __str__(self) -> str:
        return " ".join(self.command)

    # The exchange: write the requests while reading replies, so that neither pipe can fill up
    # and stall both sides; every wait for progress is bounded by the timeout.
    def _exchange(self, requests: list[bytearray]) -> list[Reply]:
        data = requests[0] if len(requests) == 1 else bytearray().join(requests)
        try:
            with self._lock:
                if self._broken is not None:
                    raise MorvikError(f"the server no longer serves: {self._broken}")
                try:
                    self._check_nothing_waiting()
                    return self._write_and_read(data, len(requests))
                finally:
                    if self._closing:
                        self._close_streams()
        finally:
            # The request bytes carry passwords in clear text.
            data[:] = bytes(len(data))
            for r in requests:
                r[:] = bytes(len(r))

    def _check_nothing_waiting(self) -> None:
        try:
            got = os.read(self._out, 65536)
        except BlockingIOError:
            got = None
        if got == b"":
            raise self._stop("the server exited")
        if got:
            self._pending += got
        if self._pending:
            raise self._stop("the server sent a reply that no request asked for")

    def _write_and_read(self, data: bytearray, count: int) -> list[Reply]:
        view = memoryview(data)
        written = 0
        replies: list[Reply] = []
        deadline = time.monotonic() + self.timeout
        try:
            written = os.write(self._in, view)
        except BlockingIOError:
            pass
        except BrokenPipeError:
            raise self._stop("the server stopped reading its input") from None
        writing = written < len(data)
        if writing:
            self._selector.register(self._in, selectors.EVENT_WRITE)
        try:
            while len(replies) < count:
                remaining = deadline - time.monotonic()
                if remaining <= 0:
                    raise self._stop(f"no reply within {self.timeout:g} s")
                for key, _ in self._selector.select(remaining):
                    fd = key.fd
                    if fd == self._in:
                        try:
                            written += os.write(self._in, view[written:])
                        except BlockingIOError:
                            continue
                        except BrokenPipeError:
                            raise self._stop("the server stopped reading its input") from None
                        if written == len(data):
                            writing = False
                            self._selector.unregister(self._in)
                    elif fd == self._err:
                        self._keep_stderr()
                    else:
                        got = os.read(self._out, 65536)
                        if not got:
                            raise self._stop(self._why_ended())
                        self._pending += got
                        before = len(replies)
                        self._take_replies(replies)
                        if len(replies) > before:
                            deadline = time.monotonic() + self.timeout
                        if len(replies) > count:
                            raise self._stop("the server sent a reply that no request asked for")
        finally:
            view.release()
            if writing and self._broken is None:
                self._selector.unregister(self._in)
        if self._pending:
            raise self._stop("the server sent a reply that no request asked for")
        if written < len(data):
            raise self._stop("the server replied to requests it had not read")
        return replies

    def _take_replies(self, replies: list[Reply]) -> None:
        at = 0
        pending = self._pending
        try:
            while len(pending) - at >= _wire.HEADER:
                length = _wire.reply_body_length(pending[at : at + _wire.HEADER])
                if len(pending) - at - _wire.HEADER < length:
                    break
                reply = _wire.decode_reply(
                    pending[at : at + _wire.HEADER], memoryview(pending)[at + _wire.HEADER : at + _wire.HEADER + length]
                )
                _wire.check_ids(reply)
                replies.append(reply)
                at += _wire.HEADER + length
        except MorvikError as e:
            raise self._stop(str(e)) from None
        finally:
            del pending[:at]

    def _why_ended(self) -> str:
        if not self._pending:
            return "the server exited"
        if len(self._pending) < _wire.HEADER:
            return f"the server stopped inside a reply header ({len(self._pending)} of 32 bytes)"
        length = _wire.reply_body_length(self._pending[: _wire.HEADER])
        return f"the server stopped inside a reply body ({len(self._pending) - _wire.HEADER} of {length} bytes)"

    def _keep_stderr(self) -> None:
        try:
            got = os.read(self._err, 4096)
        except BlockingIOError:
            return
        if not got:
            self._selector.unregister(self._err)
            return
        self._stderr += got
        del self._stderr[:-STDERR_KEPT]

    def _stop(self, why: str) -> MorvikError:
        """Stops the server for good and says why, with its exit status and the end of its standard error."""
        if self._closing:
            why = f"the client was closed while the request ran ({why})"
        self._broken = why
        self._process.kill()
        status = ""
        try:
            code = self._process.wait(CLOSE_GRACE)
            # A kill shows as a negative status; the server's own exit is what tells something.
            status = f"; exit status {code}" if code >= 0 else ""
        except subprocess.TimeoutExpired:
            pass
        try:
            while True:
                got = os.read(self._err, 4096)
                if not got:
                    break
                self._stderr += got
                del self._stderr[:-STDERR_KEPT]
        except (BlockingIOError, OSError):
            pass
        stderr = self._stderr.decode("utf-8", errors="replace").strip()
        if stderr:
            status += f"; standard error: {stderr}"
        self._close_streams()
        return MorvikError(f"{why} ({self}{status}); the server was stopped")

    def _close_streams(self) -> None:
        try:
            self._selector.close()
        except (OSError, ValueError):
            pass
        for stream in (self._process.stdin, self._process.stdout, self._process.stderr):
            try:
                if stream:
                    stream.close()
            except OSError:
                pass
