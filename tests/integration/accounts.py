"""Accounts for the login tests: system users made with useradd (always
removed again), password databases of virtual users, and a look at the
identity of a session's process."""
import os
import pwd
import random
import re
import subprocess

import pytest

from conftest import BIN_DIR

MKPASSWDDB = os.path.join(BIN_DIR, "tests", "tools", "mkpasswddb")


class SystemUser:
    def __init__(self, name, password, home):
        self.name = name
        self.password = password
        self.home = home
        entry = pwd.getpwnam(name)
        self.uid = entry.pw_uid
        self.gid = entry.pw_gid


def create_system_user(directory, password, shell="/bin/sh", groups=None):
    """A new account with the host's default password hash and its home
    below directory.  The caller removes it with remove_system_user."""
    name = "zl%06x" % random.getrandbits(24)
    home = os.path.join(directory, "home-" + name)
    cmd = ["useradd", "-m", "-d", home, "-s", shell]
    if groups:
        cmd += ["-G", ",".join(groups)]
    subprocess.run(cmd + [name], check=True, capture_output=True)
    try:
        subprocess.run(["chpasswd"], input="%s:%s\n" % (name, password), text=True,
                       check=True, capture_output=True)
        os.chmod(home, 0o755)
        return SystemUser(name, password, home)
    except Exception:
        remove_system_user(name)
        raise


def remove_system_user(name):
    subprocess.run(["userdel", "-r", "-f", name], capture_output=True)
    subprocess.run(["groupdel", name], capture_output=True)


def write_passwd_db(path, *lines):
    """Writes virtual-user records (password "{plain}TEXT" is encrypted)."""
    os.makedirs(os.path.dirname(path), mode=0o700, exist_ok=True)
    subprocess.run([MKPASSWDDB, path, *lines], check=True)


def process_in(directory, pids):
    """The pid of the listed processes whose current directory is directory."""
    for pid in pids:
        try:
            if os.readlink("/proc/%d/cwd" % pid) == directory:
                return pid
        except OSError:
            pass
    return None


def identity(pid):
    """(real, effective) uid and gid and the supplementary groups of pid."""
    with open("/proc/%d/status" % pid) as f:
        status = f.read()
    uids = [int(x) for x in re.search(r"^Uid:\s+(.*)$", status, re.M).group(1).split()]
    gids = [int(x) for x in re.search(r"^Gid:\s+(.*)$", status, re.M).group(1).split()]
    groups = sorted(int(x) for x in re.search(r"^Groups:\s*(.*)$", status, re.M).group(1).split())
    umask = re.search(r"^Umask:\s+(\d+)$", status, re.M).group(1)
    return {"ruid": uids[0], "euid": uids[1], "rgid": gids[0], "egid": gids[1],
            "groups": groups, "umask": umask}


@pytest.fixture
def users(zorvad_dir):
    """Factory of system users (keyword arguments of create_system_user);
    every one is removed at the end of the test."""
    made = []

    def make(password="Pa55-word", **kw):
        u = create_system_user(zorvad_dir, password, **kw)
        made.append(u.name)
        return u

    yield make
    for name in made:
        remove_system_user(name)
