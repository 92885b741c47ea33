"""The command line, the start-up checks, the PID file and shutdown."""
import os
import re
import signal
import socket
import stat
import struct
import subprocess
import sys
import time

import pytest

from accounts import create_system_user, remove_system_user
from conftest import free_port, listening, wait_for, write_configs
from test_domains import private_etc_files
from test_privileges import GDB, GDB_ENV, gdb_calls, greeted_front, sole_holder, status
from xferhelp import anon_login

USAGE_FIRST_LINE = "Usage:  zorvad [flags] <general.cf> <domain.cf>\n"


# ---- Flags that print and exit ---------------------------------------------

def test_b_prints_the_version_and_platform(run_zorvad):
    r = run_zorvad(["-b"])
    assert r.returncode == 0
    assert re.fullmatch(r"Zorvad 1\.0\.0/\d+ \w{3} \d\d \d{4} for linux-x86_64\n", r.stdout), r.stdout


def test_e_prints_the_detected_host_name_on_one_line(run_zorvad):
    r = run_zorvad(["-e"])
    assert r.returncode == 0
    assert r.stdout.count("\n") == 1 and r.stdout.endswith("\n")
    assert " " not in r.stdout


def test_a_host_without_a_domain_anywhere_is_named_by_its_node_name(run_zorvad, zorvad_dir):
    """No name with a domain in the system's name, the hosts file, the
    resolver's configuration or the network (a private namespace of each):
    the node name stands in, as it does in the greeting and the log."""
    empty = os.path.join(zorvad_dir, "resolv.conf")
    hosts = os.path.join(zorvad_dir, "hosts")
    open(empty, "w").close()
    with open(hosts, "w") as f:
        f.write("127.0.0.1 localhost\n")
    setup = ("mount --make-rprivate / && mount --bind %s /etc/resolv.conf && mount --bind %s /etc/hosts && "
             "hostname plainnode && exec \"$@\"" % (empty, hosts))
    r = run_zorvad(["-e"], prefix=("unshare", "--uts", "--mount", "--net", "sh", "-c", setup, "sh"))
    assert (r.returncode, r.stdout) == (0, "plainnode\n"), r.stderr


def test_J_prints_the_notice_line(run_zorvad):
    r = run_zorvad(["-J"])
    assert r.returncode == 0
    assert r.stdout == "Zorvad FTP server suite.\n"


def test_info_flags_need_no_configuration_files(run_zorvad):
    assert run_zorvad(["-v", "-b", "missing.cf"]).returncode == 0


# ---- Usage ------------------------------------------------------------------

@pytest.mark.parametrize("args", [
    [],
    ["general.cf"],
    ["-x", "general.cf", "domain.cf"],
    ["-p"],
])
def test_bad_command_lines_print_the_usage_and_exit_2(run_zorvad, zorvad_dir, args):
    write_configs(zorvad_dir)
    r = run_zorvad(args)
    assert r.returncode == 2
    assert USAGE_FIRST_LINE in r.stderr
    assert r.stderr.endswith("  -d         : Run as background daemon.\n")


def test_an_unknown_flag_is_named(run_zorvad, zorvad_dir):
    write_configs(zorvad_dir)
    r = run_zorvad(["-x", "general.cf", "domain.cf"])
    assert re.match(r"\S*zorvad: illegal option -- x\n" + re.escape(USAGE_FIRST_LINE), r.stderr)


@pytest.mark.parametrize("users", ["10,20", "0", "5,0"])
def test_impossible_user_counts_print_the_usage(run_zorvad, zorvad_dir, users):
    write_configs(zorvad_dir)
    r = run_zorvad(["-n", users, "general.cf", "domain.cf"])
    assert r.returncode == 2
    assert r.stderr.startswith(USAGE_FIRST_LINE)


# ---- Configuration errors ------------------------------------------------------

@pytest.mark.parametrize("general, message", [
    ("pid-file =\n", "Please specify a valid pathname for `pid-file'.\n"),
    ("log-misc =\n", "You must set the `log-misc' variable.\n"),
    ("max-users = 2\nmin-users = 3\n", "min-users cannot be greater than max-users.\n"),
    ("allow-port = no\nallow-pasv = no\n", "You must set either allow-port or allow-pasv to yes.\n"),
    # The server's ids, the base to the base plus max-users (8) plus 1: one of them 2^31 - 1, or nobody's.
    *((base, "front-uid-base plus max-users plus 1 must stay below 2147483647, and the ids between must not "
             "take in 65534.\n") for base in ("front-uid-base = 2147483639\n", "front-uid-base = 65530\n")),
])
def test_configuration_errors_exit_1_with_their_message(run_zorvad, zorvad_dir, general, message):
    write_configs(zorvad_dir, general)
    r = run_zorvad(["-p", "20999", "general.cf", "domain.cf"])
    assert r.returncode == 1
    assert r.stderr.endswith(message), r.stderr


def test_a_pid_file_in_a_missing_directory_is_refused(run_zorvad, zorvad_dir):
    write_configs(zorvad_dir, "pid-file = {dir}/nowhere/zorvad.pid.sh\n")
    r = run_zorvad(["-p", "20999", "general.cf", "domain.cf"])
    assert r.returncode == 1
    assert r.stderr == (zorvad_dir + "/nowhere: No such file or directory\n"
                        "Please specify a valid pathname for `pid-file'.\n")


NOBODY = 65534


@pytest.mark.parametrize("changed, owner, mode", [
    ("run", NOBODY, 0o755),     # owned by another user
    ("run", 0, 0o775),          # writable by its group
    ("run", 0, 0o1777),         # sticky and writable by all, like /tmp
    ("top", NOBODY, 0o755),     # a directory above it owned by another user
])
def test_a_pid_file_directory_others_can_change_is_refused(run_zorvad, zorvad_dir, changed, owner, mode):
    run = os.path.join(zorvad_dir, "top", "run")
    os.makedirs(run)
    target = os.path.join(zorvad_dir, changed) if changed == "top" else run
    os.chown(target, owner, owner)
    os.chmod(target, mode)
    write_configs(zorvad_dir, "pid-file = %s/zorvad.pid.sh\n" % run)
    r = run_zorvad(["-p", "20999", "general.cf", "domain.cf"], timeout=10)
    assert r.returncode == 1
    assert r.stderr == ("%s can be changed by users other than root; "
                        "the `pid-file' needs a directory only root can write.\n" % target)
    assert os.listdir(run) == []


def test_a_domain_file_without_sets_is_refused(run_zorvad, zorvad_dir):
    write_configs(zorvad_dir, domain="# nothing here\n")
    r = run_zorvad(["general.cf", "domain.cf"])
    assert r.returncode == 1
    assert r.stderr == ("No domain configuration sets specified in the domain.cf files.\n"
                        "Make sure you are using the `set-name' variable for each domain configuration set.\n")


def test_a_missing_configuration_file_is_named(run_zorvad, zorvad_dir):
    write_configs(zorvad_dir)
    r = run_zorvad(["general.cf", "absent.cf"])
    assert r.returncode == 1
    assert r.stderr == "absent.cf: No such file or directory\n"


@pytest.mark.parametrize("flags, message", [
    (["-a", "-p", "21"], "You need to be superuser to bind an FTP server to port 21 (or any < 1024).\n"),
    (["-u", "-p", "20999"], "You need to be superuser to run a non-anonymous FTP server.\n"),
])
def test_without_root_only_an_anonymous_server_on_a_high_port_may_start(
        run_zorvad, zorvad_dir, flags, message):
    os.mkdir(os.path.join(zorvad_dir, "run"), 0o755)
    os.chown(os.path.join(zorvad_dir, "run"), NOBODY, NOBODY)     # the server's own account
    write_configs(zorvad_dir, "pid-file = {dir}/run/zorvad.pid.sh\n")
    nobody = ["setpriv", "--reuid=%d" % NOBODY, "--regid=%d" % NOBODY, "--clear-groups"]
    r = run_zorvad([*flags, "general.cf", "domain.cf"], prefix=nobody)
    assert r.returncode == 1
    assert r.stderr.endswith(message), r.stderr


# ---- Starting and stopping ---------------------------------------------------------

def test_the_file_arguments_may_come_in_either_order(server):
    for order in (("general", "domain"), ("domain", "general")):
        s = server(file_order=order)
        assert s.greeted().greeting == "220 testhost Zorvad Server ready.\r\n"


def test_sigterm_shuts_the_server_down_cleanly(server):
    s = server()
    c = s.greeted()
    pid_file = s.pid_file()
    assert os.path.exists(pid_file)
    assert s.stop() == 0
    assert c.closed()
    assert not os.path.exists(pid_file)
    assert wait_for(lambda: not s.processes())
    log = s.log()
    assert "Caught SIGTERM, exiting.\n" in log
    assert log.endswith("Exiting.\n")


def test_a_second_terminating_signal_during_shutdown_exits_at_once(server):
    s = server()
    c = s.greeted()
    child = wait_for(lambda: _child_pid(s, 1))
    # Held, the child keeps the master in its 2-second wait for the children
    # (which a child's end cuts short).
    os.kill(child, signal.SIGSTOP)
    s.proc.send_signal(signal.SIGTERM)
    # The PID file goes just before that wait.
    assert wait_for(lambda: not os.path.exists(s.pid_file()))
    s.proc.send_signal(signal.SIGPWR)
    assert s.proc.wait(10) == 0
    os.kill(child, signal.SIGCONT)
    assert c.closed()
    assert wait_for(lambda: not os.path.exists("/proc/%d" % child))
    # The child said "Exiting."; the master left before its own.
    log = s.log_file()
    assert "#u1     | Exiting.\n" in log
    assert "(main)  | Exiting.\n" not in log


def test_a_start_up_failure_after_the_checks_exits_1(server):
    s = server(general="single-server-address = 192.0.2.1\n", wait=False)
    assert s.proc.wait(20) == 1
    assert "bind to control port %d failed: Cannot assign requested address.\n" % s.port in s.log()
    assert not os.path.exists(s.pid_file())


def test_a_busy_port_is_tried_again_after_5_seconds(server):
    port = free_port()
    with socket.socket() as busy:
        busy.bind(("0.0.0.0", port))
        busy.listen(1)
        s = server(port=port, wait=False)
        s.wait_log(r"bind to control port %d at failed -- waiting 5: Address already in use\.\n" % port)
    assert wait_for(lambda: listening(port), 15)
    assert s.greeted().greeting.startswith("220 ")


# ---- The PID file ----------------------------------------------------------------------

def _lines(path):
    with open(path, "rb") as f:
        return f.read()


def _child_pid(s, n):
    data = _lines(s.pid_file())
    line = data[138 + 64 * n:138 + 64 * (n + 1)].decode()
    m = re.match(r"kill -9  +(\d+) 2>/dev/null    # child %d +\n$" % n, line)
    return int(m.group(1)) if m else None


@pytest.mark.parametrize("users, slots, permanent", [(["-n", "10"], 10, 10), (["-n", "3,2"], 3, 2), ([], 8, 1)])
def test_the_pid_file_has_one_line_per_child_and_four_more(server, users, slots, permanent):
    s = server(args=users)
    assert wait_for(lambda: all(_child_pid(s, n) for n in range(1, permanent + 1)))
    data = _lines(s.pid_file())
    assert len(data) == 10 + 64 * (slots + 4)
    assert data[:10] == b"#!/bin/sh\n"
    lines = [data[i:i + 64] for i in range(10, len(data), 64)]
    assert all(len(line) == 64 and line.endswith(b"\n") for line in lines)
    assert lines[0] == ("kill -15 %6d                # main process" % s.pid).ljust(63).encode() + b"\n"
    assert lines[1] == b"sleep 5".ljust(63) + b"\n"
    assert re.fullmatch(rb"kill -9  +\d+ 2>/dev/null    # logger *\n", lines[2])
    # The pre-forked children have written theirs; the others are blank.
    assert all(line == b" " * 63 + b"\n" for line in lines[3 + permanent:])


def test_the_pid_file_is_a_root_owned_script(server):
    s = server()
    st = os.stat(s.pid_file())
    assert stat.S_IMODE(st.st_mode) == 0o755
    assert st.st_uid == 0 and st.st_gid == 0


def test_a_child_writes_its_line_and_blanks_it_when_it_ends(server):
    s = server(general="min-users = 1\nmax-users = 2\n")
    first = s.greeted()
    second = s.greeted()                        # served by an extra child
    pid = wait_for(lambda: _child_pid(s, 2))
    assert pid and pid not in (s.pid, _child_pid(s, 1))
    assert second.command("QUIT") == "221 Goodbye.\r\n"
    # Idle above min-users, it leaves after 15 seconds.
    assert wait_for(lambda: _lines(s.pid_file())[266:330] == b" " * 63 + b"\n", 25)
    assert wait_for(lambda: not os.path.exists("/proc/%d" % pid), 5)    # reaped
    first.close()


def test_the_standard_pid_file_name_gets_the_port(server):
    s = server()
    assert os.path.exists(os.path.join(s.dir, "zorvad-%d.pid.sh" % s.port))
    assert not os.path.exists(os.path.join(s.dir, "zorvad.pid.sh"))


def test_a_pid_file_without_a_directory_is_used_as_named(server):
    s = server(general="pid-file = zorvad.pid.sh\n")
    assert os.path.exists(os.path.join(s.dir, "zorvad.pid.sh"))


@pytest.mark.parametrize("planted", ["a file someone holds open", "a link"])
def test_whatever_has_the_pid_files_name_is_replaced_not_reused(server, zorvad_dir, planted):
    run = os.path.join(zorvad_dir, "run")
    os.mkdir(run, 0o755)
    path = os.path.join(run, "zorvad.sh")
    victim = os.path.join(zorvad_dir, "victim")
    with open(victim, "w") as f:
        f.write("precious\n")
    held = None
    if planted == "a link":
        os.symlink(victim, path)
    else:
        held = os.open(path, os.O_RDWR | os.O_CREAT, 0o666)
        os.fchown(held, NOBODY, NOBODY)
    try:
        s = server(general="pid-file = %s\n" % path)
        assert wait_for(lambda: os.path.isfile(path) and not os.path.islink(path) and os.path.getsize(path) > 80)
        st = os.lstat(path)
        if held is not None:
            assert st.st_ino != os.fstat(held).st_ino
        assert stat.S_ISREG(st.st_mode) and st.st_nlink == 1 and st.st_uid == 0
        assert stat.S_IMODE(st.st_mode) == 0o755
        with open(victim) as f:
            assert f.read() == "precious\n"
        if held is not None:
            os.write(held, b"echo planted\n")
        assert _lines(path).startswith(b"#!/bin/sh\nkill -15 %6d " % s.pid)
        assert b"planted" not in _lines(path)
    finally:
        if held is not None:
            os.close(held)


def test_the_pid_file_stops_the_server(server):
    s = server()
    c = s.greeted()
    subprocess.run(["sh", s.pid_file()], capture_output=True, timeout=30)   # waits 5 s itself
    assert s.proc.wait(20) == 0
    assert c.closed()


# ---- Command-line values override the files -----------------------------------------------

def test_the_command_line_port_overrides_the_file(server):
    s = server(general="port = 1\n")
    assert s.greeted().greeting.startswith("220 ")


@pytest.mark.parametrize("key", [["-k", "0x1234"], ["-k", "1234"], ["-k", "77C0FFEE"]])
def test_key_base_forms_are_accepted(server, key):
    s = server(args=key)
    assert s.greeted().greeting.startswith("220 ")


# ---- Signals while running -------------------------------------------------------------

def test_hup_usr2_and_int_are_logged_and_the_server_goes_on(server):
    s = server()
    for sig, text in ((signal.SIGHUP, "Caught signal 1 (Hangup).\n"),
                      (signal.SIGUSR2, "Caught signal 12 (User defined signal 2).\n"),
                      (signal.SIGINT, "Caught signal 2 (Interrupt).\n")):
        s.proc.send_signal(sig)
        s.wait_log(re.escape(text))
    assert s.greeted().greeting.startswith("220 ")


def test_usr1_toggles_verbose_logging(server):
    s = server(verbose=False)
    s.proc.send_signal(signal.SIGUSR1)
    s.wait_log(r"Verbose logging = 9 \(on\)\n")
    c = s.greeted()
    s.wait_log(r">> 220 testhost Zorvad Server ready\.")
    c.close()
    s.proc.send_signal(signal.SIGUSR1)
    s.wait_log(r"Verbose logging = 0 \(off\)\n")


# ---- Logging at start-up -----------------------------------------------------------------

def test_start_up_logs_the_version_and_system(server):
    s = server()
    log = s.wait_log(r"Ready \(pid=%d\) on [^,]*, port %d\.\n" % (s.pid, s.port)).string
    assert re.search(r"Zorvad 1\.0\.0/\d+ \w{3} \d\d \d{4} for linux-x86_64\.\n", log)
    assert re.search(r"Uname: Linux\|[^|]+\|[^|]+\|[^|]+\|x86_64\n", log)
    assert "Verbose logging mode is set to level 1.\n" in log
    assert "Note: password" not in log            # both hashing self-tests pass


def test_q_keeps_log_lines_off_the_screen(server):
    s = server(args=["-q"])
    assert s.greeted().greeting.startswith("220 ")
    assert s.stderr() == ""


# ---- Daemon mode --------------------------------------------------------------------------

def test_d_detaches_and_the_daemon_serves(server):
    s = server(args=["-d"], wait=False)
    assert s.proc.wait(20) == 0                   # the parent leaves at once
    assert wait_for(lambda: os.path.exists(s.pid_file()) and os.path.getsize(s.pid_file()) > 80)
    master = int(re.search(rb"kill -15 +(\d+)", _lines(s.pid_file())).group(1))
    assert master != s.proc.pid
    assert s.greeted().greeting == "220 testhost Zorvad Server ready.\r\n"
    s.close_controls()
    os.kill(master, signal.SIGTERM)
    assert wait_for(lambda: not os.path.exists("/proc/%d" % master) and not s.processes(), 15)
    assert not os.path.exists(s.pid_file())


@pytest.mark.parametrize("planted", ["link", "file", "directory link"])
def test_a_log_file_a_local_user_planted_is_not_written(server, zorvad_dir, planted):
    """A local user without privileges who can write the log directory puts
    a link to a root-only file, or a file of its own, where the server's log
    goes, or links the log's subdirectory to a root-only directory: the
    server neither writes nor hands over that file, warns of the directory
    and names the refused log."""
    u = create_system_user(zorvad_dir, "Pa55-word")
    try:
        planted_log_is_refused(server, zorvad_dir, u, planted)
    finally:
        remove_system_user(u.name)


def planted_log_is_refused(server, zorvad_dir, u, planted):
    logs = os.path.join(zorvad_dir, "ulogs")
    os.mkdir(logs)
    os.chown(logs, u.uid, u.gid)
    secret = os.path.join(zorvad_dir, "secret")
    with open(secret, "w") as f:
        f.write("root only\n")
    os.chmod(secret, 0o600)
    rootonly = os.path.join(zorvad_dir, "rootonly")
    os.mkdir(rootonly, 0o700)
    log = os.path.join(logs, "day" if planted == "directory link" else "", "misc.log")
    plant = {"link": ["ln", "-s", secret, log], "file": ["touch", log],
             "directory link": ["ln", "-s", rootonly, os.path.dirname(log)]}[planted]
    subprocess.run(["setpriv", "--reuid", str(u.uid), "--regid", str(u.gid), "--clear-groups", *plant], check=True)
    victim = {"link": secret, "file": log, "directory link": rootonly}[planted]
    before = os.lstat(victim)

    s = server(general="log-misc = %s\nlog-owner = daemon\n" % log)
    assert s.greeted().greeting.startswith("220")
    refused = "Log file %s is not a plain file of this server's or log-owner's; not writing it." % log
    wait_for(lambda: refused in s.stderr() or "Could not open %s" % log in s.stderr(), 5)
    after = os.lstat(victim)
    assert (after.st_uid, after.st_size, after.st_mode) == (before.st_uid, before.st_size, before.st_mode)
    assert os.listdir(rootonly) == []
    if planted == "directory link":
        assert "Could not open %s for writing: Not a directory" % log in s.stderr()
        return
    assert refused in s.stderr()
    assert "Warning: log directory %s can be changed by others." % os.path.dirname(log) in s.stderr()


def test_the_log_owner_cannot_lead_the_logger_into_a_root_only_directory(server, zorvad_dir):
    """The log-owner account, a local user without privileges that owns the
    log directory, links a subdirectory of it to a root-only directory that
    holds a file of the log's name: the root logger neither writes that file
    nor hands it over."""
    u = create_system_user(zorvad_dir, "Pa55-word")
    try:
        logs = os.path.join(zorvad_dir, "ologs")
        os.mkdir(logs, 0o755)
        os.chown(logs, u.uid, u.gid)
        rootonly = os.path.join(zorvad_dir, "rootonly")
        os.mkdir(rootonly, 0o700)
        victim = os.path.join(rootonly, "misc.log")
        with open(victim, "w") as f:
            f.write("root only\n")
        os.chmod(victim, 0o600)
        log = os.path.join(logs, "sub", "misc.log")
        subprocess.run(["setpriv", "--reuid", str(u.uid), "--regid", str(u.gid), "--clear-groups",
                        "ln", "-s", rootonly, os.path.dirname(log)], check=True)
        s = server(general="log-misc = %s\nlog-owner = %s\n" % (log, u.name))
        assert s.greeted().greeting.startswith("220")
        wait_for(lambda: "Could not open %s" % log in s.stderr(), 5)
        st = os.stat(victim)
        assert (st.st_uid, st.st_size) == (0, len("root only\n"))
        assert "Could not open %s for writing: Not a directory" % log in s.stderr()
    finally:
        remove_system_user(u.name)


def _logger_pid(s):
    m = re.match(rb"kill -9  +(\d+) 2>/dev/null    # logger", _lines(s.pid_file())[10 + 64 * 2:])
    return int(m.group(1))


def _call_inside(pid, *calls):
    """Runs C calls inside a live process, as code that took it over would."""
    args = ["gdb", "-q", "-batch", "-p", str(pid)]
    for c in calls:
        args += ["-ex", "call (long)" + c]
    out = subprocess.run(args + ["-ex", "detach"], capture_output=True, text=True, timeout=60, env=GDB_ENV).stdout
    return [int(v) for v in re.findall(r"^\$\d+ = (-?\d+)$", out, re.M)]


def _session_log_pipe(s, pid):
    """The descriptor number of the session child's end of the log channel,
    as the session's own code knows it."""
    fd = _call_inside(pid, "gLogPipe")
    assert fd and fd[0] >= 0, "no log channel in the session"
    return fd[0]


def _record(text, tag=b"(main)  | ", length=None, kind=0):
    """One record as Log sends it, its bytes as a C string for gdb."""
    raw = struct.pack("=12siiiI", tag, kind, len(text) if length is None else length, 0, 0x77C0FFEE) + text
    return '"%s", %d' % ("".join("\\%03o" % b for b in raw), len(raw))


def _session_child(s, c):
    c.command("USER anonymous")
    assert c.command("PASS a@b.c").startswith("230 ")
    return s.slot(wait_for(lambda: s.busy_children())[0])["pid"]


def test_code_running_inside_a_session_cannot_write_lines_in_another_senders_name(server):
    """Code that took a session over writes a record of its own on the log
    pipe, with the master's tag and a second line inside: no line of the
    misc log may then claim to come from the master without it."""
    s = server()
    c = s.greeted()
    pid = _session_child(s, c)
    child = s.busy_children()[0]
    fd = _session_log_pipe(s, pid)
    forged = b"Forged by a session.\n2026-01-01 00:00:00 (main)  | Forged on a line of its own.\n"
    assert _call_inside(pid, "write(%d, %s)" % (fd, _record(forged))) == [28 + len(forged)]
    c.send("QUIT")
    assert c.reply().startswith("221 ")
    assert wait_for(lambda: ">> 221 " in s.log_file())
    forged_lines = [line for line in s.log_file().splitlines() if "Forged" in line]
    assert len(forged_lines) == 1, forged_lines       # one line, under the tag of the child that sent it
    assert re.match(r"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d(\.\d+)? #\?%d +\| " % child, forged_lines[0]), \
        forged_lines


def test_code_running_inside_a_session_cannot_swallow_other_sessions_records(server):
    """Code that took a session over writes a record header that promises
    the longest text and sends none: what other sessions log next must not
    vanish into it."""
    s = server()
    c = s.greeted()
    pid = _session_child(s, c)
    fd = _session_log_pipe(s, pid)
    assert _call_inside(pid, "write(%d, %s)" % (fd, _record(b"", length=738, kind=9))) == [28]
    other = s.greeted()
    other.send("QUIT")
    assert other.reply().startswith("221 ")
    c.send("QUIT")
    assert c.reply().startswith("221 ")
    # Both sessions, whole: their greetings, their goodbyes.
    assert wait_for(lambda: s.log().count("New connection from 127.0.0.1") == 2 and s.log().count(">> 221 ") == 2)


def test_code_running_inside_the_logger_holds_no_accounts_rights(server, zorvad_dir):
    """A record that took the logger over runs code with its rights: an id
    of its own, not even log-owner's, with no way back to root, while its
    log files stay in a directory only root may enter, created and handed to
    log-owner."""
    u = create_system_user(zorvad_dir, "Pa55-word")
    try:
        rootonly = os.path.join(zorvad_dir, "rootlogs")
        os.mkdir(rootonly, 0o700)
        log = os.path.join(rootonly, "%Y", "misc.log")
        s = server(general="log-misc = %s\nlog-owner = %s\n" % (log, u.name))
        assert s.greeted().greeting.startswith("220")
        pid = _logger_pid(s)
        with open("/proc/%d/status" % pid) as f:
            status = dict(line.rstrip("\n").split(":\t", 1) for line in f)
        uids = status["Uid"].split()
        assert len(set(uids)) == 1 and uids[0] not in ("0", str(u.uid)) and "0" not in status["Gid"].split()
        assert int(status["CapPrm"], 16) == 0 and int(status["CapEff"], 16) == 0
        assert status["NoNewPrivs"] == "1"
        here = os.path.join(zorvad_dir, "taken-over")
        assert _call_inside(pid, "setuid(0)", "setresuid(0, 0, 0)", 'open("/etc/shadow", 0)',
                            'open("%s", 01101, 0644)' % here, 'mkdir("%s/x", 0755)' % rootonly) == [-1] * 5
        assert not os.path.exists(here)
        # The logger goes on: what sessions log still lands in its file.
        c = s.greeted()
        c.send("QUIT")
        assert c.reply().startswith("221")
        path = time.strftime(log)
        assert wait_for(lambda: os.path.exists(path) and ">> 221 " in open(path).read(), 10)
        st = os.stat(path)
        assert (st.st_uid, st.st_mode & 0o777) == (u.uid, 0o600)
    finally:
        remove_system_user(u.name)


def test_code_running_inside_the_logger_reaches_no_table_the_sessions_share_but_its_clock(server):
    """The attacker: code that took the logger over through a record.  The
    quota records (rewritten, they would lift any user's limit), the session
    index, the directory generations and the table of the areas' locks (a
    lock over all of it would hold every rename of every area) are none of
    its business: it holds none of them.  The status area it keeps, whose
    clock it ticks."""
    from test_privileges import shared_mappings
    s = server(general="max-users = 2\n")
    c = s.greeted()
    pid = _logger_pid(s)
    writable = [m[2] for m in shared_mappings(pid) if m[1].startswith("rw")]
    assert writable == ["/SYSV%08x" % s.key]
    held = [os.readlink("/proc/%d/fd/%s" % (pid, fd)) for fd in os.listdir("/proc/%d/fd" % pid)]
    assert not [h for h in held if "zorvad-area-locks" in h or h.startswith("/proc/")], held
    c.send("QUIT")
    assert c.reply().startswith("221")
    s.wait_log(r">> 221 ")


@pytest.mark.parametrize("owner", ["", "log-owner = nobody\n"])
def test_a_local_process_of_nobody_cannot_stop_the_logger(server, owner):
    """The attacker: a local process running as nobody (another daemon's
    account, or the session of a virtual user mapped to 65534), which would
    stop the logger and, once the log pipe is full, every session that
    logs.  The logger has an id no other process has, also when its files
    go to nobody."""
    s = server(general=owner)
    pid = _logger_pid(s)
    with open("/proc/%d/status" % pid) as f:
        status = dict(line.rstrip("\n").split(":\t", 1) for line in f)
    uids, gids = status["Uid"].split(), status["Gid"].split()
    assert len(set(uids)) == 1 and uids[0] not in ("0", "65534") and gids == [uids[0]] * 4
    r = subprocess.run(["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "kill", "-STOP", str(pid)],
                       capture_output=True, timeout=20)
    os.kill(pid, signal.SIGCONT)
    assert r.returncode != 0
    c = s.greeted()
    c.send("QUIT")
    assert c.reply().startswith("221")
    s.wait_log(r">> 221 ")


def test_code_running_inside_a_session_cannot_end_the_logger_with_an_empty_record(server):
    """Code that took a session over sends a message of no bytes on the log
    channel: the logger must not take it for the channel's end, and what
    other sessions log next still lands in the log."""
    s = server()
    c = s.greeted()
    pid = _session_child(s, c)
    fd = _session_log_pipe(s, pid)
    assert _call_inside(pid, "write(%d, 0, 0)" % fd) == [0]
    other = s.greeted()
    other.send("QUIT")
    assert other.reply().startswith("221 ")
    assert wait_for(lambda: s.log_file().count("New connection from 127.0.0.1") == 2 and ">> 221 " in s.log_file(), 5), s.stderr()


def test_code_running_inside_a_session_cannot_shut_the_log_channel_for_all(server):
    """Code that took a session over shuts its end of the log channel down
    for writing: the channel is shared by every session, so no other session
    must lose its records by it."""
    s = server()
    c = s.greeted()
    pid = _session_child(s, c)
    fd = _session_log_pipe(s, pid)
    assert _call_inside(pid, "shutdown(%d, 1)" % fd) in ([0], [-1])    # -1: a pipe cannot be shut down
    other = s.greeted()
    other.send("QUIT")
    assert other.reply().startswith("221 ")
    assert wait_for(lambda: s.log_file().count("New connection from 127.0.0.1") == 2 and ">> 221 " in s.log_file(), 5), s.stderr()


def test_code_running_inside_a_session_cannot_borrow_another_childs_tag_through_its_slot(server):
    """Code that took a session over writes its own pid into the status slot
    of another child, then sends a record under that child's tag: the line
    must not claim to come from the other child."""
    s = server()
    c = s.greeted()
    pid = _session_child(s, c)
    mine = [n for n in s.busy_children() if s.slot(n)["pid"] == pid][0]
    other = s.greeted()
    other_child = wait_for(lambda: [n for n in s.busy_children() if n != mine])[0]
    fd = _session_log_pipe(s, pid)
    assert _call_inside(pid, "(*(int *)ShmSlotAt(%d) = getpid())" % other_child) == [pid]
    forged = b"Forged in another child's name.\n"
    tag = b"#u%-5d | " % other_child
    assert _call_inside(pid, "write(%d, %s)" % (fd, _record(forged, tag=tag))) == [28 + len(forged)]
    other.send("QUIT")
    assert other.reply().startswith("221 ")
    assert wait_for(lambda: "Forged in another" in s.log_file(), 5)
    forged_lines = [line for line in s.log_file().splitlines() if "Forged in another" in line]
    assert tag.decode() not in forged_lines[0], forged_lines


NSS_SYSTEMD = "/usr/lib/x86_64-linux-gnu/libnss_systemd.so.2"


def maps_after_user(s):
    """The mappings (/proc/PID/maps) of the master, a pool child and its
    front once the front has handled a USER, by pid."""
    c, front = greeted_front(s)
    c.sendall(b"USER anonymous\r\n")
    assert c.recv(1024).startswith(b"331 ")
    maps = {}
    for pid in (s.pid, int(status(front)["PPid"]), front):
        with open("/proc/%d/maps" % pid) as f:
            maps[pid] = f.read()
    c.close()
    return maps


@pytest.mark.skipif(not os.path.exists(NSS_SYSTEMD), reason="no second name service to load")
def test_a_host_without_an_ftp_account_loads_no_other_name_service_into_the_server(server, zorvad_dir):
    # The master looks the anonymous account up among the usual names; each
    # one the password file lacks is asked of every other name service the
    # host lists.  That must happen apart: a module (and the libraries it
    # pulls in) loaded in the master is mapped, and copied on every fork,
    # by each process serving a client.
    with open("/etc/passwd") as f:
        accounts = [l for l in f if l.split(":")[0] not in ("ftp", "_ftp", "zorvad", "zorva", "www", "web")]
    wrapper = private_etc_files(zorvad_dir, passwd="".join(accounts),
                                nsswitch_conf="passwd: files systemd\ngroup: files systemd\nshadow: files\n"
                                              "hosts: files\n")
    for pid, maps in maps_after_user(server(wrapper=wrapper)).items():
        assert "libnss_systemd" not in maps, pid


def test_a_server_without_tls_maps_neither_tls_nor_the_system_crypt_before_a_password(server):
    # OpenSSL is opened only when TLS is configured, the system crypt at the
    # first password that needs it: otherwise their mappings and the data
    # their loader relocates would be copied by every fork of a front and a
    # session's process, and torn down at every exit.
    for pid, maps in maps_after_user(server()).items():
        assert "libssl" not in maps and "libcrypto" not in maps and "libcrypt.so" not in maps, pid


# A process of the session's user that holds the session's log descriptor:
# it sends records carrying descriptors ("empty": records of no bytes with
# /dev/null, many times; "linger": one record with a TCP socket whose peer
# never reads and whose close waits an hour for it), then stays until killed.
DESCRIPTOR_SENDER = r'''
import array, os, socket, struct, sys, time
channel = socket.socket(fileno=int(sys.argv[1]))


def send(data, fd):
    try:
        channel.sendmsg(data, [(socket.SOL_SOCKET, socket.SCM_RIGHTS, array.array("i", [fd]))])
        return True
    except PermissionError:     # the channel takes no descriptor
        return False


if sys.argv[2] == "empty":
    null = os.open("/dev/null", os.O_RDONLY)
    for _ in range(300):
        send([], null)
else:
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(1)
    stuck = socket.socket()
    stuck.connect(listener.getsockname())
    stuck.setblocking(False)
    try:
        while True:
            stuck.send(b"x" * 65536)
    except BlockingIOError:
        pass
    stuck.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 3600))
    body = b"Lingering.\n"
    record = struct.pack("=12siiiI", b"#u1     | ", 0, len(body), 0, 0x77C0FFEE) + body
    if send([record], stuck.fileno()):
        stuck.close()           # the copy in flight is the last
print("sent", flush=True)
time.sleep(60)
'''


@pytest.mark.skipif(GDB is None, reason="gdb is not installed")
@pytest.mark.parametrize("attack", ["empty", "linger"])
def test_descriptors_sent_into_a_log_channel_neither_pile_up_in_nor_hold_the_logger(server, attack):
    """The attacker: code running inside a logged-in session hands its log
    descriptor to a process of its own (here the test takes it and sends as
    nobody), which puts descriptors on the channel: with records of no
    bytes, which the logger must not keep one by one until it can open no
    log file, or a socket whose last close waits for a peer that never
    reads, which must not hold the logger (t-cache off: no clock signal cuts
    the wait short).  Another set's transfer is logged at once meanwhile."""
    from test_domains import anonymous_retr, read, take_descriptor, two_xfer_sets
    s, _, other_xfer = two_xfer_sets(server, "t-cache = no\n")
    c = s.greeted(address="127.0.0.1")
    anon_login(c)
    pid = sole_holder(s, c.sock)
    logger = _logger_pid(s)
    def null_descriptors():
        fds = "/proc/%d/fd" % logger
        return sum(1 for fd in os.listdir(fds) if os.readlink(os.path.join(fds, fd)) == "/dev/null")

    before = null_descriptors()
    (fd,), out = gdb_calls(pid, "print gLogPipe")
    kept = take_descriptor(pid, fd)
    if attack == "linger":
        # Held still until the sender has let its own copy go, so that the
        # logger's close is the last.
        os.kill(logger, signal.SIGSTOP)
    sender = subprocess.Popen([sys.executable, "-c", DESCRIPTOR_SENDER, str(kept), attack], pass_fds=(kept,),
                              user=65534, group=65534, extra_groups=[], stdout=subprocess.PIPE, text=True)
    os.close(kept)
    try:
        assert sender.stdout.readline() == "sent\n"
        os.kill(logger, signal.SIGCONT)
        other = s.greeted(address="127.0.0.2")
        anon_login(other)
        anonymous_retr(other)
        assert wait_for(lambda: b"f.txt" in read(other_xfer), 5), read(other_xfer)
        assert null_descriptors() == before
    finally:
        os.kill(logger, signal.SIGCONT)
        sender.kill()
        sender.wait()
