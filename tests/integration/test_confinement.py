"""Confinement: every way out of the user's tree is answered
"553 Permission denied." -- climbing with "..", links that point outside,
backslashes, dot files and odd bytes under the pathname filter, /etc for
users other than root, links nested too deep, and a directory swapped for
a link while sessions run."""
import os

import pytest

from accounts import users, write_passwd_db  # noqa: F401 (fixture)
from conftest import wait_for
from xferhelp import open_pasv, read_all, retr

DENIED = "553 Permission denied.\r\n"
DOMAIN = "set-name = test\nserver-name = testhost\nftp-home = {dir}/ftp\n"


def cwd_ok(path):
    return '250 "%s" is new cwd.\r\n' % path


def anonymous_session(server, general=""):
    s = server(general=general)
    ftp = os.path.join(s.dir, "ftp")
    os.makedirs(os.path.join(ftp, "pub", "sub"))
    c = s.greeted()
    c.command("USER anonymous")
    assert c.command("PASS joe@example.com").startswith("230 ")
    return s, ftp, c


def account_session(server, user, general=""):
    c = server(general=general).greeted()
    c.command("USER " + user.name)
    assert c.command("PASS " + user.password).startswith("230 ")
    return c


# ---- Anonymous users ------------------------------------------------------------------------

def test_climbing_out_of_the_anonymous_root(server):
    _, _, c = anonymous_session(server)
    assert c.command("CWD pub") == cwd_ok("/pub")
    for path in ("../..", "/../../etc", "..", "/..", "sub/../../../etc", "~/../.."):
        if path == "..":
            assert c.command("CWD /") == cwd_ok("/")
        assert c.command("CWD " + path) == DENIED, path
    assert c.command("CDUP") == DENIED
    assert c.command("PWD") == '257 "/" is cwd.\r\n'


def test_links_may_lead_within_the_root_but_not_out_of_it(server, zorvad_dir):
    s, ftp, c = anonymous_session(server)
    os.symlink("/etc", os.path.join(ftp, "etc"))
    os.symlink(zorvad_dir, os.path.join(ftp, "pub", "up"))
    os.symlink("pub/sub", os.path.join(ftp, "inside"))
    os.symlink("../sub", os.path.join(ftp, "pub", "sub", "again"))
    assert c.command("CWD etc") == DENIED
    assert c.command("CWD /pub/up") == DENIED
    assert c.command("CWD /pub/up/s0") == DENIED
    assert c.command("CWD /inside") == cwd_ok("/pub/sub")
    assert c.command("CWD again") == cwd_ok("/pub/sub")


def test_backslashes_are_no_way_out_with_or_without_the_setting(server):
    _, _, c = anonymous_session(server)
    assert c.command("CWD pub\\sub") == DENIED                # the filter refuses the character
    assert c.command("CWD ..\\..\\etc") == DENIED
    _, _, c = anonymous_session(server, general="allow-backslash-as-path-separator = yes\n")
    assert c.command("CWD pub\\sub") == cwd_ok("/pub/sub")
    assert c.command("CWD ..\\..\\..\\etc") == DENIED
    assert c.command("CWD \\..\\..") == DENIED


@pytest.mark.parametrize("name", [b".hidden", b"a\tb", b"x ", b"\xc0\xaf", b"\xe2\x82"])
def test_the_pathname_filter_refuses_odd_names(server, name):
    s, ftp, c = anonymous_session(server)
    os.makedirs(os.path.join(os.fsencode(ftp), b"pub", name))
    c.send(b"CWD /pub/" + name + b"\r\n")
    assert c.reply() == DENIED


def test_the_pathname_filter_lets_valid_utf8_through(server):
    s, ftp, c = anonymous_session(server)
    os.makedirs(os.path.join(ftp, "pub", "caf\u00e9"))
    c.send("CWD /pub/caf\u00e9\r\n".encode())
    assert c.reply().encode("latin-1") == b'250 "/pub/caf\xc3\xa9" is new cwd.\r\n'


def test_seven_nested_links_resolve_and_eight_do_not(server):
    s, ftp, c = anonymous_session(server)
    os.symlink("pub", os.path.join(ftp, "l1"))
    for n in range(2, 9):
        os.symlink("l%d" % (n - 1), os.path.join(ftp, "l%d" % n))
    assert c.command("CWD /l7") == cwd_ok("/pub")
    assert c.command("CWD /l8") == DENIED


# ---- Users with an account ----------------------------------------------------------------------

def test_a_restricted_user_stays_in_the_home(server, users, zorvad_dir):
    u = users()
    os.makedirs(os.path.join(u.home, "docs"))
    os.symlink(zorvad_dir, os.path.join(u.home, "out"))
    c = account_session(server, u)
    assert c.command("CWD docs") == cwd_ok("/docs")
    for path in ("../..", "/..", "~/..", "/out", "/docs/../../.."):
        assert c.command("CWD " + path) == DENIED, path
    assert c.command("PWD") == '257 "/docs" is cwd.\r\n'


def test_etc_is_closed_to_users_other_than_root(server, users):
    u = users()
    c = account_session(server, u, general="u-restricted-groups = %d\nu-restrict-mode = none\n" % u.gid)
    assert c.command("CWD /etc/default") == DENIED
    assert c.command("CWD /etc/../etc/default") == DENIED
    assert c.command("CWD /etc") == cwd_ok("/etc")             # only what lies below it
    assert c.command("CWD default") == DENIED
    assert c.command("CWD /usr") == cwd_ok("/usr")


def test_the_user_filter_applies_when_switched_on(server, users):
    u = users()
    os.makedirs(os.path.join(u.home, ".config"))
    c = account_session(server, u)
    assert c.command("CWD .config") == cwd_ok("/.config")
    c = account_session(server, u, general="u-pathname-filter = yes\n")
    assert c.command("CWD .config") == DENIED


def test_a_virtual_user_stays_in_the_home(server, zorvad_dir):
    home = os.path.join(zorvad_dir, "vhome")
    os.makedirs(os.path.join(home, "docs"))
    db = os.path.join(zorvad_dir, "db", "passwd.db")
    write_passwd_db(db, "vera:{plain}s3cret:65534:65534::%s:/bin/sh" % home)
    c = server(domain=DOMAIN + "passwd = %s\n" % db).greeted()
    c.command("USER vera")
    assert c.command("PASS s3cret") == "230 Restricted user logged in.\r\n"
    assert c.command("CWD docs") == cwd_ok("/docs")
    assert c.command("CWD ../..") == DENIED
    assert c.command("CWD /../../..%s" % zorvad_dir) == DENIED


# ---- The tree changed under a running child ---------------------------------------------------

ONE_CHILD = "min-users = 1\nmax-users = 1\n"
SECRET = b"kept outside the area\n"


def anonymous_area(server, zorvad_dir):
    s = server(general=ONE_CHILD)
    return s, os.path.join(s.dir, "ftp"), ("anonymous", "joe@example.com"), "~ftp"


def virtual_user_area(server, zorvad_dir):
    home = os.path.join(zorvad_dir, "vhome")
    os.makedirs(home)
    db = os.path.join(zorvad_dir, "db", "passwd.db")
    write_passwd_db(db, "vera:{plain}s3cret:65534:65534::%s:/bin/sh" % home)
    s = server(general=ONE_CHILD, domain=DOMAIN + "passwd = %s\n" % db)
    return s, home, ("vera", "s3cret"), "~"


def write_file(path, data):
    with open(path, "wb") as f:
        f.write(data)
    os.chmod(path, 0o644)


def listing(c, arg):
    """LIST over a passive connection: the listing text, or the refusal."""
    d = open_pasv(c)
    with d:
        first = c.command("LIST " + arg)
        if not first.startswith(("125", "150")):
            return first
        data = read_all(d)
    assert c.reply() == "226 Listing completed.\r\n"
    return data.decode("latin-1")


def login(s, name, password):
    c = s.greeted()
    c.command("USER " + name)
    assert c.command("PASS " + password).startswith("230 ")
    assert c.command("TYPE I").startswith("200 ")
    return c


def refused_every_way(c):
    first, data, _ = retr(c, "rel/secret")
    assert (first, data) == (DENIED, None)
    assert c.command("CWD rel") == DENIED
    assert listing(c, "rel") == DENIED
    assert c.command("PWD") == '257 "/" is cwd.\r\n'


@pytest.mark.parametrize("area", [anonymous_area, virtual_user_area], ids=["anonymous", "virtual"])
def test_a_directory_swapped_for_a_link_out_is_refused_then_and_in_later_sessions(server, zorvad_dir, area):
    s, root, (name, password), home_word = area(server, zorvad_dir)
    os.makedirs(os.path.join(root, "rel"), mode=0o755)
    write_file(os.path.join(root, "rel", "file"), b"inside\n")
    outside = os.path.join(zorvad_dir, "outside")
    os.makedirs(outside, mode=0o755)
    write_file(os.path.join(outside, "secret"), SECRET)

    c = login(s, name, password)
    child = s.slot(1)["pid"]
    assert c.command("CWD /rel") == cwd_ok("/rel")
    assert c.command("CWD /") == cwd_ok("/")
    assert " file\r\n" in listing(c, "rel")
    assert retr(c, "rel/file")[1] == b"inside\n"

    # The administrator swaps in a new release: the directory goes aside
    # and a link out of the area takes its name.
    os.rename(os.path.join(root, "rel"), os.path.join(root, "rel.old"))
    os.symlink(outside, os.path.join(root, "rel"))

    # This session's checks still know "rel" as a directory; using the
    # checked name must not follow the link.
    refused_every_way(c)
    assert wait_for(lambda: "[%s/rel/secret] holds a link it did not hold when checked.\n" % root in s.log())
    assert c.command("QUIT").startswith("221")

    # The next session on the same child checks afresh.
    c = login(s, name, password)
    assert s.slot(1)["pid"] == child
    refused_every_way(c)
    assert wait_for(lambda: "[%s/secret] not in %s=[%s]\n" % (outside, home_word, root) in s.log()), s.log()


# ---- Moving or removing what holds a refused entry ---------------------------------------------

def test_a_remote_client_cannot_expose_or_remove_a_denied_entry_through_its_parent(server, users):
    """A remote client renames, or removes whole, the directory above a
    deny-paths entry, and renames a directory over one that holds it: each
    is refused as the entry itself is, and the entry stays where it was."""
    u = users()
    secret = os.path.join(u.home, "area", "secret")
    os.makedirs(secret)
    os.makedirs(os.path.join(u.home, "empty"))
    with open(os.path.join(secret, "x"), "wb") as f:
        f.write(b"hidden\n")
    for root, dirs, files in os.walk(u.home):
        for name in dirs + files + [""]:
            os.chown(os.path.join(root, name), u.uid, u.gid)
    c = account_session(server, u, general="deny-paths = %s\nrmdir-recursive = yes\n" % secret)
    assert c.command("TYPE I").startswith("200 ")
    assert retr(c, "area/secret/x")[0] == DENIED
    assert c.command("RMD area") == DENIED
    assert c.command("RNFR area") == DENIED
    assert c.command("RNFR empty").startswith("350 ")
    assert c.command("RNTO area") == DENIED
    assert c.command("RNFR area/secret") == DENIED
    with open(os.path.join(secret, "x"), "rb") as f:
        assert f.read() == b"hidden\n"
    # Beside the denied entry, the directory's other content is the client's own.
    assert c.command("RNFR empty").startswith("350 ")
    assert c.command("RNTO empty2") == "250 Renamed.\r\n"
