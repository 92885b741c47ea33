"""A client's reverse name is looked up by a short-lived helper without
rights: the resolver parses the answers of the client's own reverse zone
there, never in the root pool child or master.  The name still reaches the
status area and the logs as before."""
import os
import re
import select
import signal
import socket
import struct
import subprocess
import sys

import pytest

from conftest import DEFAULT_DOMAIN, wait_for
from test_domains import private_etc_files
from test_privileges import FRONT_UID_BASE, assert_only_ids_without_rights, gone, memory_holds, shared_mappings, status
from test_tls import cert, tls_keys  # noqa: F401 (fixture)

BOTH = "listen-ipv6 = yes\nallow-epsv-eprt = yes\n"
# Its own address: another test file's name server may run at the same time.
NAME_SERVER = "127.0.0.78"

# A name server on the address of argument 4 for the reverse zone of ::1
# and the name it gives (argument 1).  With "hold" (argument 2) each question for the
# reverse name is announced ("asked") and held until a line comes on
# standard input; with "leads-back" (argument 3) the name's AAAA is ::1,
# else the name has no address.
HOLDING_DNS = r"""
import socket, struct, sys
want = ".".join("1" + "0" * 31) + ".ip6.arpa"
host, hold, leads_back = sys.argv[1], sys.argv[2] == "hold", sys.argv[3] == "leads-back"
name = b"".join(bytes([len(x)]) + x.encode() for x in host.split(".")) + b"\0"
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind((sys.argv[4], 53))
print("ready", flush=True)
while True:
    q, peer = s.recvfrom(2048)
    end, labels = 12, []
    while q[end]:
        labels.append(q[end + 1:end + 1 + q[end]].decode())
        end += q[end] + 1
    question = q[12:end + 5]
    qtype = struct.unpack("!H", q[end + 1:end + 3])[0]
    asked = ".".join(labels).lower()
    if qtype == 12 and asked == want:
        if hold:
            print("asked", flush=True)
            sys.stdin.readline()
        answer = b"\xc0\x0c" + struct.pack("!HHIH", 12, 1, 60, len(name)) + name
    elif qtype == 28 and asked == host and leads_back:
        answer = b"\xc0\x0c" + struct.pack("!HHIH", 28, 1, 60, 16) + b"\0" * 15 + b"\1"
    else:
        s.sendto(q[:2] + b"\x81\x83" + struct.pack("!HHHH", 1, 0, 0, 0) + question, peer)
        continue
    s.sendto(q[:2] + b"\x81\x80" + struct.pack("!HHHH", 1, 1, 0, 0) + question + answer, peer)
"""


@pytest.fixture
def name_server():
    dns = subprocess.Popen([sys.executable, "-c", HOLDING_DNS, "trusted.example", "hold", "leads-back",
                            NAME_SERVER],
                           stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    try:
        assert dns.stdout.readline() == b"ready\n"
        yield dns
    finally:
        dns.kill()
        dns.wait()


def asked(dns, timeout=20):
    """True once the name server holds a question for the reverse name."""
    ready, _, _ = select.select([dns.stdout], [], [], timeout)
    return bool(ready) and dns.stdout.readline() == b"asked\n"


def answer(dns):
    dns.stdin.write(b"go\n")
    dns.stdin.flush()


def asker_of_the_name_server():
    """The process holding the UDP socket that waits for NAME_SERVER:53."""
    inodes = set()
    with open("/proc/net/udp") as f:
        next(f)
        for line in f:
            fields = line.split()
            if fields[2] == "%08X:0035" % struct.unpack("<I", socket.inet_aton(NAME_SERVER))[0]:
                inodes.add("socket:[%s]" % fields[9])
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                fds = ["/proc/%s/fd/%s" % (entry, fd) for fd in os.listdir("/proc/%s/fd" % entry)]
                if any(os.readlink(fd) in inodes for fd in fds):
                    return int(entry)
            except OSError:
                continue
    return None


def reaped(pid):
    return not os.path.exists("/proc/%d" % pid)


def tcp_socket_inodes():
    inodes = set()
    for table in ("/proc/net/tcp", "/proc/net/tcp6"):
        with open(table) as f:
            next(f)
            inodes |= {"socket:[%s]" % line.split()[9] for line in f}
    return inodes


def assert_a_helper_without_rights(pid, parent):
    assert int(status(pid)["PPid"]) == parent
    # The fronts' base id, which no front has.
    assert_only_ids_without_rights(pid, FRONT_UID_BASE)
    with open("/proc/%d/limits" % pid) as f:
        assert re.search(r"^Max processes +0 +0 ", f.read(), re.M)
    # Nothing of the pool's: no shared table, no connection of a client, no
    # listening socket, no log pipe; /dev/null, its record's pipe and the
    # resolver's socket.
    assert [m for m in shared_mappings(pid) if m[1].startswith("rw") or m[2].startswith("/SYSV")] == []
    fds = {fd: os.readlink("/proc/%d/fd/%s" % (pid, fd)) for fd in os.listdir("/proc/%d/fd" % pid)}
    assert [fds[n] for n in ("0", "1", "2")] == ["/dev/null"] * 3 and fds["3"].startswith("pipe:"), fds
    assert not set(fds.values()) & tcp_socket_inodes(), fds
    assert all(v.startswith("socket:") for fd, v in fds.items() if int(fd) > 3), fds


def reverse_zone_server(server, zorvad_dir, max_users, general=""):
    """A server with look-ups on that asks the name server on NAME_SERVER
    (the hosts file names only 127.0.0.1), one pool child kept, and a
    session log."""
    wrapper = private_etc_files(zorvad_dir, hosts="127.0.0.1 localhost\n", nsswitch_conf="hosts: files dns\n",
                                resolv_conf="nameserver %s\noptions timeout:20 attempts:1\n" % NAME_SERVER)
    return server(general=BOTH + general + "dns-lookup = yes\nmin-users = 1\nmax-users = %d\nlog-sessions = yes\n"
                  % max_users, domain=DEFAULT_DOMAIN + "log-session = {dir}/session.log\n", wrapper=wrapper)


def test_a_remote_client_writing_its_own_reverse_zone_is_answered_to_a_helper_without_rights(
        server, zorvad_dir, name_server):
    # The attacker: a remote client that writes its own reverse zone (the
    # name server here), whose answer bytes the resolver parses.  Whoever
    # asks, the pool child for a new session or the master for the refusal
    # line of a full server, the asking process is a helper with no rights,
    # and the name it brings back is shown as before.
    s = reverse_zone_server(server, zorvad_dir, max_users=1)
    pool_child = wait_for(lambda: s.slot(1)["pid"])

    c = s.control(address="::1")
    assert asked(name_server)
    helper = wait_for(asker_of_the_name_server)
    assert_a_helper_without_rights(helper, pool_child)
    answer(name_server)
    assert c.reply() == "220 testhost Zorvad Server ready.\r\n"
    assert s.slot(1)["host"] == "trusted.example" and s.slot(1)["host_resolved"] == 1
    assert wait_for(lambda: reaped(helper))
    s.wait_log(r"New connection from ::1 \(trusted\.example\) to ::1 ")
    c.command("USER anonymous")
    assert c.command("PASS joe@example.com").startswith("230 ")

    refused = s.control(address="::1")
    assert refused.reply().startswith("421 ")
    assert asked(name_server)
    helper = wait_for(asker_of_the_name_server)
    assert_a_helper_without_rights(helper, s.pid)
    answer(name_server)
    assert wait_for(lambda: "REFUSED,?,trusted.example," in s.log_file("session.log")), s.log_file("session.log")
    assert wait_for(lambda: reaped(helper))


def private_key_bytes(cert):
    """The key's secret scalar as it sits in memory (its little-endian
    words), and the base64 text of its PEM file."""
    text = subprocess.run(["openssl", "ec", "-in", str(cert / "key.pem"), "-text", "-noout"], capture_output=True,
                          text=True, check=True).stdout
    scalar = bytes.fromhex(re.sub(r"[\s:]", "", re.search(r"priv:\n((?:\s+[0-9a-f:]+\n)+)", text).group(1)))[-32:]
    with open(cert / "key.pem", "rb") as f:
        return scalar[::-1], f.read().split(b"\n")[1]


def test_a_remote_client_that_takes_over_the_helper_finds_no_tls_key_there(server, zorvad_dir, name_server, cert):
    # The attacker: a remote client whose reverse-zone answers take over
    # the helper that parses them (its memory, read here, stands for code
    # running there).  The helper may send to the network; it must not hold
    # the server's key: neither the one a pool child's context holds nor the
    # master's copy of the key file.
    s = reverse_zone_server(server, zorvad_dir, max_users=1, general=tls_keys(cert, "allowed"))
    secrets = private_key_bytes(cert)
    served = s.control(address="::1")
    for expected_parent in (wait_for(lambda: s.slot(1)["pid"]), s.pid):
        assert asked(name_server)
        helper = wait_for(asker_of_the_name_server)
        assert int(status(helper)["PPid"]) == expected_parent
        assert [memory_holds(helper, secret) for secret in secrets] == [False, False]
        answer(name_server)
        if expected_parent != s.pid:
            assert served.reply().startswith("220 ")
            assert s.control(address="::1").reply().startswith("421 ")


def helpers_left(s):
    """The server's processes under the helpers' id."""
    left = []
    for pid in s.processes():
        try:
            if status(pid)["Uid"].split()[0] == str(FRONT_UID_BASE):
                left.append(pid)
        except OSError:
            continue
    return left


def test_a_remote_client_whose_reverse_zone_stays_silent_does_not_keep_the_master_from_other_clients(
        server, zorvad_dir, name_server):
    # The attacker: a remote client whose reverse zone never answers, which
    # connects again and again to a full server.  The master looks the name
    # of every refused client up for the refusal line; it must not wait for
    # those names: a pool child that dies meanwhile is reaped, and the next
    # client served, at once.  The refusal lines come when the names run
    # out of time, with the address, and no helper is left.
    s = reverse_zone_server(server, zorvad_dir, max_users=2)
    held = [s.greeted(), s.greeted()]
    assert [c.greeting for c in held] == ["220 testhost Zorvad Server ready.\r\n"] * 2
    second = wait_for(lambda: s.slot(2)["pid"])
    attackers = [s.control(address="::1") for _ in range(2)]
    assert [c.reply()[:4] for c in attackers] == ["421 "] * 2
    assert asked(name_server)
    os.kill(second, signal.SIGKILL)
    assert wait_for(lambda: s.slot(2)["pid"] == 0, 4)
    assert s.control(timeout=4).reply() == "220 testhost Zorvad Server ready.\r\n"
    assert wait_for(lambda: s.log_file("session.log").count("REFUSED,?,::1,") == 2, 10), s.log_file("session.log")
    assert wait_for(lambda: helpers_left(s) == []), helpers_left(s)
