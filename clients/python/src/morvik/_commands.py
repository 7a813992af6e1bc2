"""The ten commands: what each sends and what its reply means.

A "no" is a result of 0 without a body, and only commands 5, 6, 8 and 10 have one; a failure
carries the error record (CommandFailed). Anything else is not a reply that command gives, and is
reported as such (MorvikError) rather than guessed at.
"""

from __future__ import annotations

from abc import ABC, abstractmethod

from ._wire import Params, Reply, Value
from .errors import CommandFailed, MorvikError

Password = str | bytes | bytearray
Request = tuple[int, list[tuple[str, Value]]]


def _failure(command: int, reply: Reply) -> Exception:
    record = reply.error
    if record is not None:
        return CommandFailed(command, reply.result, record)
    return MorvikError(
        f"command {command} got a reply it does not give: result {reply.result}"
        f" with {len(reply.string_bytes)} strings"
    )


def done(command: int, reply: Reply) -> None:
    if reply.result == 1 and not reply.string_bytes:
        return
    raise _failure(command, reply)


def strings(command: int, reply: Reply) -> list[str]:
    if reply.result == 1:
        return reply.strings
    raise _failure(command, reply)


def yes_no(command: int, reply: Reply) -> bool:
    if not reply.string_bytes and reply.result in (0, 1):
        return reply.result == 1
    raise _failure(command, reply)


def one(command: int, reply: Reply) -> str:
    if reply.result == 1 and len(reply.string_bytes) == 1:
        return reply.strings[0]
    raise _failure(command, reply)


def one_or_none(command: int, reply: Reply) -> str | None:
    if reply.result == 0 and not reply.string_bytes:
        return None
    return one(command, reply)


def logon(command: int, user: str, password: Password, key: str, value: str | None) -> Request:
    """user, password, then the third key when its value is given: the order the vectors have."""
    params: list[tuple[str, Value]] = [("user", user), ("password", password)]
    if value is not None:
        params.append((key, value))
    return command, params


def path(command: int, value: str) -> Request:
    return command, [("filepath", value)]


class Commands(ABC):
    """The ten commands as methods in which a "no" (False, None) and a failure (CommandFailed)
    never look alike. A bytearray password is zeroed once encoded; a str cannot be."""

    @abstractmethod
    def request(self, command: int, params: Params | None = None) -> Reply:
        """Sends command 1 to 10 with these parameters and returns its reply as it came."""

    def _ask(self, req: Request) -> Reply:
        return self.request(req[0], req[1])

    def validate(self, user: str, password: Password, domain: str | None = None) -> None:
        """Command 1: returns when the credentials are valid; CommandFailed says why not (1326: wrong)."""
        done(1, self._ask(logon(1, user, password, "domain", domain)))

    def groups(self, user: str, password: Password, domain: str | None = None) -> list[str]:
        """Command 2: the user's enabled groups, DOMAIN\\name or a bare name."""
        return strings(2, self._ask(logon(2, user, password, "domain", domain)))

    def connect(self, user: str, password: Password, share: str) -> None:
        """Command 3: connects to \\\\server\\share. The connection belongs to the Windows logon
        session, not to the server process: any server of that session (any child of a pool)
        serves a later disconnect."""
        done(3, self._ask(logon(3, user, password, "filepath", share)))

    def access_list(self, file: str) -> list[str]:
        """Command 4: the accounts the file's ACL names with read rights, in ACL order."""
        return strings(4, self._ask(path(4, file)))

    def can_read(self, user: str, password: Password, file: str) -> bool:
        """Command 5: may the user read the file? False is a "no"; a step that failed raises."""
        return yes_no(5, self._ask(logon(5, user, password, "filepath", file)))

    def is_ntfs(self, root: str) -> bool:
        """Command 6: is the volume at this root (such as C:\\) NTFS?"""
        return yes_no(6, self._ask(path(6, root)))

    def computer_name(self) -> str:
        """Command 7: the computer name."""
        return one(7, self.request(7))

    def domain_name(self) -> str | None:
        """Command 8: the domain the machine belongs to; None on a workgroup machine."""
        return one_or_none(8, self.request(8))

    def disconnect(self, share: str) -> None:
        """Command 9: cancels a share connection (made by any server of this logon session)."""
        done(9, self._ask(path(9, share)))

    def is_mapped_drive(self, root: str) -> bool:
        """Command 10: is the drive at this root a mapped network drive?"""
        return yes_no(10, self._ask(path(10, root)))


