"""Event messages to the outside event consumer ("zorvad_eventd"), read by the
reference consumer zorvad_eventd_ref from a System V message queue (in a
private IPC namespace that the daemon joins, so no queue outlives the test)
or from a UDP port: the records of a whole session byte for byte, the type
mask, the failure log of a full queue and the addresses that stop the start."""
import codecs
import errno
import ftplib
import os
import re
import signal
import subprocess
import sys

import pytest

from accounts import users  # noqa: F401 (fixture)
from conftest import BIN_DIR, free_port, wait_for, write_configs
from xferhelp import domain, open_pasv, records, stor, user_login, wait_records, write_file

CONSUMER = os.path.join(BIN_DIR, "tools", "eventd", "zorvad_eventd_ref")
KEY = 0x00E7E47D
LINE = re.compile(r'^(?:queue type=(?P<type>\S+)|udp from=(?P<from>\S+)) size=(?P<size>\d+) '
                  r'(?P<verdict>\S+) "(?P<bytes>.*)"$')


class Consumer:
    """zorvad_eventd_ref, started before the daemon; a queue consumer runs in
    a private IPC namespace of its own, which the daemon joins (wrapper)."""

    def __init__(self, directory, channel):
        self.out_path = os.path.join(directory, "consumer-%s.out" % channel)
        address = "mqueue:%x" % KEY if channel == "queue" else "127.0.0.1:0"
        prefix = ["unshare", "-i"] if channel == "queue" else []
        with open(self.out_path, "w") as out:
            self.proc = subprocess.Popen([*prefix, CONSUMER, address], stdout=out, stderr=subprocess.STDOUT,
                                         stdin=subprocess.DEVNULL)
        first = wait_for(lambda: self.lines() or self.proc.poll() is not None)
        assert first and self.lines(), "the consumer did not start: %r" % self.output()
        listening = self.lines()[0]
        if channel == "queue":
            assert listening.startswith("listening on mqueue key 0x%08x " % KEY), listening
            self.wrapper = ["nsenter", "--ipc=/proc/%d/ns/ipc" % self.proc.pid]
        else:
            self.udp = re.match(r"^listening on udp (127\.0\.0\.1:\d+)$", listening).group(1)

    def output(self):
        with open(self.out_path, encoding="latin-1") as f:
            return f.read()

    def lines(self):
        return self.output().splitlines()

    def stop(self):
        """Ends the consumer (it prints what is still waiting first) and
        returns its messages: (type or sender, verdict, size, bytes)."""
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
        assert self.proc.wait(10) == 0, self.output()
        messages = []
        for line in self.lines()[1:]:
            m = LINE.match(line)
            assert m, "not a message line: %r" % line
            raw = codecs.escape_decode(m.group("bytes").encode("latin-1"))[0]
            messages.append((m.group("type") or m.group("from"), m.group("verdict"), int(m.group("size")), raw))
        return messages

    def queue_attributes(self):
        """uid, gid, mode and qbytes of the queue, as ipcs shows them inside
        the namespace."""
        r = subprocess.run([*self.wrapper, "ipcs", "-q", "-i", "0"], capture_output=True, text=True, timeout=10)
        return dict(re.findall(r"\b(uid|gid|mode|qbytes)=(\w+)", r.stdout))


@pytest.fixture
def consumer(zorvad_dir):
    started = []

    def start(channel):
        c = Consumer(zorvad_dir, channel)
        started.append(c)
        return c

    yield start
    for c in started:
        if c.proc.poll() is None:
            c.proc.kill()
            c.proc.wait()


def body_of(frame):
    """The fields of a frame, after checking the frame byte for byte:
    "STR\\n", the body length as "%3u\\n", the fields each ended by "\\n",
    an empty line, and a NUL."""
    body = frame[8:-1]
    assert frame == b"STR\n" + b"%3u\n" % len(body) + body + b"\0", frame
    assert body.endswith(b"\n\n"), frame
    return body[:-2].decode("latin-1").split("\n")


def session(s, u, home):
    """Login, an upload, DELE, RNFR/RNTO and QUIT; waits until the session
    has ended.  Returns the transfer-log fields of the upload."""
    write_file(os.path.join(home, "gone.txt"), b"gone\n")
    write_file(os.path.join(home, "old.txt"), b"old\n")
    for name in ("gone.txt", "old.txt"):
        os.chown(os.path.join(home, name), u.uid, u.gid)
    c = s.control()
    c.reply()
    user_login(c, u)
    assert c.command("TYPE I").startswith("200")
    first, final = stor(c, "STOR up.txt", b"12345")
    assert first.startswith("150") and final == "226 Transfer completed.\r\n", (first, final)
    assert c.command("DELE gone.txt").startswith("250")
    assert c.command("RNFR old.txt").startswith("350")
    assert c.command("RNTO new.txt").startswith("250")
    assert c.command("QUIT").startswith("221")
    assert c.closed()
    s.wait_log(r"Connection closed\.")
    return next(r for r in wait_records(s, 3) if r[0] == "S")


# The records in the order a session sends them: (mask bit letter, record name).
SESSION = [("I", "LOGIN"), ("S", "UPLOAD"), ("S", "UPLOAD"), ("D", "DELETE"), ("N", "RENAME"), ("O", "LOGOUT")]


@pytest.mark.parametrize("mask", [None, "I", "sno"])
@pytest.mark.parametrize("channel", ["queue", "udp"])
def test_a_session_sends_each_allowed_record_in_its_frame(server, users, consumer, channel, mask):
    u = users()
    c = consumer(channel)
    general = "eventd-transaction-types = %s\n" % mask if mask is not None else ""
    if channel == "queue":
        # Owned by another account with mode 0640: the session (running as its
        # user) still queues, as root for the call.
        general += "zorvad_eventd = mqueue:0x%x,640,1,1,12000\n" % KEY
        s = server(general=general, domain=domain(), wrapper=c.wrapper)
        assert c.queue_attributes() == {"uid": "1", "gid": "1", "mode": "0640", "qbytes": "12000"}
    else:
        general += "zorvad_eventd = %s\n" % c.udp
        s = server(general=general, domain=domain())
    xfer = session(s, u, u.home)
    wanted = [name for letter, name in SESSION if mask is None or letter in mask.upper()]
    assert wait_for(lambda: len(c.lines()) > len(wanted)), c.output()
    assert s.stop() == 0
    messages = c.stop()     # with anything sent after the expected messages

    assert [body_of(raw)[0] for _, _, _, raw in messages] == wanted
    for sender, verdict, size, raw in messages:
        assert verdict == "ok" and size == len(raw)
        if channel == "udp":
            assert sender == "127.0.0.1:9720"

    # The user fields and the tail every record shares; the session identifier
    # is the one of the transfer log.
    sid = xfer[13]
    who = [u.name, "restricted", "", "test", "127.0.0.1"]
    up = os.path.join(u.home, "up.txt")
    start = ["UPLOAD", *who, up, "0", "0.000", "0.000", "", "START", "I", "", xfer[12], sid, "noCookie", "-1", "0"]
    end = ["UPLOAD", *who, up, "5", *xfer[3:5], "", "OK", "I", xfer[11], xfer[12], sid, "noCookie", "-1", "0"]
    expected = {
        "LOGIN": [["LOGIN", *who, sid, "noCookie"]],
        "UPLOAD": [start, end],
        "DELETE": [["DELETE", *who, os.path.join(u.home, "gone.txt"), "", "", "", sid, "noCookie"]],
        "RENAME": [["RENAME", *who, os.path.join(u.home, "old.txt"), "OK", "to", os.path.join(u.home, "new.txt"),
                    sid, "noCookie"]],
    }
    logout = ["LOGOUT", *who, None, "1", "OK", "0", "0", "1", "0", "0", "0", "0", sid, "noCookie"]
    for _, _, _, raw in messages:
        fields = body_of(raw)
        if fields[0] == "LOGOUT":
            assert re.fullmatch(r"\d+", fields[6])
            assert fields[:6] + fields[7:] == logout[:6] + logout[7:]
        else:
            assert fields == expected[fields[0]].pop(0)
    if channel == "queue":
        letters = {"LOGIN": "I", "UPLOAD": "U", "DELETE": "D", "RENAME": "N", "LOGOUT": "O"}
        assert [t for t, _, _, _ in messages] == [letters[n] for n in wanted]


def test_a_full_queue_drops_the_messages_and_logs_once(server, users, zorvad_dir):
    """A queue too small for any message: the session goes on, and its three
    failures (login, deletion, logout) within 300 seconds give one log line."""
    u = users()
    write_file(os.path.join(u.home, "gone.txt"), b"gone\n")
    os.chown(os.path.join(u.home, "gone.txt"), u.uid, u.gid)
    s = server(general="zorvad_eventd = mqueue:%x,600,0,0,16\n" % KEY, domain=domain(), wrapper=["unshare", "-i"])
    c = s.control()
    c.reply()
    user_login(c, u)
    assert c.command("DELE gone.txt").startswith("250")
    assert c.command("QUIT").startswith("221")
    assert c.closed()
    s.wait_log(r"Connection closed\.")
    full = "Event message could not be queued to message queue (key = %08x): the queue is full.\n" % KEY
    assert s.log().count(full) == 1, s.log()
    assert "could not be queued" not in s.log().replace(full, "")


@pytest.mark.parametrize("address", ["mqueue:0", "mqueue:0x0,600,0,0,100", "mqueue:", "127.0.0.1", "127.0.0.1;1"])
def test_an_invalid_consumer_address_stops_the_start(run_zorvad, zorvad_dir, address):
    g, d = write_configs(zorvad_dir, "zorvad_eventd = %s\n" % address)
    # A private IPC namespace and the full paths: a server that did start
    # leaves neither a segment nor processes the directory's clean-up misses.
    r = run_zorvad(["-p", str(free_port()), g, d], timeout=10, prefix=("unshare", "-i"))
    assert r.returncode == 1
    assert r.stderr.endswith("\"%s\" is not a valid address to zorvad_eventd.\n" % address), r.stderr


QUEUE_SQUATTER = """
import ctypes, sys
libc = ctypes.CDLL(None, use_errno=True)
key = int(sys.argv[1])
qid = libc.msgget(key, 0o1000 | 0o2000 | 0o666)
assert qid >= 0, ctypes.get_errno()
print("ready", flush=True)
sys.stdin.readline()
buf = ctypes.create_string_buffer(16384)
n = libc.msgrcv(qid, buf, 16384 - 8, 0, 0o4000)
print("read", n, ctypes.get_errno(), flush=True)
again = libc.msgget(key, 0)
n = libc.msgrcv(again, buf, 16384 - 8, 0, 0o4000) if again >= 0 else -1
print("new", n, ctypes.get_errno(), flush=True)
"""


def test_a_queue_a_local_user_made_first_is_replaced_and_hears_nothing(server, users):
    """A local user without privileges creates the event queue's key first
    (mode 0666) to read every login record: the server removes that queue,
    says so, and queues the session's records on one of its own that the
    user can neither read nor open."""
    u, squatter_user = users(), users()
    squatter = subprocess.Popen(["unshare", "-i", "setpriv", "--reuid", str(squatter_user.uid),
                                 "--regid", str(squatter_user.gid), "--clear-groups",
                                 sys.executable, "-c", QUEUE_SQUATTER, str(KEY)],
                                stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    try:
        assert squatter.stdout.readline() == "ready\n"
        s = server(general="zorvad_eventd = mqueue:%x\n" % KEY, domain=domain(),
                   wrapper=["nsenter", "--ipc=/proc/%d/ns/ipc" % squatter.pid])
        c = s.control()
        c.reply()
        user_login(c, u)
        assert c.command("QUIT").startswith("221")
        assert c.closed()
        s.wait_log(r"Connection closed\.")
        squatter.stdin.write("go\n")
        squatter.stdin.flush()
        read = squatter.stdout.readline().split()
        assert read[:2] == ["read", "-1"] and int(read[2]) in (errno.EIDRM, errno.EINVAL), read
        assert squatter.stdout.readline().split() == ["new", "-1", str(errno.EACCES)]
        assert ("message queue (key = 0x%08x) was made by uid %d and is owned by uid %d, not by this server; "
                "removed it and made a new one." % (KEY, squatter_user.uid, squatter_user.uid)) in s.log()
    finally:
        squatter.stdin.close()
        squatter.wait(10)


def test_the_reference_consumer_refuses_a_queue_a_local_user_made_first(users):
    """A local user without privileges creates the consumer's queue key
    first: the consumer does not read (or let that user read) from it."""
    u = users()
    make = ("import ctypes, sys\nlibc = ctypes.CDLL(None)\n"
            "assert libc.msgget(%d, 0o1000 | 0o2000 | 0o666) >= 0\n" % KEY)
    script = "setpriv --reuid %d --regid %d --clear-groups %s -c '%s' && exec %s mqueue:%x" % (
        u.uid, u.gid, sys.executable, make, CONSUMER, KEY)
    r = subprocess.run(["unshare", "-i", "sh", "-c", script], capture_output=True, text=True, timeout=10)
    assert r.returncode == 1, r.stdout + r.stderr
    assert "the queue of key 0x%08x was made by uid %d, not by this user." % (KEY, u.uid) in r.stderr
    assert "listening" not in r.stdout


def test_code_running_in_a_session_queues_no_record_in_another_sessions_name(server, users, consumer):
    # The attacker: code running in a logged-in session, asking its pool
    # child to queue frames of its own making on a queue only root may
    # write, whose consumer trusts what it reads there: another user's login
    # from another address, its own user with another session's identifier.
    # Only records with the session's own fields are queued.
    from test_privileges import GDB, gdb_calls, session_holder
    if GDB is None:
        pytest.skip("gdb is not installed")
    u = users()
    c = consumer("queue")
    s = server(general="zorvad_eventd = mqueue:0x%x,600,0,0,12000\n" % KEY, domain=domain(), wrapper=c.wrapper)
    f = ftplib.FTP()
    f.connect("127.0.0.1", s.port, timeout=20)
    f.login(u.name, u.password)
    pid = session_holder(s, f)
    own = [u.name, "restricted", "", "test", "127.0.0.1"]
    forged = [["LOGIN", "root", "unrestricted", "", "test", "10.9.8.7", "AAAAAAAAAAAA", "noCookie"],
              ["LOGIN", *own, "AAAAAAAAAAAA", "noCookie"]]
    lines = ["set $call = (int (*)(void *, int)) 'PrivCall(PrivRequest const&, int)'",
             "set $r = (char *) malloc(1104)"]
    for fields in forged:
        body = "".join(x + "\\n" for x in fields) + "\\n"
        lines += ["call (void) memset($r, 0, 1104)", "set *(int *) $r = 4", "set *($r + 64) = 'I'",
                  'call (void) strcpy($r + 73, "%s")' % body,
                  "set *(int *) ($r + 4) = %d" % (1 + 8 + len(fields) + 1 + sum(map(len, fields)) + 1),
                  "print (int) $call($r, -1)"]
    values, out = gdb_calls(pid, *lines)
    assert len(values) == 2, out.stdout + out.stderr
    f.quit()
    s.wait_log(r"Connection closed\.")
    assert wait_for(lambda: len(c.lines()) > 2), c.output()
    assert s.stop() == 0
    bodies = [body_of(raw) for _, _, _, raw in c.stop()]
    assert [b[0] for b in bodies] == ["LOGIN", "LOGOUT"], bodies
    assert values == [-1, -1]
    sid = bodies[0][6]
    assert bodies[0] == ["LOGIN", *own, sid, "noCookie"] and sid != "AAAAAAAAAAAA"
