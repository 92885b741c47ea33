"""Shared fixtures of the integration tests.

Each test that needs a running daemon asks for the ``server`` fixture, a
factory: ``server(general="...", domain="...", args=[...])`` writes a
general.cf and a domain.cf into a private directory, starts ``zorvad`` as
root in the foreground on a free loopback port (``-p PORT``) and returns a
``Server`` with helpers for raw control connections and ftplib. At teardown
every server still running gets SIGTERM and must exit with status 0, and
no process of it may be left behind.

``zorvad_dir`` gives a private, world-searchable directory and
``run_zorvad`` runs the program to completion (for the command-line cases).
"""
import ctypes
import ftplib
import os
import random
import re
import shutil
import signal
import socket
import struct
import subprocess
import tempfile
import time

import pytest

BIN_DIR = os.environ.get("ZORVAD_BIN_DIR", "/work/main/build")
ZORVAD = os.path.join(BIN_DIR, "server", "zorvad")

# Time stamp and sender tag of a line in a log file.
# A line the logger wrote (or echoed): it starts with the time stamp.
STAMPED = re.compile(r"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d")
LOG_PREFIX = re.compile(r"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d(?:\.\d+)? (?:\(main\)  \| |\(logd\)  \| |#\w\d* *\| )?", re.M)

DEFAULT_GENERAL = """\
pid-file = {dir}/zorvad.pid.sh
log-misc = {dir}/misc.log
login-timeout = 60
idle-timeout = 60
max-users = 8
"""

DEFAULT_DOMAIN = """\
set-name = test
server-name = testhost
ftp-home = {dir}/ftp
"""


# ---- The shared status area, read from outside -------------------------------------------

_libc = ctypes.CDLL(None, use_errno=True)
_libc.shmget.argtypes = [ctypes.c_int, ctypes.c_size_t, ctypes.c_int]
_libc.shmat.argtypes = [ctypes.c_int, ctypes.c_void_p, ctypes.c_int]
_libc.shmat.restype = ctypes.c_void_p
_libc.shmdt.argtypes = [ctypes.c_void_p]
_libc.shmctl.argtypes = [ctypes.c_int, ctypes.c_int, ctypes.c_void_p]
SHM_RDONLY = 0o10000
IPC_RMID = 0
SHM_HEADER = 1024
SHM_SLOT = 3456


def shm_key(port, key_base=None):
    """The segment's key: the key base given with -k, else (and for the
    default base itself) the one derived from a port other than 21."""
    if key_base is not None and key_base != 0x77C0FFEE:
        return key_base
    return 0x77C0FFEE if port == 21 else 0x77C0FE9E + 16 * port


def shm_read(key):
    """The whole segment with the key as bytes, or None when there is none."""
    sid = _libc.shmget(key, 0, 0)
    if sid < 0:
        return None
    addr = _libc.shmat(sid, None, SHM_RDONLY)
    if addr is None or addr == ctypes.c_void_p(-1).value:
        return None
    try:
        max_users = struct.unpack_from("<I", ctypes.string_at(addr, SHM_HEADER), 40)[0]
        return ctypes.string_at(addr, SHM_HEADER + SHM_SLOT * (max_users + 4))
    finally:
        _libc.shmdt(addr)


def shm_remove(key):
    """Removes a segment left behind; True when there was one."""
    sid = _libc.shmget(key, 0, 0)
    return sid >= 0 and _libc.shmctl(sid, IPC_RMID, None) == 0


def _text(raw):
    return raw.split(b"\0", 1)[0].decode("latin-1")


def shm_header(data):
    time_cache, version, max_users, start = struct.unpack_from("<q32sI4xq", data, 0)
    return {"time_cache": time_cache, "version": _text(version), "max_users": max_users,
            "server_start": start, "general_cf": _text(data[56:312]), "domain_cf": _text(data[312:568])}


def shm_slot(data, i):
    """Slot i (0 the master, 1.. the children) as a dict of its fields."""
    base = SHM_HEADER + SHM_SLOT * i
    pid, proc_start, resets = struct.unpack_from("<i4xqI", data, base)
    session_start, = struct.unpack_from("<q", data, base + 32)
    users_server, users_domain = struct.unpack_from("<II", data, base + 80)
    resolved, state = struct.unpack_from("<iI", data, base + 440)
    last_command, = struct.unpack_from("<q", data, base + 448)
    field = lambda off, size: _text(data[base + off:base + off + size])
    return {"pid": pid, "proc_start": proc_start, "resets": resets, "session_start": session_start,
            "session_id": field(40, 40), "users_on_server": users_server,
            "users_on_domain": users_domain, "user": field(88, 64), "login_id": field(152, 64),
            "host": field(216, 64), "addr": field(280, 64), "restriction": field(344, 32),
            "domain": field(376, 64), "host_resolved": resolved, "state": state, "last_command": last_command,
            "command": field(456, 256), "cwd": field(720, 256),
            "live_part": data[base + 32:base + 976]}


def _bindable(port):
    with socket.socket() as s:
        try:
            s.bind(("127.0.0.1", port))
        except OSError:
            return False
    return True


def free_port():
    """A port below the ephemeral range whose neighbour (the active-mode
    data port) is free as well."""
    for _ in range(200):
        port = random.randint(20000, 32000)
        if _bindable(port) and _bindable(port - 1):
            return port
    raise RuntimeError("no free port")


def listening(port):
    """True when some socket listens on the TCP port (no connection made)."""
    needle = ":%04X " % port
    for table in ("/proc/net/tcp", "/proc/net/tcp6"):
        try:
            with open(table) as f:
                for line in f.readlines()[1:]:
                    fields = line.split()
                    if needle in fields[1] + " " and fields[3] == "0A":
                        return True
        except OSError:
            pass
    return False


def processes_with(text):
    """Pids of the processes whose command line contains text."""
    pids = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/cmdline" % entry, "rb") as f:
                cmdline = f.read().replace(b"\0", b" ").decode("latin-1")
        except OSError:
            continue
        if text in cmdline and int(entry) != os.getpid():
            pids.append(int(entry))
    return pids


def wait_for(predicate, timeout=10.0, interval=0.02):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = predicate()
        if value:
            return value
        time.sleep(interval)
    return predicate()


class Control:
    """A raw control connection: lines go out as given, replies come back
    whole (every line of a multi-line reply, with its CR LF)."""

    def __init__(self, port, timeout=20.0, source=None, address="127.0.0.1"):
        family = socket.AF_INET6 if ":" in address else socket.AF_INET
        self.sock = socket.socket(family, socket.SOCK_STREAM)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        if source is not None:
            self.sock.bind(source)
        self.sock.settimeout(timeout)
        self.sock.connect((address, port))
        self.buf = b""

    def send(self, line):
        """Sends a str with CR LF added, or bytes exactly as given."""
        data = line if isinstance(line, bytes) else (line + "\r\n").encode("latin-1")
        self.sock.sendall(data)

    def readline(self):
        while b"\n" not in self.buf:
            chunk = self.sock.recv(4096)
            if not chunk:
                raise EOFError("connection closed; unread: %r" % self.buf)
            self.buf += chunk
        line, self.buf = self.buf.split(b"\n", 1)
        return (line + b"\n").decode("latin-1")

    def reply(self):
        first = self.readline()
        text = first
        if re.match(r"^\d{3}-", first):
            end = first[:3] + " "
            while True:
                line = self.readline()
                text += line
                if line.startswith(end):
                    break
        return text

    def command(self, line):
        self.send(line)
        return self.reply()

    def closed(self, timeout=10.0):
        """True when the server closes the connection (nothing else arrives)."""
        self.sock.settimeout(timeout)
        try:
            while True:
                chunk = self.sock.recv(4096)
                if not chunk:
                    return self.buf == b""
                self.buf += chunk
        except (ConnectionResetError, BrokenPipeError):
            return self.buf == b""
        except socket.timeout:
            return False

    def close(self):
        try:
            self.sock.close()
        except OSError:
            pass


class Server:
    def __init__(self, directory, port, general_cf, domain_cf, key=None):
        self.dir = directory
        self.port = port
        self.key = shm_key(port, key)
        self.general_cf = general_cf
        self.domain_cf = domain_cf
        self.log_path = os.path.join(directory, "stderr.log")
        self.out_path = os.path.join(directory, "stdout.log")
        self.proc = None
        self.rc = None
        self.controls = []

    # ---- talking to it ----
    def control(self, **kw):
        c = Control(self.port, **kw)
        self.controls.append(c)
        return c

    def greeted(self, **kw):
        """A control connection whose greeting has been read."""
        c = self.control(**kw)
        c.greeting = c.reply()
        return c

    def ftp(self, timeout=20, address="127.0.0.1"):
        f = ftplib.FTP()
        f.connect(address, self.port, timeout=timeout)
        self.controls.append(f)
        return f

    # ---- watching it ----
    def stderr(self):
        with open(self.log_path, encoding="latin-1") as f:
            return f.read()

    def log_file(self, name="misc.log"):
        """A log file as the logger wrote it (time stamps and tags kept);
        empty while it does not exist."""
        try:
            with open(os.path.join(self.dir, name), encoding="latin-1") as f:
                return f.read()
        except OSError:
            return ""

    def log(self):
        """Log text: what went straight to standard error (before the logger
        started, or after it ended), then the miscellaneous log file without
        time stamps and tags. The logger's echo of its lines on standard
        error is left out."""
        direct = "".join(line for line in self.stderr().splitlines(True)
                         if not STAMPED.match(line))
        return direct + LOG_PREFIX.sub("", self.log_file())

    def wait_log(self, pattern, timeout=10.0):
        found = wait_for(lambda: re.search(pattern, self.log()), timeout)
        assert found, "no %r in the log:\n%s" % (pattern, self.log())
        return found

    @property
    def pid(self):
        return self.proc.pid

    def pid_file(self, name="zorvad-{port}.pid.sh"):
        return os.path.join(self.dir, name.format(port=self.port))

    def processes(self):
        return processes_with(self.dir)

    def segment(self):
        """The shared status area as bytes; None when it does not exist."""
        return shm_read(self.key)

    def slot(self, i):
        data = self.segment()
        return shm_slot(data, i) if data else None

    def busy_children(self):
        """Numbers of the children serving a session."""
        data = self.segment()
        if not data:
            return []
        users = shm_header(data)["max_users"]
        return [i for i in range(1, users + 1)
                if shm_slot(data, i)["pid"] and shm_slot(data, i)["session_start"]]

    # ---- stopping it ----
    def stop(self, sig=signal.SIGTERM, timeout=20):
        if self.proc.poll() is None:
            self.proc.send_signal(sig)
        try:
            self.rc = self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.rc = self.proc.wait()
            raise
        return self.rc

    def close_controls(self):
        for c in self.controls:
            try:
                c.close()
            except Exception:
                pass
        self.controls = []


def write_configs(directory, general="", domain=None, general_name="general.cf",
                  domain_name="domain.cf"):
    """general is added to the defaults (later lines win); domain replaces
    the default set when given. "{dir}" stands for the directory."""
    os.makedirs(os.path.join(directory, "ftp"), exist_ok=True)
    g = os.path.join(directory, general_name)
    d = os.path.join(directory, domain_name)
    with open(g, "w") as f:
        f.write((DEFAULT_GENERAL + general).replace("{dir}", directory))
    with open(d, "w") as f:
        f.write((DEFAULT_DOMAIN if domain is None else domain).replace("{dir}", directory))
    return g, d


@pytest.fixture
def zorvad_dir():
    d = tempfile.mkdtemp(prefix="zorvad-it-")
    os.chmod(d, 0o755)
    yield d
    for pid in processes_with(d):
        try:
            os.kill(pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
    shutil.rmtree(d, ignore_errors=True)


@pytest.fixture
def run_zorvad(zorvad_dir):
    """Runs zorvad with the arguments to completion; returns the
    CompletedProcess (text output)."""
    def run(args, cwd=None, timeout=30, prefix=()):
        return subprocess.run([*prefix, ZORVAD, *args], cwd=cwd or zorvad_dir,
                              stdin=subprocess.DEVNULL, capture_output=True,
                              text=True, timeout=timeout)
    return run


@pytest.fixture
def server(zorvad_dir):
    started = []

    def start(general="", domain=None, args=(), wrapper=(), port=None,
              verbose=True, file_order=("general", "domain"), wait=True):
        directory = os.path.join(zorvad_dir, "s%d" % len(started))
        os.makedirs(directory)
        os.chmod(directory, 0o755)
        g, d = write_configs(directory, general, domain)
        args = list(args)
        key = int(args[args.index("-k") + 1], 16) if "-k" in args else None
        s = Server(directory, port or free_port(), g, d, key)
        files = [g, d] if file_order == ("general", "domain") else [d, g]
        argv = [ZORVAD, "-Q", *(["-v"] if verbose else []), "-p", str(s.port), *args, *files]
        with open(s.log_path, "w") as err, open(s.out_path, "w") as out:
            s.proc = subprocess.Popen([*wrapper, *argv], cwd=directory,
                                      stdin=subprocess.DEVNULL, stdout=out, stderr=err)
        started.append(s)
        if wait:
            ok = wait_for(lambda: listening(s.port) or s.proc.poll() is not None, 20)
            assert ok and s.proc.poll() is None, "zorvad did not start:\n" + s.log()
            # The master listens first and writes its PID file after.
            if "pid-file" not in general:
                assert wait_for(lambda: os.path.exists(s.pid_file()) or s.proc.poll() is not None, 10)
            # Its slot in the status area last, once its children are forked.
            master_slot = lambda: s.slot(0)
            assert wait_for(lambda: s.proc.poll() is not None or master_slot() is None or master_slot()["pid"] != 0,
                            10)
        return s

    yield start

    failures = []
    for s in started:
        s.close_controls()
        # Sessions end by themselves once their clients are gone.
        wait_for(lambda: not s.busy_children(), 5)
        if s.proc.poll() is None:
            rc = s.stop()
            if rc != 0:
                failures.append("exit status %d:\n%s" % (rc, s.log()))
        wait_for(lambda: not s.processes(), 10)
        left = s.processes()
        for pid in left:
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        if left:
            failures.append("processes left behind: %s" % left)
        if shm_remove(s.key):
            failures.append("shared memory segment 0x%x left behind" % s.key)
    assert not failures, "\n".join(failures)
