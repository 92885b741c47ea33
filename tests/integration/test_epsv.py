"""EPSV and EPRT (RFC 2428, IPv4 only), switched on by allow-epsv-eprt: real
clients download through them, they keep the bouncing checks of PORT and
PASV, EPSV ALL locks the other data commands out, and with the key off they
stay unimplemented while clients fall back."""
import ftplib
import os
import re
import socket
import subprocess

import pytest

from xferhelp import LFTP_SAFE

ON = "allow-epsv-eprt = yes\n"
LOGGED_IN = "230 Logged in anonymously.\r\n"
EPSV_REPLY = re.compile(r"^229 Entering Extended Passive Mode \(\|\|\|(\d+)\|\)\r\n$")
CONTENT = os.urandom(300000)


def anonymous_server(server, general=""):
    s = server(general=general)
    pub = os.path.join(s.dir, "ftp", "pub")
    os.makedirs(pub)
    with open(os.path.join(pub, "file.bin"), "wb") as f:
        f.write(CONTENT)
    return s


def login(c):
    c.command("USER anonymous")
    assert c.command("PASS a@b.c") == LOGGED_IN


def curl(s, *args):
    return subprocess.run(["curl", "-v", "-sS", "--max-time", "20", "-u", "anonymous:a@b.c", *args,
                           "ftp://127.0.0.1:%d/pub/file.bin" % s.port], capture_output=True, timeout=30)


def lftp(s, target):
    return subprocess.run(["timeout", "60", "lftp", "-d", "-u", "anonymous,a@b.c", "-p", str(s.port), "-e",
                           LFTP_SAFE + "set ftp:prefer-epsv yes; get /pub/file.bin -o " + target + "; quit",
                           "127.0.0.1"], capture_output=True, text=True, timeout=70)


def ftplib_download(s, extended):
    """ftplib speaks EPSV and EPRT only for IPv6; here its two hooks send them."""
    f = s.ftp()
    f.login("anonymous", "a@b.c")
    sent = []
    if extended == "EPSV":
        def makepasv():
            sent.append(f.sendcmd("EPSV"))
            return ftplib.parse229(sent[-1], f.sock.getpeername())
        f.makepasv = makepasv
    else:
        def makeport():
            listener = socket.create_server(("127.0.0.1", 0), backlog=1)
            sent.append(f.sendeprt(*listener.getsockname()))
            return listener
        f.set_pasv(False)
        f.makeport = makeport
    data = bytearray()
    f.retrbinary("RETR /pub/file.bin", data.extend)
    f.quit()
    return bytes(data), sent


@pytest.mark.parametrize("client", ["curl-epsv", "curl-eprt", "lftp-epsv", "ftplib-epsv", "ftplib-eprt"])
def test_clients_download_through_epsv_and_eprt_when_switched_on(server, zorvad_dir, client):
    s = anonymous_server(server, ON)
    if client == "curl-epsv":
        r = curl(s)
        assert r.returncode == 0, r.stderr
        assert r.stdout == CONTENT
        assert re.search(rb"< 229 Entering Extended Passive Mode \(\|\|\|\d+\|\)\r?\n", r.stderr)
    elif client == "curl-eprt":
        r = curl(s, "--ftp-port", "127.0.0.1")
        assert r.returncode == 0, r.stderr
        assert r.stdout == CONTENT
        assert b"< 200 EPRT command successful." in r.stderr
    elif client == "lftp-epsv":
        target = os.path.join(zorvad_dir, "lftp.bin")
        r = lftp(s, target)
        assert r.returncode == 0, r.stderr
        with open(target, "rb") as f:
            assert f.read() == CONTENT
        assert "<--- 229 Entering Extended Passive Mode" in r.stderr
        assert "---> PASV" not in r.stderr
    else:
        extended = client.split("-")[1].upper()
        data, sent = ftplib_download(s, extended)
        assert data == CONTENT
        assert len(sent) == 1
        if extended == "EPSV":
            assert EPSV_REPLY.match(sent[0] + "\r\n")
        else:
            assert sent == ["200 EPRT command successful."]


def test_switched_off_they_are_unimplemented_and_curl_falls_back_to_pasv(server):
    s = anonymous_server(server)
    c = s.greeted()
    assert c.command("EPSV") == "502 Unimplemented command.\r\n"
    login(c)
    for line in ("EPSV", "EPSV ALL", "EPRT |1|127.0.0.1|5000|", "EPRT |2|::1|5000|"):
        assert c.command(line) == "502 Unimplemented command.\r\n"
    feat = c.command("FEAT")
    assert "EPRT" not in feat and "EPSV" not in feat and " RFC 959 2389 2577 3659\r\n" in feat
    help_text = c.command("HELP")
    assert "      APPE   EPRT*  LIST" in help_text and "      AUTH*  EPSV*  MDTM" in help_text
    r = curl(s)
    assert r.returncode == 0, r.stderr
    assert r.stdout == CONTENT
    assert b"< 502 Unimplemented command." in r.stderr and b"< 227 Entering Passive Mode" in r.stderr


def test_switched_on_feat_lists_them_and_help_marks_them_implemented(server):
    c = anonymous_server(server, ON).greeted()
    login(c)
    feat = c.command("FEAT")
    assert " CLNT\r\n EPRT\r\n EPSV\r\n LANG EN*\r\n" in feat and " RFC 959 2389 2428 2577 3659\r\n" in feat
    help_text = c.command("HELP")
    assert "      APPE   EPRT   LIST" in help_text and "      AUTH*  EPSV   MDTM" in help_text


@pytest.mark.parametrize("general, eprt, refusal", [
    ("", "EPRT |1|127.0.0.2|5000|", "550 Data connection must go to same host as control connection.\r\n"),
    ("allow-outgoing-ports-below-1024 = no\n", "EPRT !1!127.0.0.1!80!",
     "550 Remote port numbers below 1024 are not allowed here.\r\n"),
], ids=["third-host", "low-port"])
def test_eprt_is_refused_as_port_is_and_the_session_ends(server, general, eprt, refusal):
    c = anonymous_server(server, ON + general).greeted()
    login(c)
    assert c.command(eprt) == refusal
    assert c.closed()


def test_after_epsv_all_only_epsv_sets_up_data_connections(server):
    s = anonymous_server(server, ON)
    c = s.greeted()
    assert c.command("EPSV") == "550 Login first, then I might let you do that.\r\n"
    login(c)
    assert c.command("EPSV 2") == "522 Network protocol not supported, use (1)\r\n"
    assert c.command("EPRT |2|::1|5000|") == "522 Network protocol not supported, use (1)\r\n"
    assert c.command("EPRT |1|127.0.0.1|0|") == "501 Syntax error in parameters.\r\n"
    assert EPSV_REPLY.match(c.command("EPSV 1"))
    assert c.command("EPSV ALL") == "200 EPSV ALL command successful.\r\n"
    for word, line in (("PASV", "PASV"), ("PORT", "PORT 127,0,0,1,19,137"), ("EPRT", "EPRT |1|127.0.0.1|5001|")):
        assert c.command(line) == "503 %s is not allowed after EPSV ALL.\r\n" % word
    port = int(EPSV_REPLY.match(c.command("EPSV")).group(1))
    data = socket.create_connection(("127.0.0.1", port), timeout=10)
    assert c.command("TYPE I").startswith("200 ")
    assert c.command("RETR /pub/file.bin").startswith("150 Data connection accepted from 127.0.0.1:")
    received = bytearray()
    while chunk := data.recv(65536):
        received += chunk
    data.close()
    assert bytes(received) == CONTENT
    assert c.reply().startswith("226 ")
