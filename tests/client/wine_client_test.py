#!/usr/bin/env python3
"""morvik-client.exe under Wine, driving morvik.exe: every subcommand with the answer Wine's
platform gives and its exit status, --json, --batch, and the password from a console prompt without
echo, from --password-stdin and from the environment.

The password sources are checked against morvik-wine-logon.exe, whose logon accepts only the
passwords in MORVIK_WINE_LOGONS: a password lost on the way is refused with 1326.

usage: wine_client_test.py BIN_DIR   (reads MORVIK_WINE, WINEPREFIX from the environment)
"""
import json
import os
import pty
import select
import subprocess
import sys
import tempfile
import time

BIN = os.path.abspath(sys.argv[1])
WINE = os.environ.get("MORVIK_WINE", "/usr/lib/wine/wine64")
CLIENT = os.path.join(BIN, "morvik-client.exe")
LOGON = "morvik-wine-logon.exe"  # found in the working folder, BIN
PASSWORD = "Pa55:w0rd!"
failures = []


def check(name, ok, detail=""):
    print(("ok   " if ok else "FAIL ") + name + ("" if ok else "\n     " + detail.replace("\n", "\n     ")))
    if not ok:
        failures.append(name)


def run(args, stdin="", env=None):
    e = dict(os.environ)
    e.pop("MORVIK_PASSWORD", None)
    e.update(env or {})
    p = subprocess.run([WINE, CLIENT] + args, input=stdin.encode(), cwd=BIN, env=e, capture_output=True, timeout=120)
    # The console's text mode ends lines with CR LF.
    return p.returncode, p.stdout.decode(errors="replace").replace("\r\n", "\n"), p.stderr.decode(errors="replace")


def computer_name():
    host = os.uname().nodename.split(".")[0].upper()
    return host[:15]


def record(call, number):
    return lambda out: f"  call: {call}\n" in out and f"  number: {number}\n" in out


# Every subcommand against morvik.exe: Wine logs anyone on with a token no later call accepts (6), has
# no network provider (1222), and is a workgroup machine.
cases = [
    (["validate", "--user", "alice"], 2, record("ImpersonateLoggedOnUser", 6)),
    (["groups", "--user", "alice"], 2, record("GetTokenInformation", 6)),
    (["connect", "--user", "alice", "--path", r"\\fs01\docs"], 2, record("WNetAddConnection2", 1222)),
    (["access-list", "--path", r"C:\no such folder\x.txt"], 2, record("GetNamedSecurityInfo", 3)),
    (["access-check", "--user", "alice", "--path", r"C:\windows\win.ini"], 2, record("AccessCheck", 6)),
    (["is-ntfs", "--path", "C:\\"], 0, lambda out: out == "is-ntfs: 1 (the volume is NTFS)\n"),
    (["computer-name"], 0, lambda out: out == f"computer-name: 1 (the computer name)\n  {computer_name()}\n"),
    (["domain-name"], 1, lambda out: out == "domain-name: 0 (the machine is in a workgroup)\n"),
    (["disconnect", "--path", r"\\fs01\docs"], 2, record("WNetCancelConnection2W", 1222)),
    (["is-mapped", "--path", "C:\\"], 1, lambda out: out == "is-mapped: 0 (not a mapped network drive)\n"),
    (["raw", "--command", "42"], 1, lambda out: "no reply" in out),
    (["is-ntfs"], 3, lambda out: True),
    (["--server", "no-such-morvik.exe", "computer-name"], 3, lambda out: True),
]
# A server that never answers (a shell busy in a loop) is killed once the timeout has passed.
started = time.monotonic()
code, out, err = run(["--timeout", "1", "--server", "cmd /c for /l %i in (1,1,100000000) do rem", "computer-name"])
check("--timeout", code == 3 and "within 1000 ms; it was killed" in err and time.monotonic() - started < 60,
      f"exit {code} after {time.monotonic() - started:.1f} s\n{out}{err}")
for args, status, judge in cases:
    code, out, err = run(args, env={"MORVIK_PASSWORD": "x"})
    check(" ".join(args), code == status and judge(out), f"exit {code} (want {status})\n{out}{err}")

code, out, err = run(["--json", "is-ntfs", "--path", "C:\\"])
try:
    j = json.loads(out)
    check("--json", code == 0 and j["result"] == 1 and j["number"] == 6 and j["strings"] == [], out)
except ValueError:
    check("--json", False, out + err)
code, out, err = run(["--json", "disconnect", "--path", r"\\fs01\docs"])
try:
    j = json.loads(out)
    check("--json error record", code == 2 and j["error"]["number"] == 1222 and j["error"]["call"] == "WNetCancelConnection2W", out)
except ValueError:
    check("--json error record", False, out + err)

# A batch goes through one server: answers in order, the worst exit status.
with tempfile.NamedTemporaryFile("w", suffix=".jsonl", delete=False) as f:
    f.write('{"command": "computer-name"}\n{"command": "raw", "number": 0}\n{"command": "is-mapped", "path": "C:\\\\"}\n'
            '{"command": "disconnect", "path": "\\\\\\\\fs01\\\\docs"}\n')
    batch = f.name
try:
    code, out, err = run(["--batch", batch])
    lines = [json.loads(line) for line in out.splitlines() if line.strip()]
    check("--batch", code == 2 and len(lines) == 4 and lines[0]["strings"] == [computer_name()]
          and lines[1]["reply"] is None and lines[2]["result"] == 0 and lines[3]["error"]["number"] == 1222,
          f"exit {code}\n{out}{err}")
finally:
    os.unlink(batch)

# The password reaches morvik from each source, and only the right one is let on.
logons = {"MORVIK_WINE_LOGONS": "alice:" + PASSWORD}
server = ["--server", LOGON]
for name, args, stdin, env, status in [
    ("--password-stdin", ["--password-stdin"], PASSWORD + "\n", {}, 0),
    ("--password-stdin, wrong", ["--password-stdin"], "nope\n", {}, 2),
    ("--password-env", ["--password-env", "SECRET"], "", {"SECRET": PASSWORD}, 0),
    ("MORVIK_PASSWORD", [], "", {"MORVIK_PASSWORD": PASSWORD}, 0),
    ("--password-env unset", ["--password-env", "NO_SUCH_VARIABLE"], "", {}, 3),
]:
    code, out, err = run(server + args + ["validate", "--user", "alice"], stdin, dict(logons, **env))
    check(name, code == status and PASSWORD not in out + err, f"exit {code} (want {status})\n{out}{err}")


# The prompt, on a console: Wine's console on a pseudo-terminal. The password is typed once the
# prompt shows, and must not come back on the screen.
def prompted(password):
    env = dict(os.environ, **logons)
    env.pop("MORVIK_PASSWORD", None)
    pid, fd = pty.fork()
    if pid == 0:
        os.chdir(BIN)
        os.execve(WINE, [WINE, CLIENT] + server + ["validate", "--user", "alice"], env)
    screen = b""
    typed = False
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline:
        ready, _, _ = select.select([fd], [], [], 1)
        if ready:
            try:
                chunk = os.read(fd, 4096)
            except OSError:
                break
            if not chunk:
                break
            screen += chunk
        # Wine's console draws the prompt's trailing space as a cursor move.
        if not typed and b"password:" in screen:
            time.sleep(0.5)  # the console mode is set right after the prompt
            os.write(fd, password.encode() + b"\r")
            typed = True
    else:
        os.kill(pid, 9)
    _, status = os.waitpid(pid, 0)
    return (os.WEXITSTATUS(status) if os.WIFEXITED(status) else -1), screen.decode(errors="replace"), typed


code, screen, typed = prompted(PASSWORD)
check("prompt without echo", typed and code == 0 and PASSWORD not in screen, f"exit {code}, prompted {typed}\n{screen!r}")
code, screen, typed = prompted("wrong one")
check("prompt, wrong password", typed and code == 2 and "wrong one" not in screen, f"exit {code}\n{screen!r}")

print("wine client:", "FAILED " + ", ".join(failures) if failures else "all passed")
sys.exit(1 if failures else 0)
