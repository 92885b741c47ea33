"""The master process and its pool: refusing when full, extra children
that leave when idle, respawning, the logger's death, and what every session
leaves in the session log."""
import errno
import ftplib
import os
import re
import signal
import struct
import subprocess
import sys

import pytest

from conftest import DEFAULT_DOMAIN, SHM_HEADER, SHM_SLOT, shm_header, shm_slot, wait_for
from accounts import users  # noqa: F401 (fixture)
from test_domains import private_etc_files
from test_privileges import GDB, gdb_calls, session_holder
from xferhelp import retr

SESSION_LOG = DEFAULT_DOMAIN + "log-session = {dir}/session.log\n"
REFUSED = "421 Too many users are already logged on.  Please try again in 10 minutes.\r\n"


def pool(min_users, max_users, more=""):
    return "min-users = %d\nmax-users = %d\nlog-sessions = yes\n%s" % (min_users, max_users, more)


def child_pids(s):
    """Pid of every child number with a live slot."""
    data = s.segment()
    if not data:
        return {}
    slots = [shm_slot(data, n) for n in range(1, shm_header(data)["max_users"] + 1)]
    return {n: slot["pid"] for n, slot in enumerate(slots, 1) if slot["pid"]}


def session_lines(s):
    return [re.sub(r"^\S+ \S+ \S+ +\| ", "", line)
            for line in s.log_file("session.log").splitlines(True)]


def test_a_full_server_refuses_the_next_client_with_reason_10(server):
    s = server(general=pool(1, 1), domain=SESSION_LOG)
    first = s.greeted()
    assert wait_for(lambda: s.busy_children() == [1])
    second = s.control()
    assert second.reply() == REFUSED
    assert second.closed()
    assert wait_for(lambda: "REFUSED,?,127.0.0.1,,,,,,,,,,,,,,,,,,,,,,,,,,10\n" in session_lines(s))
    s.wait_log(r"Refused connection from 127\.0\.0\.1\.\n")
    assert first.command("NOOP").startswith("200 ")        # the first is still served


def test_a_burst_of_clients_at_a_busy_pool_gets_one_greeting_each_and_a_child_each(server):
    # Remote clients arriving while every child is busy are greeted by the
    # master as they come; each child forked for one must not greet it
    # again, nor take another's connection.  Each sends its USER before
    # reading anything, as a hasty client does.
    s = server(general=pool(1, 12))
    first = s.greeted()
    assert wait_for(lambda: s.busy_children() == [1])
    burst = [s.control() for _ in range(8)]
    for c in burst:
        c.send("USER anonymous")
    for c in burst:
        assert c.reply() == "220 testhost Zorvad Server ready.\r\n"
        assert c.reply().startswith("331 ")
    for c in burst:
        assert c.command("PASS a@b.c").startswith("230")
    assert wait_for(lambda: len(s.busy_children()) == 9)
    for c in burst:
        assert c.command("NOOP").startswith("200 ")
        assert c.command("QUIT") == "221 Goodbye.\r\n"
        assert c.closed()
    assert first.command("NOOP").startswith("200 ")


def test_extra_children_leave_15_seconds_after_a_burst_and_permanent_ones_stay(server):
    s = server(general=pool(2, 5))
    assert wait_for(lambda: set(child_pids(s)) == {1, 2})
    permanent = child_pids(s)
    clients = [s.greeted() for _ in range(5)]
    assert wait_for(lambda: s.busy_children() == [1, 2, 3, 4, 5], 15)
    extra = {n: pid for n, pid in child_pids(s).items() if n > 2}
    assert set(extra) == {3, 4, 5}
    for c in clients:
        assert c.command("QUIT") == "221 Goodbye.\r\n"
    assert wait_for(lambda: not s.busy_children())
    # Well inside their 15 idle seconds the extra children are still there ...
    assert all(os.path.exists("/proc/%d" % pid) for pid in extra.values())
    # ... and after them they have gone and were not replaced.
    assert wait_for(lambda: set(child_pids(s)) == {1, 2}, 30)
    assert child_pids(s) == permanent
    assert wait_for(lambda: not any(os.path.exists("/proc/%d" % pid) for pid in extra.values()), 5)
    for n, pid in extra.items():
        s.wait_log(r"Detected death of natural causes of child #%d, pid %d\.\n" % (n, pid))


def test_a_killed_permanent_child_is_respawned_under_its_number_and_an_extra_one_is_not(server):
    s = server(general=pool(1, 2))
    first = s.greeted()
    second = s.greeted()
    assert wait_for(lambda: s.busy_children() == [1, 2])
    old = child_pids(s)

    os.kill(old[2], signal.SIGKILL)
    assert second.closed()
    s.wait_log(r"Detected abnormal death of child #2, pid %d, due to signal 9\.\n" % old[2])
    assert 2 not in child_pids(s)

    os.kill(old[1], signal.SIGKILL)
    assert first.closed()
    s.wait_log(r"Detected abnormal death of child #1, pid %d, due to signal 9\.\n" % old[1])
    assert wait_for(lambda: child_pids(s).get(1, old[1]) != old[1])
    assert 2 not in child_pids(s)
    assert wait_for(lambda: "#u1     | Started (pid=%d).\n" % child_pids(s)[1] in s.log_file())
    assert s.greeted().greeting.startswith("220 ")           # the new child serves


def test_a_full_server_serves_the_next_client_once_its_only_pool_child_is_killed(server):
    """An administrator kills the pool child of a full server (its session
    hangs): the master, waiting for clients as every child is busy, reaps
    it at once, so the client that comes next is served by its successor
    instead of being refused for the rest of that wait."""
    s = server(general=pool(1, 1))
    first = s.greeted()
    assert first.command("USER anonymous").startswith("331 ")
    assert first.command("PASS a@b.c").startswith("230 ")
    assert wait_for(lambda: s.busy_children() == [1])
    pid = child_pids(s)[1]

    def ended():
        try:
            with open("/proc/%d/stat" % pid) as f:
                return f.read().rsplit(")", 1)[1].split()[0] == "Z"
        except FileNotFoundError:
            return True
    os.kill(pid, signal.SIGKILL)
    assert wait_for(ended)
    assert s.greeted().greeting.startswith("220 ")
    assert first.closed()


def _children_of(pid):
    """(pid, name) of each process whose parent is pid."""
    found = []
    for entry in os.listdir("/proc"):
        try:
            with open("/proc/%s/status" % entry) as f:
                fields = dict(line.split(":\t", 1) for line in f.read().splitlines() if ":\t" in line)
        except (FileNotFoundError, NotADirectoryError, ProcessLookupError):
            continue
        if int(fields["PPid"]) == pid:
            found.append((int(entry), fields["Name"]))
    return found


@pytest.mark.skipif(GDB is None, reason="gdb is not installed")
def test_a_killed_pool_child_is_reaped_at_once_behind_orphans_that_ended_together(server, users):  # noqa: F811
    """Code running inside a session leaves processes that the master adopts
    and has them end in the same instant (their ends arrive as one signal:
    the test holds the master meanwhile), while the server is full.  An
    administrator then kills the other pool child: the master reaps every
    ended child before it takes a client, so the next client is served by
    the dead child's successor instead of being refused while the master
    reaps one leftover per accept window."""
    u = users()
    s = server(general=pool(2, 2))
    a = ftplib.FTP()
    a.connect("127.0.0.1", s.port, timeout=20)
    a.login(u.name, u.password)
    values, out = gdb_calls(session_holder(s, a), 'print (int) system("sleep 60 & sleep 60 & sleep 60 &")')
    if not values and "ptrace" in out.stderr:
        pytest.skip("this machine lets no debugger attach: " + out.stderr.strip()[:200])
    assert values == [0], out.stdout + out.stderr
    orphans = wait_for(lambda: [p for p, name in _children_of(s.pid) if name == "sleep"])
    assert len(orphans) == 3
    # The other pool child, forked again after the leftovers were adopted,
    # takes a second client: the server is full.
    (mine,) = s.busy_children()
    other = 3 - mine
    first = child_pids(s)[other]
    os.kill(first, signal.SIGKILL)
    assert wait_for(lambda: child_pids(s).get(other) not in (None, first))
    b = s.greeted()
    assert b.command("USER anonymous").startswith("331 ")
    assert b.command("PASS a@b.c").startswith("230 ")
    assert wait_for(lambda: len(s.busy_children()) == 2)
    successor = child_pids(s)[other]
    os.kill(s.pid, signal.SIGSTOP)
    try:
        for p in orphans:
            os.kill(p, signal.SIGKILL)
        assert wait_for(lambda: all(_state(p) == "Z" for p in orphans))
        os.kill(successor, signal.SIGKILL)
        assert wait_for(lambda: _state(successor) == "Z")
    finally:
        os.kill(s.pid, signal.SIGCONT)
    assert s.greeted().greeting.startswith("220 ")
    assert b.closed()
    assert a.sendcmd("NOOP").startswith("200 ")
    a.quit()


def _state(pid):
    try:
        with open("/proc/%d/stat" % pid) as f:
            return f.read().rsplit(")", 1)[1].split()[0]
    except FileNotFoundError:
        return "gone"


def test_killing_the_logger_stops_the_server_with_status_1(server):
    s = server(general=pool(2, 3))
    c = s.greeted()
    with open(s.pid_file()) as f:
        logger = int(re.search(r"kill -9 +(\d+) 2>/dev/null    # logger", f.read()).group(1))
    os.kill(logger, signal.SIGKILL)
    assert s.proc.wait(15) == 1
    assert "Detected abnormal death of logger, pid %d, due to signal 9.\n" % logger in s.log()
    assert c.closed()
    assert wait_for(lambda: not s.processes(), 10)
    assert not os.path.exists(s.pid_file())
    assert s.segment() is None


def test_every_session_ends_with_a_line_in_the_session_log(server):
    s = server(general=pool(1, 2), domain=SESSION_LOG)
    c = s.greeted()
    c.command("NOOP")
    session_id = s.slot(s.busy_children()[0])["session_id"]
    assert c.command("QUIT") == "221 Goodbye.\r\n"
    # user, login identity, host, seconds, average idle time, restriction,
    # failed user names, logins, end code, last transfer result, downloads,
    # failed downloads, uploads, failed uploads, listings, failed listings,
    # failed data connections, session identifier, domain set
    line = wait_for(lambda: [l for l in session_lines(s) if session_id in l])
    assert re.fullmatch(r",,127\.0\.0\.1,\d+,\d+\.\d,,,0,0,NONE,0,0,0,0,0,0,0,%s,test,\n" % re.escape(session_id),
                        line[0]), line
    s.wait_log(r"Connection closed\.\n")


def test_the_domain_user_limit_refuses_with_its_own_reply(server):
    s = server(general=pool(1, 4), domain=SESSION_LOG + "max-domain-users = 1\n")
    first = s.greeted()
    second = s.control()
    assert second.reply() == "421 Sorry, testhost already has 1 users logged on.  Try again in 10 minutes.\r\n"
    assert second.closed()
    assert wait_for(lambda: any(l.startswith("REFUSED,,127.0.0.1,") and ",0,11,NONE," in l
                                for l in session_lines(s)))
    s.wait_log(r"Too many users \(1\) on domain test\.\n")
    first.close()


def test_the_per_address_limit_counts_only_that_address(server):
    s = server(general=pool(1, 4, "max-users-per-ip = 1\n"))
    first = s.greeted()
    same = s.control()
    assert same.reply() == ("421 Sorry, there is already 1 user from 127.0.0.1 logged on.  "
                            "Try again in 10 minutes.\r\n")
    assert same.closed()
    other = s.greeted(source=("127.0.0.2", 0))
    assert other.greeting.startswith("220 ")
    first.close()


@pytest.mark.parametrize("end", ["QUIT", "SIGKILL"])
def test_a_session_that_ended_no_longer_counts_against_the_limit(server, end):
    s = server(general=pool(1, 4, "max-users-per-ip = 1\n"))
    s.greeted(source=("127.0.0.2", 0))
    spare = s.greeted(source=("127.0.0.3", 0))
    first = s.greeted()
    assert wait_for(lambda: s.busy_children() == [1, 2, 3])
    # The next client is served by child 2, which then counts child 3's
    # session however it ended.
    assert spare.command("QUIT") == "221 Goodbye.\r\n"
    assert wait_for(lambda: s.busy_children() == [1, 3])
    if end == "QUIT":
        assert first.command("QUIT") == "221 Goodbye.\r\n"
        assert wait_for(lambda: s.busy_children() == [1])
    else:
        pid = child_pids(s)[3]
        os.kill(pid, signal.SIGKILL)
        s.wait_log(r"Detected abnormal death of child #3, pid %d, due to signal 9\.\n" % pid)
    assert s.greeted().greeting.startswith("220 ")


def test_the_per_address_limit_of_a_domain(server):
    s = server(general=pool(1, 4), domain=DEFAULT_DOMAIN + "max-domain-users-per-ip = 2\n")
    s.greeted()
    s.greeted()
    third = s.control()
    assert third.reply() == ("421 Sorry, testhost already has 2 users from 127.0.0.1 logged on.  "
                             "Try again in 10 minutes.\r\n")
    assert third.closed()


def test_an_anonymous_only_server_run_by_root_confines_itself_to_the_anonymous_root(server):
    s = server(args=["-a"])
    assert s.greeted().greeting.startswith("220 ")
    assert os.readlink("/proc/%d/root" % s.pid) == os.path.join(s.dir, "ftp")
    assert wait_for(lambda: "#c1     | Started (pid=" in s.log_file())   # the tag of a chrooted server
    s.wait_log(r"Chroot to %s succeeded\.\n" % re.escape(os.path.join(s.dir, "ftp")))
    # Only the master keeps its handle on the PID file's directory: in a
    # child it would be a way out of the new root.
    pid_dir = os.path.dirname(s.pid_file())
    children = [p for p in s.processes() if p != s.pid]
    assert children
    for child in children:
        fd_dir = "/proc/%d/fd" % child
        targets = [os.readlink(os.path.join(fd_dir, fd)) for fd in os.listdir(fd_dir)]
        assert pid_dir not in targets, (child, targets)
    assert pid_dir in [os.readlink(os.path.join("/proc/%d/fd" % s.pid, fd))
                       for fd in os.listdir("/proc/%d/fd" % s.pid)]
    assert s.stop() == 0
    assert not os.path.exists(s.pid_file())     # removed from outside the new root


def session_counters(s, n):
    """Child n's session statistics summed over its ten quarter-hour buckets."""
    data = s.segment()
    base = SHM_HEADER + SHM_SLOT * n + 976
    return [sum(struct.unpack_from("<I", data, base + 248 * b + 4 * i)[0] for b in range(10))
            for i in range(27)]


def test_a_refusal_by_a_child_that_served_a_session_reports_only_itself(server, zorvad_dir):
    wrapper = private_etc_files(zorvad_dir, hosts_allow="", hosts_deny="Zorvad: 127.0.0.2\n")
    s = server(general=pool(1, 1, "tcp-wrappers = yes\n"), domain=SESSION_LOG, wrapper=wrapper)
    with open(os.path.join(s.dir, "ftp", "f.txt"), "wb") as f:
        f.write(b"x" * 1000)
    first = s.greeted()
    first.command("USER anonymous")
    assert first.command("PASS mozilla@example.com").startswith("230 ")    # client type 2
    assert retr(first, "f.txt")[2].startswith("226 ")
    child = s.slot(1)["pid"]
    assert first.command("QUIT") == "221 Goodbye.\r\n"
    assert wait_for(lambda: any(l.startswith("anonymous,") for l in session_lines(s)))
    assert wait_for(lambda: not s.busy_children())

    # The same child turns the next client away at admission. (While the
    # master still counts the child busy it refuses with its 421: try again.)
    def denied_by_the_child():
        c = s.control(source=("127.0.0.2", 0))
        return c.closed()
    assert wait_for(denied_by_the_child, 15, 0.5)
    line = wait_for(lambda: [l for l in session_lines(s) if l.startswith("DENIED,")])
    # no logins, end code 9, no transfer, no downloads, uploads or listings
    assert re.fullmatch(r"DENIED,,127\.0\.0\.2,\d+,0\.0,,,0,9,NONE,0,0,0,0,0,0,0,,test,\n", line[0]), line
    assert s.slot(1)["pid"] == child
    # The child counts the connection after it wrote the line.
    assert wait_for(lambda: session_counters(s, 1)[0] == 2)     # connections
    counters = session_counters(s, 1)
    assert counters[2] == 1                         # denied
    assert (counters[3], counters[4]) == (1, 1)     # with a login, without
    assert counters[8] == 1                         # sessions with a download
    assert (counters[10], counters[12]) == (1, 1)   # client type 0 (unknown), 2


def test_code_running_in_a_session_cannot_rewrite_an_idle_child(server):
    """Code running inside a session (the session's uids and capabilities,
    no CAP_SYS_PTRACE) opens /proc/PID/mem of the pool's idle children, and
    of the logger, to write into them: the kernel refuses every one."""
    s = server(general=pool(3, 4))
    assert wait_for(lambda: len(child_pids(s)) >= 3)
    targets = list(child_pids(s).values())
    targets += [p for p in s.processes() if p != s.pid and p not in targets]
    with open("/proc/%d/status" % targets[0]) as f:
        status = f.read()
    ruid, euid = re.search(r"^Uid:\s+(\d+)\s+(\d+)", status, re.M).groups()
    caps = int(re.search(r"^CapPrm:\s+([0-9a-f]+)$", status, re.M).group(1), 16)
    assert caps >> 19 & 1 == 0, "an idle child may trace others"     # CAP_SYS_PTRACE
    # A root process whose every capability set is the child's own.
    names = subprocess.run(["capsh", "--decode=%x" % caps], capture_output=True, text=True, check=True)
    wanted = [n for n in names.stdout.strip().split("=", 1)[1].split(",") if n]
    bounding = "-all" + "".join(",+" + n[len("cap_"):] for n in wanted)
    probe = ("import sys\nfor pid in sys.argv[1:]:\n"
             "    try:\n        open('/proc/%s/mem' % pid, 'r+b').close(); print(pid, 'open')\n"
             "    except OSError as e:\n        print(pid, e.errno)\n")
    r = subprocess.run(["setpriv", "--ruid", ruid, "--euid", euid, "--bounding-set", bounding,
                        sys.executable, "-c", probe, *map(str, targets)],
                       capture_output=True, text=True, timeout=20)
    assert r.returncode == 0, r.stderr
    results = dict(line.split() for line in r.stdout.splitlines())
    assert set(results) == {str(p) for p in targets}
    assert all(v == str(errno.EACCES) for v in results.values()), results
