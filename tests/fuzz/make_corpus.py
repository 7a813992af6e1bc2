#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets: corpus/loop/ (request streams for the loop, made
for the machine that fuzz_loop.cpp installs) and corpus/decoder/ (single messages and malformed
bodies). The files are committed; run this again after changing a seed, from any directory."""
import os
import re
import shutil
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
TERMINATE = 3


def i32(v):
    return struct.pack("<i", v)


def body(pairs, count=None):
    """A request body; `pairs` are (key, value) byte strings, `count` overrides the pair count."""
    out = i32(len(pairs) if count is None else count)
    for key, value in pairs:
        out += i32(len(key)) + key + i32(len(value)) + value
    return out


def message(command, payload=b"", mtype=1, sender=7, receiver=9, length=None, result=0):
    n = len(payload) if length is None else length
    return i32(mtype) + i32(command) + i32(result) + i32(n) + i32(sender) + i32(receiver) + b"\0" * 8 + payload


def req(command, **params):
    return message(command, body([(k.encode(), v.encode("utf-8") if isinstance(v, str) else v)
                                  for k, v in params.items()]))


def fault_tables():
    """The fault calls and errors of fuzz_loop.cpp, in its order."""
    with open(os.path.join(HERE, "fuzz_loop.cpp")) as f:
        source = f.read()
    calls = re.findall(r'"(\w+)"', re.search(r"kFaultCalls\[\] = \{(.*?)\};", source, re.S).group(1))
    errors = [int(n) for n in re.findall(r"^\s*(\d+),", re.search(r"kFaultErrors\[\] = \{(.*?)\};", source, re.S).group(1), re.M)]
    return calls, errors


FAULT_CALLS, FAULT_ERRORS = fault_tables()


def faults(stream, *specs):
    """The stream with up to two faults in the first header's reserved bytes: (call, error, nth)."""
    reserved = bytearray(8)
    for i, (call, error, nth) in enumerate(specs):
        reserved[3 * i:3 * i + 3] = bytes([FAULT_CALLS.index(call) + 1, FAULT_ERRORS.index(error), nth - 1])
    return stream[:24] + bytes(reserved) + stream[32:]


def domain_member(stream):
    """fuzz_loop installs the domain member for inputs of odd length: a stray byte after the last
    message (a header cut short, which ends the loop) makes the length odd."""
    return stream if len(stream) % 2 else stream + b"\0"


ALICE = dict(user="alice", password="Secret1!", domain="")
CAFE_ANSI = b"C:\\caf\xe9\\men\xfc.txt"  # the access check reads its path in Windows-1252
CAFE_UTF8 = "C:\\café\\menü.txt"

loop = {
    # Every command with parameters that reach the machine's accounts, files, volumes and shares.
    "cmd01-validate-alice": req(1, **ALICE),
    "cmd01-validate-wrong-password": req(1, user="alice", password="nope", domain=""),
    "cmd01-validate-disabled": req(1, user="carol", password="pw", domain=""),
    "cmd01-validate-utf8": req(1, user="jürgen", password="Passwört", domain=""),
    "cmd01-validate-domain": domain_member(req(1, user="dave", password="Dave#1", domain="CORP")),
    "cmd02-groups-domain": domain_member(req(2, user="dave", password="Dave#1", domain="CORP")),
    "cmd01-validate-no-params": req(1),
    "cmd02-groups-alice": req(2, **ALICE),
    "cmd02-groups-unnamed-group": req(2, user="eve", password="x", domain=""),
    "cmd02-groups-deny-only": req(2, user="jürgen", password="Passwört", domain=""),
    "cmd02-groups-bad-logon": req(2, user="bob", password="", domain=""),
    "cmd03-connect-private": req(3, user="alice", password="Secret1!", filepath="\\\\fileserver\\private"),
    "cmd03-connect-public": req(3, filepath="\\\\fileserver\\public"),
    "cmd03-connect-unknown": req(3, user="x", password="y", filepath="\\\\nowhere\\share"),
    "cmd04-acl-public": req(4, filepath="C:\\data\\public.txt"),
    "cmd04-acl-secret": req(4, filepath="C:\\data\\secret.txt"),
    "cmd04-acl-null-dacl": req(4, filepath="C:\\data\\open.txt"),
    "cmd04-acl-empty-dacl": req(4, filepath="C:\\data\\empty.txt"),
    "cmd04-acl-inherit-only": req(4, filepath="C:\\data\\owner.txt"),
    "cmd04-acl-unnamed-sid": req(4, filepath="C:\\data\\orphan.txt"),
    "cmd04-acl-utf8-path": req(4, filepath=CAFE_UTF8),
    "cmd04-acl-missing": req(4, filepath="C:\\data\\missing.txt"),
    "cmd05-check-allowed": req(5, filepath="C:\\data\\public.txt", **ALICE),
    "cmd05-check-denied": req(5, filepath="C:\\data\\secret.txt", **ALICE),
    "cmd05-check-bob-secret": req(5, user="bob", password="hunter2", domain="", filepath="C:\\data\\secret.txt"),
    "cmd05-check-null-dacl": req(5, filepath="C:\\data\\open.txt", **ALICE),
    "cmd05-check-empty-dacl": req(5, filepath="C:\\data\\empty.txt", **ALICE),
    "cmd05-check-owner": req(5, filepath="C:\\data\\owner.txt", **ALICE),
    "cmd05-check-write-only": req(5, filepath="C:\\data\\write.txt", **ALICE),
    "cmd05-check-ansi-path": req(5, filepath=CAFE_ANSI, **ALICE),
    "cmd05-check-bad-logon": req(5, user="alice", password="x", domain="", filepath="C:\\data\\public.txt"),
    "cmd06-ntfs-c": req(6, filepath="C:\\"),
    "cmd06-ntfs-fat": req(6, filepath="D:\\"),
    "cmd06-ntfs-not-ready": req(6, filepath="E:\\"),
    "cmd06-ntfs-no-drive": req(6, filepath="Q:\\"),
    "cmd07-computer-name": req(7),
    "cmd08-domain-name": req(8),
    "cmd08-domain-name-member": domain_member(req(8)),
    "cmd09-disconnect-private": req(9, filepath="\\\\fileserver\\private"),
    "cmd09-disconnect-not-connected": req(9, filepath="\\\\fileserver\\public"),
    "cmd10-mapped-remote": req(10, filepath="Z:\\"),
    "cmd10-mapped-fixed": req(10, filepath="C:\\"),
    "cmd10-mapped-cdrom": req(10, filepath="R:\\"),
    # Stream shapes.
    "terminate": message(2, body([]), mtype=TERMINATE),
    "terminate-empty-body-then-request": message(0, mtype=TERMINATE) + req(7),
    "request-then-terminate-then-request": req(8) + message(5, mtype=TERMINATE) + req(7),
    "unknown-commands-then-request": req(0) + req(11) + req(-1) + req(7),
    "reply-type-served": message(7, body([]), mtype=2) + message(8, body([]), mtype=1),
    "cut-header": req(7)[:31],
    "cut-body": message(6, b"\x01\x00\x00\x00\x08", length=8),
    "request-then-cut-body": req(7) + message(6, b"\x01\x00", length=23),
    "negative-body-length": message(6, b"", length=-1) + req(7),
    "body-length-over-cap": message(6, b"", length=(1 << 20) + 1) + req(7),
    "body-shorter-than-count": message(6, b"\x01\x00") + req(8),
    "count-negative": message(6, body([(b"filepath", b"C:\\")], count=-1)),
    "count-huge": message(6, body([(b"filepath", b"C:\\")], count=0x7FFFFFFF)),
    "key-length-negative": message(6, i32(1) + i32(-4) + b"filepath"),
    "key-length-past-body": message(6, i32(1) + i32(200) + b"filepath"),
    "value-length-past-body": message(6, i32(1) + i32(8) + b"filepath" + i32(99) + b"C:\\"),
    "duplicate-key": message(6, body([(b"filepath", b"D:\\"), (b"filepath", b"C:\\")])),
    "embedded-zero": message(4, body([(b"filepath", b"C:\\data\\public.txt\0junk")])),
    "trailing-bytes": message(10, body([(b"filepath", b"Z:\\")]) + b"trailing"),
    "back-to-back-connect-disconnect": req(3, user="alice", password="Secret1!", filepath="\\\\fileserver\\private")
    + req(9, filepath="\\\\fileserver\\private"),
    "back-to-back-identity": req(7) + req(8),
    "back-to-back-identity-member": domain_member(req(7) + req(8)),
    "session": req(1, **ALICE) + req(2, **ALICE) + req(5, filepath="C:\\data\\public.txt", **ALICE)
    + req(4, filepath="C:\\data\\secret.txt") + req(6, filepath="C:\\") + req(10, filepath="Z:\\")
    + message(0, mtype=TERMINATE),
}

# Failure branches: one request (or a short session) with the call that fails named.
SESSION = (req(1, **ALICE) + req(2, **ALICE) + req(2, user="eve", password="x", domain="")
           + req(5, filepath="C:\\data\\public.txt", **ALICE) + req(4, filepath="C:\\data\\secret.txt")
           + req(6, filepath="C:\\") + req(7) + req(8) + req(10, filepath="Z:\\")
           + req(3, user="alice", password="Secret1!", filepath="\\\\fileserver\\private")
           + req(9, filepath="\\\\fileserver\\private"))
for call, error, nth in [("LogonUserW", 1326, 1), ("ImpersonateLoggedOnUser", 5, 1), ("OpenThreadToken", 5, 2),
                         ("GetTokenInformation", 122, 2), ("GetTokenInformation", 8, 1), ("LookupAccountSidW", 1332, 3),
                         ("GetFileSecurityA", 5, 1), ("GetFileSecurityA", 122, 2), ("AccessCheck", 5, 1),
                         ("MapGenericMask", 87, 1), ("GetNamedSecurityInfoW", 5, 1), ("GetAclInformation", 87, 1),
                         ("GetAce", 87, 1), ("LsaOpenPolicy", 5, 1), ("LsaQueryInformationPolicy", 8, 1),
                         ("NetWkstaGetInfo", 1722, 1), ("NetWkstaGetInfo", 8, 2), ("GetVolumeInformationW", 5, 1),
                         ("GetDriveTypeW", 87, 1), ("WNetAddConnection2W", 53, 1), ("WNetCancelConnection2W", 2250, 1),
                         ("MultiByteToWideChar", 87, 1), ("MultiByteToWideChar", 122, 3), ("WideCharToMultiByte", 122, 2),
                         ("GlobalAlloc", 8, 1), ("LocalAlloc", 8, 1)]:
    loop["fault-%s-%d-%d" % (call, error, nth)] = faults(SESSION, (call, error, nth))
loop["fault-LogonUserW-and-FormatMessageW"] = faults(SESSION, ("LogonUserW", 1326, 1), ("FormatMessageW", 8, 1))
# A name that converts to nothing: success with an empty list.
loop["fault-WideCharToMultiByte-computer-name"] = faults(req(7), ("WideCharToMultiByte", 122, 1))
loop["fault-LsaOpenPolicy-domain-member"] = domain_member(faults(SESSION, ("LsaOpenPolicy", 5, 1)))

decoder = {name: data for name, data in loop.items() if not name.startswith(("back-to-back", "session", "fault"))}
decoder.update({
    "short-input-body-only": body([(b"user", b"alice")]),
    "empty-key-and-value": message(1, body([(b"", b""), (b"user", b"")])),
    "zero-in-key": message(1, body([(b"us\0er", b"alice"), (b"user", b"bob")])),
    "many-pairs": message(1, body([(b"k%d" % i, b"v%d" % i) for i in range(40)])),
    "value-length-3-zero-middle": message(1, body([(b"user", b"a\0b"), (b"domain", b"D")])),
    "extreme-header": i32(-2**31) + i32(2**31 - 1) + i32(-1) + i32(4) + i32(-2**31) + i32(2**31 - 1) + b"\xff" * 8
    + i32(0),
})


def write(folder, seeds):
    path = os.path.join(HERE, "corpus", folder)
    shutil.rmtree(path, ignore_errors=True)
    os.makedirs(path)
    for name, data in seeds.items():
        with open(os.path.join(path, name), "wb") as f:
            f.write(data)


write("loop", loop)
write("decoder", decoder)
