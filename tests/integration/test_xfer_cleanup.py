"""A session that ends while a transfer holds its file: the data connection
never comes, the session ends at the data time-out, and what the transfer
held (a temporary upload file, a locked file, archiver processes) is gone
before the child serves anyone else."""
import fcntl
import os
import shutil

from accounts import users  # noqa: F401 (fixture)
from conftest import wait_for
from xferhelp import PASV_REPLY, anon_login, domain, stor, user_login, write_file

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

