"""Data connections seen from clients: curl listing in passive and active
mode, the default data port, the passive port announcements, and the
refusals that end the session (a third host, loopback from a remote client,
only a stranger's connection to the passive port), and a stranger's
connection dropped while the owner's is still awaited."""
import json
import os
import random
import re
import socket
import subprocess
import sys
import textwrap

import pytest

from conftest import wait_for

LOGGED_IN = "230 Logged in anonymously.\r\n"
PASV_REPLY = re.compile(r"^227 Entering Passive Mode \((\d+),(\d+),(\d+),(\d+),(\d+),(\d+)\)\r\n$")


def login(c):
    c.command("USER anonymous")
    assert c.command("PASS a@b.c") == LOGGED_IN


def pasv(c):
    m = PASV_REPLY.match(c.command("PASV"))
    assert m, "no 227 reply"
    return ".".join(m.group(1, 2, 3, 4)), int(m.group(5)) * 256 + int(m.group(6))


def port_arg(host, port):
    return "%s,%d,%d" % (host.replace(".", ","), port >> 8, port & 255)


def read_all(sock):
    data = b""
    while True:
        chunk = sock.recv(65536)
        if not chunk:
            return data
        data += chunk


@pytest.fixture
def served(server):
    """A server with a small anonymous tree."""
    s = server()
    pub = os.path.join(s.dir, "ftp", "pub")
    os.makedirs(pub)
    for name in ("one.txt", "two.txt"):
        with open(os.path.join(pub, name), "w") as f:
            f.write("x")
    return s


def curl(s, *args, path="/pub/"):
    return subprocess.run(["curl", "-sS", "--max-time", "20", "-u", "anonymous:a@b.c", *args,
                           "ftp://127.0.0.1:%d%s" % (s.port, path)],
                          capture_output=True, timeout=30)


@pytest.mark.parametrize("mode", [["--disable-epsv"], ["--ftp-port", "127.0.0.1", "--disable-eprt"]],
                         ids=["passive", "active"])
def test_curl_lists_a_directory(served, mode):
    r = curl(served, *mode)
    assert r.returncode == 0, r.stderr
    names = [line.split()[-1] for line in r.stdout.splitlines()]
    assert names == [b"one.txt", b"two.txt"]
    r = curl(served, "--list-only", *mode)
    assert r.returncode == 0, r.stderr
    assert r.stdout.split() == [b"one.txt", b"two.txt"]


def test_a_listing_without_port_or_pasv_goes_to_the_clients_control_port(served):
    c = served.control(source=("127.0.0.1", 0))
    c.sock.close()
    # The control socket and the listener share one local port.
    c.sock = socket.socket()
    c.sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    c.sock.bind(("127.0.0.1", 0))
    local_port = c.sock.getsockname()[1]
    listener = socket.socket()
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", local_port))
    c.sock.settimeout(20)
    c.sock.connect(("127.0.0.1", served.port))
    c.buf = b""
    c.reply()
    listener.listen(1)
    login(c)
    c.send("NLST pub")
    assert c.reply() == "150 Opening ASCII mode data connection for /bin/ls.\r\n"
    listener.settimeout(10)
    data, peer = listener.accept()
    assert peer == ("127.0.0.1", served.port - 1)
    assert read_all(data) == b"one.txt\r\ntwo.txt\r\n"
    data.close()
    listener.close()
    assert c.reply() == "226 Listing completed.\r\n"


def test_two_pasv_commands_in_a_row_announce_the_same_port(served):
    c = served.greeted()
    login(c)
    assert pasv(c) == pasv(c)


def test_the_passive_port_comes_from_the_ephemeral_range(server):
    c = server(general="ephemeral-port-range = 40000 40002\n").greeted()
    login(c)
    host, port = pasv(c)
    assert port in (40000, 40001)


def test_the_configured_passive_address_is_announced(server):
    c = server(general="passive-ip = 192.0.2.5\n").greeted()
    login(c)
    assert pasv(c)[0] == "192.0.2.5"


def test_pasv_and_listings_need_a_login(served):
    c = served.greeted()
    for command in ("PASV", "LIST"):
        assert c.command(command) == "550 Login first, then I might let you do that.\r\n"


def test_port_with_a_malformed_address_is_a_syntax_error(served):
    c = served.greeted()
    login(c)
    assert c.command("PORT 127,0,0,1,4") == "501 Syntax error in parameters.\r\n"
    assert c.command("PORT 127,0,0,1,256,1") == "501 Syntax error in parameters.\r\n"
    assert c.command("PORT 127 0 0 1 x4 y1") == "200 PORT command successful.\r\n"


def test_port_to_a_third_host_ends_the_session(served):
    c = served.greeted()
    login(c)
    assert c.command("PORT 127,0,0,2,19,137") == \
        "550 Data connection must go to same host as control connection.\r\n"
    assert c.closed()


def test_port_below_1024_ends_the_session_when_not_allowed(server):
    c = server(general="allow-outgoing-ports-below-1024 = no\n").greeted()
    login(c)
    assert c.command("PORT 127,0,0,1,0,80") == "550 Remote port numbers below 1024 are not allowed here.\r\n"
    assert c.closed()


def stranger_connects(host, port):
    """A second client, on another address, racing the owner to its passive port."""
    data = socket.socket()
    data.bind(("127.0.0.2", 0))
    data.settimeout(10)
    data.connect((host, port))
    return data


def anonymous_binary_session(server, size):
    """A server with pub/file.bin of size random bytes, and an anonymous
    session in TYPE I: (server, control, content)."""
    s = server(general="conn-timeout = 8\n")
    os.makedirs(os.path.join(s.dir, "ftp", "pub"))
    content = os.urandom(size)
    with open(os.path.join(s.dir, "ftp", "pub", "file.bin"), "wb") as f:
        f.write(content)
    c = s.greeted()
    login(c)
    c.command("TYPE I")
    return s, c, content


def test_a_stranger_first_on_the_passive_port_is_dropped_and_the_owner_still_served(server):
    """A second client racing the first connects to its passive port from
    127.0.0.2 before the owner: its connection is closed and logged, and the
    owner's own connection gets the whole file with 226; the session goes on."""
    s, c, content = anonymous_binary_session(server, 300000)
    host, port = pasv(c)
    stranger = stranger_connects(host, port)
    owner = socket.create_connection((host, port), timeout=10)
    assert c.command("RETR pub/file.bin").startswith("150 ")
    assert read_all(owner) == content
    assert c.reply().startswith("226 ")
    assert read_all(stranger) == b""                    # closed without a byte
    s.wait_log(r"Data connection \(127\.0\.0\.2\) is not from same host as control connection \(127\.0\.0\.1\)")
    assert c.command("NOOP").startswith("200 ")
    owner.close()
    stranger.close()


def test_silent_strangers_cannot_fill_the_passive_ports_queue_before_the_owner_connects(server):
    """Second clients racing the first connect to its passive port from
    127.0.0.2 and say nothing, enough to fill its listen queue while the
    session waits for a command.  They are turned away at once, so the
    owner still connects before its transfer command (as clients do) and
    gets its file."""
    s, c, content = anonymous_binary_session(server, 100000)
    host, port = pasv(c)
    strangers = [stranger_connects(host, port) for _ in range(2)]
    for stranger in strangers:
        stranger.settimeout(3)
        try:
            assert stranger.recv(1) == b""
        except (ConnectionResetError, socket.timeout):
            pass
    owner = socket.create_connection((host, port), timeout=5)
    assert c.command("RETR pub/file.bin").startswith("150 ")
    assert read_all(owner) == content
    assert c.reply().startswith("226 ")
    assert wait_for(lambda: len(re.findall(r"Data connection \(127\.0\.0\.2\) is not from same host", s.log())) == 2)
    owner.close()
    for stranger in strangers:
        stranger.close()


def test_only_a_stranger_on_the_passive_port_ends_the_session_at_the_time_out(server):
    """A second client connects from another host and the owner never does:
    at the accept time-out the refusal's reply, and the session ends."""
    s = server(general="conn-timeout = 2\n")
    os.makedirs(os.path.join(s.dir, "ftp", "pub"))
    c = s.greeted()
    login(c)
    stranger = stranger_connects(*pasv(c))
    assert c.command("LIST pub") == \
        "550 Passive connection must come from same host as control connection.\r\n"
    assert c.closed()
    stranger.close()


# ---- A client that is not on loopback: everything inside a private network namespace ----------

CLIENT = textwrap.dedent("""\
    import json, socket, sys
    port = int(sys.argv[1])
    s = socket.create_connection(("192.0.2.1", port), timeout=20, source_address=("192.0.2.1", 0))
    f = s.makefile("rb")
    def reply():
        line = f.readline().decode("latin-1")
        text = line
        if line[3:4] == "-":
            while not line.startswith(text[:3] + " "):
                line = f.readline().decode("latin-1")
                text += line
        return text
    out = [reply()]
    for cmd in ("USER anonymous", "PASS a@b.c", "PORT 127,0,0,1,19,137"):
        s.sendall((cmd + "\\r\\n").encode())
        out.append(reply())
    s.settimeout(10)
    out.append(f.read().decode("latin-1"))
    print(json.dumps(out))
""")


@pytest.fixture
def netns():
    name = "zorvad-it-%06x" % random.getrandbits(24)
    subprocess.run(["ip", "netns", "add", name], check=True)
    try:
        for cmd in (["ip", "link", "set", "lo", "up"], ["ip", "addr", "add", "192.0.2.1/32", "dev", "lo"]):
            subprocess.run(["ip", "netns", "exec", name, *cmd], check=True)
        yield name
    finally:
        subprocess.run(["ip", "netns", "del", name])


def listening_in(pid, port):
    needle = ":%04X " % port
    try:
        with open("/proc/%d/net/tcp" % pid) as f:
            return any(needle in line.split()[1] + " " and line.split()[3] == "0A"
                       for line in f.readlines()[1:])
    except OSError:
        return False


def test_port_to_loopback_from_a_remote_client_ends_the_session(netns, server):
    s = server(wrapper=("ip", "netns", "exec", netns), wait=False)
    assert wait_for(lambda: listening_in(s.proc.pid, s.port), 20), s.log()
    r = subprocess.run(["ip", "netns", "exec", netns, sys.executable, "-c", CLIENT, str(s.port)],
                       capture_output=True, text=True, timeout=60)
    assert r.returncode == 0, r.stderr
    replies = json.loads(r.stdout)
    assert replies[2] == LOGGED_IN
    assert replies[3] == ("550 Data connection to 127.0.0.1 is not allowed when control connection "
                          "is from 192.0.2.1!\r\n")
    assert replies[4] == ""
    s.wait_log(r"Data connection \(127\.0\.0\.1\) attempted to loopback! "
               r"\(User's control connection originates at 192\.0\.2\.1\.\)")


def test_a_second_client_racing_for_a_passive_port_does_not_fail_the_first_pasv(server):
    """A second client's session bound the same port of the range a moment
    earlier and listened first: this session's listen fails with EADDRINUSE
    (injected here into the only pool child by strace, as the race does it)
    and PASV must go on with another port, not fail."""
    s = server(args=["-n", "1,1"])
    # The child writes its own line of the PID file once it has started.
    line = wait_for(lambda: re.match(rb"kill -9  +(\d+) ", open(s.pid_file(), "rb").read()[138 + 64:]), 10)
    assert line, open(s.pid_file(), "rb").read()
    child = int(line.group(1))
    tracer = subprocess.Popen(["strace", "-qq", "-o", "/dev/null", "-p", str(child),
                               "-e", "trace=listen", "-e", "inject=listen:error=EADDRINUSE:when=1"])
    try:
        wait_for(lambda: "TracerPid:\t%d" % tracer.pid in open("/proc/%d/status" % child).read(), 10)
        c = s.greeted()
        assert c.command("USER anonymous").startswith("331")
        assert c.command("PASS guest@example.org").startswith("230")
        assert c.command("PASV").startswith("227 ")
    finally:
        tracer.terminate()
        tracer.wait(10)
