"""morvik.exe under Wine through the client: Wine's own code answers. Selected only with -m wine
(scripts/test runs it after the windows build, with a started prefix); then a missing Wine or
morvik.exe is a failure, never a skip."""

from __future__ import annotations

import os
import socket

import pytest

from morvik import Client


@pytest.mark.wine
def test_wine_answers_through_the_client() -> None:
    exe = os.environ.get("MORVIK_EXE")
    wine = os.environ.get("MORVIK_WINE", "/usr/lib/wine/wine64")
    assert exe, "MORVIK_EXE must name build/windows/bin/morvik.exe"
    assert os.environ.get("WINEPREFIX"), "WINEPREFIX must name a started prefix"
    assert os.path.isfile(exe), f"no morvik.exe at {exe}"
    assert os.access(wine, os.X_OK), f"no wine at {wine}"
    expected = socket.gethostname().split(".")[0].upper()[:15]
    with Client([wine, exe], timeout=60) as client:
        assert client.is_ntfs("C:\\")
        assert client.computer_name() == expected
