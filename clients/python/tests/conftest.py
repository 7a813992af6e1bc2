"""The servers the tests talk to: the native morvik on a winsim machine, and shell stand-ins."""

from __future__ import annotations

import json
import os
import struct
from collections.abc import Callable, Iterator
from pathlib import Path
from typing import Any

import pytest

from morvik import Client

ROOT = Path(os.environ.get("MORVIK_ROOT", Path(__file__).resolve().parents[3]))
DEMO_MACHINE = ROOT / "examples" / "demo-machine.json"


def morvik_path() -> Path:
    path = Path(os.environ.get("MORVIK_SERVER", ROOT / "build" / "native" / "bin" / "morvik"))
    # A run without the server fails rather than skips.
    assert os.access(path, os.X_OK), f"no native morvik at {path}: build it with cmake --build --preset native"
    return path


@pytest.fixture(scope="session")
def morvik() -> Path:
    return morvik_path()


@pytest.fixture
def machine(tmp_path: Path) -> Callable[..., Path]:
    """A machine file: the demo machine with top-level keys added or replaced, or one from scratch."""

    def make(base: dict[str, Any] | None = None, **keys: Any) -> Path:
        content = json.loads(DEMO_MACHINE.read_text()) if base is None else dict(base)
        content.update(keys)
        path = tmp_path / f"machine-{len(list(tmp_path.iterdir()))}.json"
        path.write_text(json.dumps(content))
        return path

    return make


def server(morvik: Path, machine: Path = DEMO_MACHINE) -> tuple[list[str], dict[str, str]]:
    return [str(morvik)], {"WINSIM_MACHINE": str(machine)}


@pytest.fixture(scope="module")
def demo() -> Iterator[Client]:
    command, env = server(morvik_path())
    with Client(command, env, timeout=10) as client:
        yield client


def printf(data: bytes) -> str:
    """A printf command that writes these bytes, for shell stand-ins."""
    return "printf '" + "".join(f"\\{b:03o}" for b in data) + "'"


def le(*values: int) -> bytes:
    return struct.pack(f"<{len(values)}i", *values)


def reply_header(result: int, length: int) -> bytes:
    return le(2, 1, result, length, 2, 1) + bytes(8)


BUDGET = "C:\\data\\finance\\budget.xlsx"
SHARE = "\\\\fs01\\docs"
