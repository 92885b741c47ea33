#!/usr/bin/python3
"""Repeated LIST of a large directory in one session: zorvad against a peer
FTP server from Debian's packages (vsftpd), both on loopback, both serving
the same anonymous tree.

    sudo python3 bench/list_bench.py [--build DIR] [--entries 10000] [--repeat 30]

Runs as root (both servers start as root).  vsftpd is installed with apt-get
when it is missing.  Prints the time of every server's first (cold) LIST and
of all repetitions, and the ratio of the totals.  Nothing is left behind:
both servers are stopped and the temporary tree is removed."""
import argparse
import ftplib
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.dirname(HERE)
VSFTPD = "/usr/sbin/vsftpd"


def ensure_vsftpd():
    if os.access(VSFTPD, os.X_OK):
        return
    env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
    apt = ["apt-get", "-o", "DPkg::Lock::Timeout=300"]
    subprocess.run(apt + ["update", "-qq"], check=True, env=env)
    subprocess.run(apt + ["install", "-y", "-qq", "--no-install-recommends", "vsftpd"], check=True, env=env)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_listening(port, proc, what):
    deadline = time.monotonic() + 20
    while time.monotonic() < deadline:
        if proc.poll() is not None:
            sys.exit("%s ended at start-up (status %d)" % (what, proc.returncode))
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=1):
                return
        except OSError:
            time.sleep(0.05)
    sys.exit("%s did not start" % what)


def make_tree(root, entries):
    big = os.path.join(root, "ftp", "big")
    os.makedirs(big)
    for i in range(entries):
        with open(os.path.join(big, "file%05d.dat" % i), "wb") as f:
            f.write(b"x" * (i % 4096))
    for d in (root, os.path.join(root, "ftp"), big):
        os.chmod(d, 0o755)
    os.makedirs(os.path.join(root, "empty"), mode=0o755)


def start_zorvad(build, root, port):
    general = os.path.join(root, "general.cf")
    domain = os.path.join(root, "domain.cf")
    with open(general, "w") as f:
        f.write("pid-file = %s/zorvad.pid.sh\nlog-misc = %s/misc.log\nmax-users = 4\n" % (root, root))
    with open(domain, "w") as f:
        f.write("set-name = bench\nserver-name = bench\nftp-home = %s/ftp\n" % root)
    binary = os.path.join(build, "server", "zorvad")
    proc = subprocess.Popen([binary, "-Q", "-p", str(port), general, domain], cwd=root,
                            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                            stderr=open(os.path.join(root, "zorvad.err"), "w"))
    wait_listening(port, proc, "zorvad")
    return proc


def start_vsftpd(root, port):
    conf = os.path.join(root, "vsftpd.conf")
    with open(conf, "w") as f:
        f.write("\n".join([
            "listen=YES", "listen_ipv6=NO", "listen_address=127.0.0.1", "listen_port=%d" % port,
            "background=NO", "anonymous_enable=YES", "local_enable=NO", "write_enable=NO",
            "anon_root=%s/ftp" % root, "ftp_username=daemon", "nopriv_user=nobody",
            "secure_chroot_dir=%s/empty" % root, "seccomp_sandbox=NO", "xferlog_enable=NO",
            "pasv_enable=YES", "pasv_address=127.0.0.1", "dirlist_enable=YES", "use_localtime=NO",
            "max_clients=4", "",
        ]))
    os.chmod(conf, 0o600)
    proc = subprocess.Popen([VSFTPD, conf], cwd=root, stdin=subprocess.DEVNULL,
                            stdout=subprocess.DEVNULL, stderr=open(os.path.join(root, "vsftpd.err"), "w"))
    wait_listening(port, proc, "vsftpd")
    return proc


def stop(proc):
    if proc.poll() is None:
        proc.send_signal(signal.SIGTERM)
        try:
            proc.wait(20)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()


def run_lists(port, entries, repeat):
    """Times of each LIST in one passive session."""
    f = ftplib.FTP()
    f.connect("127.0.0.1", port, timeout=60)
    f.login()
    times = []
    for _ in range(repeat):
        data = []
        start = time.perf_counter()
        f.retrbinary("LIST big", data.append, blocksize=65536)
        times.append(time.perf_counter() - start)
        count = b"".join(data).count(b"\n")
        if count != entries:
            sys.exit("port %d listed %d lines, not %d" % (port, count, entries))
    f.quit()
    return times


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default=os.environ.get("ZORVAD_BIN_DIR", os.path.join(TOP, "build")))
    parser.add_argument("--entries", type=int, default=10000)
    parser.add_argument("--repeat", type=int, default=30)
    args = parser.parse_args()
    if os.geteuid() != 0:
        sys.exit("run as root")
    ensure_vsftpd()

    root = tempfile.mkdtemp(prefix="list-bench-")
    procs = []
    try:
        make_tree(root, args.entries)
        zport, vport = free_port(), free_port()
        procs.append(start_zorvad(args.build, root, zport))
        procs.append(start_vsftpd(root, vport))
        results = {}
        for name, port in (("zorvad", zport), ("vsftpd", vport)):
            results[name] = run_lists(port, args.entries, args.repeat)
        print("%d LISTs of a %d-entry directory in one session (seconds):" % (args.repeat, args.entries))
        print("%-8s %10s %14s %10s" % ("server", "first", "rest (mean)", "total"))
        for name, t in results.items():
            rest = t[1:] or t
            print("%-8s %10.4f %14.4f %10.3f" % (name, t[0], sum(rest) / len(rest), sum(t)))
        ratio = sum(results["vsftpd"]) / sum(results["zorvad"])
        print("zorvad is %.1f times as fast as vsftpd over all %d LISTs (target: 3)" % (ratio, args.repeat))
    finally:
        for p in procs:
            stop(p)
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    main()
