"""FTP over TLS (explicit, AUTH TLS), switched on by the "tls" key: real
clients move files byte for byte over encrypted control and data
connections, a data connection must resume the control connection's TLS
session (this session's, not an earlier one's), the setting refuses plain
logins and clear data, no failure passes for a 226, a stalled client does
not hold a child, and with the key off nothing changes."""
import ftplib
import grp
import io
import os
import re
import shutil
import socket
import ssl
import subprocess
import threading

import pytest

from accounts import users  # noqa: F401 (fixture)
from conftest import wait_for
from xferhelp import LFTP_SAFE

CONTENT = os.urandom(3 * 1024 * 1024 + 17)
UNIMPL = "502 Unimplemented command.\r\n"
UNKNOWN = "500 Syntax error, command unrecognized.\r\n"


@pytest.fixture(scope="module")
def cert(tmp_path_factory):
    """A self-signed certificate and its key, and a key of another pair."""
    d = tmp_path_factory.mktemp("tls")
    for name in ("", "other-"):
        subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                        "-nodes", "-keyout", str(d / (name + "key.pem")), "-out", str(d / (name + "cert.pem")),
                        "-days", "2", "-subj", "/CN=127.0.0.1"], check=True, capture_output=True)
    return d


def tls_keys(cert, mode):
    return "tls = %s\ntls-certificate-file = %s\ntls-key-file = %s\n" % (
        mode, cert / "cert.pem", cert / "key.pem")


def client_context():
    ctx = ssl.create_default_context()
    ctx.check_hostname = False
    ctx.verify_mode = ssl.CERT_NONE
    return ctx


class ReusingFTP(ftplib.FTP_TLS):
    """ftplib's data connections start new TLS sessions; this one resumes
    the given session (the control connection's unless told otherwise)."""
    data_session = None

    def ntransfercmd(self, cmd, rest=None):
        conn, size = ftplib.FTP.ntransfercmd(self, cmd, rest)
        if self._prot_p:
            session = self.data_session or self.sock.session
            conn = self.context.wrap_socket(conn, server_hostname=self.host, session=session)
        return conn, size


def tls_ftp(s, user, cls=ReusingFTP, prot_p=True, timeout=20, context=None):
    f = cls(context=context or client_context())
    f.connect("127.0.0.1", s.port, timeout=timeout)
    s.controls.append(f)
    f.auth()
    f.login(user[0], user[1])
    if prot_p:
        f.prot_p()
    return f


def user_server(server, users, cert, mode="required-nonanon", extra=""):
    """A server whose non-anonymous user has a file to fetch and room to upload."""
    u = users()
    with open(os.path.join(u.home, "file.bin"), "wb") as f:
        f.write(CONTENT)
    os.chown(os.path.join(u.home, "file.bin"), u.uid, u.gid)
    s = server(general=tls_keys(cert, mode) + extra)
    return s, u


def curl(s, u, url_path, *args):
    return subprocess.run(["curl", "-sS", "-k", "--max-time", "30", "-u", "%s:%s" % (u.name, u.password), *args,
                           "ftp://127.0.0.1:%d/%s" % (s.port, url_path)], capture_output=True, timeout=40)


def run_client(client, s, u, tmp):
    """Downloads file.bin, uploads it back as up.bin and lists the home:
    (downloaded bytes, listing text)."""
    got = os.path.join(tmp, "got.bin")
    src = os.path.join(tmp, "src.bin")
    with open(src, "wb") as f:
        f.write(CONTENT)
    if client.startswith("curl"):
        flags = ["--ftp-ssl-control"] if client == "curl-ssl-control" else ["--ssl-reqd"]
        if client == "curl-tls1.2":
            flags += ["--tls-max", "1.2"]      # session ids (and 1.2 tickets), not 1.3 tickets
        r = curl(s, u, "file.bin", *flags, "-o", got)
        assert r.returncode == 0, r.stderr
        r = curl(s, u, "up.bin", *flags, "-T", src)
        assert r.returncode == 0, r.stderr
        r = curl(s, u, "", *flags)
        assert r.returncode == 0, r.stderr
        listing = r.stdout.decode()
    elif client.startswith("lftp"):
        active = "set ftp:passive-mode off; " if client == "lftp-active" else ""
        r = subprocess.run(["timeout", "60", "lftp", "-u", "%s,%s" % (u.name, u.password), "-p", str(s.port), "-e",
                            LFTP_SAFE + active + "set ftp:ssl-force true; set ftp:ssl-protect-data true; "
                            "set ssl:verify-certificate no; get file.bin -o %s; put %s -o up.bin; ls; quit"
                            % (got, src), "127.0.0.1"], capture_output=True, text=True, timeout=70)
        assert r.returncode == 0, r.stderr
        listing = r.stdout
    else:
        f = tls_ftp(s, (u.name, u.password))
        if client == "ftplib-active":
            f.set_pasv(False)
        data = bytearray()
        f.retrbinary("RETR file.bin", data.extend)
        with open(got, "wb") as out:
            out.write(data)
        with open(src, "rb") as inp:
            assert f.storbinary("STOR up.bin", inp).startswith("226 ")
        listing = "\n".join(f.nlst())
        f.quit()
    with open(got, "rb") as inp:
        return inp.read(), listing


# (curl 7.88 cannot take an active data connection under TLS: it fails on
# its own side before its handshake; lftp and ftplib cover active mode.)
@pytest.mark.parametrize("client", ["curl-ssl-reqd", "curl-tls1.2", "curl-ssl-control", "lftp", "lftp-active",
                                    "ftplib", "ftplib-active"])
def test_real_clients_move_files_byte_for_byte_over_tls(server, users, cert, tmp_path, client):
    # Clear data is allowed only for the client that asks for it.
    mode = "allowed" if client == "curl-ssl-control" else "required-nonanon"
    s, u = user_server(server, users, cert, mode)
    downloaded, listing = run_client(client, s, u, str(tmp_path))
    assert downloaded == CONTENT
    with open(os.path.join(u.home, "up.bin"), "rb") as f:
        assert f.read() == CONTENT
    assert "up.bin" in listing and "file.bin" in listing
    log = s.log()
    assert ("Control connection now uses TLSv1.2 " in log) == (client == "curl-tls1.2")
    assert "Control connection now uses TLSv1." in log
    if client != "curl-ssl-control":
        assert len(re.findall(r"Data connection uses TLSv1\.\d \S+ \(resumed\)", log)) >= 3


@pytest.mark.parametrize("resumes", ["own session", "no session", "an earlier session's"])
def test_a_data_connection_must_resume_this_sessions_tls_session(server, cert, resumes):
    # One child serves both sessions, so an earlier session's ticket would
    # be one this process issued.
    s = server(general=tls_keys(cert, "required-all") + "max-users = 1\n")
    os.makedirs(os.path.join(s.dir, "ftp", "pub"))
    anonymous = ("anonymous", "a@b.c")
    earlier = None
    ctx = client_context()
    if resumes == "an earlier session's":
        first = tls_ftp(s, anonymous, context=ctx)
        first.nlst("/")
        earlier = first.sock.session
        first.quit()
        assert wait_for(lambda: not s.busy_children())     # the one child is free again
    f = tls_ftp(s, anonymous, cls=ftplib.FTP_TLS if resumes == "no session" else ReusingFTP, context=ctx)
    f.data_session = earlier
    if resumes == "own session":
        assert f.nlst("/") == ["pub"]
        return
    with pytest.raises((ftplib.error_perm, ssl.SSLError, OSError)):
        f.nlst("/")
    if not f.lastresp.startswith("522"):
        with pytest.raises(ftplib.error_perm, match="^522 Data connections must resume the TLS session"):
            f.getresp()
    s.wait_log(r"Data connection from 127\.0\.0\.1:\d+ refused: it did not resume the control connection's TLS "
               r"session\.")
    assert f.voidcmd("NOOP").startswith("200 ")   # the session goes on


class Racer(threading.Thread):
    """A second client racing the first: it connects to the victim's passive
    port before the victim and does a TLS handshake of its own, resuming
    session when it has one; it keeps what it received and its session."""

    def __init__(self, port, ctx, session=None):
        super().__init__(daemon=True)
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=20)
        self.ctx, self.session, self.got = ctx, session, bytearray()

    def run(self):
        tls = None
        try:
            tls = self.ctx.wrap_socket(self.sock, session=self.session)
            while chunk := tls.recv(65536):
                self.got.extend(chunk)
        except OSError:
            pass
        if tls is not None and tls.session is not None:
            self.session = tls.session
        self.sock.close()


def victims_download(f, port, conn=None):
    """The victim's own RETR on the port its PASV announced (or on conn, its
    connection made earlier), resuming its control session: (bytes
    received, final reply)."""
    if conn is None:
        conn = socket.create_connection(("127.0.0.1", port), timeout=20)
    got = bytearray()
    f.putcmd("RETR file.bin")
    first = f.getmultiline()
    if first.startswith("150 "):
        try:
            tls = f.context.wrap_socket(conn, server_hostname=f.host, session=f.sock.session)
            while chunk := tls.recv(65536):
                got.extend(chunk)
            tls.close()
        except OSError:
            pass
        first = f.getmultiline()
    conn.close()
    return bytes(got), first


@pytest.mark.parametrize("racer_version", [ssl.TLSVersion.TLSv1_3, ssl.TLSVersion.TLSv1_2])
def test_a_racer_cannot_take_a_download_with_a_tls_session_of_its_own(server, users, cert, racer_version):
    """A second client racing the first connects to the victim's passive port
    first, twice: the first time it gets a TLS session of its own (no
    ticket, no cached id), the second time it tries to resume that one.  It
    receives nothing, is dropped, and the victim gets its file with 226."""
    s, u = user_server(server, users, cert)
    f = tls_ftp(s, (u.name, u.password))
    f.voidcmd("TYPE I")
    ctx = client_context()
    ctx.maximum_version = racer_version
    session = None
    for round_ in ("own session", "resumed"):
        port = ftplib.parse227(f.sendcmd("PASV"))[1]
        racer = Racer(port, ctx, session)
        racer.start()
        data, reply = victims_download(f, port)
        racer.join(20)
        assert bytes(racer.got) == b"", round_
        assert (len(data), reply[:4]) == (len(CONTENT), "226 "), round_
        assert data == CONTENT
        session = racer.session
        assert session is None or not session.has_ticket     # nothing to come back with
    # Whether the server met the racer's hello before the victim's is the
    # scheduler's choice (every passive connection waits until it speaks):
    # when it did, the refusal is logged.
    assert len(re.findall(r"refused: it did not resume the control connection's TLS session", s.log())) <= 2
    assert f.voidcmd("NOOP").startswith("200 ")


HALF_A_HELLO = b"\x16\x03\x01\x02"


@pytest.mark.parametrize("racers", [[b""], [HALF_A_HELLO], [HALF_A_HELLO, HALF_A_HELLO], [b""] * 8],
                         ids=["silent", "half-a-hello", "two-half-hellos", "every-slot-silent"])
def test_a_racer_that_holds_its_connection_silent_does_not_block_a_tls_download(server, users, cert, racers):
    """Second clients racing the first connect to the victim's passive port
    first and then say nothing, or stall inside their hellos, or take every
    waiting place: the victim's own connection still gets its handshake, and
    its file with 226, within a conn-timeout shorter than two stalled hellos
    waited for one by one (the silent ones give their places up five seconds
    after the transfer command)."""
    s, u = user_server(server, users, cert, extra="conn-timeout = 8\n")
    f = tls_ftp(s, (u.name, u.password))
    f.voidcmd("TYPE I")
    port = ftplib.parse227(f.sendcmd("PASV"))[1]
    held = [socket.create_connection(("127.0.0.1", port), timeout=20) for _ in racers]
    for racer, sends in zip(held, racers):
        racer.sendall(sends)
    data, reply = victims_download(f, port)
    assert (len(data), reply[:4]) == (len(CONTENT), "226 ")
    assert data == CONTENT
    for racer in held:
        racer.close()
    assert f.voidcmd("NOOP").startswith("200 ")


def accept_queue_empty(port):
    """True when the socket listening on port holds no connection the server
    has not accepted yet."""
    needle = ":%04X" % port
    with open("/proc/net/tcp") as f:
        for line in f.readlines()[1:]:
            fields = line.split()
            if fields[1].endswith(needle) and fields[3] == "0A":
                return int(fields[4].split(":")[1], 16) == 0
    return False


def test_racers_from_the_same_host_cannot_push_out_the_victims_waiting_connection(server, users, cert):
    """The victim connects to its passive port before its transfer command,
    as clients do; second clients racing it from the same host then open
    eight silent connections to that port.  The victim's connection, taken
    first, must still become its data connection: the racers cannot resume
    its TLS session, so they may cost it nothing but their own handshakes."""
    s, u = user_server(server, users, cert, extra="conn-timeout = 8\n")
    f = tls_ftp(s, (u.name, u.password))
    f.voidcmd("TYPE I")
    port = ftplib.parse227(f.sendcmd("PASV"))[1]
    victim = socket.create_connection(("127.0.0.1", port), timeout=20)
    assert wait_for(lambda: accept_queue_empty(port))
    racers = []
    for i in range(8):
        racers.append(socket.create_connection(("127.0.0.1", port), timeout=20))
        if i < 7:                   # the eighth finds every slot taken and waits in the queue
            assert wait_for(lambda: accept_queue_empty(port))
    got, reply = victims_download(f, port, victim)
    for racer in racers:
        racer.close()
    assert (len(got), reply[:4]) == (len(CONTENT), "226 ")
    assert bytes(got) == CONTENT


def accept_queue_length(port):
    """How many connections wait in the queue of the socket listening on port."""
    needle = ":%04X" % port
    with open("/proc/net/tcp") as f:
        for line in f.readlines()[1:]:
            fields = line.split()
            if fields[1].endswith(needle) and fields[3] == "0A":
                return int(fields[4].split(":")[1], 16)
    return -1


@pytest.mark.parametrize("queued", [8, 9], ids=["victim-last-in-the-queue", "queue-full"])
def test_a_racer_from_the_same_host_that_fills_every_place_and_the_listen_queue_first_does_not_lock_the_victim_out(
        server, users, cert, queued):
    """A second client racing the first from the same host connects to the
    victim's passive port before the victim does, silently, until every
    waiting place is taken and the listen queue behind them holds eight
    (the victim's connection comes last) or is full.  The victim's own
    connection must still get through and carry its file with 226 within
    conn-timeout: silent strangers cannot hold a session's passive port
    shut for as long as they like, nor make it take their hellos' time
    place by place while the victim waits behind them."""
    s, u = user_server(server, users, cert, extra="conn-timeout = 8\n")
    f = tls_ftp(s, (u.name, u.password))
    f.voidcmd("TYPE I")
    port = ftplib.parse227(f.sendcmd("PASV"))[1]
    racers = []
    try:
        for _ in range(8):
            racers.append(socket.create_connection(("127.0.0.1", port), timeout=5))
        assert wait_for(lambda: accept_queue_empty(port))        # every place taken
        for _ in range(16):                                       # and the queue behind them full
            if accept_queue_length(port) >= queued:
                break
            racers.append(socket.create_connection(("127.0.0.1", port), timeout=5))
        try:
            victim = socket.create_connection(("127.0.0.1", port), timeout=8)
        except OSError as e:
            pytest.fail("the victim's connection never got through: %s" % e)
        got, reply = victims_download(f, port, victim)
        assert (len(got), reply[:4]) == (len(CONTENT), "226 ")
        assert bytes(got) == CONTENT
    finally:
        for racer in racers:
            racer.close()


@pytest.mark.parametrize("mode, name, expected", [
    ("required-nonanon", "user", "530 Non-anonymous sessions must use encryption.\r\n"),
    ("required-nonanon", "anonymous", "331 Guest login ok"),
    ("required-all", "anonymous", "530 Sessions must use encryption: use AUTH TLS first.\r\n"),
    ("allowed", "user", "331 User "),
])
def test_plain_user_follows_the_tls_setting(server, users, cert, mode, name, expected):
    u = users()
    s = server(general=tls_keys(cert, mode))
    c = s.greeted()
    assert c.command("USER " + (u.name if name == "user" else name)).startswith(expected)


@pytest.mark.parametrize("mode, name", [("required-nonanon", "user"), ("required-all", "anonymous")])
def test_clear_data_is_refused_when_tls_is_required(server, users, cert, mode, name):
    u = users()
    s = server(general=tls_keys(cert, mode))
    f = tls_ftp(s, (u.name, u.password) if name == "user" else ("anonymous", "a@b.c"), prot_p=False)
    with pytest.raises(ftplib.error_perm, match=r"^521 Data connections must be encrypted: use PROT P\."):
        f.nlst()
    f.prot_p()
    assert f.nlst() is not None


class TlsControl:
    """A raw control connection that AUTH TLS turns into a TLS one."""

    def __init__(self, port):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=20)
        self.buf = b""

    def reply(self):
        while not re.search(rb"(^|\n)\d{3} [^\n]*\n", self.buf):
            chunk = self.sock.recv(4096)
            if not chunk:
                raise EOFError(self.buf)
            self.buf += chunk
        m = re.search(rb"(^|\n)\d{3} [^\n]*\n", self.buf)
        text, self.buf = self.buf[:m.end()], self.buf[m.end():]
        return text.decode("latin-1")

    def command(self, line):
        self.sock.sendall((line + "\r\n").encode())
        return self.reply()

    def start_tls(self):
        self.sock = client_context().wrap_socket(self.sock)


@pytest.mark.parametrize("mode", ["off", "allowed"])
def test_the_tls_commands_answer_by_the_setting(server, cert, mode):
    s = server(general=tls_keys(cert, mode) if mode != "off" else "")
    c = TlsControl(s.port)
    c.reply()
    if mode == "off":
        # Exactly as before the keys existed.
        assert [c.command(x) for x in ("AUTH TLS", "PBSZ 0", "PROT P", "CCC")] == [UNIMPL, UNKNOWN, UNKNOWN, UNKNOWN]
        assert "AUTH" not in c.command("FEAT") and "AUTH*" in c.command("HELP")
        return
    feat = c.command("FEAT")
    assert " AUTH TLS\r\n" in feat and " PBSZ\r\n PROT\r\n" in feat and "4217" in feat
    assert "      AUTH   EPSV*" in c.command("HELP")
    assert c.command("PBSZ 0") == "503 PBSZ needs AUTH first.\r\n"
    assert c.command("PROT P") == "503 PROT needs PBSZ first.\r\n"
    assert c.command("AUTH KERBEROS_V4") == "504 Security mechanism not understood; use AUTH TLS.\r\n"
    assert c.command("AUTH SSL") == "234 Proceed with negotiation.\r\n"
    c.start_tls()
    assert c.command("AUTH TLS") == "503 Security data exchange already done.\r\n"
    assert c.command("PBSZ") == "501 Syntax error in parameters.\r\n"
    assert c.command("PBSZ 1024") == "200 PBSZ=0\r\n"
    assert c.command("PROT") == "501 Syntax error in parameters.\r\n"
    assert c.command("PROT S") == "536 Protection level not supported.\r\n"
    assert c.command("PROT Q") == "504 Protection level not understood.\r\n"
    assert c.command("PROT P") == "200 Protection level set to Private.\r\n"
    assert c.command("CCC") == "534 Clearing the command channel is refused by policy.\r\n"
    # REIN keeps TLS but the protection of data connections starts over.
    c.command("REIN")
    assert c.command("PROT P") == "503 PROT needs PBSZ first.\r\n"
    assert c.command("QUIT") == "221 Goodbye.\r\n"


def test_a_remote_client_cannot_carry_a_clear_login_into_tls(server, cert):
    """A remote client logs in in the clear, then asks for TLS: the login
    must not pass for a protected one, so AUTH is refused after it."""
    s = server(general=tls_keys(cert, "allowed"))
    c = TlsControl(s.port)
    c.reply()
    assert c.command("USER anonymous").startswith("331")
    assert c.command("PASS guest@example.org").startswith("230")
    assert c.command("AUTH TLS") == "503 AUTH must come before login.\r\n"
    assert c.command("NOOP").startswith("200")


def test_a_remote_client_gets_no_tls_1_2_suite_without_forward_secrecy_and_an_open_key_is_named(server, tmp_path):
    """A remote client offering only static-RSA or CBC-SHA1 suites over TLS
    1.2 is refused; an ECDHE-GCM suite works.  A key file others may read is
    warned about at start-up."""
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", str(tmp_path / "key.pem"),
                    "-out", str(tmp_path / "cert.pem"), "-days", "2", "-subj", "/CN=127.0.0.1"],
                   check=True, capture_output=True)
    os.chmod(tmp_path / "key.pem", 0o640)
    s = server(general=tls_keys(tmp_path, "allowed"))
    assert "Warning: the TLS key file %s can be read by others than its owner (mode 640)." % (
        tmp_path / "key.pem") in s.stderr()

    def cipher(suite):
        r = subprocess.run(["timeout", "20", "openssl", "s_client", "-connect", "127.0.0.1:%d" % s.port,
                            "-starttls", "ftp", "-tls1_2", "-cipher", suite], stdin=subprocess.DEVNULL,
                           capture_output=True, text=True)
        m = re.search(r"Cipher is (\S+)", r.stdout)
        return m.group(1) if m else None
    assert cipher("AES128-SHA") in (None, "(NONE)")
    assert cipher("AES256-GCM-SHA384") in (None, "(NONE)")
    assert cipher("ECDHE-RSA-AES128-SHA") in (None, "(NONE)")
    assert cipher("ECDHE-RSA-AES128-GCM-SHA256") == "ECDHE-RSA-AES128-GCM-SHA256"


def test_a_key_only_the_ssl_cert_group_may_read_is_not_warned_about(server, cert, tmp_path):
    """Debian keeps private keys readable by the group ssl-cert (the snakeoil
    key the package uses is 0640 root:ssl-cert): that is no warning at each
    start; the same key readable by the world still is."""
    try:
        group = grp.getgrnam("ssl-cert").gr_gid
    except KeyError:
        pytest.skip("no ssl-cert group on this host")
    key = tmp_path / "key.pem"
    shutil.copy(cert / "key.pem", key)
    os.chown(key, 0, group)
    os.chmod(key, 0o640)
    general = "tls = allowed\ntls-certificate-file = %s\ntls-key-file = %s\n" % (cert / "cert.pem", key)
    assert "Warning: the TLS key file" not in server(general=general).stderr()
    os.chmod(key, 0o644)
    assert "Warning: the TLS key file %s can be read by others than its owner (mode 644)." % key in \
        server(general=general).stderr()


def test_tls_min_protocol_1_3_turns_a_tls_1_2_client_away(server, cert):
    s = server(general=tls_keys(cert, "allowed") + "tls-min-protocol = 1.3\n")
    r = subprocess.run(["curl", "-sS", "-k", "--max-time", "20", "--ssl-reqd", "--tls-max", "1.2", "-u",
                        "anonymous:a@b.c", "ftp://127.0.0.1:%d/" % s.port], capture_output=True, timeout=30)
    assert r.returncode != 0
    s.wait_log(r"TLS handshake on the control connection from 127\.0\.0\.1 failed: TLS error: .*protocol")


@pytest.mark.parametrize("problem, message", [
    ("no certificate", "TLS is switched on (tls) but tls-certificate-file is not set."),
    ("missing key", "Cannot read the TLS key file {cert}/none.pem: No such file or directory."),
    ("key of another certificate", "TLS cannot start: tls-key-file does not match tls-certificate-file"),
    ("not a certificate", "TLS cannot start: tls-certificate-file holds no usable certificate"),
])
def test_a_start_with_unusable_tls_material_is_refused(server, cert, problem, message):
    keys = {
        "no certificate": "tls = allowed\ntls-key-file = {cert}/key.pem\n",
        "missing key": "tls = allowed\ntls-certificate-file = {cert}/cert.pem\ntls-key-file = {cert}/none.pem\n",
        "key of another certificate": "tls = allowed\ntls-certificate-file = {cert}/cert.pem\n"
                                      "tls-key-file = {cert}/other-key.pem\n",
        "not a certificate": "tls = required-all\ntls-certificate-file = {cert}/key.pem\n"
                             "tls-key-file = {cert}/key.pem\n",
    }[problem]
    s = server(general=keys.replace("{cert}", str(cert)), wait=False)
    assert s.proc.wait(20) == 1
    assert message.replace("{cert}", str(cert)) in s.stderr()


def test_abor_over_tls_stops_a_download_the_client_stopped_reading(server, users, cert):
    # The client reads nothing, so the server's writes wait; the ABOR comes
    # as a TLS record on the control connection, never as urgent data.
    s, u = user_server(server, users, cert)
    big = os.path.join(u.home, "big.bin")
    with open(big, "wb") as f:
        f.truncate(512 * 1024 * 1024)
    f = tls_ftp(s, (u.name, u.password))
    f.voidcmd("TYPE I")
    conn = f.transfercmd("RETR big.bin")
    conn.recv(1024)
    f.putcmd("ABOR")
    assert f.getline().startswith("426 Transfer aborted successfully by client.")
    assert f.getline().startswith("226 Aborted successfully.")
    conn.close()
    assert f.voidcmd("NOOP").startswith("200 ")


def test_an_upload_cut_off_without_close_notify_is_not_a_success(server, users, cert):
    s, u = user_server(server, users, cert)
    f = tls_ftp(s, (u.name, u.password))
    f.voidcmd("TYPE I")
    conn = f.transfercmd("STOR cut.bin")
    conn.sendall(CONTENT[:100000])
    conn.shutdown(socket.SHUT_RDWR)   # the TCP connection ends, TLS never does
    with pytest.raises(ftplib.error_temp, match="^450 Transfer aborted forcefully by client"):
        f.voidresp()
    conn.close()


@pytest.mark.parametrize("where", ["control", "data"])
def test_a_client_that_stalls_the_handshake_does_not_hold_the_child(server, users, cert, where):
    s, u = user_server(server, users, cert, extra="idle-timeout = 4\nconn-timeout = 1\n")
    if where == "control":
        c = s.greeted()
        assert c.command("AUTH TLS") == "234 Proceed with negotiation.\r\n"
        assert c.closed(timeout=10)     # nothing more; the session ends
        s.wait_log(r"TLS handshake on the control connection from 127\.0\.0\.1 failed: timed out\.")
        return
    f = tls_ftp(s, (u.name, u.password))
    host, port = ftplib.parse227(f.sendcmd("PASV"))
    raw = socket.create_connection((host, port), timeout=10)
    f.putcmd("NLST")
    assert f.getline().startswith("150 ")
    with pytest.raises(ftplib.error_temp, match="^425 TLS handshake on the data connection failed"):
        f.voidresp()
    raw.close()
    assert f.voidcmd("NOOP").startswith("200 ")


def test_ascii_rest_and_mlsd_go_through_tls(server, users, cert):
    s, u = user_server(server, users, cert)
    text = b"".join(b"line %d\n" % i for i in range(20000))
    with open(os.path.join(u.home, "text.txt"), "wb") as f:
        f.write(text)
    f = tls_ftp(s, (u.name, u.password))
    lines = []
    f.retrlines("RETR text.txt", lines.append)                  # TYPE A through the transfer buffer
    assert "\n".join(lines).encode() + b"\n" == text
    tail = bytearray()
    f.retrbinary("RETR file.bin", tail.extend, rest=1000001)    # REST, then the buffered loop
    assert bytes(tail) == CONTENT[1000001:]
    assert {name for name, _ in f.mlsd()} >= {"file.bin", "text.txt"}
    f.storlines("STOR back.txt", io.BytesIO(text))             # TYPE A upload
    with open(os.path.join(u.home, "back.txt"), "rb") as back:
        assert back.read() == text
    f.quit()
