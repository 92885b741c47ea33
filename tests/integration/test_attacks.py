"""The attack corpus: a table of attempts to leave a user's area or to reach
what the configuration denies, each run in its own session against one real
daemon, and each asserting the refusal it must get.

The area is the home of a restricted virtual user.  Beside it lie a "secret"
tree and a look-alike sibling ("home-sick"); inside it a deny-paths entry
("private") holds a copy of the secret.  Every secret file holds a marker,
its name holds the marker, its size and its date are odd values: none of
these may ever reach the client, on the control connection or on a data
connection.  Nothing outside the area may change.
"""
import ctypes
import gzip
import io
import os
import re
import secrets
import shutil
import signal
import socket
import subprocess
import tempfile
import threading
import zipfile
from concurrent.futures import ThreadPoolExecutor

import pytest

from accounts import write_passwd_db
from conftest import ZORVAD, Control, Server, free_port, listening, processes_with, \
    shm_remove, wait_for, write_configs
from xferhelp import PASV_REPLY, read_all

MARK = "zq" + secrets.token_hex(5)
SECRET = ("SECRET-%s\n" % MARK).encode()
SECRET_SIZE = 7919                       # a size no reply may name
SECRET_TIME = 915246245                  # 1999-01-02 03:04:05 UTC, a date no reply may name
LEAKS = [MARK.encode(), b"7919", b"19990102", b"Jan  2  1999"]

DATA_WORDS = {"RETR", "STOR", "APPE", "STOU", "LIST", "NLST", "MLSD"}
UPLOAD_WORDS = {"STOR", "APPE", "STOU"}
DENIED = r"553 Permission denied\.\r\n"
OVERFLOW = r"550 Your anti-social behavior has been logged\.  You will now be disconnected\.\r\n"
UNKNOWN = r"500 Syntax error, command unrecognized\.\r\n"
NO_DIR = r"550 No such directory\.\r\n"
NO_FILE = r"550 No such file or directory\.\r\n"
LOGIN_FIRST = r"550 Login first, then I might let you do that\.\r\n"
BAD_SEQUENCE = r"503 Bad sequence of commands\.\r\n"


class Raw(bytes):
    """Bytes sent exactly as given; `replies` replies are read back."""
    def __new__(cls, data, replies=1):
        obj = super().__new__(cls, data)
        obj.replies = replies
        return obj


# ---- The table ----------------------------------------------------------------------------
# A row: (name, steps, expected last reply (regex), the session must end).
# Steps are command lines (a data command gets a passive connection of its
# own) or Raw bytes.  "nologin" rows start without logging in.

# Every way out of the area, as a directory ...
WAYS = {
    "dotdot": "../secret",
    "root-dotdot": "/../secret",
    "deep-dotdot": "pub/deep/../../../secret",
    "tilde": "~/../secret",
    "link-relative": "lnk-rel",
    "link-absolute": "lnk-abs",
    "link-chained": "lnk-chain",
    "look-alike-sibling": "lnk-sick",
    "deny": "private",
    "deny-respelled": "//pub/..//./private",
    "deny-by-link": "lnk-priv",
    "deny-relative": "pub/deep/../../private",
}
# ... and as a file (a link to a file included).
FILE_WAYS = dict({k: v + "/hush.txt" for k, v in WAYS.items()}, **{"link-to-file": "lnk-file"})

FILE_COMMANDS = [
    "RETR {}", "SIZE {}", "MDTM {}", "MDTM 20000101000000 {}", "MFMT 20000101000000 {}",
    "MLST {}", "STAT {}", "SITE CHMOD 666 {}", "SITE UTIME {} 20000101000000 20000101000000",
    "DELE {}", "RNFR {}", "STOR {}", "APPE {}",
]
DIR_COMMANDS = [
    "CWD {}", "XCWD {}", "LIST {}", "LIST -R {}", "NLST {}", "NLST {}/*", "MLSD {}",
    "MKD {}/new", "RMD {}/sub", "RETR {}.tar", "RETR {}.tar.gz", "RETR {}.zip",
    "SITE DF {}", "SITE SYMLINK {}/hush.txt lk", "SITE SYMLINK /pub/file.txt {}/lk",
]

ROWS = []
for way, path in FILE_WAYS.items():
    for cmd in FILE_COMMANDS:
        ROWS.append((cmd.format("<%s>" % way), [cmd.format(path)], DENIED, False))
for way, path in WAYS.items():
    for cmd in DIR_COMMANDS:
        ROWS.append((cmd.format("<dir-%s>" % way), [cmd.format(path)], DENIED, False))
    ROWS.append(("RNTO:dir-" + way, ["RNFR pub/file.txt", "RNTO %s/moved" % path], DENIED, False))

PAD = "./" * 400
ROWS += [
    # Out of order: a refused source is no source; climbing by steps.
    ("RNTO:without-RNFR", ["RNTO pub/stolen"], BAD_SEQUENCE, False),
    ("RNTO:after-refused-RNFR", ["RNFR lnk-file", "RNTO pub/stolen"], BAD_SEQUENCE, False),
    ("RNTO:after-refused-deny-RNFR", ["RNFR private/hush.txt", "RNTO pub/stolen"], BAD_SEQUENCE, False),
    ("RNTO:after-CWD", ["CWD pub", "RNFR file.txt", "CWD deep", "RNTO ../../../secret/moved"], DENIED, False),
    ("CDUP:past-the-root", ["CWD pub", "CDUP", "CDUP"], DENIED, False),
    ("CWD:step-by-step", ["CWD pub/deep", "CWD ..", "CWD ..", "CWD .."], DENIED, False),
    ("RETR:from-a-subdirectory", ["CWD pub", "RETR ../../secret/hush.txt"], DENIED, False),
    ("STOR:after-REST", ["TYPE I", "REST 5", "STOR lnk-file"], DENIED, False),
    ("RETR:after-REST-in-ascii", ["TYPE A", "REST 1", "RETR private/hush.txt"], DENIED, False),
    ("RETR:before-PASS", ["USER vera", "RETR ../secret/hush.txt"], LOGIN_FIRST, False, "nologin"),
    ("CWD:after-failed-PASS", ["USER vera", "PASS wrong", "CWD ../secret"], LOGIN_FIRST, False, "nologin"),
    ("PASS:before-USER", ["PASS s3cret", "CWD ../secret"], LOGIN_FIRST, False, "nologin"),
    ("SITE:before-login", ["SITE CHMOD 666 ../secret/hush.txt"], LOGIN_FIRST, False, "nologin"),
    ("LIST:before-login", ["LIST ../secret"], LOGIN_FIRST, False, "nologin"),
    ("REIN:then-CWD", ["REIN", "CWD ../secret"], DENIED, False),
    ("NLST:climbing-pattern", ["NLST ../*"], DENIED, False),
    ("NLST:climbing-pattern-deeper", ["NLST ../*/*"], DENIED, False),
    ("NLST:link-pattern", ["NLST lnk-*/*"], r"(226|55\d) .*\r\n", False),
    # Listings that succeed must leave out what lies behind links and denials.
    ("NLST:every-subdirectory", ["NLST */*"], r"(226|550) .*\r\n", False),
    ("NLST:pattern-into-deny", ["NLST p*/h*"], r"(226|550) .*\r\n", False),
    ("NLST:recursive", ["NLST -R"], r"226 .*\r\n", False),
    ("LIST:recursive-root", ["LIST -laR /"], r"226 .*\r\n", False),
    ("LIST:recursive-pattern", ["LIST -R *"], r"226 .*\r\n", False),
    ("LIST:recursive-climb", ["LIST -R pub/.."], r"226 .*\r\n", False),
    ("LIST:links-followed", ["LIST -lL lnk-*"], r"226 .*\r\n", False),
    ("LIST:link-out-by-a-climb", ["LIST -lL lnk-twist"], NO_FILE, False),
    ("LIST:link-made-to-climb", ["SITE SYMLINK lnk-rel/../secret/hush.txt lk-twist", "LIST -lL lk-twist"],
     NO_FILE, False),
    ("RETR:link-out-by-a-climb", ["RETR lnk-twist"], r"550 No such file\.\r\n", False),
    # Links that lead to nothing yet: what would be made through them lies outside.
    ("STOR:dangling-link", ["STOR lnk-dangle"], DENIED, False),
    ("STOU:dangling-link", ["STOU lnk-dangle"], DENIED, False),
    ("MKD:dangling-link", ["MKD lnk-dangle"], DENIED, False),
    ("MKD:dangling-link-into-deny", ["MKD lnk-dangle-deny"], DENIED, False),
    ("RNTO:dangling-link", ["RNFR pub/file.txt", "RNTO lnk-dangle"], DENIED, False),
    ("SITE SYMLINK:over-a-dangling-link", ["SITE SYMLINK pub/file.txt lnk-dangle"], DENIED, False),
    ("STOR:dangling-link-into-deny", ["STOR lnk-dangle-deny"], DENIED, False),
    ("MLSD:root", ["MLSD /"], r"226 .*\r\n", False),
    ("RETR:archive-of-the-area", ["TYPE I", "RETR pub/...tar"], r"(226|550) .*\r\n", False),
    ("RETR:archive-of-the-area-zip", ["TYPE I", "RETR /.zip"], r"(226|550) .*\r\n", False),
    ("RETR:archive-of-the-area-gz", ["TYPE I", "CWD pub", "RETR ..tar.gz"], r"(226|550) .*\r\n", False),
    # Encoded and overlong names are names, not ways out.
    ("CWD:percent-encoded", ["CWD %2e%2e/secret"], NO_DIR, False),
    ("CWD:percent-encoded-slash", ["CWD ..%2fsecret"], NO_DIR, False),
    ("CWD:overlong-utf8-dots", [Raw(b"CWD \xc0\xae\xc0\xae/secret\r\n")], NO_DIR, False),
    ("CWD:overlong-utf8-slash", [Raw(b"CWD ..\xc0\xafsecret\r\n")], NO_DIR, False),
    ("CWD:overlong-utf8-3byte", [Raw(b"CWD \xe0\x80\xae\xe0\x80\xae/secret\r\n")], NO_DIR, False),
    ("CWD:backslashes", ["CWD ..\\secret"], NO_DIR, False),
    ("CWD:three-dots", ["CWD .../secret"], NO_DIR, False),
    ("CWD:tilde-name", ["CWD ~vera/../../secret"], DENIED, False),
    ("CWD:out-and-back-in", ["CWD ../home/../secret"], DENIED, False),
    ("CWD:look-alike-sibling", ["CWD ../home-sick"], DENIED, False),
    ("CWD:no-blank", ["CWD../secret"], DENIED, False),
    ("SIZE:no-blank", ["SIZElnk-file"], DENIED, False),
    ("CWD:lower-case-word", ["cWd lnk-rel"], DENIED, False),
    ("CWD:tab-separated", [Raw(b"CWD\t../secret\r\n")], DENIED, False),
    # NUL, control bytes and Telnet sequences.
    ("CWD:NUL-is-dropped", [Raw(b"CWD pub\x00/../../secret\r\n"), "PWD"], r'257 "/" is cwd\.\r\n', False),
    ("CWD:NUL-inside-a-name", [Raw(b"CWD lnk-rel\x00pub\r\n")], NO_DIR, False),
    ("CWD:NUL-first", [Raw(b"\x00\x00CWD lnk-rel\r\n")], DENIED, False),
    ("CWD:trailing-controls", [Raw(b"CWD ../secret\x01\x00\r\n")], DENIED, False),
    ("CWD:leading-control", [Raw(b"CWD \x01../secret\r\n")], NO_DIR, False),
    ("CWD:escape-sequence", [Raw(b"CWD ../secret\x1b[2J\r\n")], DENIED, False),
    ("CWD:bare-CR-inside", [Raw(b"NOOP\rCWD lnk-rel\r\n"), "PWD"], r'257 "/" is cwd\.\r\n', False),
    ("CWD:bare-LF", [Raw(b"CWD lnk-rel\n")], DENIED, False),
    ("CWD:pipelined", [Raw(b"CWD pub\r\nCWD ../..\r\nCWD ../lnk-rel\r\n", 3)], DENIED, False),
    ("CWD:telnet-IP-DM", [Raw(b"\xff\xf4\xff\xf2CWD lnk-rel\r\n")], DENIED, False),
    ("CWD:telnet-IAC-IAC", [Raw(b"\xff\xffCWD lnk-rel\r\n")], DENIED, False),
    ("CWD:telnet-only", [Raw(b"\xff\xf4\xff\xf2\r\n")], UNKNOWN, False),
    ("CWD:telnet-DO", [Raw(b"\xff\xfdCWD ../secret\r\n")], UNKNOWN, False),
    ("CWD:telnet-inside-word", [Raw(b"C\xff\xf4WD ../secret\r\n")], UNKNOWN, False),
    ("CWD:telnet-inside-path", [Raw(b"CWD \xff\xf4../secret\r\n")], NO_DIR, False),
    ("CWD:telnet-after-path", [Raw(b"CWD ../secret\xff\xf2\r\n")], DENIED, False),
    # Overlong lines at every buffer edge (the line with its line feed).
    ("RETR:733-bytes", ["RETR " + (PAD[:727 - 18 - 1] + "/../secret/hush.txt")[-727:]], r"55[03] .*\r\n", False),
    ("CWD:734-bytes", [Raw(b"CWD " + b"x" * 729 + b"\n")], OVERFLOW, True),
    ("CWD:734-bytes-and-a-CR", [Raw(b"CWD " + b"x" * 729 + b"\r\n")], OVERFLOW, True),
    ("CWD:733-bytes-and-CRs", [Raw(b"CWD " + b"\r" * 9 + b"x" * 728 + b"\r\n")], DENIED, False),
    ("CWD:735-bytes", [Raw(b"CWD " + b"x" * 730 + b"\n")], OVERFLOW, True),
    ("CWD:1024-bytes", [Raw(b"CWD " + b"x" * 1019 + b"\n")], OVERFLOW, True),
    ("CWD:1025-bytes", [Raw(b"CWD " + b"x" * 1020 + b"\n")], OVERFLOW, True),
    ("CWD:2049-bytes", [Raw(b"CWD " + b"x" * 2044 + b"\n")], OVERFLOW, True),
    ("SITE:tail-past-the-line-buffer", [Raw(b"NOOP " + b"x" * 729 + b"SITE CHMOD 666 pub/file.txt\r\n")], OVERFLOW, True),
    ("SITE:tail-past-the-read-buffer", [Raw(b"NOOP " + b"x" * 1019 + b"SITE CHMOD 666 pub/file.txt\r\n")], OVERFLOW, True),
    ("SITE:pipelined-after-overflow", [Raw(b"NOOP " + b"x" * 800 + b"\r\nSITE CHMOD 666 pub/file.txt\r\n")], OVERFLOW, True),
    ("CWD:overflow-before-login", [Raw(b"USER " + b"x" * 4000 + b"\r\n")], OVERFLOW, True, "nologin"),
] + [
    # Paths at the edges of the 512-byte path buffers: cut, they must still be refused.
    ("RETR:path-of-%d" % n, ["RETR " + (PAD + "../secret/hush.txt")[-n:].lstrip("/")], r"55[03] .*\r\n", False)
    for n in (508, 509, 510, 511, 512, 513, 600)
] + [
    ("CWD:path-of-%d" % n, ["CWD " + (PAD + "../secret")[-n:].lstrip("/")], r"55[03] .*\r\n", False)
    for n in (509, 510, 511, 512)
] + [
    ("SITE:symlink-overlong-names", ["SITE SYMLINK " + PAD[:300] + "../secret " + PAD[:300] + "lk2"],
     r"55[03] .*\r\n", False),
    # The data channel: third hosts, low ports, connections from elsewhere, half-open ones.
    ("PORT:third-host", ["PORT 127,0,0,2,117,48"],
     r"550 Data connection must go to same host as control connection\.\r\n", True),
    ("PORT:any-address", ["PORT 0,0,0,0,117,48"],
     r"550 Data connection must go to same host as control connection\.\r\n", True),
    ("PORT:low-port", ["PORT 127,0,0,1,0,21"], r"550 Remote port numbers below 1024 are not allowed here\.\r\n", True),
    ("PORT:port-1023", ["PORT 127,0,0,1,3,255"], r"550 Remote port numbers below 1024 are not allowed here\.\r\n", True),
    ("PORT:padded-numbers", ["PORT 127,000,000,002,117,48"],
     r"550 Data connection must go to same host as control connection\.\r\n", True),
    ("PORT:minus-signs", ["PORT 127,0,0,1,-0,-21"], r"550 Remote port numbers below 1024 are not allowed here\.\r\n", True),
    ("PORT:number-above-255", ["PORT 383,0,0,1,117,48"], r"501 Syntax error in parameters\.\r\n", False),
    ("PORT:number-wrapping-32-bits", ["PORT 4294967423,0,0,1,0,21"], r"50[01] .*\r\n|550 Remote port .*\r\n", None),
    ("PORT:five-numbers", ["PORT 127,0,0,1,117"], r"501 Syntax error in parameters\.\r\n", False),
    ("PORT:before-login", ["PORT 127,0,0,2,117,48"], LOGIN_FIRST, False, "nologin"),
    ("PASV:data-from-third-host", ["@third RETR pub/file.txt"],
     r"550 Passive connection must come from same host as control connection\.\r\n", True),
    ("RETR:half-open-data", ["@halfopen RETR lnk-file"], DENIED, False),
    ("STOR:half-open-data", ["@halfopen STOR ../secret/new.txt"], DENIED, False),
    ("LIST:half-open-data", ["@halfopen LIST -R private"], DENIED, False),
]


# ---- The area and its daemon ----------------------------------------------------------------

def secret_tree(path):
    os.makedirs(os.path.join(path, "sub"))
    for name in ("hush.txt", "same.txt", "names-" + MARK, "sub/hush-" + MARK):
        with open(os.path.join(path, name), "wb") as f:
            f.write(SECRET + b"." * (SECRET_SIZE - len(SECRET)))
    for root, dirs, files in os.walk(path):
        for n in dirs + files:
            os.utime(os.path.join(root, n), (SECRET_TIME, SECRET_TIME))
    chown_tree(path)


def chown_tree(path):
    """Everything belongs to the user: only the daemon's checks stand in the way."""
    for root, dirs, files in os.walk(path):
        for n in [root] + [os.path.join(root, x) for x in dirs + files]:
            os.lchown(n, 65534, 65534)
            if not os.path.islink(n):
                os.chmod(n, 0o777 if os.path.isdir(n) else 0o666)


def snapshot(base):
    """Everything outside the area, and the denied tree inside it."""
    seen = {}
    for top in ("secret", "home-sick", "home/private"):
        for root, dirs, files in os.walk(os.path.join(base, top)):
            for n in [root] + [os.path.join(root, x) for x in dirs + files]:
                st = os.lstat(n)
                seen[n] = (st.st_mode, st.st_size, st.st_mtime_ns, st.st_uid)
    seen["base"] = sorted(os.listdir(base))
    return seen


def make_area(base):
    home = os.path.join(base, "home")
    os.makedirs(os.path.join(home, "pub", "deep"))
    os.makedirs(os.path.join(home, "swap"))
    for name, data in (("pub/file.txt", b"public\n"), ("swap/same.txt", b"inside\n")):
        with open(os.path.join(home, name), "wb") as f:
            f.write(data)
    secret_tree(os.path.join(base, "secret"))
    secret_tree(os.path.join(base, "home-sick"))
    secret_tree(os.path.join(home, "private"))
    for name, target in (("lnk-rel", "../secret"), ("lnk-abs", os.path.join(base, "secret")),
                         ("lnk-mid", "pub/../lnk-rel"), ("lnk-chain", "lnk-mid"),
                         ("lnk-sick", "../home-sick"), ("lnk-priv", "private"),
                         ("lnk-file", "../secret/hush.txt"), ("lnk-twist", "lnk-rel/../secret/hush.txt"),
                         ("lnk-dangle", "../secret/made"), ("lnk-dangle-deny", "private/made"), ("swap-alt", "../secret")):
        os.symlink(target, os.path.join(home, name))
    chown_tree(home)
    return home


class Area:
    def __init__(self, base, home, server):
        self.base, self.home, self.server = base, home, server


@pytest.fixture(scope="module")
def area():
    base = tempfile.mkdtemp(prefix="zorvad-attack-")
    os.chmod(base, 0o755)
    home = make_area(base)
    db = os.path.join(base, "db", "passwd.db")
    write_passwd_db(db, "vera:{plain}s3cret:65534:65534::%s:/bin/sh" % home)
    directory = os.path.join(base, "srv")
    os.makedirs(directory)
    g, d = write_configs(directory, general=(
        "min-users = 2\nmax-users = 24\nallowed-site-commands = all\n"
        "allow-outgoing-ports-below-1024 = no\nallow-tar-root-dirs = yes\n"
        "tar = /usr/bin/tar\ngzip = /usr/bin/gzip\nzip = /usr/bin/zip\n"
        "deny-paths = %s/private\n" % home),
        domain="set-name = test\nserver-name = testhost\nftp-home = {dir}/ftp\npasswd = %s\n" % db)
    s = Server(directory, free_port(), g, d)
    with open(s.log_path, "w") as err, open(s.out_path, "w") as out:
        s.proc = subprocess.Popen([ZORVAD, "-Q", "-v", "-p", str(s.port), g, d], cwd=directory,
                                  stdin=subprocess.DEVNULL, stdout=out, stderr=err)
    try:
        assert wait_for(lambda: listening(s.port) or s.proc.poll() is not None, 20)
        assert s.proc.poll() is None, s.log()
        yield Area(base, home, s)
        wait_for(lambda: not s.busy_children(), 10)
        assert s.stop() == 0, s.log()
    finally:
        if s.proc.poll() is None:
            s.proc.kill()
            s.proc.wait()
        for pid in processes_with(base):
            os.kill(pid, signal.SIGKILL)
        shm_remove(s.key)
        shutil.rmtree(base, ignore_errors=True)


# ---- Running a row ----------------------------------------------------------------------------

def login(c):
    c.command("USER vera")
    reply = c.command("PASS s3cret")
    assert reply.startswith("230 "), reply


def data_step(c, line, seen, data):
    """A data command over its own passive connection; the reply that
    answers for it (the refusal, or the final one)."""
    mode = ""
    if line.startswith("@"):
        mode, line = line[1:].split(" ", 1)
    reply = c.command("PASV")
    seen.append(reply)
    m = PASV_REPLY.match(reply)
    if not m:
        seen.append(c.command(line))
        return seen[-1]
    address = ".".join(m.group(1, 2, 3, 4)), int(m.group(5)) * 256 + int(m.group(6))
    d = socket.socket()
    d.settimeout(20)
    if mode == "third":
        d.bind(("127.0.0.2", 0))
    d.connect(address)
    with d:
        if mode == "halfopen":
            d.shutdown(socket.SHUT_WR)
        c.send(line)
        first = c.reply()
        seen.append(first)
        word = line.split(" ", 1)[0].upper()
        if first.startswith(("125", "150")):
            if word in UPLOAD_WORDS and mode != "halfopen":
                d.sendall(b"uploaded\n")
                d.shutdown(socket.SHUT_WR)
            data.append(read_all(d))
            final = c.reply()
            seen.append(final)
            return final
        if mode == "third":
            data.append(read_all(d))
            return first
        # Refused: a new PASV drops the connection that was never accepted,
        # so whatever the server wrote on it (nothing, it must be) arrives.
        seen.append(c.command("PASV"))
        try:
            data.append(read_all(d))
        except ConnectionResetError:
            pass
        return first


def run_row(server, row):
    name, steps, expect, must_end = row[:4]
    seen, data = [], []
    c = Control(server.port, timeout=20)
    try:
        seen.append(c.reply())
        if "nologin" not in row[4:]:
            login(c)
        last = None
        for step in steps:
            if isinstance(step, Raw):
                c.send(bytes(step))
                replies = [c.reply() for _ in range(step.replies)]
                seen.extend(replies)
                last = replies[-1]
            elif step.startswith("@") or step.split(" ", 1)[0].upper() in DATA_WORDS:
                last = data_step(c, step, seen, data)
            else:
                last = c.command(step)
                seen.append(last)
        closed = c.closed(timeout=10) if must_end else None
        return {"last": last, "seen": seen, "data": data, "closed": closed}
    except Exception as e:  # noqa: BLE001 (reported by the row's test)
        return {"error": "%s: %r" % (type(e).__name__, e), "seen": seen, "data": data}
    finally:
        c.close()


@pytest.fixture(scope="module")
def outcomes(area):
    """Every row, run in parallel sessions (refusals that cost seconds
    overlap); the snapshot of what lies outside, before and after."""
    before = snapshot(area.base)
    with ThreadPoolExecutor(max_workers=6) as pool:
        results = dict(zip([r[0] for r in ROWS], pool.map(lambda r: run_row(area.server, r), ROWS)))
    return results, before, snapshot(area.base)


def readable(data):
    """Data as a reader of it sees it: archives unpacked."""
    if data[:2] == b"\x1f\x8b":
        return gzip.decompress(data)
    if data[:2] == b"PK":
        with zipfile.ZipFile(io.BytesIO(data)) as z:
            return b"".join(i.filename.encode() + z.read(i) for i in z.infolist())
    return data


def leaks(texts):
    blob = b"".join(t.encode("latin-1") if isinstance(t, str) else readable(t) for t in texts if t)
    return [x for x in LEAKS if x in blob]


def test_the_corpus_is_large_and_its_rows_unique():
    names = [r[0] for r in ROWS]
    assert len(names) == len(set(names)) and len(names) >= 100


@pytest.mark.parametrize("row", ROWS, ids=[r[0] for r in ROWS])
def test_an_attack_is_refused_and_nothing_leaks(outcomes, row):
    name, _, expect, must_end = row[:4]
    got = outcomes[0][name]
    assert "error" not in got, (got["error"], got["seen"])
    assert not leaks(got["seen"]), got["seen"]
    assert not leaks(got["data"]), got["data"]
    assert re.fullmatch(expect, got["last"]), got["seen"]
    if must_end:
        assert got["closed"], "the session went on: %r" % got["seen"]


def test_nothing_outside_the_area_changed(outcomes):
    _, before, after = outcomes
    assert after == before


# ---- A directory swapped for a link, again and again, while a session runs ------------------

_libc = ctypes.CDLL(None, use_errno=True)
AT_FDCWD = -100
RENAME_EXCHANGE = 2


def exchange(a, b):
    if _libc.renameat2(AT_FDCWD, a.encode(), AT_FDCWD, b.encode(), RENAME_EXCHANGE) != 0:
        raise OSError(ctypes.get_errno(), "renameat2")


SWAP_ROUNDS = 60
SWAP_COMMANDS = ["RETR swap/same.txt", "SIZE swap/same.txt", "MDTM swap/same.txt", "LIST swap",
                 "NLST swap/*", "MLSD swap", "MLST swap/same.txt", "RETR swap.tar",
                 "STOR swap/up.txt", "CWD swap", "LIST", "NLST -R", "CWD /"]


def test_a_directory_swapped_for_a_link_never_leads_out(area, outcomes):
    swap, alt = os.path.join(area.home, "swap"), os.path.join(area.home, "swap-alt")
    before = snapshot(area.base)
    stop = threading.Event()
    swaps = []

    def swapper():
        while not stop.is_set():
            exchange(swap, alt)
            swaps.append(1)

    helper = threading.Thread(target=swapper)
    helper.start()
    seen, data = [], []
    try:
        c = Control(area.server.port, timeout=20)
        seen.append(c.reply())
        login(c)
        c.command("TYPE I")
        for _ in range(SWAP_ROUNDS):
            for line in SWAP_COMMANDS:
                if line.split(" ", 1)[0] in DATA_WORDS:
                    data_step(c, line, seen, data)
                else:
                    seen.append(c.command(line))
        c.command("QUIT")
        c.close()
    finally:
        stop.set()
        helper.join()
        if os.path.islink(swap):
            exchange(swap, alt)
    assert len(swaps) > SWAP_ROUNDS
    assert not leaks(seen), [s for s in seen if leaks([s])]
    assert not leaks(data)
    assert not [r for r in seen if r.startswith("421")]     # the session lived through it all
    assert snapshot(area.base) == before
