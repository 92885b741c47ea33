"""Domain sets and the logger in the running server: the set chosen by the
local address, the reload on SIGHUP, the log files of each set, and the host
checks made when a connection arrives (password databases, TCP Wrappers,
reverse names)."""
import os
import re
import signal
import time

from conftest import DEFAULT_DOMAIN, wait_for
from xferhelp import anon_login, retr

THREE_SETS = """\
set-name = main
server-name = main.example
ftp-home = {dir}/ftp
log-session = {dir}/@SETNAME@.session
set-name = one
server-address = 127.0.0.2
server-name = one.example
ftp-home = {dir}/ftp
log-session = {dir}/@SETNAME@.session
set-name = two
server-address = 127.0.0.3
server-name = two.example
ftp-home = {dir}/ftp
log-session = {dir}/@SETNAME@.session
"""


def read(path):
    try:
        with open(path, "rb") as f:
            return f.read()
    except OSError:
        return b""


def private_etc_files(directory, **files):
    """A wrapper that runs the server in its own mount namespace with the
    given files of /etc (which must exist on the host) replaced by private
    copies holding the given texts."""
    mounts = []
    for name, text in files.items():
        path = os.path.join(directory, name.replace("_", "."))
        with open(path, "w") as f:
            f.write(text)
        os.chmod(path, 0o644)
        mounts.append("mount --bind %s /etc/%s" % (path, name.replace("_", ".")))
    return ["unshare", "-m", "sh", "-c", " && ".join(mounts) + ' && exec "$@"', "sh"]


def test_the_local_address_chooses_the_set_and_its_session_log(server):
    s = server(general="log-sessions = yes\n", domain=THREE_SETS)
    for address, name in (("127.0.0.2", "one"), ("127.0.0.3", "two"), ("127.0.0.1", "main")):
        c = s.greeted(address=address)
        assert c.greeting == "220 %s.example Zorvad Server ready.\r\n" % name
        assert s.slot(s.busy_children()[0])["domain"] == name
        assert c.command("QUIT") == "221 Goodbye.\r\n"
        path = os.path.join(s.dir, name + ".session")
        assert wait_for(lambda: re.search(rb",%s,\n" % name.encode(), read(path)))
    s.wait_log(r"Using virtual host one \(127\.0\.0\.2, one\.example\)\.\n")
    s.wait_log(r"Using default virtual host main \(0\.0\.0\.0, main\.example\)\.\n")
    # Each set's sessions went to its own file only.
    assert read(os.path.join(s.dir, "one.session")).count(b"\n") == 1


def test_sighup_changes_a_set_in_place(server):
    s = server(domain=DEFAULT_DOMAIN)
    old = s.greeted()
    with open(s.domain_cf, "w") as f:
        f.write(DEFAULT_DOMAIN.replace("testhost", "renamed").replace("{dir}", s.dir))
    s.proc.send_signal(signal.SIGHUP)
    s.wait_log(r"Successfully reloaded domain configuration file %s\.\n" % re.escape(s.domain_cf))
    assert s.greeted().greeting == "220 renamed Zorvad Server ready.\r\n"
    assert old.command("NOOP").startswith("200 ")          # a running session goes on


def greeting_of_the_only_child(s):
    """The greeting of a new connection once the one child takes it (the
    master turns clients away while it still counts the child busy)."""
    def attempt():
        c = s.control()
        greeting = c.reply()
        if greeting.startswith("220 "):
            return greeting
        c.close()
        return None
    return wait_for(attempt, 15, 0.5)


def wait_tagged(s, pattern):
    """A line of the misc log file written by the process whose tag the pattern names."""
    assert wait_for(lambda: re.search(pattern, s.log_file())), s.log_file()


def test_a_broken_domain_cf_on_sighup_keeps_every_process_and_the_sets_in_force(server):
    s = server(general="min-users = 1\nmax-users = 1\n", domain=DEFAULT_DOMAIN)
    with open(os.path.join(s.dir, "ftp", "f.txt"), "wb") as f:
        f.write(b"y" * 5000)
    with open(s.pid_file()) as f:
        logger = int(re.search(r"kill -9 +(\d+) 2>/dev/null    # logger", f.read()).group(1))
    c = s.greeted()
    anon_login(c)
    child = s.slot(1)["pid"]

    with open(s.domain_cf, "a") as f:
        f.write("no-such-key = 1\n")
    s.proc.send_signal(signal.SIGHUP)
    refused = r"Unknown variable \"no-such-key\" on line 4 of configuration file\.\n"
    kept = r"Domain configuration file %s was not reloaded; the sets in force are kept\.\n" % re.escape(s.domain_cf)
    wait_tagged(s, r"\(main\)  \| " + refused)
    wait_tagged(s, r"\(main\)  \| " + kept)
    wait_tagged(s, r"\(logd\)  \| " + kept)

    # The open session goes on, and the child re-reads before its next client.
    assert retr(c, "f.txt")[1] == b"y" * 5000
    assert c.command("QUIT") == "221 Goodbye.\r\n"
    assert greeting_of_the_only_child(s) == "220 testhost Zorvad Server ready.\r\n"
    wait_tagged(s, r"#u1 +\| " + kept)
    assert s.proc.poll() is None
    assert s.slot(1)["pid"] == child
    assert os.path.exists("/proc/%d" % logger)
    assert "Successfully reloaded" not in s.log()

    # A good file is taken by the next reload.
    with open(s.domain_cf, "w") as f:
        f.write(DEFAULT_DOMAIN.replace("testhost", "renamed").replace("{dir}", s.dir))
    s.close_controls()
    s.proc.send_signal(signal.SIGHUP)
    s.wait_log(r"Successfully reloaded domain configuration file %s\.\n" % re.escape(s.domain_cf))
    assert greeting_of_the_only_child(s) == "220 renamed Zorvad Server ready.\r\n"
    assert s.slot(1)["pid"] == child


def test_logs_go_where_their_patterns_say_with_plain_line_feeds(server):
    s = server(general="log-misc = {dir}/logs/%Y/misc.log\nlog-sessions = yes\n",
               domain=DEFAULT_DOMAIN + "log-session = {dir}/logs/%Y/@SETNAME@-%m.session\n")
    c = s.greeted()
    assert c.command("QUIT") == "221 Goodbye.\r\n"
    year, month = time.strftime("%Y"), time.strftime("%m")
    misc = os.path.join(s.dir, "logs", year, "misc.log")
    session = os.path.join(s.dir, "logs", year, "test-%s.session" % month)
    assert wait_for(lambda: b"Connection closed.\n" in read(misc))
    text = read(misc)
    assert b">> 220 testhost Zorvad Server ready.\n" in text      # the reply's CR LF became LF
    assert b"\r" not in text
    assert re.search(rb"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d #u1     \| Started \(pid=\d+\)\.\n", text, re.M)
    assert wait_for(lambda: re.search(rb",127\.0\.0\.1,\d+,.*,test,\n", read(session)))


def test_a_password_database_open_to_its_group_is_not_used(server, zorvad_dir):
    db = os.path.join(zorvad_dir, "passwd.db")
    with open(db, "wb"):
        pass
    os.chmod(db, 0o640)
    s = server(domain=DEFAULT_DOMAIN + "passwd = %s\n" % db)
    assert ("Password database %s must not be accessible in any way by group or public.\n"
            "\"/bin/chmod go-rwx\" this file if it is a legitimate database file.\n" % db) in s.log()
    assert s.greeted().greeting.startswith("220 ")


def test_tcp_wrappers_turn_a_denied_address_away_at_connect(server, zorvad_dir):
    wrapper = private_etc_files(zorvad_dir, hosts_allow="", hosts_deny="Zorvad: 127.0.0.2\n")
    s = server(general="tcp-wrappers = yes\nlog-sessions = yes\n",
               domain=DEFAULT_DOMAIN + "log-session = {dir}/session.log\n", wrapper=wrapper)
    denied = s.control(source=("127.0.0.2", 0))
    assert denied.closed()
    s.wait_log(r"TCP Wrappers denied access to 127\.0\.0\.2\.\n")
    assert wait_for(lambda: re.search(rb"\| DENIED,,127\.0\.0\.2,\d+,.*,0,9,NONE,", read(
        os.path.join(s.dir, "session.log"))))
    welcome = s.greeted()
    assert welcome.greeting.startswith("220 ")
    s.wait_log(r"New connection from 127\.0\.0\.1 \(localhost\) to 127\.0\.0\.1")


def test_a_client_whose_reverse_name_is_too_long_is_denied(server, zorvad_dir):
    name = "h" * 70 + ".example"
    with open("/etc/hosts") as f:
        hosts = f.read()
    wrapper = private_etc_files(zorvad_dir, hosts=hosts + "127.0.0.5 %s\n" % name)
    s = server(general="dns-lookup = yes\nlog-sessions = yes\n",
               domain=DEFAULT_DOMAIN + "log-session = {dir}/session.log\n", wrapper=wrapper)
    c = s.control(source=("127.0.0.5", 0))
    assert c.closed()
    s.wait_log(r"Denied access to 127\.0\.0\.5: Resolved hostname \(%s\.\.\.\) too long "
               r"\(78 characters, only first 63 displayed\)\.\n" % name[:63])
    assert wait_for(lambda: b"| DENIED,,127.0.0.5," in read(os.path.join(s.dir, "session.log")))
