"""System accounts checked through PAM (use-pam = yes).  The daemon runs in a
private mount namespace whose /etc/pam.d is a directory of the test holding
the "zorvad" service, so the host's PAM configuration is neither read nor
changed.  The session stack runs pam_exec with a script that writes down
what it was called for and with which items.

The attacker is a remote client guessing passwords: whatever PAM refuses must
reach it as a wrong password does without PAM (the same reply, the same
pauses, one more failed attempt), so that PAM tells it nothing more than the
shadow check does, not even through a delay that only existing accounts get."""
import os
import shutil
import time

import pytest

from accounts import users  # noqa: F401 (fixture)
from conftest import wait_for

SHIPPED = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "dist", "zorvad.pam")

INCORRECT = "530 Login incorrect.\r\n"
LOGGED_IN = "230 Restricted user logged in.\r\n"
# A ten-second failure delay asked for before pam_unix: the daemon's own
# pauses take its place.
UNIX = """\
auth optional pam_faildelay.so delay=10000000
auth required pam_unix.so
account required pam_unix.so
session required pam_unix.so
session required pam_exec.so {recorder}
"""


def login(c, name, password):
    assert c.command("USER " + name) == "331 User %s okay, need password.\r\n" % name
    return c.command("PASS " + password)


@pytest.fixture
def pam(zorvad_dir):
    """pam(service) writes the service file (with {user}, {recorder} filled
    in by the caller's format) and returns the wrapper that runs the daemon
    with it as /etc/pam.d/zorvad, beside copies of the host_files named from
    the host's /etc/pam.d; pam.records() is what the session stack wrote, one
    line a call."""
    directory = os.path.join(zorvad_dir, "pam.d")
    record = os.path.join(zorvad_dir, "pam-record")
    recorder = os.path.join(zorvad_dir, "pam-recorder.sh")
    with open(recorder, "w") as f:
        f.write('#!/bin/sh\necho "$PAM_TYPE $PAM_SERVICE $PAM_USER $PAM_RHOST $PAM_TTY" >> %s\n' % record)
    os.chmod(recorder, 0o755)

    def make(service, host_files=(), **names):
        os.makedirs(directory, exist_ok=True)
        with open(os.path.join(directory, "zorvad"), "w") as f:
            f.write(service.format(recorder=recorder, **names))
        for name in host_files:
            shutil.copy(os.path.join("/etc/pam.d", name), directory)
        script = 'set -e; mount --bind "$1" /etc/pam.d; shift; exec "$@"'
        return ["unshare", "-m", "--propagation", "private", "sh", "-c", script, "sh", directory]

    def records():
        try:
            with open(record) as f:
                return f.read().splitlines()
        except FileNotFoundError:
            return []

    make.records = records
    return make


def test_pam_unix_admits_the_right_password_and_a_wrong_one_is_answered_as_without_pam(server, users, pam):
    u = users()
    s = server(general="use-pam = yes\nmax-login-failures = 3\n", wrapper=pam(UNIX))
    c = s.greeted()
    start = time.monotonic()
    assert login(c, u.name, "wrong") == INCORRECT
    assert 2.1 <= time.monotonic() - start <= 4.5
    s.wait_log(r"Password wrong for user %s from 127\.0\.0\.1\.\n" % u.name)
    assert c.command("PASS " + u.password) == LOGGED_IN
    assert pam.records() == ["open_session zorvad %s 127.0.0.1 ftp" % u.name]
    assert c.command("QUIT").startswith("221")
    assert wait_for(lambda: len(pam.records()) == 2)
    assert pam.records()[1] == "close_session zorvad %s 127.0.0.1 ftp" % u.name


REFUSING = {
    "auth denies": "auth required pam_deny.so\naccount required pam_unix.so\nsession required pam_exec.so {recorder}\n",
    "account refuses the user": ("auth required pam_unix.so\naccount required pam_succeed_if.so user notin {user}\n"
                                 "account required pam_unix.so\nsession required pam_exec.so {recorder}\n"),
}


@pytest.mark.parametrize("case", sorted(REFUSING))
def test_a_refusal_by_pam_is_a_wrong_password_and_a_failed_attempt(server, users, pam, case):
    u = users()
    s = server(general="use-pam = yes\nmax-login-failures = 1\n", wrapper=pam(REFUSING[case], user=u.name))
    c = s.greeted()
    assert login(c, u.name, u.password) == INCORRECT
    assert c.closed()
    s.wait_log(r"Password wrong for user %s from 127\.0\.0\.1\.\n" % u.name)
    s.wait_log(r"Too many login failures from 127\.0\.0\.1; usernames used were: %s\.\n" % u.name)
    assert pam.records() == []


def test_a_session_ended_by_the_servers_shutdown_is_closed(server, users, pam):
    u = users()
    s = server(general="use-pam = yes\n", wrapper=pam(UNIX))
    c = s.greeted()
    assert login(c, u.name, u.password) == LOGGED_IN
    assert s.stop() == 0
    assert pam.records() == ["open_session zorvad %s 127.0.0.1 ftp" % u.name,
                             "close_session zorvad %s 127.0.0.1 ftp" % u.name]


def test_without_use_pam_the_pam_service_is_not_read(server, users, pam):
    u = users()
    s = server(general="use-pam = no\n", wrapper=pam(REFUSING["auth denies"]))
    c = s.greeted()
    assert login(c, u.name, u.password) == LOGGED_IN
    assert pam.records() == []


def test_the_shipped_service_logs_in_with_the_hosts_common_stacks(server, users, pam):
    """dist/zorvad.pam with copies of the host's common-auth, -account and
    -session, as an installed package uses them, in the sandboxed child."""
    with open(SHIPPED) as f:
        shipped = f.read()
    u = users()
    wrapper = pam(shipped, host_files=("common-auth", "common-account", "common-session"))
    c = server(general="use-pam = yes\nmax-login-failures = 3\n", wrapper=wrapper).greeted()
    assert login(c, u.name, "wrong") == INCORRECT
    assert c.command("PASS " + u.password) == LOGGED_IN
    assert c.command("PWD") == '257 "/" is cwd.\r\n'
