"""MLSD, MLST/STAT, FEAT and OPTS MLST through real clients that parse the
fact lines themselves (Python's ftplib, Node's basic-ftp, lftp): each must
see the tree that LIST shows, links and special files included; the fact
selection, the Perm letters of a real user and the Unique fact."""
import calendar
import ftplib
import json
import os
import re
import shutil
import socket
import stat
import subprocess
import time

import pytest

from accounts import users  # noqa: F401 (fixture)
from conftest import BIN_DIR, wait_for
from xferhelp import LFTP_SAFE, domain, records, user_login, write_file

T = 1600000000                      # 2020-09-13 12:26:40 UTC
GENERAL = "ls-time-format = GMT\nls-show-special-file-types = yes\n"
BASIC_FTP = "basic-ftp@5.0.5"
NODE_DIR = os.path.join(BIN_DIR, "node-clients")


def make_tree(root):
    """pub: files, a directory, a link and the special files; plain: files
    and a directory only."""
    pub = os.path.join(root, "pub")
    write_file(os.path.join(pub, "a.txt"), b"a" * 1000)
    write_file(os.path.join(pub, "run.sh"), b"#!/bin/sh\n", 0o755)
    write_file(os.path.join(pub, "sub", "deep.txt"), b"deep")
    os.symlink("a.txt", os.path.join(pub, "link"))
    os.mkfifo(os.path.join(pub, "fifo"))
    with socket.socket(socket.AF_UNIX) as s:
        s.bind(os.path.join(pub, "sock"))
    os.mknod(os.path.join(pub, "null"), 0o666 | stat.S_IFCHR, os.makedev(1, 3))
    plain = os.path.join(root, "plain")
    write_file(os.path.join(plain, "one.bin"), bytes(range(256)) * 40)
    write_file(os.path.join(plain, "two.txt"), b"two\n")
    write_file(os.path.join(plain, "dir", "three.txt"), b"three\n")
    for i, name in enumerate(sorted(os.listdir(pub))):
        os.utime(os.path.join(pub, name), (T + 60 * i, T + 60 * i), follow_symlinks=False)
    for i, name in enumerate(sorted(os.listdir(plain))):
        os.utime(os.path.join(plain, name), (T + 7 * i, T + 7 * i))
    for d in (os.path.join(pub, "sub"), os.path.join(plain, "dir"), pub, plain, root):
        os.chmod(d, 0o755)
        os.utime(d, (T, T)) if d in (pub, plain) else None


@pytest.fixture
def tree_server(server):
    s = server(general=GENERAL, domain=domain())
    make_tree(os.path.join(s.dir, "ftp"))
    return s


def login(s):
    f = s.ftp()
    f.login()
    return f


# ---- What each client sees: name -> (kind, size or None, modification time) -----------------

LIST_KIND = {"-": "file", "d": "dir", "l": "link", "p": "fifo", "s": "socket", "c": "chr"}
MLS_KIND = {"file": "file", "dir": "dir", "OS.unix=slink": "link", "OS.unix=fifo": "fifo",
            "OS.unix=socket": "socket", "OS.unix=chr": "chr"}


def seen_by_list(s, directory):
    """The entries of LIST, with the exact times of the files themselves
    (LIST shows old dates only to the day, which is checked as well)."""
    f = login(s)
    lines = []
    f.retrlines("LIST " + directory, lines.append)
    f.quit()
    out = {}
    for line in lines:
        perms, _, _, _, size, mon, day, year, name = line.split(None, 8)
        name = name.split(" -> ")[0]
        mtime = int(os.lstat(os.path.join(s.dir, "ftp", directory, name)).st_mtime)
        assert time.strftime("%b %d %Y", time.gmtime(mtime)) == "%s %02d %s" % (mon, int(day), year), line
        kind = LIST_KIND[perms[0]]
        out[name] = (kind, None if kind == "dir" else int(size), mtime)
    return out


def modify_time(text):
    return calendar.timegm(time.strptime(text, "%Y%m%d%H%M%S"))


def seen_by_ftplib(s, directory):
    f = login(s)
    entries = list(f.mlsd(directory))
    f.quit()
    assert [e[1]["type"] for e in entries[:2]] == ["cdir", "pdir"]
    out = {}
    for name, facts in entries[2:]:
        assert list(facts) == (["type", "modify", "unix.mode"] if facts["type"] == "dir"
                               else ["type", "size", "modify", "unix.mode"]), facts
        kind = MLS_KIND[facts["type"]]
        out[name] = (kind, None if kind == "dir" else int(facts["size"]), modify_time(facts["modify"]))
    return out


def ensure_basic_ftp():
    """Node's basic-ftp, installed once with npm below the build tree."""
    if not os.path.isdir(os.path.join(NODE_DIR, "node_modules", "basic-ftp")):
        os.makedirs(NODE_DIR, exist_ok=True)
        r = subprocess.run(["npm", "install", "--no-audit", "--no-fund", "--prefix", NODE_DIR, BASIC_FTP],
                           capture_output=True, text=True, timeout=300)
        assert r.returncode == 0, r.stderr
    return os.path.join(NODE_DIR, "node_modules")


BASIC_FTP_SCRIPT = """
const ftp = require("basic-ftp");
(async () => {
    const c = new ftp.Client(10000);
    await c.access({host: "127.0.0.1", port: +process.argv[1], user: "anonymous", password: "joe@example.com"});
    const list = await c.list(process.argv[2]);
    console.log(JSON.stringify(list.map(e => [e.name, e.type, e.size, e.modifiedAt ? e.modifiedAt.getTime() : null])));
    c.close();
})().catch(e => { console.error(e); process.exit(1); });
"""

BASIC_FTP_KIND = {0: "special", 1: "file", 2: "dir", 3: "link"}


def seen_by_basic_ftp(s, directory):
    env = dict(os.environ, NODE_PATH=ensure_basic_ftp())
    r = subprocess.run(["node", "-e", BASIC_FTP_SCRIPT, str(s.port), directory], capture_output=True,
                       text=True, timeout=60, env=env)
    assert r.returncode == 0, r.stderr
    out = {}
    for name, kind, size, millis in json.loads(r.stdout):
        kind = BASIC_FTP_KIND[kind]
        out[name] = (kind, None if kind == "dir" else size, millis // 1000)
    # The client chose MLSD, not LIST: the listing's transfer-log record says so.
    assert wait_for(lambda: [x for x in records(s) if x[0] == "T" and x[4] == "MLSD"]), records(s)
    return out


def seen_by_lftp(s, directory):
    r = subprocess.run(["timeout", "60", "lftp", "-p", str(s.port), "-e",
                        LFTP_SAFE + "debug 5; cls -1 --perms -s --block-size=1 --filesize --date --time-style=+%s " + directory
                        + "; quit", "127.0.0.1"], capture_output=True, text=True, timeout=70)
    assert r.returncode == 0, r.stderr
    sent = re.findall(r"^---> (MLSD|LIST|NLST|MDTM)", r.stderr, re.M)
    assert sent == ["MLSD"], r.stderr          # every fact came from MLSD
    out = {}
    for line in r.stdout.splitlines():
        fields = line.split()
        perms, name = fields[0], fields[-1].split("/", 1)[1].rstrip("/")
        kind = LIST_KIND[perms[0]]
        size = None if kind == "dir" else int(fields[1])
        out[name] = (kind, size, int(fields[-2]))
    return out


def special(tree):
    return {n: ("special" if k in ("fifo", "socket", "chr") else k, size, t) for n, (k, size, t) in tree.items()}


CLIENTS = [
    ("ftplib", "pub", seen_by_ftplib, lambda t: t),
    ("basic-ftp", "pub", seen_by_basic_ftp, special),      # it knows no special types
    ("lftp", "plain", seen_by_lftp, lambda t: t),          # it takes no OS.unix types but links
]


@pytest.mark.parametrize("client,directory,seen,compare", CLIENTS, ids=[c[0] for c in CLIENTS])
def test_each_client_sees_through_mlsd_the_tree_that_list_shows(tree_server, client, directory, seen, compare):
    expected = seen_by_list(tree_server, directory)
    assert len(expected) == (7 if directory == "pub" else 3)
    assert seen(tree_server, directory) == compare(expected)


# ---- Fact selection --------------------------------------------------------------------------

def feat_mlst(f):
    lines = [x for x in f.sendcmd("FEAT").split("\n") if x.startswith(" MLST ")]
    return lines[0] if lines else None


def mlsd_lines(f, arg="pub"):
    lines = []
    f.retrlines("MLSD " + arg, lines.append)
    return lines


@pytest.mark.parametrize("who", ["anonymous", "user"])
def test_opts_mlst_selects_the_facts_and_feat_marks_them(server, users, who):
    s = server(general=GENERAL, domain=domain())
    if who == "anonymous":
        make_tree(os.path.join(s.dir, "ftp"))
        f = login(s)
        names, cdir = "", "el"
    else:
        u = users()
        make_tree(u.home)
        f = s.ftp()
        f.login(u.name, u.password)
        names, cdir = "UNIX.owner;UNIX.group;UNIX.uid;UNIX.gid;", "eldf"   # pub in the user's home
    assert feat_mlst(f) == " MLST Type*;Size*;Modify*;Perm;Unique;UNIX.mode*;" + names
    assert mlsd_lines(f)[2] == "Type=file;Size=1000;Modify=20200913122640;UNIX.mode=0644; a.txt"

    assert f.sendcmd("OPTS MLST type;PERM") == "200 Options accepted: type;PERM;"
    assert feat_mlst(f) == " MLST Type*;Size;Modify;Perm*;Unique;UNIX.mode;" + names
    lines = mlsd_lines(f)
    assert re.fullmatch(r"Type=cdir;Perm=%s; \S*/pub" % cdir, lines[0]) and lines[1] == "Type=pdir; ..", lines
    assert lines[2:] == ["Type=file;Perm=r; a.txt", "Type=OS.unix=fifo;Perm=; fifo", "Type=OS.unix=slink;Perm=; link",
                         "Type=OS.unix=chr;Perm=; null", "Type=file;Perm=r; run.sh", "Type=OS.unix=socket;Perm=; sock",
                         "Type=dir;Perm=el; sub"]

    # Owner and numeric facts only where they are offered; unknown ones ignored.
    reply = f.sendcmd("OPTS MLST unix.UID;OS.unix=x;size;UNIX.owner;bogus;")
    if who == "anonymous":
        assert reply == "200 Options accepted: size;"
        assert mlsd_lines(f)[0] == "Size=1000; a.txt"
    else:
        assert reply == "200 Options accepted: unix.UID;size;UNIX.owner;"
        assert mlsd_lines(f)[0] == "Size=1000;UNIX.owner=root;UNIX.uid=0; a.txt"
    assert f.sendcmd("OPTS MLST") == "200 Option accepted."
    assert mlsd_lines(f)[0] == " a.txt"
    assert feat_mlst(f) == " MLST Type;Size;Modify;Perm;Unique;UNIX.mode;" + names


SWITCHES = {
    "allow-mls = no\n": [
        ("MLST pub", "502 The MLST command is disabled at this site."),
        ("STAT", "502 The MLST command is disabled at this site."),
        ("MLSD pub", "502 The MLSD command is disabled at this site."),
        ("OPTS MLST type", "501 The MLST command is disabled and options changes are not applicable."),
    ],
    "allow-feat = no\n": [("FEAT", "502 Unimplemented command."), ("OPTS MLST size", "200 Options accepted: size;")],
    "": [
        ("OPTS UTF8 ON", "501 Option not recognized."),
        ("MLST nothere", "550 No such file."),
        ("MLSD nothere", "550 No such file or directory."),
        ("MLSD /../../etc", "553 Permission denied."),
        ("MLSD pub/a.txt", "550 Ls failed: Not a directory"),
    ],
}


@pytest.mark.parametrize("general", list(SWITCHES), ids=["mls-off", "feat-off", "on"])
def test_refusals_and_switches(server, general):
    s = server(general=GENERAL + general, domain=domain())
    make_tree(os.path.join(s.dir, "ftp"))
    c = s.greeted()
    c.command("USER anonymous")
    c.command("PASS joe@example.com")
    for command, reply in SWITCHES[general]:
        assert c.command(command) == reply + "\r\n", command
    feat = c.command("FEAT")
    assert (" MLST " in feat) == (general == ""), feat


def test_mlst_stat_and_patterns_with_their_transfer_log_records(tree_server):
    s = tree_server
    f = login(s)
    assert f.sendcmd("MLST pub/run.sh") == (
        "250-Begin\n Type=file;Size=10;Modify=20200913123040;UNIX.mode=0755; /pub/run.sh\n250 End.")
    # A link is described itself, with its own name, as MLSD lists it.
    link = [x for x in mlsd_lines(f, "pub") if x.endswith(" link")][0]
    assert f.sendcmd("MLST pub/link") == "250-Begin\n %s\n250 End." % link.replace(" link", " /pub/link")
    assert "Type=OS.unix=slink" in link
    f.cwd("pub")
    assert f.sendcmd("STAT") == "250-Begin\n Type=dir;Modify=20200913122640;UNIX.mode=0755; /pub\n250 End."
    assert f.sendcmd("STAT sub") == "250-Begin\n Type=dir;Modify=20200913123240;UNIX.mode=0755; /pub/sub\n250 End."
    # A remote client's MLSD names a directory as written: brackets and
    # stars are part of names, never a pattern.
    for name in ("dir[1]", "a*b"):
        os.makedirs(os.path.join(s.dir, "ftp", "pub", name, "inside"))
        assert [x.rsplit(" ", 1)[1] for x in mlsd_lines(f, name)] == ["/pub/" + name, "..", "inside"]
    with pytest.raises(ftplib.error_perm):
        mlsd_lines(f, "*.*")
    assert "a.txt" in [n.rsplit("/", 1)[-1] for n in f.nlst("*.*")]    # NLST keeps its patterns
    root = os.path.realpath(os.path.join(s.dir, "ftp"))
    expected = [["T", root + "/pub", "OK", "", "MLSD", "anonymous"],
                ["T", root + "/pub/dir[1]", "OK", "", "MLSD", "anonymous"],
                ["T", root + "/pub/a*b", "OK", "", "MLSD", "anonymous"],
                ["T", root + "/pub/*.*", "NOENT", "", "MLSD", "anonymous"]]
    found = wait_for(lambda: len([r for r in records(s) if r[4] == "MLSD"]) >= 4 and records(s))
    assert [r[:6] for r in found if r[4] == "MLSD"] == expected


# ---- Unique and Perm -------------------------------------------------------------------------

def unique(s, path):
    f = login(s)
    assert f.sendcmd("OPTS MLST unique") == "200 Options accepted: unique;"
    m = re.fullmatch(r"250-Begin\n Unique=([A-Za-z0-9+/]+); \S+\n250 End\.", f.sendcmd("MLST " + path))
    f.quit()
    assert m, path
    return m.group(1)


def test_unique_is_the_same_within_a_run_and_changes_with_a_restart(server):
    runs = []
    home = None
    for _ in range(3):
        s = server(general=GENERAL, domain=domain() if home is None else domain().replace(
            "ftp-home = {dir}/ftp", "ftp-home = " + home))
        if home is None:
            home = os.path.join(s.dir, "ftp")
            make_tree(home)
        first = unique(s, "pub/a.txt")
        assert unique(s, "pub/a.txt") == first          # another session of the same run
        assert unique(s, "pub/run.sh") != first
        runs.append(first)
        s.stop()
    # The key is 16 random bits per run: two runs may agree by chance, three do not.
    assert len(set(runs)) >= 2


def test_perm_letters_follow_the_users_rights(server, users):
    s = server(general=GENERAL, domain=domain())
    u = users()
    h = u.home
    os.makedirs(os.path.join(h, "mine"))
    write_file(os.path.join(h, "mine", "f"), b"f")
    os.makedirs(os.path.join(h, "ro"))
    write_file(os.path.join(h, "ro", "g"), b"g")
    os.makedirs(os.path.join(h, "tmp"))
    write_file(os.path.join(h, "tmp", "own"), b"o")
    write_file(os.path.join(h, "tmp", "theirs"), b"t", 0o666)
    for p in ("mine", "mine/f", "tmp/own"):
        os.chown(os.path.join(h, p), u.uid, u.gid)
    os.chmod(os.path.join(h, "mine"), 0o755)
    os.chmod(os.path.join(h, "ro"), 0o755)
    os.chmod(os.path.join(h, "tmp"), 0o1777)              # sticky, owned by root
    f = s.ftp()
    f.login(u.name, u.password)
    assert f.sendcmd("OPTS MLST type;perm;") == "200 Options accepted: type;perm;"
    expected = {
        "mine": "Type=dir;Perm=elcmpdf;",
        "mine/f": "Type=file;Perm=rwadf;",
        "ro": "Type=dir;Perm=eldf;",
        "ro/g": "Type=file;Perm=r;",
        "tmp": "Type=dir;Perm=elcmpdf;",
        "tmp/own": "Type=file;Perm=rwa;",
        "tmp/theirs": "Type=file;Perm=rwa;",
    }
    for path, facts in expected.items():
        assert f.sendcmd("MLST " + path).split("\n")[1].split(" ")[1] == facts, path
    lines = mlsd_lines(f, "tmp")
    assert [x.split(" ")[0] for x in lines] == ["Type=cdir;Perm=elcmpdf;", "Type=pdir;", "Type=file;Perm=rwa;",
                                                "Type=file;Perm=rwa;"]
