"""The shared status area as another program sees it: its size, the header,
a child's slot during and after a session, and its removal at shutdown."""
import os
import re
import socket
import subprocess
import sys
import time

from accounts import users  # noqa: F401 (fixture)
from conftest import SHM_HEADER, SHM_SLOT, _libc, free_port, shm_header, shm_key, wait_for


def ipcs_bytes(key):
    out = subprocess.run(["ipcs", "-m"], capture_output=True, text=True, check=True).stdout
    for line in out.splitlines():
        fields = line.split()
        if fields and fields[0] == "0x%08x" % key:
            return int(fields[4])
    return None


def test_the_segment_of_ten_users_has_its_size_and_header(server):
    before = int(time.time())
    s = server(general="max-users = 10\n")
    assert ipcs_bytes(s.key) == 49408
    data = s.segment()
    assert len(data) == 49408
    h = shm_header(data)
    assert h["version"] == "Zorvad 1.0.0"
    assert h["max_users"] == 10
    assert before - 1 <= h["server_start"] <= time.time()
    assert h["general_cf"] == s.general_cf and h["domain_cf"] == s.domain_cf
    # The logger keeps the clock; its pid sits in the slot after the children's.
    assert wait_for(lambda: shm_header(s.segment())["time_cache"] >= before)
    assert abs(shm_header(s.segment())["time_cache"] - time.time()) <= 3
    assert s.slot(0)["pid"] == s.pid
    with open(s.pid_file()) as f:
        logger = int(re.search(r"kill -9 +(\d+) 2>/dev/null    # logger", f.read()).group(1))
    assert s.slot(11)["pid"] == logger


def test_a_server_started_with_relative_names_records_them_absolutely(server):
    """The set-user-ID monitor follows only an absolute general.cf (a relative
    one would be resolved through whatever process holds the master's pid)."""
    relative = ("import os, sys; a = sys.argv[1:]; a[-2:] = [os.path.basename(x) for x in a[-2:]]; "
                "os.execv(a[0], a)")
    s = server(wrapper=("/usr/bin/python3", "-c", relative))
    h = shm_header(s.segment())
    assert (h["general_cf"], h["domain_cf"]) == (os.path.realpath(s.general_cf), os.path.realpath(s.domain_cf))
    assert os.path.isabs(h["general_cf"])


def test_a_slot_during_and_after_a_session(server):
    s = server(general="min-users = 1\nmax-users = 2\n")
    c = s.greeted()
    assert c.command("NOOP").startswith("200 ")
    slot = s.slot(1)
    child = slot["pid"]
    assert child not in (0, s.pid)
    assert slot["session_start"] > 0 and slot["proc_start"] > 0
    assert slot["addr"] == "127.0.0.1" and slot["host"] == "127.0.0.1" and slot["host_resolved"] == 0
    assert slot["domain"] == "test"
    assert slot["command"] == "NOOP" and slot["cwd"] == "/"
    assert re.fullmatch(r"[A-Za-z0-9+/]{24}", slot["session_id"])
    assert slot["users_on_server"] == 1 and slot["users_on_domain"] == 1
    assert slot["resets"] == 1

    assert c.command("QUIT") == "221 Goodbye.\r\n"
    assert wait_for(lambda: s.slot(1)["session_start"] == 0)
    after = s.slot(1)
    # The process stays; only the live part is cleared.
    assert after["pid"] == child and after["proc_start"] == slot["proc_start"]
    assert after["resets"] == 1
    assert after["live_part"] == b"\0" * 944


def test_a_client_quitting_before_its_login_leaves_the_next_sessions_slot_live(server):
    """A remote client connects and QUITs before any login, which its pool
    child answers itself.  The next client that pool child serves logs in:
    an administrator reading the status area sees each of its commands and
    where it is, not the login it made."""
    s = server(general="min-users = 1\nmax-users = 1\n")
    first = s.greeted()
    assert first.command("QUIT") == "221 Goodbye.\r\n"
    assert first.closed()
    assert wait_for(lambda: s.slot(1)["session_start"] == 0)
    c = s.greeted()
    assert c.command("USER anonymous").startswith("331 ")
    assert c.command("PASS a@b.c").startswith("230 ")
    os.mkdir(os.path.join(s.dir, "ftp", "sub"))
    assert c.command("CWD sub").startswith("250 ")
    assert c.command("NOOP").startswith("200 ")
    slot = s.slot(1)
    assert (slot["command"], slot["cwd"], slot["state"]) == ("NOOP", os.path.join(s.dir, "ftp", "sub"), 1)
    c.close()


def test_sigterm_removes_the_segment_and_the_pid_file_and_ends_every_process(server):
    s = server(general="min-users = 3\nmax-users = 4\n")
    c = s.greeted()
    assert s.segment() is not None
    assert s.stop() == 0
    assert c.closed()
    assert s.segment() is None
    assert ipcs_bytes(s.key) is None
    assert not os.path.exists(s.pid_file())
    assert wait_for(lambda: not s.processes())


def test_a_second_server_on_the_same_port_leaves_the_running_ones_segment(server):
    s = server(general="min-users = 2\nmax-users = 3\n")
    c = s.greeted()
    segment = _libc.shmget(s.key, 0, 0)
    assert segment >= 0

    second = server(port=s.port, wait=False)
    assert second.proc.wait(20) == 1
    assert ("shared memory pool [key 0x%x] belongs to a running server (master pid %d, "
            % (s.key, s.pid)) in second.log()
    assert "Removed it" not in second.log()

    # The monitor still finds the running server, which serves on.
    assert _libc.shmget(s.key, 0, 0) == segment
    assert s.slot(0)["pid"] == s.pid
    assert c.command("NOOP").startswith("200 ")
    other = s.greeted()
    assert wait_for(lambda: len(s.busy_children()) == 2)
    assert other.command("QUIT") == "221 Goodbye.\r\n"


SQUATTER = """
import ctypes, os, sys
libc = ctypes.CDLL(None, use_errno=True)
libc.shmat.restype = ctypes.c_void_p
libc.shmget.argtypes = [ctypes.c_int, ctypes.c_size_t, ctypes.c_int]
libc.shmat.argtypes = [ctypes.c_int, ctypes.c_void_p, ctypes.c_int]
sid = libc.shmget(int(sys.argv[1]), %d, 0o1000 | 0o2000 | 0o666)
assert sid >= 0, ctypes.get_errno()
addr = libc.shmat(sid, None, 0)
# Slot 0 names the squatter itself as a live master, and it stays attached.
ctypes.c_int32.from_address(addr + %d).value = os.getpid()
print("ready", flush=True)
sys.stdin.readline()
""" % (SHM_HEADER + SHM_SLOT * 4, SHM_HEADER)


def test_a_segment_a_local_user_made_first_does_not_keep_the_server_from_starting(server, users):
    """A local user without privileges creates the status segment's key
    first, stays attached and names itself as the master in slot 0: the
    server removes that segment, says so, and starts on a segment of its own
    that the user cannot reach."""
    u = users()
    port = free_port()
    key = shm_key(port)
    squatter = subprocess.Popen(["setpriv", "--reuid", str(u.uid), "--regid", str(u.gid), "--clear-groups",
                                 sys.executable, "-c", SQUATTER, str(key)],
                                stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    try:
        assert squatter.stdout.readline() == "ready\n"
        s = server(port=port)
        assert "belongs to a running server" not in s.log()
        assert ("shared memory pool [key 0x%x] was made by uid %d and is owned by uid %d, not by this server."
                % (key, u.uid, u.uid)) in s.log()
        assert "shared memory pool [key 0x%x] already exists!  Removed it." % key in s.log()
        assert wait_for(lambda: s.slot(0) and s.slot(0)["pid"] == s.pid)
        sid = _libc.shmget(key, 0, 0)
        info = subprocess.run(["ipcs", "-m", "-i", str(sid)], capture_output=True, text=True, check=True).stdout
        assert re.search(r"\bcuid=0\b", info) and re.search(r"\bmode=0?600\b", info), info
    finally:
        squatter.stdin.close()
        squatter.wait(10)


def test_a_download_shows_in_the_status_area_by_the_time_its_first_bytes_arrive(server):
    """An administrator or a status page reading the slot as a client gets
    its first bytes: the session shows downloading that file, short
    transfers included, not a second later."""
    s = server(general="max-users = 2\n")
    with open(os.path.join(s.dir, "ftp", "big"), "wb") as f:
        f.write(b"b" * (16 << 20))
    c = s.greeted()
    assert c.command("USER anonymous").startswith("331 ")
    assert c.command("PASS a@b.c").startswith("230 ")
    assert c.command("TYPE I").startswith("200 ")
    m = re.match(r"227 .*\((\d+),(\d+),(\d+),(\d+),(\d+),(\d+)\)", c.command("PASV"))
    d = socket.create_connection(("127.0.0.1", int(m.group(5)) * 256 + int(m.group(6))), timeout=20)
    with d:
        assert c.command("RETR big").startswith("150 ")
        assert d.recv(1) == b"b"
        (n,) = s.busy_children()
        slot = s.slot(n)
        assert (slot["state"], slot["command"]) == (2, "Retr " + os.path.join(s.dir, "ftp", "big")), slot
    assert c.reply().startswith(("226 ", "426 ", "450 ", "451 "))
    c.close()
