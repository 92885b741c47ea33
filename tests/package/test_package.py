"""The Debian package: lintian's verdict on it, and its round trip in a
throw-away Debian root: `apt-get install ./zorvad_*.deb`, the service started
as its unit starts it, anonymous and TLS logins with curl from this host, a
reinstallation, and `apt-get purge`.

The root is a minimal bookworm made once by scripts/pkgroot.sh and kept as a
tar file in the build tree; each case unpacks it afresh into the build tree.
The test must run as PID 1 of new PID, mount and IPC namespaces, as ctest
runs it (`unshare --pid --fork --kill-child --mount-proc --ipc python3 -m
pytest ...`): the /proc mounted into the root, the daemon's shared status
area and any process left by a failure all end with it.  The host's packages
and accounts are never touched."""
import ftplib
import os
import re
import shlex
import shutil
import signal
import socket
import subprocess
import sys
import tempfile

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(TOP, "tests", "integration"))
from conftest import BIN_DIR, free_port, listening, wait_for  # noqa: E402

if os.getpid() != 1:
    pytest.skip("run in private namespaces: unshare --pid --fork --kill-child --mount-proc --ipc "
                "python3 -m pytest " + __file__, allow_module_level=True)

CHROOT_ENV = ["/usr/bin/env", "-i", "PATH=/usr/sbin:/usr/bin:/sbin:/bin", "LC_ALL=C",
              "DEBIAN_FRONTEND=noninteractive"]


@pytest.fixture(scope="module")
def base_root():
    cache = os.path.join(BIN_DIR, "pkgroot-cache.tar")
    r = subprocess.run(["sh", os.path.join(TOP, "scripts", "pkgroot.sh"), cache],
                       capture_output=True, text=True, timeout=1800)
    if r.returncode == 77:
        pytest.skip("no Debian root for the package test: " + r.stderr.strip())
    assert r.returncode == 0, r.stderr
    sys.stdout.write(r.stderr)  # how long debootstrap took, when it ran
    return cache


@pytest.fixture(scope="module")
def deb(base_root):
    """The package, built only when there is a root to install it into."""
    out = tempfile.mkdtemp(dir=BIN_DIR, prefix="pkgtest-deb-")
    try:
        # A build tree of the package's own (its compiler flags are the
        # package's), kept beside the test's for the next run.
        r = subprocess.run(["sh", os.path.join(TOP, "scripts", "package.sh"),
                            os.path.join(BIN_DIR, "pkgtest-build"), out],
                           capture_output=True, text=True, timeout=1500)
        assert r.returncode == 0, r.stdout + r.stderr
        yield r.stdout.strip().splitlines()[-1]
    finally:
        shutil.rmtree(out)


@pytest.fixture
def root(base_root, deb):
    """A fresh root with the package file in its /tmp and /proc mounted."""
    path = tempfile.mkdtemp(dir=BIN_DIR, prefix="pkgtest-root-")
    proc = os.path.join(path, "proc")
    try:
        subprocess.run(["tar", "-C", path, "-xf", base_root], check=True, timeout=300)
        subprocess.run(["mount", "-t", "proc", "proc", proc], check=True, timeout=30)
        shutil.copy(deb, os.path.join(path, "tmp"))
        os.chmod(os.path.join(path, "tmp", os.path.basename(deb)), 0o644)
        yield path
    finally:
        if os.path.ismount(proc):
            subprocess.run(["umount", proc], check=True, timeout=30)
        subprocess.run(["rm", "-rf", "--one-file-system", path], check=True, timeout=300)


def in_root(root, *argv, timeout=300, check=True):
    r = subprocess.run(["chroot", root] + CHROOT_ENV + list(argv), capture_output=True, text=True,
                       timeout=timeout)
    if check:
        assert r.returncode == 0, "%s: %s%s" % (argv, r.stdout, r.stderr)
    return r


def account(root, name):
    r = in_root(root, "getent", "passwd", name, check=False)
    return r.stdout.strip().split(":") if r.returncode == 0 else None


def owner(root, path):
    st = os.stat(os.path.join(root, path.lstrip("/")))
    group = in_root(root, "getent", "group", str(st.st_gid)).stdout.split(":")[0]
    user = in_root(root, "getent", "passwd", str(st.st_uid)).stdout.split(":")[0]
    return "%s:%s %o" % (user, group, st.st_mode & 0o7777)


def start_as_the_unit_does(root, port):
    """The unit's ExecStart with -p PORT added, in the root, reporting
    readiness on a notify socket of the test's own (the root shares this
    host's network namespace, so the abstract socket and loopback reach it)."""
    with open(os.path.join(root, "usr/lib/systemd/system/zorvad.service")) as f:
        start = [line.split("=", 1)[1] for line in f.read().splitlines() if line.startswith("ExecStart=")]
    argv = shlex.split(start[0])
    argv[1:1] = ["-p", str(port)]
    name = "zorvad-pkgtest-%d" % port
    receiver = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    receiver.bind("\0" + name)
    receiver.settimeout(30)
    with receiver:
        proc = subprocess.Popen(["chroot", root] + CHROOT_ENV + ["NOTIFY_SOCKET=@" + name] + argv,
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        fields = dict(line.split("=", 1) for line in receiver.recv(4096).decode().splitlines())
    assert fields["READY"] == "1" and int(fields["MAINPID"]) == proc.pid and listening(port)
    return proc


def test_lintian_reports_no_error_or_warning_but_those_readme_explains(deb):
    """dist/debian/lintian-allowed lists the tags README explains."""
    assert shutil.which("lintian"), "lintian is not installed (scripts/deps.sh installs it)"
    with open(os.path.join(TOP, "dist", "debian", "lintian-allowed")) as f:
        allowed = {line.split("#")[0].strip() for line in f} - {""}
    with open(os.path.join(TOP, "README.md")) as f:
        readme = f.read()
    assert all("`%s`" % tag in readme for tag in allowed), allowed
    r = subprocess.run(["lintian", "--no-tag-display-limit", deb], capture_output=True, text=True,
                       timeout=600)
    found = re.findall(r"^([EW]): zorvad: (\S+)(.*)$", r.stdout, re.M)
    assert found or r.returncode in (0, 2), r.stdout + r.stderr
    assert [f for f in found if f[1] not in allowed] == [], r.stdout


def curl(*args):
    return subprocess.run(["curl", "-sS", "--max-time", "20"] + list(args), capture_output=True,
                          timeout=60)


@pytest.mark.parametrize("ftp_account", ["made by the package", "kept from before"])
def test_install_serve_reinstall_and_purge(root, deb, ftp_account):
    if ftp_account == "kept from before":
        in_root(root, "adduser", "--system", "--quiet", "--group", "--home", "/srv/ftp", "ftp")
    before = account(root, "ftp")
    area = os.path.join(root, "srv/ftp")
    area_before = owner(root, "/srv/ftp") if os.path.isdir(area) else None

    r = in_root(root, "apt-get", "install", "-y", "/tmp/" + os.path.basename(deb))
    assert in_root(root, "dpkg-query", "-W", "-f", "${Status}", "zorvad").stdout == "install ok installed"
    # Every file the package puts in /etc is a conffile, and nothing else is.
    listed = in_root(root, "dpkg-query", "-L", "zorvad").stdout.split()
    files = [p for p in listed if os.path.isfile(os.path.join(root, p.lstrip("/")))]
    conffiles = in_root(root, "dpkg-query", "-W", "-f", "${Conffiles}", "zorvad").stdout.split()[0::2]
    assert sorted(conffiles) == sorted(p for p in files if p.startswith("/etc/"))
    assert "/etc/zorvad/general.cf" in conffiles and "/etc/logrotate.d/zorvad" in conffiles
    # The anonymous account and area as Debian's FTP servers set them up.
    ftp = account(root, "ftp")
    assert ftp is not None and int(ftp[2]) < 1000 and ftp[5] == "/srv/ftp"
    if before is None:
        assert ftp[6] == "/usr/sbin/nologin"
    else:
        assert ftp == before
    # Made by the package when missing; as it was otherwise.
    assert owner(root, "/srv/ftp") == (area_before or "root:ftp 755")
    assert owner(root, "/var/log/zorvad") == "root:root 750"

    with open(os.path.join(root, "srv/ftp/welcome.txt"), "w") as f:
        f.write("served from the package\n")
    # An upload directory the anonymous account could write into: the shipped
    # configuration still lets anonymous users only read.
    incoming = os.path.join(root, "srv/ftp/incoming")
    os.mkdir(incoming)
    os.chown(incoming, int(ftp[2]), int(ftp[3]))
    os.chmod(incoming, 0o733)
    # An account of the root with a login shell, and a file in its home.
    in_root(root, "useradd", "--create-home", "--shell", "/bin/bash", "alice")
    subprocess.run(["chroot", root] + CHROOT_ENV + ["chpasswd"], input=b"alice:Quiet-Otter-42\n",
                   check=True, timeout=60)
    with open(os.path.join(root, "home/alice/notes.txt"), "w") as f:
        f.write("alice's notes\n")
    upload = os.path.join(root, "tmp", "upload.txt")
    with open(upload, "w") as f:
        f.write("an anonymous upload\n")

    port = free_port()
    url = "ftp://127.0.0.1:%d/" % port
    daemon = start_as_the_unit_does(root, port)
    try:
        listing = curl(url)
        fetched = curl(url + "welcome.txt")
        anonymous_upload = curl("-T", upload, url + "incoming/")
        # No password crosses in the clear: a plaintext USER of an account is refused.
        plain = ftplib.FTP()
        plain.connect("127.0.0.1", port, timeout=20)
        with pytest.raises(ftplib.error_perm, match="^530"):
            plain.login("alice", "Quiet-Otter-42")
        plain.close()
        over_tls = curl("--ssl-reqd", "-k", url.replace("//", "//alice:Quiet-Otter-42@") + "notes.txt")
    finally:
        daemon.send_signal(signal.SIGTERM)
        output = daemon.communicate(timeout=30)[0].decode(errors="replace")
    assert listing.returncode == 0 and b"welcome.txt" in listing.stdout, listing.stderr
    assert fetched.returncode == 0 and fetched.stdout == b"served from the package\n", fetched.stderr
    assert anonymous_upload.returncode != 0 and os.listdir(incoming) == []
    assert over_tls.returncode == 0 and over_tls.stdout == b"alice's notes\n", over_tls.stderr
    assert daemon.returncode == 0, output
    assert not listening(port)
    logs = os.listdir(os.path.join(root, "var/log/zorvad"))
    assert any(name.startswith("misc.") for name in logs), logs

    # A reinstallation (configure again) keeps what the administrator set.
    os.chmod(area, 0o751)
    os.chmod(os.path.join(root, "var/log/zorvad"), 0o700)
    area_set = owner(root, "/srv/ftp")
    in_root(root, "apt-get", "install", "-y", "--reinstall", "/tmp/" + os.path.basename(deb))
    assert owner(root, "/srv/ftp") == area_set
    assert owner(root, "/var/log/zorvad") == "root:root 700"
    assert account(root, "ftp") == ftp

    if ftp_account == "made by the package":
        os.unlink(os.path.join(root, "srv/ftp/welcome.txt"))
        os.rmdir(incoming)
    r = in_root(root, "apt-get", "purge", "-y", "zorvad")
    status = in_root(root, "dpkg-query", "-W", "-f", "${Status}", "zorvad", check=False).stdout
    assert status in ("", "unknown ok not-installed"), r.stdout
    left = [p for p in files + ["/etc/zorvad", "/var/log/zorvad", "/var/lib/zorvad"]
            if os.path.lexists(os.path.join(root, p.lstrip("/")))]
    assert left == []
    # The system account stays, whoever made it: what its sessions left in
    # /srv/ftp keeps a named owner that no later account inherits.
    assert account(root, "ftp") == ftp
    if ftp_account == "made by the package":
        assert not os.path.exists(area)
    else:
        assert os.path.exists(os.path.join(root, "srv/ftp/welcome.txt"))
