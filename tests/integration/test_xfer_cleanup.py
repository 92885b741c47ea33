"""A transfer whose data connection never comes: the file is left as it was
and the attempt ends in one transfer record.  A session that ends while a
transfer holds its file (the data time-out) leaves nothing behind: what the
transfer held (a temporary upload file, a locked file, archiver processes) is
gone before the child serves anyone else."""
import fcntl
import os
import shutil
import socket

import pytest

from accounts import users  # noqa: F401 (fixture)
from conftest import wait_for
from xferhelp import PASV_REPLY, anon_login, domain, records, retr, stor, user_login, write_file

TIMED_OUT = "550 Could not accept passive data connection - timed out.\r\n"
DONE = "226 Transfer completed.\r\n"


def ended_at_the_data_time_out(c, command):
    """PASV without ever connecting, then the command: the session ends."""
    assert PASV_REPLY.match(c.command("PASV"))
    assert c.command(command) == TIMED_OUT
    assert c.closed()


def user_server(server, users, general):
    u = users()
    s = server(general="conn-timeout = 1\n" + general, domain=domain())
    return s, u


def logged_in(s, u):
    c = s.greeted()
    user_login(c, u)
    c.command("TYPE I")
    return c


def test_an_abandoned_upload_leaves_no_temporary_file_to_block_the_next(server, users):
    s, u = user_server(server, users, "upload-tmp-then-rename = yes\n")
    ended_at_the_data_time_out(logged_in(s, u), "STOR doc")
    assert not os.path.exists(os.path.join(u.home, ".upload.doc"))
    c = logged_in(s, u)
    assert stor(c, "STOR doc", b"second try")[1] == DONE
    with open(os.path.join(u.home, "doc"), "rb") as f:
        assert f.read() == b"second try"
    assert [n for n in os.listdir(u.home) if n.startswith(".upload.")] == []


def test_an_abandoned_locked_download_leaves_no_lock(server, users):
    s, u = user_server(server, users, "lock-downloads = yes\nlock-uploads = yes\n")
    path = write_file(os.path.join(u.home, "shared.bin"), b"old content")
    os.chown(path, u.uid, u.gid)
    ended_at_the_data_time_out(logged_in(s, u), "RETR shared.bin")
    with open(path, "r+b") as f:
        fcntl.lockf(f, fcntl.LOCK_EX | fcntl.LOCK_NB)     # raises while a child holds it
        fcntl.lockf(f, fcntl.LOCK_UN)
    c = logged_in(s, u)
    assert stor(c, "STOR shared.bin", b"new content")[1] == DONE


def archivers_of(s):
    """Archiver processes whose parent is one of the server's processes."""
    parents = set(s.processes())
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % entry) as f:
                fields = f.read().rsplit(")", 1)[1].split()
            with open("/proc/%s/comm" % entry) as f:
                comm = f.read().strip()
        except OSError:
            continue
        if int(fields[1]) in parents and comm in ("tar", "gzip"):
            found.append(int(entry))
    return found


def test_an_abandoned_directory_archive_stops_its_archivers(server):
    general = "conn-timeout = 1\ntar = %s\ngzip = %s\n" % (shutil.which("tar"), shutil.which("gzip"))
    s = server(general=general, domain=domain())
    tree = os.path.join(s.dir, "ftp", "pub", "tree")
    # More than a pipe holds, even compressed: the archivers must wait for a reader.
    write_file(os.path.join(tree, "noise.bin"), os.urandom(4 << 20))
    c = s.greeted()
    anon_login(c)
    c.command("TYPE I")
    ended_at_the_data_time_out(c, "RETR pub/tree.tar.gz")
    assert wait_for(lambda: not archivers_of(s), 5), archivers_of(s)
    # The child serves the next session as before.
    c = s.greeted()
    anon_login(c)
    assert c.command("NOOP").startswith("200 ")



@pytest.mark.parametrize("verb, letter", [("STOR", "S"), ("RETR", "R")])
@pytest.mark.parametrize("way", ["port-refused", "pasv-never-connected"])
def test_a_data_connection_that_never_comes_changes_nothing_and_is_recorded_once(server, users, verb, letter,
                                                                                   way):
    s, u = user_server(server, users, "")
    path = write_file(os.path.join(u.home, "doc"), b"the content before")
    os.chown(path, u.uid, u.gid)
    write_file(os.path.join(u.home, "marker"), b"m")
    c = logged_in(s, u)
    if way == "port-refused":
        with socket.socket() as closed:                 # bound, never listening: connections are refused
            closed.bind(("127.0.0.1", 0))
            port = closed.getsockname()[1]
            assert c.command("PORT 127,0,0,1,%d,%d" % (port >> 8, port & 255)) == "200 PORT command successful.\r\n"
            assert c.command("%s doc" % verb).startswith("550 Cannot connect to 127.0.0.1")
        assert c.command("NOOP").startswith("200 ")   # the session goes on
    else:
        ended_at_the_data_time_out(c, "%s doc" % verb)
    with open(path, "rb") as f:
        assert f.read() == b"the content before"
    # A later transfer's record: every record of the attempt is written by then.
    assert retr(logged_in(s, u), "marker")[1] == b"m"
    recs = wait_for(lambda: [r for r in records(s) if r[1].endswith("/marker")] and records(s))
    assert [(r[0], r[9], r[2]) for r in recs if r[1] == path] == [(letter, "ERROR", "0")]
