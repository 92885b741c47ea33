"""Attacks on the passive data port and the PROXY header reader that the
server withstands: a flood from another host on the passive port, strangers'
connections that must leave nothing in the pool child, a balancer's
malformed headers."""
import ftplib
import os
import socket
import struct
import threading
import time

from accounts import users  # noqa: F401 (fixture)
from conftest import Control, wait_for
from test_data import login, pasv, read_all
from test_tls import HALF_A_HELLO, cert, tls_ftp, user_server  # noqa: F401 (fixture)


def _flood(host, port, stop):
    while not stop.is_set():
        s = socket.socket()
        s.bind(("127.0.0.2", 0))
        s.settimeout(2)
        try:
            s.connect((host, port))
        except OSError:
            pass
        finally:
            s.close()


def test_a_flood_from_another_host_on_the_passive_port_does_not_hold_the_owner_up(server):
    """Sixteen threads connect to the owner's passive port from 127.0.0.2
    without pause (bounded to the test): the owner still connects at once
    and gets its file with 226."""
    s = server(general="conn-timeout = 8\n")
    os.makedirs(os.path.join(s.dir, "ftp", "pub"))
    with open(os.path.join(s.dir, "ftp", "pub", "file.bin"), "wb") as f:
        f.write(b"x" * 100000)
    c = s.greeted()
    login(c)
    c.command("TYPE I")
    host, port = pasv(c)
    stop = threading.Event()
    threads = [threading.Thread(target=_flood, args=(host, port, stop)) for _ in range(16)]
    for t in threads:
        t.start()
    try:
        time.sleep(1)
        t0 = time.monotonic()
        owner = socket.create_connection((host, port), timeout=15)
        assert c.command("RETR pub/file.bin").startswith("150 ")
        assert read_all(owner) == b"x" * 100000
        assert c.reply().startswith("226 ")
        assert time.monotonic() - t0 < 3
    finally:
        stop.set()
        for t in threads:
            t.join()


def _fds(pid):
    return {int(fd) for fd in os.listdir("/proc/%d/fd" % pid)}


def test_strangers_waiting_on_the_passive_port_leave_nothing_in_the_pool_child(server, users, cert):
    """Strangers from the same host wait on the passive port (one inside its
    hello), the client asks PASV twice and ABOR while they wait, then
    leaves: the child that serves the next session holds no descriptor of
    theirs."""
    s, u = user_server(server, users, cert, extra="conn-timeout = 6\nmax-users = 1\n")
    f = tls_ftp(s, (u.name, u.password))
    pid = s.slot(wait_for(lambda: s.busy_children())[0])["pid"]
    before = _fds(pid)
    port = ftplib.parse227(f.sendcmd("PASV"))[1]
    strangers = [socket.create_connection(("127.0.0.1", port)) for _ in range(5)]
    strangers[0].sendall(HALF_A_HELLO)
    port = ftplib.parse227(f.sendcmd("PASV"))[1]
    strangers += [socket.create_connection(("127.0.0.1", port)) for _ in range(3)]
    f.putcmd("ABOR")
    f.getmultiline()
    f.close()
    for x in strangers:
        x.close()
    assert wait_for(lambda: not s.busy_children())
    g = tls_ftp(s, (u.name, u.password))
    again = s.slot(wait_for(lambda: s.busy_children())[0])["pid"]
    # (The pool child finishes handing the login over as the client reads its 230.)
    assert again == pid and wait_for(lambda: len(_fds(pid)) <= len(before))
    g.close()


BALANCER = "127.0.0.10"
SIG = b"\r\n\r\n\x00\r\nQUIT\n"
INET = socket.inet_aton("127.0.0.50") + socket.inet_aton("127.0.0.1") + struct.pack("!HH", 4000, 21)


def _v2(command_family, body):
    return SIG + command_family + struct.pack("!H", len(body)) + body


MALFORMED = [_v2(b"\x21\x11", INET[:11]), _v2(b"\x21\x31", b"a" * 216), _v2(b"\x21\x12", INET),
             _v2(b"\x31\x11", INET), _v2(b"\x22\x11", INET), _v2(b"\x21\x21", b"\x20\x01" + b"\0" * 33),
             _v2(b"\x21\x21", b"\xff\x02" + b"\0" * 34),
             b"PROXY UNKNOWN \x00 junk\r\n", b"PROXY UNKNOWN " + b"x" * 92 + b"\r\n",
             b"PROXY TCP4  127.0.0.50 127.0.0.1 1 21\r\n", b"PROXY TCP4 127.0.0.50 127.0.0.1 1 21 \r\n",
             b"PROXY TCP4 127.0.0.50\x00 127.0.0.1 1 21\r\n", b"PROXY TCP4 127.0.0.50\r127.0.0.1 1 21\r\n"]


def test_a_balancers_malformed_headers_are_refused_and_the_server_goes_on(server):
    """A listed balancer sends malformed version 1 and 2 headers (short
    addresses, other families and versions, a multicast IPv6 client, NUL,
    blanks, one byte too long), the short ones byte by byte: each is refused, none names a
    client, and the server still greets."""
    s = server(general="proxy-protocol-from = %s\nlogin-timeout = 3\n" % BALANCER)
    for header in MALFORMED:
        c = Control(s.port, source=(BALANCER, 0), timeout=5)
        for piece in ([bytes([b]) for b in header] if len(header) < 60 else [header]):
            c.send(piece)
        assert c.closed(timeout=5), header
        c.close()
    assert "New connection from 127.0.0.50" not in s.log()
    assert Control(s.port, timeout=5).reply().startswith("220 ")
