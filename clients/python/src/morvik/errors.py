"""The error record of a failed command, and the two exceptions."""

from __future__ import annotations

from dataclasses import dataclass


@dataclass(frozen=True)
class ErrorRecord:
    """What a failed command reports: the library routine that failed (context), the Windows call
    that failed, Windows' error number and its message text ("" when Windows has none; when
    present it ends with CR LF)."""

    context: str
    call: str
    number: int
    text: str

    def __str__(self) -> str:
        text = self.text.strip()
        return f"{self.context}: {self.call} failed with {self.number}" + (f": {text}" if text else "")


class MorvikError(Exception):
    """What is not an answer: the server could not start, exited, cut a reply short, sent a
    malformed one, or took longer than the timeout. For those the client has stopped its server; a
    well-formed reply that does not fit the command (a server bug) leaves it running."""


class CommandFailed(Exception):
    """A command's answer that it failed, with Windows' error record; the server goes on serving."""

    def __init__(self, command: int, result: int, error: ErrorRecord) -> None:
        super().__init__(f"command {command} failed: {error}")
        self.command = command
        self.result = result
        self.error = error
