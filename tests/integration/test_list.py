"""LIST and NLST over ftplib against a tree with fixed times: the long,
one-per-line, column and recursive formats, sort and classify options,
patterns, refusals, date formats, owner names and the DIRLIST records of
the transfer log."""
import ftplib
import io
import os
import re
import time

import pytest

from accounts import users  # noqa: F401 (fixture)
from conftest import wait_for
from xferhelp import lftp

T = 1600000000                      # 2020-09-13 12:26:40 UTC
GMT = "ls-time-format = GMT\n"
DOMAIN = "set-name = test\nserver-name = testhost\nftp-home = {dir}/ftp\n"


def make_tree(root):
    def file(rel, size, mtime, mode=0o644):
        path = os.path.join(root, rel)
        with open(path, "wb") as f:
            f.write(b"x" * size)
        os.chmod(path, mode)
        os.utime(path, (mtime, mtime))

    os.makedirs(os.path.join(root, "pub", "sub"))
    file("readme", 20, T)
    file(".hidden", 1, T)
    file("pub/a.txt", 1000, T + 30)
    file("pub/b.log", 5, T + 10)
    file("pub/run.sh", 10, T + 20, 0o755)
    file("pub/sub/deep.txt", 3, T)
    os.symlink("a.txt", os.path.join(root, "pub", "link"))
    os.utime(os.path.join(root, "pub", "link"), (T, T), follow_symlinks=False)
    for rel, mtime in (("pub/sub", T + 40), ("pub", T), ("", T)):
        os.chmod(os.path.join(root, rel), 0o755)
        os.utime(os.path.join(root, rel), (mtime, mtime))


@pytest.fixture
def tree_server(server):
    """Starts a server (extra general.cf text, domain.cf) on the tree and
    returns a logged-in ftplib client and the server."""
    def start(general="", domain=None):
        s = server(general=GMT + general, domain=domain)
        make_tree(os.path.join(s.dir, "ftp"))
        f = s.ftp()
        f.login()
        return f, s
    return start


def raw(f, command):
    chunks = []
    f.retrbinary(command, chunks.append)
    return b"".join(chunks).decode("latin-1")


def lines(f, command):
    text = raw(f, command)
    assert text == "" or text.endswith("\r\n")
    return text.split("\r\n")[:-1]


def test_long_format_shows_each_entry_like_ls(tree_server):
    f, _ = tree_server()
    out = lines(f, "LIST pub")
    assert out[:4] == [
        "-rw-r--r--   1 ftpuser  ftpusers  1000 Sep 13  2020 a.txt",
        "-rw-r--r--   1 ftpuser  ftpusers    5 Sep 13  2020 b.log",
        "lrwxrwxrwx   1 ftpuser  ftpusers    5 Sep 13  2020 link -> a.txt",
        "-rwxr-xr-x   1 ftpuser  ftpusers   10 Sep 13  2020 run.sh",
    ]
    assert re.match(r"^drwxr-xr-x +\d+ ftpuser  ftpusers +\d+ Sep 13  2020 sub$", out[4])
    assert len(out) == 5
    assert lines(f, "LIST -la pub") == out
    assert lines(f, "NLST -l pub") == out


def test_nlst_gives_names_and_anonymous_users_never_see_dot_files(tree_server):
    f, _ = tree_server()
    assert lines(f, "NLST") == ["pub", "readme"]
    assert lines(f, "NLST pub") == ["a.txt", "b.log", "link", "run.sh", "sub"]


SORTED = [
    ("NLST -t pub", ["sub", "a.txt", "run.sh", "b.log", "link"]),
    ("NLST -tr pub", ["link", "b.log", "run.sh", "a.txt", "sub"]),
    ("NLST -r pub", ["sub", "run.sh", "link", "b.log", "a.txt"]),
    ("NLST -S pub/*.*", ["pub/a.txt", "pub/run.sh", "pub/b.log"]),
    ("NLST -Sr pub/*.*", ["pub/b.log", "pub/run.sh", "pub/a.txt"]),
]

PATTERNS = [
    ("NLST *", ["pub", "readme"]),
    ("NLST pub/*.txt", ["pub/a.txt"]),
    ("NLST /pub/[ab]*", ["/pub/a.txt", "/pub/b.log"]),
    ("NLST pub/?.log", ["pub/b.log"]),
    ("NLST pub/*.none", []),
]

CLASSIFIED = [
    ("NLST -F pub", ["a.txt", "b.log", "link@", "run.sh*", "sub/"]),
    ("NLST -p pub", ["a.txt", "b.log", "link@", "run.sh", "sub/"]),
    ("NLST -FL pub", ["a.txt", "b.log", "link", "run.sh*", "sub/"]),
]


@pytest.mark.parametrize("cases", [SORTED, PATTERNS, CLASSIFIED], ids=["sort", "patterns", "classify"])
def test_options_and_patterns(tree_server, cases):
    f, _ = tree_server()
    for command, names in cases:
        assert lines(f, command) == names, command


def test_a_pattern_in_the_current_directory_lists_bare_names(tree_server):
    f, _ = tree_server()
    f.cwd("pub")
    assert lines(f, "NLST *.txt") == ["a.txt"]


def test_a_listing_of_a_plain_file_shows_only_that_file(tree_server):
    f, _ = tree_server()
    assert lines(f, "LIST pub/b.log") == ["-rw-r--r--   1 ftpuser  ftpusers  5 Sep 13  2020 b.log"]


def test_columns(tree_server):
    f, _ = tree_server()
    assert lines(f, "LIST -C pub") == ["a.txt   b.log   link    run.sh  sub"]
    assert lines(f, "NLST -CF pub") == ["a.txt    b.log    link@    run.sh*  sub/"]


def test_resolved_links_show_what_they_point_to(tree_server):
    f, _ = tree_server()
    out = lines(f, "LIST -lL pub")
    assert out[2] == "-rw-r--r--   1 ftpuser  ftpusers  1000 Sep 13  2020 link"
    f2, _ = tree_server(general="ls-always-resolve-links = yes\n")
    assert lines(f2, "LIST pub")[2] == out[2]
    assert lines(f2, "LIST -7 pub")[2].endswith("link -> a.txt")


def test_a_recursive_listing(tree_server):
    f, _ = tree_server()
    assert raw(f, "NLST -R pub") == ("a.txt\r\nb.log\r\nlink\r\nrun.sh\r\nsub\r\n"
                                     "\r\n./pub/sub:\r\ndeep.txt\r\n")
    out = lines(f, "LIST -R pub")
    assert out[-3:] == ["", "./pub/sub:", "-rw-r--r--   1 ftpuser  ftpusers  3 Sep 13  2020 deep.txt"]


def test_refusals_keep_the_session(tree_server):
    f, _ = tree_server()
    for command, reply in [
        ("LIST -x", "504 Only ls flags accepted are -C, -F, -l, -t, -r, -1, -S, -L, -R, and -p."),
        ("LIST -d pub", "504 \"-d\" ls flag is not implemented (Zorva 2.x users should upgrade to 3.x)."),
        ("LIST nothere", "550 No such file or directory."),
        ("LIST /../../etc", "553 Permission denied."),
    ]:
        with pytest.raises(ftplib.error_perm) as e:
            raw(f, command)
        assert str(e.value) == reply
    assert lines(f, "NLST") == ["pub", "readme"]


def test_dates_within_half_a_year_show_the_time(tree_server):
    f, s = tree_server()
    recent = int(time.time()) - 2 * 86400
    path = os.path.join(s.dir, "ftp", "pub", "b.log")
    os.utime(path, (recent, recent))
    os.utime(os.path.join(s.dir, "ftp", "pub"), None)
    expected = time.strftime("%b %e %H:%M", time.gmtime(recent))
    assert lines(f, "LIST pub")[1].endswith("    5 %s b.log" % expected)


def test_a_configured_date_format(tree_server):
    f, _ = tree_server(general="ls-date-and-time-format = iso\n")
    assert lines(f, "LIST pub")[0] == "-rw-r--r--   1 ftpuser  ftpusers  1000 2020-09-13 12:27:10 a.txt"


def test_owner_names_for_anonymous_users_when_configured(tree_server):
    f, _ = tree_server(general="a-ls-names = yes\n")
    assert lines(f, "LIST pub")[0] == "-rw-r--r--   1 root     root      1000 Sep 13  2020 a.txt"


def test_the_listing_shows_a_new_file_at_once(tree_server):
    f, s = tree_server()
    assert lines(f, "NLST pub") == ["a.txt", "b.log", "link", "run.sh", "sub"]
    with open(os.path.join(s.dir, "ftp", "pub", "c.new"), "w"):
        pass
    assert lines(f, "NLST pub") == ["a.txt", "b.log", "c.new", "link", "run.sh", "sub"]


def test_a_listing_shows_what_another_session_changed_and_what_changed_outside(server, users):
    """Session A lists a directory; session B (another child) uploads over
    a file in it and changes its mode, which leaves the directory's own time
    as it was: A's next listing shows both at once.  A file that changed
    just before A read the directory is looked at again within seconds when
    it changes outside the server."""
    u = users()
    s = server(general=GMT)
    d = os.path.join(u.home, "d")
    os.makedirs(d)
    with open(os.path.join(d, "f"), "wb") as f:
        f.write(b"x" * 5)
    with open(os.path.join(d, "g"), "wb") as f:
        f.write(b"y" * 7)
    os.utime(os.path.join(d, "f"), (T, T))
    for p in (d, os.path.join(d, "f"), os.path.join(d, "g")):
        os.chown(p, u.uid, u.gid)
    os.utime(d, (T, T))
    a, b = s.ftp(), s.ftp()
    for c in (a, b):
        c.login(u.name, u.password)

    def entry(name):
        row = [line for line in lines(a, "LIST d") if line.endswith(" " + name)]
        assert len(row) == 1, row
        return row[0].split()[0], int(row[0].split()[4])

    assert entry("f") == ("-rw-r--r--", 5)
    b.storbinary("STOR d/f", io.BytesIO(b"z" * 12345))
    assert b.sendcmd("SITE CHMOD 600 d/f").startswith("250 ")
    os.utime(d, (T, T))                          # the directory's time tells nothing
    assert entry("f") == ("-rw-------", 12345)

    assert entry("g")[1] == 7
    with open(os.path.join(d, "g"), "ab") as f:  # outside the server
        f.write(b"y" * 3)
    os.utime(d, (T, T))
    time.sleep(3)
    assert entry("g")[1] == 10


def test_a_large_directory_lists_every_entry_once_with_its_own_size(tree_server):
    """The status of a directory of over a thousand entries is taken by
    several threads of the session's sandboxed process, and a special file
    among them is left out: every entry shows once, in order, with its own
    size, through LIST and MLSD, read afresh and then from the cache."""
    f, s = tree_server()
    big = os.path.join(s.dir, "ftp", "big")
    os.mkdir(big)
    expected = []
    for i in range(1200):
        name = "f%04d" % i
        with open(os.path.join(big, name), "wb") as out:
            out.write(b"x" * i)
        expected.append((name, i))
    os.mkfifo(os.path.join(big, "pipe"))
    os.chmod(big, 0o755)
    for _ in range(2):
        rows = [line.split() for line in lines(f, "LIST big")]
        assert [(row[8], int(row[4])) for row in rows] == expected
        facts = [line for line in lines(f, "MLSD big") if not re.match(r"Type=[cp]dir;", line)]
        assert [(line.split(" ", 1)[1], int(re.search(r"Size=(\d+);", line).group(1))) for line in facts] == expected


def test_each_listing_is_a_dirlist_record_of_the_transfer_log(tree_server):
    f, s = tree_server(domain=DOMAIN + "log-xfer = {dir}/xfer.log\n")
    raw(f, "LIST pub")
    raw(f, "NLST pub/*.txt")
    raw(f, "NLST -R pub")
    with pytest.raises(ftplib.error_perm):
        raw(f, "LIST nothere")
    root = os.path.realpath(os.path.join(s.dir, "ftp"))
    expected = [
        "T,%s/pub,OK,,-l,anonymous," % root,
        "T,%s/pub,OK,*.txt,-1,anonymous," % root,
        "T,%s/pub,RECURSIVE,,-1R,anonymous," % root,
        "T,%s/nothere,NOENT,,-l,anonymous," % root,
    ]

    def records():
        text = s.log_file("xfer.log")
        return [line for line in text.splitlines() if re.search(r"\| T,", line)]
    assert wait_for(lambda: len(records()) >= 4), s.log_file("xfer.log")
    for line, start in zip(records(), expected):
        assert line.split("| ", 1)[1].startswith(start), line


# ---- Names with line ends --------------------------------------------------------------------

FORGED = [b"evil\r\n-rw-r--r--   1 root     root            7 Sep 13  2020 forged-list",
          b"m\r\ntype=file;size=7;modify=20200913122640; forged-mlsd",
          b"bare\nforged-nlst", b"cr\rforged-cr"]


def test_names_with_line_ends_forge_no_entries_for_those_who_list(tree_server):
    """A local user who can write the shared tree names files with CR and LF
    and entry-like text after them; a remote client listing the directory
    (ftplib and lftp; LIST, NLST and MLSD) sees none of the forged entries:
    such names are left out of every listing."""
    f, s = tree_server()
    pub = os.path.join(s.dir, "ftp", "pub")
    for name in FORGED:
        with open(os.path.join(os.fsencode(pub), name), "wb") as out:
            out.write(b"x")
    os.symlink(b"a.txt\r\n-rw-r--r--   1 root root 7 Sep 13  2020 forged-target", os.path.join(os.fsencode(pub), b"lt"))
    listed = [lines(f, "LIST pub"), lines(f, "NLST pub"), [n for n, _ in f.mlsd("pub")]]
    for command in ("set ftp:use-feat yes; set ftp:use-mlsd yes; cls -1 pub", "ls pub", "nlist pub"):
        r = lftp(s.port, command)
        assert r.returncode == 0, r.stderr
        listed.append(r.stdout.splitlines())
    for text in listed:
        joined = "\n".join(text)
        assert "a.txt" in joined, text
        assert "forged" not in joined, text
        assert not any(line.split(" ")[-1].split("/")[-1] in ("evil", "m", "bare", "cr") for line in text), text
