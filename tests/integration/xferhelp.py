"""Helpers of the transfer tests: logins, passive data connections on a raw
control connection, the transfer-log records, test files and the command
lines of the real clients (curl, lftp)."""
import hashlib
import os
import re
import socket
import subprocess

from conftest import LOG_PREFIX, wait_for

ANON_OK = "230 Logged in anonymously.\r\n"
PASV_REPLY = re.compile(r"^227 Entering Passive Mode \((\d+),(\d+),(\d+),(\d+),(\d+),(\d+)\)\r\n$")
LFTP_SAFE = "set net:max-retries 1; set net:timeout 3; set net:reconnect-interval-base 1; "


def domain(extra=""):
    """The test domain set with a transfer log in the server's directory."""
    return ("set-name = test\nserver-name = testhost\nftp-home = {dir}/ftp\n"
            "log-xfer = {dir}/xfer.log\n" + extra)


def anon_login(c):
    c.command("USER anonymous")
    assert c.command("PASS joe@example.com") == ANON_OK


def user_login(c, user):
    c.command("USER " + user.name)
    reply = c.command("PASS " + user.password)
    assert reply.startswith("230 "), reply


def open_pasv(c):
    """PASV on the control connection and a connected data socket."""
    m = PASV_REPLY.match(c.command("PASV"))
    assert m, "no 227 reply"
    host = ".".join(m.group(1, 2, 3, 4))
    port = int(m.group(5)) * 256 + int(m.group(6))
    d = socket.create_connection((host, port), timeout=20)
    return d


def read_all(sock):
    chunks = []
    while True:
        chunk = sock.recv(1 << 20)
        if not chunk:
            return b"".join(chunks)
        chunks.append(chunk)


def retr(c, name, rest=None):
    """RETR over a passive connection (REST after PASV, which clears it):
    (preliminary reply, data, final reply); data and final reply are None
    when the preliminary reply was a refusal."""
    d = open_pasv(c)
    with d:
        if rest is not None:
            assert c.command("REST %d" % rest) == "350 Will attempt to restart at position %d.\r\n" % rest
        first = c.command("RETR " + name)
        if not first.startswith(("125", "150")):
            return first, None, None
        data = read_all(d)
    return first, data, c.reply()


def stor(c, command, data, rest=None):
    """STOR, APPE or STOU with the data over a passive connection:
    (preliminary reply, final reply)."""
    d = open_pasv(c)
    with d:
        if rest is not None:
            assert c.command("REST %d" % rest) == "350 Will attempt to restart at position %d.\r\n" % rest
        first = c.command(command)
        if not first.startswith(("125", "150")):
            return first, None
        d.sendall(data)
    return first, c.reply()


def records(s):
    """The transfer-log records of the server, each split into its fields
    (time stamp and sender tag removed, the final empty field dropped)."""
    try:
        with open(os.path.join(s.dir, "xfer.log"), encoding="latin-1") as f:
            text = LOG_PREFIX.sub("", f.read())
    except OSError:
        return []
    return [line.split(",")[:-1] for line in text.splitlines() if line]


def wait_records(s, n, timeout=10):
    found = wait_for(lambda: len(records(s)) >= n and records(s), timeout)
    assert found and len(found) >= n, "expected %d records, have %r" % (n, records(s))
    return found


def write_file(path, data, mode=0o644):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)
    os.chmod(path, mode)
    return path


def sparse_file(path, size, seed=b"zorvad"):
    """A file of size bytes (at least 1 MiB) made quickly: holes with blocks
    of pseudo-random data at spread-out offsets, so a checksum sees every
    part."""
    with open(path, "wb") as f:
        f.truncate(size)
        for i in range(16):
            block = hashlib.sha256(seed + bytes([i])).digest() * 2048   # 64 KiB
            f.seek(min(i * (size // 16) + 12345, size - len(block)))
            f.write(block)
    os.chmod(path, 0o644)
    return path


def sha256_file(path):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        while True:
            chunk = f.read(1 << 22)
            if not chunk:
                return h.hexdigest()
            h.update(chunk)


def tree_digest(root):
    """Relative path -> SHA-256 of every regular file below root."""
    out = {}
    for d, _, files in os.walk(root):
        for name in files:
            p = os.path.join(d, name)
            out[os.path.relpath(p, root)] = sha256_file(p)
    return out


def curl(port, path, *args, user="anonymous:joe@example.com", timeout=60):
    return subprocess.run(["curl", "-sS", "--max-time", str(timeout), "--disable-epsv", "--disable-eprt",
                           "-u", user, *args, "ftp://127.0.0.1:%d%s" % (port, path)],
                          capture_output=True, timeout=timeout + 10)


def lftp(port, commands, user=None, cwd=None, timeout=120):
    login = ["-u", "%s,%s" % (user.name, user.password)] if user else []
    return subprocess.run(["timeout", str(timeout), "lftp", *login, "-p", str(port),
                           "-e", LFTP_SAFE + "set ftp:use-feat no; " + commands + "; quit", "127.0.0.1"],
                          capture_output=True, text=True, cwd=cwd, timeout=timeout + 10)
