"""ABOR: a running transfer interrupted by the client, in both ways clients
send it (Telnet IP and DM as urgent data then "ABOR" in band; or the whole
line as urgent data, as Python's ftplib does), for each sending method and
for an upload; and ABOR with nothing to abort.  Every answer comes at once."""
import os
import socket
import time

import pytest

from xferhelp import anon_login, domain, open_pasv, sparse_file, user_login, wait_records
from accounts import users  # noqa: F401 (fixture)

ABORTED = "426 Transfer aborted successfully by client.\r\n"
ACKED = "226 Aborted successfully.\r\n"


def send_abor(sock, style):
    if style == "ftplib":
        sock.sendall(b"ABOR\r\n", socket.MSG_OOB)    # the urgent byte is the line feed
    else:
        sock.sendall(b"\xff\xf4\xff")                 # IAC IP IAC
        sock.send(b"\xf2", socket.MSG_OOB)            # DM
        sock.sendall(b"ABOR\r\n")


@pytest.mark.parametrize("style", ["ftplib", "telnet"])
@pytest.mark.parametrize("general, type_", [
    ("", "I"),
    ("sendfile-io = no\n", "I"),
    ("sendfile-io = no\nmemory-mapped-io = yes\n", "I"),
    ("", "A"),
], ids=["sendfile", "loop", "mmap", "ascii"])
def test_abor_cuts_a_running_download(server, style, general, type_):
    s = server(general=general, domain=domain())
    sparse_file(os.path.join(s.dir, "ftp", "big.bin"), 256 << 20)
    c = s.greeted()
    anon_login(c)
    c.command("TYPE " + type_)
    d = open_pasv(c)
    assert c.command("RETR big.bin").startswith("150 ")
    d.recv(65536)
    start = time.monotonic()
    send_abor(c.sock, style)
    assert c.reply() == ABORTED
    assert c.reply() == ACKED
    assert time.monotonic() - start < 5
    d.close()
    assert c.command("NOOP").startswith("200 ")
    rec = wait_records(s, 1)[0]
    assert rec[9] == "ABOR"
    assert int(rec[2]) < 256 << 20


def test_ftplib_abort_during_a_large_retr(server):
    s = server(domain=domain())
    sparse_file(os.path.join(s.dir, "ftp", "big.bin"), 512 << 20)
    f = s.ftp()
    f.login()
    f.voidcmd("TYPE I")
    conn = f.transfercmd("RETR big.bin")
    conn.recv(1 << 20)
    assert f.abort() == ABORTED.rstrip("\r\n")
    conn.close()
    assert f.getmultiline() == ACKED.rstrip("\r\n")
    assert f.voidcmd("NOOP").startswith("200 ")
    f.quit()


@pytest.mark.parametrize("style", ["ftplib", "telnet"])
def test_abor_cuts_a_running_upload(server, users, style):
    u = users()
    s = server(domain=domain())
    c = s.greeted()
    user_login(c, u)
    c.command("TYPE I")
    d = open_pasv(c)
    assert c.command("STOR part.bin").startswith("150 ")
    d.sendall(b"x" * 100000)
    time.sleep(0.2)
    send_abor(c.sock, style)
    assert c.reply() == ABORTED
    assert c.reply() == ACKED
    d.close()
    rec = wait_records(s, 1)[0]
    assert rec[0] == "S"
    assert rec[9] == "ABOR"
    assert rec[2] == "100000"
    assert os.path.getsize(os.path.join(u.home, "part.bin")) == 100000


@pytest.mark.parametrize("style", ["ftplib", "telnet"])
def test_abor_with_nothing_running_is_answered_at_once(server, style):
    s = server(domain=domain())
    c = s.greeted()
    anon_login(c)
    start = time.monotonic()
    send_abor(c.sock, style)
    assert c.reply() == "426 Nothing to abort.\r\n"
    assert time.monotonic() - start < 2
    assert c.command("NOOP").startswith("200 ")


def test_abor_needs_a_login(server):
    s = server(domain=domain())
    c = s.greeted()
    assert c.command("ABOR") == "550 Login first, then I might let you do that.\r\n"
