"""The quota tools: zorvad_repquota measures homes exactly as the daemon's
sessions do and prints its four formats; zorvad_edquota, driven through a
terminal, changes or keeps the six fields, copies a prototype's, and never
writes a record that does not fit."""
import os
import pty
import re
import select
import subprocess
import time

import pytest

from conftest import BIN_DIR

PASSWD = os.path.join(BIN_DIR, "tools", "passwd", "zorvad_passwd")
REPQUOTA = os.path.join(BIN_DIR, "tools", "quota", "zorvad_repquota")
EDQUOTA = os.path.join(BIN_DIR, "tools", "quota", "zorvad_edquota")
DOMAIN = "set-name = test\nserver-name = testhost\nftp-home = {dir}/ftp\npasswd = %s\n"
UID = 65534
PASSWORD = "Quota-pass-1"


def run(binary, *args):
    return subprocess.run([binary, *args], capture_output=True, text=True, timeout=60,
                          stdin=subprocess.DEVNULL)


def add_user(db, name, home, limits=""):
    r = run(PASSWD, "-f", db, "-c", "-a", "%s:%s:%d:%d::%s:/bin/sh%s" % (name, PASSWORD, UID, UID, home, limits))
    assert r.returncode == 0, r.stderr


def query(db, name):
    r = run(PASSWD, "-f", db, "-q", name)
    assert r.returncode == 0, r.stderr
    return r.stdout


def write_file(path, size, owner=UID):
    with open(path, "wb") as f:
        f.write(b"q" * size)
    os.chown(path, owner, owner)


@pytest.fixture
def db(zorvad_dir):
    os.makedirs(os.path.join(zorvad_dir, "db"), mode=0o700)
    return os.path.join(zorvad_dir, "db", "passwd.db")


@pytest.fixture
def homes(zorvad_dir, db):
    """Three users made with the password tool:
    ada  1536 bytes, 3 files (the starting 1, the home, a.bin); limits 4 kB hard, 1 kB soft, 10/5 files;
    bob  2048 bytes, 6 files, exactly at his hard limit of 2 kB: sub/, sub/b.bin, a link, and locked/,
         which he may not read (the 5000 bytes inside do not count for his sessions), beside a
         file of root's that counts for nobody; soft limit 3 files;
    cyd  no limits (never walked: 0 bytes, 1 file)."""
    base = os.path.join(zorvad_dir, "homes")
    os.makedirs(base)
    home = {}
    for name in ("ada", "bob", "cyd"):
        home[name] = os.path.join(base, name)
        os.mkdir(home[name])
        os.chown(home[name], UID, UID)
    write_file(os.path.join(home["ada"], "a.bin"), 1536)
    os.mkdir(os.path.join(home["bob"], "sub"))
    os.chown(os.path.join(home["bob"], "sub"), UID, UID)
    write_file(os.path.join(home["bob"], "sub", "b.bin"), 2048)
    os.symlink("sub", os.path.join(home["bob"], "link"))
    os.lchown(os.path.join(home["bob"], "link"), UID, UID)
    write_file(os.path.join(home["bob"], "root.bin"), 100000, owner=0)
    locked = os.path.join(home["bob"], "locked")
    os.mkdir(locked)
    write_file(os.path.join(locked, "hidden.bin"), 5000)
    os.chown(locked, UID, UID)
    os.chmod(locked, 0)
    write_file(os.path.join(home["cyd"], "c.bin"), 700)
    add_user(db, "ada", home["ada"], ":4:1:10:5")
    add_user(db, "bob", home["bob"], ":2:0:0:3")
    add_user(db, "cyd", home["cyd"])
    return home


def login_message(s, name):
    c = s.greeted()
    assert c.command("USER " + name).startswith("331 ")
    reply = c.command("PASS " + PASSWORD)
    c.close()
    return reply


HEADER_3 = ["                     [--------- Size Limits --------] [---- File Limits ----]",
            "User                       used       soft       hard    used    soft    hard",
            "=" * 77]
REPORTS = {
    ("-1", "-v", "-t"): ["                 1 kB Block limits                      File limits",
                         "User           used   soft   hard    timeleft    used   soft   hard    timeleft",
                         "ada       --      1      1      4                   3      5     10",
                         "bob       **      2      0      2                   6      3      0",
                         "cyd       --      0      0      0                   1      0      0"],
    ("-2", "-v"): ["                     [------ 1 kB Block limits -----] [---- File Limits ----]",
                   "User                       used       soft       hard    used    soft    hard",
                   "=" * 77,
                   "ada               --          1          1          4       3       5      10",
                   "bob               **          2          0          2       6       3       0",
                   "cyd               --          0          0          0       1       0       0"],
    (): HEADER_3 + ["ada               --       1.5k         1k         4k       3       5      10",
                    "bob               **         2k         0          2k       6       3       0"],
    ("-4", "-l", "bob|ghost cyd,ada"): HEADER_3 + [
        "bob               **      2      0      2                   6      3      0",
        "ada               --      1      1      4                   3      5     10"],
}


@pytest.mark.parametrize("args", list(REPORTS), ids=["format-1", "format-2", "format-3", "format-4-list"])
def test_the_report_counts_each_home_as_the_daemon_does(server, zorvad_dir, db, homes, args):
    # The daemon's own figures, measured at login for the login message.
    message = os.path.join(zorvad_dir, "login.msg")
    with open(message, "w") as f:
        f.write("Used %qbu bytes (limit %qbh), %qfu files (limit %qfh).\n")
    os.chmod(message, 0o644)
    s = server(domain=DOMAIN % db + "u-login-message = %s\n" % message)
    assert login_message(s, "ada").startswith("230-Used 1536 bytes (limit 4096), 3 files (limit 10).\r\n")
    assert login_message(s, "bob").startswith("230-Used 2048 bytes (limit 2048), 6 files (limit (no limit)).\r\n")

    r = run(REPQUOTA, "-f", db, *args)
    lines = r.stdout.split("\n")
    # Records come in the database's order; the -l list in its own.
    body, rest = lines[:len(REPORTS[args])], lines[len(REPORTS[args]):]
    header = len(REPORTS[args]) - (3 if "-v" in args else 2)
    assert body[:header] == REPORTS[args][:header]
    expected_users = REPORTS[args][header:]
    if "-l" not in args:
        body[header:] = sorted(body[header:])
    assert body[header:] == expected_users
    # bob's locked directory: the report says what the daemon logs.
    assert "Could not compute quotas for %s: Permission denied\n" % homes["bob"] in r.stderr
    if "-t" in args:
        assert re.match(r"\nTotal run time: {23}\d+\.\d\d seconds\n"
                        r"Fastest user quota calculation time:  \d+\.\d\d seconds\n"
                        r"Slowest user quota calculation time:  \d+\.\d\d seconds\n"
                        r"Average user quota calculation time:  \d+\.\d\d seconds\n$", "\n".join(rest))
    else:
        assert rest == [""]
    if "-l" in args:
        assert 'Could not query record for "ghost" : Item not found.\n' in r.stderr
        assert r.returncode == 1
    else:
        assert r.returncode == 0, r.stderr


# ---- zorvad_edquota at a terminal -------------------------------------------------------------

class Terminal:
    """A program whose standard input, output and error are a pseudo-terminal."""

    def __init__(self, argv):
        self.master, slave = pty.openpty()
        self.proc = subprocess.Popen(argv, stdin=slave, stdout=slave, stderr=slave, start_new_session=True)
        os.close(slave)
        self.out = b""
        self.seen = 0

    def read_some(self, deadline):
        ready, _, _ = select.select([self.master], [], [], max(0.0, deadline - time.monotonic()))
        if not ready:
            return False
        try:
            data = os.read(self.master, 4096)
        except OSError:         # EIO: the program has ended and closed the terminal
            data = b""
        self.out += data
        return bool(data)

    def expect(self, text, timeout=10.0):
        """Waits for text after what was matched before."""
        deadline = time.monotonic() + timeout
        while self.out.find(text.encode(), self.seen) < 0:
            assert self.read_some(deadline), "no %r in %r" % (text, self.out)
        self.seen = self.out.find(text.encode(), self.seen) + len(text)

    def answer(self, prompt, reply):
        self.expect(prompt)
        os.write(self.master, reply.encode() + b"\n")

    def finish(self, timeout=10.0):
        deadline = time.monotonic() + timeout
        while self.read_some(deadline):
            pass
        rc = self.proc.wait(timeout)
        os.close(self.master)
        return rc, self.out[self.seen:].decode().replace("\r\n", "\n")


PROMPTS = ["    Hard quota, kB [%s] : ", "    Soft quota, kB [%s] : ", "    Hard quota, files [%s] : ",
           "    Soft quota, files [%s] : ", "    Download bandwidth limit, in kB/sec [%s] : ",
           "    Upload bandwidth limit, in kB/sec [%s] : "]


@pytest.mark.parametrize("answers, after, message", [
    (["", "8", "", "", "", "250"], ":4:8:10:5::0:250", "    Quotas changed for user ada.\n"),
    (["", "", "", "", "", ""], ":4:1:10:5::0:0", "No fields were changed, not updating record.\n"),
], ids=["two-fields", "all-empty"])
def test_edquota_asks_each_field_showing_its_value(db, homes, answers, after, message):
    before = query(db, "ada")
    size = os.path.getsize(db)
    t = Terminal([EDQUOTA, "-f", db, "ada"])
    for prompt, current, reply in zip(PROMPTS, ["4", "1", "10", "5", "0 (no limit)", "0 (no limit)"], answers):
        t.answer(prompt % current, reply)
    rc, rest = t.finish()
    assert rc == 0, rest
    assert rest.endswith(message)
    if answers == [""] * 6:
        assert query(db, "ada") == before and os.path.getsize(db) == size   # nothing written at all
    else:
        assert query(db, "ada") == "ada:%s:%d:%d::%s:/bin/sh%s\n" % (before.split(":")[1], UID, UID,
                                                                       homes["ada"], after)


def test_edquota_copies_a_prototypes_six_fields_to_each_user(db, homes):
    add_user(db, "proto", homes["cyd"], ":300:200:30:20::64:32")
    before = {n: query(db, n) for n in ("ada", "bob", "cyd")}
    r = run(EDQUOTA, "-f", db, "-p", "proto", "bob", "cyd")
    assert r.returncode == 0, r.stderr
    assert r.stdout == "    Quotas changed for user bob.\n    Quotas changed for user cyd.\n"
    for name in ("bob", "cyd"):
        fields = query(db, name).rstrip("\n").split(":")
        assert fields[:7] == before[name].rstrip("\n").split(":")[:7]
        assert fields[7:] == ["300", "200", "30", "20", "", "64", "32"]
    assert query(db, "ada") == before["ada"]


def test_edquota_refuses_a_record_that_would_not_fit_and_keeps_the_old_one(zorvad_dir, db, homes):
    # 240 characters now (a long full name and home); the prototype's fields
    # make it 281, over the 256-byte buffer.
    home = os.path.join(zorvad_dir, "h" * (99 - len(zorvad_dir)))
    os.mkdir(home)
    r = run(PASSWD, "-f", db, "-a", "long:abJnggxhB/yWI:%d:%d:%s:%s:/bin/sh" % (UID, UID, "G" * 100, home))
    assert r.returncode == 0, r.stderr
    add_user(db, "proto", homes["cyd"], ":2000000:1000000:300000:200000::8000:9000")
    before = query(db, "long")
    assert len(before) - 1 == 240
    r = run(EDQUOTA, "-f", db, "-p", "proto", "long", "ada")
    assert r.returncode == 1
    assert 'Could not update record for "long" : record too large.\n' in r.stderr
    assert query(db, "long") == before
    # The other user named still gets the fields.
    assert r.stdout == "    Quotas changed for user ada.\n"
    assert query(db, "ada").endswith(":2000000:1000000:300000:200000::8000:9000\n")


@pytest.mark.parametrize("meanwhile", ["password changed", "user deleted"])
def test_edquota_writes_its_fields_into_the_record_as_it_is_at_write_time(db, homes, meanwhile):
    """A second run of the tools races edquota while it waits at its prompts:
    the user changes its password, or an administrator deletes the user.
    The stale record read before the prompts must not come back."""
    t = Terminal([EDQUOTA, "-f", db, "ada"])
    for prompt, reply in zip(PROMPTS[:5], ["", "8", "", "", ""]):
        t.answer(prompt.split("[")[0], reply)
    if meanwhile == "password changed":
        r = run(PASSWD, "-f", db, "-c", "-u", "ada:Changed-pass-2:%d:%d::%s:/bin/sh:4:1:10:5" % (UID, UID, homes["ada"]))
        assert r.returncode == 0, r.stderr
        new_hash = query(db, "ada").split(":")[1]
    else:
        r = run(PASSWD, "-f", db, "-d", "ada")
        assert r.returncode == 0, r.stderr
    t.answer(PROMPTS[5].split("[")[0], "250")
    rc, rest = t.finish()
    if meanwhile == "password changed":
        assert rc == 0, rest
        assert query(db, "ada") == "ada:%s:%d:%d::%s:/bin/sh:4:8:10:5::0:250\n" % (new_hash, UID, UID, homes["ada"])
    else:
        assert rc == 1, rest
        assert "The record for ada was deleted meanwhile; nothing written.\n" in rest
        r = run(PASSWD, "-f", db, "-q", "ada")
        assert "ada:" not in r.stdout
