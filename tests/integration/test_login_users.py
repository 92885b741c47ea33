"""Logins with an account: system users made for the test (with the host's
default password hash) and virtual users of a password database the test
writes.  The refusals, failed attempts, session limits, the identity of
the session and every start-directory case."""
import fcntl
import grp
import os
import re
import subprocess
import time

import pytest

from accounts import identity, process_in, users, write_passwd_db  # noqa: F401 (fixture)
from conftest import wait_for

DOMAIN = "set-name = test\nserver-name = testhost\nftp-home = {dir}/ftp\n"
INCORRECT = "530 Login incorrect.\r\n"


def user_class(user, mode):
    """A user class of the user's own group with the given u-restrict-mode."""
    return "u-restricted-groups = %d\nu-restrict-mode = %s\n" % (user.gid, mode)


@pytest.fixture
def user(users):
    return users()


def login(c, name, password):
    assert c.command("USER " + name) == "331 User %s okay, need password.\r\n" % name
    return c.command("PASS " + password)


def session_pid(s, directory):
    pid = wait_for(lambda: process_in(directory, s.processes()))
    assert pid, "no session process in " + directory
    return pid


# ---- System users --------------------------------------------------------------------------

def test_a_system_user_is_restricted_to_the_home_by_default(server, user):
    s = server()
    c = s.greeted()
    assert login(c, user.name, user.password) == "230 Restricted user logged in.\r\n"
    assert c.command("PWD") == '257 "/" is cwd.\r\n'
    ids = identity(session_pid(s, user.home))
    assert (ids["ruid"], ids["euid"], ids["egid"]) == (user.uid, user.uid, user.gid)
    assert ids["groups"] == [user.gid]


def test_an_unrestricted_user_sees_the_real_tree(server, user):
    s = server(general=user_class(user, "none"))
    c = s.greeted()
    assert login(c, user.name, user.password) == "230 Logged in.\r\n"
    assert c.command("PWD") == '257 "%s" is cwd.\r\n' % user.home
    assert c.command("CWD /") == '250 "/" is new cwd.\r\n'


def test_the_session_takes_the_users_supplementary_groups(server, users):
    u = users(groups=["www-data"])
    s = server()
    c = s.greeted()
    assert login(c, u.name, u.password) == "230 Restricted user logged in.\r\n"
    assert identity(session_pid(s, u.home))["groups"] == sorted([u.gid, 33])


def test_the_session_takes_the_users_umask(server, user):
    s = server(general="u-umask = 027\n", domain=DOMAIN + "u-umask = 077\n")
    c = s.greeted()
    assert login(c, user.name, user.password).startswith("230 ")
    assert identity(session_pid(s, user.home))["umask"] == "0077"


def test_wrong_passwords_cost_growing_pauses_and_end_the_session(server, user):
    s = server()
    c = s.greeted()
    start = time.monotonic()
    assert login(c, user.name, "wrong") == INCORRECT
    first = time.monotonic() - start
    assert 2.1 <= first <= 4.5
    start = time.monotonic()
    assert c.command("PASS also-wrong") == INCORRECT
    assert time.monotonic() - start >= 3.1
    assert c.closed()
    s.wait_log(r"Password wrong for user %s from 127\.0\.0\.1\.\n" % user.name)
    s.wait_log(r"Too many login failures from 127\.0\.0\.1; usernames used were: %s, %s\.\n"
               % (user.name, user.name))


def test_an_expired_account_is_refused_like_a_wrong_password(server, users):
    u = users()
    subprocess.run(["chage", "-E", "1", u.name], check=True)        # expired on 2 January 1970
    c = server().greeted()
    assert login(c, u.name, u.password) == INCORRECT
    subprocess.run(["chage", "-E", "-1", u.name], check=True)
    assert login(c, u.name, u.password).startswith("230 ")


def test_a_failed_user_may_try_again(server, user):
    c = server(general="max-login-failures = 3\n").greeted()
    assert login(c, user.name, "wrong") == INCORRECT
    assert c.command("PASS " + user.password) == "230 Restricted user logged in.\r\n"


def test_an_unknown_user_gets_the_same_answer(server):
    c = server(general="max-login-failures = 3\n").greeted()
    assert login(c, "zl-nobody-here", "x") == INCORRECT


def test_a_user_in_the_deny_users_file_is_refused_like_a_wrong_password(server, user, zorvad_dir):
    deny = os.path.join(zorvad_dir, "ftpusers")
    with open(deny, "w") as f:
        f.write("root\n%s\n" % user.name)
    s = server(general="u-deny-users-file = %s\n" % deny)
    c = s.greeted()
    assert login(c, user.name, user.password) == INCORRECT
    s.wait_log(r'Someone from 127\.0\.0\.1 tried to login as "%s" user\.\n' % user.name)


def test_a_user_whose_shell_is_not_listed_is_refused(server, users, zorvad_dir):
    u = users(shell="/usr/sbin/nologin")
    shells = os.path.join(zorvad_dir, "shells")
    with open(shells, "w") as f:
        f.write("/bin/sh\n/bin/bash\n")
    s = server(general="u-valid-user-shell-file = %s\n" % shells)
    c = s.greeted()
    assert login(c, u.name, u.password) == INCORRECT
    s.wait_log(r'Someone from 127\.0\.0\.1 tried to login as "%s" user, whose shell is illegal '
               r'\(/usr/sbin/nologin\)\.\n' % u.name)


@pytest.mark.parametrize("setting, accepted", [("yes", True), ("no", False)])
def test_truncated_passwords(server, users, setting, accepted):
    u = users(password="8charpwd")
    c = server(general="u-try-truncated-passwords = %s\nmax-login-failures = 3\n" % setting).greeted()
    reply = login(c, u.name, "8charpwd-and-more")
    assert reply == ("230 Restricted user logged in.\r\n" if accepted else INCORRECT)


def test_sessions_per_user_name_are_limited(server, user):
    s = server(domain=DOMAIN + "max-domain-users-per-username = 1\n")
    first = s.greeted()
    assert login(first, user.name, user.password).startswith("230 ")
    second = s.greeted()
    assert login(second, user.name, user.password) == "530 Sorry, you are already logged in.\r\n"
    assert second.closed()


def test_a_higher_limit_names_the_count(server, user):
    s = server(domain=DOMAIN + "max-domain-users-per-username = 2\n")
    for _ in range(2):
        assert login(s.greeted(), user.name, user.password).startswith("230 ")
    c = s.greeted()
    assert login(c, user.name, user.password) == \
        "530 Sorry, testhost already has 2 users logged in as the username %s.\r\n" % user.name
    assert c.closed()


def test_further_sessions_of_a_name_may_be_bound_to_its_address(server, user):
    s = server(general="u-allow-multiple-logins-per-username-only-if-same-ip = yes\n")
    first = s.greeted()
    assert login(first, user.name, user.password).startswith("230 ")
    assert login(s.greeted(), user.name, user.password).startswith("230 ")
    other = s.greeted(source=("127.0.0.2", 0))
    assert login(other, user.name, user.password) == \
        "530 Sorry, someone is already logged in to this account.\r\n"
    assert other.closed()


def test_sessions_that_only_named_the_user_do_not_count(server, user):
    s = server(general="u-allow-multiple-logins-per-username-only-if-same-ip = yes\n",
               domain=DOMAIN + "max-domain-users-per-username = 1\n")
    squatters = [s.greeted(source=("127.0.0.2", 0)) for _ in range(2)]
    for c in squatters:
        assert c.command("USER %s" % user.name).startswith("331 ")
    assert login(s.greeted(), user.name, user.password).startswith("230 ")


# ---- Start directories ----------------------------------------------------------------------

def test_a_subdirectory_of_the_home_becomes_the_root(server, user):
    os.makedirs(os.path.join(user.home, "pub"))
    s = server(general=user_class(user, "subdir-of-homedir pub"))
    c = s.greeted()
    assert login(c, user.name, user.password) == "230 Restricted user logged in.\r\n"
    assert c.command("PWD") == '257 "/" is cwd.\r\n'
    assert session_pid(s, os.path.join(user.home, "pub"))
    assert c.command("CDUP") == "553 Permission denied.\r\n"


def test_a_missing_subdirectory_fails_the_login(server, user):
    c = server(general=user_class(user, "subdir-of-homedir pub")).greeted()
    assert login(c, user.name, user.password) == \
        "451 Login failed, can't set startup dir to %s/pub: No such file or directory.\r\n" % user.home
    assert c.closed()


def test_a_subdirectory_that_leads_out_of_the_home_fails_the_login(server, user, zorvad_dir):
    os.symlink(zorvad_dir, os.path.join(user.home, "pub"))
    s = server(general=user_class(user, "subdir-of-homedir pub"))
    c = s.greeted()
    assert login(c, user.name, user.password) == "451 Login failed, your startup dir is illegal.\r\n"
    assert c.closed()
    s.wait_log(r"Will not set startup dir for user %s to %s, which is outside their ~\.\n"
               % (user.name, zorvad_dir))


def test_a_class_root_becomes_the_users_root(server, user, zorvad_dir):
    root = os.path.join(zorvad_dir, "shared")
    os.makedirs(root)
    s = server(general=user_class(user, "root " + root))
    c = s.greeted()
    assert login(c, user.name, user.password) == "230 Restricted user logged in.\r\n"
    assert c.command("PWD") == '257 "/" is cwd.\r\n'
    assert session_pid(s, root)


def test_a_missing_home_fails_the_login(server, user):
    os.rename(user.home, user.home + ".gone")
    c = server().greeted()
    assert login(c, user.name, user.password) == \
        "451 Login failed, can't set startup dir to your home directory: No such file or directory.\r\n"
    assert c.closed()


def test_the_start_path_is_entered_when_allowed(server, user):
    os.makedirs(os.path.join(user.home, "incoming", user.name))
    c = server(general="u-start-path = /incoming/@USERNAME@\n").greeted()
    assert login(c, user.name, user.password).startswith("230 ")
    assert c.command("PWD") == '257 "/incoming/%s" is cwd.\r\n' % user.name


def test_a_start_path_outside_the_root_is_ignored(server, user, zorvad_dir):
    c = server(general="u-start-path = /../../..%s\n" % zorvad_dir).greeted()
    assert login(c, user.name, user.password).startswith("230 ")
    assert c.command("PWD") == '257 "/" is cwd.\r\n'


# ---- Virtual users ----------------------------------------------------------------------------

@pytest.fixture
def vhome(zorvad_dir):
    home = os.path.join(zorvad_dir, "vhome")
    os.makedirs(os.path.join(home, "docs"))
    os.chown(home, 65534, 65534)
    return home


def virtual_server(server, zorvad_dir, *lines, general="", passwd=None):
    db = os.path.join(zorvad_dir, "db", "passwd.db")
    write_passwd_db(db, *lines)
    return server(general=general, domain=DOMAIN + "passwd = %s\n" % (passwd or db + ", /etc/passwd"))


def test_a_virtual_user_logs_in_from_the_database(server, zorvad_dir, vhome):
    s = virtual_server(server, zorvad_dir, "vera:{plain}s3cret:65534:65534,33::%s:/bin/false" % vhome)
    c = s.greeted()
    assert login(c, "vera", "s3cret") == "230 Restricted user logged in.\r\n"
    assert c.command("PWD") == '257 "/" is cwd.\r\n'
    assert c.command("CWD docs") == '250 "/docs" is new cwd.\r\n'
    ids = identity(session_pid(s, os.path.join(vhome, "docs")))
    assert (ids["ruid"], ids["euid"], ids["egid"], ids["groups"]) == (65534, 65534, 65534, [33, 65534])


def test_a_virtual_user_with_a_wrong_password_is_refused(server, zorvad_dir, vhome):
    c = virtual_server(server, zorvad_dir, "vera:{plain}s3cret:65534:65534::%s:/bin/sh" % vhome).greeted()
    assert login(c, "vera", "S3cret") == INCORRECT


def test_a_database_not_owned_by_root_gives_its_owner_uid_and_only_the_owners_groups(
        server, zorvad_dir, user, vhome):
    # The record asks for root's uid and for the disk and shadow groups
    # besides the owner's own group: only the owner's identity is handed out.
    disk, shadow = grp.getgrnam("disk").gr_gid, grp.getgrnam("shadow").gr_gid
    s = virtual_server(server, zorvad_dir, "vera:{plain}s3cret:0:%d,%d,%d::%s:/bin/sh"
                       % (disk, shadow, user.gid, vhome))
    os.chown(os.path.join(zorvad_dir, "db", "passwd.db"), user.uid, user.gid)
    os.chown(vhome, user.uid, user.gid)
    c = s.greeted()
    assert login(c, "vera", "s3cret").startswith("230 ")
    ids = identity(session_pid(s, vhome))
    assert (ids["euid"], ids["egid"], ids["groups"]) == (user.uid, user.gid, [user.gid])


def test_a_database_replaced_by_a_fifo_is_not_waited_for(server, zorvad_dir, user, vhome):
    s = virtual_server(server, zorvad_dir, "vera:{plain}s3cret:65534:65534::%s:/bin/sh" % vhome)
    db = os.path.join(zorvad_dir, "db", "passwd.db")
    os.unlink(db)
    os.mkfifo(db, 0o600)
    c = s.greeted()
    assert login(c, "vera", "s3cret") == INCORRECT
    assert login(c, user.name, user.password).startswith("230 ")


def test_a_locked_database_answers_pass_as_a_failed_login_within_seconds(server, zorvad_dir, vhome):
    s = virtual_server(server, zorvad_dir, "vera:{plain}s3cret:65534:65534::%s:/bin/sh" % vhome)
    db = os.path.join(zorvad_dir, "db", "passwd.db")
    with open(db, "rb+") as held:
        fcntl.lockf(held, fcntl.LOCK_EX)   # as a long import holds it
        c = s.greeted()
        start = time.monotonic()
        assert login(c, "vera", "s3cret") == INCORRECT
        assert time.monotonic() - start < 10   # the lock wait, the failed-login pause, well inside login-timeout
        s.wait_log(r"Password database %s stayed locked for 3 seconds; could not look up user \"vera\"\.\n"
                   % re.escape(db))
    assert login(c, "vera", "s3cret").startswith("230 ")


def test_a_record_with_an_invalid_password_is_refused(server, zorvad_dir, vhome):
    s = virtual_server(server, zorvad_dir, "vera:*:65534:65534::%s:/bin/sh" % vhome)
    c = s.greeted()
    assert login(c, "vera", "*") == INCORRECT
    s.wait_log(r'User "vera" found in .*passwd\.db with uid=65534, but encrypted password "\*" '
               r'is invalid -- login from 127\.0\.0\.1 disallowed\.\n')


def test_a_database_only_domain_refuses_system_users(server, zorvad_dir, user, vhome):
    db = os.path.join(zorvad_dir, "db", "passwd.db")
    s = virtual_server(server, zorvad_dir, "vera:{plain}s3cret:65534:65534::%s:/bin/sh" % vhome,
                       passwd=db)
    c = s.greeted()
    assert login(c, user.name, user.password) == INCORRECT
    s.wait_log(r'User "%s" cannot login to domain "test" since passwd file is "%s"\.\n'
               % (user.name, re.escape(db)))


def test_the_options_field_sets_umask_and_permissions(server, zorvad_dir, vhome):
    s = virtual_server(server, zorvad_dir,
                       "vera:{plain}s3cret:65534:65534::%s:/bin/sh:0:0:0:0:umask=027,perm=-C:0:0" % vhome)
    c = s.greeted()
    assert login(c, "vera", "s3cret").startswith("230 ")
    assert identity(session_pid(s, vhome))["umask"] == "0027"
    assert c.command("CWD docs") == "553 Permission denied.\r\n"


@pytest.mark.parametrize("field, reply", [
    ("umask=999", INCORRECT),
    ("perm=+Q", "530 Login failed.  Have the sysadmin check the misc log.\r\n"),
    ("colour=blue", "530 Login failed.  Have the sysadmin check the misc log.\r\n"),
])
def test_an_unusable_options_field_refuses_the_login(server, zorvad_dir, vhome, field, reply):
    s = virtual_server(server, zorvad_dir,
                       "vera:{plain}s3cret:65534:65534::%s:/bin/sh:0:0:0:0:%s:0:0" % (vhome, field))
    c = s.greeted()
    assert login(c, "vera", "s3cret") == reply
    assert c.closed()


def test_a_virtual_users_home_must_not_be_a_link(server, zorvad_dir, vhome):
    link = os.path.join(zorvad_dir, "vlink")
    os.symlink(vhome, link)
    c = virtual_server(server, zorvad_dir, "vera:{plain}s3cret:65534:65534::%s:/bin/sh" % link).greeted()
    assert login(c, "vera", "s3cret") == \
        "451 Login failed, your home directory must not be a symbolic link.\r\n"
    assert c.closed()


def test_a_virtual_user_without_groups_cannot_log_in(server, zorvad_dir, vhome):
    s = virtual_server(server, zorvad_dir, "vera:{plain}s3cret:65534:::%s:/bin/sh" % vhome)
    c = s.greeted()
    assert login(c, "vera", "s3cret") == "451 Login failed.\r\n"
    assert c.closed()
    s.wait_log(r'No groups defined for user "vera"\n')


# ---- Logins shut off ----------------------------------------------------------------------------

def _nologin_wrapper(zdir):
    upper, work = os.path.join(zdir, "upper"), os.path.join(zdir, "work")
    os.makedirs(upper, exist_ok=True)
    os.makedirs(work, exist_ok=True)
    script = ("set -e; mount -t overlay overlay -o lowerdir=/etc,upperdir=%s,workdir=%s /etc; "
              "echo 'Back soon.' > /etc/nologin; touch -d '1 hour ago' /etc/nologin; exec \"$@\""
              % (upper, work))
    return ["unshare", "-m", "--propagation", "private", "sh", "-c", script, "sh"]


def test_with_a_nologin_file_only_root_may_try(server, zorvad_dir):
    s = server(wrapper=_nologin_wrapper(zorvad_dir))
    c = s.control()
    c.reply()
    assert c.command("USER root") == "331 User root okay, need password.\r\n"
    assert c.command("USER anonymous") == \
        "530 Logins are not allowed while the system undergoes maintenance.\r\n"
    assert c.closed()
    assert not os.path.exists("/etc/nologin")


# ---- TCP Wrappers with the user name -------------------------------------------------------------

def test_tcp_wrappers_can_refuse_a_user_name(server, zorvad_dir):
    upper, work = os.path.join(zorvad_dir, "upper"), os.path.join(zorvad_dir, "work")
    os.makedirs(upper)
    os.makedirs(work)
    script = ("set -e; mount -t overlay overlay -o lowerdir=/etc,upperdir=%s,workdir=%s /etc; "
              "echo 'zorvad: mallory@ALL' > /etc/hosts.deny; rm -f /etc/hosts.allow; exec \"$@\""
              % (upper, work))
    wrapper = ["unshare", "-m", "--propagation", "private", "sh", "-c", script, "sh"]
    s = server(general="tcp-wrappers = user\n", wrapper=wrapper)
    assert s.greeted().command("USER alice") == "331 User alice okay, need password.\r\n"
    c = s.greeted()
    start = time.monotonic()
    assert c.command("USER mallory") == "550 You are not welcome here.\r\n"
    assert time.monotonic() - start >= 1.9
    assert c.closed()
    s.wait_log(r"TCP Wrappers denied access to mallory@127\.0\.0\.1 \(localhost\)\.\n")
