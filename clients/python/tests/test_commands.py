"""Every command through the typed methods against the native morvik on the demo machine."""

from __future__ import annotations

import json
from collections.abc import Callable
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import pytest
from conftest import BUDGET, DEMO_MACHINE, SHARE, server

from morvik import Client, CommandFailed, MorvikError, Reply
from morvik._commands import Commands
from morvik._wire import Params


@dataclass(frozen=True)
class Failed:
    result: int
    context: str
    call: str
    number: int
    text: str


WRONG = Failed(0, "WinSecurity::logOnVelUser", "LogonUser", 1326, "The user name or password is incorrect.\r\n")
MISSING = "The system cannot find the file specified.\r\n"
Call = Callable[[Commands], Any]

ANSWERS: list[tuple[str, Call, Any]] = [
    ("1 valid", lambda c: c.validate("alice", "Secret1!", "CORP"), None),
    ("1 without a domain", lambda c: c.validate("alice", bytearray(b"Secret1!")), None),
    ("1 wrong password", lambda c: c.validate("alice", "wrong", "CORP"), WRONG),
    ("1 refused account", lambda c: c.validate("carol", "pw", "CORP"),
     Failed(0, "WinSecurity::logOnVelUser", "LogonUser", 1331,
            "This user can't sign in because this account is currently disabled.\r\n")),
    ("2 groups", lambda c: c.groups("alice", "Secret1!", "CORP"),
     ["CORP\\Domain Users", "CORP\\Finance", "Everyone", "BUILTIN\\Users", "NT AUTHORITY\\Authenticated Users"]),
    ("2 wrong domain", lambda c: c.groups("alice", "Secret1!", "NOPE"), WRONG),
    ("3 wrong password", lambda c: c.connect("alice", "bad", SHARE),
     Failed(0, "NetConnection::connect", "WNetAddConnection2", 1326, "The user name or password is incorrect.\r\n")),
    ("4 access list", lambda c: c.access_list(BUDGET),
     ["CORP\\bob", "NT AUTHORITY\\SYSTEM", "CORP\\Finance", "NT AUTHORITY\\Authenticated Users"]),
    ("4 missing file", lambda c: c.access_list("C:\\nope"),
     Failed(0, "WinSecurity::getUsersForFile", "GetNamedSecurityInfo", 2, MISSING)),
    ("5 yes", lambda c: c.can_read("alice", "Secret1!", BUDGET), True),
    ("5 no", lambda c: c.can_read("bob", "Hunter2?", BUDGET), False),
    ("5 missing file", lambda c: c.can_read("bob", "Hunter2?", "C:\\nope"),
     Failed(0, "WinSecurity::checkURI", "GetFileSecurity", 2, MISSING)),
    ("5 wrong password", lambda c: c.can_read("bob", "nope", BUDGET), WRONG),
    ("6 NTFS", lambda c: c.is_ntfs("C:\\"), True),
    ("6 FAT32", lambda c: c.is_ntfs("E:\\"), False),
    ("6 not ready", lambda c: c.is_ntfs("D:\\"),
     Failed(0, "WinSecurity::isNTFS", "GetVolumeInformation", 21, "The device is not ready.\r\n")),
    ("7 name", lambda c: c.computer_name(), "FILESRV01"),
    ("8 domain", lambda c: c.domain_name(), "CORP"),
    ("9 not connected", lambda c: c.disconnect("\\\\fs01\\other"),
     Failed(0, "NetConnection::disconnect", "WNetCancelConnection2W", 2250,
            "This network connection does not exist.\r\n")),
    ("10 mapped", lambda c: c.is_mapped_drive("Z:\\"), True),
    ("10 not mapped", lambda c: c.is_mapped_drive("C:\\"), False),
]


def check(client: Commands, call: Call, expected: Any) -> None:
    if isinstance(expected, Failed):
        with pytest.raises(CommandFailed) as caught:
            call(client)
        e = caught.value
        assert Failed(e.result, e.error.context, e.error.call, e.error.number, e.error.text) == expected
    else:
        assert call(client) == expected


@pytest.mark.parametrize("name,call,expected", ANSWERS, ids=[a[0] for a in ANSWERS])
def test_answers_and_failures_never_look_alike(demo: Client, name: str, call: Call, expected: Any) -> None:
    check(demo, call, expected)
    assert demo.is_open, "a command's answer leaves the server serving"


def test_connect_then_disconnect(demo: Client) -> None:
    demo.connect("alice", "Secret1!", SHARE)
    demo.disconnect(SHARE)
    with pytest.raises(CommandFailed) as again:
        demo.disconnect(SHARE)
    assert again.value.error.number == 2250


DENIED = Failed(-1, "WinSecurity::getMachineInfo", "NetWkstaGetInfo()", 5, "Access is denied.\r\n")
WKSTA_FAILS = {"faults": [{"call": "NetWkstaGetInfo", "error": 5}]}


@pytest.mark.parametrize(
    "name,base,keys,call,expected",
    [
        ("7 fails", None, WKSTA_FAILS, lambda c: c.computer_name(), DENIED),
        ("8 fails", None, WKSTA_FAILS, lambda c: c.domain_name(), DENIED),
        ("8 workgroup", {}, {"workgroup": "HOMENET"}, lambda c: c.domain_name(), None),
    ],
    ids=lambda v: v if isinstance(v, str) else "",
)
def test_machine_identity_failures(
    morvik: Path, machine: Callable[..., Path], name: str, base: Any, keys: dict[str, Any], call: Call, expected: Any
) -> None:
    command, env = server(morvik, machine(base, **keys))
    with Client(command, env, timeout=10) as client:
        check(client, call, expected)


def test_raw_requests_keep_the_reply_as_it_came(demo: Client) -> None:
    yes = demo.request(6, {"filepath": "C:\\"})
    assert (yes.result, yes.strings, yes.error) == (1, [], None)
    no = demo.request(6, [("filepath", "E:\\")])
    assert (no.result, no.error) == (0, None), 'a "no" carries no record'
    failed = demo.request(6, {"filepath": "D:\\"})
    assert failed.result == 0 and failed.error is not None and failed.error.number == 21
    assert failed.string_bytes[0] == b"WinSecurity::isNTFS"
    assert demo.request(7).strings == ["FILESRV01"]


def test_commands_outside_one_to_ten_are_refused_before_sending(demo: Client) -> None:
    for command in (0, 11, 42, -1):
        with pytest.raises(ValueError):
            demo.request(command)
    assert demo.computer_name() == "FILESRV01", "nothing was sent that would shift the replies"


def test_pipelined_replies_come_back_in_request_order(demo: Client) -> None:
    roots = ["C:\\", "E:\\", "D:\\"]
    batch: list[tuple[int, Params | None]] = [(6, {"filepath": roots[i % 3]}) for i in range(3000)]
    replies = demo.pipeline(batch)
    assert [r.result for r in replies] == [1 if i % 3 == 0 else 0 for i in range(3000)]
    assert all(r.error is not None and r.error.number == 21 for r in replies[2::3])


def test_passwords_are_zeroed_and_never_shown(demo: Client) -> None:
    password = bytearray(b"wrong-Zq8#x")
    with pytest.raises(CommandFailed) as caught:
        demo.validate("alice", password, "CORP")
    assert password == bytes(len(password)), "the caller's bytearray is zeroed"
    assert "Zq8" not in str(caught.value) and "Zq8" not in repr(caught.value)

    good = bytearray(b"Secret1!")
    assert demo.can_read("alice", good, BUDGET)
    assert good == bytes(8)


def test_paths_of_command_5_are_read_in_the_ansi_code_page(morvik: Path, machine: Callable[..., Path]) -> None:
    demo = json.loads(DEMO_MACHINE.read_text())
    cafe = "C:\\data\\café.txt"
    files = demo["files"] + [{"path": cafe, "owner": "S-1-5-32-544", "group": "S-1-5-32-544",
                              "dacl": [{"type": "allow", "sid": "S-1-1-0", "mask": "0x1200a9"}]}]
    command, env = server(morvik, machine(files=files))
    with Client(command, env, timeout=10) as client:
        assert client.access_list(cafe) == ["Everyone"], "command 4 reads UTF-8"
        ansi = client.request(5, [("user", "alice"), ("password", "Secret1!"), ("filepath", cafe.encode("cp1252"))])
        assert (ansi.result, ansi.error) == (1, None)
        with pytest.raises(CommandFailed) as utf8:
            client.can_read("alice", "Secret1!", cafe)
        assert utf8.value.error.number == 2, "the UTF-8 bytes name no file in the ANSI code page"


def test_passwords_outside_ascii_go_out_as_utf8(morvik: Path, machine: Callable[..., Path]) -> None:
    password = "Pässwörd€\U0001F511"  # two, three and four UTF-8 bytes
    accounts = json.loads(DEMO_MACHINE.read_text())["accounts"] + [
        {"name": "dora", "domain": "CORP", "sid": "S-1-5-21-1004336348-1177238915-682003330-1107", "password": password}
    ]
    command, env = server(morvik, machine(accounts=accounts))
    with Client(command, env, timeout=10) as client:
        client.validate("dora", bytearray(password.encode()), "CORP")
        client.validate("dora", password, "CORP")
        with pytest.raises(CommandFailed):
            client.validate("dora", "Passwords", "CORP")


CANNED: list[tuple[str, Call, int, tuple[bytes, ...]]] = [
    ("1 yes with strings", lambda c: c.validate("u", "p"), 1, (b"x",)),
    ("1 zero without a record", lambda c: c.validate("u", "p"), 0, ()),
    ("6 zero with two strings", lambda c: c.is_ntfs("C:\\"), 0, (b"x", b"x")),
    ("6 result 7", lambda c: c.is_ntfs("C:\\"), 7, ()),
    ("7 two names", lambda c: c.computer_name(), 1, (b"x", b"x")),
    ("7 zero without a record", lambda c: c.computer_name(), 0, ()),
    ("8 record with a non-number", lambda c: c.domain_name(), -1, (b"x", b"x", b"x")),
]


@pytest.mark.parametrize("name,call,result,strings", CANNED, ids=[c[0] for c in CANNED])
def test_replies_a_command_never_gives_are_not_answers(
    name: str, call: Call, result: int, strings: tuple[bytes, ...]
) -> None:
    class Canned(Commands):
        def request(self, command: int, params: Params | None = None) -> Reply:
            return Reply(result, strings)

    with pytest.raises(MorvikError, match="reply it does not give"):
        call(Canned())
