"""Connections forwarded by a TCP load balancer begin with a PROXY header
naming the real client; only the balancers that proxy-protocol-from names
may send one."""
import re
import socket
import struct

import pytest

from conftest import Control, wait_for

BALANCER = "127.0.0.10"


def v1(client, port):
    return b"PROXY TCP4 %s 127.0.0.1 %d 21\r\n" % (client.encode(), port)


def v2(client, port):
    addresses = socket.inet_aton(client) + socket.inet_aton("127.0.0.1") + struct.pack("!HH", port, 21)
    tlv = b"\x04\x00\x02ab"                 # a TLV the balancer may add: skipped
    body = addresses + tlv
    return b"\r\n\r\n\x00\r\nQUIT\n" + b"\x21\x11" + struct.pack("!H", len(body)) + body


def through_balancer(s, header):
    c = Control(s.port, source=(BALANCER, 0), timeout=10)
    c.send(header)
    return c


@pytest.mark.parametrize("make", [v1, v2], ids=["v1", "v2"])
def test_a_trusted_balancer_names_the_client_and_its_per_ip_limit_counts_it(server, make):
    s = server(general="proxy-protocol-from = 127.0.0.8/30, 10.0.0.0/8\nmax-users-per-ip = 1\n")
    first = through_balancer(s, make("127.0.0.50", 40000))
    assert first.reply().startswith("220 ")
    s.wait_log(r"New connection from 127\.0\.0\.50 ")
    # The same client again through the balancer: over its limit.
    again = through_balancer(s, make("127.0.0.50", 40001))
    assert again.reply().startswith("421")
    # Another client through the same balancer address is served.
    other = through_balancer(s, make("127.0.0.51", 40002))
    assert other.reply().startswith("220 ")
    other.send("USER anonymous")
    assert other.reply().startswith("331")
    other.send("PASS guest@example.org")
    assert other.reply().startswith("230")
    assert "New connection from 127.0.0.10" not in s.log()
    for c in (first, again, other):
        c.close()


def v2_ipv6(client, port):
    addresses = socket.inet_pton(socket.AF_INET6, client) + socket.inet_pton(socket.AF_INET6, "::1") + \
        struct.pack("!HH", port, 21)
    return b"\r\n\r\n\x00\r\nQUIT\n" + b"\x21\x21" + struct.pack("!H", len(addresses)) + addresses


def test_a_trusted_balancer_names_an_ipv6_client_and_its_per_ip_limit_counts_it(server):
    s = server(general="proxy-protocol-from = %s\nmax-users-per-ip = 1\nlog-sessions = yes\n" % BALANCER)
    first = through_balancer(s, b"PROXY TCP6 ::1 ::1 40000 21\r\n")
    assert first.reply().startswith("220 ")
    s.wait_log(r"New connection from ::1 ")
    assert s.slot(s.busy_children()[0])["addr"] == "::1"
    again = through_balancer(s, v2_ipv6("::1", 40001))
    assert again.reply() == "421 Sorry, there is already 1 user from ::1 logged on.  Try again in 10 minutes.\r\n"
    # An IPv4-mapped client is the IPv4 client it maps.
    mapped = through_balancer(s, v2_ipv6("::ffff:127.0.0.50", 40002))
    assert mapped.reply().startswith("220 ")
    s.wait_log(r"New connection from 127\.0\.0\.50 ")
    for c in (first, again, mapped):
        c.close()


def test_a_remote_client_not_on_the_list_cannot_forge_its_address(server):
    """A remote client straight at the server (not a listed balancer) sends
    a PROXY line naming another host: it stays who it is."""
    s = server(general="proxy-protocol-from = %s\n" % BALANCER)
    c = Control(s.port, timeout=10)
    c.send(v1("127.0.0.50", 40000))
    assert c.reply().startswith("220 ")
    assert c.reply().startswith("500")
    s.wait_log(r"New connection from 127\.0\.0\.1 ")
    assert "New connection from 127.0.0.50" not in s.log()
    c.close()


@pytest.mark.parametrize("header", [b"PROXY TCP4 127.0.0.300 127.0.0.1 1 21\r\n",
                                    b"PROXY TCP6 :: ::1 1 21\r\n",
                                    b"GET / HTTP/1.0\r\n\r\n",
                                    b"PROXY TCP4 127.0.0.5",
                                    b"PROXY TCP4 0.0.0.0 127.0.0.1 1 21\r\n",
                                    v2("0.0.0.5", 1),
                                    v2("255.255.255.255", 1),
                                    b"PROXY TCP4 224.0.0.5 127.0.0.1 1 21\r\n"],
                         ids=["bad-address", "ipv6-unspecified", "not-proxy", "cut-short", "this-network", "this-network-v2",
                              "broadcast-v2", "multicast"])
def test_a_balancer_connection_without_a_whole_header_is_closed_and_logged(server, header):
    s = server(general="proxy-protocol-from = %s\nlogin-timeout = 2\n" % BALANCER)
    c = through_balancer(s, header)
    assert c.closed(timeout=8)
    s.wait_log(r"PROXY header from 127\.0\.0\.10 refused: ")
    assert "New connection from 127.0.0.5" not in s.log()


def test_a_balancer_s_passive_connection_is_checked_against_the_client_its_header_names(server):
    s = server(general="proxy-protocol-from = %s\n" % BALANCER)
    c = through_balancer(s, v2("127.0.0.50", 40000))
    assert c.reply().startswith("220 ")
    c.send("USER anonymous")
    assert c.reply().startswith("331")
    c.send("PASS guest@example.org")
    assert c.reply().startswith("230")
    m = re.match(r"227 .*\(127,0,0,1,(\d+),(\d+)\)", c.command("PASV"))
    port = int(m.group(1)) * 256 + int(m.group(2))

    def from_balancer(first_bytes):
        d = socket.create_connection(("127.0.0.1", port), timeout=10, source_address=(BALANCER, 0))
        d.sendall(first_bytes)
        return d
    # No header from the balancer: turned away.
    bare = from_balancer(b"GET / HTTP/1.0\r\n\r\n")
    s.wait_log(r"PROXY header on a data connection from 127\.0\.0\.10 refused: malformed\.")
    # A header naming another client: turned away as that client.
    other = from_balancer(v1("127.0.0.51", 40001))
    s.wait_log(r"Data connection \(127\.0\.0\.51\) is not from same host as control connection \(127\.0\.0\.50\)")
    for d in (bare, other):
        try:
            assert d.recv(1) == b""
        except ConnectionResetError:
            pass
        d.close()
    # The client's own, through the balancer.
    own = from_balancer(v2("127.0.0.50", 40002))
    assert c.command("NLST").startswith("150 Data connection accepted from 127.0.0.50:40002;")
    assert own.recv(1) == b""
    own.close()
    assert c.reply().startswith("226")
    c.close()
