"""A taken-over session holds only its user's rights.  The process that
holds a logged-in client's control and data connections runs with the
user's real, effective and saved ids, no capabilities in any set, no new
privileges, a system-call filter and no core; code running inside it
(calls made with gdb stand for a memory-safety fault in command parsing)
gets nothing of root back, nor keeps other sessions' active transfers off
the port below the control port.  The pool child that forked it holds none of
the client's connections.  Before a login the client is read by a process
with no rights at all, which ends on any call outside its list."""
import ctypes
import errno
import ftplib
import json
import os
import pwd
import re
import shutil
import signal
import socket
import ssl
import subprocess
import threading
import time

import pytest

from accounts import users, write_passwd_db  # noqa: F401 (fixture)
from conftest import BIN_DIR, shm_header, wait_for
from test_tls import ReusingFTP, cert, client_context, tls_keys  # noqa: F401 (fixture)

DOMAIN = "set-name = test\nserver-name = testhost\nftp-home = {dir}/ftp\n"


def _socket_inodes(local_port, remote_port=None):
    """Inodes of the TCP sockets on local_port (to remote_port, or listening)."""
    inodes = set()
    with open("/proc/net/tcp") as f:
        next(f)
        for line in f:
            fields = line.split()
            local, remote, state, inode = fields[1], fields[2], fields[3], fields[9]
            if int(local.split(":")[1], 16) != local_port:
                continue
            if remote_port is None and state == "0A" or \
                    remote_port is not None and int(remote.split(":")[1], 16) == remote_port:
                inodes.add(inode)
    return inodes


def holders(local_port, remote_port=None):
    """Pids of the processes holding the server's end of a connection."""
    wanted = {"socket:[%s]" % i for i in _socket_inodes(local_port, remote_port)}
    pids = set()
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            for fd in os.listdir("/proc/%s/fd" % entry):
                if os.readlink("/proc/%s/fd/%s" % (entry, fd)) in wanted:
                    pids.add(int(entry))
        except OSError:
            continue
    return sorted(pids)


def status(pid):
    with open("/proc/%d/status" % pid) as f:
        return dict(line.rstrip("\n").split(":\t", 1) for line in f if ":\t" in line)


def uid_of(pid):
    """The real uid of pid, or None for a process that has gone meanwhile."""
    try:
        return status(pid)["Uid"].split()[0]
    except OSError:
        return None


def assert_only_the_users_rights(pid, uid, gid):
    st = status(pid)
    assert st["Uid"].split() == [str(uid)] * 4
    assert st["Gid"].split() == [str(gid)] * 4
    for caps in ("CapInh", "CapPrm", "CapEff", "CapBnd", "CapAmb"):
        assert int(st[caps], 16) == 0, caps
    assert st["NoNewPrivs"] == "1"
    assert st["Seccomp"] == "2"
    # Not dumpable: /proc keeps the process's files root's, out of reach of
    # every other process of the same user.
    assert os.stat("/proc/%d/status" % pid).st_uid == 0


def session_holder(s, f):
    """The logged-in session's process (see sole_holder)."""
    return sole_holder(s, f.sock)


def anonymous(server, zorvad_dir, users):
    s = server(domain=DOMAIN)
    f = ftplib.FTP()
    f.connect("127.0.0.1", s.port, timeout=20)
    f.login("anonymous", "a@b.c")
    names = {p.pw_name for p in pwd.getpwall()}
    entry = pwd.getpwnam(next(a for a in ("ftp", "_ftp", "daemon", "nobody") if a in names))
    return s, f, entry.pw_uid, entry.pw_gid


def vera_db(zorvad_dir, password):
    """A password database with the virtual user vera, whose home is made."""
    home = os.path.join(zorvad_dir, "vhome")
    os.makedirs(home)
    os.chown(home, 65534, 65534)
    db = os.path.join(zorvad_dir, "db", "passwd.db")
    write_passwd_db(db, "vera:{plain}%s:65534:65534::%s:/bin/false" % (password, home))
    return db


def virtual(server, zorvad_dir, users):
    db = vera_db(zorvad_dir, "s3cret")
    s = server(domain=DOMAIN + "passwd = %s, /etc/passwd\n" % db)
    f = ftplib.FTP()
    f.connect("127.0.0.1", s.port, timeout=20)
    f.login("vera", "s3cret")
    return s, f, 65534, 65534


def system(server, zorvad_dir, users):
    u = users()
    s = server(domain=DOMAIN)
    f = ftplib.FTP()
    f.connect("127.0.0.1", s.port, timeout=20)
    f.login(u.name, u.password)
    return s, f, u.uid, u.gid


KINDS = {"anonymous": anonymous, "virtual": virtual, "system": system}


@pytest.mark.parametrize("kind", KINDS)
def test_the_process_holding_a_logged_in_clients_connections_has_only_the_users_rights(
        server, zorvad_dir, users, kind):
    s, f, uid, gid = KINDS[kind](server, zorvad_dir, users)
    pid = session_holder(s, f)
    assert_only_the_users_rights(pid, uid, gid)
    # The status area is read-only to it: its slot is published by the pool
    # child.  The session index and the quota records are not mapped at all:
    # the only page it may write that another process reads is its mailbox.
    maps = shared_mappings(pid)
    assert [m[1] for m in maps if m[2] == "/SYSV%08x" % s.key] == ["r--s"]
    assert len([m for m in maps if m[1].startswith("rw")]) == 1, maps
    (n,) = wait_for(lambda: s.busy_children())
    assert s.slot(n)["command"].startswith("PASS") and s.slot(n)["state"] == 1
    # The passive data socket is held by that process alone as well.
    port = ftplib.parse227(f.sendcmd("PASV"))[1]
    assert wait_for(lambda: holders(port)) == [pid]
    # Its parent, the pool child, keeps none of the client's sockets.
    parent = int(status(pid)["PPid"])
    assert parent != pid and parent in s.processes()
    client_port = f.sock.getsockname()[1]
    assert pid not in holders(s.port) and parent not in holders(s.port, client_port)
    f.quit()


GDB = shutil.which("gdb")
# gdb with the shim that lets it give back a register state larger than it
# knows (tests/tools/xstateshim.cc); without the build's shim, plain gdb.
XSTATE_SHIM = os.path.join(BIN_DIR, "tests", "tools", "xstateshim.so")
GDB_ENV = dict(os.environ, LD_PRELOAD=XSTATE_SHIM) if os.path.exists(XSTATE_SHIM) else None


def gdb_calls(pid, *lines):
    """Runs the gdb commands in the stopped process; the printed values."""
    cmd = [GDB, "-nx", "-q", "-batch", "-p", str(pid)]
    for line in lines:
        cmd += ["-ex", line]
    out = subprocess.run(cmd, capture_output=True, text=True, timeout=120, stdin=subprocess.DEVNULL, env=GDB_ENV)
    return [int(v) for v in re.findall(r"^\$\d+ = (-?\d+)$", out.stdout, re.M)], out


@pytest.mark.skipif(GDB is None, reason="gdb is not installed")
@pytest.mark.parametrize("kind", ["anonymous", "system"])
def test_code_running_in_a_session_gets_nothing_of_root_back(server, zorvad_dir, users, kind):
    # The attacker: code running inside a logged-in session.  Each call a
    # taken-over session would make on the way to root is refused.
    s, f, uid, gid = KINDS[kind](server, zorvad_dir, users)
    pid = session_holder(s, f)
    pool_child = int(status(pid)["PPid"])
    victim = os.path.join(zorvad_dir, "root-owned")
    with open(victim, "w") as v:
        v.write("root's\n")
    attempts = [
        "print (int) setuid(0)",
        "print (int) seteuid(0)",
        "print (int) setresuid(0, 0, 0)",
        "print (int) setgid(0)",
        'print (int) open("/etc/shadow", 0)',
        'print (int) open("%s", 1)' % victim,
        'print (int) chown("%s", %d, %d)' % (victim, uid, gid),
        'print (int) chmod("%s", 04777)' % victim,
        "print (int) kill(%d, 0)" % s.pid,
        "print (int) kill(%d, 0)" % pool_child,
        'print (int) open("/proc/%d/mem", 2)' % pool_child,
        "print (int) unshare(0x10000000)",   # a user namespace
        "print (int) unshare(0x40000000)",   # a network namespace
        "print (int) chroot(\"/tmp\")",
        # A port below 1024: 127.0.0.1:25.
        "set $fd = (int) socket(2, 1, 0)",
        "set $a = (char *) malloc(16)",
        "call (void) memset($a, 0, 16)",
        "set *(short *) $a = 2",
        "set *(unsigned short *) ($a + 2) = 0x1900",
        "set *(unsigned int *) ($a + 4) = 0x0100007f",
        "print (int) bind($fd, $a, 16)",
        "call (void) close($fd)",
    ]
    values, out = gdb_calls(pid, *attempts)
    if not values and "ptrace" in out.stderr:
        pytest.skip("this machine lets no debugger attach: " + out.stderr.strip()[:200])
    assert values == [-1] * 15, out.stdout + out.stderr
    with open(victim) as v:
        assert v.read() == "root's\n"
    st = os.stat(victim)
    assert (st.st_uid, st.st_mode & 0o7777) == (0, 0o644)
    assert_only_the_users_rights(pid, uid, gid)
    # The session itself goes on after the attempts.
    assert f.sendcmd("NOOP").startswith("200")
    f.quit()


@pytest.mark.skipif(GDB is None, reason="gdb is not installed")
@pytest.mark.parametrize("where", ["front", "session"])
def test_code_in_a_front_or_session_cannot_write_to_the_administrators_terminal(server, zorvad_dir, users, where):
    # The attacker: code running before or after a login, in a server run
    # in the foreground with its log echoed (-Q, as every test server here):
    # the daemon's standard error is the administrator's terminal, open to
    # escape sequences.  Only the logger's echo of what was logged may go
    # there.
    if where == "front":
        s = server(domain=DOMAIN)
        c, pid = greeted_front(s)
    else:
        s, c, _, _ = anonymous(server, zorvad_dir, users)
        pid = session_holder(s, c)
    values, out = gdb_calls(pid, 'print (int) write(2, "\\033]0;forged by %s\\007\\n", 22)' % where)
    assert values == [22], out.stdout + out.stderr
    c.close()
    assert wait_for(lambda: not s.busy_children(), 10)
    assert "forged" not in s.stderr()


@pytest.mark.skipif(GDB is None, reason="gdb is not installed")
def test_code_in_a_session_cannot_wedge_its_pool_child_with_a_lingering_socket(server, zorvad_dir, users):
    # The attacker: code running inside a logged-in session hands its pool
    # child, with a request, a TCP socket whose peer never reads and whose
    # close waits an hour for it, and lets its own copy go: the pool child's
    # close is the last.  It must not wait (many such sessions would hold
    # every pool child, and the server would serve no one).  The pool child
    # is stopped until the socket is in flight, so that its close comes last.
    s, f, _, _ = anonymous(server, zorvad_dir, users)
    pid = session_holder(s, f)
    pool_child = int(status(pid)["PPid"])
    peer = socket.create_server(("127.0.0.1", 0))     # takes the connection, never reads
    port = peer.getsockname()[1]
    os.kill(pool_child, signal.SIGSTOP)
    try:
        values, out = gdb_calls(
            pid, "set $s = (int) socket(2, 1, 0)", "set $a = (char *) malloc(16)", "call (void) memset($a, 0, 16)",
            "set *(short *) $a = 2", "set *(unsigned short *) ($a + 2) = %d" % socket.htons(port),
            "set *(unsigned int *) ($a + 4) = 0x0100007f",
            "print ((int (*)(int, void *, unsigned int)) connect)($s, $a, 16)",
            "set $b = (char *) malloc(8388608)", "call (void) memset($b, 120, 8388608)",
            *["call (void) ((long (*)(int, void *, unsigned long, int)) send)($s, $b, 8388608, 0x40)"] * 4,
            "set $l = (int *) malloc(8)", "set $l[0] = 1", "set $l[1] = 3600",
            "print ((int (*)(int, int, int, void *, unsigned int)) setsockopt)($s, 1, 13, $l, 8)",
            "set $r = (char *) malloc(1104)", "call (void) memset($r, 0, 1104)", "set *(int *) $r = 2",
            "print (int) 'SendDatagramWithFd(int, void const*, unsigned long, int)'(gPrivChannel, $r, 1104, $s)",
            "print ((int (*)(int)) close)($s)")
        assert values == [0, 0, 1104, 0], out.stdout + out.stderr
    finally:
        os.kill(pool_child, signal.SIGCONT)
    f.sock.settimeout(10)
    assert f.sendcmd("NOOP").startswith("200")
    f.quit()
    peer.close()


def test_every_login_gets_a_process_of_its_own_under_the_pool_childs_slot(server):
    # The pool child that forked it greets the next client; the status
    # area's slot names the pool child.
    s = server(domain=DOMAIN)
    seen = []
    for _ in range(3):
        f = ftplib.FTP()
        f.connect("127.0.0.1", s.port, timeout=20)
        f.login("anonymous", "a@b.c")
        pid = session_holder(s, f)
        (n,) = wait_for(lambda: s.busy_children())
        seen.append((pid, int(status(pid)["PPid"]), s.slot(n)["pid"]))
        f.quit()
        assert wait_for(lambda: not s.busy_children())
    assert len({p for p, _, _ in seen}) == 3
    assert all(parent == slot != p for p, parent, slot in seen)


@pytest.mark.skipif(GDB is None, reason="gdb is not installed")
def test_a_session_that_ignores_the_shutdown_signal_does_not_outlive_the_server(server, zorvad_dir, users):
    # Code running in a session sets the shutdown signal aside: the server
    # still stops whole, and no root pool child stays behind waiting for it.
    s, f, uid, gid = anonymous(server, zorvad_dir, users)
    pid = session_holder(s, f)
    pool_child = int(status(pid)["PPid"])
    values, out = gdb_calls(pid, "print (long) signal(15, (void *) 1)")
    assert len(values) == 1 and values[0] != -1, out.stdout + out.stderr
    assert s.stop() == 0
    assert wait_for(lambda: not s.processes(), 15), [(p, status(p)["Uid"]) for p in s.processes()]
    assert not os.path.exists("/proc/%d" % pool_child)
    f.close()


@pytest.mark.skipif(GDB is None, reason="gdb is not installed")
def test_a_session_cannot_have_its_file_given_to_the_owner_of_a_directory_outside_the_anonymous_root(
        server, zorvad_dir, users):
    # The session's own file is linked both below the anonymous root and in
    # a root-owned directory outside it; while the pool child checks the
    # give-away, a directory on the way is swapped for a link that leads
    # outside.  The pool child must never give the file to root.
    s, f, uid, gid = anonymous(server, zorvad_dir, users)
    pid = session_holder(s, f)
    incoming = os.path.join(s.dir, "ftp", "incoming")
    outside = os.path.join(zorvad_dir, "outside")
    os.makedirs(os.path.join(incoming, "s", "outside"))
    os.makedirs(outside)
    for d in (incoming, os.path.join(incoming, "s"), os.path.join(incoming, "s", "outside")):
        os.chown(d, uid, gid)
    inner = os.path.join(incoming, "s", "outside", "given")
    with open(inner, "w") as g:
        g.write("the session's\n")
    os.chown(inner, uid, gid)
    os.link(inner, os.path.join(outside, "given"))
    os.symlink(zorvad_dir, os.path.join(incoming, "sym"))
    (fd,), out = gdb_calls(pid, 'print (int) open("%s", 0)' % inner)
    assert fd >= 0, out.stdout + out.stderr

    libc = ctypes.CDLL(None, use_errno=True)
    stop = threading.Event()
    a, b = (os.path.join(incoming, n).encode() for n in ("s", "sym"))

    def swap():
        while not stop.is_set():
            libc.syscall(316, -100, a, -100, b, 2)   # renameat2(RENAME_EXCHANGE)
    swapper = threading.Thread(target=swap)
    swapper.start()
    try:
        script = os.path.join(zorvad_dir, "give.gdb")
        with open(script, "w") as g:
            g.write("set $r = (char *) malloc(1104)\ncall (void) memset($r, 0, 1104)\n"
                    "set *(int *) $r = 2\n"   # give away, to uid 0 and gid 0
                    # the object's real path, where the pool child looks for it
                    "call (void) strcpy($r + 64, \"%s\")\nset *(int *) ($r + 4) = %d\n"
                    "set $call = (int (*)(void *, int)) 'PrivCall(PrivRequest const&, int)'\n"
                    "set $i = 0\nset $won = 0\n"
                    "while $i < 300\n  set $won = $won + ((int) $call($r, %d) == 0)\n  set $i = $i + 1\nend\n"
                    "print $won\n" % (inner, len(inner) + 1, fd))
        values, out = gdb_calls(pid, "source %s" % script)
    finally:
        stop.set()
        swapper.join()
    assert values == [0], out.stdout + out.stderr
    st = os.stat(inner)
    assert (st.st_uid, st.st_gid) == (uid, gid)
    f.quit()


def fd_of_socket(pid, inodes):
    """The descriptor number in pid of the socket with one of inodes."""
    wanted = {"socket:[%s]" % i for i in inodes}
    for fd in os.listdir("/proc/%d/fd" % pid):
        try:
            if os.readlink("/proc/%d/fd/%s" % (pid, fd)) in wanted:
                return int(fd)
        except OSError:
            continue
    return None


def traced(pid):
    try:
        return status(pid)["TracerPid"] != "0"
    except OSError:
        return False


# A socket whose owner shares its port with no one: SO_REUSEPORT and
# SO_REUSEADDR cleared (SOL_SOCKET 1, SO_REUSEADDR 2, SO_REUSEPORT 15).
SHARE_NOTHING = [
    "set $off = (int *) malloc(4)",
    "set *$off = 0",
    "print (int) setsockopt($fd, 1, 15, $off, 4)",
    "print (int) setsockopt($fd, 1, 2, $off, 4)",
]


@pytest.mark.skipif(GDB is None, reason="gdb is not installed")
@pytest.mark.parametrize("attack", ["listener", "connected"])
def test_code_running_in_a_session_cannot_keep_other_sessions_off_the_data_port(server, zorvad_dir, users, attack):
    # The attacker: code running inside a logged-in anonymous session, which
    # holds the socket bound for it to the port below the control port.  It
    # makes that socket share its port with no one, and either listens on it
    # before the session connects it (a copy stays behind when the session's
    # connect then fails) or keeps it connected.  Another client's active
    # transfer must still come from that port meanwhile.
    s, a, uid, gid = anonymous(server, zorvad_dir, users)
    pid = session_holder(s, a)
    data_port = s.port - 1
    incoming = os.path.join(s.dir, "ftp", "incoming")
    os.makedirs(incoming)
    os.chmod(incoming, 0o777)
    a.set_pasv(False)
    a.voidcmd("TYPE I")
    held = None
    if attack == "listener":
        # Stopped where the session connects its data socket (an IPv4 address).
        lines = ["break connect if *(unsigned short *) $rsi == 2", "continue", "set $fd = (int) dup($rdi)",
                 *SHARE_NOTHING, "print (int) listen($fd, 1)"]
        result = {}
        gdb = threading.Thread(target=lambda: result.update(out=gdb_calls(pid, *lines)))
        gdb.start()
        try:
            # Attached, the session stands still until the breakpoint is set.
            assert wait_for(lambda: traced(pid) or not gdb.is_alive(), 30)
            if not gdb.is_alive():
                gdb.join()
                pytest.skip("this machine lets no debugger attach: " + result["out"][1].stderr.strip()[:200])
            with pytest.raises(ftplib.error_perm, match="^550 Cannot connect"):
                a.transfercmd("STOR incoming/a.bin")
        finally:
            gdb.join()
        values, out = result["out"]
        assert len(values) == 3 and values[-1] == 0, out.stdout + out.stderr
        assert pid in holders(data_port), "the attacker's listener stands"
    else:
        held = a.transfercmd("STOR incoming/a.bin")
        fd = fd_of_socket(pid, _socket_inodes(data_port, held.getsockname()[1]))
        assert fd is not None
        values, out = gdb_calls(pid, "set $fd = %d" % fd, *SHARE_NOTHING)
        if not values and "ptrace" in out.stderr:
            pytest.skip("this machine lets no debugger attach: " + out.stderr.strip()[:200])
        assert len(values) == 2, out.stdout + out.stderr

    b = ftplib.FTP()
    b.connect("127.0.0.1", s.port, timeout=20)
    b.login("anonymous", "b@c.d")
    b.set_pasv(False)
    conn = b.transfercmd("LIST")
    assert conn.getpeername() == ("127.0.0.1", data_port)
    conn.settimeout(20)
    while conn.recv(4096):
        pass
    conn.close()
    assert b.voidresp().startswith("226")
    b.quit()
    if held is not None:
        held.close()
        assert a.voidresp().startswith("226")
    a.quit()


# ---- Before a login ----------------------------------------------------------------------------

NOBODY = pwd.getpwnam("nobody")
FRONT_UID_BASE = 2100000000


def front_id(s, front):
    """The uid and gid a front must run under: the base plus its pool child's number."""
    pool = int(status(front)["PPid"])
    data = s.segment()
    (n,) = [i for i in range(1, shm_header(data)["max_users"] + 1) if s.slot(i)["pid"] == pool]
    return FRONT_UID_BASE + n


def assert_only_ids_without_rights(pid, uid, gid=None):
    """Real, effective and saved ids uid and gid (uid's when None), no groups,
    no capability in any set, no new privileges, a system-call filter and no
    core (its files in /proc stay root's though its ids are not)."""
    st = status(pid)
    assert st["Uid"].split() == [str(uid)] * 4
    assert st["Gid"].split() == [str(uid if gid is None else gid)] * 4
    assert st["Groups"].split() == []
    for caps in ("CapInh", "CapPrm", "CapEff", "CapBnd", "CapAmb"):
        assert int(st[caps], 16) == 0, caps
    assert st["NoNewPrivs"] == "1"
    assert st["Seccomp"] == "2"
    assert os.stat("/proc/%d/status" % pid).st_uid == 0


def assert_no_rights_at_all(pid, uid, gid=None):
    assert_only_ids_without_rights(pid, uid, gid)
    # Its root is a directory that no longer exists: nothing to read, nothing to make.
    assert os.listdir("/proc/%d/root" % pid) == []


def sole_holder(s, sock):
    """The one process that holds the server's end of a client's control
    connection, the front before the login and the session's process after
    it, once the pool child let go (right after the greeting or the login the
    pool child holds it alone, then together with the process it forks)."""
    client_port = sock.getsockname()[1]

    def let_go():
        pids = holders(s.port, client_port)
        try:
            return pids if len(pids) == 1 and status(pids[0])["Uid"].split()[0] != "0" else None
        except OSError:
            return None
    pids = wait_for(let_go) or holders(s.port, client_port)
    assert len(pids) == 1, pids
    return pids[0]


def greeted_front(s):
    """A raw connection the server greeted, and the front that holds it."""
    c = socket.create_connection(("127.0.0.1", s.port), timeout=20)
    assert c.recv(1024).startswith(b"220")
    return c, sole_holder(s, c)


def gone(pid):
    try:
        return status(pid)["State"].startswith("Z")
    except OSError:
        return True


def kill_left(*pids):
    """Ends what a failed test left running (None: nothing was made)."""
    for pid in pids:
        if pid is not None and not gone(pid):
            os.kill(pid, signal.SIGKILL)


@pytest.mark.parametrize("tls", [False, True], ids=["plain", "tls"])
def test_a_client_that_has_not_logged_in_is_served_by_a_process_without_any_rights(
        server, zorvad_dir, users, cert, tls):
    # The attacker: a remote client before its login (any byte it sends,
    # the TLS handshake included, is read by a process that holds nothing).
    u = users()
    s = server(domain=DOMAIN, general=tls_keys(cert, "allowed") if tls else "")
    f = ReusingFTP(context=client_context()) if tls else ftplib.FTP()
    f.connect("127.0.0.1", s.port, timeout=20)
    if tls:
        f.auth()
    front = sole_holder(s, f.sock)
    assert_no_rights_at_all(front, front_id(s, front))
    assert f.sendcmd("USER " + u.name).startswith("331 ")
    with pytest.raises(ftplib.error_perm, match="530"):
        f.sendcmd("PASS not-" + u.password)
    # The pool child checked the password without ever holding the connection.
    assert sole_holder(s, f.sock) == front
    f.login(u.name, u.password)
    if tls:
        # The front stays, rightless, to carry the control connection's
        # records for the user's process.
        f.prot_p()
        assert sole_holder(s, f.sock) == front
        assert_no_rights_at_all(front, front_id(s, front))
    else:
        session = wait_for(lambda: [p for p in holders(s.port, f.sock.getsockname()[1]) if p != front])
        assert session != [front] and wait_for(lambda: gone(front))
        assert_only_the_users_rights(session[0], u.uid, u.gid)
    assert f.nlst() is not None
    f.quit()


FRONT_ATTEMPTS = [
    "print (int) setuid(0)",
    "print (int) seteuid(0)",
    "print (int) setresuid(0, 0, 0)",
    'print (int) open("/etc/shadow", 0)',
    'print (int) open("{victim}", 1)',
    'print (int) chown("{victim}", 65534, 65534)',
    'print (int) chmod("{victim}", 04777)',
    "print (int) kill({master}, 9)",
    'print (int) open("/proc/{pool}/mem", 2)',
    "print (int) unshare(0x10000000)",
    "print (int) unshare(0x40000000)",
    'print (int) chroot("/")',
    "print (int) socket(2, 1, 0)",      # an outbound connection, a port below 1024
    "print (int) fork()",
]


@pytest.mark.skipif(GDB is None, reason="gdb is not installed")
def test_code_running_before_a_login_gets_nothing_and_is_ended(server, zorvad_dir):
    # The attacker: code running in the process that reads a client's
    # commands before its login (a fault in parsing them).  Each call is
    # refused, or ends that process on the spot; the server serves on.
    s = server(domain=DOMAIN)
    victim = os.path.join(zorvad_dir, "root-owned")
    with open(victim, "w") as v:
        v.write("root's\n")
    for attempt in FRONT_ATTEMPTS:
        c, front = greeted_front(s)
        pool = int(status(front)["PPid"])
        values, out = gdb_calls(front, attempt.format(victim=victim, master=s.pid, pool=pool))
        if not values and "ptrace" in out.stderr and not gone(front):
            pytest.skip("this machine lets no debugger attach: " + out.stderr.strip()[:200])
        assert values == [-1] or (not values and wait_for(lambda: gone(front))), attempt + out.stdout + out.stderr
        c.close()
    with open(victim) as v:
        assert v.read() == "root's\n"
    st = os.stat(victim)
    assert (st.st_uid, st.st_mode & 0o7777) == (0, 0o644)
    assert os.path.exists("/proc/%d" % s.pid)
    f = ftplib.FTP()
    f.connect("127.0.0.1", s.port, timeout=20)
    f.login("anonymous", "a@b.c")
    f.quit()


def shared_mappings(pid):
    """(start address, permissions, name) of each shared mapping of pid."""
    found = []
    with open("/proc/%d/maps" % pid) as f:
        for line in f:
            fields = line.split()
            if fields[1].endswith("s"):
                found.append((int(fields[0].split("-")[0], 16), fields[1], fields[5] if len(fields) > 5 else ""))
    return found


@pytest.mark.skipif(GDB is None, reason="gdb is not installed")
def test_code_running_before_a_login_cannot_write_the_status_area_or_the_shared_tables(server):
    # The attacker: code running in the process that reads a client's
    # commands before its login.  The status area that zorvad_spy and the
    # per-address limits trust is read-only to it, and cannot be made
    # writable; the session index, directory generations and quota records
    # are not mapped at all.  What it records of itself still shows, but
    # not a login that never happened.
    s = server(domain=DOMAIN)
    c = s.greeted()
    assert c.command("NOOP").startswith("200 ")
    front = sole_holder(s, c.sock)
    maps = shared_mappings(front)
    segment = [m for m in maps if m[2] == "/SYSV%08x" % s.key]
    assert [m[1] for m in segment] == ["r--s"], maps
    writable = [m for m in maps if m[1].startswith("rw")]
    assert len(writable) == 1, maps           # its own slot's page, shared with its pool child alone
    state = writable[0][0] + 444                # the state word of the slot it records itself in
    values, out = gdb_calls(front, "print (int) mprotect(%d, 4096, 3)" % segment[0][0],
                            "set var *(unsigned int *) %d = 1" % state, "print *(unsigned int *) %d" % state)
    assert values == [-1, 1], out.stdout + out.stderr
    assert c.command("NOOP").startswith("200 ")
    (n,) = wait_for(lambda: s.busy_children())
    assert (s.slot(n)["command"], s.slot(n)["state"]) == ("NOOP", 0)
    c.close()


def test_a_tls_client_that_leaves_after_user_does_not_silence_the_next_client(server, cert):
    # The attacker: a remote client before its login, which starts TLS,
    # sends USER and goes.  Its pool child, which ran USER as if under TLS,
    # must greet the next client (served by the same pool child) all the same.
    s = server(domain=DOMAIN, general="max-users = 1\n" + tls_keys(cert, "allowed"))
    for _ in range(2):
        c = socket.create_connection(("127.0.0.1", s.port), timeout=20)
        assert c.recv(1024).startswith(b"220")
        c.sendall(b"AUTH TLS\r\n")
        assert c.recv(1024).startswith(b"234")
        t = client_context().wrap_socket(c)
        t.sendall(b"USER anonymous\r\n")
        assert t.recv(1024).startswith(b"331")
        t.close()
        f = ftplib.FTP()
        f.connect("127.0.0.1", s.port, timeout=20)
        f.login("anonymous", "a@b.c")
        assert f.nlst() is not None
        f.quit()




def test_a_stopped_front_holds_its_pool_child_no_longer_than_the_login_time_out(server):
    # The attacker: code running in the front that stops it (root's signal
    # stands for it here), or that ignores the time, so that it never ends
    # itself.  Its pool child ends it a few seconds after the login
    # time-out, logs the session's end and serves on.
    s = server(domain=DOMAIN + "log-session = {dir}/session.log\n",
               general="max-users = 1\nlog-sessions = yes\nlogin-timeout = 2\n")
    c, front = greeted_front(s)
    os.kill(front, signal.SIGSTOP)
    assert wait_for(lambda: gone(front), 20)
    assert c.recv(1024) == b""
    c.close()
    lines = wait_for(lambda: s.log_file("session.log").splitlines(), 10)
    assert len(lines) == 1 and lines[0].split("| ", 1)[1].split(",")[8] == "4", lines   # the login time-out
    assert wait_for(lambda: not s.busy_children(), 10)     # its slot is free once the line is out
    f = ftplib.FTP()
    f.connect("127.0.0.1", s.port, timeout=20)
    f.login("anonymous", "a@b.c")
    f.quit()


# ---- Before a login: what the front is still given (open faults) ------------------------------


def memory_holds(pid, secret):
    """True when a writable mapping of the process holds the bytes."""
    with open("/proc/%d/maps" % pid) as maps, open("/proc/%d/mem" % pid, "rb", 0) as mem:
        for line in maps:
            span, perms = line.split()[:2]
            if not perms.startswith("rw"):
                continue
            start, end = (int(x, 16) for x in span.split("-"))
            try:
                mem.seek(start)
                if secret in mem.read(end - start):
                    return True
            except OSError:
                continue
    return False


def greeted(s):
    """A connection the server greeted; None while it refuses (the pool
    child of the last session not free yet)."""
    c = socket.create_connection(("127.0.0.1", s.port), timeout=20)
    if c.recv(1024).startswith(b"220"):
        return c
    c.close()
    return None


def test_code_running_before_a_login_finds_no_password_hash_of_an_earlier_client(server, users):
    # The attacker: code running in the front (its memory read here stands
    # for it), which the same pool child forked after it checked another
    # client's password: that account's hash from the shadow file must not
    # be there to be sent off and cracked.
    u = users()
    s = server(domain=DOMAIN, general="max-users = 1\n")
    f = ftplib.FTP()
    f.connect("127.0.0.1", s.port, timeout=20)
    with pytest.raises(ftplib.error_perm, match="530"):
        f.login(u.name, "not-" + u.password)
    f.quit()
    with open("/etc/shadow") as shadow:
        digest = next(line.split(":")[1] for line in shadow if line.startswith(u.name + ":"))
    c = wait_for(lambda: greeted(s), 10, 0.2)
    assert c is not None
    front = sole_holder(s, c)
    assert not memory_holds(front, digest.encode())
    c.close()


@pytest.mark.parametrize("typed", ["wrong", "right"])
def test_code_running_before_a_login_finds_nothing_of_an_earlier_virtual_users_password(server, zorvad_dir, typed):
    # The attacker: code running in the front (its memory read here stands
    # for it), which the same pool child forked after it checked a virtual
    # user's password, wrong or right: neither that user's hash from the
    # password database (to be cracked) nor the password itself may be there.
    db = vera_db(zorvad_dir, "Vera-s3cret")
    with open(db, "rb") as d:
        digest = re.search(rb"vera:(\$1\$[^:]+):", d.read()).group(1)
    s = server(domain=DOMAIN + "passwd = %s\n" % db, general="max-users = 1\n")
    f = ftplib.FTP()
    f.connect("127.0.0.1", s.port, timeout=20)
    if typed == "right":
        f.login("vera", "Vera-s3cret")
    else:
        with pytest.raises(ftplib.error_perm, match="530"):
            f.login("vera", "Vera-wrong")
    f.quit()
    c = wait_for(lambda: greeted(s), 10, 0.2)
    assert c is not None
    front = sole_holder(s, c)
    assert [memory_holds(front, secret) for secret in (digest, b"Vera-s3cret", b"Vera-wrong")] == [False] * 3
    c.close()


def test_code_running_before_a_login_finds_no_password_of_an_earlier_client(server, users, cert):
    # The attacker: code running in the front (its memory read here stands
    # for it), which the same pool child forked after another client logged
    # in over TLS: that client's password, which never crossed the network
    # in the clear, must not be there to be sent off.
    u = users()
    s = server(domain=DOMAIN, general="max-users = 1\n" + tls_keys(cert, "required-nonanon"))
    f = ReusingFTP(context=client_context())
    f.connect("127.0.0.1", s.port, timeout=20)
    f.auth()
    f.login(u.name, u.password)
    f.quit()
    c = wait_for(lambda: greeted(s), 10, 0.2)
    assert c is not None
    front = sole_holder(s, c)
    assert not memory_holds(front, u.password.encode())
    assert not memory_holds(int(status(front)["PPid"]), u.password.encode())
    c.close()


def send_as(ident, sig, pid):
    """kill -SIG pid run by a process with only the ids ident."""
    return subprocess.run(["setpriv", "--reuid=%d" % ident, "--regid=%d" % ident, "--clear-groups",
                           "kill", "-" + sig, str(pid)], capture_output=True, text=True, timeout=20)


def test_neither_a_local_process_of_nobody_nor_another_front_can_stop_a_front(server):
    # The attackers: a local process running as nobody (another daemon's
    # account, or a virtual user mapped to it), and the front of a second
    # client, taken over by that client (its ids stand for it here).
    # Either would stop every other client's front, and with it the pool
    # child that waits for it.
    s = server(domain=DOMAIN)
    f = ftplib.FTP()
    f.connect("127.0.0.1", s.port, timeout=20)
    front = sole_holder(s, f.sock)
    other, other_front = greeted_front(s)
    mine, theirs = front_id(s, front), front_id(s, other_front)
    assert mine != theirs
    assert_no_rights_at_all(other_front, theirs)
    results = [send_as(attacker, "STOP", front) for attacker in (NOBODY.pw_uid, theirs)]
    if any(r.returncode == 0 for r in results):
        os.kill(front, signal.SIGCONT)
    assert [r.returncode != 0 and "Operation not permitted" in r.stderr for r in results] == [True, True], results
    assert status(front)["State"][0] != "T"
    # The front serves on: its client logs in.
    f.login("anonymous", "a@b.c")
    assert f.nlst() is not None
    f.quit()
    other.close()


@pytest.mark.parametrize("database, nth", [("passwd", 1), ("passwd", 4), ("group", 8)],
                         ids=["account-first", "account-inside", "group-last"])
def test_fronts_run_as_nobody_when_an_account_or_group_holds_an_id_of_their_range(
        server, zorvad_dir, database, nth):
    # The attacker: a local account or group that already holds one of the
    # fronts' ids, an end of the range or one inside it (added here to a
    # private copy of the database), whose processes could signal the front
    # under that id.  The master logs it and the fronts run as nobody
    # instead; clients are served as before.
    ident = FRONT_UID_BASE + nth
    # A copy of all of /etc in place of it: a file bind-mounted alone would
    # be detached when another test's useradd replaces the host's file.
    # (Lock files another useradd makes and removes meanwhile may fail to copy.)
    etc = os.path.join(zorvad_dir, "etc")
    subprocess.run(["cp", "-a", "/etc", etc], capture_output=True)
    assert os.path.isfile(os.path.join(etc, database))
    with open(os.path.join(etc, database), "a") as db:
        db.write("zfront:x:%d:%d::/nonexistent:/usr/sbin/nologin\n" % (ident, ident) if database == "passwd"
                 else "zfront:x:%d:\n" % ident)
    script = 'set -e; mount --bind "$1" /etc; shift; exec "$@"'
    s = server(domain=DOMAIN, wrapper=["unshare", "-m", "--propagation", "private", "sh", "-c", script, "sh", etc])
    s.wait_log(r"front-uid-base: id %d belongs to the %s zfront; every front runs as nobody\.\n"
               % (ident, "account" if database == "passwd" else "group"))
    f = ftplib.FTP()
    f.connect("127.0.0.1", s.port, timeout=20)
    assert_no_rights_at_all(sole_holder(s, f.sock), NOBODY.pw_uid, NOBODY.pw_gid)
    f.login("anonymous", "a@b.c")
    f.quit()


def test_a_virtual_user_whose_database_line_names_a_fronts_uid_cannot_log_in(server, zorvad_dir):
    # The attacker: a remote client logging in as a virtual user whose
    # user-database line names one of the fronts' ids: its session could
    # stop that front.  The login is refused after the password.
    home = os.path.join(zorvad_dir, "vhome")
    os.makedirs(home)
    db = os.path.join(zorvad_dir, "db", "passwd.db")
    write_passwd_db(db, "vera:{plain}s3cret:70003:70003::%s:/bin/false" % home)
    s = server(domain=DOMAIN + "passwd = %s\n" % db, general="front-uid-base = 70000\n")
    c = s.greeted()
    assert c.command("USER vera").startswith("331 ")
    assert c.command("PASS s3cret") == "451 Login failed, local error.\r\n"
    assert c.closed()
    s.wait_log(r'User "vera" has uid 70003, one of the fronts\' ids \(front-uid-base\): login refused\.\n')
    assert [p for p in s.processes() if uid_of(p) == "70003"] == []


@pytest.mark.skipif(GDB is None, reason="gdb is not installed")
def test_code_running_before_a_login_cannot_rewrite_the_status_area(server):
    # The attacker: code running in the front, rewriting what the status
    # area shows of other processes (the master's slot here), which
    # administrators and visitors of the status page read.
    s = server(domain=DOMAIN)
    c, front = greeted_front(s)
    values, out = gdb_calls(front, "print (int) (((char *) (gShmSlot - gChild) + 88)[0] = 'F')")
    assert values != [70] and s.slot(0)["user"] != "F", out.stdout + out.stderr
    c.close()


@pytest.mark.skipif(GDB is None, reason="gdb is not installed")
def test_code_running_before_a_login_gets_no_answer_meant_for_a_logged_in_session(server):
    # The attacker: code running in the front, asking its pool child for
    # what only a logged-in session may ask: count a transfer into the
    # domain set's totals, queue an event.
    s = server(domain=DOMAIN)
    c, front = greeted_front(s)
    call = "print (int) $call($r, -1)"
    values, out = gdb_calls(front, "set $call = (int (*)(void *, int)) 'PrivCall(PrivRequest const&, int)'",
                            "set $r = (char *) malloc(1104)", "call (void) memset($r, 0, 1104)",
                            "set *(int *) $r = 8", "set *(long *) ($r + 24) = 1000000", call,
                            "set *(int *) $r = 4", "set *(int *) ($r + 4) = 8", call)
    assert values == [-1, -1], out.stdout + out.stderr
    c.close()


@pytest.mark.skipif(GDB is None, reason="gdb is not installed")
def test_code_running_in_a_session_cannot_make_the_status_area_lie_about_who_it_is(server, zorvad_dir, users):
    # The attacker: code running in a logged-in session, writing its own
    # slot (the page its pool child publishes from) as it likes: another
    # user and address, a state that does not exist, a command without its
    # end.  What zorvad_spy, the status page and the per-address limits
    # read keeps the pool child's own fields and only well-formed text.
    s, f, uid, gid = anonymous(server, zorvad_dir, users)
    pid = session_holder(s, f)
    (n,) = wait_for(lambda: s.busy_children())
    before = s.slot(n)
    values, out = gdb_calls(pid, "call (void) strcpy(gRUserPtr->user, \"root\")",
                            "call (void) strcpy(gRUserPtr->addr, \"10.9.8.7\")",
                            "set gRUserPtr->state = 99", "call (void) memset(gRUserPtr->command, 65, 256)",
                            "set $r = (char *) malloc(1104)", "call (void) memset($r, 0, 1104)",
                            "set *(int *) $r = 7",
                            "print (int) ((int (*)(void *, int)) 'PrivCall(PrivRequest const&, int)')($r, -1)")
    assert values == [0], out.stdout + out.stderr
    after = s.slot(n)
    assert (after["user"], after["addr"], after["state"]) == (before["user"], before["addr"], before["state"])
    assert after["command"] == "A" * 255
    f.quit()


@pytest.mark.skipif(GDB is None, reason="gdb is not installed")
def test_code_running_in_a_session_cannot_hide_it_from_the_status_monitor(server, zorvad_dir, users):
    # The attacker: code running in a logged-in session, which writes its
    # last activity as "never" (zorvad_spy's who, json and metrics then skip
    # the slot as serving no session) or as the far future (never idle).
    from test_spy import spy
    s, f, uid, gid = anonymous(server, zorvad_dir, users)
    pid = session_holder(s, f)
    (n,) = wait_for(lambda: s.busy_children())
    publish = ["set $r = (char *) malloc(1104)", "call (void) memset($r, 0, 1104)", "set *(int *) $r = 7",
               "print (int) ((int (*)(void *, int)) 'PrivCall(PrivRequest const&, int)')($r, -1)"]
    for forged in (0, 1 << 62):
        values, out = gdb_calls(pid, "set gRUserPtr->lastCommandTime = %d" % forged, *publish)
        assert values == [0], out.stdout + out.stderr
        assert 0 < s.slot(n)["last_command"] <= time.time() + 1
        sessions = json.loads(spy(s, "json").stdout)["sessions"]
        assert [x["pid"] for x in sessions] == [s.slot(n)["pid"]]
    f.quit()


# The registers a stopped process resumes with; a call it was waiting in
# (poll, for a session between commands) is made again from them.
REGISTERS = ["rax", "rbx", "rcx", "rdx", "rsi", "rdi", "rbp", "rsp", "r8", "r9", "r10", "r11", "r12", "r13",
             "r14", "r15", "rip", "eflags", "orig_rax"]


def clone_in(pid, flags):
    """The process pid, stopped in a system call, makes a clone with flags
    (as code running in it may: a session forks its archivers) and goes on
    as it was; a child waits in pause(), attached to nothing.  What the call
    answered (the child's pid, or -errno), or None where the process was not
    stopped right after a system call instruction."""
    child = "$ret > 0"
    pause_stack = "set $t = (((long) $rsp - 4096) & ~15)"
    lines = (["set detach-on-fork off", "set follow-fork-mode parent",
              "print (int) (*(unsigned short *) ($pc - 2) == 0x050f)"]
             + ["set $saved_%s = $%s" % (r, r) for r in REGISTERS]
             + ["set $orig_rax = -1", "set $rax = 56", "set $rdi = %d" % flags, "set $rsi = 0", "set $rdx = 0",
                "set $r10 = 0", "set $r8 = 0", "set $pc = $pc - 2", "stepi", "set $ret = (long) $rax",
                "print $ret"]
             + ["set $%s = $saved_%s" % (r, r) for r in REGISTERS]
             # Only a child, in inferior 2, is sent to pause(): without one
             # the lines below leave the process as it is.
             + ["inferior 2", pause_stack]
             + ["set *(long *) ($t + %d) = %s ? (long) &pause : *(long *) ($t + %d)" % (8 * i, child, 8 * i)
                for i in range(16)]
             + ["set $rsp = %s ? $t + 8 : $rsp" % child, "set $pc = %s ? (long) &pause : $pc" % child,
                "set $orig_rax = %s ? -1 : $orig_rax" % child, "detach inferiors 2"])
    values, out = gdb_calls(pid, *lines)
    return values[1] if values[:1] == [1] and len(values) == 2 else None


def fork_in(pid):
    """clone_in with the flags of a fork: the child's pid, or None."""
    child = clone_in(pid, signal.SIGCHLD)
    return child if child is not None and child > 0 else None


@pytest.mark.skipif(GDB is None, reason="gdb is not installed")
@pytest.mark.parametrize("kind,end", [("virtual", "quit"), ("virtual", "server-stop"),
                                      ("virtual", "server-stop-ignored"), ("virtual", "pool-child-killed"),
                                      ("anonymous-only", "server-stop-ignored"),
                                      ("anonymous-only", "pool-child-killed")])
def test_what_code_in_a_session_starts_ends_with_the_session(server, zorvad_dir, kind, end):
    # The attacker: code running in a session, which forks a child meant to
    # outlive it.  Left running as the session's user, it could signal that
    # user's later sessions or wait for the next client of its pool child.
    # The child cannot leave the session's process group, and the group ends
    # with the session: at the client's QUIT and at the server's stop, also
    # when the session ignores the stop and its pool child's end, and when
    # an administrator kills its pool child.  The master of an anonymous-only
    # server is in a chroot without /proc from its start: it ends the
    # leftovers all the same.
    if kind == "virtual":
        s, f, _, _ = virtual(server, zorvad_dir, None)
    else:
        s = server(args=["-a"])
        os.makedirs(os.path.join(s.dir, "ftp"), exist_ok=True)
        f = ftplib.FTP()
        f.connect("127.0.0.1", s.port, timeout=20)
        f.login("anonymous", "a@b.c")
        assert os.readlink("/proc/%d/root" % s.pid) == os.path.join(s.dir, "ftp")
    session = session_holder(s, f)
    child = fork_in(session)
    if child is None:
        pytest.skip("the session's process could not be made to fork here")
    try:
        values, out = gdb_calls(child, "print (int) setsid()", "print (int) setpgid(0, 0)", "print (int) getpgrp()")
        assert values == [-1, -1, session], out.stdout + out.stderr
        if end == "quit":
            f.quit()
            assert wait_for(lambda: not s.busy_children())
        else:
            if end != "server-stop":
                values, out = gdb_calls(session, "print (long) signal(15, 1)", "print (int) prctl(1, 0)")
                assert len(values) == 2 and values[1] == 0, out.stdout + out.stderr
            if end == "pool-child-killed":
                os.kill(int(status(session)["PPid"]), signal.SIGKILL)
            else:
                s.stop()
        assert wait_for(lambda: gone(child) and gone(session))
    finally:
        kill_left(child, session)


@pytest.mark.skipif(GDB is None, reason="gdb is not installed")
def test_an_administrator_killing_one_pool_child_leaves_another_users_session_whole(server, zorvad_dir):
    # An administrator kills one pool child; the master ends what that child
    # left and nothing of another user's live session, though a process of
    # that session whose parent has ended is the master's child too (the
    # master is the sub-reaper below the pool).  That session ends it itself.
    s, f, _, _ = virtual(server, zorvad_dir, None)
    session = session_holder(s, f)
    parent = fork_in(session)
    orphan = fork_in(parent) if parent is not None else None
    if orphan is None:
        pytest.skip("the session's process could not be made to fork here")
    try:
        gdb_calls(parent, "call (void) _exit(0)")
        assert wait_for(lambda: status(orphan)["PPid"] == str(s.pid))
        other = ftplib.FTP()
        other.connect("127.0.0.1", s.port, timeout=20)
        other.login("anonymous", "a@b.c")
        killed = sole_holder(s, other.sock)
        os.kill(int(status(killed)["PPid"]), signal.SIGKILL)
        assert wait_for(lambda: gone(killed))
        assert wait_for(lambda: "Detected abnormal death of child" in s.log_file())
        assert not gone(orphan) and not gone(session)
        assert f.pwd() == "/"
        f.quit()
        assert wait_for(lambda: gone(orphan) and gone(session))
    finally:
        kill_left(parent, orphan, session)


@pytest.mark.skipif(GDB is None, reason="gdb is not installed")
def test_code_running_in_a_session_makes_no_namespace_and_no_child_of_its_pool_child(server, zorvad_dir):
    # The attacker: code running in a session.  A user namespace would give
    # its children every capability there and the kernel's interfaces that
    # come with them (networks, mounts); a child given to the pool child
    # would be outside what the session started, left to that root process
    # to reap.  Such a clone fails as for any unprivileged caller.
    s, f, _, _ = virtual(server, zorvad_dir, None)
    session = session_holder(s, f)
    clone_parent, new_user, new_pid, new_net = 0x8000, 0x10000000, 0x20000000, 0x40000000
    for flags in (new_user | new_pid, new_user | new_net, clone_parent):
        answer = clone_in(session, flags | signal.SIGCHLD)
        if answer is None:
            pytest.skip("the session's process could not be made to clone here")
        try:
            assert answer == -errno.EPERM, hex(flags)
        finally:
            if answer > 0:
                os.kill(answer, signal.SIGKILL)
    # A plain fork, as of an archiver, still works.
    child = fork_in(session)
    assert child is not None and os.getpgid(child) == session
    assert f.sendcmd("NOOP").startswith("200")
    f.quit()
    assert wait_for(lambda: gone(child))


def private_scalar(key_file):
    """The secret number of an EC key, as its big-endian bytes."""
    text = subprocess.run(["openssl", "pkey", "-in", str(key_file), "-text", "-noout"], capture_output=True,
                          text=True, check=True, timeout=20).stdout
    digits = re.search(r"priv:\s*(.*?)\s*pub:", text, re.S).group(1)
    return bytes.fromhex(re.sub(r"[^0-9a-f]", "", digits)).lstrip(b"\0")


@pytest.mark.parametrize("version", ["1.2", "1.3"])
def test_code_running_in_a_tls_session_finds_no_tls_private_key(server, users, cert, version):
    # The attacker: code running in a logged-in TLS session (its memory read
    # here stands for it).  With the server's private key it could pose as
    # the server to every later client; its data connections only ever
    # resume the control connection's TLS session, which needs no key.
    u = users()
    with open(os.path.join(u.home, "file.bin"), "wb") as out:
        out.write(b"x" * 100000)
    s = server(domain=DOMAIN, general=tls_keys(cert, "required-nonanon"))
    context = client_context()
    if version == "1.2":
        context.maximum_version = ssl.TLSVersion.TLSv1_2
    f = ReusingFTP(context=context)
    f.connect("127.0.0.1", s.port, timeout=20)
    f.auth()
    f.login(u.name, u.password)
    f.prot_p()
    got = bytearray()
    assert f.retrbinary("RETR file.bin", got.extend).startswith("226") and len(got) == 100000
    port = ftplib.parse227(f.sendcmd("PASV"))[1]
    (pid,) = wait_for(lambda: holders(port))
    assert uid_of(pid) == str(u.uid)
    scalar = private_scalar(cert / "key.pem")
    with open(cert / "key.pem") as k:
        body = "".join(line.strip() for line in k if not line.startswith("-----"))
    for secret in (scalar, scalar[::-1], body[:40].encode()):
        assert not memory_holds(pid, secret)
    fds = [os.readlink("/proc/%d/fd/%s" % (pid, fd)) for fd in os.listdir("/proc/%d/fd" % pid)]
    assert str(cert / "key.pem") not in fds
    # Its data connections still resume the control connection's session.
    got = bytearray()
    assert f.retrbinary("RETR file.bin", got.extend).startswith("226") and len(got) == 100000
    f.quit()


@pytest.mark.skipif(GDB is None, reason="gdb is not installed")
def test_code_running_in_a_session_cannot_hold_other_users_renames(server, zorvad_dir, users):
    # The attacker: code running in a user's session, which locks the whole
    # table of the areas' locks (a rename checks and moves under its area's
    # lock) with whatever descriptor of it it holds, asks its pool child for
    # its own area's lock and keeps it, then goes.  Another user's renames
    # in its own area must not wait, neither meanwhile nor after the
    # attacker's session ended.
    u, v = users(), users()
    with open(os.path.join(v.home, "old.txt"), "w") as f:
        f.write("old\n")
    os.chown(os.path.join(v.home, "old.txt"), v.uid, v.gid)
    s = server(domain=DOMAIN)
    attacker = ftplib.FTP()
    attacker.connect("127.0.0.1", s.port, timeout=20)
    attacker.login(u.name, u.password)
    pid = session_holder(s, attacker)
    tables = [int(fd) for fd in os.listdir("/proc/%d/fd" % pid)
              if "zorvad-area-locks" in os.readlink("/proc/%d/fd/%s" % (pid, fd))]
    # F_OFD_SETLK of a write lock from byte 0 to the end; then the lock of
    # its own area, as a rename asks for it.
    lines = ["set $l = (short *) malloc(32)", "call (void) memset($l, 0, 32)", "set *$l = 1"]
    lines += ["print (int) fcntl(%d, 37, $l)" % fd for fd in tables]
    lines += ["set $r = (char *) malloc(1104)", "call (void) memset($r, 0, 1104)", "set *(int *) $r = 14",
              "set *(long *) ($r + 16) = 1",
              "print (int) ((int (*)(void *, int)) 'PrivCall(PrivRequest const&, int)')($r, -1)"]
    values, out = gdb_calls(pid, *lines)
    assert len(values) == len(tables) + 1, out.stdout + out.stderr
    victim = ftplib.FTP()
    victim.connect("127.0.0.1", s.port, timeout=20)
    victim.login(v.name, v.password)
    for source, target in (("old.txt", "new.txt"), ("new.txt", "newer.txt")):
        start = time.monotonic()
        assert victim.sendcmd("RNFR " + source).startswith("350")
        assert victim.sendcmd("RNTO " + target).startswith("250")
        assert time.monotonic() - start < 5
        if source == "old.txt":
            attacker.quit()     # the second rename comes after the attacker's session ended
            assert wait_for(lambda: gone(pid))
    victim.quit()


@pytest.mark.skipif(GDB is None, reason="gdb is not installed")
def test_code_running_in_a_session_gets_no_set_group_id_directory_of_another_group(server, zorvad_dir, users):
    # The attacker: code running in an anonymous session, which makes a
    # directory set-group-ID (its own, in its own group) and asks its pool
    # child to give it to the group of the directory that holds it, root's
    # here: every file made in it later would be root's group's.  What the
    # pool child gives carries no set-id bit its parent did not hand down.
    s, f, uid, gid = anonymous(server, zorvad_dir, users)
    incoming = os.path.join(s.dir, "ftp", "incoming")
    os.makedirs(incoming)
    os.chmod(incoming, 0o777)
    pid = session_holder(s, f)
    for name, flags in (("opened", 0o200000), ("path-only", 0o10200000)):    # O_DIRECTORY, O_PATH
        d = os.path.join(incoming, name)
        values, out = gdb_calls(pid, 'print (int) mkdir("%s", 0777)' % d, 'print (int) chmod("%s", 02777)' % d,
                                'print (int) open("%s", %d)' % (d, flags), "set $fd = $3",
                                "set $r = (char *) malloc(1104)", "call (void) memset($r, 0, 1104)",
                                "set *(int *) $r = 2", 'call (void) strcpy($r + 64, "%s")' % d,
                                "set *(int *) ($r + 4) = %d" % (len(d) + 1), "set *(long *) ($r + 16) = -1",
                                "set *(long *) ($r + 24) = 0",
                                "print (int) ((int (*)(void *, int)) 'PrivCall(PrivRequest const&, int)')($r, $fd)")
        assert len(values) == 4 and values[:2] == [0, 0] and values[2] >= 0, out.stdout + out.stderr
        st = os.stat(d)
        assert st.st_gid == gid or st.st_mode & 0o6000 == 0, (name, oct(st.st_mode), st.st_gid)
    f.quit()
