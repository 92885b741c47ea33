"""Domain sets and the logger in the running server: the set chosen by the
local address, the reload on SIGHUP, the log files of each set, and the host
checks made when a connection arrives (password databases, TCP Wrappers,
reverse names)."""
import ctypes
import os
import re
import signal
import struct
import subprocess
import sys
import time

import pytest

from conftest import DEFAULT_DOMAIN, wait_for
from test_privileges import GDB, gdb_calls, sole_holder
from xferhelp import anon_login, retr

THREE_SETS = """\
set-name = main
server-name = main.example
ftp-home = {dir}/ftp
log-session = {dir}/@SETNAME@.session
set-name = one
server-address = 127.0.0.2
server-name = one.example
ftp-home = {dir}/ftp
log-session = {dir}/@SETNAME@.session
set-name = two
server-address = 127.0.0.3
server-name = two.example
ftp-home = {dir}/ftp
log-session = {dir}/@SETNAME@.session
"""

# Two sets, each with a transfer log of its own: "main" (set 0) on every
# address, "other" (set 1) on 127.0.0.2.
TWO_XFER_LOGS = """\
set-name = main
server-name = main.example
ftp-home = {dir}/ftp
log-xfer = {dir}/@SETNAME@.xfer
set-name = other
server-address = 127.0.0.2
server-name = other.example
ftp-home = {dir}/ftp
log-xfer = {dir}/@SETNAME@.xfer
"""
LOG_MAGIC = 0x77C0FFEE
XFER_TYPE = 1


def read(path):
    try:
        with open(path, "rb") as f:
            return f.read()
    except OSError:
        return b""


def private_etc_files(directory, **files):
    """A wrapper that runs the server in its own mount namespace with the
    given files of /etc (which must exist on the host) replaced by private
    copies holding the given texts."""
    mounts = []
    for name, text in files.items():
        path = os.path.join(directory, name.replace("_", "."))
        with open(path, "w") as f:
            f.write(text)
        os.chmod(path, 0o644)
        mounts.append("mount --bind %s /etc/%s" % (path, name.replace("_", ".")))
    return ["unshare", "-m", "sh", "-c", " && ".join(mounts) + ' && exec "$@"', "sh"]


def test_the_local_address_chooses_the_set_and_its_session_log(server):
    s = server(general="log-sessions = yes\n", domain=THREE_SETS)
    for address, name in (("127.0.0.2", "one"), ("127.0.0.3", "two"), ("127.0.0.1", "main")):
        c = s.greeted(address=address)
        assert c.greeting == "220 %s.example Zorvad Server ready.\r\n" % name
        assert s.slot(s.busy_children()[0])["domain"] == name
        assert c.command("QUIT") == "221 Goodbye.\r\n"
        path = os.path.join(s.dir, name + ".session")
        assert wait_for(lambda: re.search(rb",%s,\n" % name.encode(), read(path)))
    s.wait_log(r"Using virtual host one \(127\.0\.0\.2, one\.example\)\.\n")
    s.wait_log(r"Using default virtual host main \(0\.0\.0\.0, main\.example\)\.\n")
    # Each set's sessions went to its own file only.
    assert read(os.path.join(s.dir, "one.session")).count(b"\n") == 1


def test_sighup_changes_a_set_in_place(server):
    s = server(domain=DEFAULT_DOMAIN)
    old = s.greeted()
    with open(s.domain_cf, "w") as f:
        f.write(DEFAULT_DOMAIN.replace("testhost", "renamed").replace("{dir}", s.dir))
    s.proc.send_signal(signal.SIGHUP)
    s.wait_log(r"Successfully reloaded domain configuration file %s\.\n" % re.escape(s.domain_cf))
    assert s.greeted().greeting == "220 renamed Zorvad Server ready.\r\n"
    assert old.command("NOOP").startswith("200 ")          # a running session goes on


def client_of_the_only_child(s, address="127.0.0.1"):
    """A new connection once the one child takes it, its greeting read (the
    master turns clients away while it still counts the child busy)."""
    def attempt():
        c = s.control(address=address)
        c.greeting = c.reply()
        if c.greeting.startswith("220 "):
            return c
        c.close()
        return None
    return wait_for(attempt, 15, 0.5)


def greeting_of_the_only_child(s):
    return client_of_the_only_child(s).greeting


def wait_tagged(s, pattern):
    """A line of the misc log file written by the process whose tag the pattern names."""
    assert wait_for(lambda: re.search(pattern, s.log_file())), s.log_file()


def test_a_broken_domain_cf_on_sighup_keeps_every_process_and_the_sets_in_force(server):
    s = server(general="min-users = 1\nmax-users = 1\n", domain=DEFAULT_DOMAIN)
    with open(os.path.join(s.dir, "ftp", "f.txt"), "wb") as f:
        f.write(b"y" * 5000)
    with open(s.pid_file()) as f:
        logger = int(re.search(r"kill -9 +(\d+) 2>/dev/null    # logger", f.read()).group(1))
    c = s.greeted()
    anon_login(c)
    child = s.slot(1)["pid"]

    with open(s.domain_cf, "a") as f:
        f.write("no-such-key = 1\n")
    s.proc.send_signal(signal.SIGHUP)
    refused = r"Unknown variable \"no-such-key\" on line 4 of configuration file\.\n"
    kept = r"Domain configuration file %s was not reloaded; the sets in force are kept\.\n" % re.escape(s.domain_cf)
    wait_tagged(s, r"\(main\)  \| " + refused)
    wait_tagged(s, r"\(main\)  \| " + kept)
    wait_tagged(s, r"\(logd\)  \| " + kept)

    # The open session goes on, and the child re-reads before its next client.
    assert retr(c, "f.txt")[1] == b"y" * 5000
    assert c.command("QUIT") == "221 Goodbye.\r\n"
    assert greeting_of_the_only_child(s) == "220 testhost Zorvad Server ready.\r\n"
    wait_tagged(s, r"#u1 +\| " + kept)
    assert s.proc.poll() is None
    assert s.slot(1)["pid"] == child
    assert os.path.exists("/proc/%d" % logger)
    assert "Successfully reloaded" not in s.log()

    # A good file is taken by the next reload.
    with open(s.domain_cf, "w") as f:
        f.write(DEFAULT_DOMAIN.replace("testhost", "renamed").replace("{dir}", s.dir))
    s.close_controls()
    s.proc.send_signal(signal.SIGHUP)
    s.wait_log(r"Successfully reloaded domain configuration file %s\.\n" % re.escape(s.domain_cf))
    assert greeting_of_the_only_child(s) == "220 renamed Zorvad Server ready.\r\n"
    assert s.slot(1)["pid"] == child


def test_logs_go_where_their_patterns_say_with_plain_line_feeds(server):
    s = server(general="log-misc = {dir}/logs/%Y/misc.log\nlog-sessions = yes\n",
               domain=DEFAULT_DOMAIN + "log-session = {dir}/logs/%Y/@SETNAME@-%m.session\n")
    c = s.greeted()
    assert c.command("QUIT") == "221 Goodbye.\r\n"
    year, month = time.strftime("%Y"), time.strftime("%m")
    misc = os.path.join(s.dir, "logs", year, "misc.log")
    session = os.path.join(s.dir, "logs", year, "test-%s.session" % month)
    assert wait_for(lambda: b"Connection closed.\n" in read(misc))
    text = read(misc)
    assert b">> 220 testhost Zorvad Server ready.\n" in text      # the reply's CR LF became LF
    assert b"\r" not in text
    assert re.search(rb"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d #u1     \| Started \(pid=\d+\)\.\n", text, re.M)
    assert wait_for(lambda: re.search(rb",127\.0\.0\.1,\d+,.*,test,\n", read(session)))


def test_a_password_database_open_to_its_group_is_not_used(server, zorvad_dir):
    db = os.path.join(zorvad_dir, "passwd.db")
    with open(db, "wb"):
        pass
    os.chmod(db, 0o640)
    s = server(domain=DEFAULT_DOMAIN + "passwd = %s\n" % db)
    assert ("Password database %s must not be accessible in any way by group or public.\n"
            "\"/bin/chmod go-rwx\" this file if it is a legitimate database file.\n" % db) in s.log()
    assert s.greeted().greeting.startswith("220 ")


def test_tcp_wrappers_turn_a_denied_address_away_at_connect(server, zorvad_dir):
    wrapper = private_etc_files(zorvad_dir, hosts_allow="", hosts_deny="Zorvad: 127.0.0.2\n")
    s = server(general="tcp-wrappers = yes\nlog-sessions = yes\n",
               domain=DEFAULT_DOMAIN + "log-session = {dir}/session.log\n", wrapper=wrapper)
    denied = s.control(source=("127.0.0.2", 0))
    assert denied.closed()
    s.wait_log(r"TCP Wrappers denied access to 127\.0\.0\.2\.\n")
    assert wait_for(lambda: re.search(rb"\| DENIED,,127\.0\.0\.2,\d+,.*,0,9,NONE,", read(
        os.path.join(s.dir, "session.log"))))
    welcome = s.greeted()
    assert welcome.greeting.startswith("220 ")
    s.wait_log(r"New connection from 127\.0\.0\.1 \(localhost\) to 127\.0\.0\.1")


def test_a_client_whose_reverse_name_is_too_long_is_denied(server, zorvad_dir):
    name = "h" * 70 + ".example"
    with open("/etc/hosts") as f:
        hosts = f.read()
    wrapper = private_etc_files(zorvad_dir, hosts=hosts + "127.0.0.5 %s\n" % name)
    s = server(general="dns-lookup = yes\nlog-sessions = yes\n",
               domain=DEFAULT_DOMAIN + "log-session = {dir}/session.log\n", wrapper=wrapper)
    c = s.control(source=("127.0.0.5", 0))
    assert c.closed()
    s.wait_log(r"Denied access to 127\.0\.0\.5: Resolved hostname \(%s\.\.\.\) too long "
               r"\(78 characters, only first 63 displayed\)\.\n" % name[:63])
    assert wait_for(lambda: b"| DENIED,,127.0.0.5," in read(os.path.join(s.dir, "session.log")))


def forged_xfer_record(text, domain):
    """A well-framed transfer-log record that names the given set."""
    body = text.encode()
    return struct.pack("=12siiiI", b"#u1     | ", XFER_TYPE, len(body), domain, LOG_MAGIC) + body


def two_xfer_sets(server, general=""):
    s = server(general=general, domain=TWO_XFER_LOGS)
    with open(os.path.join(s.dir, "ftp", "f.txt"), "wb") as f:
        f.write(b"z" * 3000)
    return s, os.path.join(s.dir, "main.xfer"), os.path.join(s.dir, "other.xfer")


def anonymous_retr(c):
    """A logged-in anonymous transfer of f.txt on the control connection c."""
    assert retr(c, "f.txt")[1] == b"z" * 3000


@pytest.mark.skipif(GDB is None, reason="gdb is not installed")
def test_a_session_cannot_write_into_another_sets_transfer_log(server):
    # The attacker: code running inside a logged-in session of "main" writes
    # a well-framed transfer record naming "other" into its log channel.
    s, main_xfer, other_xfer = two_xfer_sets(server)
    c = s.greeted(address="127.0.0.1")
    anon_login(c)
    pid = sole_holder(s, c.sock)
    text = "FORGED-IN-ANOTHER-SET"
    record = forged_xfer_record(text, 1)
    lines = ["set $r = (char *) malloc(%d)" % len(record),
             "call (void) memset($r, 0, %d)" % len(record)]
    lines += ["set *(unsigned char *) ($r + %d) = %d" % (i, b) for i, b in enumerate(record) if b != 0]
    lines += ["print (long) write(gLogPipe, $r, %d)" % len(record)]
    values, out = gdb_calls(pid, *lines)
    if not values and "ptrace" in out.stderr:
        pytest.skip("this machine lets no debugger attach: " + out.stderr.strip()[:200])
    assert values == [len(record)], out.stdout + out.stderr

    # Honest transfers of both sets; the session's own comes after its forged
    # record on the same channel, so once it is logged so is the forgery.
    anonymous_retr(c)
    assert wait_for(lambda: b"f.txt" in read(main_xfer)), read(main_xfer)
    other = s.greeted(address="127.0.0.2")
    anon_login(other)
    anonymous_retr(other)
    assert wait_for(lambda: b"f.txt" in read(other_xfer)), read(other_xfer)
    assert text.encode() not in read(other_xfer)
    assert read(other_xfer).count(b"f.txt") == 1 and read(main_xfer).count(b"f.txt") == 1
    assert c.command("QUIT") == "221 Goodbye.\r\n"


def take_descriptor(pid, fd):
    """A copy of another process's descriptor (pidfd_getfd)."""
    libc = ctypes.CDLL(None, use_errno=True)
    pidfd = os.pidfd_open(pid)
    try:
        copy = libc.syscall(438, pidfd, fd, 0)
        assert copy >= 0, os.strerror(ctypes.get_errno())
        return copy
    finally:
        os.close(pidfd)


@pytest.mark.skipif(GDB is None, reason="gdb is not installed")
def test_a_log_descriptor_kept_after_its_session_cannot_write_into_the_next_clients_set(server):
    # The attacker: code running inside a session of "main" hands its log
    # descriptor to a process of its own that outlives the session (here the
    # test takes it and writes as nobody); the same pool child then serves a
    # client of "other".
    s, main_xfer, other_xfer = two_xfer_sets(server, "min-users = 1\nmax-users = 1\n")
    c = s.greeted(address="127.0.0.1")
    anon_login(c)
    pid = sole_holder(s, c.sock)
    (log_fd,), out = gdb_calls(pid, "print gLogPipe")
    kept = take_descriptor(pid, log_fd)
    try:
        anonymous_retr(c)
        assert wait_for(lambda: b"f.txt" in read(main_xfer)), read(main_xfer)
        assert c.command("QUIT") == "221 Goodbye.\r\n"
        assert wait_for(lambda: not s.busy_children())

        other = s.greeted(address="127.0.0.2")
        assert other.greeting == "220 other.example Zorvad Server ready.\r\n"
        text = "FORGED-AFTER-THE-SESSION"
        writer = subprocess.run(
            [sys.executable, "-c", "import os, sys\ntry:\n    os.write(%d, sys.stdin.buffer.read())\n"
             "except OSError as e:\n    print(e.errno)\n" % kept],
            input=forged_xfer_record(text, 1), pass_fds=(kept,), user=65534, group=65534, extra_groups=[],
            capture_output=True, timeout=20)
        assert writer.returncode == 0, writer.stderr
    finally:
        os.close(kept)
    anon_login(other)
    anonymous_retr(other)
    assert wait_for(lambda: b"f.txt" in read(other_xfer)), read(other_xfer)
    assert text.encode() not in read(other_xfer)
    assert read(other_xfer).count(b"f.txt") == 1
    assert other.command("QUIT") == "221 Goodbye.\r\n"


@pytest.mark.skipif(GDB is None, reason="gdb is not installed")
@pytest.mark.parametrize("attack", ["shutdown(%d, 1)", "write(%d, 0, 0)"], ids=["shut-down", "empty-record"])
def test_a_session_cannot_end_the_logging_of_its_pool_childs_next_clients(server, attack):
    # The attacker: code running inside a logged-in session shuts its log
    # channel down for writing, or writes an empty record into it (what a
    # reader may take for the channel's end).  The next client of the same
    # pool child still has its transfer logged.
    s, main_xfer, _ = two_xfer_sets(server, "min-users = 1\nmax-users = 1\n")
    c = s.greeted(address="127.0.0.1")
    anon_login(c)
    pool_child = s.slot(1)["pid"]
    pid = sole_holder(s, c.sock)
    (fd,), out = gdb_calls(pid, "print gLogPipe")
    values, out = gdb_calls(pid, "print (int) " + attack % fd)
    assert values == [0], out.stdout + out.stderr
    assert c.command("QUIT") == "221 Goodbye.\r\n"
    if attack.startswith("shutdown"):
        # A channel shut by one of its writers is no use to anyone: its
        # pool child makes way for a new one, which gets a channel of its own.
        assert wait_for(lambda: s.slot(1)["pid"] not in (0, pool_child), 10), s.slot(1)
    nxt = client_of_the_only_child(s)
    anon_login(nxt)
    anonymous_retr(nxt)
    assert wait_for(lambda: b"f.txt" in read(main_xfer), 10), read(main_xfer)
    assert nxt.command("QUIT") == "221 Goodbye.\r\n"
