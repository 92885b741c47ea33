"""Three zorvad nodes behind HAProxy, set up as dist/haproxy/haproxy.cfg and
the README's "Several nodes behind a load balancer" say: the balancer on
127.0.0.10 sends control connections to any node with a PROXY header and
each node's passive port range back to that node; the nodes (127.0.0.11,
.12, .13) share one password database and one tree of homes.  The client
is 127.0.0.50, so the address a node sees tells whether the header was
used.  HAProxy runs as a child of the test with the recipe's own sections
(addresses and ports moved to free ones), never as the system service."""
import ftplib
import hashlib
import json
import os
import re
import shutil
import signal
import socket
import struct
import subprocess

import pytest

from accounts import write_passwd_db
from conftest import BIN_DIR, Control, processes_with, shm_read, shm_remove, shm_slot, wait_for
from xferhelp import PASV_REPLY, read_all, sha256_file, sparse_file

HERE = os.path.dirname(os.path.abspath(__file__))
RECIPE = os.path.join(HERE, "..", "..", "dist", "haproxy", "haproxy.cfg")
README = os.path.join(HERE, "..", "..", "README.md")
SPY = os.path.join(BIN_DIR, "tools", "spy", "zorvad_spy")

BALANCER = "127.0.0.10"
NODES = ["127.0.0.11", "127.0.0.12", "127.0.0.13"]
CLIENT = "127.0.0.50"
PORTS_PER_NODE = 20
USER, PASSWORD = "vera", "s3cret"


def haproxy_binary():
    """HAProxy, installed from Debian's package when it is missing."""
    if shutil.which("haproxy") is None and os.geteuid() == 0:
        subprocess.run(["apt-get", "install", "-y", "-qq", "--no-install-recommends", "haproxy"],
                       env=dict(os.environ, DEBIAN_FRONTEND="noninteractive"),
                       stdin=subprocess.DEVNULL, capture_output=True, timeout=300)
    return shutil.which("haproxy")


def listening_on(address, port):
    """True when a socket listens on exactly address:port (IPv4)."""
    needle = "%08X:%04X" % (struct.unpack("<I", socket.inet_aton(address))[0], port)
    with open("/proc/net/tcp") as f:
        return any(line.split()[1] == needle and line.split()[3] == "0A" for line in f.readlines()[1:])


def bindable(address, port):
    with socket.socket() as s:
        try:
            s.bind((address, port))
        except OSError:
            return False
    return True


def free_ports(count):
    """The first of count consecutive ports free on the balancer's and the
    nodes' addresses, below the kernel's ephemeral range."""
    for base in range(21000 + (os.getpid() % 200) * 50, 32000, 97):
        if all(bindable(a, base + i) for i in range(count) for a in (BALANCER, *NODES)):
            return base
    raise RuntimeError("no free ports")


def balancer_config(text, directory, control_port, data_base):
    """The recipe with its addresses on loopback, its control port and the
    nodes' data ranges moved to free ports, and a global section of the
    test's own (foreground, no user switch, logs on standard error)."""
    body = text[text.index("\ndefaults"):]
    body = body.replace("192.0.2.", "127.0.0.")
    body = re.sub(r":21\b", ":%d" % control_port, body)
    ranges = iter(range(len(NODES)))

    def move(_m):
        lo = data_base + next(ranges) * PORTS_PER_NODE
        return ":%d-%d" % (lo, lo + PORTS_PER_NODE - 1)
    body = re.sub(r":\d+-\d+", move, body)
    return "global\n    log stderr format raw local0 info\n    pidfile %s/haproxy.pid\n%s" % (directory, body)


class Cluster:
    def __init__(self, base, port, nodes, balancer):
        self.base, self.port, self.nodes, self.balancer = base, port, nodes, balancer

    def ftp(self, source=CLIENT, timeout=20):
        f = ftplib.FTP(timeout=timeout)
        f.connect(BALANCER, self.port, source_address=(source, 0))
        f.login(USER, PASSWORD)
        return f

    def node_of(self, welcome):
        """The node whose greeting this is (server-name nodeN)."""
        m = re.match(r"220[ -](node\d)", welcome)
        assert m, welcome
        return self.nodes[int(m.group(1)[4:]) - 1]

    def explain(self, run):
        """A client's failure with the balancer's and the nodes' logs."""
        with open(os.path.join(self.base, "haproxy.log")) as f:
            text = "%s\n---- haproxy\n%s" % (run.stderr, f.read())
        for i, n in enumerate(self.nodes):
            text += "---- node%d\n%s" % (i + 1, n.log())
        return text


@pytest.fixture
def cluster(server, zorvad_dir):
    """A factory: cluster(general="...") starts the three nodes (general.cf
    lines added to each) and the balancer, and waits until all listen."""
    haproxy = haproxy_binary()
    if haproxy is None:
        pytest.skip("haproxy cannot be installed")
    procs = []

    def start(general=""):
        shared = os.path.join(zorvad_dir, "shared")
        home = os.path.join(shared, "home", USER)
        os.makedirs(home)
        os.chown(home, 65534, 65534)
        db = os.path.join(shared, "db", "passwd.db")
        write_passwd_db(db, "%s:{plain}%s:65534:65534::%s:/bin/sh" % (USER, PASSWORD, home))
        os.makedirs(os.path.join(shared, "ftp"))

        data_base = free_ports(PORTS_PER_NODE * len(NODES) + 1)
        port = data_base + PORTS_PER_NODE * len(NODES)
        nodes = []
        for i, address in enumerate(NODES):
            lo = data_base + i * PORTS_PER_NODE
            node = server(
                general=("proxy-protocol-from = %s\nsingle-server-address = %s\n"
                         "ephemeral-port-range = %d-%d\n"
                         % (BALANCER, address, lo, lo + PORTS_PER_NODE)) + general,
                domain=("set-name = test\nserver-name = node%d\nftp-home = %s/ftp\npasswd = %s\n"
                        "passive-ip = %s\nlog-xfer = {dir}/xfer.log\n" % (i + 1, shared, db, BALANCER)),
                port=port, args=["-k", "%x" % (0x7A100000 + (port << 6) + 16 * i)], wait=False)
            nodes.append(node)
        for node, address in zip(nodes, NODES):
            assert wait_for(lambda: os.path.exists(node.pid_file()) or node.proc.poll() is not None, 20)
            assert node.proc.poll() is None and listening_on(address, port), node.log()

        with open(RECIPE) as f:
            cfg = balancer_config(f.read(), zorvad_dir, port, data_base)
        cfg_path = os.path.join(zorvad_dir, "haproxy.cfg")
        with open(cfg_path, "w") as f:
            f.write(cfg)
        log = open(os.path.join(zorvad_dir, "haproxy.log"), "w")
        proc = subprocess.Popen([haproxy, "-f", cfg_path, "-db"], stdin=subprocess.DEVNULL,
                                stdout=log, stderr=subprocess.STDOUT, start_new_session=True)
        log.close()
        procs.append(proc)
        wanted = [port] + [data_base + i for i in range(PORTS_PER_NODE * len(NODES))]
        assert wait_for(lambda: proc.poll() is not None or all(listening_on(BALANCER, p) for p in wanted), 20)
        assert proc.poll() is None, open(os.path.join(zorvad_dir, "haproxy.log")).read()
        return Cluster(zorvad_dir, port, nodes, proc)

    yield start
    for proc in procs:
        if proc.poll() is None:
            os.killpg(proc.pid, signal.SIGTERM)
            try:
                proc.wait(10)
            except subprocess.TimeoutExpired:
                os.killpg(proc.pid, signal.SIGKILL)
                proc.wait()


def curl(*args):
    return subprocess.run(["curl", "-sS", "-v", "--max-time", "20", "--interface", CLIENT,
                           "-u", "%s:%s" % (USER, PASSWORD), *args],
                          capture_output=True, timeout=30)


def lftp(c, commands, cwd):
    return subprocess.run(["timeout", "30", "lftp", "-u", "%s,%s" % (USER, PASSWORD), "-p", str(c.port),
                           "-e", "set net:max-retries 1; set net:timeout 5; set ftp:use-feat no; "
                           "set net:socket-bind-ipv4 %s; %s; quit" % (CLIENT, commands), BALANCER],
                          capture_output=True, text=True, cwd=cwd, timeout=40)


def test_curl_and_lftp_through_the_balancer_share_one_store(cluster, zorvad_dir):
    c = cluster()
    work = os.path.join(zorvad_dir, "client")
    os.makedirs(work)
    up = sparse_file(os.path.join(work, "up.bin"), 3 << 20, seed=b"curl")
    url = "ftp://%s:%d/" % (BALANCER, c.port)

    r = curl("-T", up, url + "from-curl.bin")
    assert r.returncode == 0, c.explain(r)
    r = lftp(c, "put up.bin -o from-lftp.bin", cwd=work)
    assert r.returncode == 0, c.explain(r)
    # Each download is a new session, sent to whichever node has fewest.
    r = curl(url + "from-lftp.bin")
    assert r.returncode == 0, c.explain(r)
    assert hashlib.sha256(r.stdout).hexdigest() == sha256_file(up)
    r = lftp(c, "get from-curl.bin -o got.bin", cwd=work)
    assert r.returncode == 0, c.explain(r)
    assert sha256_file(os.path.join(work, "got.bin")) == sha256_file(up)
    r = curl("-l", url)
    assert r.returncode == 0, c.explain(r)
    assert sorted(r.stdout.decode().split()) == ["from-curl.bin", "from-lftp.bin"]
    # Four sessions, spread over the nodes, every one of them from the client.
    served = [n for n in c.nodes if re.search(r"New connection from 127\.0\.0\.50 ", n.log())]
    assert len(served) >= 2
    for n in c.nodes:
        assert not re.search(r"Data connection .* is not from same host", n.log())


def test_a_passive_port_behind_the_balancer_is_the_client_s_alone(cluster):
    """The balancer's PROXY header on the data connection names who
    connected: another host through the balancer is turned away, the
    client's own connection is taken."""
    c = cluster()
    x = Control(c.port, source=(CLIENT, 0), address=BALANCER, timeout=10)
    node = c.node_of(x.reply())
    assert x.command("USER %s" % USER).startswith("331")
    assert x.command("PASS %s" % PASSWORD).startswith("230")
    m = PASV_REPLY.match(x.command("PASV"))
    assert m and ".".join(m.group(1, 2, 3, 4)) == BALANCER
    port = int(m.group(5)) * 256 + int(m.group(6))
    stranger = socket.create_connection((BALANCER, port), timeout=10, source_address=("127.0.0.51", 0))
    node.wait_log(r"Data connection \(127\.0\.0\.51\) is not from same host as control connection "
                  r"\(127\.0\.0\.50\)")
    assert stranger.recv(1) == b""
    stranger.close()
    own = socket.create_connection((BALANCER, port), timeout=10, source_address=(CLIENT, 0))
    assert x.command("NLST").startswith("150 Data connection accepted from 127.0.0.50:")
    assert read_all(own) == b""
    own.close()
    assert x.reply().startswith("226")
    x.close()


def spy_json(node):
    r = subprocess.run([SPY, "-k", "%x" % node.key, "-n", "json"], capture_output=True, timeout=20)
    assert r.returncode == 0, c.explain(r)
    return r.stdout


def readme_jq_filter():
    """The jq one-liner of the README's section on several nodes."""
    with open(README) as f:
        text = f.read()
    section = text[text.index("## Several nodes behind a load balancer"):]
    m = re.search(r"^    jq -n '([^']*)' ", section, re.M)
    assert m, "no jq line in the README's section"
    return m.group(1)


def test_each_node_counts_the_real_client_in_its_status_area_and_per_ip_limit(cluster, zorvad_dir):
    c = cluster(general="max-users-per-ip = 1\n")
    # The balancer spreads the client's sessions over the nodes: one each is
    # allowed, the fourth meets a node that already has the client's one.
    controls = [Control(c.port, source=(CLIENT, 0), address=BALANCER, timeout=10) for _ in range(4)]
    replies = [x.reply() for x in controls]
    assert sum(r.startswith("220") for r in replies) == 3, replies
    refused = [r for r in replies if not r.startswith("220")]
    assert refused[0].startswith("421 Sorry, there is already 1 user from 127.0.0.50 logged on."), refused
    # Another client through the same balancer is served.
    other = Control(c.port, source=("127.0.0.51", 0), address=BALANCER, timeout=10)
    assert other.reply().startswith("220")
    controls.append(other)
    for x in [x for x, r in zip(controls, replies + ["220"]) if r.startswith("220")]:
        assert x.command("USER %s" % USER).startswith("331")
        assert x.command("PASS %s" % PASSWORD).startswith("230")
    for n in c.nodes:
        assert wait_for(lambda: any(shm_slot(shm_read(n.key), i)["addr"] == CLIENT for i in n.busy_children()))
        n.wait_log(r"New connection from 127\.0\.0\.50 ")

    # The cluster view: the README's jq line over the three nodes' json.
    files = []
    for i, n in enumerate(c.nodes):
        files.append(os.path.join(zorvad_dir, "node%d.json" % (i + 1)))
        with open(files[-1], "wb") as f:
            f.write(spy_json(n))
    r = subprocess.run(["jq", "-n", readme_jq_filter(), *files], capture_output=True, text=True, timeout=20)
    assert r.returncode == 0, c.explain(r)
    view = json.loads(r.stdout)
    addresses = sorted(s["address"] for s in view["sessions"])
    assert addresses.count(CLIENT) == 3 and "127.0.0.51" in addresses, view
    assert view["max_users"] == 3 * 8
    assert sorted(os.path.basename(s["node"]) for s in view["sessions"] if s["address"] == CLIENT) == \
        ["node1", "node2", "node3"]
    for x in controls:
        x.close()


def test_a_download_cut_by_a_dying_node_resumes_on_another(cluster, zorvad_dir):
    c = cluster()
    size = 64 << 20
    sparse_file(os.path.join(c.base, "shared", "home", USER, "big.bin"), size, seed=b"resume")
    want = sha256_file(os.path.join(c.base, "shared", "home", USER, "big.bin"))

    f = c.ftp()
    first = c.node_of(f.getwelcome())
    f.voidcmd("TYPE I")
    data = f.transfercmd("RETR big.bin")
    got = bytearray()
    while len(got) < (1 << 20):
        got += data.recv(1 << 16)
    # The node dies: master, logger and every child at once.
    for pid in processes_with(first.dir):
        os.kill(pid, signal.SIGKILL)
    assert wait_for(lambda: not processes_with(first.dir))
    first.proc.wait(10)
    shm_remove(first.key)
    try:
        while True:
            chunk = data.recv(1 << 16)
            if not chunk:
                break
            got += chunk
    except OSError:
        pass
    data.close()
    f.close()
    assert 0 < len(got) < size

    # The client tries again through the balancer: another node, REST.
    again = c.ftp()
    assert c.node_of(again.getwelcome()) is not first
    again.retrbinary("RETR big.bin", got.extend, rest=len(got))
    again.quit()
    assert len(got) == size and hashlib.sha256(got).hexdigest() == want


def test_a_forged_header_straight_to_a_node_is_not_believed(cluster):
    c = cluster()
    node = c.nodes[0]
    x = Control(c.port, source=(CLIENT, 0), address=NODES[0], timeout=10)
    x.send(b"PROXY TCP4 127.0.0.99 %s 40000 %d\r\n" % (NODES[0].encode(), c.port))
    assert x.reply().startswith("220 ")
    assert x.reply().startswith("500")
    node.wait_log(r"New connection from 127\.0\.0\.50 ")
    assert not re.search(r"New connection from 127\.0\.0\.99", node.log())
    assert wait_for(lambda: [shm_slot(shm_read(node.key), i)["addr"] for i in node.busy_children()] == [CLIENT])
    x.close()
