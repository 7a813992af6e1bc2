"""A pool under concurrent use, a child killed in the middle, and close."""

from __future__ import annotations

import os
import signal
import threading
import time
from collections.abc import Callable
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path
from typing import Any

import pytest
from conftest import BUDGET, server

from morvik import CommandFailed, MorvikError, Pool
from morvik._commands import Commands


def not_ready(c: Commands) -> Any:
    try:
        return c.is_ntfs("D:\\")
    except CommandFailed as e:
        return e.error.number


# Requests whose answers tell them apart from the others of the mix, and those answers.
MIX: list[tuple[str, Callable[[Commands], Any], Any]] = [
    ("ntfs C", lambda c: c.is_ntfs("C:\\"), True),
    ("ntfs E", lambda c: c.is_ntfs("E:\\"), False),
    ("mapped Z", lambda c: c.is_mapped_drive("Z:\\"), True),
    ("mapped C", lambda c: c.is_mapped_drive("C:\\"), False),
    ("acl budget", lambda c: c.access_list(BUDGET),
     ["CORP\\bob", "NT AUTHORITY\\SYSTEM", "CORP\\Finance", "NT AUTHORITY\\Authenticated Users"]),
    ("acl design", lambda c: c.access_list("C:\\data\\eng\\design.docx"), ["NT AUTHORITY\\SYSTEM", "CORP\\Engineering"]),
    ("name", lambda c: c.computer_name(), "FILESRV01"),
    ("domain", lambda c: c.domain_name(), "CORP"),
    ("alice reads", lambda c: c.can_read("alice", bytearray(b"Secret1!"), BUDGET), True),
    ("bob may not", lambda c: c.can_read("bob", "Hunter2?", BUDGET), False),
    ("bob's groups", lambda c: c.groups("bob", "Hunter2?", "CORP"),
     ["CORP\\Domain Users", "CORP\\Engineering", "Everyone", "BUILTIN\\Users", "NT AUTHORITY\\Authenticated Users"]),
    ("not ready", not_ready, 21),
]


def test_many_threads_get_each_their_own_replies(morvik: Path) -> None:
    threads, each = 8, 1000
    command, env = server(morvik)
    with Pool(command, env, size=3, timeout=10) as pool:

        def work(thread: int) -> list[str]:
            wrong = []
            for i in range(each):
                name, call, expected = MIX[(thread * 7 + i * 5) % len(MIX)]
                got = call(pool)
                if got != expected:
                    wrong.append(f"{name} got {got!r}")
            return wrong

        with ThreadPoolExecutor(threads) as executor:
            results = list(executor.map(work, range(threads)))
        assert results == [[]] * threads
        assert pool.replacements == 0


def test_a_child_killed_in_the_middle_is_replaced_and_the_pool_carries_on(
    morvik: Path, machine: Callable[..., Path]
) -> None:
    # Each logon takes 1.5 s, so both children are surely inside one when the first is killed.
    command, env = server(morvik, machine(delays={"LogonUserW": 1500}))
    with Pool(command, env, size=2, timeout=10) as pool:
        before = pool.pids
        outcomes: list[Any] = []
        lock = threading.Lock()

        def logon() -> None:
            try:
                pool.validate("alice", "Secret1!", "CORP")
                outcome: Any = "valid"
            except MorvikError as e:
                outcome = e
            with lock:
                outcomes.append(outcome)

        workers = [threading.Thread(target=logon) for _ in range(2)]
        for w in workers:
            w.start()
        time.sleep(0.5)
        os.kill(before[0], signal.SIGKILL)
        for w in workers:
            w.join(30)
        assert outcomes.count("valid") == 1, outcomes
        told = next(o for o in outcomes if isinstance(o, MorvikError))
        assert "failed and was replaced" in str(told)
        assert pool.replacements == 1
        assert pool.pids[0] != before[0] and pool.pids[1] == before[1]
        assert all(pool.is_ntfs("C:\\") for _ in range(4))


def test_a_child_that_died_while_idle_fails_one_caller_only(morvik: Path) -> None:
    command, env = server(morvik)
    with Pool(command, env, size=1, timeout=10) as pool:
        pid = pool.pids[0]
        os.kill(pid, signal.SIGKILL)
        time.sleep(0.2)
        with pytest.raises(MorvikError):
            pool.computer_name()
        assert pool.computer_name() == "FILESRV01"
        assert pool.replacements == 1


def test_close_ends_every_child(morvik: Path) -> None:
    command, env = server(morvik)
    pool = Pool(command, env, size=3)
    pids = pool.pids
    pool.close()
    for pid in pids:
        with pytest.raises(ProcessLookupError):
            os.kill(pid, 0)
    with pytest.raises(MorvikError, match="closed"):
        pool.computer_name()


def test_close_does_not_wait_for_a_request_in_progress(morvik: Path, machine: Callable[..., Path]) -> None:
    command, env = server(morvik, machine(delays={"LogonUserW": 3000}))
    pool = Pool(command, env, size=1, timeout=10)
    with ThreadPoolExecutor(1) as executor:
        call = executor.submit(pool.validate, "alice", "Secret1!", "CORP")
        time.sleep(0.5)
        pool.close()
        # Well before the logon's 3 s are up.
        with pytest.raises(MorvikError, match="closed while the request ran"):
            call.result(timeout=2)


def test_a_pool_whose_children_cannot_start_fails_at_once() -> None:
    with pytest.raises(MorvikError, match="could not start"):
        Pool(["/nonexistent/morvik"], size=2)
