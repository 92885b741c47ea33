#!/usr/bin/python3
"""Repeated LIST and MLSD of a large directory in one session: zorvad against
peer FTP servers from Debian's packages, all on loopback, all serving the same
anonymous tree.

    sudo python3 bench/list_bench.py [--build DIR] [--entries 10000] [--repeat 30] [--mlsd]
                                     [--cold] [--runs N]

Runs as root (the servers start as root).  LIST is compared with vsftpd.
With --mlsd, MLSD is compared with the peers that offer it (proftpd and
pure-ftpd; the two packages exclude each other, so whichever is installed
runs, and proftpd-core is installed when neither is), and with zorvad's own
LIST.  Missing packages are installed with apt-get.  Prints the time of every
server's first (cold) listing and of all repetitions, and the ratios of the
totals.  With --cold the kernel's page, dentry and inode caches are dropped
before every server's first listing, so that it reads the directory and its
inodes from the disk; --runs repeats everything (fresh servers each time) and
prints the medians.  Nothing is left behind: the servers are stopped and the temporary
tree is removed."""
import argparse
import ftplib
import os
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.dirname(HERE)
sys.path.insert(0, HERE)
import peers  # noqa: E402
VSFTPD = "/usr/sbin/vsftpd"
PROFTPD = "/usr/sbin/proftpd"
PUREFTPD = "/usr/sbin/pure-ftpd"


UNPACKED = None                 # where peers that are not installed are unpacked, for the whole run


def ensure_package(binary, package):
    """The path of a peer's binary: the installed one, else the one
    unpacked from its package (fetched with "apt-get download"; nothing is
    installed or started as a service)."""
    global UNPACKED
    if os.access(binary, os.X_OK):
        return binary
    if UNPACKED is None:
        UNPACKED = tempfile.mkdtemp(prefix="list-bench-peers-")
        os.chmod(UNPACKED, 0o755)
    debs = os.path.join(UNPACKED, "debs", package)
    os.makedirs(debs)
    subprocess.run(["apt-get", "-q", "-o", "APT::Sandbox::User=root", "download", package], cwd=debs,
                   check=True, stdout=subprocess.DEVNULL)
    for deb in os.listdir(debs):
        subprocess.run(["dpkg-deb", "-x", os.path.join(debs, deb), os.path.join(UNPACKED, "root")], check=True)
    path = os.path.join(UNPACKED, "root", binary.lstrip("/"))
    if not os.access(path, os.X_OK):
        sys.exit("%s: no %s in the package" % (package, binary))
    peers.install_libraries(package, path, print)
    return path


def ensure_vsftpd():
    global VSFTPD
    VSFTPD = ensure_package(VSFTPD, "vsftpd")


def mlsd_peers():
    """The peers offering MLSD: those installed, else proftpd unpacked from
    proftpd-core."""
    global PROFTPD, PUREFTPD
    if not (os.access(PROFTPD, os.X_OK) or os.access(PUREFTPD, os.X_OK)):
        PROFTPD = ensure_package(PROFTPD, "proftpd-core")
    return [(name, start) for name, binary, start in (("proftpd", PROFTPD, start_proftpd),
                                                      ("pure-ftpd", PUREFTPD, start_pureftpd))
            if os.access(binary, os.X_OK)]


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


def start_proftpd(root, port):
    conf = os.path.join(root, "proftpd.conf")
    with open(conf, "w") as f:
        f.write("\n".join([
            "ServerType standalone", "DefaultServer on", "Port %d" % port, "DefaultAddress 127.0.0.1",
            "UseIPv6 off", "User nobody", "Group nogroup", "PidFile %s/proftpd.pid" % root,
            "ScoreboardFile %s/proftpd.scoreboard" % root, "DelayTable none", "WtmpLog off",
            "UseReverseDNS off", "MaxInstances 8", "UseFtpUsers off", "RequireValidShell off",
            "<Anonymous %s/ftp>" % root, "  User nobody", "  Group nogroup", "  UserAlias anonymous nobody",
            "  RequireValidShell off", "</Anonymous>", "",
        ]))
    proc = subprocess.Popen([PROFTPD, "-n", "-q", "-c", conf], cwd=root, stdin=subprocess.DEVNULL,
                            stdout=subprocess.DEVNULL, stderr=open(os.path.join(root, "proftpd.err"), "w"))
    wait_listening(port, proc, "proftpd")
    return proc


def start_pureftpd(root, port):
    # Anonymous only, in the foreground; the anonymous root is the home of
    # the "ftp" account, which a bench machine may lack: -e with FTP_ANON_DIR.
    env = dict(os.environ, FTP_ANON_DIR=os.path.join(root, "ftp"))
    proc = subprocess.Popen([PUREFTPD, "-S", "127.0.0.1,%d" % port, "-e", "-A", "-H", "-c", "8"], cwd=root,
                            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, env=env,
                            stderr=open(os.path.join(root, "pure-ftpd.err"), "w"))
    wait_listening(port, proc, "pure-ftpd")
    return proc


def stop(proc):
    if proc.poll() is None:
        proc.send_signal(signal.SIGTERM)
        try:
            proc.wait(20)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()


def drop_caches():
    """Writes back and drops the clean page cache, dentries and inodes."""
    os.sync()
    with open("/proc/sys/vm/drop_caches", "w") as f:
        f.write("3\n")


def run_lists(port, entries, repeat, command="LIST big", cold=False):
    """Times of each listing in one passive session; MLSD's cdir and pdir
    lines are not counted.  With cold, the caches are dropped before the
    first listing."""
    f = ftplib.FTP()
    f.connect("127.0.0.1", port, timeout=60)
    f.login()
    times = []
    for i in range(repeat):
        if cold and i == 0:
            drop_caches()
        data = []
        start = time.perf_counter()
        f.retrbinary(command, data.append, blocksize=65536)
        times.append(time.perf_counter() - start)
        text = b"".join(data)
        count = text.count(b"\n") - text.lower().count(b"type=cdir;") - text.lower().count(b"type=pdir;")
        if count != entries:
            sys.exit("port %d listed %d lines, not %d" % (port, count, entries))
    f.quit()
    return times


def report(what, runs, entries, repeat):
    """The medians over the runs of each server's first listing, of the
    median and the mean of the rest, and of the total."""
    print("%d %ss of a %d-entry directory in one session, medians of %d run(s) (seconds):"
          % (repeat, what, entries, len(runs)))
    print("%-14s %10s %14s %14s %10s" % ("server", "first", "rest (median)", "rest (mean)", "total"))
    for name in runs[0]:
        firsts, medians, means, totals = [], [], [], []
        for r in runs:
            t = r[name]
            rest = t[1:] or t
            firsts.append(t[0])
            medians.append(statistics.median(rest))
            means.append(sum(rest) / len(rest))
            totals.append(sum(t))
        print("%-14s %10.4f %14.4f %14.4f %10.3f" % (name, statistics.median(firsts), statistics.median(medians),
                                                   statistics.median(means), statistics.median(totals)))
    if len(runs) > 1:
        for name in runs[0]:
            print("%-14s firsts: %s" % (name, " ".join("%.4f" % r[name][0] for r in runs)))


def total(runs, name):
    return statistics.median(sum(r[name]) for r in runs)


def one_run(args, rivals):
    """One run with fresh servers and a fresh tree: the times of every
    server's listings."""
    root = tempfile.mkdtemp(prefix="list-bench-")
    procs = []
    try:
        make_tree(root, args.entries)
        zport = free_port()
        procs.append(start_zorvad(args.build, root, zport))
        ports = {"zorvad": zport}
        for name, start in rivals:
            ports[name] = free_port()
            procs.append(start(root, ports[name]))
        if not args.mlsd:
            return {name: run_lists(port, args.entries, args.repeat, cold=args.cold) for name, port in ports.items()}
        results = {"zorvad LIST": run_lists(zport, args.entries, args.repeat, cold=args.cold)}
        results.update({name + " MLSD": run_lists(port, args.entries, args.repeat, "MLSD big", args.cold)
                        for name, port in ports.items()})
        return results
    finally:
        for p in procs:
            stop(p)
        shutil.rmtree(root, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default=os.environ.get("ZORVAD_BIN_DIR", os.path.join(TOP, "build")))
    parser.add_argument("--entries", type=int, default=10000)
    parser.add_argument("--repeat", type=int, default=30)
    parser.add_argument("--mlsd", action="store_true", help="compare MLSD instead of LIST")
    parser.add_argument("--cold", action="store_true", help="drop the kernel's caches before each first listing")
    parser.add_argument("--runs", type=int, default=1, help="runs with fresh servers; medians are shown")
    args = parser.parse_args()
    args.build = os.path.abspath(args.build)     # the servers run in the temporary tree
    if os.geteuid() != 0:
        sys.exit("run as root")
    rivals = mlsd_peers() if args.mlsd else [("vsftpd", start_vsftpd)]
    if not args.mlsd:
        ensure_vsftpd()
    try:
        runs = [one_run(args, rivals) for _ in range(max(args.runs, 1))]
    finally:
        if UNPACKED is not None:
            shutil.rmtree(UNPACKED, ignore_errors=True)
    if not args.mlsd:
        report("LIST", runs, args.entries, args.repeat)
        ratio = total(runs, "vsftpd") / total(runs, "zorvad")
        print("zorvad is %.1f times as fast as vsftpd over all %d LISTs (target: 3)" % (ratio, args.repeat))
        return
    report("listing", runs, args.entries, args.repeat)
    own = total(runs, "zorvad MLSD") / total(runs, "zorvad LIST")
    print("zorvad's MLSD takes %.2f times its LIST time (target: at most 1.2)" % own)
    for name, _ in rivals:
        ratio = total(runs, name + " MLSD") / total(runs, "zorvad MLSD")
        print("zorvad's MLSD is %.1f times as fast as %s's (target: 3)" % (ratio, name))


if __name__ == "__main__":
    main()
