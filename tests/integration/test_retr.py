"""Downloads: RETR by each sending method and from restart offsets, TYPE A
line ends, directory archives, the refusals, locks, a client that drops the
data connection, the bandwidth limit, the transfer-log records field by
field, a 1 GiB file and real clients (curl, lftp)."""
import fcntl
import gzip
import hashlib
import io
import os
import re
import shutil
import socket
import stat
import subprocess
import tarfile
import time
import zipfile

import pytest

from accounts import users, write_passwd_db  # noqa: F401 (fixture)
from xferhelp import (PASV_REPLY, anon_login, curl, domain, lftp, open_pasv, read_all, records, retr, sha256_file,
                      sparse_file, tree_digest, user_login, wait_records, write_file)

DENIED = "553 Permission denied.\r\n"


def start(server, general="", extra_domain=""):
    s = server(general=general, domain=domain(extra_domain))
    pub = os.path.join(s.dir, "ftp", "pub")
    os.makedirs(pub)
    return s, pub


def session(s):
    c = s.greeted()
    anon_login(c)
    return c


def payload(n, seed=b"retr"):
    blocks = (n + 31) // 32
    return b"".join(hashlib.sha256(seed + str(i).encode()).digest() for i in range(blocks))[:n]


# ---- Sending methods and restart offsets ------------------------------------------------------

@pytest.mark.parametrize("args, tag", [(["--disable-epsv"], "Ps"),
                                       (["--ftp-port", "127.0.0.1"], "Po")], ids=["passive", "active"])
def test_curl_downloads_and_the_record_tells_the_data_port(server, args, tag):
    s, pub = start(server)
    data = payload(300000)
    path = write_file(os.path.join(pub, "file.bin"), data)
    r = curl(s.port, "/pub/file.bin", *args)
    assert r.returncode == 0, r.stderr
    assert r.stdout == data
    rec = wait_records(s, 1)[0]
    assert rec[0] == "R"
    assert rec[1] == path
    assert rec[2] == "300000"
    assert float(rec[3]) >= 0.1
    assert abs(float(rec[4]) - 300000 / 1024 / float(rec[3])) < 0.01
    assert rec[5:8] == ["anonymous", "joe@example.com", "127.0.0.1"]
    assert rec[8] == ""
    assert rec[9] == "OK"
    assert rec[10] == "I"
    assert rec[11] == tag + "Sf"
    assert abs(int(rec[12]) - time.time()) < 60
    assert len(rec[13]) == 24
    assert rec[14] == "300000"
    assert rec[15] == "0"


@pytest.mark.parametrize("general, notes", [
    ("", ("PsSf", "PsRzSf")),
    ("sendfile-io = no\nmemory-mapped-io = yes\n", ("MmPs", "MmPsRz")),
    ("sendfile-io = no\n", ("Ps", "PsRz")),
], ids=["sendfile", "mmap", "loop"])
def test_each_sending_method_sends_from_the_restart_offset(server, general, notes):
    s, pub = start(server, general)
    data = payload(200000)
    write_file(os.path.join(pub, "file.bin"), data)
    c = session(s)
    c.command("TYPE I")
    first, got, last = retr(c, "pub/file.bin")
    assert re.match(r"^150 Data connection accepted from 127\.0\.0\.1:\d+; "
                    r"transfer starting for file\.bin \(200000 bytes\)\.\r\n$", first), first
    assert got == data
    assert last == "226 Transfer completed.\r\n"
    first, got, last = retr(c, "pub/file.bin", rest=150001)
    assert got == data[150001:]
    assert last == "226 Transfer completed.\r\n"
    recs = wait_records(s, 2)
    assert (recs[0][11], recs[1][11]) == notes
    assert recs[1][2] == str(200000 - 150001)
    assert recs[1][14] == "200000"
    assert recs[1][15] == "150001"


def test_the_notes_come_in_their_order(server):
    s, pub = start(server, "sendfile-io = no\nmemory-mapped-io = yes\n")
    write_file(os.path.join(pub, "file.bin"), payload(100000))
    c = session(s)
    c.command("TYPE I")
    assert retr(c, "pub/file.bin", rest=10)[2] == "226 Transfer completed.\r\n"
    assert wait_records(s, 1)[0][11] == "MmPsRz"


@pytest.mark.parametrize("general, size, rest, reply", [
    ("", 600, 601, "450 Restart point (601) is greater than the file size (600).\r\n"),
    ("sendfile-io = no\nmemory-mapped-io = yes\n", 70000, 70001, "450 Bad restart point.\r\n"),
], ids=["sendfile", "mmap"])
def test_a_restart_point_beyond_the_end_is_refused(server, general, size, rest, reply):
    s, pub = start(server, general)
    write_file(os.path.join(pub, "file.bin"), payload(size))
    c = session(s)
    c.command("TYPE I")
    first, got, last = retr(c, "pub/file.bin", rest=rest)
    assert got == b""
    assert last == reply
    assert wait_records(s, 1)[0][9] == "ERROR"
    assert c.command("NOOP").startswith("200 ")


def test_a_negative_restart_point_is_a_syntax_error(server):
    s, _ = start(server)
    c = session(s)
    assert c.command("REST -5") == "501 Syntax error in parameters.\r\n"
    assert c.command("REST") == "501 Syntax error in parameters.\r\n"


def test_restarts_can_be_switched_off(server):
    s, _ = start(server, "allow-resume = no\n")
    c = session(s)
    assert c.command("REST 100") == "502 This site does not allow transfers to be resumed.\r\n"


def test_curl_resumes_a_download(server):
    s, pub = start(server)
    data = payload(500000)
    write_file(os.path.join(pub, "file.bin"), data)
    target = os.path.join(s.dir, "resumed.bin")
    write_file(target, data[:123456])
    r = curl(s.port, "/pub/file.bin", "-C", "-", "-o", target)
    assert r.returncode == 0, r.stderr
    with open(target, "rb") as f:
        assert f.read() == data
    rec = wait_records(s, 1)[0]
    assert rec[2] == str(500000 - 123456)
    assert rec[15] == "123456"


# ---- TYPE A ------------------------------------------------------------------------------------

@pytest.mark.parametrize("mode, expected", [
    ("0", b"a\rb\nc\r\nd\r"),
    ("1", b"a\rb\r\nc\r\nd\r"),
    ("2", b"a\r\nb\r\nc\r\nd\r\n"),
    ("3", b"a\r\nb\r\nc\r\nd\r\n"),
])
def test_type_a_line_ends_by_ascii_mode(server, mode, expected):
    s, pub = start(server, "ascii-mode = %s\n" % mode)
    write_file(os.path.join(pub, "text.txt"), b"a\rb\nc\r\nd\r")
    c = session(s)
    assert c.command("TYPE A") == "200 Type okay.\r\n"
    first, got, last = retr(c, "pub/text.txt")
    assert got == expected
    assert wait_records(s, 1)[0][10] == "A"


def test_a_type_a_restart_counts_converted_bytes(server):
    s, pub = start(server)
    write_file(os.path.join(pub, "text.txt"), b"one\ntwo\n")
    c = session(s)
    c.command("TYPE A")
    assert retr(c, "pub/text.txt", rest=5)[1] == b"two\r\n"


def test_curl_ascii_download_gives_local_line_ends(server):
    s, pub = start(server)
    write_file(os.path.join(pub, "text.txt"), b"l1\nl2\rl3\r\n")
    r = curl(s.port, "/pub/text.txt", "-B")
    assert r.returncode == 0, r.stderr
    assert r.stdout == b"l1\nl2\nl3\n"


def test_ascii_downloads_can_be_refused(server):
    s, pub = start(server, "allow-ascii-downloads = no\n")
    write_file(os.path.join(pub, "text.txt"), b"x\n")
    c = session(s)
    c.command("TYPE A")
    assert c.command("RETR pub/text.txt") == \
        "553 Sorry, this site requires that your FTP client program download in BINARY mode (not ASCII mode).\r\n"


# ---- Refusals ----------------------------------------------------------------------------------

def test_refusals_and_their_records(server):
    s, pub = start(server)
    write_file(os.path.join(pub, "secret"), b"s", mode=0o600)
    os.mkfifo(os.path.join(pub, "fifo"))
    os.makedirs(os.path.join(pub, "dir"))
    c = s.greeted()
    assert c.command("RETR pub/x") == "550 Login first, then I might let you do that.\r\n"
    anon_login(c)
    assert c.command("RETR") == "501 Syntax error in parameters.\r\n"
    assert c.command("RETR pub/none") == "550 No such file.\r\n"
    assert c.command("RETR pub/dir") == "550 That is a directory.\r\n"
    assert c.command("RETR pub/fifo") == "550 Not a plain file.\r\n"
    assert c.command("RETR pub/secret") == DENIED
    assert c.command("RETR ../../..") in (DENIED, "550 That is a directory.\r\n")
    recs = wait_records(s, 2)
    assert [r[9] for r in recs][:2] == ["NOENT", "PERM"]
    assert recs[0][2] == "0" and recs[0][11] == ""


def test_anonymous_users_may_not_download_from_the_incoming_directory(server):
    s, _ = start(server)
    write_file(os.path.join(s.dir, "ftp", "incoming", "dropped"), b"x")
    c = session(s)
    assert c.command("RETR incoming/dropped") == \
        "553 Permission denied; an \"incoming\" directory is for uploading only.\r\n"
    assert wait_records(s, 1)[0][9] == "PERM"


def test_a_locked_file_is_refused_with_lock_downloads(server):
    s, pub = start(server, "lock-downloads = yes\n")
    path = write_file(os.path.join(pub, "busy.bin"), payload(1000))
    c = session(s)
    c.command("TYPE I")
    with open(path, "r+b") as f:
        fcntl.lockf(f, fcntl.LOCK_EX | fcntl.LOCK_NB)
        assert c.command("RETR pub/busy.bin") == "553 File is locked.\r\n"
    assert retr(c, "pub/busy.bin")[1] == payload(1000)


# ---- Directory archives ----------------------------------------------------------------------

ARCHIVERS = "tar = %s\ngzip = %s\nzip = %s\n" % (shutil.which("tar"), shutil.which("gzip"), shutil.which("zip"))


def make_tree(pub):
    tree = os.path.join(pub, "tree")
    write_file(os.path.join(tree, "a.txt"), b"alpha\n")
    write_file(os.path.join(tree, "sub", "b.bin"), payload(70000))
    return tree


def test_a_directory_with_archives_enabled_suggests_a_tar(server):
    s, pub = start(server, ARCHIVERS)
    make_tree(pub)
    c = session(s)
    assert c.command("RETR pub/tree") == (
        "550-That is a directory.\r\n"
        "550-You can retrieve a TAR of it if you append \".tar\" to the name to retrieve.\r\n"
        "550 Try RETR tree.tar sometime.\r\n")


@pytest.mark.parametrize("sfx", [".tar.gz", ".tgz", ".tar", ".zip", ".tar.Z"])
def test_a_directory_is_streamed_as_an_archive(server, sfx):
    if sfx == ".tar.Z" and not shutil.which("compress"):
        pytest.skip("compress is not installed")
    general = ARCHIVERS + ("compress = %s\n" % shutil.which("compress") if sfx == ".tar.Z" else "")
    s, pub = start(server, general)
    tree = make_tree(pub)
    c = session(s)
    c.command("TYPE I")
    first, data, last = retr(c, "pub/tree" + sfx)
    assert first.startswith("150 ") and last == "226 Transfer completed.\r\n", (first, last)
    if sfx == ".zip":
        with zipfile.ZipFile(io.BytesIO(data)) as z:
            assert z.read("tree/a.txt") == b"alpha\n"
            assert z.read("tree/sub/b.bin") == payload(70000)
    else:
        if sfx == ".tar.Z":
            data = subprocess.run(["compress", "-dc"], input=data, capture_output=True).stdout
        with tarfile.open(fileobj=io.BytesIO(data)) as t:
            assert t.extractfile("tree/a.txt").read() == b"alpha\n"
            assert t.extractfile("tree/sub/b.bin").read() == payload(70000)
    rec = wait_records(s, 1)[0]
    assert rec[1] == tree
    assert rec[8] == sfx
    assert rec[9] == "OK"
    assert rec[14] == "-1"


def test_directory_archive_refusals(server):
    s, pub = start(server, "tar = %s\n" % shutil.which("tar"))
    tree = make_tree(pub)
    write_file(os.path.join(pub, "plain"), b"p")
    notar = os.path.join(pub, "closed")
    write_file(os.path.join(notar, ".notar"), b"")
    c = session(s)
    c.command("TYPE I")
    assert c.command("RETR pub/none.tar") == "550 No such directory.\r\n"
    assert c.command("RETR pub/plain.tar") == "550 You can only TAR a directory.\r\n"
    assert c.command("RETR pub/closed.tar") == "550 You may not TAR that directory.\r\n"
    assert c.command("RETR pub.tar") == "550 You may not TAR that directory.\r\n"
    assert c.command("RETR pub/tree.tar.gz") == "550 Could not process directory.\r\n"
    c.command("TYPE A")
    assert c.command("RETR pub/tree.tar") == "550 Type A not supported with the get dir option.\r\n"
    assert os.path.isdir(tree)


@pytest.mark.parametrize("name, recorded", [("incoming.tar", "incoming"), ("pub/incoming.tar.gz", "pub/incoming"),
                                            ("incoming/sub.zip", "incoming/sub.zip")])
def test_anonymous_users_may_not_fetch_the_incoming_directory_as_an_archive(server, name, recorded):
    s, pub = start(server, ARCHIVERS + "allow-tar-root-dirs = yes\n")
    for d in ("incoming", "pub/incoming", "incoming/sub"):
        write_file(os.path.join(s.dir, "ftp", d, "dropped"), b"private")
    c = session(s)
    c.command("TYPE I")
    d = open_pasv(c)
    with d:
        assert c.command("RETR " + name) == \
            "553 Permission denied; an \"incoming\" directory is for uploading only.\r\n"
    rec = wait_records(s, 1)[0]
    assert rec[9] == "PERM"
    assert rec[1] == os.path.join(s.dir, "ftp", recorded)


def test_the_incoming_directory_may_be_archived_when_downloads_from_it_are_allowed(server):
    s, pub = start(server, ARCHIVERS + "allow-tar-root-dirs = yes\na-allow-download-from-incoming-dir = yes\n")
    write_file(os.path.join(s.dir, "ftp", "incoming", "dropped"), b"shared")
    c = session(s)
    c.command("TYPE I")
    first, data, last = retr(c, "incoming.tar")
    assert last == "226 Transfer completed.\r\n", (first, last)
    with tarfile.open(fileobj=io.BytesIO(data)) as t:
        assert t.extractfile("incoming/dropped").read() == b"shared"


def test_an_archiver_that_cannot_be_started_is_refused_before_the_transfer(server):
    s, pub = start(server, "tar = /nonexistent/tar\n")
    make_tree(pub)
    c = session(s)
    c.command("TYPE I")
    d = open_pasv(c)
    with d:
        assert c.command("RETR pub/tree.tar") == "550 Could not process directory.\r\n"
    assert c.command("NOOP").startswith("200 ")
    assert retr(c, "pub/tree.tar")[0] == "550 Could not process directory.\r\n"
    assert not [r for r in records(s) if r[9] == "OK"]


def test_top_level_directories_may_be_archived_when_allowed(server):
    s, pub = start(server, "tar = %s\nallow-tar-root-dirs = yes\n" % shutil.which("tar"))
    write_file(os.path.join(pub, "f"), b"top")
    c = session(s)
    c.command("TYPE I")
    first, data, last = retr(c, "pub.tar")
    with tarfile.open(fileobj=io.BytesIO(data)) as t:
        assert t.extractfile("pub/f").read() == b"top"


PUB_FILES = ("f", ".dot", "incoming/up", "a/incoming/deep", "z/incoming", ".hdir/h", "x.y/.z", "x.y/ok",
             "incomingx/keep", "drop[1]/d", "drop1/e")


def members(data, sfx):
    """The member names of an archive, directories without their slash."""
    if sfx == ".zip":
        with zipfile.ZipFile(io.BytesIO(data)) as z:
            return {n.rstrip("/") for n in z.namelist()}
    with tarfile.open(fileobj=io.BytesIO(data)) as t:
        return set(t.getnames())


def every_member(files):
    names = {"pub"}
    for f in files:
        parts = f.split("/")
        names |= {"pub/" + "/".join(parts[:i]) for i in range(1, len(parts) + 1)}
    return names


def archive_of_pub(pub, c, sfx):
    for f in PUB_FILES:
        write_file(os.path.join(pub, f), b"x")
    c.command("TYPE I")
    first, data, last = retr(c, "pub" + sfx)
    assert last == "226 Transfer completed.\r\n", (first, last)
    return members(data, sfx)


@pytest.mark.parametrize("sfx", [".tar", ".zip"])
@pytest.mark.parametrize("general, left_out", [
    ("", ("incoming", "a/incoming", "z/incoming", ".dot", ".hdir", "x.y/.z")),
    ("a-incoming-dir = /pub/drop[1]\na-pathname-filter = no\n", ("drop[1]",)),
    ("a-allow-download-from-incoming-dir = yes\n", (".dot", ".hdir", "x.y/.z")),
    ("a-allow-download-from-incoming-dir = yes\na-pathname-filter = no\n", ()),
], ids=["default", "named-incoming", "incoming-allowed", "nothing"])
def test_an_anonymous_archive_leaves_out_what_single_downloads_refuse(server, sfx, general, left_out):
    s, pub = start(server, ARCHIVERS + "allow-tar-root-dirs = yes\n" + general)
    got = archive_of_pub(pub, session(s), sfx)
    expected = {m for m in every_member(PUB_FILES)
                if not any(m == "pub/" + o or m.startswith("pub/" + o + "/") for o in left_out)}
    assert got == expected


@pytest.mark.parametrize("sfx", [".tar", ".zip"])
def test_an_archive_of_another_user_holds_everything(server, users, sfx):
    u = users()
    s, _ = start(server, ARCHIVERS + "allow-tar-root-dirs = yes\n")
    c = s.greeted()
    user_login(c, u)
    assert archive_of_pub(os.path.join(u.home, "pub"), c, sfx) == every_member(PUB_FILES)


DENIED_TREE = ("secret/hidden.txt", "deep/s*/f.txt", "a[1]/g.txt", "deep/plain.txt")
OPEN_TREE = ("keep.txt", "deep/sx/kept.txt", "a1/kept.txt", "deep/secret/kept.txt")


def archive_session(server, zorvad_dir, who, general):
    """A session of who ("anonymous" or a virtual user) whose current directory
    holds the directory "tree" (returned as its real path), with the given
    general.cf lines; "{tree}" in them stands for that path."""
    if who == "anonymous":
        s = server(general=general.replace("{tree}", "{dir}/ftp/pub/tree"), domain=domain())
        tree = os.path.join(s.dir, "ftp", "pub", "tree")
        os.makedirs(tree)
        c = s.greeted()
        anon_login(c)
        assert c.command("CWD pub").startswith("250 ")
        return s, c, tree
    home = os.path.join(zorvad_dir, "vhome")
    tree = os.path.join(home, "tree")
    db = os.path.join(zorvad_dir, "db", "passwd.db")
    write_passwd_db(db, "vera:{plain}s3cret:65534:65534::%s:/bin/sh" % home)
    s = server(general=general.replace("{tree}", tree), domain=domain("passwd = %s\n" % db))
    os.makedirs(tree)
    c = s.greeted()
    c.command("USER vera")
    assert c.command("PASS s3cret") == "230 Restricted user logged in.\r\n"
    return s, c, tree


@pytest.mark.parametrize("who", ["anonymous", "virtual"])
@pytest.mark.parametrize("sfx", [".tar", ".tar.gz", ".zip"])
def test_an_archive_leaves_out_what_deny_paths_refuse(server, zorvad_dir, who, sfx):
    # Configured names with wildcard characters stand only for themselves, and
    # each entry for its own place in the tree, not for the same name deeper.
    deny = "{tree}/secret|{tree}/deep/s*|{tree}/a[1]/|{tree}/deep/plain.txt"
    s, c, tree = archive_session(server, zorvad_dir, who,
                                 ARCHIVERS + "allow-tar-root-dirs = yes\ndeny-paths = %s\n" % deny)
    for f in DENIED_TREE + OPEN_TREE:
        write_file(os.path.join(tree, f), b"x")
    c.command("TYPE I")
    first, data, last = retr(c, "tree" + sfx)
    assert last == "226 Transfer completed.\r\n", (first, last)
    if sfx == ".tar.gz":
        sfx, data = ".tar", gzip.decompress(data)
    assert members(data, sfx) == {"tree", "tree/deep", "tree/deep/secret", "tree/deep/sx", "tree/a1"} | \
        {"tree/" + f for f in OPEN_TREE}
    for f in DENIED_TREE:
        assert retr(c, "tree/" + f)[0] == DENIED, f
    assert retr(c, "tree/deep/secret/kept.txt")[2] == "226 Transfer completed.\r\n"


def test_an_unconfined_user_may_not_archive_etc(server, users):
    u = users()
    s = server(general="tar = %s\nallow-tar-root-dirs = yes\nu-restrict-mode = none\n" % shutil.which("tar"),
               domain=domain())
    c = s.greeted()
    user_login(c, u)
    c.command("TYPE I")
    assert retr(c, "/etc/passwd")[0] == DENIED
    assert retr(c, "/etc.tar")[0] == "550 You may not TAR that directory.\r\n"
    assert retr(c, "/etc/default.tar")[0] == DENIED


def copy_program_into(root, program):
    """The program and the shared libraries it loads, at the same paths below
    root (for a chrooted session)."""
    libs = re.findall(r"(/\S+) \(0x", subprocess.run(["ldd", program], capture_output=True, text=True).stdout)
    for path in [program] + libs:
        target = root + path
        os.makedirs(os.path.dirname(target), exist_ok=True)
        shutil.copy2(path, target)


@pytest.mark.parametrize("chrooted", [False, True], ids=["confined-by-path", "chrooted"])
def test_a_zip_archive_stores_links_as_links(server, chrooted):
    zip_program = shutil.which("zip")
    if chrooted:
        s = server(general="zip = %s\n" % zip_program, domain=domain(), args=["-a"])
        ftp = os.path.join(s.dir, "ftp")
        copy_program_into(ftp, zip_program)
        os.makedirs(os.path.join(ftp, "dev"))
        os.mknod(os.path.join(ftp, "dev", "null"), 0o666 | stat.S_IFCHR, os.makedev(1, 3))
        os.chmod(os.path.join(ftp, "dev", "null"), 0o666)
    else:
        s = server(general="zip = %s\n" % zip_program, domain=domain())
    outside = write_file(os.path.join(s.dir, "outside.txt"), b"outside the area\n")
    tree = os.path.join(s.dir, "ftp", "pub", "tree")
    write_file(os.path.join(tree, "a.txt"), b"alpha\n")
    write_file(os.path.join(tree, "sub", "b.bin"), payload(70000))
    os.symlink(outside, os.path.join(tree, "out"))
    os.symlink(s.dir, os.path.join(tree, "sub", "outdir"))
    os.symlink("../a.txt", os.path.join(tree, "sub", "near"))
    c = s.greeted()
    anon_login(c)
    c.command("TYPE I")
    first, data, last = retr(c, "pub/tree.zip")
    assert last == "226 Transfer completed.\r\n", (first, last)
    with zipfile.ZipFile(io.BytesIO(data)) as z:
        assert z.testzip() is None
        names = {n.rstrip("/") for n in z.namelist()}
        assert names == {"tree", "tree/a.txt", "tree/sub", "tree/sub/b.bin", "tree/out", "tree/sub/outdir",
                         "tree/sub/near"}
        links = {i.filename: z.read(i) for i in z.infolist() if stat.S_ISLNK(i.external_attr >> 16)}
        assert links == {"tree/out": outside.encode(), "tree/sub/outdir": s.dir.encode(),
                         "tree/sub/near": b"../a.txt"}
        assert z.read("tree/sub/b.bin") == payload(70000)
    assert b"outside the area" not in data
    assert wait_records(s, 1)[0][9] == "OK"


FAILING = {
    "tar-fatal": (".tar", "tar", "head -c 100000 /dev/zero; exit 2"),
    "tar-file-changed": (".tar", "tar", "head -c 100000 /dev/zero; exit 1"),
    "tar-killed": (".tar", "tar", "head -c 100000 /dev/zero; kill -KILL $$"),
    "gzip-failed": (".tar.gz", "gzip", "head -c 1000 /dev/zero; cat >/dev/null; exit 1"),
    "zip-failed": (".zip", "zip", "head -c 1000 /dev/zero; exit 12"),
}


@pytest.mark.parametrize("case", sorted(FAILING))
def test_an_archiver_that_fails_fails_the_transfer(server, case):
    sfx, key, script = FAILING[case]
    programs = {"tar": shutil.which("tar"), "gzip": shutil.which("gzip"), "zip": shutil.which("zip"),
                key: "{dir}/failing-" + key}
    s, pub = start(server, "".join("%s = %s\n" % kv for kv in programs.items()))
    write_file(os.path.join(s.dir, "failing-" + key), ("#!/bin/sh\n" + script + "\n").encode(), 0o755)
    make_tree(pub)
    c = session(s)
    c.command("TYPE I")
    first, data, last = retr(c, "pub/tree" + sfx)
    if sfx == ".zip":           # known before the transfer starts
        assert first == "550 Could not process directory.\r\n"
    else:
        assert first.startswith("150 ") and last == "451 Could not process directory.\r\n", (first, last)
    rec = wait_records(s, 1)[0]
    assert rec[9] == "ERROR"
    assert c.command("NOOP").startswith("200 ")


# ---- Outcomes ----------------------------------------------------------------------------------

@pytest.mark.parametrize("general", ["", "sendfile-io = no\n", "sendfile-io = no\nmemory-mapped-io = yes\n"],
                         ids=["sendfile", "loop", "mmap"])
def test_a_client_that_closes_the_data_connection_aborts_the_transfer(server, general):
    s, pub = start(server, general)
    sparse_file(os.path.join(pub, "big.bin"), 64 << 20)
    c = session(s)
    c.command("TYPE I")
    d = open_pasv(c)
    assert c.command("RETR pub/big.bin").startswith("150 ")
    d.recv(65536)
    d.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\x01\x00\x00\x00\x00\x00\x00\x00")
    d.close()
    assert c.reply() == "450 Transfer aborted forcefully by client.\r\n"
    rec = wait_records(s, 1)[0]
    assert rec[9] == "ABOR"
    assert 0 < int(rec[2]) < 64 << 20
    assert c.command("NOOP").startswith("200 ")


@pytest.mark.parametrize("general, type_", [("", "I"), ("sendfile-io = no\n", "I"),
                                            ("sendfile-io = no\nmemory-mapped-io = yes\n", "I"), ("", "A")],
                         ids=["sendfile", "loop", "mmap", "ascii"])
def test_a_file_cut_short_during_the_download_fails_it(server, general, type_):
    # Small socket buffers on both sides: the server is far from the cut when
    # the file is truncated.
    s, pub = start(server, "data-sbuf-size = 65536\n" + general)
    size, cut = 8 << 20, 1 << 20
    path = write_file(os.path.join(pub, "big.txt"), b"0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ+/"
                      * (size // 64))                 # no line ends: TYPE A sends it unchanged
    c = session(s)
    c.command("TYPE " + type_)
    m = PASV_REPLY.match(c.command("PASV"))
    d = socket.socket()
    d.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 65536)
    d.settimeout(20)
    d.connect((".".join(m.group(1, 2, 3, 4)), int(m.group(5)) * 256 + int(m.group(6))))
    with d:
        assert c.command("RETR pub/big.txt").startswith("150 ")
        data = d.recv(65536)
        os.truncate(path, cut)
        data += read_all(d)
    # All that is left of the file, or (mmap) up to the page that fails the
    # write.
    assert cut - 65536 < len(data) <= cut
    assert c.reply() == "450 Read error: No data available\r\n"
    rec = wait_records(s, 1)[0]
    assert (rec[9], rec[2]) == ("ERROR", str(len(data)))
    assert c.command("NOOP").startswith("200 ")


def test_an_empty_file_goes_through_the_plain_loop_at_rate_zero(server):
    s, pub = start(server)
    write_file(os.path.join(pub, "empty"), b"")
    c = session(s)
    c.command("TYPE I")
    assert retr(c, "pub/empty")[1:] == (b"", "226 Transfer completed.\r\n")
    rec = wait_records(s, 1)[0]
    assert rec[2] == "0"
    assert rec[3] == "0.100" or float(rec[3]) >= 0.1
    assert rec[4] == "0.000"
    assert rec[11] == "Ps"


def test_the_download_bandwidth_limit_is_kept(server):
    limit = 512                                   # KiB per second
    s, pub = start(server, extra_domain="a-download-bandwidth-per-user = %d\n" % limit)
    size = 2 << 20
    write_file(os.path.join(pub, "file.bin"), payload(size))
    c = session(s)
    c.command("TYPE I")
    d = open_pasv(c)
    assert c.command("RETR pub/file.bin").startswith("150 ")
    t0 = time.monotonic()
    data = read_all(d)
    elapsed = time.monotonic() - t0
    d.close()
    assert c.reply() == "226 Transfer completed.\r\n"
    assert data == payload(size)
    expected = size / 1024 / limit
    assert abs(elapsed - expected) <= 0.1 * expected, elapsed
    rec = wait_records(s, 1)[0]
    assert abs(float(rec[4]) - limit) <= 0.1 * limit, rec
    assert "Sf" not in rec[11]


def test_with_implicit_acks_the_next_command_confirms_the_download(server):
    s, pub = start(server, "require-implicit-ack-for-downloads = yes\n")
    write_file(os.path.join(pub, "f"), b"data")
    c = session(s)
    c.command("TYPE I")
    assert retr(c, "pub/f")[2] == "226 Transfer completed.\r\n"
    time.sleep(0.5)
    assert records(s) == []
    c.command("NOOP")
    assert wait_records(s, 1)[0][9] == "OK"
    assert retr(c, "pub/f")[2] == "226 Transfer completed.\r\n"
    c.close()
    assert wait_records(s, 2)[1][9] == "INCOMPLETE"


def test_start_records_precede_the_transfer_records(server):
    s, pub = start(server, "log-xfer-starts = yes\n")
    write_file(os.path.join(pub, "f"), b"data")
    c = session(s)
    retr(c, "pub/f")
    recs = wait_records(s, 2)
    assert recs[0][0] == "r" and recs[0][9] == "START" and recs[0][2] == "0" and recs[0][11] == ""
    assert recs[1][0] == "R" and recs[1][9] == "OK"


# ---- Big files and real clients ------------------------------------------------------------------

def test_a_one_gib_download_arrives_intact(server):
    s, pub = start(server)
    path = sparse_file(os.path.join(pub, "huge.bin"), 1 << 30)
    c = session(s)
    c.command("TYPE I")
    d = open_pasv(c)
    assert c.command("RETR pub/huge.bin").startswith("150 ")
    h = hashlib.sha256()
    total = 0
    while True:
        chunk = d.recv(1 << 20)
        if not chunk:
            break
        h.update(chunk)
        total += len(chunk)
    d.close()
    assert c.reply() == "226 Transfer completed.\r\n"
    assert total == 1 << 30
    assert h.hexdigest() == sha256_file(path)


def test_lftp_mirrors_a_tree_down(server):
    s, pub = start(server)
    src = os.path.join(pub, "tree")
    for i in range(5):
        write_file(os.path.join(src, "d%d" % (i % 2), "f%d.bin" % i), payload(10000 * (i + 1), b"%d" % i))
    write_file(os.path.join(src, "empty"), b"")
    local = os.path.join(s.dir, "mirror")
    r = lftp(s.port, "mirror pub/tree %s" % local)
    assert r.returncode == 0, r.stdout + r.stderr
    assert tree_digest(local) == tree_digest(src)


@pytest.mark.parametrize("general", ["", "sendfile-io = no\n", "sendfile-io = no\nmemory-mapped-io = yes\n"],
                         ids=["sendfile", "loop", "mmap"])
def test_a_client_that_stops_reading_times_out_and_the_session_ends(server, general):
    s, pub = start(server, "xfer-timeout = 2\n" + general)
    sparse_file(os.path.join(pub, "big.bin"), 64 << 20)
    c = session(s)
    c.command("TYPE I")
    d = open_pasv(c)
    d.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    assert c.command("RETR pub/big.bin").startswith("150 ")
    d.recv(1000)
    assert c.reply() == "450 Socket write to client timed-out.\r\n"
    assert c.closed()
    d.close()
    assert wait_records(s, 1)[0][9] == "INCOMPLETE"
