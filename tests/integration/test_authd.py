"""Logins decided by an authentication service: the reference service
(tools/authd) answering from a users file, and a raw UDP stand-in for the
answers no sane service gives.  The service decides in mode 1 (at PASS) and
mode 2 (also at connection and USER); it may hand a user back to the local
checks; the values it gives are applied; and a service that does not answer,
or answers wrongly, refuses the login: it never falls back to the local
checks."""
import os
import re
import socket
import struct
import subprocess
import time

import pytest

from accounts import identity, process_in, users  # noqa: F401 (fixture)
from conftest import BIN_DIR, free_port, shm_key, shm_remove, wait_for, write_configs
from xferhelp import stor

AUTHD_REF = os.path.join(BIN_DIR, "tools", "authd", "zorvad_authd_ref")
NOBODY = 65534
SIZE = 1404

DOMAIN = ("set-name = test\nserver-name = testhost\nftp-home = {dir}/ftp\n"
          "log-session = {dir}/session.log\n")
DENIED = "530 Access denied.\r\n"


def general(port, mode=None, more=""):
    address = "127.0.0.1:%d" % port + ("" if mode is None else ";%d" % mode)
    return ("max-users = 2\nlog-sessions = yes\nauthd-message-timeout = 1\nauthd-debug = 1\nzorvad_authd = %s\n%s"
            % (address, more))


def end_codes(s):
    """End code of every session-log line so far."""
    return [int(line.split(",")[8]) for line in
            (re.sub(r"^\S+ \S+ \S+ +\| ", "", l) for l in s.log_file("session.log").splitlines())]


def ended_with(s, code):
    assert wait_for(lambda: code in end_codes(s)), end_codes(s)


# ---- The reference service -------------------------------------------------------------------------

class RefService:
    def __init__(self, directory, lines, barred=()):
        self.users = os.path.join(directory, "authd-users")
        self.write(lines)
        args = [AUTHD_REF, "-a", "127.0.0.1:0", "-u", self.users]
        for a in barred:
            args += ["-b", a]
        self.proc = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        first = self.proc.stdout.readline()
        m = re.fullmatch(r"listening on 127\.0\.0\.1:(\d+)\n", first)
        assert m, "the reference service did not start: %r" % first
        self.port = int(m.group(1))

    def write(self, lines):
        with open(self.users, "w") as f:
            f.write("".join(line + "\n" for line in lines))
        os.chmod(self.users, 0o600)

    def stop(self):
        self.proc.terminate()
        self.proc.wait(10)
        self.proc.stdout.close()


@pytest.fixture
def authd(zorvad_dir):
    started = []

    def start(*lines, barred=()):
        r = RefService(zorvad_dir, lines, barred)
        started.append(r)
        return r

    yield start
    for r in started:
        r.stop()


@pytest.fixture
def vhome(zorvad_dir):
    """A home for users the service gives the uid nobody."""
    home = os.path.join(zorvad_dir, "vera")
    os.mkdir(home)
    os.chown(home, NOBODY, NOBODY)
    return home


def login(c, name, password, user_reply=None):
    reply = c.command("USER " + name)
    assert reply == (user_reply or "331 User %s okay, need password.\r\n" % name)
    return c.command("PASS " + password)


# ---- Decisions ---------------------------------------------------------------------------------------

# The system user's own password would pass the local checks: with the
# service in use only the service decides.
@pytest.mark.parametrize("mode", [1, 2])
def test_the_service_alone_decides_who_logs_in(server, authd, users, vhome, mode):
    sysuser = users()
    ref = authd("vera s3cret uid=%d gids=%d home=%s" % (NOBODY, NOBODY, vhome),
                "%s * deny" % sysuser.name)
    s = server(general=general(ref.port, mode if mode == 2 else None), domain=DOMAIN)

    # Granted: a name the system does not know.
    c = s.greeted()
    assert login(c, "vera", "s3cret") == "230 Logged in.\r\n"
    assert c.command("PWD") == '257 "%s" is cwd.\r\n' % vhome
    c.command("QUIT")
    # Denied with the right local password: at USER in mode 2, at PASS in mode 1.
    c = s.greeted()
    if mode == 2:
        assert c.command("USER " + sysuser.name) == DENIED
    else:
        assert login(c, sysuser.name, sysuser.password) == DENIED
    assert c.closed()
    ended_with(s, 28)
    # A wrong password ends the session at once.
    c = s.greeted()
    assert login(c, "vera", "guess") == DENIED
    assert c.closed()
    assert wait_for(lambda: end_codes(s).count(28) == 2), end_codes(s)


def test_mode_2_asks_at_connection(server, authd):
    ref = authd(barred=["127.0.0.1"])
    s = server(general=general(ref.port, 2), domain=DOMAIN)
    c = s.control()
    assert c.reply() == DENIED
    assert c.closed()
    ended_with(s, 28)
    # Another client address is let through to the greeting.
    c = s.control(source=("127.0.0.2", 0))
    assert c.reply().startswith("220")


def test_the_service_can_hand_a_user_to_the_local_checks(server, authd, users):
    sysuser = users()
    ref = authd("%s - internal" % sysuser.name)
    s = server(general=general(ref.port), domain=DOMAIN)
    c = s.greeted()
    assert login(c, sysuser.name, "wrong") == "530 Login incorrect.\r\n"
    assert c.command("PASS " + sysuser.password).startswith("230 ")
    s.wait_log(r'Auth server requested internal auth for user "%s"\.\n' % sysuser.name)
    ids = identity(wait_for(lambda: process_in(sysuser.home, s.processes())))
    assert (ids["euid"], ids["egid"]) == (sysuser.uid, sysuser.gid)


# ---- What the service gives ----------------------------------------------------------------------------

def test_the_values_of_the_service_make_the_session(server, authd, vhome):
    ref = authd("vera s3cret uid=%d gids=%d,33 home=%s restricted=1 umask=027 quota=0,0,2,0 bandwidth=64,32"
                " perm=-d reply=331 Vera, your password please." % (NOBODY, NOBODY, vhome))
    s = server(general=general(ref.port, 2, "authd-debug = 3\nauthd-paranoia = yes\n"), domain=DOMAIN)
    c = s.greeted()
    assert login(c, "vera", "s3cret", "331 Vera, your password please.\r\n") == \
        "230 Restricted user logged in.\r\n"
    assert c.command("PWD") == '257 "/" is cwd.\r\n'
    ids = identity(wait_for(lambda: process_in(vhome, s.processes())))
    assert (ids["euid"], ids["egid"], ids["groups"], ids["umask"]) == (NOBODY, NOBODY, [33, NOBODY], "0027")
    s.wait_log(r"Bandwidth limits: 64 kB/sec download, 32 kB/sec upload\.\n")
    # The home and itself already count 2 files: the quota of 2 is full.
    assert c.command("TYPE I").startswith("200 ")
    assert stor(c, "STOR f", b"x") == ("450 Disk quota exceeded (2 files;  limit: 2).\r\n", None)
    open(os.path.join(vhome, "old"), "w").close()
    # -d: no deleting.
    assert c.command("DELE old").startswith("553 ")
    # Every answer is dumped; the password never is.
    s.wait_log(r"AuthDebug: <<3\|5\|0\|--\|127\.0\.0\.1\|127\.0\.0\.1\|--\|test\|\d+\|vera\|[^|]*\|\|%d \(%d: 33 -1 "
               % (NOBODY, NOBODY))
    assert "s3cret" not in s.log()


@pytest.mark.parametrize("words, general_more, reply, code, log", [
    ("umask=8", "", "530 Login incorrect.\r\n", 41, r'Bad umask \("8"\) received from auth server\.\n'),
    ("perm=-Q", "", "530 Login failed.  Have the sysadmin check the misc log.\r\n", 40,
     r'Bad user permissions string "-Q" \(stopped at Q\) received from auth server\.\n'),
    ("", "authd-paranoia = yes\n", "530 Login incorrect.\r\n", 29, r"does not end in the user name"),
    ("gids=-1", "", "451 Login failed.\r\n", 35, r'No groups defined for user "vera"\n'),
    ("uid=0", "", "530 Login incorrect.\r\n", 28, r'as root, but authd-allow-root-logins is off'),
], ids=["umask", "permissions", "paranoia", "groups", "root"])
def test_unusable_values_refuse_the_login(server, authd, vhome, words, general_more, reply, code, log):
    gids = "" if "gids=" in words else "gids=%d " % NOBODY
    ref = authd("vera s3cret uid=%d %shome=%s/ %s" % (NOBODY, gids, os.path.dirname(vhome), words))
    s = server(general=general(ref.port, 1, general_more), domain=DOMAIN)
    c = s.greeted()
    assert login(c, "vera", "s3cret") == reply
    assert c.closed()
    ended_with(s, code)
    s.wait_log(log)


# ---- Services that do not answer, or answer wrongly --------------------------------------------------

class FakeService:
    """A raw UDP socket the test answers by hand.  The scrambling key is
    read off the first word of each request, whose plain value is 3."""

    def __init__(self):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind(("127.0.0.1", 0))
        self.sock.settimeout(15)
        self.port = self.sock.getsockname()[1]
        self.key = None

    def scramble(self, data):
        return bytes(b ^ self.key[i % 4] for i, b in enumerate(data))

    def request(self):
        data, self.peer = self.sock.recvfrom(4096)
        assert len(data) == SIZE
        self.key = bytes(a ^ b for a, b in zip(data[:4], b"\0\0\0\3"))
        return bytearray(self.scramble(data))

    def answer(self, msg):
        self.sock.sendto(self.scramble(bytes(msg)), self.peer)

    def close(self):
        self.sock.close()


@pytest.fixture
def fake():
    f = FakeService()
    yield f
    f.close()


def word(msg, off):
    return struct.unpack_from(">i", msg, off)[0]


def text(msg, off, size):
    return bytes(msg[off:off + size]).split(b"\0", 1)[0].decode("latin-1")


def put_word(msg, off, value):
    struct.pack_into(">i", msg, off, value)


def put_text(msg, off, size, value):
    msg[off:off + size] = value.encode().ljust(size, b"\0")


def test_the_request_carries_each_field_at_its_place(server, fake):
    s = server(general=general(fake.port, 2), domain=DOMAIN)
    before = int(time.time())
    c = s.control()
    msg = fake.request()
    assert (word(msg, 0), word(msg, 4), word(msg, 8)) == (3, 1, 0)
    client = c.sock.getsockname()
    assert bytes(msg[12:28]) == struct.pack(">HH4s8x", 2, client[1], socket.inet_aton("127.0.0.1"))
    assert bytes(msg[124:140]) == struct.pack(">HH4s8x", 2, s.port, socket.inet_aton("127.0.0.1"))
    slot = s.slot(1)
    assert (text(msg, 28, 64), text(msg, 92, 32), text(msg, 140, 64)) == (slot["host"], "127.0.0.1", "test")
    # The time comes from the status area's clock, which may lag up to a second.
    assert before - 1 <= word(msg, 204) <= int(time.time())
    assert text(msg, 272, 256) == "331 User okay, need password.\r\n"
    assert text(msg, 924, 40) == slot["session_id"] != ""
    fake.answer(msg)
    assert c.reply().startswith("220")

    c.send("USER vera")
    msg = fake.request()
    assert (word(msg, 4), text(msg, 208, 64)) == (3, "vera")
    put_text(msg, 272, 256, "")
    fake.answer(msg)
    assert c.reply() == "331 User vera okay, need password.\r\n"
    c.send("PASS s3cret")
    msg = fake.request()
    assert (word(msg, 4), text(msg, 208, 64), text(msg, 528, 64)) == (5, "vera", "s3cret")


def broken(kind, msg):
    if kind == "short":
        return msg[:SIZE - 1]
    if kind == "type 4":
        put_word(msg, 0, 4)
    if kind == "other user":
        put_text(msg, 208, 64, "mallory")
    return msg


# A rejected answer keeps the socket (the same source port asks again);
# after a time-out, a refused send or another user's answer the socket is
# made anew.
@pytest.mark.parametrize("kind, log, same_socket", [
    ("short", r"auth server sent back message of size 1403, but Zorvad message type 3 requires 1404\.\n", True),
    ("type 4", r"auth server sent back message type 4, but Zorvad requires 3\.\n", True),
    ("other user", r"auth server sent back message for user mallory, but we expected a message for user {}\.\n",
     False),
    ("silence", r"recv from auth server 127\.0\.0\.1:\d+ timed-out\.\n", False),
])
def test_a_wrong_or_missing_answer_refuses_and_never_falls_back(server, fake, users, kind, log, same_socket):
    sysuser = users()
    s = server(general=general(fake.port, 2), domain=DOMAIN)
    c = s.control()
    fake.answer(fake.request())
    assert c.reply().startswith("220")
    # At USER the session goes on.
    c.send("USER " + sysuser.name)
    msg = fake.request()
    first = fake.peer
    if kind != "silence":
        fake.answer(broken(kind, msg))
    assert c.reply() == "451 Could not negotiate authd login.\r\n"
    s.wait_log("AuthDebug: " + log.format(sysuser.name))
    # The name was not taken.
    assert c.command("PASS " + sysuser.password) == "503 Bad sequence of commands.\r\n"
    c.send("USER " + sysuser.name)
    msg = fake.request()
    if same_socket:
        assert fake.peer == first
    else:
        ready = re.findall(r"AuthDebug: auth client socket ready at 127\.0\.0\.1:(\d+)\.\n", s.log())
        assert len([p for p in ready if int(p) in (first[1], fake.peer[1])]) >= 2, ready
    put_text(msg, 272, 256, "")
    fake.answer(msg)
    assert c.reply() == "331 User %s okay, need password.\r\n" % sysuser.name
    # At PASS the session ends; the right local password does not help.
    c.send("PASS " + sysuser.password)
    msg = fake.request()
    if kind != "silence":
        fake.answer(broken(kind, msg))
    assert c.reply() == "451 Could not process authd login.\r\n"
    assert c.closed()
    ended_with(s, 27)


@pytest.mark.parametrize("mode", [1, 2])
def test_a_service_that_is_not_there_refuses(server, users, mode):
    sysuser = users()
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as gone:
        gone.bind(("127.0.0.1", 0))
        port = gone.getsockname()[1]
    s = server(general=general(port, mode), domain=DOMAIN)
    c = s.control()
    if mode == 2:
        assert c.reply() == DENIED
        assert c.closed()
        ended_with(s, 28)
    else:
        assert c.reply().startswith("220")
        assert login(c, sysuser.name, sysuser.password) == "451 Could not process authd login.\r\n"
        assert c.closed()
        ended_with(s, 27)
    # The kernel reports the closed port at once; a late report would only
    # turn the refusal into a time-out.
    s.wait_log(r"AuthDebug: recv from auth server 127\.0\.0\.1:%d (failed: Connection refused\.|timed-out\.)\n"
               % port)


def test_a_protocol_error_is_a_denial(server, fake):
    s = server(general=general(fake.port), domain=DOMAIN)
    c = s.greeted()
    assert c.command("USER vera") == "331 User vera okay, need password.\r\n"
    c.send("PASS s3cret")
    msg = fake.request()
    put_word(msg, 864, 2)
    put_word(msg, 868, 1)
    fake.answer(msg)
    assert c.reply() == DENIED
    assert c.closed()
    s.wait_log(r'Auth server protocol error for user "vera": InternalSystemAuth not specified correctly\.\n')
    ended_with(s, 28)


# ---- The address ------------------------------------------------------------------------------------

@pytest.mark.parametrize("address", ["127.0.0.1", "127.0.0.1:4444;two", "127.0.0.1:0"])
def test_an_invalid_address_stops_the_start(run_zorvad, zorvad_dir, address):
    g, d = write_configs(zorvad_dir, "zorvad_authd = %s\n" % address)
    port = free_port()
    try:
        r = run_zorvad(["-p", str(port), g, d])
    finally:
        # A server that wrongly started must not leave its status area behind.
        shm_remove(shm_key(port))
    assert r.returncode == 1
    assert '"%s" is not a valid address to zorvad_authd.\n' % address in r.stderr


def test_a_service_off_the_loopback_is_warned_of(server):
    s = server(general="zorvad_authd = 192.0.2.1:4444\n")
    s.wait_log(r"Warning: the authentication service 192\.0\.2\.1:4444 is not on a loopback address")
