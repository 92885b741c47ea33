"""Anonymous logins: the password modes and their e-mail rules, the refusals
before and after USER, and where an anonymous session lands."""
import os
import pwd
import time

import pytest

from accounts import identity, process_in
from conftest import wait_for

LOGGED_IN = "230 Logged in anonymously.\r\n"
GUEST_OK = "331 Guest login ok, send your complete e-mail address as password.\r\n"
INVALID_ADDRESS = ("530-You must supply a valid email address as your password.\r\n"
                   "530-For example, joe@example.com is okay.\r\n"
                   "530 Login failed.\r\n")
DOMAIN = "set-name = test\nserver-name = testhost\nftp-home = {dir}/ftp\n"


def login(c, password, user="anonymous"):
    assert c.command("USER " + user) == GUEST_OK
    return c.command("PASS " + password)


# ---- Password modes ------------------------------------------------------------------------

def test_mode_none_logs_in_at_user_and_refuses_a_later_pass(server):
    c = server(general="a-password-mode = none\n").greeted()
    assert c.command("USER anonymous") == LOGGED_IN
    start = time.monotonic()
    assert c.command("PASS x@y.z") == "503 Bad sequence of commands.\r\n"
    assert time.monotonic() - start >= 1.9


def test_mode_any_takes_every_password_for_both_names(server):
    s = server()
    for user in ("anonymous", "ftp", "FTP", "Anonymous"):
        assert login(s.greeted(), "not an address", user=user) == LOGGED_IN


@pytest.mark.parametrize("mode, cases", [
    ("at-sign", [("joe@localhost", True),           # one label: accepted for its "@"
                 ("joe@example.com", True),
                 ("joe", False),
                 ("", False)]),
    ("look-valid", [("joe@localhost", False),
                    ("joe@example.com", True),
                    ("Joe <joe@example.com>", True),
                    ("joe@example.com (Joe)", True),
                    ("joe,x@example.com", False),
                    ("joe..x@example.com", False),
                    ("joe@example.com.", False)]),
])
def test_the_address_modes(server, mode, cases):
    s = server(general="a-password-mode = %s\n" % mode)
    for password, accepted in cases:
        assert login(s.greeted(), password) == (LOGGED_IN if accepted else INVALID_ADDRESS), password


def test_a_refused_address_may_be_given_again(server):
    c = server(general="a-password-mode = look-valid\n").greeted()
    assert login(c, "joe") == INVALID_ADDRESS
    assert c.command("PASS joe@example.com") == LOGGED_IN


def test_a_resolved_client_is_offered_an_address_at_its_host(server):
    c = server(general="a-password-mode = look-valid\ndns-lookup = yes\n").greeted()
    assert login(c, "joe") == ("530-You must supply a valid email address as your password.\r\n"
                               "530-For example, joe@example.com is okay.\r\n"
                               "530-You might try something like \"tobin@localhost\".\r\n"
                               "530 Login failed.\r\n")


def test_an_address_ending_in_at_gets_the_client_host(server):
    s = server(general="a-password-mode = look-valid\n",
               domain=DOMAIN + "a-login-message = {dir}/login.msg\n")
    with open(os.path.join(s.dir, "login.msg"), "w") as f:
        f.write("Hello %U <%E>\n")
    c = s.greeted()
    assert login(c, "joe@") == ("230-Hello anonymous <joe@127.0.0.1>\r\n"
                                "230-\r\n" + LOGGED_IN)


def test_mode_exactly_wants_the_configured_password(server):
    c = server(general="a-password-mode = exactly Open Sesame\n").greeted()
    assert login(c, "open sesame") == "530 Guest password incorrect.\r\n"
    assert c.command("PASS Open Sesame") == LOGGED_IN


def test_guessing_the_required_guest_password_costs_like_a_wrong_password(server):
    s = server(general="a-password-mode = exactly Open Sesame\nmax-login-failures = 2\n")
    c = s.greeted()
    start = time.monotonic()
    assert login(c, "guess1") == "530 Guest password incorrect.\r\n"
    assert time.monotonic() - start >= 2          # the pause of a first failure
    assert login(c, "guess2") == "530 Guest password incorrect.\r\n"
    assert c.closed()                             # the second one ends the session


# ---- Refusals -----------------------------------------------------------------------------------

def test_too_many_anonymous_users(server):
    s = server(general="max-anonymous-users = 1\n")
    first = s.greeted()
    assert login(first, "a@b.c") == LOGGED_IN
    second = s.greeted()
    start = time.monotonic()
    assert second.command("USER anonymous") == \
        "530 There are too many anonymous users currently logged in.\r\n"
    assert time.monotonic() - start >= 2.9
    assert second.closed()
    assert first.command("PWD") == '257 "/" is cwd.\r\n'


def test_ftp_in_the_deny_users_file_bars_anonymous_logins(server, zorvad_dir):
    deny = os.path.join(zorvad_dir, "ftpusers")
    with open(deny, "w") as f:
        f.write("root\nftp\n")
    c = server(general="u-deny-users-file = %s\n" % deny).greeted()
    start = time.monotonic()
    assert login(c, "a@b.c") == \
        "530 Anonymous logins are not allowed here (\"ftp\" was found in /etc/ftpusers).\r\n"
    assert time.monotonic() - start >= 1.9
    assert c.closed()


@pytest.mark.parametrize("mode", ["any", "none"])
def test_a_non_anonymous_domain_refuses_anonymous_users(server, mode):
    s = server(general="a-password-mode = %s\n" % mode,
               domain=DOMAIN + "server-type = non-anonymous-only\n")
    c = s.greeted()
    reply = c.command("USER anonymous")
    if mode == "any":
        reply = c.command("PASS a@b.c")
    assert reply == "530 Anonymous logins are not allowed here.\r\n"
    assert c.closed()


def test_an_anonymous_only_domain_refuses_other_names(server):
    c = server(domain=DOMAIN + "server-type = anonymous-only\n").greeted()
    assert c.command("USER alice") == "530 Only anonymous logins are allowed here.\r\n"
    assert c.command("PASS secret").startswith("503 ")
    assert login(c, "a@b.c") == LOGGED_IN


def test_the_fourth_user_command_ends_the_session(server):
    c = server().greeted()
    for _ in range(3):
        assert c.command("USER anonymous") == GUEST_OK
    c.send("USER anonymous")
    assert c.closed()


def test_user_and_pass_need_their_arguments_and_order(server):
    c = server().greeted()
    assert c.command("PASS x") == "503 Bad sequence of commands.\r\n"
    assert c.command("USER") == "501 Syntax error in parameters.\r\n"
    assert login(c, "a@b.c") == LOGGED_IN
    assert c.command("USER anonymous") == "503 You are already logged in.\r\n"
    assert c.command("PASS x") == "503 Bad sequence of commands.\r\n"


def test_commands_before_login_are_refused(server):
    c = server().greeted()
    assert c.command("CWD pub") == "550 Login first, then I might let you do that.\r\n"
    assert c.command("PWD") == '257 "/" is cwd.\r\n'


# ---- The session after login ---------------------------------------------------------------

def test_an_anonymous_session_runs_as_the_anonymous_account_in_its_root(server):
    s = server()
    c = s.greeted()
    assert login(c, "a@b.c") == LOGGED_IN
    assert c.command("PWD") == '257 "/" is cwd.\r\n'
    root = os.path.join(s.dir, "ftp")
    pid = wait_for(lambda: process_in(root, s.processes()))
    assert pid
    ids = identity(pid)
    account = [pwd.getpwnam(n) for n in ("ftp", "_ftp", "daemon", "nobody")
               if n in {p.pw_name for p in pwd.getpwall()}][0]
    assert (ids["ruid"], ids["euid"]) == (account.pw_uid, account.pw_uid)
    assert ids["egid"] == account.pw_gid
    assert 0 not in ids["groups"]


def test_a_dash_before_the_name_or_the_password_asks_for_plain_replies(server):
    s = server(domain=DOMAIN + "a-login-message = {dir}/login.msg\n")
    with open(os.path.join(s.dir, "login.msg"), "w") as f:
        f.write("Hello %U\n")
    c = s.greeted()
    assert c.command("USER -anonymous") == GUEST_OK
    assert c.command("PASS a@b.c") == LOGGED_IN
    assert login(s.greeted(), "-a@b.c") == LOGGED_IN
    assert login(s.greeted(), "a@b.c") == "230-Hello anonymous\r\n230-\r\n" + LOGGED_IN


def test_an_anonymous_only_server_started_as_root_confines_by_a_real_chroot(server):
    s = server(args=["-a"])
    os.makedirs(os.path.join(s.dir, "ftp", "pub"))
    c = s.greeted()
    assert login(c, "a@b.c") == LOGGED_IN
    assert c.command("CWD pub") == '250 "/pub" is new cwd.\r\n'
    assert c.command("CWD /../..") == '250 "/" is new cwd.\r\n'      # the root's parent is the root
    root = os.path.join(s.dir, "ftp")
    pids = [p for p in s.processes() if os.readlink("/proc/%d/root" % p) == root]
    assert pids
    ids = identity(pids[-1])        # the session's own process, the newest
    assert ids["ruid"] == ids["euid"] != 0
    assert 0 not in ids["groups"]
