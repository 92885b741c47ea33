"""zorvad_spy against the real daemon: who, pids and json while sessions are
logged in, watch, tail across a change of a date-stamped log name, the
verbose toggle, the refusal of a segment of another version, and the page a
person sees when the monitor runs as a CGI program behind a web server."""
import ctypes
import ftplib
import html.parser
import json
import os
import re
import select
import shutil
import signal
import socket
import subprocess
import time

import pytest

from accounts import users  # noqa: F401 (fixture)
from conftest import BIN_DIR, DEFAULT_DOMAIN, free_port, shm_slot, shm_header, wait_for

SPY = os.path.join(BIN_DIR, "tools", "spy", "zorvad_spy")
# A command whose argument a hostile client chose: markup, a quote, a
# backslash, a control character and a byte that is not UTF-8.
HOSTILE = b'CWD <i>x</i>&"\\\x01\xff'


def spy(s, *args, timeout=20):
    return subprocess.run([SPY, "-p", str(s.port), *args], stdin=subprocess.DEVNULL,
                          capture_output=True, timeout=timeout)


class Lines:
    """Standard output of a running monitor, read line by line with deadlines."""

    def __init__(self, argv, **kw):
        self.proc = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                     stderr=subprocess.STDOUT, **kw)
        self.buf = b""
        self.seen = []

    def next(self, timeout=10.0):
        deadline = time.monotonic() + timeout
        while b"\n" not in self.buf:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([self.proc.stdout], [], [], left)[0]:
                return None
            chunk = os.read(self.proc.stdout.fileno(), 4096)
            if not chunk:
                return None
            self.buf += chunk
        line, self.buf = self.buf.split(b"\n", 1)
        self.seen.append(line.decode("latin-1"))
        return self.seen[-1]

    def until(self, pattern, timeout=15.0, action=None):
        """The first line matching pattern; action() runs while waiting."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            line = self.next(min(1.0, max(0.01, deadline - time.monotonic())))
            if line is not None and re.search(pattern, line):
                return line
            if line is None and action is not None:
                action()
        raise AssertionError("no %r in:\n%s" % (pattern, "\n".join(self.seen)))

    def rest(self, timeout=10):
        out, _ = self.proc.communicate(timeout=timeout)
        return self.buf.decode("latin-1") + out.decode("latin-1")

    def stop(self):
        if self.proc.poll() is None:
            self.proc.kill()
        self.proc.communicate(timeout=10)


@pytest.fixture
def monitors():
    started = []

    def start(argv, **kw):
        m = Lines(argv, **kw)
        started.append(m)
        return m

    yield start
    for m in started:
        m.stop()


def sessions_of(s):
    """{child number: slot} of the sessions, as the daemon wrote them."""
    data = s.segment()
    return {i: shm_slot(data, i) for i in s.busy_children()}


def two_sessions(s, user):
    """A logged-in ftplib session in a subdirectory and one that never logged in
    but sent a hostile command; waits until the slots show both."""
    os.mkdir(os.path.join(user.home, "sub"))
    os.chown(os.path.join(user.home, "sub"), user.uid, user.gid)
    # Changed long ago: the directory cache trusts what it reads of it.
    past = time.time() - 3600
    os.utime(os.path.join(user.home, "sub"), (past, past))
    f = s.ftp()
    f.login(user.name, user.password)
    f.cwd("sub")
    c = s.greeted()
    c.send(HOSTILE + b"\r\n")
    assert c.reply().startswith("550 ")
    assert wait_for(lambda: len(s.busy_children()) == 2)
    slots = sessions_of(s)
    mine = next(i for i, sl in slots.items() if sl["user"] == user.name)
    other = next(i for i in slots if i != mine)
    return slots, mine, other


# ---- who, pids and json --------------------------------------------------------------------

class Table(html.parser.HTMLParser):
    """The rows of the tables of a page, as lists of cell texts."""

    def __init__(self):
        super().__init__()
        self.rows, self.cell = [], None

    def handle_starttag(self, tag, attrs):
        if tag == "tr":
            self.rows.append([])
        elif tag in ("td", "th"):
            self.cell = ""

    def handle_endtag(self, tag):
        if tag in ("td", "th") and self.cell is not None:
            self.rows[-1].append(self.cell)
            self.cell = None

    def handle_data(self, data):
        if self.cell is not None:
            self.cell += data


def table_rows(page):
    t = Table()
    t.feed(page)
    return t.rows


def test_who_pids_and_json_show_the_logged_in_sessions(server, users):  # noqa: F811
    s = server(general="min-users = 3\nmax-users = 4\n")
    assert spy(s, "who").stdout == b"No FTP users logged on.\n"
    assert b"<P>No FTP users logged on.\n</body>\n</html>\n" in spy(s, "-h", "who").stdout
    user = users()
    slots, mine, other = two_sessions(s, user)

    # Text: the user by name, the other as a new user; -n keeps the address.
    for flags, client in ((["-n"], "127.0.0.1"), ([], "localhost")):
        out = spy(s, *flags, "who").stdout.decode("latin-1").splitlines()
        assert out[0] == "Who                           From                         Num   PID       Idle"
        rows = {int(m.group(3)): m.groups() for m in
                (re.fullmatch(r"(\S+) +(\S+) +#(\d{3}) (\d{6}) +(\d+):(\d\d):(\d\d)", line) for line in out[1:])}
        assert sorted(rows) == sorted(slots)
        assert rows[mine][:2] == (user.name, client) and rows[other][:2] == ("<newuser>", client)
        for i, row in rows.items():
            assert int(row[3]) == slots[i]["pid"]
            assert int(row[4]) * 3600 + int(row[5]) * 60 + int(row[6]) <= 60

    # HTML: one row per session below the header row, hostile text shown as text.
    page = spy(s, "-h", "who").stdout.decode("latin-1")
    assert page.startswith("<html>\n<head>\n<title>Zorvad User Status for ")
    assert "<i>" not in page
    rows = table_rows(page)
    assert rows[0] == ["Who", "From", "To", "Start Time", "Idle Time", "Child#", "PID",
                       "Current Directory", "What"]
    by_child = {int(r[5]): r for r in rows[1:]}
    assert sorted(by_child) == sorted(slots)
    assert by_child[mine][:3] == [user.name, "localhost", "test"]
    assert by_child[mine][6:8] == [str(slots[mine]["pid"]), slots[mine]["cwd"]]
    assert slots[mine]["cwd"].endswith("/sub")
    assert by_child[other][0] == "(new user)"
    assert by_child[other][8] == 'CWD <i>x</i>&"\\?\ufffd'

    # JSON: every field, the hostile command escaped and still valid UTF-8.
    doc = json.loads(spy(s, "-n", "json").stdout.decode("utf-8"))
    data = s.segment()
    users_ = shm_header(data)["max_users"]
    assert doc["master_pid"] == s.pid == shm_slot(data, 0)["pid"]
    assert doc["logger_pid"] == shm_slot(data, users_ + 1)["pid"] > 0
    assert {c["child"]: c["pid"] for c in doc["children"]} == \
        {i: shm_slot(data, i)["pid"] for i in range(1, users_ + 1) if shm_slot(data, i)["pid"]}
    got = {x["child"]: x for x in doc["sessions"]}
    assert sorted(got) == sorted(slots)
    assert got[mine]["user"] == user.name and got[mine]["directory"] == slots[mine]["cwd"]
    assert got[mine]["client"] == "127.0.0.1" and got[mine]["domain"] == "test"
    assert got[mine]["start_time"] == slots[mine]["session_start"]
    assert got[mine]["pid"] == slots[mine]["pid"] and 0 <= got[mine]["idle_seconds"] <= 60
    assert got[other]["command"] == 'CWD <i>x</i>&"\\\x01\ufffd'

    # The directory listing counts in the cache counters.
    f = s.controls[0]
    f.nlst()
    f.nlst()
    assert json.loads(spy(s, "json").stdout)["cache"] == {"attempts": 2, "hits": 1}
    assert spy(s, "cachestat").stdout == b"Attempts: 2          Hits: 1          Hit rate: 50.00%.\n"

    # pids: the master, the logger, every child.
    lines = spy(s, "pids").stdout.decode().splitlines()
    assert lines[0] == "%-6d (main process)" % s.pid
    assert lines[1] == "%-6d (logger process)" % doc["logger_pid"]
    assert lines[2:] == ["%-6d (child process #%d)" % (c["pid"], c["child"]) for c in doc["children"]]
    rows = table_rows(spy(s, "-h", "pids").stdout.decode())
    assert rows == [["Process", "PID"], ["Main", str(s.pid)], ["Logger", str(doc["logger_pid"])]] + \
        [["Child #%d" % c["child"], str(c["pid"])] for c in doc["children"]]


def test_watch_shows_a_session_log_in_and_close(server, users, monitors):  # noqa: F811
    s = server(general="min-users = 1\nmax-users = 2\n")
    user = users()
    watch = monitors([SPY, "-n", "-p", str(s.port), "watch"])
    c = s.greeted()
    assert c.command("USER " + user.name).startswith("331 ")
    first = watch.until(r"^#\d{3} ")
    child = first[:4]
    assert re.fullmatch(r"#\d{3} (<newuser>|%s) +USER %s" % (user.name, user.name), first)
    assert c.command("PASS " + user.password).startswith("230 ")
    # A line comes when the last-activity second changes: keep the session busy.
    line = watch.until(r"^%s %s +" % (child, user.name), action=lambda: c.command("NOOP"))
    assert re.fullmatch(r"%s %-24s (NOOP|PASS \*+)" % (child, user.name), line)
    assert c.command("QUIT").startswith("221 ")
    assert watch.until(r"<closed>$") == "%s <closed>" % child


def slow_download(s, user, name, size, rate):
    """A remote client downloads name over a passive connection with a small
    receive buffer, reading at most rate bytes a second (None: as fast as it
    can).  Returns the control connection, still logged in."""
    f = s.ftp()
    f.login(user.name, user.password)
    f.voidcmd("TYPE I")
    host, port = ftplib.parse227(f.sendcmd("PASV"))
    data = socket.socket()
    data.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 16384)
    data.connect((host, port))
    assert f.sendcmd("RETR " + name).startswith("150 ")
    got, start = 0, time.monotonic()
    while True:
        chunk = data.recv(16384)
        if not chunk:
            break
        got += len(chunk)
        if rate is not None:
            time.sleep(max(0.0, got / rate - (time.monotonic() - start)))
    data.close()
    assert f.voidresp().startswith("226 ") and got == size
    return f


# The slow reader's file is far larger than what the kernel buffers on the
# server's side (up to 4 MiB): the server itself waits for the client.
@pytest.mark.parametrize("limit, rate, size", [(None, 4 << 20, 24 << 20), (256, None, 2 << 20)],
                         ids=["slow-reader", "rate-limit"])
def test_watch_follows_a_slow_download_and_idle_counts_from_its_end(server, users, monitors, limit, rate,  # noqa: F811
                                                                    size):
    """A remote client's download that takes seconds, because the client reads
    slowly or the domain limits its rate: the monitor's watch shows the slot
    active every second of it, not only when the RETR came, and once it has
    ended the idle time counts from its end."""
    domain = DEFAULT_DOMAIN + ("u-download-bandwidth-per-user = %d\n" % limit if limit else "")
    s = server(general="min-users = 1\nmax-users = 2\n", domain=domain)
    user = users()
    path = os.path.join(user.home, "big")
    with open(path, "wb") as out:
        out.write(os.urandom(size))
    os.chown(path, user.uid, user.gid)
    watch = monitors([SPY, "-n", "-p", str(s.port), "watch"])
    f = slow_download(s, user, "big", size, rate)
    ended = time.monotonic()
    while watch.next(timeout=2.5) is not None:
        pass
    moving = [line for line in watch.seen if re.fullmatch(r"#\d{3} %s +Retr /.*/big" % user.name, line)]
    assert len(moving) >= 3, "\n".join(watch.seen)

    # Idle since the end, not 0 (the command still names the download) and not
    # since the RETR came.
    time.sleep(max(0.0, 3.0 - (time.monotonic() - ended)))
    out = spy(s, "-n", "who").stdout.decode("latin-1").splitlines()
    row = next(line for line in out[1:] if line.startswith(user.name + " "))
    h, m, sec = map(int, re.search(r"(\d+):(\d\d):(\d\d)$", row).groups())
    # The server's last write precedes the client's last read by what the
    # socket buffers hold (about a second of the slow reader's rate); the
    # download itself took six seconds or more, which idle since the RETR
    # would add.
    assert 2 <= h * 3600 + m * 60 + sec <= time.monotonic() - ended + 3, row
    f.quit()


# ---- the misc log ----------------------------------------------------------------------------

def test_tail_follows_the_log_to_each_new_name(server, monitors):
    s = server(general="log-misc = {dir}/misc-%H%M%S.log\n", verbose=False)
    name = lambda t: os.path.join(s.dir, time.strftime("misc-%H%M%S.log", time.localtime(t)))
    start = int(time.time())
    tail = monitors([SPY, "-p", str(s.port), "tail"])
    # No log for the first seconds: four failed attempts are reported.  Then a
    # log for every second: each name the tail moves to is read from its start.
    missing = tail.until(r"^\*\*\* New log does not exist yet: ")
    assert re.fullmatch(r"\*\*\* New log does not exist yet: %s/misc-\d{6}\.log" % s.dir, missing)
    for t in range(start + 10, start + 40):
        with open(name(t), "a") as f:
            f.write("line of %s\n" % name(t))
    shown = []
    while len(shown) < 2:
        opened = tail.until(r"^\*\*\* Contents of: ")[len("*** Contents of: "):]
        assert opened in [name(t) for t in range(start + 10, start + 40)]
        assert tail.next() == "line of %s" % opened
        shown.append(opened)
    assert shown[0] < shown[1]
    assert "\nYou may not see any misc log messages unless you have enabled verbose logging mode." \
        in "\n".join(tail.seen)
    tail.proc.send_signal(signal.SIGINT)
    assert "Note" not in tail.rest() and tail.proc.returncode == 0


def test_toggle_signals_the_master_and_tails_its_log_line(server, monitors):
    s = server(verbose=False)
    log = os.path.join(s.dir, "misc.log")
    old = open(log).read()
    toggle = monitors([SPY, "-p", str(s.port), "toggle", "verbose", "logging", "and", "tail"])
    assert toggle.next() == "kill -USR1 %d     # (main process)" % s.pid
    assert re.fullmatch(r"Toggled at \d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.", toggle.next())
    assert toggle.next() == "There should now be a message in the current misc log,"
    assert toggle.next() == "%s, that reads 'Verbose logging = N', where N is an integer." % log
    # Followed from where the log ended before the signal: old lines are not shown.
    assert toggle.until(r"\*\*\* Contents of: ") == "*** Contents of: %s" % log
    assert toggle.until(r"Verbose logging = ").endswith("| Verbose logging = 9 (on)")
    assert not any(line and line in old for line in toggle.seen if "|" in line)
    toggle.proc.send_signal(signal.SIGINT)
    assert toggle.rest().endswith("\n\n*** Note: Verbose logging appears to be set to 9.\n"
                                  "*** This program will exit, but Zorvad will still log at this level.\n")
    assert toggle.proc.returncode == 0

    off = spy(s, "toggle", "verbose", "logging")
    assert off.returncode == 0
    s.wait_log(r"Verbose logging = 0 \(off\)")


def test_toggle_reaches_a_master_that_detached_with_d(server):
    """The usual way to run the server: -d detaches after the segment exists,
    so the master is not the segment's creator; toggle still signals it."""
    s = server(args=["-d"], wait=False)
    assert s.proc.wait(20) == 0
    assert wait_for(lambda: os.path.exists(s.pid_file()) and os.path.getsize(s.pid_file()) > 80)
    master = int(re.search(rb"kill -15 +(\d+)", open(s.pid_file(), "rb").read()).group(1))
    try:
        r = spy(s, "toggle", "verbose", "logging")
        assert r.returncode == 0, r.stderr
        assert wait_for(lambda: "Verbose logging = " in open(os.path.join(s.dir, "misc.log")).read())
    finally:
        os.kill(master, signal.SIGTERM)
        assert wait_for(lambda: not os.path.exists("/proc/%d" % master) and not s.processes(), 15)


# ---- another segment -------------------------------------------------------------------------

FAKE_SEGMENT = r"""
import ctypes, struct, sys
libc = ctypes.CDLL(None, use_errno=True)
libc.shmget.argtypes = [ctypes.c_int, ctypes.c_size_t, ctypes.c_int]
libc.shmat.argtypes = [ctypes.c_int, ctypes.c_void_p, ctypes.c_int]
libc.shmat.restype = ctypes.c_void_p
key, tag = int(sys.argv[1], 16), sys.argv[2].encode()
sid = libc.shmget(ctypes.c_int32(key).value, 1024 + 3456 * 6, 0o1000 | 0o600)
addr = libc.shmat(sid, None, 0)
header = struct.pack("<q32sI", 0, tag, 2)
ctypes.memmove(addr, header, len(header))
"""


@pytest.mark.parametrize("port, tag, message", [
    (21, "Zorvad 0.9.7", "This is zorvad_spy for Zorvad 1.0.0, but the shared memory pool requires "
                         "zorvad_spy for Zorvad 0.9.7.\n"),
    (8021, "Other 2.0", "This is not a Zorvad shared memory pool.\n"),
    (21, None, "Could not get shared memory pool for key = 0x77c0ffee (Zorvad port 21).\n"
               "Reason: No shared memory pool by that key was found.\n\n"
               "If you're running Zorvad on a non-standard port number, you need to add\n"
               "\"-p XX\" to your command line since that is tied to the key number.\n\n"
               "This could also mean that Zorvad is not currently running.\n"),
    (8021, None, "Could not get shared memory pool for key = 0x77c2f3ee (Zorvad port 8021).\n"
                 "Reason: No shared memory pool by that key was found.\n"
                 "Is Zorvad currently running on port 8021?\n"),
])
def test_a_segment_of_another_build_or_none_is_refused(port, tag, message):
    # In a private IPC namespace: the segment goes with it.
    key = 0x77C0FFEE + 16 * (port - 21)
    make = "python3 -c '%s' %x '%s' && " % (FAKE_SEGMENT.replace("'", "'\\''"), key, tag) if tag else ""
    args = "-p %d" % port if port != 21 else ""
    r = subprocess.run(["unshare", "-i", "sh", "-c", "%s%s %s who" % (make, SPY, args)],
                       capture_output=True, text=True, timeout=30)
    assert (r.returncode, r.stdout, r.stderr) == (1, "", message)


# ---- the page behind a web server --------------------------------------------------------------

LIGHTTPD_CONF = """\
server.document-root = "{www}"
server.bind = "127.0.0.1"
server.port = {port}
server.modules = ("mod_cgi")
cgi.assign = (".cgi" => "")
index-file.names = ("who.cgi")
server.errorlog = "{dir}/lighttpd.err"
"""


def test_the_cgi_page_shows_the_sessions_in_a_browser(server, users, zorvad_dir):  # noqa: F811
    lighttpd, chromium = shutil.which("lighttpd"), shutil.which("chromium")
    if not lighttpd or not chromium:
        pytest.skip("lighttpd and chromium are needed (scripts/deps.sh installs them)")
    s = server(general="min-users = 2\nmax-users = 3\n")
    user = users()
    slots, mine, other = two_sessions(s, user)

    web = os.path.join(zorvad_dir, "web")
    www = os.path.join(web, "www")
    os.makedirs(www)
    cgi = os.path.join(www, "who.cgi")
    with open(cgi, "w") as f:
        f.write("#!/bin/sh\nexec %s -p %d who\n" % (SPY, s.port))   # no -h: CGI mode makes HTML
    os.chmod(cgi, 0o755)
    port = free_port()
    conf = os.path.join(web, "lighttpd.conf")
    with open(conf, "w") as f:
        f.write(LIGHTTPD_CONF.format(www=www, port=port, dir=web))
    # The monitor needs root, so this lighttpd runs as root (no server.username).
    httpd = subprocess.Popen([lighttpd, "-D", "-f", conf], stdin=subprocess.DEVNULL,
                             stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        from conftest import listening
        assert wait_for(lambda: listening(port) or httpd.poll() is not None), "lighttpd did not start"
        assert httpd.poll() is None, open(os.path.join(web, "lighttpd.err")).read()
        url = "http://127.0.0.1:%d/who.cgi" % port
        artefacts = os.path.join(BIN_DIR, "tests", "artefacts")
        os.makedirs(artefacts, exist_ok=True)
        shot = os.path.join(artefacts, "spy-who.png")
        browser = [chromium, "--headless", "--no-sandbox", "--disable-gpu", "--user-data-dir=" + web + "/profile",
                   "--window-size=1200,600"]
        dom = subprocess.run(browser + ["--dump-dom", url], capture_output=True, text=True, timeout=120)
        subprocess.run(browser + ["--screenshot=" + shot, url], capture_output=True, timeout=120, check=True)
    finally:
        httpd.terminate()
        httpd.wait(10)

    rows = table_rows(dom.stdout)
    assert rows[0][:3] == ["Who", "From", "To"]
    by_child = {int(r[5]): r for r in rows[1:]}
    assert sorted(by_child) == sorted(slots)
    assert by_child[mine][:3] == [user.name, "localhost", "test"]
    assert by_child[mine][7] == slots[mine]["cwd"] and by_child[other][0] == "(new user)"
    assert "<i>" not in dom.stdout and "Content-Type" not in dom.stdout
    with open(shot, "rb") as f:
        assert f.read(8) == b"\x89PNG\r\n\x1a\n"


# ---- attackers -----------------------------------------------------------------------------

def setuid_copy(zorvad_dir):
    """The monitor installed set-user-ID root, as an administrator may."""
    bindir = os.path.join(zorvad_dir, "bin")
    os.makedirs(bindir, exist_ok=True)
    os.chmod(zorvad_dir, 0o755)
    os.chmod(bindir, 0o755)
    copy = os.path.join(bindir, "zorvad_spy")
    shutil.copy(SPY, copy)
    os.chmod(copy, 0o4755)
    return copy


def as_user(user, argv, env=None, timeout=10):
    return subprocess.run(["setpriv", "--reuid", str(user.uid), "--regid", str(user.gid), "--clear-groups",
                           *argv], stdin=subprocess.DEVNULL, capture_output=True, env=env or {},
                          timeout=timeout, cwd="/")


def test_a_web_visitor_runs_only_the_read_only_views(server, users, zorvad_dir):  # noqa: F811
    """A web visitor of the status page chooses the arguments (a web server
    passes a query without '=' as argv words) of the set-user-ID monitor the
    web server runs as an unprivileged user: it may see who, json and pids,
    but never write a file, signal the server or leave a process behind."""
    s = server(verbose=False)
    www = users()   # the web server's account
    spy_cgi = setuid_copy(zorvad_dir)
    victim = os.path.join(zorvad_dir, "root-only")
    with open(victim, "w") as f:
        f.write("root's data\n")
    misc = open(os.path.join(s.dir, "misc.log")).read()

    def request(query):
        env = {"GATEWAY_INTERFACE": "CGI/1.1", "REQUEST_METHOD": "GET", "REMOTE_ADDR": "127.0.0.9",
               "QUERY_STRING": query, "SERVER_PROTOCOL": "HTTP/1.1"}
        return as_user(www, [spy_cgi, *query.split("+")], env=env, timeout=10)

    port = "-p+%d+" % s.port
    for query, status in ((port + "-o+%s+dump" % victim, b"403"), (port + "toggle+verbose+logging", b"403"),
                          (port + "toggle+verbose+logging+and+tail", b"403"), ("tail", b"403"), ("-p+%d+tail" % s.port, b"403"), ("nonsense", b"400")):
        r = request(query)     # a tail left running would time out here
        head, _, body = r.stdout.partition(b"\n\n")
        assert head.startswith(b"Status: " + status) and b"Content-Type: " in head, (query, r.stdout)
        assert body and r.returncode != 0 and b"kill -USR1" not in r.stdout, query
    ok = request("-p+%d+pids" % s.port)
    assert ok.stdout.startswith(b"Content-Type: text/html\n\n") and b"<td>%d</td>" % s.pid in ok.stdout
    assert open(victim).read() == "root's data\n"
    time.sleep(0.5)
    assert "Verbose logging" not in open(os.path.join(s.dir, "misc.log")).read()[len(misc):]


def test_a_local_user_cannot_make_dump_overwrite_a_root_file(server, users, zorvad_dir):  # noqa: F811
    """A local user without privileges runs the set-user-ID monitor with -o
    naming a file only root may write: the file is opened with the user's
    rights and left as it was; the user's own file is written."""
    s = server()
    user = users()
    spy_suid = setuid_copy(zorvad_dir)
    victim = os.path.join(zorvad_dir, "root-only")
    with open(victim, "w") as f:
        f.write("root's data\n")
    os.chmod(victim, 0o644)
    r = as_user(user, [spy_suid, "-p", str(s.port), "-o", victim, "dump"])
    assert r.returncode != 0 and b"Permission denied" in r.stderr
    assert open(victim).read() == "root's data\n"
    mine = os.path.join(user.home, "dump")
    r = as_user(user, [spy_suid, "-p", str(s.port), "-o", mine, "dump"])
    assert r.returncode == 0 and os.stat(mine).st_uid == user.uid and os.path.getsize(mine) > 1024




FOREIGN_SEGMENT = r"""
import ctypes, struct, sys
libc = ctypes.CDLL(None, use_errno=True)
libc.shmget.argtypes = [ctypes.c_int, ctypes.c_size_t, ctypes.c_int]
libc.shmat.argtypes = [ctypes.c_int, ctypes.c_void_p, ctypes.c_int]
libc.shmat.restype = ctypes.c_void_p
sid = libc.shmget(ctypes.c_int32(0x77C0FFEE).value, 1024 + 3456 * 8, 0o1000 | 0o644)
addr = libc.shmat(sid, None, 0)
header = struct.pack("<q32sI12x256s", 0, sys.argv[1].encode(), 2, sys.argv[2].encode())
ctypes.memmove(addr, header, len(header))
ctypes.memmove(addr + 1024, struct.pack("<i", int(sys.argv[3])), 4)
"""


def root_only_file(zorvad_dir):
    """A file only root may read, with a secret for the monitor to leak."""
    secret = os.path.join(zorvad_dir, "root-only")
    with open(secret, "w") as f:
        f.write("root's secret\n" * 20)
    os.chmod(secret, 0o600)
    return secret


def test_the_set_user_id_monitor_reads_no_file_a_local_users_segment_names(users, zorvad_dir):  # noqa: F811
    """A local user without privileges makes the status segment's key first,
    naming a general.cf of its own whose log is a file only root may read,
    and runs the set-user-ID monitor's tail: the monitor refuses the segment
    and shows nothing of the file."""
    user = users()
    spy_suid = setuid_copy(zorvad_dir)
    secret = root_only_file(zorvad_dir)
    cf = os.path.join(user.home, "general.cf")
    with open(cf, "w") as f:
        f.write("log-misc = %s\n" % secret)
    tag = subprocess.run([SPY], capture_output=True, text=True)   # the usage names the version
    version = re.search(r"Requires:\n  (.*)\n", tag.stderr).group(1)
    script = ("setpriv --reuid %d --regid %d --clear-groups sh -c "
              "\"/usr/bin/python3 -c '%s' '%s' '%s' 1 && timeout 3 %s tail; echo rc=\\$?\""
              % (user.uid, user.gid, FOREIGN_SEGMENT.replace("'", "'\\''").replace('"', '\\"'), version, cf,
                 spy_suid))
    r = subprocess.run(["unshare", "-i", "sh", "-c", script], capture_output=True, text=True, timeout=30)
    assert "root-only" not in r.stdout + r.stderr, r.stdout     # never opened, let alone shown
    assert "not owned by root" in r.stderr and "rc=1" in r.stdout, (r.stdout, r.stderr)


def test_toggle_does_not_signal_what_a_stale_segment_names(users):  # noqa: F811
    """A local user without privileges creates the status segment's key first
    (in a private IPC namespace here) naming an unrelated process as the
    master: toggle refuses and the process gets no SIGUSR1."""
    user = users()
    tag = subprocess.run([SPY], capture_output=True, text=True)   # the usage names the version
    version = re.search(r"Requires:\n  (.*)\n", tag.stderr).group(1)
    script = ("sleep 30 & victim=$!; "
              "setpriv --reuid %d --regid %d --clear-groups /usr/bin/python3 -c '%s' '%s' '' $victim && "
              "%s toggle verbose logging; echo rc=$?; "
              "if kill -0 $victim 2>/dev/null; then echo alive; kill $victim; fi"
              % (user.uid, user.gid, FOREIGN_SEGMENT.replace("'", "'\\''"), version, SPY))
    r = subprocess.run(["unshare", "-i", "sh", "-c", script], capture_output=True, text=True, timeout=30)
    assert "not owned by root" in r.stderr, r.stderr
    assert "rc=1" in r.stdout and "alive" in r.stdout, r.stdout


C1 = b"\x9b31m\xc2\x9b32m\xc2\x85"


def test_c1_controls_from_a_remote_client_do_not_reach_the_terminal(server, monitors):
    """A remote client sends a command and a name carrying C1 controls, raw and
    as UTF-8: who, watch and json show them mapped, never as bytes that an
    8-bit terminal takes for an escape sequence."""
    s = server(general="min-users = 2\nmax-users = 3\n")
    watch = monitors([SPY, "-p", str(s.port), "-n", "watch"])
    c = s.greeted()
    c.send(b"USER x" + C1 + b"\r\n")
    c.reply()
    watch.until(r"^#\d{3} .*USER")

    def cwd():
        c.send(b"CWD /" + C1 + b"\r\n")
        c.reply()
    # watch prints a slot again when its last-command second changes: the
    # command is sent again until the server's clock has moved on.
    cwd()
    watch.until(r"^#\d{3} .*CWD", action=cwd)
    shown = "\n".join(watch.seen).encode("latin-1")
    who = spy(s, "-n", "who").stdout
    page = spy(s, "-n", "-h", "who").stdout
    for out in (shown, who, page):
        assert not any(0x80 <= b <= 0x9F for b in out), out
    raw = spy(s, "-n", "json").stdout
    assert b"\xc2\x9b" not in raw and b"\xc2\x85" not in raw
    json.loads(raw)   # still valid JSON


# ---- the public page -----------------------------------------------------------------------------

def test_a_web_visitor_of_the_public_page_sees_no_e_mail_address_password_or_host_path(server):
    """A web visitor of the status page made with -P: two anonymous users
    logged in with their e-mail addresses as passwords, one of them in a
    subdirectory.  The page, the JSON and the text show neither address (as
    login identity nor as the PASS argument) nor the directory's path on the
    host; the page without -P still shows them all."""
    s = server(general="min-users = 2\nmax-users = 3\n")
    real = os.path.join(s.dir, "ftp", "pub")
    os.mkdir(real)
    walker, newcomer = s.greeted(), s.greeted()
    for c, address in ((walker, "walker@example.org"), (newcomer, "newcomer@example.net")):
        assert c.command("USER anonymous").startswith("331 ")
        assert c.command("PASS " + address).startswith("230 ")
    assert walker.command("CWD pub").startswith("250 ")
    assert wait_for(lambda: sorted(sl["command"].split(" ")[0] for sl in sessions_of(s).values())
                    == ["Cwd", "PASS"])
    secrets = ("walker@example.org", "newcomer@example.net", real)

    full = spy(s, "-n", "-h", "who").stdout.decode("latin-1")
    assert all(text in full for text in secrets), full
    rows = table_rows(full)
    assert "Current Directory" in rows[0]

    runs = [spy(s, "-n", "-P", *args) for args in (["-h", "who"], ["json"], ["who"])]
    assert all(r.returncode == 0 for r in runs), [r.stderr for r in runs]
    page, doc, text = (r.stdout.decode("utf-8") for r in runs)
    for out in (page, doc, text):
        assert not any(secret in out for secret in secrets) and s.dir not in out, out
        assert "example." not in out, out
    rows = table_rows(page)
    assert rows[0] == ["Who", "From", "To", "Start Time", "Idle Time", "Child#", "PID", "What"]
    assert sorted((r[0], r[7]) for r in rows[1:]) == [("anonymous", "Cwd"), ("anonymous", "PASS")]
    sessions = json.loads(doc)["sessions"]
    assert sorted((x["who"], x["command"]) for x in sessions) == [("anonymous", "Cwd"), ("anonymous", "PASS")]
    assert not any("directory" in x for x in sessions)
    assert [line.split()[0] for line in text.splitlines()[1:]] == ["anonymous", "anonymous"]


# ---- metrics ---------------------------------------------------------------------------------------

# A user name a remote client chose: a quote, a backslash, a control
# character and a byte that is not UTF-8, each of which must not break a line
# of the metrics or end a label value early.
HOSTILE_USER = b'ev"il\\name\x01\xff'
STATES = ("connected", "logged_in", "downloading", "uploading")


def parse_metrics(text):
    """The samples as {(name, sorted labels): value}, read by the client
    library's own parser; skips when it is not installed."""
    parser = pytest.importorskip("prometheus_client.parser",
                                 reason="python3-prometheus-client is needed (scripts/deps.sh installs it)")
    samples = {}
    for family in parser.text_string_to_metric_families(text):
        assert family.name.startswith("zorvad_") and family.documentation, family
        assert family.type in ("gauge", "counter"), family
        for sample in family.samples:
            key = (sample.name, tuple(sorted(sample.labels.items())))
            assert key not in samples, key
            samples[key] = sample.value
    return samples


def test_metrics_count_sessions_by_state_transfers_and_the_cache_for_a_scraper(server, users):  # noqa: F811
    """Three sessions: one logged in and idle after a download and two
    listings, one in an upload its client has paused, one not logged in whose
    user name a remote client chose to break the format.  The metrics parse
    and count each."""
    s = server(general="min-users = 3\nmax-users = 4\n")
    user = users()
    with open(os.path.join(user.home, "ten"), "wb") as out:
        out.write(os.urandom(10 << 10))
    os.mkdir(os.path.join(user.home, "sub"))
    past = time.time() - 3600    # old: the directory cache trusts what it reads
    os.utime(os.path.join(user.home, "sub"), (past, past))

    idle = s.ftp()
    idle.login(user.name, user.password)
    got = []
    idle.retrbinary("RETR ten", got.append)
    assert len(b"".join(got)) == 10 << 10
    idle.nlst("sub")
    idle.nlst("sub")

    uploader = s.ftp()
    uploader.login(user.name, user.password)
    uploader.voidcmd("TYPE I")
    data = uploader.transfercmd("STOR paused")    # 150 read; the data connection stays open
    data.sendall(b"x" * 1000)

    stranger = s.greeted()
    stranger.send(b"USER " + HOSTILE_USER + b"\r\n")
    assert stranger.reply().startswith("331 ")

    def states():
        return sorted(sl["state"] for sl in sessions_of(s).values())
    assert wait_for(lambda: states() == [0, 1, 3]), states()

    r = spy(s, "metrics")
    assert r.returncode == 0, r.stderr
    m = parse_metrics(r.stdout.decode("utf-8"))
    for state, n in zip(STATES, (1, 1, 0, 1)):
        assert m[("zorvad_sessions", (("domain", "test"), ("state", state)))] == n, m
    shown_user = 'ev"il\\name?\ufffd'
    per_session = sorted((dict(labels)["user"], dict(labels)["state"], value) for (name, labels), value in m.items()
                         if name == "zorvad_session_idle_seconds")
    assert [x[:2] for x in per_session] == sorted([(shown_user, "connected"), (user.name, "logged_in"),
                                                   (user.name, "uploading")]), per_session
    assert all(0 <= x[2] <= 60 for x in per_session)
    starts = {dict(labels)["state"]: value for (name, labels), value in m.items()
              if name == "zorvad_session_start_time_seconds"}
    assert starts == {STATES[sl["state"]]: sl["session_start"] for sl in sessions_of(s).values()}
    assert m[("zorvad_recent_transfers", (("direction", "download"), ("result", "ok")))] == 1
    assert m[("zorvad_recent_transfer_bytes", (("direction", "download"),))] == 10 << 10
    assert m[("zorvad_recent_transfers", (("direction", "upload"), ("result", "ok")))] == 0
    by_set = lambda name, way: m[(name, (("direction", way), ("domain", "test")))]
    assert (by_set("zorvad_transfers_total", "download"), by_set("zorvad_transfer_bytes_total", "download")) == \
        (1, 10 << 10)
    assert (by_set("zorvad_transfers_total", "upload"), by_set("zorvad_transfer_bytes_total", "upload")) == (0, 0)
    assert m[("zorvad_directory_cache_requests_total", ())] == 2
    assert m[("zorvad_directory_cache_hits_total", ())] == 1
    segment = s.segment()
    assert m[("zorvad_children", ())] == sum(1 for i in range(1, 5) if shm_slot(segment, i)["pid"])

    # The upload ends: its session is logged in again and the upload counted.
    data.close()
    assert uploader.voidresp().startswith("226 ")
    assert wait_for(lambda: states() == [0, 1, 1]), states()
    m = parse_metrics(spy(s, "metrics").stdout.decode("utf-8"))
    assert m[("zorvad_sessions", (("domain", "test"), ("state", "logged_in")))] == 2
    assert m[("zorvad_sessions", (("domain", "test"), ("state", "uploading")))] == 0
    assert m[("zorvad_recent_transfers", (("direction", "upload"), ("result", "ok")))] == 1
    assert m[("zorvad_recent_transfer_bytes", (("direction", "upload"),))] == 1024
    assert (by_set("zorvad_transfers_total", "upload"), by_set("zorvad_transfer_bytes_total", "upload")) == (1, 1000)


PID_REUSE = r"""
import os, subprocess, sys, time
uid, gid, home, spy, version, secret, segment = sys.argv[1:]
as_user = ["setpriv", "--reuid", uid, "--regid", gid, "--clear-groups"]
# The crashed server's segment names a pid that the user's process now has.
holder = subprocess.Popen(as_user + ["sleep", "30"], cwd=home)
subprocess.run(["/usr/bin/python3", "-c", segment, version, "general.cf", str(holder.pid)], check=True)
tail = subprocess.Popen(as_user + [spy, "tail"], cwd="/", stdout=subprocess.PIPE, stderr=subprocess.STDOUT)

def sleeping():
    try:
        with open("/proc/%d/wchan" % tail.pid) as f:
            return f.read() == "hrtimer_nanosleep"
    except OSError:
        return False

# Once the first look found no log, the link to the secret appears: the next
# look reads it from its start.
deadline = time.monotonic() + 10
while tail.poll() is None and not sleeping() and time.monotonic() < deadline:
    time.sleep(0.01)
os.symlink(secret, os.path.join(home, "log"))
try:
    out = tail.communicate(timeout=4)[0]
except subprocess.TimeoutExpired:
    tail.kill()
    out = tail.communicate()[0]
holder.kill()
sys.stdout.write(out.decode(errors="replace") + "rc=%s\n" % tail.returncode)
"""


def test_the_set_user_id_tail_follows_no_relative_general_cf_through_a_reused_pid(users, zorvad_dir):  # noqa: F811
    """A server started with a relative general.cf was killed and left its
    segment; a local user without privileges holds a process with the dead
    master's pid, whose directory has a general.cf naming a log the user
    then links to a file only root may read, and runs the set-user-ID
    monitor's tail: nothing of the file is shown."""
    user = users()
    spy_suid = setuid_copy(zorvad_dir)
    secret = root_only_file(zorvad_dir)
    with open(os.path.join(user.home, "general.cf"), "w") as f:
        f.write("log-misc = %s\n" % os.path.join(user.home, "log"))
    tag = subprocess.run([SPY], capture_output=True, text=True)   # the usage names the version
    version = re.search(r"Requires:\n  (.*)\n", tag.stderr).group(1)
    r = subprocess.run(["unshare", "-i", "/usr/bin/python3", "-c", PID_REUSE, str(user.uid), str(user.gid),
                        user.home, spy_suid, version, secret, FOREIGN_SEGMENT],
                       capture_output=True, text=True, timeout=30)
    assert "rc=" in r.stdout, r.stderr
    assert "root's secret" not in r.stdout, r.stdout
    assert "relative" in r.stdout and "rc=1" in r.stdout, r.stdout
