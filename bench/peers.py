"""The four servers of the benchmark: zorvad from the build tree and three
peers from Debian's packages, each on its own loopback port with its own
configuration in a temporary directory, all serving one anonymous area and
one system user created for the run.

The three peer packages exclude one another (each provides ftp-server), so a
peer that is not installed is not installed either: its package is fetched
with "apt-get download" and unpacked into the run's directory, and runs from
there.  Nothing is started as a system service, nothing is enabled, and
stop() removes the user, the processes and the directory."""
import glob
import os
import pwd
import secrets
import shutil
import signal
import socket
import subprocess
import tempfile
import time

PEERS = {"vsftpd": ("vsftpd", "usr/sbin/vsftpd"),
         "pure-ftpd": ("pure-ftpd", "usr/sbin/pure-ftpd"),
         "proftpd": ("proftpd-core", "usr/sbin/proftpd")}
ORDER = ("zorvad", "vsftpd", "pure-ftpd", "proftpd")
# An earlier zorvad build run beside the current one (run.py --before): a
# change's cost measured in the same run as the change.
BEFORE = "zorvad-before"
ALL = ORDER[:1] + (BEFORE,) + ORDER[1:]
# The servers that speak FTP over TLS here (proftpd's TLS module is in a
# package of its own, not in proftpd-core).
TLS_CAPABLE = ("zorvad", BEFORE, "vsftpd", "pure-ftpd")
# Passive ports outside ip_local_port_range (the client's own source ports),
# a share of them for each server: a server that closes its data connections
# without SO_REUSEADDR leaves TIME_WAIT sockets that no other server may bind
# over, and in a shared range those made the next server's PASV fail.
PASV_LOW, PASV_HIGH = 61000, 65535


def pasv_range(name):
    """The passive ports of one server: its share of PASV_LOW..PASV_HIGH."""
    share = (PASV_HIGH - PASV_LOW + 1) // len(ALL)
    low = PASV_LOW + ALL.index(name) * share
    return low, low + share - 1
SMALL_FILE = "4k.bin"
BIG_FILE = "big.bin"
LIST_DIR = "big"
# zorvad's own default niceness (its nice key), given to every server and to
# the load generator: the machine's other work, at 0 and above, then weighs on
# all of them alike.
NICE = -3


def set_priority():
    os.setpriority(os.PRIO_PROCESS, 0, NICE)


def local_port_range():
    with open("/proc/sys/net/ipv4/ip_local_port_range") as f:
        low, high = f.read().split()
    return int(low), int(high)


def free_port():
    """A free loopback port below the ephemeral range."""
    low, _ = local_port_range()
    for _ in range(200):
        port = secrets.randbelow(low - 20000) + 20000
        with socket.socket() as s:
            try:
                s.bind(("127.0.0.1", port))
                return port
            except OSError:
                pass
    raise RuntimeError("no free port")


def listening(port):
    needle = ":%04X" % port
    with open("/proc/net/tcp") as f:
        for line in f.readlines()[1:]:
            fields = line.split()
            if fields[1].endswith(needle) and fields[3] == "0A":
                return True
    return False


def process_tree(root):
    """The pid and every descendant of it."""
    children = {}
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % entry) as f:
                stat = f.read()
        except OSError:
            continue
        ppid = int(stat[stat.rindex(")") + 2:].split()[1])
        children.setdefault(ppid, []).append(int(entry))
    tree, todo = [], [root]
    while todo:
        pid = todo.pop()
        tree.append(pid)
        todo.extend(children.get(pid, []))
    return tree


def pss_kib(pids):
    """Summed Pss of the processes, in KiB (those gone meanwhile count 0)."""
    total = 0
    for pid in pids:
        try:
            with open("/proc/%d/smaps_rollup" % pid) as f:
                for line in f:
                    if line.startswith("Pss:"):
                        total += int(line.split()[1])
                        break
        except OSError:
            pass
    return total


def page_tables(pids):
    """(summed VmPTE in KiB, summed count of mappings) of the processes:
    page tables are memory that Pss leaves out, and a fork's cost grows
    with the mappings."""
    pte, maps = 0, 0
    for pid in pids:
        try:
            with open("/proc/%d/status" % pid) as f:
                for line in f:
                    if line.startswith("VmPTE:"):
                        pte += int(line.split()[1])
                        break
            with open("/proc/%d/maps" % pid) as f:
                maps += sum(1 for _ in f)
        except OSError:
            pass
    return pte, maps


def cpu_seconds(pids):
    """CPU time of the processes and of the children they have reaped: for
    a server's process tree, all it has used since it started."""
    ticks = 0
    for pid in pids:
        fields = _stat(pid)
        if fields:
            ticks += sum(int(v) for v in fields[11:15])     # utime stime cutime cstime
    return ticks / os.sysconf("SC_CLK_TCK")


def minor_faults(pids):
    """(minor page faults of the processes themselves, of the children they
    reaped): for a server that forks per session, the second counts the
    processes each session made."""
    own = reaped = 0
    for pid in pids:
        fields = _stat(pid)
        if fields:
            own += int(fields[7])       # minflt
            reaped += int(fields[8])    # cminflt
    return own, reaped


class Server:
    def __init__(self, name, port, proc, directory):
        self.name, self.port, self.proc, self.dir = name, port, proc, directory

    def processes(self):
        return process_tree(self.proc.pid) if self.proc.poll() is None else []

    def alive(self):
        return self.proc.poll() is None


class Bench:
    """Owns the run's directory, user and servers; stop() undoes them all."""

    def __init__(self, build, max_users, zorvad_extra=(), log=print, before=None):
        self.build = build
        self.before = before            # the build tree of zorvad-before
        self.max_users = max_users
        self.zorvad_extra = list(zorvad_extra)
        self.log = log
        self.work = tempfile.mkdtemp(prefix="zorvad-bench-")
        os.chmod(self.work, 0o755)
        self.anon = os.path.join(self.work, "anon")
        self.user = None
        self.ftp_account = False        # made for the run: removed after it
        self.password = secrets.token_hex(8)
        self.home = os.path.join(self.work, "home")
        self.servers = {}
        self.binaries = {}
        self.tls = False                # servers offer AUTH TLS, with a certificate made for the run
        self.cert = os.path.join(self.work, "tls-cert.pem")
        self.key = os.path.join(self.work, "tls-key.pem")

    # ---- set-up -----------------------------------------------------------------------------
    def prepare(self, big_file=False, list_dir=False, tls=False):
        self.find_peers()
        if tls:
            self.make_certificate()
        for d in (self.anon, os.path.join(self.work, "empty")):
            os.makedirs(d, mode=0o755)
            os.chmod(d, 0o755)
        with open(os.path.join(self.anon, SMALL_FILE), "wb") as f:
            f.write(os.urandom(4096))
        if big_file:
            chunk = os.urandom(1 << 20)
            with open(os.path.join(self.anon, BIG_FILE), "wb") as f:
                for _ in range(1024):
                    f.write(chunk)
        if list_dir:
            big = os.path.join(self.anon, LIST_DIR)
            os.makedirs(big)
            for i in range(10000):
                with open(os.path.join(big, "file%05d.dat" % i), "wb") as f:
                    f.write(b"x" * (i % 512))
            os.chmod(big, 0o755)
        for path in glob.glob(os.path.join(self.anon, "*")):
            if os.path.isfile(path):
                os.chmod(path, 0o644)
        self.add_ftp_account()
        self.add_user()

    def make_certificate(self):
        """A self-signed P-256 certificate for every server (the handshake is
        not what the TLS scenarios measure)."""
        subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                        "-nodes", "-keyout", self.key, "-out", self.cert, "-days", "2", "-subj", "/CN=127.0.0.1"],
                       check=True, capture_output=True)
        os.chmod(self.key, 0o600)
        os.chmod(self.cert, 0o644)
        self.tls = True

    def find_peers(self):
        """Installed peers run as installed; the others are unpacked here."""
        missing = []
        for name, (package, binary) in PEERS.items():
            path = "/" + binary
            if os.access(path, os.X_OK):
                self.binaries[name] = path
            else:
                missing.append(name)
        if not missing:
            return
        debs = os.path.join(self.work, "debs")
        os.makedirs(debs)
        packages = [PEERS[name][0] for name in missing]
        self.log("fetching %s with apt-get download" % " ".join(packages))
        subprocess.run(["apt-get", "-q", "-o", "APT::Sandbox::User=root", "download", *packages], cwd=debs, check=True,
                       stdout=subprocess.DEVNULL)
        root = os.path.join(self.work, "peers")
        for deb in glob.glob(os.path.join(debs, "*.deb")):
            subprocess.run(["dpkg-deb", "-x", deb, root], check=True)
        for name in missing:
            path = os.path.join(root, PEERS[name][1])
            if not os.access(path, os.X_OK):
                raise RuntimeError("%s: no %s in the package" % (name, PEERS[name][1]))
            self.binaries[name] = path
            install_libraries(PEERS[name][0], path, self.log)

    def add_ftp_account(self):
        """Anonymous logins of some peers need an "ftp" account (a fresh
        Debian has none): one is made for the run, its home the anonymous
        area, and removed after it."""
        if _has_user("ftp"):
            home = pwd.getpwnam("ftp").pw_dir
            # One left by an interrupted run (its area gone) is made afresh.
            if not (home.startswith(os.path.join(tempfile.gettempdir(), "zorvad-bench-"))
                    and not os.path.isdir(home)):
                return
            self.log("removing the ftp account an interrupted run left (home %s)" % home)
            if subprocess.run(["userdel", "ftp"]).returncode != 0:
                return          # in use: pure-ftpd will say so
        subprocess.run(["useradd", "--system", "-M", "-d", self.anon, "-s", "/usr/sbin/nologin", "ftp"],
                       check=True)
        self.ftp_account = True

    def add_user(self):
        name = "zbench%d" % os.getpid()
        subprocess.run(["useradd", "-M", "-d", self.home, "-s", "/bin/sh", name], check=True)
        self.user = name
        os.makedirs(self.home, mode=0o755)
        pw = pwd.getpwnam(name)
        os.chown(self.home, pw.pw_uid, pw.pw_gid)
        shutil.copy(os.path.join(self.anon, SMALL_FILE), self.home)
        os.chown(os.path.join(self.home, SMALL_FILE), pw.pw_uid, pw.pw_gid)
        subprocess.run(["chpasswd"], input="%s:%s\n" % (name, self.password), text=True, check=True)

    # ---- servers ----------------------------------------------------------------------------
    def start_all(self, names=ORDER):
        for name in names:
            d = os.path.join(self.work, name)
            os.makedirs(d, mode=0o755)
            port = free_port()
            argv, env = getattr(self, "argv_" + name.replace("-", ""))(d, port)
            with open(os.path.join(d, "stderr.log"), "w") as err:
                proc = subprocess.Popen(argv, cwd=d, env=env, stdin=subprocess.DEVNULL,
                                        stdout=err, stderr=err, start_new_session=True,
                                        preexec_fn=set_priority)
            server = Server(name, port, proc, d)
            self.servers[name] = server
            deadline = time.monotonic() + 20
            while not listening(port):
                if proc.poll() is not None or time.monotonic() > deadline:
                    with open(os.path.join(d, "stderr.log")) as f:
                        raise RuntimeError("%s did not start:\n%s" % (name, f.read()))
                time.sleep(0.05)
            self.log("%-9s on port %d (pid %d)" % (name, port, proc.pid))
        return self.servers

    def argv_zorvadbefore(self, d, port):
        return self.argv_zorvad(d, port, self.before, name=BEFORE)

    def argv_zorvad(self, d, port, build=None, name="zorvad"):
        with open(os.path.join(d, "ftpusers"), "w"):
            pass
        general = os.path.join(d, "general.cf")
        domain = os.path.join(d, "domain.cf")
        lines = ["pid-file = %s/zorvad.pid.sh" % d, "log-misc = %s/misc.log" % d,
                 "max-users = %d" % self.max_users, "ephemeral-port-range = %d-%d" % pasv_range(name),
                 "listen-backlog-size = 1024", "idle-timeout = 900", "login-timeout = 120",
                 "u-deny-users-file = %s/ftpusers" % d, "a-write-permission = no",
                 *(["tls = allowed", "tls-certificate-file = " + self.cert, "tls-key-file = " + self.key]
                   if self.tls else []),
                 *self.zorvad_extra, ""]
        with open(general, "w") as f:
            f.write("\n".join(lines))
        with open(domain, "w") as f:
            f.write("set-name = bench\nserver-name = bench\nftp-home = %s\npasswd = /etc/passwd\n"
                    "log-xfer = %s/xfer.log\n" % (self.anon, d))
        binary = os.path.join(build or self.build, "server", "zorvad")
        return [binary, "-Q", "-p", str(port), general, domain], None

    def argv_vsftpd(self, d, port):
        conf = os.path.join(d, "vsftpd.conf")
        with open(conf, "w") as f:
            f.write("\n".join([
                "listen=YES", "listen_ipv6=NO", "listen_address=127.0.0.1", "listen_port=%d" % port,
                "background=NO", "anonymous_enable=YES", "no_anon_password=NO", "anon_root=%s" % self.anon,
                "ftp_username=ftp" if _usable_ftp_account() else "ftp_username=daemon",
                "local_enable=YES", "write_enable=YES", "local_umask=022", "pam_service_name=other",
                "nopriv_user=nobody", "secure_chroot_dir=%s/empty" % self.work, "seccomp_sandbox=NO",
                "xferlog_enable=YES", "xferlog_file=%s/xfer.log" % d, "vsftpd_log_file=%s/vsftpd.log" % d,
                # A network namespace per session costs the kernel more than
                # the session itself, and its teardown runs later, in the
                # next server's turn.
                "isolate_network=NO",
                "pasv_enable=YES", "pasv_min_port=%d" % pasv_range("vsftpd")[0], "pasv_max_port=%d" % pasv_range("vsftpd")[1],
                "connect_from_port_20=NO", "max_clients=0", "max_per_ip=0",
                "idle_session_timeout=900", "data_connection_timeout=300", "dirlist_enable=YES",
                "use_localtime=NO",
                *(["ssl_enable=YES", "allow_anon_ssl=YES", "force_local_logins_ssl=NO",
                   "force_local_data_ssl=NO", "force_anon_logins_ssl=NO", "force_anon_data_ssl=NO",
                   "rsa_cert_file=" + self.cert, "rsa_private_key_file=" + self.key,
                   "ssl_ciphers=HIGH"] if self.tls else []), ""]))
        os.chmod(conf, 0o600)
        return [self.binaries["vsftpd"], conf], None

    def argv_pureftpd(self, d, port):
        # The anonymous area is the "ftp" account's home; FTP_ANON_DIR names
        # another only when there is no such account.  If there is one, the
        # anonymous area is mounted over its home in a mount namespace of
        # the server's own.
        env = dict(os.environ, FTP_ANON_DIR=self.anon)
        wrap = []
        try:
            home = pwd.getpwnam("ftp").pw_dir
        except KeyError:
            home = None
        if home and os.path.realpath(home) != os.path.realpath(self.anon):
            if not os.path.isdir(home):
                raise RuntimeError("pure-ftpd: the ftp account's home %s is not a directory" % home)
            wrap = ["unshare", "-m", "--propagation", "private", "sh", "-c",
                    'mount --bind "$0" "$1" && shift && exec "$@"', self.anon, home]
        return [*wrap, self.binaries["pure-ftpd"], "-S", "127.0.0.1,%d" % port, "-4", "-H", "-A",
                "-l", "unix", "-c", str(self.max_users), "-C", str(self.max_users),
                "-p", "%d:%d" % pasv_range("pure-ftpd"), "-I", "15", "-L", "20000:8",
                "-O", "clf:%s/xfer.log" % d, "-u", "1",
                *(["-Y", "1", "-2", "%s,%s" % (self.cert, self.key)] if self.tls else [])], env

    def argv_proftpd(self, d, port):
        conf = os.path.join(d, "proftpd.conf")
        anon_user = "ftp" if _has_user("ftp") else "nobody"
        with open(conf, "w") as f:
            f.write("\n".join([
                "ServerType standalone", "DefaultServer on", "Port %d" % port,
                "DefaultAddress 127.0.0.1", "SocketBindTight on", "UseIPv6 off",
                "User nobody", "Group nogroup", "PidFile %s/proftpd.pid" % d,
                "ScoreboardFile %s/proftpd.scoreboard" % d, "DelayTable none", "WtmpLog off",
                "UseReverseDNS off", "MaxInstances %d" % (self.max_users + 50),
                "TCPBacklog 255",               # its largest
                "UseFtpUsers off", "RequireValidShell off", "AuthOrder mod_auth_unix.c",
                "<IfModule mod_auth_pam.c>", "  AuthPAM off", "</IfModule>",
                "PassivePorts %d %d" % pasv_range("proftpd"), "TimeoutIdle 900", "TimeoutLogin 120",
                "SystemLog %s/proftpd.log" % d, "TransferLog %s/xfer.log" % d,
                "ListOptions \"\" maxfiles 20000", "AllowOverwrite on", "Umask 022",
                "<Anonymous %s>" % self.anon, "  User %s" % anon_user, "  Group nogroup",
                "  UserAlias anonymous %s" % anon_user, "  RequireValidShell off",
                "  <Limit WRITE>", "    DenyAll", "  </Limit>", "</Anonymous>", ""]))
        return [self.binaries["proftpd"], "-n", "-q", "-c", conf], None

    # ---- tearing down -----------------------------------------------------------------------
    def stop(self):
        for server in self.servers.values():
            if server.proc.poll() is None:
                pids = [(pid, _start_time(pid)) for pid in server.processes()]
                server.proc.send_signal(signal.SIGTERM)
                try:
                    server.proc.wait(20)
                except subprocess.TimeoutExpired:
                    server.proc.kill()
                    server.proc.wait()
                # Children it left (sessions being ended) go with its group.
                deadline = time.monotonic() + 10
                while time.monotonic() < deadline and any(_alive(*p) for p in pids[1:]):
                    time.sleep(0.05)
                for pid, started in pids[1:]:
                    if _alive(pid, started):
                        try:
                            os.kill(pid, signal.SIGKILL)
                        except ProcessLookupError:
                            pass
        self.servers = {}
        if self.user:
            subprocess.run(["userdel", self.user], stderr=subprocess.DEVNULL)
            self.user = None
        if self.ftp_account:
            subprocess.run(["userdel", "ftp"], stderr=subprocess.DEVNULL)
            subprocess.run(["groupdel", "ftp"], stderr=subprocess.DEVNULL)
            self.ftp_account = False
        shutil.rmtree(self.work, ignore_errors=True)


def install_libraries(package, binary, log):
    """Installs the libraries an unpacked package depends on when the
    binary misses one (they do not conflict, unlike the servers)."""
    ldd = subprocess.run(["ldd", binary], capture_output=True, text=True).stdout
    if "not found" not in ldd:
        return
    text = subprocess.run(["apt-cache", "depends", "--no-recommends", "--no-suggests", "--no-conflicts",
                           "--no-breaks", "--no-replaces", "--no-enhances", package],
                          capture_output=True, text=True).stdout
    libraries = sorted({line.split(":", 1)[1].strip() for line in text.splitlines()
                        if line.strip().startswith("Depends: lib")})
    log("installing the libraries of %s: %s" % (package, " ".join(libraries)))
    env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
    subprocess.run(["apt-get", "-o", "DPkg::Lock::Timeout=300", "install", "-y", "-qq",
                    "--no-install-recommends", *libraries], check=True, env=env, stdout=subprocess.DEVNULL)


def _usable_ftp_account():
    """An "ftp" account whose home is there: one left by a run that could not
    remove it (a process still ran as ftp) names a home that is gone."""
    try:
        return os.path.isdir(pwd.getpwnam("ftp").pw_dir)
    except KeyError:
        return False


def _has_user(name):
    try:
        pwd.getpwnam(name)
        return True
    except KeyError:
        return False


def _stat(pid):
    try:
        with open("/proc/%d/stat" % pid) as f:
            stat = f.read()
    except OSError:
        return None
    return stat[stat.rindex(")") + 2:].split()


def _start_time(pid):
    fields = _stat(pid)
    return fields[19] if fields else None


def _alive(pid, started):
    """True while that process (not a later one with its pid) exists and is
    not a zombie."""
    fields = _stat(pid)
    return fields is not None and fields[19] == started and fields[0] != "Z"
