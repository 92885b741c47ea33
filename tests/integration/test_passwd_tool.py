"""The password-database tool: databases it writes serve logins, its access
check in a real set-user-ID run, export and import, records that do not fit,
an import beside a server that logs users in, and password changes."""
import os
import random
import shutil
import string
import subprocess
import threading

import pytest

from accounts import users  # noqa: F401 (fixture)
from conftest import BIN_DIR, wait_for

PASSWD = os.path.join(BIN_DIR, "tools", "passwd", "zorvad_passwd")
EDQUOTA = os.path.join(BIN_DIR, "tools", "quota", "zorvad_edquota")
DOMAIN = "set-name = test\nserver-name = testhost\nftp-home = {dir}/ftp\npasswd = %s\n"
UID = 65534


def tool(*args, stdin=None, binary=PASSWD, prefix=()):
    return subprocess.run([*prefix, binary, *args], input=stdin, capture_output=True, text=True,
                          timeout=60)


def export(db, flag="-x"):
    r = tool("-f", db, flag)
    assert r.returncode == 0, r.stderr
    return r.stdout


@pytest.fixture
def db(zorvad_dir):
    os.makedirs(os.path.join(zorvad_dir, "db"), mode=0o700)
    return os.path.join(zorvad_dir, "db", "passwd.db")


@pytest.fixture
def vhome(zorvad_dir):
    home = os.path.join(zorvad_dir, "vhome")
    os.makedirs(home)
    os.chown(home, UID, UID)
    return home


def login(s, name, password):
    c = s.greeted()
    assert c.command("USER " + name).startswith("331 ")
    reply = c.command("PASS " + password)
    c.close()
    return reply


# ---- Logins from a database the tool wrote ---------------------------------------------------

@pytest.mark.parametrize("flag, prefix", [("-c", "$y$"), ("-5", "$1$")])
def test_a_virtual_user_added_by_the_tool_logs_in_with_the_whole_password(server, db, vhome, flag, prefix):
    r = tool("-f", db, "-a", "vera:Long-pass-1234:%d:%d::%s:/bin/sh" % (UID, UID, vhome), flag)
    assert r.returncode == 0, r.stderr
    stored = export(db).split(":")[1]
    assert stored.startswith(prefix)
    if flag == "-5":
        assert len(stored.split("$")[2]) == 8            # "$1$" and an 8-character salt
    assert os.stat(db).st_mode & 0o077 == 0
    s = server(domain=DOMAIN % db)
    assert login(s, "vera", "Long-pass-1234") == "230 Restricted user logged in.\r\n"
    # Every character counts, not only the first eight.
    assert login(s, "vera", "Long-pasX-1234") == "530 Login incorrect.\r\n"
    assert login(s, "vera", "Long-pass-1235") == "530 Login incorrect.\r\n"


# ---- The access check of a set-user-ID run ------------------------------------------------------

def setuid_copy(zorvad_dir, program=PASSWD):
    bindir = os.path.join(zorvad_dir, "bin")
    os.makedirs(bindir, mode=0o755, exist_ok=True)
    binary = os.path.join(bindir, os.path.basename(program))
    shutil.copy(program, binary)
    os.chown(binary, 0, 0)
    os.chmod(binary, 0o4755)
    return binary


def as_user(user):
    return ["setpriv", "--reuid=%d" % user.uid, "--regid=%d" % user.gid, "--clear-groups"]


def run_with_access_file(zorvad_dir, content, mode, who, binary, *args):
    """Runs binary (prefixed by who) in a private mount namespace whose /etc
    has the access file with content and mode, or none when content is None."""
    upper = os.path.join(zorvad_dir, "etc-upper")
    work = os.path.join(zorvad_dir, "etc-work")
    os.makedirs(upper)
    os.makedirs(work)
    if content is not None:
        path = os.path.join(upper, "ftp.passwd.conf")
        with open(path, "w") as f:
            f.write(content)
        os.chmod(path, mode)
    script = ('mount -t overlay overlay -o lowerdir=/etc,upperdir="$1",workdir="$2" /etc && shift 2 && '
              + ('rm -f /etc/ftp.passwd.conf && ' if content is None else '') + 'exec "$@"')
    return tool(*args, binary=binary,
                prefix=["unshare", "-m", "--propagation", "private", "sh", "-c", script, "sh", upper, work, *who])


@pytest.mark.parametrize("case, code, message", [
    ("relative path", 6, "Use an absolute pathname for the database file you specify with -f.\n"),
    ("no access file", 7, "{db} is not listed in /etc/ftp.passwd.conf, so you cannot modify it.\n"),
    ("mode 0644", 8, "The /etc/ftp.passwd.conf file must be owned by root and be mode 0600.\n"),
    ("another uid", 9, "There is an entry in /etc/ftp.passwd.conf for the file {db},\nbut your UID ({uid}) "
                       "does not match any of the corresponding allowed users, so you may not modify {db}.\n"),
    ("not listed", 10, "{db} is not listed in /etc/ftp.passwd.conf, so you cannot modify it.\n"),
    ("listed by name", 0, "Warning: User someone UID was reset to {uid}.\n"),
    ("root ignores the file", 0, ""),
])
def test_the_access_file_decides_what_a_set_user_id_run_may_touch(zorvad_dir, db, users, case, code, message):
    user = users()
    binary = setuid_copy(zorvad_dir)
    content = {"no access file": None,
               "another uid": "%s 4242,allow-mkdir\n" % db,
               "not listed": "/elsewhere/passwd.db ALL\n",
               "listed by name": "/elsewhere/passwd.db ALL\n%s\t%s\n" % (db, user.name)}.get(case, "%s ALL\n" % db)
    mode = 0o644 if case in ("mode 0644", "relative path", "root ignores the file") else 0o600
    who = [] if case == "root ignores the file" else as_user(user)
    record = "someone:*:0:0::/:/bin/sh"
    if case == "relative path":       # refused before the access file is read
        r = subprocess.run([*who, binary, "-f", "db/passwd.db", "-a", record], cwd=zorvad_dir,
                           capture_output=True, text=True, timeout=60)
    else:
        r = run_with_access_file(zorvad_dir, content, mode, who, binary, "-f", db, "-a", record)
    assert r.returncode == code, r.stderr
    assert message.format(db=db, uid=user.uid) in r.stderr
    if code != 0:
        assert not os.path.exists(db)
        return
    ids = (user.uid, user.gid) if who else (0, 0)
    assert export(db) == "someone:*:%d:%d::/:/bin/sh\n" % ids
    assert os.stat(db).st_uid == 0 and os.stat(db).st_mode & 0o077 == 0


# ---- Export and import -------------------------------------------------------------------------

RECORDS = [
    "ann:$1$abcdefgh$0123456789abcdefghijkl:1001:1001::/home/ann:/bin/sh",
    "bert:*:1002:1002,33,34:Bert B.:/home/bert:/bin/false:100:50:10:5:umask=022,restricted=yes:64:32",
    "cleo:$y$j9T$abc$def:1003:1003:Cleo:/home/cleo:/bin/sh:0:0:0:0:perm=RL:0:0",
]


def write_lines(path, lines):
    with open(path, "w") as f:
        f.write("".join(line + "\n" for line in lines))


def test_an_export_imports_into_a_fresh_database_unchanged(zorvad_dir, db):
    for line in RECORDS:
        assert tool("-w", "-f", db, "-a", line).returncode == 0
    text, long_text = export(db), export(db, "-X")
    assert sorted(text.splitlines()) == sorted(RECORDS)
    assert "Supplementary GIDs:  33,34\n" in long_text and "Umask:               022\n" in long_text
    dump = os.path.join(zorvad_dir, "dump.txt")
    with open(dump, "w") as f:
        f.write(text)
    fresh = os.path.join(zorvad_dir, "db", "fresh.db")
    r = tool("-w", "-f", fresh, "-i", dump)
    assert r.returncode == 0, r.stderr
    assert export(fresh) == text and export(fresh, "-X") == long_text
    # A database whose last record was deleted says that it is empty.
    assert tool("-f", fresh, "-d", "nobody").returncode == 1
    for name in ("ann", "bert", "cleo"):
        assert tool("-f", fresh, "-d", name).stdout == "ok\n"
    assert export(fresh) == "(database is empty)\n"


def test_a_record_that_does_not_fit_the_record_line_is_refused(db):
    assert tool("-w", "-f", db, "-a", RECORDS[0]).returncode == 0
    before = export(db)
    # 278 characters: each field fits its place in the record, the line does not.
    long_line = "zed:*:1004:1004:%s:/%s:/%s" % ("g" * 100, "h" * 99, "s" * 59)
    for op in ("-a", "-u"):
        r = tool("-w", "-f", db, op, long_line)
        assert r.returncode == 1
        assert 'Error: The record for user "zed" is' in r.stderr
    # -c makes a short line too long (the hash is longer than the plain text).
    r = tool("-w", "-f", db, "-a", "zed:pw:1004:1004:%s:/%s:/bin/sh" % ("g" * 100, "h" * 110), "-c")
    assert r.returncode == 1
    assert export(db) == before


def test_an_overlong_import_line_is_refused_whole_and_counted(zorvad_dir, db):
    # Cut at 254 characters, the rest of the long line would be a record of its own.
    tail = "evil:*:0:0::/:/bin/sh"
    overlong = "long:*:1005:1005:" + "x" * (254 - len("long:*:1005:1005:")) + tail
    overlong += "y" * (300 - len(overlong))
    assert len(overlong) == 300
    lines = RECORDS[:2] + [overlong, "not a record", RECORDS[2]]
    path = os.path.join(zorvad_dir, "import.txt")
    write_lines(path, lines)
    r = tool("-w", "-f", db, "-i", path)
    assert r.returncode == 1
    assert "Error: Line 3 of %s is longer than 254 characters; skipped.\n" % path in r.stderr
    assert "Invalid format for user record.\n" in r.stderr
    assert "3 records imported, 2 lines failed.\n" in r.stderr
    assert sorted(export(db).splitlines()) == sorted(RECORDS)


# ---- An import beside a server that logs users in -------------------------------------------

def test_logins_succeed_while_an_import_holds_the_database(server, zorvad_dir, db, vhome):
    users_before = ["vera", "walt"]
    for name in users_before:
        r = tool("-f", db, "-a", "%s:pw-%s-123:%d:%d::%s:/bin/sh" % (name, name, UID, UID, vhome), "-c")
        assert r.returncode == 0, r.stderr
    s = server(domain=DOMAIN % db)
    fifo = os.path.join(zorvad_dir, "import.fifo")
    os.mkfifo(fifo)
    importer = subprocess.Popen([PASSWD, "-w", "-f", db, "-r", fifo], stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, text=True)
    # Varied names: numbered ones would crowd into a few hundred buckets and
    # make the import, and the logins' wait for it, needlessly long.
    rng = random.Random(15)
    names = sorted({"".join(rng.choice(string.ascii_lowercase) for _ in range(9)) for _ in range(10000)})
    lines = ["%s:*:%d:%d::%s:/bin/sh\n" % (name, 2000 + i, 2000 + i, vhome) for i, name in enumerate(names)]
    replies = []
    with open(fifo, "w") as f:
        # Far more than a pipe holds: once written, the importer has taken
        # its lock and is reading.
        f.write("".join(lines[:5000]))
        f.flush()
        threads = [threading.Thread(target=lambda n=n: replies.append(login(s, n, "pw-%s-123" % n)))
                   for n in users_before * 3]
        for t in threads:
            t.start()
        f.write("".join(lines[5000:]))
    out, err = importer.communicate(timeout=60)
    for t in threads:
        t.join(30)
    assert importer.returncode == 0, err
    assert replies == ["230 Restricted user logged in.\r\n"] * 6
    exported = export(db).splitlines()
    assert len(exported) == len(names) + 2 and len(set(exported)) == len(exported)
    assert login(s, "vera", "pw-vera-123").startswith("230 ")


def blocked_reading_a_pipe(pid):
    with open("/proc/%d/wchan" % pid) as f:
        return f.read().endswith("pipe_read")


def test_a_remote_client_logs_in_at_once_while_a_large_import_waits_for_input(server, zorvad_dir, db, vhome):
    """A large import fed through a pipe must not keep the database locked
    while it waits for its input: a remote client's virtual login then once
    waited 3 s for the lock and failed with 530 (a failed attempt)."""
    r = tool("-f", db, "-a", "vera:pw-vera-123:%d:%d::%s:/bin/sh" % (UID, UID, vhome), "-c")
    assert r.returncode == 0, r.stderr
    hashed = export(db).split(":")[1]
    s = server(domain=DOMAIN % db)
    fifo = os.path.join(zorvad_dir, "import.fifo")
    os.mkfifo(fifo)
    importer = subprocess.Popen([PASSWD, "-w", "-f", db, "-r", fifo], stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, text=True)
    # Numbered names, as large imports have them.
    lines = ["user%06d:%s:%d:%d::%s:/bin/sh\n" % (i, hashed, UID, UID, vhome) for i in range(1, 10001)]
    try:
        with open(fifo, "w") as f:
            # Far more than a pipe holds: once written, the importer has read
            # most of it.  Then it waits for the rest.
            f.write("".join(lines[:5000]))
            f.flush()
            assert wait_for(lambda: blocked_reading_a_pipe(importer.pid), timeout=30)
            assert login(s, "vera", "pw-vera-123") == "230 Restricted user logged in.\r\n"
            assert login(s, "user000001", "pw-vera-123") == "230 Restricted user logged in.\r\n"
            f.write("".join(lines[5000:]))
        out, err = importer.communicate(timeout=60)
    finally:
        if importer.poll() is None:
            importer.kill()
            importer.communicate()
    assert importer.returncode == 0 and err == "", err
    assert len(export(db).splitlines()) == len(lines) + 1
    assert login(s, "user010000", "pw-vera-123").startswith("230 ")


# ---- Password changes and checks -------------------------------------------------------------

def test_passwords_change_only_with_the_current_one_and_check_exactly(db):
    assert tool("-f", db, "-a", "pat:old-secret-1:1006:1006::/:/bin/sh", "-c", "-w").returncode == 0
    before = export(db)

    def check(password):
        return tool("-f", db, "-k", "pat", "-K", password).stdout

    def from_stdin(current, new, verify):
        return tool("-f", db, "-0", stdin="pat\n%s\n%s\n%s\n" % (current, new, verify))

    r = from_stdin("old-secret-2", "new-secret-1", "new-secret-1")
    assert r.returncode == 1 and "Your old password was incorrect, no changes saved.\n" in r.stderr
    r = from_stdin("old-secret-1", "new-secret-1", "new-secret-2")
    assert r.returncode == 1 and "Passwords did not match, no changes saved.\n" in r.stderr
    assert export(db) == before
    assert check("old-secret-1") == "Password correct.\n"

    r = from_stdin("old-secret-1", "new-secret-1", "new-secret-1")
    assert r.returncode == 0 and "Password changed for user pat.\n" in r.stdout
    assert export(db).split(":")[1].startswith("$y$")
    assert check("old-secret-1") == "Password incorrect.\n"
    assert check("new-secret-1") == "Password correct.\n"
    assert check("new-secret-2") == "Password incorrect.\n"
    # -k reads the password from standard input when -K is not given.
    r = tool("-f", db, "-k", "pat", stdin="new-secret-1\n")
    assert (r.returncode, r.stdout) == (0, "Password correct.\n")

    # -P stores the encrypted password as given; -p wins over -k.
    r = tool("-f", db, "-k", "pat", "-p", "pat", "-P", "$1$saltsalt$Xn1bRvFJu5kb8QJzOVGZU/")
    assert r.returncode == 0 and r.stdout == "Password changed for user pat.\n"
    assert export(db) == "pat:$1$saltsalt$Xn1bRvFJu5kb8QJzOVGZU/:1006:1006::/:/bin/sh\n"


# ---- Directories, interactive editing, system accounts, signals ------------------------------

@pytest.mark.parametrize("home, extra, code, message", [
    ("made/deep", ["-M", "0750", "-J", "incoming"], 0, ""),
    ("missing", [], 0, 'Warning: Home directory for user "ann" ({home}) does not exist.\n'),
    ("afile", [], 1, 'Error:  Home directory for user "ann" ({home}) is not a directory.\n'),
])
def test_homes_are_made_or_checked_as_users_are_added(zorvad_dir, db, home, extra, code, message):
    open(os.path.join(zorvad_dir, "afile"), "w").close()
    home = os.path.join(zorvad_dir, home)
    r = tool("-f", db, "-a", "ann:x:%d:%d::%s:/bin/sh" % (UID, UID, home), *extra)
    assert r.returncode == code and message.format(home=home) in r.stderr, r.stderr
    assert ("ann:" in export(db)) == (code == 0)
    if extra:
        for made in (home, os.path.join(home, "incoming")):
            st = os.stat(made)
            assert (st.st_mode & 0o7777, st.st_uid, st.st_gid) == (0o750, UID, UID)


def converse(args, answers):
    """Runs the tool on a terminal, answering each prompt (text up to "]: ")."""
    import pty
    pid, fd = pty.fork()
    if pid == 0:
        os.execv(PASSWD, [PASSWD, *args])
    import select
    import time
    out, pending = b"", list(answers)
    deadline = time.monotonic() + 30
    while True:
        if not select.select([fd], [], [], max(0, deadline - time.monotonic()))[0]:
            os.kill(pid, 9)
            os.waitpid(pid, 0)
            pytest.fail("the tool stopped answering: %r" % out)
        try:
            chunk = os.read(fd, 4096)
        except OSError:
            break
        if not chunk:
            break
        out += chunk
        while pending and out.count(b"]: ") + out.count(b"ord for ") > len(answers) - len(pending):
            os.write(fd, pending.pop(0).encode() + b"\n")
    os.close(fd)
    return os.waitpid(pid, 0)[1] >> 8, out.decode(errors="replace")


def test_records_are_added_and_edited_on_a_terminal(db):
    code, out = converse(["-f", db, "-A"], ["zed", "pw-zed-12345", "pw-zed-12345", "x1", "1007", "1007",
                                           "Zed Z", "/", "/bin/sh", "100", "", "", "", "", "", "", "", ""])
    assert code == 0 and 'Bad user ID, "x1"' in out, out
    assert export(db) == "zed:%s:1007:1007:Zed Z:/:/bin/sh:100:0:0:0::0:0\n" % export(db).split(":")[1]
    assert tool("-f", db, "-k", "zed", "-K", "pw-zed-12345").stdout == "Password correct.\n"
    code, out = converse(["-f", db, "-U", "zed"], ["", "", "", "", "", "/bin/bash", "0", "", "5", ""] + [""] * 6)
    assert code == 0, out
    assert export(db).split(":")[6:] == ["/bin/bash", "0", "0", "5", "0", "", "0", "0\n"]


def test_the_system_accounts_are_exported_and_imported(db):
    r = tool("-E")
    names = [line.split(":")[0] for line in r.stdout.splitlines()]
    with open("/etc/passwd") as f:
        assert names == [line.split(":")[0] for line in f if line.strip()]
    assert tool("-f", db, "-I", "-w").returncode == 0
    assert sorted(line.split(":")[0] for line in export(db).splitlines()) == sorted(names)
    assert tool("-f", db, "-q", "root").stdout.split(":")[2:4] == ["0", "0"]


def test_a_terminating_signal_closes_the_database_and_exits_3(db):
    import pty
    import signal
    assert tool("-f", db, "-a", "sig:x:1:1::/:/bin/sh", "-w").returncode == 0
    pid, fd = pty.fork()
    if pid == 0:
        os.execv(PASSWD, [PASSWD, "-f", db, "-k", "sig"])
    out = b""
    while b"Password for sig: " not in out:
        out += os.read(fd, 4096)
    os.kill(pid, signal.SIGTERM)
    try:
        while True:
            out += os.read(fd, 4096)
    except OSError:
        pass
    os.close(fd)
    assert os.waitpid(pid, 0)[1] >> 8 == 3
    assert b"Caught signal 15, exiting.\r\nDatabase closed.\r\n" in out, out


# ---- What a delegated user of the set-user-ID tool can reach ------------------------------------

def delegated(zorvad_dir, access, user, binary, *args):
    """Runs the set-user-ID binary as user in a private mount namespace whose
    /etc holds the access file with the text access (mode 0600)."""
    return tool(*args, binary=binary, prefix=delegated_prefix(zorvad_dir, access, user))


def delegated_prefix(zorvad_dir, access, user):
    """The command prefix of delegated()."""
    import tempfile
    scratch = tempfile.mkdtemp(dir=zorvad_dir, prefix="etc-")
    upper, work = os.path.join(scratch, "upper"), os.path.join(scratch, "work")
    os.makedirs(upper)
    os.makedirs(work)
    path = os.path.join(upper, "ftp.passwd.conf")
    with open(path, "w") as f:
        f.write(access)
    os.chmod(path, 0o600)
    script = 'mount -t overlay overlay -o lowerdir=/etc,upperdir="$1",workdir="$2" /etc && shift 2 && exec "$@"'
    return ["unshare", "-m", "--propagation", "private", "sh", "-c", script, "sh", upper, work, *as_user(user)]


def test_a_delegated_user_cannot_import_a_file_only_root_may_read(zorvad_dir, db, users):
    """A delegated user imports /etc/shadow into its database to read the
    host's password hashes back with -q."""
    user = users()
    binary = setuid_copy(zorvad_dir)
    r = delegated(zorvad_dir, "%s %s\n" % (db, user.name), user, binary, "-f", db, "-r", "/etc/shadow")
    assert r.returncode == 1
    assert r.stderr == "/etc/shadow: Permission denied\n"
    assert not os.path.exists(db)


@pytest.mark.parametrize("link", ["database", "directory"])
def test_a_delegated_user_cannot_redirect_its_database_with_a_link(zorvad_dir, db, users, link):
    """A delegated user puts a symbolic link in place of its delegated
    database, or of the directory holding it, to add records to a database
    delegated to no one or to make a new root-owned one where it cannot write."""
    user = users()
    binary = setuid_copy(zorvad_dir)
    r = tool("-f", db, "-a", "admin:*:0:0::/:/bin/sh")
    assert r.returncode == 0, r.stderr
    before = export(db)
    dbs = os.path.join(user.home, "dbs")
    delegated_db = os.path.join(dbs, "passwd.db")
    if link == "database":
        os.mkdir(dbs)
        os.chown(dbs, user.uid, user.gid)
        os.symlink(db, delegated_db)
    else:
        os.symlink(os.path.dirname(db), dbs)
        delegated_db = os.path.join(dbs, "new.db")
    os.lchown(dbs if link == "directory" else delegated_db, user.uid, user.gid)
    r = delegated(zorvad_dir, "%s %s allow-any-uids\n" % (delegated_db, user.name), user, binary,
                  "-f", delegated_db, "-a", "intruder:*:0:0::/:/bin/sh")
    assert r.returncode == 1, r.stderr
    assert "open: Too many levels of symbolic links\n" in r.stderr or "without following a link" in r.stderr
    assert export(db) == before
    assert sorted(os.listdir(os.path.dirname(db))) == ["passwd.db"]


@pytest.mark.parametrize("case", ["inside the base", "outside the base", "link inside the base", "no base"])
def test_a_delegated_user_makes_homes_only_below_its_base_as_itself(zorvad_dir, db, users, case):
    """A delegated user with allow-mkdir names a home in a root-only place
    (directly, or through a link below its home base), claiming another
    uid, to have root make and hand over a directory there."""
    user = users()
    binary = setuid_copy(zorvad_dir)
    base = os.path.join(user.home, "ftp")
    os.mkdir(base)
    os.chown(base, user.uid, user.gid)
    rootonly = os.path.join(zorvad_dir, "rootonly")
    os.mkdir(rootonly, 0o755)
    if case == "link inside the base":
        os.symlink(rootonly, os.path.join(base, "out"))
        os.lchown(os.path.join(base, "out"), user.uid, user.gid)
    home = {"inside the base": os.path.join(base, "u1", "home"),
            "outside the base": os.path.join(rootonly, "u1"),
            "link inside the base": os.path.join(base, "out", "u1"),
            "no base": os.path.join(base, "u1")}[case]
    words = "allow-mkdir" if case == "no base" else "allow-mkdir home-base=%s" % base
    r = delegated(zorvad_dir, "%s %s %s\n" % (db, user.name, words), user, binary,
                  "-f", db, "-m", "-a", "u1:*:1008:1008::%s:/bin/sh" % home)
    assert os.listdir(rootonly) == []
    if case == "inside the base":
        assert r.returncode == 0, r.stderr
        for made in (os.path.dirname(home), home):
            st = os.stat(made)
            assert (st.st_uid, st.st_gid, st.st_mode & 0o7777) == (user.uid, user.gid, 0o700)
        assert export(db) == "u1:*:%d:%d::%s:/bin/sh\n" % (user.uid, user.gid, home)
    else:
        assert r.returncode == 1, r.stderr
        assert 'Error: Could not create home directory for user "u1".\n' in r.stderr or \
            "names no home-base= directory" in r.stderr
        assert not os.path.exists(os.path.join(base, "u1"))
        assert not os.path.exists(db) or "u1:" not in export(db)


@pytest.mark.parametrize("meanwhile", ["root changes the record", "root deletes the record"])
def test_a_delegated_password_change_writes_only_the_password_into_the_record_as_it_is_now(
        zorvad_dir, db, users, meanwhile):
    """A delegated user starts changing its own password and leaves the
    prompt waiting while root takes the record's supplementary group away
    and sets a quota, or deletes the record; the answer must not bring the
    old record back."""
    import select
    import time
    user = users()
    binary = setuid_copy(zorvad_dir)
    old = "%s:*:%d:%d,33::/:/bin/sh" % (user.name, user.uid, user.gid)
    assert tool("-f", db, "-a", old).returncode == 0
    changer = subprocess.Popen([*delegated_prefix(zorvad_dir, "%s %s\n" % (db, user.name), user), binary,
                                "-f", db, "-p", user.name], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE)
    try:
        prompt, deadline = b"", time.monotonic() + 20
        while b"New password for %s: " % user.name.encode() not in prompt:
            assert select.select([changer.stderr], [], [], max(0, deadline - time.monotonic()))[0], prompt
            chunk = os.read(changer.stderr.fileno(), 4096)
            assert chunk, prompt
            prompt += chunk
        if meanwhile == "root deletes the record":
            assert tool("-f", db, "-d", user.name).returncode == 0
        else:
            r = tool("-f", db, "-u", "%s:*:%d:%d::/:/bin/sh:100:50:0:0" % (user.name, user.uid, user.gid))
            assert r.returncode == 0, r.stderr
        now = export(db)
        out, err = changer.communicate(b"Fresh-pass-77\nFresh-pass-77\n", timeout=30)
    finally:
        if changer.poll() is None:
            changer.kill()
            changer.communicate()
    err = prompt + err
    if meanwhile == "root deletes the record":
        assert changer.returncode == 1
        assert b"The record for %s was deleted meanwhile; nothing written.\n" % user.name.encode() in err, err
        assert now == export(db) == "(database is empty)\n"
        return
    assert changer.returncode == 0, err
    fields = export(db).split(":")
    assert fields[:1] + fields[2:] == now.split(":")[:1] + now.split(":")[2:]
    assert fields[1].startswith("$y$")
    assert tool("-f", db, "-k", user.name, "-K", "Fresh-pass-77").stdout == "Password correct.\n"


def test_a_delegated_user_stores_no_terminal_control_characters_for_root_to_print(zorvad_dir, db, users):
    """A delegated user puts escape sequences (C0, DEL, C1 raw and as UTF-8)
    into the fields of its records, or into a password given encrypted, to
    have them reach root's terminal when root exports or reports the
    database; every such line is refused, and printable UTF-8 and Latin-1
    text is kept."""
    user = users()
    binary = setuid_copy(zorvad_dir)
    prefix = [*delegated_prefix(zorvad_dir, "%s %s\n" % (db, user.name), user), binary, "-w", "-f", db]
    ids = b"%d:%d" % (user.uid, user.gid)
    hostile = [b"esc:*:%s:\x1b]52;c;cm0gLXJmIH4=\x07:/:/bin/sh" % ids,
               b"del\x7f:*:%s::/:/bin/sh" % ids,
               b"c1:*:%s::/h\xc2\x9b2J:/bin/sh" % ids,
               b"raw:*:%s:\x9b2J:/:/bin/sh" % ids,
               b"pw:*\x1b[8m:%s::/:/bin/sh" % ids]
    for line in hostile:
        r = subprocess.run([*prefix, "-a", line], capture_output=True, timeout=60)
        assert r.returncode == 1 and b"control character" in r.stderr, (line, r.stderr)
    fine = b"jose:*:%s:Jos\xc3\xa9 \xc5\x81ukasz Jos\xe9:/:/bin/sh" % ids
    r = subprocess.run([*prefix, "-a", fine], capture_output=True, timeout=60)
    assert r.returncode == 0, r.stderr
    r = subprocess.run([*prefix, "-p", "jose", "-P", "$1$x$\x1b[2J"], capture_output=True, timeout=60)
    assert r.returncode == 1 and b"control character" in r.stderr, r.stderr
    assert subprocess.run([PASSWD, "-f", db, "-x"], capture_output=True).stdout == fine + b"\n"


# ---- A delegated user and the database's lock ----------------------------------------------------

# Run as the caller: what it may do to a process of the tool.  A process it
# stopped is let go at once, so that nothing stays stopped.
CALLER_STOPS_AND_RENICES = r"""
import errno, os, signal, sys
pid = int(sys.argv[1])
try:
    os.kill(pid, signal.SIGSTOP)
    os.kill(pid, signal.SIGCONT)
    print("stopped")
except OSError as e:
    print(errno.errorcode[e.errno])
try:
    os.setpriority(os.PRIO_PROCESS, pid, 19)
    print("reniced")
except OSError as e:
    print(errno.errorcode[e.errno])
"""


def what_the_caller_may_do(user, pid):
    r = subprocess.run([*as_user(user), "/usr/bin/python3", "-c", CALLER_STOPS_AND_RENICES, str(pid)],
                       capture_output=True, text=True, timeout=30)
    assert r.returncode == 0, r.stderr
    return r.stdout.split()


def lockers(path):
    """[(pid, waiting)] of the POSIX locks on path, from /proc/locks."""
    st = os.stat(path)
    found = []
    with open("/proc/locks") as f:
        for line in f:
            words = line.split()
            waiting = words[1] == "->"
            words = words[2:] if waiting else words[1:]
            major, minor, inode = words[4].split(":")
            if (int(major, 16), int(minor, 16), int(inode)) == (os.major(st.st_dev), os.minor(st.st_dev),
                                                                 st.st_ino):
                found.append((int(words[3]), waiting))
    return found


def priority(pid):
    """The nice value, scheduling policy and I/O class of pid."""
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    io = subprocess.run(["ionice", "-p", str(pid)], capture_output=True, text=True, timeout=30).stdout
    return int(fields[16]), int(fields[38]), io.split(":")[0].strip()   # stat fields 19 and 41


def process_state(pid):
    with open("/proc/%d/stat" % pid) as f:
        return f.read().rsplit(")", 1)[1].split()[0]


def test_a_delegated_user_can_neither_stop_nor_slow_an_import_that_holds_the_database(zorvad_dir, db, users):
    """A delegated user starts a long import at the lowest CPU and I/O
    priority and, once it takes the database's lock (the server's logins
    wait for it and fail after 3 s), stops it with SIGSTOP or renices it, to
    keep every virtual user out for as long as it likes.  The part of the
    import that reads the caller's file is the caller's own to stop: the
    database stays free meanwhile.  The test holds a read lock on the
    database until it has tried, so that the import waits at the call that
    takes its lock, and feeds the lines through a pipe that it closes only
    at the end."""
    import fcntl
    user = users()
    binary = setuid_copy(zorvad_dir)
    assert tool("-f", db, "-a", "admin:*:0:0::/:/bin/sh").returncode == 0
    rng = random.Random(17)
    names = sorted({"".join(rng.choice(string.ascii_lowercase) for _ in range(10)) for _ in range(5000)})
    lines = ["%s:*:%d:%d::/:/bin/sh" % (name, user.uid, user.gid) for name in names]
    fifo = os.path.join(user.home, "import.fifo")
    os.mkfifo(fifo)
    os.chown(fifo, user.uid, user.gid)
    done = threading.Event()

    def feed():
        try:
            with open(fifo, "w") as f:
                f.write("".join(line + "\n" for line in lines))
                f.flush()
                done.wait(60)
        except BrokenPipeError:   # the import ended early
            pass

    feeder = threading.Thread(target=feed)
    feeder.start()
    with open(db, "rb") as held:
        fcntl.lockf(held, fcntl.LOCK_SH)
        importer = subprocess.Popen([*delegated_prefix(zorvad_dir, "%s %s\n" % (db, user.name), user),
                                     "nice", "-n", "19", "ionice", "-c", "3", binary, "-w", "-f", db, "-r", fifo],
                                    stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        try:
            assert wait_for(lambda: (importer.pid, True) in lockers(db), timeout=30)
            assert what_the_caller_may_do(user, importer.pid) == ["EPERM", "EPERM"]
            assert priority(importer.pid) == (0, 0, "none")
            fcntl.lockf(held, fcntl.LOCK_UN)
            # The caller stops the process that reads its file: the import
            # waits for it with the database free.
            with open("/proc/%d/task/%d/children" % (importer.pid, importer.pid)) as f:
                reader = int(f.read().split()[0])
            r = subprocess.run([*as_user(user), "kill", "-STOP", str(reader)], capture_output=True, timeout=30)
            assert r.returncode == 0, r.stderr
            try:
                assert wait_for(lambda: process_state(reader) == "T", timeout=30)
                assert wait_for(lambda: blocked_reading_a_pipe(importer.pid), timeout=30)
                assert lockers(db) == []
            finally:
                subprocess.run([*as_user(user), "kill", "-CONT", str(reader)], timeout=30)
            done.set()
            out, err = importer.communicate(timeout=120)
        finally:
            done.set()
            if importer.poll() is None:
                importer.kill()
                importer.communicate()
            if feeder.is_alive():   # still opening the pipe: let it go
                os.close(os.open(fifo, os.O_RDONLY | os.O_NONBLOCK))
            feeder.join(60)
    assert importer.returncode == 0 and err == "", err
    assert sorted(export(db).splitlines()) == sorted(lines + ["admin:*:0:0::/:/bin/sh"])


def held_at_the_lock(db, argv, check):
    """Runs argv while the test holds a read lock on the whole database, so
    that the tool waits at the very call that takes its write lock, and
    calls check with the waiting process's pid there.  The tool's exit code
    and standard error."""
    import fcntl
    with open(db, "rb") as held:
        fcntl.lockf(held, fcntl.LOCK_SH)
        tool_run = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        try:
            assert wait_for(lambda: any(waiting for _, waiting in lockers(db)), timeout=30), tool_run.pid
            (waiting,) = [pid for pid, waiting in lockers(db) if waiting]
            check(waiting)
            fcntl.lockf(held, fcntl.LOCK_UN)
            _, err = tool_run.communicate(timeout=60)
        finally:
            if tool_run.poll() is None:
                tool_run.kill()
                tool_run.communicate()
    return tool_run.returncode, err


@pytest.mark.parametrize("op", ["add", "replace", "delete", "password", "quotas"])
def test_a_delegated_user_can_neither_stop_nor_slow_a_write_at_the_database_lock(zorvad_dir, db, users, op):
    """A delegated user runs a one-record write at the lowest priority, with
    idle scheduling and idle I/O, and, once it takes the database's lock,
    stops it or renices it, to keep the lock taken.  The test holds a read
    lock on the whole database, so that the write waits at the very call
    that takes its lock, where the caller would catch it."""
    user = users()
    program = EDQUOTA if op == "quotas" else PASSWD
    binary = setuid_copy(zorvad_dir, program)
    own = "%s:*:%d:%d::/:/bin/sh" % (user.name, user.uid, user.gid)
    assert tool("-f", db, "-a", own).returncode == 0
    assert tool("-f", db, "-a", "proto:*:%d:%d::/:/bin/sh:100:50:10:5" % (user.uid, user.gid)).returncode == 0
    args = {"add": ["-a", "new:*:%d:%d::/:/bin/sh" % (user.uid, user.gid)],
            "replace": ["-u", own + ":1:2:3:4"],
            "delete": ["-d", user.name],
            "password": ["-p", user.name, "-P", "$1$abcdefgh$0123456789abcdefghijkl"],
            "quotas": ["-p", "proto", user.name]}[op]

    def cannot_be_stopped_or_slowed(pid):
        assert what_the_caller_may_do(user, pid) == ["EPERM", "EPERM"]
        assert priority(pid) == (0, 0, "none")

    argv = [*delegated_prefix(zorvad_dir, "%s %s\n" % (db, user.name), user),
            "nice", "-n", "19", "chrt", "-i", "0", "ionice", "-c", "3", binary, "-f", db, *args]
    code, err = held_at_the_lock(db, argv, cannot_be_stopped_or_slowed)
    assert code == 0, err
    stored = {line.split(":")[0]: line for line in export(db).splitlines()}
    expected = {"add": "new:*:%d:%d::/:/bin/sh" % (user.uid, user.gid),
                "replace": own + ":1:2:3:4::0:0",
                "delete": None,
                "password": "%s:$1$abcdefgh$0123456789abcdefghijkl:%d:%d::/:/bin/sh" % (user.name, user.uid,
                                                                                          user.gid),
                "quotas": own + ":100:50:10:5::0:0"}[op]
    assert stored.get("new" if op == "add" else user.name) == expected


@pytest.mark.parametrize("op", ["replace", "import"])
def test_a_delegated_users_own_database_is_never_written_as_root(zorvad_dir, db, users, op):
    """A delegated user whose database is its own file (the access rules
    allow that) writes its pages itself: the tool must not parse or write
    them as root, where a crafted file would meet a way back to root.  (The
    caller could hold such a file's lock itself; no root is needed to
    guard it.)  The test's read lock makes the tool wait at its lock call."""
    user = users()
    binary = setuid_copy(zorvad_dir)
    own = "%s:*:%d:%d::/:/bin/sh" % (user.name, user.uid, user.gid)
    assert tool("-f", db, "-a", own).returncode == 0
    os.chown(db, user.uid, user.gid)
    listing = os.path.join(user.home, "import.txt")
    write_lines(listing, ["x%s:*:%d:%d::/:/bin/sh" % (user.name, user.uid, user.gid)])
    os.chown(listing, user.uid, user.gid)
    args = ["-u", own + ":1:2:3:4"] if op == "replace" else ["-w", "-r", listing]

    def callers_ids_alone(pid):
        with open("/proc/%d/status" % pid) as f:
            ids = dict(line.rstrip("\n").split(":\t", 1) for line in f)
        assert ids["Uid"].split() == [str(user.uid)] * 4, ids["Uid"]

    argv = [*delegated_prefix(zorvad_dir, "%s %s\n" % (db, user.name), user), binary, "-f", db, *args]
    code, err = held_at_the_lock(db, argv, callers_ids_alone)
    assert code == 0, err


def blocked_writing_a_pipe(pid):
    with open("/proc/%d/wchan" % pid) as f:
        return f.read().endswith("pipe_write")


def test_a_delegated_import_whose_messages_nobody_reads_leaves_the_database_free(zorvad_dir, db, users):
    """A delegated user imports lines that each replace a record it may not
    change, with a standard error that it never reads: once the pipe is
    full the import blocks writing the refusals, and must not hold the
    database's lock (and keep every login waiting) meanwhile."""
    user = users()
    binary = setuid_copy(zorvad_dir)
    names = ["root%04d" % i for i in range(2000)]
    listing = os.path.join(zorvad_dir, "root.txt")
    write_lines(listing, ["%s:*:0:0::/:/bin/sh" % name for name in names])
    assert tool("-w", "-f", db, "-i", listing).returncode == 0
    before = export(db)
    path = os.path.join(user.home, "import.txt")
    write_lines(path, ["%s:*:%d:%d::/:/bin/false" % (name, user.uid, user.gid) for name in names])
    os.chown(path, user.uid, user.gid)
    importer = subprocess.Popen([*delegated_prefix(zorvad_dir, "%s %s\n" % (db, user.name), user),
                                 binary, "-w", "-f", db, "-r", path],
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        assert wait_for(lambda: blocked_writing_a_pipe(importer.pid), timeout=30)
        assert lockers(db) == []
        out, err = importer.communicate(timeout=60)
    finally:
        if importer.poll() is None:
            importer.kill()
            importer.communicate()
    assert importer.returncode == 1
    assert err.count("but you don't have permission to replace it.\n") == len(names)
    assert err.endswith("0 records imported, %d lines failed.\n" % len(names))
    assert export(db) == before


@pytest.mark.parametrize("attack", ["unread output", "stop or renice"])
def test_a_delegated_export_leaves_the_database_free_for_writers(zorvad_dir, db, users, attack):
    """A delegated user exports its records and never reads the listing, or
    stops or renices the export while it holds the database's read lock:
    every write (root's own tool waits for the lock without limit) would
    wait for as long as the caller likes.  For the second, the test holds a
    write lock until the caller has tried, so that the export waits at the
    call that takes its lock."""
    import fcntl
    user = users()
    binary = setuid_copy(zorvad_dir)
    lines = ["own%05d:*:%d:%d::/:/bin/false" % (i, user.uid, user.gid) for i in range(3000)]
    listing = os.path.join(zorvad_dir, "own.txt")
    write_lines(listing, lines)
    assert tool("-f", db, "-i", listing).returncode == 0
    prefix = delegated_prefix(zorvad_dir, "%s %s\n" % (db, user.name), user)
    with open(db, "rb+") as held:
        if attack == "stop or renice":
            fcntl.lockf(held, fcntl.LOCK_EX)
        exporter = subprocess.Popen([*prefix, binary, "-f", db, "-x"], stdout=subprocess.PIPE,
                                    stderr=subprocess.PIPE, text=True)
        try:
            if attack == "unread output":
                assert wait_for(lambda: blocked_writing_a_pipe(exporter.pid), timeout=30)
                assert lockers(db) == []
            else:
                assert wait_for(lambda: (exporter.pid, True) in lockers(db), timeout=30)
                assert what_the_caller_may_do(user, exporter.pid) == ["EPERM", "EPERM"]
                fcntl.lockf(held, fcntl.LOCK_UN)
            added = tool("-f", db, "-a", "admin:*:0:0::/:/bin/sh")
            assert added.returncode == 0, added.stderr
            out, err = exporter.communicate(timeout=60)
        finally:
            if exporter.poll() is None:
                exporter.kill()
                exporter.communicate()
    assert exporter.returncode == 0, err
    assert sorted(out.splitlines()) == lines
