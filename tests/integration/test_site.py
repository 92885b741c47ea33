"""SITE and its sub-commands through the real daemon: the list of allowed
sub-commands with its three codes, the usage texts, UMASK, the data buffer
sizes (and that the data socket really gets them), DATE, DF against the file
system's own figures, QUOTA, CHMOD, SYMLINK (also by lftp's mirror) and
UTIME."""
import calendar
import ftplib
import os
import re
import subprocess
import threading
import time

import pytest

from accounts import users, write_passwd_db  # noqa: F401 (fixture)
from conftest import wait_for
from xferhelp import domain, lftp, open_pasv, read_all, retr, stor, user_login, wait_records, write_file

DENIED = "553 Permission denied."
EVERYTHING = "allowed-site-commands = all\n"


def site_list(code, words):
    return "%d-The following SITE commands are recognized:\n%s%d " % (
        code, "".join(" %s\n" % w for w in words), code)


DEFAULT_WORDS = ["BUFSIZE", "CHMOD", "QUOTA", "RBUFSIZ", "RBUFSZ", "RETRBUFSIZE", "SBUFSIZ", "SBUFSZ",
                 "STORBUFSIZE", "UMASK", "UTIME"]


def say(f, line):
    """The reply to one command as ftplib reads it (lines joined by LF)."""
    try:
        return f.sendcmd(line)
    except ftplib.Error as e:
        return str(e)


def own(u, top):
    for d, dirs, files in os.walk(top):
        for p in [d] + [os.path.join(d, n) for n in dirs + files]:
            os.lchown(p, u.uid, u.gid)


def user_session(server, u, general="", extra_domain=""):
    s = server(general=general, domain=domain(extra_domain))
    f = s.ftp()
    f.login(u.name, u.password)
    return s, f


# ---- Reply texts ----------------------------------------------------------------------------------

TEXT_CASES = {
    "list-codes": ("", [
        ("SITE", site_list(501, DEFAULT_WORDS)),
        ("SITE HELP", site_list(211, DEFAULT_WORDS)),
        ("HELP SITE", site_list(214, DEFAULT_WORDS)),
        ("SITE NOSUCH 1", site_list(501, DEFAULT_WORDS)),
        ("SITE DATE", site_list(501, DEFAULT_WORDS)),            # off by default
        ("SITE HELP chmod", "211 Usage:  SITE CHMOD <mode> <file>"),
        ("SITE HELP UTIME", "211-Usage:  SITE UTIME <file> <access-time> <modification-time>\n"
                            "211 Each timestamp must be in the format YYYYMMDDhhmmss."),
        ("SITE HELP SYMLINK", site_list(211, DEFAULT_WORDS)),     # not allowed: no usage
        ("SITE QUOTA", "200 This account has no quota."),
    ]),
    "umask-disallowed": ("allowed-site-commands = chmod, utime\n", [
        ("SITE UMASK 022", site_list(501, ["CHMOD", "UTIME"])),
        ("SITE RBUF 4096", site_list(501, ["CHMOD", "UTIME"])),
    ]),
    "buffer-words": ("", [
        ("SITE BUFSIZE 512", "550 BUFSIZE must be at least 1024 bytes."),
        ("SITE rbuf 300000", "550 The configured limit for rbuf is 262144 bytes."),
        ("SITE SBUFSZ", "200 No SBUFSZ has been set; OS default will be used."),
        ("SITE BUFSIZE 4096", "200 New BUFSIZE is 4096 bytes."),
        ("SITE STORBUFSIZE 8192", "200 New STORBUFSIZE is 8192 bytes."),
        ("SITE RBUFSZ", "200 Current RBUFSZ is 4096 bytes."),
        ("SITE SBUF", "200 Current SBUF is 8192 bytes."),
    ]),
    "all-allowed": (EVERYTHING, [
        ("SITE HELP", site_list(211, ["BUFSIZE", "CHMOD", "DATE", "DF", "QUOTA", "RBUFSIZ", "RBUFSZ",
                                      "RETRBUFSIZE", "SBUFSIZ", "SBUFSZ", "STORBUFSIZE", "SYMLINK",
                                      "UMASK", "UTIME"])),
        ("SITE HELP date", "211 Usage:  SITE DATE [UTC | LOCAL]"),
        ("SITE DATE tomorrow", "503 Usage:  SITE DATE [UTC | LOCAL]"),
    ]),
}


@pytest.mark.parametrize("case", sorted(TEXT_CASES))
def test_reply_texts(server, users, case):
    general, dialogue = TEXT_CASES[case]
    u = users()
    _, f = user_session(server, u, general)
    for line, expected in dialogue:
        assert say(f, line) == expected, line


def test_the_umask_set_by_site_umask_applies_to_uploads(server, users):
    u = users()
    s = server(domain=domain())
    c = s.greeted()
    user_login(c, u)
    assert c.command("SITE UMASK") == "200 The umask is 022.\r\n"
    assert c.command("SITE UMASK 027") == "200 The umask is now 027.\r\n"
    assert c.command("SITE UMASK") == "200 The umask is 027.\r\n"
    assert stor(c, "STOR up.txt", b"data\n")[1] == "226 Transfer completed.\r\n"
    assert os.stat(os.path.join(u.home, "up.txt")).st_mode & 0o777 == 0o640
    started = time.monotonic()
    assert c.command("SITE UMASK 1000") == "501 Syntax error in parameters.\r\n"
    assert time.monotonic() - started >= 2.0
    assert c.command("SITE UMASK") == "200 The umask is 027.\r\n"


# ---- Data buffer sizes ----------------------------------------------------------------------------

def socket_buffers(port):
    """(receive, send) buffer of the established socket whose local port is
    port, as the kernel holds them; None while there is none."""
    out = subprocess.run(["ss", "-tmnH", "state", "established", "( sport = :%d )" % port],
                         capture_output=True, text=True, check=True).stdout
    m = re.search(r"skmem:\(r\d+,rb(\d+),t\d+,tb(\d+),", out)
    return (int(m.group(1)), int(m.group(2))) if m else None


# The kernel keeps twice the size asked for.
@pytest.mark.parametrize("word, receive, send", [
    ("RBUF", True, False), ("RBUFSIZE", True, False), ("RETRBUFSIZE", True, False),
    ("SBUF", False, True), ("STORBUFSIZE", False, True), ("BUFSIZE", True, True),
])
def test_buffer_words_reach_the_data_socket(server, users, word, receive, send):
    u = users()
    write_file(os.path.join(u.home, "f.bin"), b"x" * 1000)
    s = server(domain=domain())
    c = s.greeted()
    user_login(c, u)
    assert c.command("SITE %s 100000" % word) == "200 New %s is 100000 bytes.\r\n" % word
    d = open_pasv(c)
    with d:
        bufs = wait_for(lambda: socket_buffers(d.getpeername()[1]))
        assert bufs, "the data connection is not in ss"
        assert (bufs[0] == 200000, bufs[1] == 200000) == (receive, send), bufs
        assert c.command("RETR f.bin").startswith("150 ")
        assert read_all(d) == b"x" * 1000
    assert c.reply() == "226 Transfer completed.\r\n"


# ---- DATE and DF ----------------------------------------------------------------------------------

def test_site_date_answers_utc_first_then_local_time(server, users, monkeypatch):
    monkeypatch.setenv("TZ", "IST-5:30")   # a POSIX rule: no time zone files needed
    u = users()
    s = server(general=EVERYTHING, domain=domain())
    c = s.greeted()
    user_login(c, u)

    def moments(fmt, convert, start, end):
        return {fmt % time.strftime("%a, %d %b %Y %H:%M:%S", convert(t)) for t in range(start, end + 1)}

    for arg, lines in (("", ("200-%s +0000 GMT\r\n", "200 %s +0530 IST\r\n")),
                       (" UTC", ("200 %s +0000 GMT\r\n",)), (" local", ("200 %s +0530 IST\r\n",))):
        start = int(time.time())
        reply = c.command("SITE DATE" + arg)
        end = int(time.time())
        got = reply.splitlines(True)
        assert len(got) == len(lines), reply
        for line, fmt in zip(got, lines):
            shifted = (lambda t: time.gmtime(t + 19800)) if "IST" in fmt else time.gmtime
            assert line in moments(fmt, shifted, start, end), reply
        assert end - start >= 1          # the answer comes after a pause


def df_lines(path, st, root):
    total = st.f_blocks * st.f_frsize
    used = (st.f_blocks - st.f_bfree) * st.f_frsize
    free = (st.f_bfree if root else st.f_bavail) * st.f_frsize
    iused = st.f_files - st.f_ffree
    g = 1024.0 ** 3
    return ("200-Information for partition containing %s:\r\n" % path +
            "200-%16d  bytes total (%.2f GBytes)\r\n" % (total, total / g) +
            "200-%16d  bytes used  (%.2f GBytes)\r\n" % (used, used / g) +
            "200-%16d  bytes free  (%.2f GBytes)\r\n" % (free, free / g) +
            "200-%16.2f%% bytes in use\r\n" % (used * 100.0 / total) +
            "200-%16d  inodes total\r\n" % st.f_files +
            "200-%16d  inodes used\r\n" % iused +
            "200-%16d  inodes free\r\n" % st.f_ffree +
            "200-%16.2f%% inodes in use\r\n" % (iused * 100.0 / st.f_files) +
            "200 Done.\r\n")


def test_site_df_reports_the_file_system_that_holds_the_path(server, users):
    u = users()
    disk = os.path.join(u.home, "disk")
    os.mkdir(disk)
    # A file system of its own, seen only by the daemon: nothing else
    # writes to it while the figures are compared.
    wrapper = ("unshare", "-m", "--propagation", "private", "sh", "-c",
               'mount -t tmpfs -o size=4m,nr_inodes=100,mode=1777 zorvadtest "$0" && exec "$@"', disk)
    s = server(general=EVERYTHING, domain=domain(), wrapper=wrapper)
    c = s.greeted()
    user_login(c, u)
    assert stor(c, "STOR disk/big.bin", b"b" * 1000000)[1] == "226 Transfer completed.\r\n"

    out = subprocess.run(["nsenter", "-t", str(s.pid), "-m", "/usr/bin/python3", "-c",
                          "import os, sys; print(*os.statvfs(sys.argv[1]))", disk],
                         capture_output=True, text=True, check=True).stdout
    st = os.statvfs_result([int(x) for x in out.split()])
    assert st.f_blocks * st.f_frsize == 4 << 20 and st.f_bfree < st.f_blocks and st.f_files == 100
    assert c.command("SITE DF disk/big.bin") == df_lines("disk/big.bin", st, root=False)
    assert c.command("CWD disk").startswith("250 ")
    assert c.command("SITE DF") == df_lines(".", st, root=False)
    assert c.command("SITE DF ../../..") == DENIED + "\r\n"
    assert c.command("SITE DF missing") == "550 No such file or directory.\r\n"


# ---- CHMOD, SYMLINK, UTIME --------------------------------------------------------------------------

def mode(path):
    return os.lstat(path).st_mode & 0o7777


def test_site_chmod_changes_the_named_file_and_nothing_outside_the_area(server, users, zorvad_dir):
    u = users()
    h = u.home
    for name in ("a", "a b.txt"):
        write_file(os.path.join(h, name), b"x")
    os.mkdir(os.path.join(h, "sub"))
    outside = write_file(os.path.join(zorvad_dir, "outside.txt"), b"o")
    os.symlink(outside, os.path.join(h, "out"))
    own(u, h)
    os.chown(outside, u.uid, u.gid)          # only the check keeps the user from it
    s, f = user_session(server, u)

    assert say(f, "SITE CHMOD 600 a b.txt") == "250 Changed."
    assert (mode(os.path.join(h, "a b.txt")), mode(os.path.join(h, "a"))) == (0o600, 0o644)
    assert say(f, "SITE chmod 0750 sub") == "250 Changed."
    assert mode(os.path.join(h, "sub")) == 0o750
    for line in ("SITE CHMOD 600 out", "SITE CHMOD 600 ../..%s" % outside):
        assert say(f, line) == DENIED, line
    assert mode(outside) == 0o644
    assert say(f, "SITE CHMOD 600 missing") == "550 No such file or directory."
    started = time.monotonic()
    assert say(f, "SITE CHMOD 1777 a") == "501 Syntax error in parameters."
    assert say(f, "SITE CHMOD 600") == site_list(501, DEFAULT_WORDS)
    assert time.monotonic() - started >= 4.0
    assert mode(os.path.join(h, "a")) == 0o644
    assert [r[:4] for r in wait_records(s, 2) if r[0] == "C"] == [
        ["C", os.path.join(h, "a b.txt"), "OK", "600"], ["C", os.path.join(h, "sub"), "OK", "750"]]


def test_site_symlink_makes_links_that_cannot_lead_out(server, users):
    u = users()
    h = u.home
    write_file(os.path.join(h, "a.txt"), b"alpha\n")
    write_file(os.path.join(h, "b.txt"), b"beta\n")
    os.mkdir(os.path.join(h, "sub"))
    own(u, h)
    s = server(general=EVERYTHING + "cd-message = .message\n", domain=domain())
    c = s.greeted()
    user_login(c, u)
    assert c.command("TYPE I").startswith("200 ")

    # The source is read from the link's own directory, as the link will be.
    assert c.command("SITE SYMLINK ../a.txt sub/la") == "250 Symlinked.\r\n"
    assert os.readlink(os.path.join(h, "sub", "la")) == "../a.txt"
    assert retr(c, "sub/la")[1] == b"alpha\n"
    # A link standing there is replaced, not followed; a file is not.
    assert c.command("SITE SYMLINK ../b.txt sub/la") == "250 Symlinked.\r\n"
    assert retr(c, "sub/la")[1] == b"beta\n"
    assert c.command("SITE SYMLINK a.txt b.txt") == "553 Will not replace a file with a link.\r\n"
    assert c.command("SITE SYMLINK a.txt nodir/l") == "550 No such file.\r\n"
    # Named as the directory message, or pointing out of the area: refused.
    assert c.command("SITE SYMLINK a.txt sub/.message") == DENIED + "\r\n"
    assert c.command("SITE SYMLINK ../../../../../../etc/passwd up") == DENIED + "\r\n"
    assert not any(os.path.lexists(os.path.join(h, n)) for n in ("sub/.message", "up", "nodir"))
    assert [r[:5] for r in wait_records(s, 2) if r[0] == "L"] == [
        ["L", os.path.join(h, "sub", "la"), "OK", "to", "../a.txt"],
        ["L", os.path.join(h, "sub", "la"), "OK", "to", "../b.txt"]]


def test_a_remote_client_cannot_leave_a_link_to_host_files_for_other_services(server, users):
    """A remote client confined to its home links "/etc/passwd": the session
    reads that as a place in its own tree, and so must whatever else follows
    the link on disk later (a web server, a backup): the link holds the
    checked place, relative to its own directory, never the host's file."""
    u = users()
    h = u.home
    os.makedirs(os.path.join(h, "etc"))
    write_file(os.path.join(h, "etc", "passwd"), b"mine\n")
    os.mkdir(os.path.join(h, "sub"))
    own(u, h)
    s = server(general=EVERYTHING, domain=domain())
    c = s.greeted()
    user_login(c, u)
    assert c.command("TYPE I").startswith("200 ")
    assert c.command("SITE SYMLINK /etc/passwd esc") == "250 Symlinked.\r\n"
    assert c.command("SITE SYMLINK /etc/passwd sub/esc") == "250 Symlinked.\r\n"
    assert c.command("SITE SYMLINK / sub/top") == "250 Symlinked.\r\n"
    assert os.readlink(os.path.join(h, "esc")) == "etc/passwd"
    assert os.readlink(os.path.join(h, "sub", "esc")) == "../etc/passwd"
    assert os.readlink(os.path.join(h, "sub", "top")) == ".."
    for link in ("esc", "sub/esc"):
        with open(os.path.join(h, link), "rb") as f:
            assert f.read() == b"mine\n"
        assert retr(c, link)[1] == b"mine\n"


def test_a_remote_client_cannot_rename_its_links_into_reaching_above_its_home(server, users):
    """A remote client confined to its home links the home's top from deep
    down (stored as "../.."), then moves the directory holding the links
    higher up: read on disk from there, the same text would
    reach above the home.  Such moves are refused; moves that keep every
    link's reach inside the home go on."""
    u = users()
    h = u.home
    os.makedirs(os.path.join(h, "d1", "d2"))
    os.makedirs(os.path.join(h, "e1", "e2"))
    write_file(os.path.join(h, "x"), b"x\n")
    own(u, h)
    s = server(general=EVERYTHING, domain=domain())
    c = s.greeted()
    user_login(c, u)
    assert c.command("SITE SYMLINK / d1/d2/top") == "250 Symlinked.\r\n"
    assert c.command("SITE SYMLINK / e1/e2/top") == "250 Symlinked.\r\n"
    assert os.readlink(os.path.join(h, "d1", "d2", "top")) == "../.."

    def rename(a, b):
        assert c.command("RNFR " + a).startswith("350 ")
        return c.command("RNTO " + b)
    assert rename("d1/d2", "d2") == DENIED + "\r\n"
    assert rename("d1", "e1/e2/d1") == "250 Renamed.\r\n"        # deeper: still inside
    assert rename("e1/e2/d1/d2", "e1/d2") == "250 Renamed.\r\n"   # up, but "../.." stays inside
    assert rename("e1/d2", "d2") == DENIED + "\r\n"
    for top in ("e1/e2/top", "e1/d2/top"):
        assert os.path.realpath(os.path.join(h, top)).startswith(os.path.realpath(h))


def test_a_second_session_racing_a_move_up_cannot_slip_a_reaching_link_past_its_check(server, users):
    """A remote client confined to its home holds a directory whose link
    ("../../..") is right three levels down.  A second session of the same
    user moves that directory back and forth between two places three
    levels down (no move up, nothing to check), while the first moves their
    common parent one level up again and again.  No moment between the
    check of the move up and the move itself may let the link come along:
    read on disk from two levels down, its text would reach above the
    home."""
    u = users()
    h = u.home
    os.makedirs(os.path.join(h, "m", "d"))
    os.makedirs(os.path.join(h, "p", "q", "s"))
    own(u, h)
    s = server(general=EVERYTHING, domain=domain())
    mover = s.greeted()
    user_login(mover, u)
    racer = s.greeted()
    user_login(racer, u)
    assert racer.command("SITE SYMLINK / p/q/s/top") == "250 Symlinked.\r\n"
    assert os.readlink(os.path.join(h, "p", "q", "s", "top")) == "../../.."
    stop = threading.Event()

    def race():
        where, other = "p/q/s", "m/d/s"
        while not stop.is_set():
            if racer.command("RNFR " + where).startswith("350") and racer.command("RNTO " + other) == "250 Renamed.\r\n":
                where, other = other, where
            elif os.path.isdir(os.path.join(h, "p", "q", "s")):
                where, other = "p/q/s", "m/d/s"

    t = threading.Thread(target=race)
    t.start()
    outside = []
    try:
        for _ in range(200):
            assert mover.command("RNFR m/d").startswith("350 ")
            if mover.command("RNTO d") != "250 Renamed.\r\n":
                continue
            top = os.path.join(h, "d", "s", "top")
            if os.path.islink(top) and not os.path.realpath(top).startswith(os.path.realpath(h) + "/"):
                outside.append(os.path.realpath(top))
                break
            assert mover.command("RNFR d").startswith("350 ")
            assert mover.command("RNTO m/d") == "250 Renamed.\r\n"
    finally:
        stop.set()
        t.join()
    assert outside == []


def test_site_utime_sets_both_times(server, users):
    u = users()
    write_file(os.path.join(u.home, "f"), b"f")
    own(u, u.home)
    _, f = user_session(server, u)
    path = os.path.join(u.home, "f")
    assert say(f, "SITE UTIME f 20200102030405 20210102030405") == "250 Timestamps changed."
    st = os.stat(path)
    assert (st.st_atime, st.st_mtime) == (calendar.timegm((2020, 1, 2, 3, 4, 5)),
                                          calendar.timegm((2021, 1, 2, 3, 4, 5)))
    assert say(f, "SITE UTIME f 20190304") == "250 Timestamps changed."
    st = os.stat(path)
    assert st.st_atime == st.st_mtime == calendar.timegm((2019, 3, 4, 0, 0, 0))


# ---- QUOTA ------------------------------------------------------------------------------------------

def test_site_quota_reports_the_figures_and_links_count_as_files(server, zorvad_dir):
    home = os.path.join(zorvad_dir, "vhome")
    os.makedirs(home)
    os.chown(home, 65534, 65534)
    db = os.path.join(zorvad_dir, "db", "passwd.db")
    # Hard limits of 4 kB and 3 files; the home counts 2 to begin with.
    write_passwd_db(db, "quinn:{plain}s3cret:65534:65534::%s:/bin/sh:4:0:3:0" % home)
    s = server(general=EVERYTHING, domain=domain("passwd = %s\n" % db))
    c = s.greeted()
    c.command("USER quinn")
    assert c.command("PASS s3cret").startswith("230 ")
    report = re.compile(r"200-Quota report:\r\n200-  Bytes: 0  Limit: 4096\r\n200-  Files: (\d)  Limit: 3\r\n"
                        r"200 Done \(\d+\.\d\d seconds used initially to compute quota\)\.\r\n$")
    assert report.match(c.command("SITE QUOTA")).group(1) == "2"
    assert c.command("SITE SYMLINK target l1") == "250 Symlinked.\r\n"
    assert report.match(c.command("SITE QUOTA")).group(1) == "3"
    assert c.command("SITE SYMLINK target l2") == "450 Disk quota exceeded (3 files;  limit: 3).\r\n"
    assert sorted(os.listdir(home)) == ["l1"]


# ---- lftp --------------------------------------------------------------------------------------------

def test_lftp_mirrors_a_tree_with_its_links_up(server, users, zorvad_dir):
    u = users()
    src = os.path.join(zorvad_dir, "src")
    write_file(os.path.join(src, "a.txt"), b"a\n" * 100)
    write_file(os.path.join(src, "sub", "b.txt"), b"b\n")
    os.symlink("a.txt", os.path.join(src, "la"))
    os.symlink("../a.txt", os.path.join(src, "sub", "lup"))
    os.symlink("sub", os.path.join(src, "lsub"))
    s = server(general=EVERYTHING, domain=domain())
    r = lftp(s.port, "mirror -R %s /dest" % src, user=u, cwd=zorvad_dir)
    assert r.returncode == 0, r.stderr
    dest = os.path.join(u.home, "dest")
    for link, target in (("la", "a.txt"), ("sub/lup", "../a.txt"), ("lsub", "sub")):
        assert os.readlink(os.path.join(dest, link)) == target, link
    with open(os.path.join(dest, "sub", "lup"), "rb") as f:
        assert f.read() == b"a\n" * 100


def test_another_local_account_holding_a_lock_on_a_confined_users_home_cannot_stop_its_renames(server, users):
    """Another local account (nobody) opens the home of a remote client
    confined to it, readable by all as homes long were, and holds an
    exclusive lock on it.  The client's renames and links through the
    server must go on: the lock the server keeps for an area is its own,
    not one any reader of the directory can take."""
    u = users()
    h = u.home
    write_file(os.path.join(h, "mine"), b"x")
    own(u, h)
    holder = subprocess.Popen(
        ["python3", "-c", "import fcntl, os, sys\n"
         "fd = os.open(sys.argv[1], os.O_RDONLY | os.O_DIRECTORY)\n"
         "fcntl.flock(fd, fcntl.LOCK_EX)\nprint('held', flush=True)\nsys.stdin.read()\n", h],
        stdin=subprocess.PIPE, stdout=subprocess.PIPE, user=65534, group=65534)
    try:
        assert holder.stdout.readline() == b"held\n"
        s = server(general=EVERYTHING, domain=domain())
        c = s.greeted()
        user_login(c, u)
        assert c.command("RNFR mine").startswith("350 ")
        assert c.command("RNTO yours") == "250 Renamed.\r\n"
        assert c.command("SITE SYMLINK yours link") == "250 Symlinked.\r\n"
    finally:
        holder.stdin.close()
        holder.wait(10)
