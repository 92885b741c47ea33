"""IPv6 beside IPv4 on one daemon: real clients over ::1 (curl, lftp,
ftplib, rclone) store, fetch and list; the status area, the monitor and the
logs show the IPv6 peer; per-address limits and TCP Wrappers count it; the
data connection checks hold for EPRT and EPSV as they do for PORT and PASV."""
import ftplib
import io
import json
import os
import re
import socket
import subprocess
import sys

from accounts import users  # noqa: F401 (fixture)
from conftest import DEFAULT_DOMAIN, LOG_PREFIX, wait_for
from test_domains import THREE_SETS, private_etc_files
from test_name_lookup import HOLDING_DNS
from test_spy import SPY, spy
from xferhelp import LFTP_SAFE, domain, records, sha256_file, wait_records, write_file

BOTH = "listen-ipv6 = yes\nallow-epsv-eprt = yes\n"
CONTENT = os.urandom(700000)


def session_lines(s):
    return LOG_PREFIX.sub("", s.log_file("session.log")).splitlines()


def eprt_listener():
    listener = socket.create_server(("::1", 0), family=socket.AF_INET6, backlog=1)
    listener.settimeout(20)
    return listener


def test_real_clients_store_fetch_and_list_over_ipv6_beside_ipv4(server, users):  # noqa: F811
    u = users()
    s = server(general=BOTH, domain=domain())
    write_file(os.path.join(u.home, "in.bin"), CONTENT)
    url = "ftp://%s:%s@[::1]:%d/" % (u.name, u.password, s.port)

    # curl: EPSV download, EPRT upload, a listing.
    got = subprocess.run(["curl", "-sS", "-g", "--max-time", "20", url + "in.bin"], capture_output=True, timeout=30)
    assert got.returncode == 0 and got.stdout == CONTENT, got.stderr
    put = subprocess.run(["curl", "-sS", "-g", "--max-time", "20", "-P", "-", "-T", "-", url + "up.bin"],
                         input=CONTENT, capture_output=True, timeout=30)
    assert put.returncode == 0, put.stderr
    assert sha256_file(os.path.join(u.home, "up.bin")) == sha256_file(os.path.join(u.home, "in.bin"))
    listing = subprocess.run(["curl", "-sS", "-g", "--max-time", "20", url], capture_output=True, timeout=30)
    assert {b"in.bin", b"up.bin"} <= {line.split()[-1] for line in listing.stdout.splitlines()}

    # ftplib speaks EPSV/EPRT by itself on IPv6: MLSD, a stored and a fetched file.
    f = s.ftp(address="::1")
    f.login(u.name, u.password)
    assert f.storbinary("STOR lib.bin", io.BytesIO(CONTENT)).startswith("226 ")
    facts = dict(f.mlsd())
    assert facts["lib.bin"]["size"] == str(len(CONTENT)) and facts["in.bin"]["type"] == "file"
    f.set_pasv(False)
    out = io.BytesIO()
    assert f.retrbinary("RETR lib.bin", out.write).startswith("226 ")
    assert out.getvalue() == CONTENT
    f.quit()

    # lftp and rclone.
    r = subprocess.run(["timeout", "60", "lftp", "-u", "%s,%s" % (u.name, u.password), "-p", str(s.port), "-e",
                        LFTP_SAFE + "get in.bin -o lftp.bin; put lftp.bin -o lftp-up.bin; cls -1; quit", "::1"],
                       capture_output=True, text=True, cwd=s.dir, timeout=70)
    assert r.returncode == 0 and "lftp-up.bin" in r.stdout.split(), r.stderr
    assert sha256_file(os.path.join(u.home, "lftp-up.bin")) == sha256_file(os.path.join(u.home, "in.bin"))
    obscured = subprocess.run(["rclone", "obscure", u.password], capture_output=True, text=True, check=True)
    env = dict(os.environ, RCLONE_FTP_HOST="[::1]", RCLONE_FTP_PORT=str(s.port), RCLONE_FTP_USER=u.name,
               RCLONE_FTP_PASS=obscured.stdout.strip())
    r = subprocess.run(["timeout", "60", "rclone", "--config", "/dev/null", "--contimeout", "5s", "--timeout", "20s",
                        "--retries", "1", "copyto", ":ftp:in.bin", os.path.join(s.dir, "rclone.bin")],
                       capture_output=True, text=True, env=env, timeout=70)
    assert r.returncode == 0, r.stderr
    assert sha256_file(os.path.join(s.dir, "rclone.bin")) == sha256_file(os.path.join(u.home, "in.bin"))

    # The IPv4 socket still serves, on the same daemon.
    v4 = subprocess.run(["curl", "-sS", "--max-time", "20", "ftp://%s:%s@127.0.0.1:%d/in.bin" %
                         (u.name, u.password, s.port)], capture_output=True, timeout=30)
    assert v4.returncode == 0 and v4.stdout == CONTENT
    # The transfer log names the IPv6 client as it names an IPv4 one.
    hosts = {r[7] for r in wait_records(s, 6)}
    assert {"::1", "127.0.0.1"} <= hosts, records(s)


def test_status_area_monitor_and_logs_show_the_ipv6_client(server):
    general = BOTH + "log-sessions = yes\n"
    s = server(general=general, domain=DEFAULT_DOMAIN + "log-session = {dir}/session.log\n"
               "welcome-message = {dir}/welcome.msg\n")
    with open(os.path.join(s.dir, "welcome.msg"), "w") as f:
        f.write("You come from %I (%R).\n")
    c = s.control(address="::1")
    greeting = c.reply()
    assert "-You come from ::1 (::1).\r\n" in greeting, greeting
    c.command("USER anonymous")
    assert c.command("PASS joe@example.com").startswith("230")
    n = s.busy_children()[0]
    assert s.slot(n)["addr"] == "::1" and s.slot(n)["host"] == "::1"
    who = spy(s, "-n", "who").stdout.decode().splitlines()
    assert re.fullmatch(r"joe@example\.com +::1 +#%03d \d{6} +0:00:\d\d" % n, who[1]), who
    doc = json.loads(spy(s, "-n", "json").stdout)
    assert [x["client"] for x in doc["sessions"]] == ["::1"]
    assert "<td>::1</td>" in spy(s, "-n", "-h", "who").stdout.decode()
    assert c.command("QUIT") == "221 Goodbye.\r\n"
    line = wait_for(lambda: [x for x in session_lines(s) if x.startswith("anonymous,")])
    assert line[0].split(",")[2] == "::1", line
    s.wait_log(r"New connection from ::1 to ::1 ")


def test_reverse_lookup_of_an_ipv6_client_obeys_dns_lookup(server, zorvad_dir):
    wrapper = private_etc_files(zorvad_dir, hosts="127.0.0.1 localhost\n::1 six.example\n")
    for lookup, shown in (("no", "::1"), ("yes", "six.example")):
        s = server(general=BOTH + "dns-lookup = %s\n" % lookup, wrapper=wrapper)
        s.greeted(address="::1")
        assert wait_for(lambda: s.busy_children())
        assert wait_for(lambda: s.slot(s.busy_children()[0])["host"] == shown), s.slot(s.busy_children()[0])
        s.stop()


def test_per_address_limits_and_tcp_wrappers_count_an_ipv6_client(server, zorvad_dir):
    # A remote client opening a second session from the same IPv6 address.
    s = server(general=BOTH + "max-users-per-ip = 1\n")
    first = s.greeted(address="::1")
    assert first.greeting.startswith("220 ")
    second = s.control(address="::1")
    assert second.reply() == ("421 Sorry, there is already 1 user from ::1 logged on.  "
                              "Try again in 10 minutes.\r\n")
    assert s.greeted().greeting.startswith("220 ")     # 127.0.0.1 is another address
    s.stop()

    # A client that TCP Wrappers deny by its bracketed IPv6 address.
    wrapper = private_etc_files(zorvad_dir, hosts_allow="", hosts_deny="Zorvad: [::1]\n")
    s = server(general=BOTH + "tcp-wrappers = yes\n", wrapper=wrapper)
    assert s.control(address="::1").closed()
    s.wait_log(r"TCP Wrappers denied access to ::1\.\n")
    assert s.greeted().greeting.startswith("220 ")


def test_a_reverse_name_that_does_not_lead_back_is_not_trusted(server, zorvad_dir):
    # A remote IPv6 client writes its own reverse zone: ::1 claims to be
    # trusted.example, which does not name ::1.  A TCP Wrappers rule by name
    # must not let it in, PARANOID must match it, and neither the logs, nor
    # the status area, nor the monitor (a web visitor's status page) may show
    # the claimed name.
    # The name server answers at once and gives the name no address.
    dns = subprocess.Popen([sys.executable, "-c", HOLDING_DNS, "trusted.example", "at-once", "claims-only",
                            "127.0.0.77"],
                           stdout=subprocess.PIPE)
    try:
        assert dns.stdout.readline() == b"ready\n"
        wrapper = private_etc_files(zorvad_dir, hosts="127.0.0.1 localhost\n", nsswitch_conf="hosts: files dns\n",
                                    resolv_conf="nameserver 127.0.0.77\noptions timeout:2 attempts:2\n",
                                    hosts_allow="Zorvad: .example\n", hosts_deny="Zorvad: PARANOID\n")
        s = server(general=BOTH + "tcp-wrappers = yes\n", wrapper=wrapper)
        assert s.control(address="::1").closed()
        s.wait_log(r"Host name trusted\.example of ::1 does not lead back to it: not used\.\n")
        s.wait_log(r"TCP Wrappers denied access to ::1\.\n")
        s.stop()

        s = server(general=BOTH + "dns-lookup = yes\nmin-users = 1\nmax-users = 1\nlog-sessions = yes\n",
                   domain=DEFAULT_DOMAIN + "log-session = {dir}/session.log\n", wrapper=wrapper)
        c = s.greeted(address="::1")
        c.command("USER anonymous")
        assert c.command("PASS joe@example.com").startswith("230 ")
        assert wait_for(lambda: s.busy_children() == [1])
        assert s.slot(1)["host"] == "::1" and s.slot(1)["host_resolved"] == 0
        who = subprocess.run([*wrapper, SPY, "-p", str(s.port), "-h", "who"], capture_output=True, timeout=20)
        assert b"<td>::1</td>" in who.stdout and b"trusted" not in who.stdout, who
        assert s.control(address="::1").reply().startswith("421 ")    # the master's: the server is full
        assert wait_for(lambda: "REFUSED,?,::1," in s.log_file("session.log")), s.log_file("session.log")
    finally:
        dns.kill()
        dns.wait()


def test_data_connection_checks_hold_for_eprt_and_epsv(server):
    # A remote client over IPv6 tries every way of aiming the data channel elsewhere.
    s = server(general=BOTH)
    c = s.greeted(address="::1")
    c.command("USER anonymous")
    c.command("PASS joe@example.com")
    assert c.command("PASV") == "522 PASV cannot name an IPv6 address; use EPSV.\r\n"
    assert c.command("PORT 127,0,0,1,4,1") == "522 PORT cannot name an IPv6 address; use EPRT.\r\n"
    assert c.command("EPSV 1") == "522 Network protocol not supported, use (2)\r\n"
    assert c.command("EPRT |1|127.0.0.1|1025|") == "522 Network protocol not supported, use (2)\r\n"
    # Another host, written as an IPv4-mapped IPv6 address, is a bounce.
    c2 = s.greeted(address="::1")
    c2.command("USER anonymous")
    c2.command("PASS joe@example.com")
    assert c2.command("EPRT |2|::ffff:127.0.0.2|2121|") == \
        "550 Data connection must go to same host as control connection.\r\n"
    assert c2.closed()

    # On IPv4 the replies stay those of an IPv4-only server.
    c4 = s.greeted()
    c4.command("USER anonymous")
    c4.command("PASS joe@example.com")
    assert c4.command("EPSV 2") == "522 Network protocol not supported, use (1)\r\n"
    assert c4.command("EPRT |2|::1|2121|") == "522 Network protocol not supported, use (1)\r\n"


def test_eprt_to_a_low_port_is_refused_as_port_is(server):
    s = server(general=BOTH + "allow-outgoing-ports-below-1024 = no\n")
    c = s.greeted(address="::1")
    c.command("USER anonymous")
    c.command("PASS joe@example.com")
    assert c.command("EPRT |2|::1|80|") == "550 Remote port numbers below 1024 are not allowed here.\r\n"
    assert c.closed()


def test_an_ipv6_single_server_address_serves_ipv6_alone(server):
    s = server(general="single-server-address = ::1\nallow-epsv-eprt = yes\n", wait=False)
    assert wait_for(lambda: s.pid_file() and os.path.exists(s.pid_file()) or s.proc.poll() is not None, 20)
    c = s.greeted(address="::1")
    assert c.greeting.startswith("220 ")
    with socket.socket() as v4:
        v4.settimeout(5)
        assert v4.connect_ex(("127.0.0.1", s.port)) != 0
    f = s.ftp(address="::1")
    f.login("anonymous", "joe@example.com")
    assert f.nlst() == []


def test_a_set_named_by_its_ipv4_mapped_address_serves_that_address(server):
    # A remote client of 127.0.0.3, whose set the administrator wrote in the
    # IPv4-mapped form, must get that set's rules and not the default set's.
    s = server(general=BOTH, domain=THREE_SETS.replace("127.0.0.3", "::ffff:127.0.0.3"))
    assert s.greeted(address="127.0.0.3").greeting == "220 two.example Zorvad Server ready.\r\n"
    s.wait_log(r"Using virtual host two \(127\.0\.0\.3, two\.example\)\.\n")
