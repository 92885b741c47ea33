"""The records of a login: wtmp entries at login and at the end of the
session, the system-log line, the session-log LOGIN line and the event
record.  The daemon runs in a private mount namespace where a private
wtmp file lies over the system's and a private socket serves /dev/log."""
import os
import re
import subprocess
import signal
import struct
import time

import pytest

from accounts import users, write_passwd_db  # noqa: F401 (fixture)
from conftest import wait_for
from test_privileges import GDB, GDB_ENV, sole_holder, status

DOMAIN = ("set-name = test\nserver-name = testhost\nftp-home = {dir}/ftp\n"
          "log-session = {dir}/session.log\n")

# struct utmpx of the C library: type, pid, line, id, user, host, exit,
# session, time (seconds, microseconds), address, reserved.
UTMPX = struct.Struct("<h2xi32s4s32s256s4x4xii16s20s")
assert UTMPX.size == 384
USER_PROCESS, DEAD_PROCESS = 7, 8

# Collects the datagrams sent to /dev/log into a file; ends with the daemon.
LISTENER = """
import os, socket, sys
s = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
s.bind("/dev/log")
s.settimeout(0.2)
parent = os.getppid()
with open(sys.argv[1], "ab", buffering=0) as out:
    while os.getppid() == parent:
        try:
            out.write(s.recv(4096) + b"\\n")
        except socket.timeout:
            pass
"""


@pytest.fixture
def private_host_files(zorvad_dir):
    """A wrapper that runs the daemon with a private wtmp file and a private
    /dev/log; returns (wrapper, wtmp path, syslog capture path)."""
    wtmp = os.path.join(zorvad_dir, "wtmp")
    syslog_out = os.path.join(zorvad_dir, "syslog.out")
    open(wtmp, "wb").close()
    upper, work = os.path.join(zorvad_dir, "dev-upper"), os.path.join(zorvad_dir, "dev-work")
    os.makedirs(upper)
    os.makedirs(work)
    listener = os.path.join(zorvad_dir, "listener.py")
    with open(listener, "w") as f:
        f.write(LISTENER)
    script = ("set -e; mount --bind %s /var/log/wtmp; "
              "mount -t overlay overlay -o lowerdir=/dev,upperdir=%s,workdir=%s /dev; "
              "python3 %s %s & while [ ! -S /dev/log ]; do sleep 0.05; done; exec \"$@\""
              % (wtmp, upper, work, listener, syslog_out))
    wrapper = ["unshare", "-m", "--propagation", "private", "sh", "-c", script, "sh"]
    return wrapper, wtmp, syslog_out


def wtmp_records(path):
    with open(path, "rb") as f:
        data = f.read()
    records = []
    for off in range(0, len(data) - len(data) % UTMPX.size, UTMPX.size):
        typ, pid, line, _id, user, host, sec, _usec, _addr, _res = UTMPX.unpack_from(data, off)
        records.append({"type": typ, "pid": pid, "line": line.rstrip(b"\0").decode(),
                        "user": user.rstrip(b"\0").decode(), "host": host.rstrip(b"\0").decode(),
                        "time": sec})
    return records


def anonymous(c):
    c.command("USER anonymous")
    assert c.command("PASS joe@example.com") == "230 Logged in anonymously.\r\n"


def test_every_login_and_its_end_go_to_wtmp(server, private_host_files):
    wrapper, wtmp, _ = private_host_files
    s = server(general="wtmp-log-mode = yes\n", domain=DOMAIN, wrapper=wrapper)
    c = s.greeted()
    before = int(time.time())
    anonymous(c)
    assert c.command("QUIT") == "221 Goodbye.\r\n"
    records = wait_for(lambda: len(wtmp_records(wtmp)) >= 2 and wtmp_records(wtmp))
    assert records, wtmp_records(wtmp)
    login, logout = records
    assert (login["type"], login["user"], login["host"]) == (USER_PROCESS, "ftp", "127.0.0.1")
    assert re.fullmatch(r"ftp\d+", login["line"])
    assert before - 1 <= login["time"] <= time.time() + 1
    assert login["pid"] in s.processes()
    assert (logout["type"], logout["user"], logout["host"], logout["line"], logout["pid"]) == \
        (DEAD_PROCESS, "ftp", "", login["line"], login["pid"])


def test_non_anonymous_mode_records_only_users_with_accounts(server, private_host_files, users):
    wrapper, wtmp, _ = private_host_files
    u = users()
    s = server(general="wtmp-log-mode = non-anon\n", domain=DOMAIN, wrapper=wrapper)
    c = s.greeted()
    anonymous(c)
    c.command("QUIT")
    c = s.greeted()
    c.command("USER " + u.name)
    assert c.command("PASS " + u.password).startswith("230 ")
    c.command("QUIT")
    records = wait_for(lambda: len(wtmp_records(wtmp)) >= 2 and wtmp_records(wtmp))
    assert [(r["type"], r["user"], r["host"]) for r in records] == \
        [(USER_PROCESS, u.name, "127.0.0.1"), (DEAD_PROCESS, "", "")]


def test_a_login_that_fails_after_its_record_still_gets_the_logout(server, private_host_files, zorvad_dir):
    wrapper, wtmp, _ = private_host_files
    home = os.path.join(zorvad_dir, "vhome")
    os.makedirs(home)
    db = os.path.join(zorvad_dir, "db", "passwd.db")
    write_passwd_db(db, "vera:{plain}s3cret:65534:::%s:/bin/sh" % home)   # no groups: the switch fails
    s = server(general="wtmp-log-mode = yes\n", domain=DOMAIN + "passwd = %s\n" % db, wrapper=wrapper)
    c = s.greeted()
    c.command("USER vera")
    assert c.command("PASS s3cret") == "451 Login failed.\r\n"
    assert c.closed()
    records = wait_for(lambda: len(wtmp_records(wtmp)) >= 2 and wtmp_records(wtmp))
    assert records, wtmp_records(wtmp)
    assert [(r["type"], r["user"]) for r in records] == [(USER_PROCESS, "vera"), (DEAD_PROCESS, "")]
    assert records[0]["line"] == records[1]["line"]


def test_without_wtmp_logging_nothing_is_written(server, private_host_files):
    wrapper, wtmp, _ = private_host_files
    s = server(domain=DOMAIN, wrapper=wrapper)
    c = s.greeted()
    anonymous(c)
    c.command("QUIT")
    assert c.closed()
    assert wtmp_records(wtmp) == []


def test_logins_go_to_the_system_log(server, private_host_files, users):
    wrapper, _, syslog_out = private_host_files
    u = users()
    s = server(general="syslog = yes\n", domain=DOMAIN, wrapper=wrapper)
    anonymous(s.greeted())
    c = s.greeted()
    c.command("USER " + u.name)
    c.command("PASS " + u.password)

    def text():
        with open(syslog_out, "rb") as f:
            return f.read().decode("latin-1")
    assert wait_for(lambda: 'Anonymous user logged in to "test" from 127.0.0.1.' in text())
    assert wait_for(lambda: 'User "%s" logged in to "test" from 127.0.0.1.' % u.name in text())


def login_processor(zorvad_dir, body):
    """A login-event processor: a shell script running body."""
    script = os.path.join(zorvad_dir, "on-login.sh")
    with open(script, "w") as f:
        f.write("#!/bin/sh\n" + body)
    os.chmod(script, 0o755)
    return script


def test_a_session_log_line_and_an_event_record_mark_each_login(server, zorvad_dir):
    events = os.path.join(zorvad_dir, "events")
    script = login_processor(zorvad_dir, 'printf "%%s|" "$@" >> %s\necho >> %s\n' % (events, events))
    s = server(general="log-session-starts = yes\nlogin-event-processor = %s\n" % script, domain=DOMAIN)
    c = s.greeted()
    anonymous(c)

    def session_log():
        try:
            with open(os.path.join(s.dir, "session.log")) as f:
                return f.read()
        except OSError:
            return ""
    line = wait_for(lambda: re.search(r"anonymous,joe@example\.com,127\.0\.0\.1,LOGIN,([A-Za-z0-9+/]{24}),test,\n",
                                      session_log()))
    assert line, session_log()

    def event():
        try:
            with open(events) as f:
                return f.read()
        except OSError:
            return ""
    # anonymous sessions have no restriction class
    assert wait_for(lambda: "LOGIN|anonymous||joe@example.com|test|127.0.0.1|\n" in event()), event()


def test_an_event_processor_still_running_outlives_a_pool_child_killed_by_an_administrator(server, zorvad_dir):
    # The master ends what a dead pool child leaves (its session and what
    # that started), but not a program the logger started for an event:
    # that runs in a session of its own and finishes its work.
    started, done = os.path.join(zorvad_dir, "started"), os.path.join(zorvad_dir, "done")
    script = login_processor(zorvad_dir, "touch %s\nsleep 2\necho ok > %s\n" % (started, done))
    s = server(general="login-event-processor = %s\n" % script, domain=DOMAIN)
    c = s.greeted()
    anonymous(c)
    session = sole_holder(s, c.sock)
    assert wait_for(lambda: os.path.exists(started))
    os.kill(int(status(session)["PPid"]), signal.SIGKILL)
    assert wait_for(lambda: os.path.exists(done), timeout=10)
    assert wait_for(lambda: session not in s.processes())


@pytest.mark.skipif(GDB is None, reason="gdb is not installed")
def test_an_event_processor_about_to_start_outlives_a_pool_child_killed_by_an_administrator(server, zorvad_dir):
    # An administrator kills a pool child just as the logger starts a
    # program for an event.  The process that runs it is the master's child
    # from the moment the process that forked it (for the logger) ends; it must
    # already be in a session of its own then, or the master ends it with
    # the dead pool child's leftovers.  gdb holds it at its first setsid.
    done = os.path.join(zorvad_dir, "done")
    held, go = os.path.join(zorvad_dir, "held"), os.path.join(zorvad_dir, "go")
    script = login_processor(zorvad_dir, "echo ok > %s\n" % done)
    s = server(general="login-event-processor = %s\n" % script, domain=DOMAIN)
    logger = int(re.search(r"kill -9 +(\d+) .*# logger", open(s.pid_file()).read()).group(1))
    with open("/proc/%d/task/%d/children" % (logger, logger)) as f:
        (keeper,) = f.read().split()    # the logger's child that starts the programs
    gdb = subprocess.Popen([GDB, "-nx", "-q", "-batch", "-p", keeper, "-ex", "set follow-fork-mode child",
                            "-ex", "break setsid", "-ex", "shell touch %s.attached" % held, "-ex", "continue",
                            "-ex", "shell touch %s; while [ ! -e %s ]; do sleep 0.05; done" % (held, go),
                            "-ex", "detach"],
                           stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                           env=GDB_ENV)
    try:
        assert wait_for(lambda: os.path.exists(held + ".attached"), timeout=60)
        c = s.greeted()
        anonymous(c)
        session = sole_holder(s, c.sock)
        assert wait_for(lambda: os.path.exists(held), timeout=60)
        os.kill(int(status(session)["PPid"]), signal.SIGKILL)
        assert wait_for(lambda: session not in s.processes())
        assert wait_for(lambda: "Detected abnormal death of child #1" in s.log_file())
    finally:
        with open(go, "w"):
            pass
        try:
            gdb.wait(timeout=20)
        except subprocess.TimeoutExpired:
            gdb.kill()
            gdb.wait()
    assert wait_for(lambda: os.path.exists(done), timeout=10)
