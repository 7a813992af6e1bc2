"""A fixed number of morvik children shared by many threads."""

from __future__ import annotations

import queue
import threading
from collections.abc import Mapping, Sequence
from types import TracebackType

from ._commands import Commands
from ._wire import Params, Reply, encode_request
from .client import DEFAULT_TIMEOUT, Client
from .errors import MorvikError


class _Slot:
    """One child's place; its client is None while no child could be started for it."""

    def __init__(self, client: Client | None) -> None:
        self.client = client


class Pool(Commands):
    """`size` morvik children, safe to call from many threads at once: each request goes to a free
    child, so that as many requests are served side by side as there are children. On Windows
    commands 1, 2 and 5 spend most of their time waiting on the local security authority, which
    serves several logons at once: that is what a pool buys.

    A child that dies, times out or answers malformed bytes is replaced by a new one, and the
    caller whose request it was serving gets the MorvikError; the pool carries on.

    A share connection (command 3) belongs to the Windows logon session, not to the child that made
    it: any child serves commands 3 and 9, and a disconnect need not reach the child that connected.

    A caller waits for a free child at most `acquire_timeout` seconds (default: the timeout times
    the size plus one, since every child's request is bounded by the timeout)."""

    def __init__(
        self,
        command: Sequence[str],
        env: Mapping[str, str] | None = None,
        size: int = 4,
        timeout: float = DEFAULT_TIMEOUT,
        acquire_timeout: float | None = None,
    ) -> None:
        if size < 1:
            raise ValueError("a pool needs one child at least")
        self.command = list(command)
        self.size = size
        self._env = dict(env or {})
        self._timeout = timeout
        self._acquire_timeout = acquire_timeout if acquire_timeout is not None else timeout * (size + 1)
        self._free: queue.Queue[_Slot] = queue.Queue()
        self._slots: list[_Slot] = []
        self._lock = threading.Lock()
        self._closed = False
        self.replacements = 0
        try:
            for _ in range(size):
                slot = _Slot(self._start())
                self._slots.append(slot)
                self._free.put(slot)
        except MorvikError:
            self.close()
            raise

    @property
    def pids(self) -> list[int]:
        """The children's process ids (0 for a place whose child could not be restarted)."""
        with self._lock:
            return [s.client.pid if s.client else 0 for s in self._slots]

    def request(self, command: int, params: Params | None = None) -> Reply:
        slot = self._acquire(params)
        try:
            if slot.client is None or not slot.client.is_open:
                self._replace(slot, None)
            client = slot.client
            if client is None:
                _wipe(params)
                raise MorvikError(f"no child could be started for the request ({' '.join(self.command)})")
            try:
                return client.request(command, params)
            except MorvikError as e:
                # A reply that did not fit its command leaves the child serving; anything else ended it.
                if client.is_open:
                    raise
                told = MorvikError(f"the child serving this request failed and was replaced: {e}")
                self._replace(slot, told)
                raise told from e
        finally:
            self._release(slot)

    def close(self) -> None:
        """Ends every child; requests still running get a MorvikError."""
        self._closed = True
        with self._lock:
            clients = [s.client for s in self._slots if s.client]
        for c in clients:
            c.close()

    def __enter__(self) -> Pool:
        return self

    def __exit__(
        self, kind: type[BaseException] | None, value: BaseException | None, tb: TracebackType | None
    ) -> None:
        self.close()

    def __repr__(self) -> str:
        return f"Pool({' '.join(self.command)!r}, {self.size} children{', closed' if self._closed else ''})"

    def _start(self) -> Client:
        return Client(self.command, self._env, self._timeout)

    def _acquire(self, params: Params | None) -> _Slot:
        if self._closed:
            _wipe(params)
            raise MorvikError("the pool is closed")
        try:
            slot = self._free.get(timeout=self._acquire_timeout)
        except queue.Empty:
            _wipe(params)
            raise MorvikError(f"no child was free within {self._acquire_timeout:g} s") from None
        if self._closed:
            self._free.put(slot)
            _wipe(params)
            raise MorvikError("the pool is closed")
        return slot

    def _release(self, slot: _Slot) -> None:
        self._free.put(slot)
        # A close that ran meanwhile may have missed a child started after it looked.
        if self._closed and slot.client:
            slot.client.close()

    def _replace(self, slot: _Slot, cause: MorvikError | None) -> None:
        with self._lock:
            if slot.client is not None:
                slot.client.close()
                self.replacements += 1
            slot.client = None
        if self._closed:
            return
        try:
            fresh = self._start()
        except MorvikError as e:
            if cause is not None:
                cause.add_note(f"the replacement did not start: {e}")
            return
        with self._lock:
            slot.client = fresh


def _wipe(params: Params | None) -> None:
    """Zeroes the bytearray values (passwords) of a request that will not be sent."""
    if params is not None:
        encoded = encode_request(1, params)
        encoded[:] = bytes(len(encoded))
