"""File management: DELE, MKD, RMD, RNFR/RNTO, SIZE, MDTM and MFMT through
real clients (curl, lftp, ftplib), their item records in the transfer log,
and a directory swapped for a link between the check and the use."""
import calendar
import ftplib
import os
import re
import time

import pytest

from accounts import users  # noqa: F401 (fixture)
from conftest import wait_for
from xferhelp import curl, domain, lftp, open_pasv, read_all, records, tree_digest, user_login, wait_records, write_file

DENIED = "553 Permission denied.\r\n"


def own(u, top):
    """Gives the tree below top (top included) to the user, links too."""
    for d, dirs, files in os.walk(top):
        for p in [d] + [os.path.join(d, n) for n in dirs + files]:
            os.lchown(p, u.uid, u.gid)


def payload(n):
    return bytes((i * 7 + i // 251) & 0xFF for i in range(n))


def user_server(server, users, general=""):
    u = users()
    s = server(general=general, domain=domain())
    return s, u


def items(s, letter):
    return [r for r in records(s) if r[0] == letter]


# ---- curl ---------------------------------------------------------------------------------------

def test_curl_reads_size_and_time_and_resumes_a_download(server, users, zorvad_dir):
    s, u = user_server(server, users)
    data = payload(300000)
    src = write_file(os.path.join(u.home, "file.bin"), data)
    os.utime(src, (1600000000, 1600000000))
    login = "%s:%s" % (u.name, u.password)

    head = curl(s.port, "/file.bin", "-I", user=login)
    assert head.returncode == 0, head.stderr
    assert b"Content-Length: 300000\r\n" in head.stdout
    assert b"Last-Modified: Sun, 13 Sep 2020 12:26:40 GMT\r\n" in head.stdout

    # -C - asks SIZE for what is left; a failed SIZE would end in status 18.
    target = write_file(os.path.join(zorvad_dir, "part.bin"), data[:100000])
    r = curl(s.port, "/file.bin", "-C", "-", "-o", target, user=login)
    assert r.returncode == 0, r.stderr
    with open(target, "rb") as f:
        assert f.read() == data


def test_curl_quote_commands_change_the_tree_and_write_item_records(server, users, zorvad_dir):
    s, u = user_server(server, users)
    h = u.home
    write_file(os.path.join(h, "old.txt"), b"old\n")
    write_file(os.path.join(h, "gone.txt"), b"12345\n")
    own(u, h)
    src = write_file(os.path.join(zorvad_dir, "up.txt"), b"up\n")

    r = curl(s.port, "/n1/n2/up.txt", "-Q", "RNFR old.txt", "-Q", "RNTO new.txt", "-Q", "DELE gone.txt",
             "--ftp-create-dirs", "-T", src, user="%s:%s" % (u.name, u.password))
    assert r.returncode == 0, r.stderr
    names = set(os.listdir(h))
    assert {"n1", "new.txt"} <= names and not {"old.txt", "gone.txt"} & names
    with open(os.path.join(h, "n1", "n2", "up.txt"), "rb") as f:
        assert f.read() == b"up\n"
    assert os.stat(os.path.join(h, "n1", "n2")).st_uid == u.uid

    wait_records(s, 4)
    tail = [u.name, "", "127.0.0.1"]
    assert [r[:5] + r[5:8] for r in items(s, "N")] == [
        ["N", os.path.join(h, "old.txt"), "OK", "to", os.path.join(h, "new.txt")] + tail]
    assert [r[:5] + r[5:8] for r in items(s, "D")] == [["D", os.path.join(h, "gone.txt"), "OK", "", ""] + tail]
    made = [r[1] for r in items(s, "M")]
    assert os.path.join(h, "n1", "n2") in made and len(made) <= 2


# ---- lftp ---------------------------------------------------------------------------------------

def test_lftp_mirrors_a_tree_up_and_deletes_what_went(server, users, zorvad_dir):
    s, u = user_server(server, users)
    src = os.path.join(zorvad_dir, "src")
    write_file(os.path.join(src, "a.txt"), b"a\n" * 100)
    write_file(os.path.join(src, "sub", "b.txt"), b"b\n" * 200)
    write_file(os.path.join(src, "sub", "deep", "c.txt"), b"c\n" * 300)
    write_file(os.path.join(src, "sub", "deep", "d.txt"), b"d\n")
    os.symlink("a.txt", os.path.join(src, "la"))
    os.symlink("sub", os.path.join(src, "lsub"))
    dest = os.path.join(u.home, "dest")

    r = lftp(s.port, "mirror -R --dereference %s /dest" % src, user=u, cwd=zorvad_dir)
    assert r.returncode == 0, r.stderr
    for rel in ("a.txt", "sub/b.txt", "sub/deep/c.txt", "sub/deep/d.txt"):
        with open(os.path.join(src, rel), "rb") as a, open(os.path.join(dest, rel), "rb") as b:
            assert a.read() == b.read(), rel
    # Links go up as what they point to (SITE SYMLINK is not there).
    assert os.path.isdir(os.path.join(dest, "sub", "deep"))
    assert os.path.isfile(os.path.join(dest, "la")) and os.path.isfile(os.path.join(dest, "lsub", "deep", "c.txt"))

    # What went locally goes on the server: files by DELE, directories by RMD.
    os.unlink(os.path.join(src, "a.txt"))
    os.unlink(os.path.join(src, "la"))
    for n in ("c.txt", "d.txt"):
        os.unlink(os.path.join(src, "sub", "deep", n))
    os.rmdir(os.path.join(src, "sub", "deep"))
    r = lftp(s.port, "mirror -R --dereference --delete %s /dest" % src, user=u, cwd=zorvad_dir)
    assert r.returncode == 0, r.stderr
    for gone in ("a.txt", "la", "sub/deep", "lsub/deep"):
        assert not os.path.exists(os.path.join(dest, gone)), gone
    assert os.path.isfile(os.path.join(dest, "sub", "b.txt"))
    # The logger writes what the session sends it on its own time.
    wanted = {os.path.join(dest, rel) for rel in ("a.txt", "sub/deep/c.txt", "sub/deep")}
    assert wait_for(lambda: wanted <= {r[1] for r in items(s, "D")}), items(s, "D")

    # And down again: a stale local copy loses what the server no longer has.
    copy = os.path.join(zorvad_dir, "copy")
    write_file(os.path.join(copy, "stale.txt"), b"stale\n")
    r = lftp(s.port, "mirror --delete /dest %s" % copy, user=u, cwd=zorvad_dir)
    assert r.returncode == 0, r.stderr
    assert not os.path.exists(os.path.join(copy, "stale.txt"))
    assert tree_digest(os.path.join(copy, "sub")) == tree_digest(os.path.join(dest, "sub"))


def test_a_rename_moves_or_replaces_a_link_itself_never_what_it_points_to(server, users):
    """A user's RNFR of a link moves the link; an RNTO onto a link replaces
    the link: the files they point to stay as they were."""
    s, u = user_server(server, users)
    for name, data in (("a.txt", b"a"), ("b.txt", b"b"), ("c.txt", b"c")):
        write_file(os.path.join(u.home, name), data)
    os.symlink("a.txt", os.path.join(u.home, "ln"))
    os.symlink("c.txt", os.path.join(u.home, "lt"))
    for n in ("a.txt", "b.txt", "c.txt", "ln", "lt"):
        os.lchown(os.path.join(u.home, n), u.uid, u.gid)
    c = s.greeted()
    user_login(c, u)
    assert c.command("RNFR ln").startswith("350 ")
    assert c.command("RNTO moved").startswith("250 ")
    assert os.readlink(os.path.join(u.home, "moved")) == "a.txt"
    assert not os.path.lexists(os.path.join(u.home, "ln"))
    assert c.command("RNFR b.txt").startswith("350 ")
    assert c.command("RNTO lt").startswith("250 ")
    assert not os.path.islink(os.path.join(u.home, "lt"))
    for name, data in (("a.txt", b"a"), ("lt", b"b"), ("c.txt", b"c")):
        with open(os.path.join(u.home, name), "rb") as f:
            assert f.read() == data, name


def test_names_that_begin_with_blanks_are_fetched_and_entered(server, users, zorvad_dir):
    """A user's files and directories whose names begin with blanks: lftp
    mirrors every one down byte for byte (each RETR and CWD names them after
    one separator), and words that take no name still allow extra blanks."""
    s, u = user_server(server, users)
    names = [" one", "  two", "\tthree", "plain"]
    for n in names:
        write_file(os.path.join(u.home, "tree", n), n.encode() * 50)
        write_file(os.path.join(u.home, "tree", " dir" + n, n), b"inner" + n.encode())
    for dirpath, dirnames, filenames in os.walk(os.path.join(u.home, "tree")):
        for n in dirnames + filenames:
            os.chown(os.path.join(dirpath, n), u.uid, u.gid)
    copy = os.path.join(zorvad_dir, "copy")
    r = lftp(s.port, "mirror /tree %s" % copy, user=u, cwd=zorvad_dir)
    assert r.returncode == 0, r.stderr
    assert tree_digest(copy) == tree_digest(os.path.join(u.home, "tree"))
    assert len(tree_digest(copy)) == 2 * len(names)

    c = s.greeted()
    user_login(c, u)
    assert c.command("CWD tree").startswith("250 ")
    assert c.command("SIZE  one") == "213 200\r\n"
    assert c.command("SIZE one").startswith("550 ")
    assert c.command("CWD  dirplain").startswith("250 ")
    assert c.command("TYPE  I").startswith("200 ")
    assert c.command("NOOP\t ").startswith("200 ")


# ---- Reply texts (ftplib) -----------------------------------------------------------------------

def say(f, line):
    try:
        return f.sendcmd(line)
    except ftplib.Error as e:
        return str(e)


def tree(h):
    write_file(os.path.join(h, "t", "f.txt"), b"f\n")
    write_file(os.path.join(h, "t", "sub", "g.txt"), b"g" * 10)
    os.symlink("f.txt", os.path.join(h, "t", "lf"))
    os.symlink("/", os.path.join(h, "t", "lroot"))   # never followed: the link goes, not /


def lf_text(h):
    # 200000 bytes holding 1000 bare line feeds, and a CR LF pair split
    # where the file is read in two pieces (65535 bytes each).
    head = b"x" * 65534 + b"\r\n"
    write_file(os.path.join(h, "text.txt"), head + (b"x" * 133 + b"\n") * 999 + b"x" * 597 + b"\n")


TEXT_CASES = {
    "rmd-tree-without-recursive": ("", tree, [("RMD t", "550 Directory is not empty.")]),
    "rmd-tree-recursive": ("rmdir-recursive = yes\n", tree, [("RMD t", "250 Directory removed.")]),
    "rmd-link-to-directory": ("", lambda h: (os.makedirs(os.path.join(h, "d")),
                                            os.symlink("d", os.path.join(h, "ld"))),
                              [("RMD ld", "250 Symbolic link to directory removed."),
                               ("MDTM d", re.compile(r"^212 \d{14}$"))]),
    "rnto-without-rnfr": ("", lambda h: None, [("RNTO b", "503 Bad sequence of commands."),
                                               ("RNFR missing", "550 No such file or directory."),
                                               ("RNTO b", "503 Bad sequence of commands.")]),
    "size-type-a": ("", lf_text, [("TYPE A", "200 Type okay."), ("SIZE text.txt", "213 201000"),
                                  ("TYPE I", "200 Type okay."), ("SIZE text.txt", "213 200000"),
                                  ("SIZE .", "550 Not applicable for a directory.")]),
    "times": ("", lambda h: write_file(os.path.join(h, "f"), b"f"),
              [("MFMT 20210102030405 f", "213 20210102030405 f"), ("MDTM f", "213 20210102030405"),
               # Dates no calendar has are refused, not moved to another day.
               ("MFMT 20211301000000 f", "501 Syntax error in parameters."),
               ("MFMT 20210230000000 f", "501 Syntax error in parameters."),
               ("MFMT 20210101240000 f", "501 Syntax error in parameters."),
               ("MDTM 20210230000000 f", "501 Syntax error in parameters."),
               ("MFMT 20240229120000 f", "213 20240229120000 f"), ("MDTM f", "213 20240229120000"),
               ("MDTM 20200102 f", "250 Timestamps changed."), ("MDTM f", "213 20200102000000"),
               ("MFMT 2021 f", "501 Syntax error in parameters.")]),
    "noop-and-rest": ("noop-delay = 0\n", lambda h: None,
                      [("NOOP", re.compile(r"^200 No-op okay\. Your session will timeout in "
                                           r"(1 minute and 0 seconds|59 seconds)\.$")),
                       ("REST -5", "501 Syntax error in parameters.")]),
}


@pytest.mark.parametrize("case", sorted(TEXT_CASES))
def test_reply_texts(server, users, case):
    general, setup, dialogue = TEXT_CASES[case]
    s, u = user_server(server, users, general)
    setup(u.home)
    own(u, u.home)
    f = s.ftp()
    f.login(u.name, u.password)
    started = time.monotonic()
    for line, expected in dialogue:
        got = say(f, line)
        if isinstance(expected, str):
            assert got == expected, line
        else:
            assert expected.match(got), (line, got)
    if case == "size-type-a":   # the ASCII size past 100 KiB is answered after a pause
        assert time.monotonic() - started >= 2.0
    if case == "times":
        assert os.stat(os.path.join(u.home, "f")).st_mtime == calendar.timegm((2020, 1, 2, 0, 0, 0))
    if case == "rmd-link-to-directory":
        assert os.path.isdir(os.path.join(u.home, "d")) and not os.path.lexists(os.path.join(u.home, "ld"))
    if case == "rmd-tree-recursive":
        t = os.path.join(u.home, "t")
        assert not os.path.lexists(t) and os.path.isdir("/etc")
        removed = sorted(r[1] for r in wait_records(s, 6) if r[0] == "D")
        assert removed == sorted(os.path.join(t, n) if n else t for n in ("", "f.txt", "lf", "lroot", "sub", "sub/g.txt"))
    if case == "rmd-tree-without-recursive":
        assert os.path.isfile(os.path.join(u.home, "t", "sub", "g.txt"))


@pytest.mark.parametrize("inside", [True, False], ids=["allowed", "refused"])
def test_anonymous_mkdir_in_incoming_takes_its_owner_and_mode(server, inside):
    s = server(general="a-allow-mkdir-inside-incoming = %s\n" % ("yes" if inside else "no"), domain=domain())
    incoming = os.path.join(s.dir, "ftp", "incoming")
    os.makedirs(incoming)
    os.chmod(incoming, 0o773)
    os.chown(incoming, 65534, 65534)
    f = s.ftp()
    f.login("anonymous", "joe@example.com")
    assert say(f, "MKD /pub") == DENIED.strip()
    if not inside:
        assert say(f, "MKD /incoming/a/b") == DENIED.strip()
        assert os.listdir(incoming) == []
        return
    assert say(f, "MKD /incoming/a/b") == '257 "/incoming/a/b" directory created.'
    for d in ("a", "a/b"):
        st = os.stat(os.path.join(incoming, d))
        assert (st.st_uid, st.st_gid, st.st_mode & 0o777) == (65534, 65534, 0o773), d
    assert say(f, "MKD /incoming/a/b") == "521 Directory already exists."
    assert [r[1] for r in wait_records(s, 1) if r[0] == "M"] == [os.path.join(incoming, "a", "b")]


def test_a_quote_in_a_directory_name_is_doubled_so_a_client_reads_the_whole_name(server):
    """A remote client names a directory with double quotes in it: the 257
    replies of MKD and PWD double them, and the client's parser reads the
    whole name back."""
    s = server(general="a-allow-mkdir-inside-incoming = yes\n", domain=domain())
    incoming = os.path.join(s.dir, "ftp", "incoming")
    os.makedirs(incoming)
    os.chmod(incoming, 0o773)
    os.chown(incoming, 65534, 65534)
    f = s.ftp()
    f.login("anonymous", "joe@example.com")
    assert say(f, 'MKD /incoming/say "hi"') == '257 "/incoming/say ""hi""" directory created.'
    f.cwd('/incoming/say "hi"')
    assert f.pwd() == '/incoming/say "hi"'


# ---- A directory swapped for a link after the check --------------------------------------------

def test_a_directory_swapped_for_a_link_is_refused_by_dele_rmd_and_rnto(server, users, zorvad_dir):
    s, u = user_server(server, users)
    h = u.home
    write_file(os.path.join(h, "rel", "file"), b"inside\n")
    os.makedirs(os.path.join(h, "rel", "sub"))
    write_file(os.path.join(h, "box", "mine.txt"), b"mine\n")
    outside = os.path.join(zorvad_dir, "outside")
    write_file(os.path.join(outside, "file"), b"secret\n")
    os.makedirs(os.path.join(outside, "sub"))
    own(u, h)
    own(u, outside)
    # Only root can replace "rel" (the home is root's), so the session may
    # trust what it learnt of it; the administrator then swaps it.
    os.chown(h, 0, 0)

    c = s.greeted()
    user_login(c, u)
    # The session learns "rel" as a directory.
    assert c.command("CWD /rel").startswith("250 ")
    assert c.command("CWD /").startswith("250 ")
    d = open_pasv(c)
    with d:
        assert c.command("LIST rel").startswith("150")
        assert b" file\r\n" in read_all(d)
    assert c.reply().startswith("226 ")

    os.rename(os.path.join(h, "rel"), os.path.join(h, "rel.old"))
    os.symlink(outside, os.path.join(h, "rel"))

    assert c.command("DELE rel/file") == DENIED
    assert c.command("RMD rel/sub") == DENIED
    assert c.command("RNFR box/mine.txt").startswith("350 ")
    assert c.command("RNTO rel/mine.txt") == DENIED
    assert sorted(os.listdir(outside)) == ["file", "sub"]
    assert os.path.isfile(os.path.join(h, "box", "mine.txt"))
    # Each of the three was refused at use, by the door, not by the check.
    assert wait_for(lambda: s.log().count("holds a link it did not hold when checked") >= 3), s.log()
    assert not items(s, "D") and not items(s, "N")
