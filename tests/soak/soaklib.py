"""Shared parts of the faults-and-load runs: a real zorvad started the way the
integration tests start it (own directory, own general.cf and domain.cf, a
free loopback port), a raw FTP client whose every transfer ends in one of
three outcomes, and the bookkeeping of the 226 rule.

The 226 rule: a transfer the server reports complete (226) must have every
byte -- a download is checked by SHA-256 against the file on disk, an upload
by SHA-256 of the file the server wrote against what was sent.  A transfer
that did not complete must be reported as failed: a 4xx/5xx reply or a
closed control connection.  Anything else (a wrong checksum after 226, no
answer within the client's time-out) is a violation.
"""
import hashlib
import os
import random
import re
import resource
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "integration"))
from conftest import (free_port, listening, processes_with, shm_header, shm_key, shm_read,  # noqa: E402
                      shm_remove, shm_slot, wait_for, write_configs)

TOP = os.path.abspath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
BIN_DIR = os.environ.get("ZORVAD_BIN_DIR", os.path.join(TOP, "build"))
ZORVAD = os.path.join(BIN_DIR, "server", "zorvad")

PASV_REPLY = re.compile(r"^227 Entering Passive Mode \((\d+),(\d+),(\d+),(\d+),(\d+),(\d+)\)")

# File sizes of the download pool and of uploads: empty, tiny, around the
# 64 KiB transfer block, and a few MiB.
SIZES = (0, 1, 1447, 65535, 65536, 65537, 300_001, 1 << 20, (3 << 20) + 7)


def raise_nofile():
    """The client holds one descriptor per session: take the hard limit."""
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    return hard


def sha256(data):
    return hashlib.sha256(data).hexdigest()


def sha256_path(path):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        for chunk in iter(lambda: f.read(1 << 20), b""):
            h.update(chunk)
    return h.hexdigest()


# ---- The daemon -----------------------------------------------------------------------------

class Daemon:
    """A zorvad of its own: anonymous downloads from ftp/pub, uploads into
    ftp/incoming.  wrapper runs before the program (prlimit, unshare ...);
    the master is then the wrapper's pid, which must exec the daemon."""

    def __init__(self, max_users, min_users=4, general="", wrapper=(), files=True):
        self.dir = tempfile.mkdtemp(prefix="zorvad-soak-")
        os.chmod(self.dir, 0o755)
        self.port = free_port()
        self.max_users = max_users
        self.key = shm_key(self.port)
        general = ("max-users = %d\nmin-users = %d\nidle-timeout = 7200\nlogin-timeout = 120\n"
                   "xfer-timeout = 60\nlisten-backlog-size = 2048\n" % (max_users, min_users)) + general
        domain = ("set-name = soak\nserver-name = soakhost\nftp-home = {dir}/ftp\n"
                  "log-xfer = {dir}/xfer.log\nlog-session = {dir}/session.log\n")
        self.general_cf, self.domain_cf = write_configs(self.dir, general, domain)
        self.ftp = os.path.join(self.dir, "ftp")
        self.incoming = os.path.join(self.ftp, "incoming")
        os.makedirs(self.incoming)
        os.chmod(self.incoming, 0o777)
        os.chown(self.incoming, 65534, 65534)
        self.pool = make_pool(os.path.join(self.ftp, "pub")) if files else {}
        self.wrapper = list(wrapper)
        self.proc = None
        self.rc = None

    def start(self):
        argv = [*self.wrapper, ZORVAD, "-Q", "-p", str(self.port), self.general_cf, self.domain_cf]
        with open(os.path.join(self.dir, "stderr.log"), "w") as err:
            self.proc = subprocess.Popen(argv, cwd=self.dir, stdin=subprocess.DEVNULL,
                                         stdout=err, stderr=err)
        # The master listens first and writes its PID file after; start-up
        # can still fail in between.
        pid_file = os.path.join(self.dir, "zorvad-%d.pid.sh" % self.port)
        up = wait_for(lambda: (listening(self.port) and os.path.exists(pid_file))
                      or self.proc.poll() is not None, 20)
        if not up or self.proc.poll() is not None:
            self.rc = self.proc.wait(20)
            return False
        wait_for(lambda: self.logger_pid() or self.proc.poll() is not None, 10)
        return True

    # ---- watching it ----
    def stderr(self):
        with open(os.path.join(self.dir, "stderr.log"), encoding="latin-1") as f:
            return f.read()

    def misc_log(self):
        try:
            with open(os.path.join(self.dir, "misc.log"), encoding="latin-1") as f:
                return f.read()
        except OSError:
            return ""

    def processes(self):
        return processes_with(self.dir)

    def logger_pid(self):
        data = shm_read(self.key)
        if not data:
            return 0
        return shm_slot(data, shm_header(data)["max_users"] + 1)["pid"]

    def children(self, busy_only=False):
        """Pids of the children (of busy ones only), from the status area."""
        data = shm_read(self.key)
        if not data:
            return []
        pids = []
        for i in range(1, self.max_users + 1):
            slot = shm_slot(data, i)
            if slot["pid"] and (slot["session_start"] or not busy_only):
                pids.append(slot["pid"])
        return pids

    def alive(self):
        return self.proc is not None and self.proc.poll() is None

    # ---- stopping it ----
    def stop(self):
        """SIGTERM (unless it has ended already); returns a list of faults:
        a bad exit status, processes or a segment left behind."""
        faults = []
        if self.proc is not None:
            if self.proc.poll() is None:
                self.proc.send_signal(signal.SIGTERM)
            try:
                self.rc = self.proc.wait(60)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.rc = self.proc.wait()
                faults.append("the master did not end within 60 s of SIGTERM")
        if not wait_for(lambda: not self.processes(), 30):
            left = self.processes()
            for pid in left:
                try:
                    os.kill(pid, signal.SIGKILL)
                except ProcessLookupError:
                    pass
            faults.append("processes left behind: %s" % left)
        if shm_remove(self.key):
            faults.append("status segment 0x%x left behind" % self.key)
        return faults

    def remove(self):
        shutil.rmtree(self.dir, ignore_errors=True)


def make_pool(directory):
    """Download files of every size in SIZES: name -> SHA-256 of the bytes."""
    os.makedirs(directory, exist_ok=True)
    rng = random.Random(18)
    pool = {}
    for size in SIZES:
        data = rng.randbytes(size)
        name = "f%d.bin" % size
        with open(os.path.join(directory, name), "wb") as f:
            f.write(data)
        os.chmod(os.path.join(directory, name), 0o644)
        pool[name] = sha256(data)
    return pool


# ---- The client -------------------------------------------------------------------------------

COMPLETE, FAILED, HUNG = "complete", "failed", "hung"


class Closed(Exception):
    pass


class Client:
    """One control connection.  Every call either returns a reply text or
    raises Closed (connection closed or reset) or socket.timeout."""

    def __init__(self, port, timeout=60.0):
        self.timeout = timeout
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=timeout)
        self.buf = b""
        self.greeting = self.reply()

    def _line(self):
        while b"\n" not in self.buf:
            try:
                chunk = self.sock.recv(4096)
            except socket.timeout:
                raise
            except OSError as e:
                raise Closed(str(e))
            if not chunk:
                raise Closed("connection closed")
            self.buf += chunk
        line, self.buf = self.buf.split(b"\n", 1)
        return line.decode("latin-1") + "\n"

    def reply(self):
        text = first = self._line()
        if re.match(r"^\d{3}-", first):
            while not text.splitlines()[-1].startswith(first[:3] + " "):
                text += self._line()
        return text

    def command(self, line):
        try:
            self.sock.sendall((line + "\r\n").encode("latin-1"))
        except socket.timeout:
            raise
        except OSError as e:
            raise Closed(str(e))
        return self.reply()

    def login(self):
        if not self.greeting.startswith("220"):
            raise Closed("greeting " + self.greeting.strip())
        self.command("USER anonymous")
        reply = self.command("PASS soak@example.com")
        if not reply.startswith("230"):
            raise Closed("login " + reply.strip())
        reply = self.command("TYPE I")
        if not reply.startswith("200"):
            raise Closed("TYPE I " + reply.strip())
        return self

    def _pasv(self):
        reply = self.command("PASV")
        m = PASV_REPLY.match(reply)
        if not m:
            return None, reply
        port = int(m.group(5)) * 256 + int(m.group(6))
        try:
            return socket.create_connection((".".join(m.group(1, 2, 3, 4)), port),
                                            timeout=self.timeout), reply
        except socket.timeout:
            raise
        except OSError as e:
            raise Closed("data connection: %s" % e)

    def retr(self, name):
        """(outcome, final reply or reason, data)."""
        d, reply = self._pasv()
        if d is None:
            return FAILED, reply, None
        with d:
            first = self.command("RETR " + name)
            if not first.startswith(("125", "150")):
                return FAILED, first, None
            chunks = []
            try:
                for chunk in iter(lambda: d.recv(1 << 20), b""):
                    chunks.append(chunk)
            except socket.timeout:
                raise
            except OSError:
                pass                    # a reset: the final reply tells
        final = self.reply()
        return (COMPLETE if final.startswith("226") else FAILED), final, b"".join(chunks)

    def stor(self, name, data):
        """(outcome, final reply or reason)."""
        d, reply = self._pasv()
        if d is None:
            return FAILED, reply
        with d:
            first = self.command("STOR " + name)
            if not first.startswith(("125", "150")):
                return FAILED, first
            try:
                d.sendall(data)
                d.shutdown(socket.SHUT_WR)
            except socket.timeout:
                raise
            except OSError:
                pass                    # the server went away: its reply tells
        final = self.reply()
        return (COMPLETE if final.startswith("226") else FAILED), final

    def close(self):
        try:
            self.sock.close()
        except OSError:
            pass


# ---- The 226 rule's bookkeeping -----------------------------------------------------------------

class Tally:
    """Counts of outcomes, the failure replies seen, and every violation."""

    def __init__(self):
        self.lock = threading.Lock()
        self.complete = 0
        self.failed = 0
        self.hung = 0
        self.bytes = 0
        self.bad = 0
        self.replies = {}
        self.violations = []

    def add(self, outcome, detail="", nbytes=0):
        with self.lock:
            if outcome == COMPLETE:
                self.complete += 1
                self.bytes += nbytes
            elif outcome == FAILED:
                self.failed += 1
                key = detail[:3] if detail[:1].isdigit() else "closed"
                self.replies[key] = self.replies.get(key, 0) + 1
            else:
                self.hung += 1
                self.violations.append("no answer within the time-out: " + detail)

    def violation(self, text):
        """A 226 whose bytes are wrong (counted with its transfer by add)."""
        with self.lock:
            self.bad += 1
            self.violations.append(text)

    @property
    def total(self):
        return self.complete + self.failed + self.hung

    def summary(self):
        codes = ", ".join("%s %d" % kv for kv in sorted(self.replies.items())) or "none"
        return ("transfers %d: %d complete (226) and %d of them verified by SHA-256 (%.1f MiB), "
                "%d reported failed (%s), %d without an answer, %d violations"
                % (self.total, self.complete, self.complete - self.bad, self.bytes / 1048576,
                   self.failed, codes, self.hung, len(self.violations)))


def one_transfer(client, daemon, rng, tally, upload_path=None, uploads=None):
    """A random download or upload on the session, checked against the 226
    rule.  Raises Closed when the session is gone."""
    if rng.random() < 0.5 and daemon.pool:
        name = rng.choice(sorted(daemon.pool))
        try:
            outcome, reply, data = client.retr("pub/" + name)
        except socket.timeout:
            tally.add(HUNG, "RETR pub/" + name)
            raise Closed("timed out")
        except Closed as e:
            tally.add(FAILED, "closed")
            raise e
        if outcome == COMPLETE and sha256(data) != daemon.pool[name]:
            tally.violation("226 for RETR %s but %d bytes with another checksum" % (name, len(data)))
        tally.add(outcome, reply, len(data or b""))
        return
    size = rng.choice(SIZES)
    data = rng.randbytes(size)
    name = "u%d-%d-%d.bin" % (os.getpid(), threading.get_ident() % 100000, next(uploads))
    try:
        outcome, reply = client.stor("incoming/" + name, data)
    except socket.timeout:
        tally.add(HUNG, "STOR " + name)
        raise Closed("timed out")
    except Closed as e:
        tally.add(FAILED, "closed")
        raise e
    if outcome == COMPLETE:
        path = (upload_path or (lambda n: os.path.join(daemon.incoming, n)))(name)
        try:
            written = sha256_path(path)
        except OSError as e:
            tally.violation("226 for STOR %s but the file cannot be read: %s" % (name, e))
        else:
            if written != sha256(data):
                tally.violation("226 for STOR %s (%d bytes) but the file has %d bytes / another checksum"
                                % (name, size, os.path.getsize(path)))
            os.unlink(path)
    tally.add(outcome, reply, size)


def counter():
    lock = threading.Lock()
    n = [0]

    def nxt():
        with lock:
            n[0] += 1
            return n[0]

    class It:
        def __next__(self):
            return nxt()
    return It()


def proc_figures(pid):
    """(resident KiB, open descriptors) of a process, or None when it is gone."""
    try:
        with open("/proc/%d/status" % pid) as f:
            rss = next(int(line.split()[1]) for line in f if line.startswith("VmRSS:"))
        return rss, len(os.listdir("/proc/%d/fd" % pid))
    except (OSError, StopIteration):
        return None


def verdict(name, ok, lines):
    print("== %s: %s" % (name, "PASS" if ok else "FAIL"))
    for line in lines:
        print("   " + line)
    sys.stdout.flush()
    return ok
