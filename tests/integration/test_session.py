"""The control session: greeting, the command cycle's guards, time-outs,
connection-time refusals and the simple commands."""
import os
import re
import socket
import struct
import subprocess
import time

import pytest

from conftest import ZORVAD, wait_for

GREETING = "220 testhost Zorvad Server ready.\r\n"
UNKNOWN = "500 Syntax error, command unrecognized.\r\n"
OVERFLOW = "550 Your anti-social behavior has been logged.  You will now be disconnected.\r\n"
NOLOGIN_GREETING = ("220-testhost Zorvad Server ready.\r\n"
                    "220-\r\n"
                    "220-This system is not accepting logins at this time.\r\n"
                    "220-Please logout now.\r\n"
                    "220-\r\n"
                    "220 \r\n")


# ---- Greeting and goodbye ------------------------------------------------------

def test_the_greeting_names_the_server_and_the_connect_header(server):
    assert server().greeted().greeting == GREETING


def test_a_banner_replaces_the_whole_greeting(server):
    s = server(general="banner = Private archive, members only.\n")
    assert s.greeted().greeting == "220 Private archive, members only.\r\n"


def test_without_a_server_name_the_host_name_is_shown(server):
    host = subprocess.run([ZORVAD, "-e"], capture_output=True, text=True).stdout.strip()
    s = server(domain="set-name = plain\nftp-home = {dir}/ftp\n")
    assert s.greeted().greeting == "220 %s Zorvad Server ready.\r\n" % host


def test_ftplib_sees_the_greeting_and_a_goodbye(server):
    f = server().ftp()
    assert f.getwelcome() == "220 testhost Zorvad Server ready."
    assert f.sendcmd("SYST") == "215 UNIX Type: L8"
    assert f.pwd() == "/"
    assert f.quit() == "221 Goodbye."


def test_curl_shows_the_greeting(server):
    s = server()
    r = subprocess.run(["curl", "-v", "--max-time", "20", "ftp://127.0.0.1:%d/" % s.port],
                       capture_output=True, text=True, timeout=30)
    assert "< 220 testhost Zorvad Server ready." in r.stderr


# ---- Line guards -------------------------------------------------------------------

def test_a_line_of_733_characters_ends_the_session(server):
    c = server().greeted()
    c.send("NOOP " + "x" * 728 + "\n")          # 733 characters and a line feed
    assert c.reply() == OVERFLOW
    assert c.closed()


def test_a_line_of_732_characters_is_handled(server):
    c = server(general="noop-delay = 0\n").greeted()
    c.send("NOOP " + "x" * 727 + "\r\n")
    assert c.reply().startswith("200 No-op okay.")


def test_a_very_long_line_is_not_executed(server):
    s = server()
    c = s.greeted()
    c.send("QUIT" + " " * 3000 + "\r\n")
    assert c.reply() == OVERFLOW
    assert c.closed()
    assert wait_for(lambda: "Detected and prevented a Buffer-overflow attempt by user from 127.0.0.1.\n" in s.log())


def test_telnet_bytes_before_a_command_are_skipped(server):
    s = server()
    c = s.greeted()
    c.send(b"\xff\xf4\xff\xf2SYST\r\n")
    assert c.reply() == "215 UNIX Type: L8\r\n"
    assert wait_for(lambda: "(IAC)\n(IP)\n(IAC)\n(DM)\n" in s.log())


@pytest.mark.parametrize("line, trace", [
    (b"\xff\xf4\xff\xf2\r\n", "<< \n"),
    (b"\r\n", "<< \n"),
    (b"1NOOP\r\n", "<< (ASCII 49)\n"),
    (b"\x01NOOP\r\n", "<< (ASCII 1)\n"),
])
def test_lines_without_a_leading_letter_are_not_understood(server, line, trace):
    s = server()
    c = s.greeted()
    c.send(line)
    assert c.reply() == UNKNOWN
    assert wait_for(lambda: trace in s.log())


def test_trailing_control_characters_are_stripped(server):
    c = server().greeted()
    c.send(b"SYST\t\x01\r\n")
    assert c.reply() == "215 UNIX Type: L8\r\n"


def test_passwords_are_hidden_in_the_trace(server):
    s = server()
    c = s.greeted()
    c.command("PASS Sesame123")
    assert wait_for(lambda: "<< PASS ********\n" in s.log() or "<< PASS ********\r\n" in s.log())
    assert "Sesame123" not in s.log()


@pytest.mark.parametrize("user", ["anonymous", "ftp"])
def test_a_required_guest_password_is_hidden_like_any_password(server, user):
    s = server(general="a-password-mode = exactly Open Sesame\n")
    c = s.greeted()
    c.command("USER " + user)
    assert c.command("PASS Open Sesame") == "230 Logged in anonymously.\r\n"
    child, = s.busy_children()
    assert s.slot(child)["command"] == "PASS ********"
    assert wait_for(lambda: "<< PASS ********" in s.log())
    assert "Sesame" not in s.log()


def test_passwords_show_with_Y(server):
    s = server(args=["-Y"])
    c = s.greeted()
    c.command("PASS Sesame123")
    assert wait_for(lambda: "<< PASS Sesame123" in s.log())


# ---- Time-outs ----------------------------------------------------------------------

def test_the_login_time_out_carries_the_configured_seconds(server):
    s = server(general="login-timeout = 2\n")
    c = s.greeted()
    assert c.reply() == "421 Disconnecting you since you didn't login successfully within 2 seconds.\r\n"
    assert c.closed()
    s.wait_log(r"Timed-out, closed connection\.\n")


def test_noop_does_not_move_the_login_deadline(server):
    s = server(general="login-timeout = 5\nnoop-delay = 0\n")
    c = s.greeted()
    # 2.5 s gone: whole-second clocks may count 2 or 3 of them (or 1 when the
    # server's clock was just about to tick); a reset deadline would say 5.
    time.sleep(2.5)
    m = re.fullmatch(r"200 No-op okay\. Your session will timeout in (\d) seconds?\.\r\n", c.command("NOOP"))
    assert m and int(m.group(1)) <= 4
    assert c.reply().startswith("421 Disconnecting you since you didn't login successfully within 5 seconds.")


@pytest.mark.parametrize("timeout, pattern", [
    (3700, r"1 hour 1 minute (\d+) second(s?)"),
    (100, r"1 minute and (\d+) second(s?)"),
    (45, r"(\d+) second(s?)"),
])
def test_noop_reports_the_time_left(server, timeout, pattern):
    c = server(general="login-timeout = %d\nnoop-delay = 0\n" % timeout).greeted()
    reply = c.command("NOOP")
    m = re.fullmatch(r"200 No-op okay\. Your session will timeout in %s\.\r\n" % pattern, reply)
    assert m, reply
    assert (m.group(2) == "") == (int(m.group(1)) == 1)


# ---- How sessions end -----------------------------------------------------------------

def test_a_client_that_leaves_without_quit(server):
    s = server()
    c = s.greeted()
    c.close()
    s.wait_log(r"Remote host 127\.0\.0\.1 closed connection \(without QUIT\)\.\n")
    s.wait_log(r"Connection closed\.\n")


def test_a_client_that_resets_the_connection(server):
    s = server()
    c = s.greeted()
    c.sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    c.close()
    s.wait_log(r"Remote host 127\.0\.0\.1 dropped off the network\.\n")
    s.wait_log(r"Connection reset\.\n")


@pytest.mark.parametrize("probe, reply", [
    ("HELO mail.example.com", "502 This is not an SMTP server.  Goodbye.\r\n"),
    ("POST /upload HTTP/1.1", "502 This is not an HTTP server.  Goodbye.\r\n"),
])
def test_smtp_and_http_probes_end_the_session(server, probe, reply):
    s = server()
    c = s.greeted()
    assert c.command(probe) == reply
    assert c.closed()
    s.wait_log(r"Misc error, closed connection\.\n")


# ---- Connection-time refusals ------------------------------------------------------------

def _low_port():
    for port in range(600, 1000):
        with socket.socket() as t:
            t.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            try:
                t.bind(("127.0.0.1", port))
                return port
            except OSError:
                continue
    pytest.skip("no free low port")


def test_low_client_ports_are_refused_by_an_anonymous_only_server(server):
    s = server(general="allow-incoming-ports-below-1024 = no\n", args=["-a"])
    c = s.control(source=("127.0.0.1", _low_port()))
    assert c.reply() == "550 Remote port numbers below 1024 are not allowed here.\r\n"
    assert c.closed()
    assert re.search(r"Port number \(\d+\) on control connection from user at 127\.0\.0\.1 was below 1024\.\n", s.log())


def test_low_client_ports_are_welcome_when_real_users_may_log_in(server):
    s = server(general="allow-incoming-ports-below-1024 = no\n")
    c = s.control(source=("127.0.0.1", _low_port()))
    assert c.reply() == GREETING


def test_a_disabled_domain_refuses_everybody(server):
    s = server(domain="set-name = shut\nserver-name = testhost\nserver-type = disabled\n")
    c = s.control()
    assert c.reply() == "550 Sorry, logins are not allowed here.\r\n"
    assert c.closed()
    assert wait_for(lambda: "User at 127.0.0.1 tried to login to disabled domain shut.\n" in s.log())


def _nologin_wrapper(zdir, name, when):
    """Runs zorvad in a private mount namespace whose /etc is an overlay
    holding the given nologin file."""
    upper, work = os.path.join(zdir, "upper"), os.path.join(zdir, "work")
    os.makedirs(upper, exist_ok=True)
    os.makedirs(work, exist_ok=True)
    script = ("set -e; mount -t overlay overlay -o lowerdir=/etc,upperdir=%s,workdir=%s /etc; "
              "echo 'Back soon.' > /etc/%s; touch -d '%s' /etc/%s; exec \"$@\"" % (upper, work, name, when, name))
    return ["unshare", "-m", "--propagation", "private", "sh", "-c", script, "sh"]


@pytest.mark.parametrize("name", ["nologin", "nologin.ftp"])
def test_a_nologin_file_changes_the_greeting(server, zorvad_dir, name):
    s = server(wrapper=_nologin_wrapper(zorvad_dir, name, "1 hour ago"))
    c = s.control()
    assert c.reply() == NOLOGIN_GREETING
    assert not os.path.exists("/etc/" + name)     # only inside the server's namespace


def test_a_nologin_file_dated_in_the_future_has_no_effect(server, zorvad_dir):
    s = server(wrapper=_nologin_wrapper(zorvad_dir, "nologin", "tomorrow"))
    assert s.greeted().greeting == GREETING


def test_a_nologin_file_holds_for_the_whole_session(server, zorvad_dir):
    s = server(wrapper=_nologin_wrapper(zorvad_dir, "nologin.ftp", "1 hour ago"))
    c = s.control()
    assert c.reply() == NOLOGIN_GREETING
    subprocess.run(["nsenter", "-t", str(s.pid), "-m", "rm", "/etc/nologin.ftp"], check=True)
    assert c.command("REIN") == NOLOGIN_GREETING
    assert s.greeted().greeting == GREETING


# ---- Simple commands ---------------------------------------------------------------------

def test_rein_before_login_greets_again(server):
    c = server().greeted()
    assert c.command("REIN") == GREETING
    assert c.command("PWD") == '257 "/" is cwd.\r\n'


@pytest.mark.parametrize("arg, reply", [
    ("", "200 Language set to en-US.\r\n"),
    ("en", "200 Language set to en-US.\r\n"),
    ("en-US", "200 OK\r\n"),
    ("EN-us", "200 OK\r\n"),
    ("En", "200 Language set to en-US.\r\n"),
    ("en-UK", "200 en-UK is not supported (This isn't Anfield). Language is en-US.\r\n"),
    ("en-GB", "200 en-GB is not supported. Language set to en-US.\r\n"),
    ("en-verylongtag", "200 en-veryl is not supported. Language set to en-US.\r\n"),
    ("de", "504 de is not supported. Language set to en-US.\r\n"),
    ("de-AT", "504 de-AT is not supported. Language set to en-US.\r\n"),
    ("deutsch", "501 Syntax error in parameters.\r\n"),
    ("d1", "501 Syntax error in parameters.\r\n"),
])
def test_lang(server, arg, reply):
    c = server().greeted()
    assert c.command(("LANG " + arg).strip()) == reply


def test_lang_en_rs_answers_with_a_sentence(server):
    c = server().greeted()
    assert re.fullmatch(r"200 [^\r\n]+\r\n", c.command("LANG en-RS"))


def test_clnt(server):
    c = server().greeted()
    assert c.command("CLNT") == "501 Syntax error in parameters.\r\n"
    assert c.command("CLNT FileZilla") == "200 Noted.\r\n"
    c2 = server(general="allow-clnt = no\n").greeted()
    assert c2.command("CLNT FileZilla") == "502 Unimplemented command.\r\n"


def test_acct_needs_an_argument(server):
    c = server().greeted()
    assert c.command("ACCT") == "501 Syntax error in parameters.\r\n"


def test_help_lists_the_commands_and_names_the_software(server):
    reply = server().greeted().command("HELP")
    assert reply.startswith(
        "214-The following commands are recognized (* => unimplemented, + => extension).\r\n"
        "      ABOR   CLNT+  HELP   MLSD  PASS  REST  SIZE   SYST\r\n"
        "      ACCT*  CWD    HOST*  MLST  PASV  RETR  SMNT*  TYPE\r\n"
        "      ALLO*  DELE   LANG   MODE  PORT  RMD   STAT   USER\r\n"
        "      APPE   EPRT*  LIST   NLST  PWD   RNFR  STOR\r\n"
        "      AUTH*  EPSV*  MDTM   NOOP  QUIT  RNTO  STOU\r\n"
        "      CDUP   FEAT   MKD    OPTS  REIN  SITE  STRU*\r\n"
        "      \r\n"
        "    This site is running Zorvad Server software.\r\n")
    assert reply.endswith("214 \r\n")


def test_help_names_the_contact_address(server):
    reply = server(general="ftp-bugs = ftp-admin@example.com\n").greeted().command("HELP")
    assert reply.endswith("      \r\n    Send comments to ftp-admin@example.com.\r\n214 \r\n")


@pytest.mark.parametrize("sites, words", [
    ("", ["BUFSIZE", "CHMOD", "QUOTA", "RBUFSIZ", "RBUFSZ", "RETRBUFSIZE", "SBUFSIZ",
          "SBUFSZ", "STORBUFSIZE", "UMASK", "UTIME"]),
    ("allowed-site-commands = chmod date\n", ["CHMOD", "DATE"]),
    ("allowed-site-commands = none\n", []),
])
def test_help_site_lists_the_allowed_site_commands(server, sites, words):
    reply = server(general=sites).greeted().command("help site")
    assert reply == ("214-The following SITE commands are recognized:\r\n"
                     + "".join(" %s\r\n" % w for w in words) + "214 \r\n")


# ---- Session set-up ------------------------------------------------------------------------

def _child_pid(s):
    with open(s.pid_file(), "rb") as f:
        f.seek(138 + 64)
        m = re.match(rb"kill -9  +(\d+) ", f.read(64))
    return int(m.group(1)) if m else None


@pytest.mark.parametrize("general, domain_umask, expected", [
    ("", "", "0022"),
    ("a-umask = 077\n", "", "0077"),
    ("a-umask = 077\n", "a-umask = 027\n", "0027"),
])
def test_a_session_takes_the_umask_of_its_domain(server, general, domain_umask, expected):
    s = server(general=general,
               domain="set-name = test\nserver-name = testhost\nftp-home = {dir}/ftp\n" + domain_umask)
    s.greeted()
    pid = wait_for(lambda: _child_pid(s))
    with open("/proc/%d/status" % pid) as f:
        assert re.search(r"^Umask:\s+%s$" % expected, f.read(), re.M)


# What a pool child's root may still do: capability numbers of <linux/capability.h>.
SESSION_CAPABILITIES = {0: "chown", 2: "dac_read_search", 3: "fowner", 5: "kill", 6: "setgid", 7: "setuid",
                        8: "setpcap", 10: "net_bind_service", 18: "sys_chroot"}


def _capabilities(status, field):
    mask = int(re.search(r"^%s:\s+([0-9a-f]+)$" % field, status, re.M).group(1), 16)
    return {n for n in range(64) if mask >> n & 1}


def test_a_pool_child_keeps_only_the_powers_its_sessions_use(server):
    s = server()
    c = s.greeted()
    assert c.command("USER anonymous").startswith("331 ")
    assert c.command("PASS guest@example.com") == "230 Logged in anonymously.\r\n"
    (n,) = wait_for(lambda: s.busy_children())
    pid = s.slot(n)["pid"]
    with open("/proc/%d/status" % pid) as f:
        status = f.read()
    assert re.search(r"^NoNewPrivs:\s+1$", status, re.M)
    assert re.search(r"^Seccomp:\s+2$", status, re.M)             # a filter is installed
    assert _capabilities(status, "CapBnd") == set(SESSION_CAPABILITIES)
    assert _capabilities(status, "CapPrm") == set(SESSION_CAPABILITIES)
    assert _capabilities(status, "CapInh") == set() and _capabilities(status, "CapAmb") == set()
    # The script root runs to stop the server is not open in a session.
    script = os.stat(s.pid_file())
    for fd in os.listdir("/proc/%d/fd" % pid):
        try:
            st = os.stat("/proc/%d/fd/%s" % (pid, fd))
        except FileNotFoundError:
            continue
        assert (st.st_dev, st.st_ino) != (script.st_dev, script.st_ino), "fd %s is the PID file" % fd
    assert c.command("QUIT").startswith("221 ")


def test_descriptor_probes_report_with_fd_debug(server):
    s = server(general="fd-debug = yes\n")
    s.greeted()
    s.wait_log(r"FdDebug\+ShellStart: cur fd = \d+\n")


def test_urgent_data_outside_a_transfer_is_ignored(server):
    s = server()
    c = s.greeted()
    c.sock.send(b"!", socket.MSG_OOB)
    s.wait_log(r"Canceler caught spurious SIGURG, ignoring\.\n")
    assert c.command("SYST") == "215 UNIX Type: L8\r\n"
