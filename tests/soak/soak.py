#!/usr/bin/python3
"""Faults and load against the real daemon: one sub-command per scenario,
each printing figures and a PASS/FAIL verdict (exit status 0 only when every
scenario run passed).  Run as root from a built tree:

    tests/soak/soak.py --quick all           # every scenario, short (about 5 minutes)
    tests/soak/soak.py sessions              # 1,000 concurrent sessions held open
    tests/soak/soak.py transfers             # 10,000 transfers, children SIGKILLed, master SIGHUPed
    tests/soak/soak.py diskfull              # uploads into a full tmpfs volume
    tests/soak/soak.py nofile                # low RLIMIT_NOFILE
    tests/soak/soak.py logger                # the logger SIGKILLed under load
    tests/soak/soak.py soak                  # one hour at 500 sessions, memory and descriptors plotted

ZORVAD_BIN_DIR names the build directory (default: build/ at the top).
"""
import argparse
import os
import random
import signal
import subprocess
import sys
import threading
import time

from soaklib import (COMPLETE, Client, Closed, Daemon, Tally, counter, one_transfer, proc_figures,
                     raise_nofile, sha256, sha256_path, verdict, wait_for, SIZES, ZORVAD)


def connect(port, why=None):
    """A logged-in session; None when the server refuses or is gone (the
    reason counted in the dict why)."""
    try:
        return Client(port, timeout=60).login()
    except (Closed, OSError) as e:
        if why is not None:
            key = str(e)[:60]
            why[key] = why.get(key, 0) + 1
        return None


def fresh_session_works(d):
    """The server still serves: a new session downloads a file intact (once
    the master has reaped the children killed last; until then it may
    refuse with 421)."""
    return bool(wait_for(lambda: one_download(d), 30, 0.5))


def status_agrees(d):
    """Once the clients are gone: no child is still in a session, and every
    pid in the status area belongs to a live (not zombie) process."""
    if d.children(busy_only=True):
        return False
    for pid in d.children():
        try:
            with open("/proc/%d/stat" % pid) as f:
                if f.read().rsplit(")", 1)[1].split()[0] == "Z":
                    return False
        except OSError:
            return False
    return True


def one_download(d):
    c = connect(d.port)
    if c is None:
        return False
    try:
        name = sorted(d.pool)[-1]
        outcome, _, data = c.retr("pub/" + name)
        return outcome == COMPLETE and sha256(data) == d.pool[name]
    except (Closed, OSError):
        return False
    finally:
        c.close()


class Workers:
    """Threads each running one session after another, doing random
    transfers until `limit` transfers have been started or stop is set.
    pause() brings every worker to rest between transfers (for sampling)."""

    def __init__(self, d, tally, n, limit=None, seed=1, upload_path=None, reconnect_every=50):
        self.d, self.tally, self.limit = d, tally, limit
        self.upload_path = upload_path
        self.reconnect_every = reconnect_every
        self.started = 0
        self.lock = threading.Lock()
        self.stop = threading.Event()
        self.go = threading.Event()
        self.go.set()
        self.cond = threading.Condition()
        self.at_rest = 0
        self.done = 0
        self.sessions = 0
        self.refused = 0
        self.why = {}
        self.uploads = counter()
        self.threads = [threading.Thread(target=self.run, args=(random.Random(seed * 1000 + i),))
                        for i in range(n)]

    def take(self):
        with self.lock:
            if self.stop.is_set() or (self.limit is not None and self.started >= self.limit):
                return False
            self.started += 1
            return True

    def rest(self):
        if not self.go.is_set():
            with self.cond:
                self.at_rest += 1
                self.cond.notify_all()
            self.go.wait()
            with self.cond:
                self.at_rest -= 1
                self.cond.notify_all()

    def run(self, rng):
        try:
            self.serve(rng)
        finally:
            with self.cond:
                self.done += 1
                self.cond.notify_all()

    def serve(self, rng):
        while not self.stop.is_set():
            self.rest()
            c = connect(self.d.port, self.why)
            if c is None:
                with self.lock:
                    self.refused += 1
                if not self.d.alive():
                    return
                time.sleep(0.05)
                continue
            with self.lock:
                self.sessions += 1
            try:
                for _ in range(self.reconnect_every):
                    self.rest()
                    if not self.take():
                        self.stop.set()
                        break
                    one_transfer(c, self.d, rng, self.tally, self.upload_path, self.uploads)
            except Closed:
                pass
            finally:
                c.close()

    def start(self):
        for t in self.threads:
            t.start()

    def pause(self):
        self.go.clear()
        with self.cond:
            self.cond.wait_for(lambda: self.at_rest + self.done >= len(self.threads))

    def resume(self):
        self.go.set()
        with self.cond:
            self.cond.wait_for(lambda: self.at_rest == 0)

    def join(self):
        self.stop.set()
        self.go.set()
        for t in self.threads:
            t.join()


def finish(d, name, ok, lines, expect_rc=0):
    faults = d.stop()
    if d.rc != expect_rc:
        faults.append("exit status %s, expected %d; stderr:\n%s" % (d.rc, expect_rc, d.stderr()[-2000:]))
    ok = verdict(name, ok and not faults, lines + faults)
    if ok:
        d.remove()
    else:
        print("   (server directory kept: %s)" % d.dir)
    return ok


# ---- 1,000 concurrent sessions ---------------------------------------------------------------------

def sessions(args):
    n = 100 if args.quick else args.sessions
    d = Daemon(max_users=n + 8)
    if not d.start():
        return verdict("sessions", False, ["did not start: " + d.stderr()[-500:]])
    t0 = time.monotonic()
    held = [c for c in (connect(d.port) for _ in range(n)) if c is not None]
    opened = time.monotonic() - t0
    alive = len(held) - noop_all(held)
    busy = wait_for(lambda: len(d.children(busy_only=True)) >= n and len(d.children(busy_only=True)), 30) or 0
    figures = [proc_figures(p) for p in d.processes()]
    figures = [f for f in figures if f]
    rss = sum(f[0] for f in figures)
    master = proc_figures(d.proc.pid) or (0, 0)
    lines = ["%d of %d sessions logged in and held (%.1f s to open, %.1f sessions/s)"
             % (len(held), n, opened, len(held) / opened),
             "%d answered NOOP with 200 while all were held; %d busy children in the status area"
             % (alive, busy),
             "%d server processes, resident %.1f MiB in all (%.0f KiB each on average); "
             "master %d KiB, %d descriptors" % (len(figures), rss / 1024, rss / max(1, len(figures)),
                                                master[0], master[1])]
    for c in held:
        c.close()
    drained = wait_for(lambda: not d.children(busy_only=True), 60)
    lines.append("every session ended after its client left: %s" % bool(drained))
    ok = len(held) == n and alive == n and busy == n and bool(drained)
    return finish(d, "sessions", ok, lines)


# ---- Transfers with children SIGKILLed and the master SIGHUPed --------------------------------------

def transfers(args):
    total = 500 if args.quick else args.transfers
    workers_n = 12
    d = Daemon(max_users=workers_n + 8, min_users=6)
    if not d.start():
        return verdict("transfers", False, ["did not start: " + d.stderr()[-500:]])
    tally = Tally()
    w = Workers(d, tally, workers_n, limit=total, seed=2)
    rng = random.Random(3)
    kills = hups = 0
    w.start()
    mark = rng.randint(1, 10)
    while any(t.is_alive() for t in w.threads):
        if tally.total < mark:
            time.sleep(0.005)
            continue
        mark += rng.randint(1, 10)             # a fault every 5.5 transfers on average
        if rng.random() < 0.7:
            busy = d.children(busy_only=True)
            if busy:
                try:
                    os.kill(rng.choice(busy), signal.SIGKILL)
                    kills += 1
                except ProcessLookupError:
                    pass
        else:
            d.proc.send_signal(signal.SIGHUP)
            hups += 1
    w.join()
    serves = fresh_session_works(d)
    agrees = bool(wait_for(lambda: status_agrees(d), 30, 0.2))
    lines = [tally.summary(),
             "%d children SIGKILLed, %d SIGHUPs to the master, %d sessions opened, %d attempts failed %s"
             % (kills, hups, w.sessions, w.refused, w.why),
             "a new session after the faults downloads intact: %s" % serves,
             "the status area then lists only live children, none in a session: %s" % agrees]
    lines += tally.violations[:20]
    ok = not tally.violations and tally.total >= total and kills > 0 and serves and agrees
    return finish(d, "transfers", ok, lines)


# ---- A full file system during uploads --------------------------------------------------------------

def diskfull_one(variant, general, size_kib):
    # The incoming directory is a small tmpfs in a private mount namespace
    # that ends with the daemon; the files are read through /proc/PID/root.
    mount = ('mount -t tmpfs -o size=%dk,mode=0777,uid=65534,gid=65534 zorvad-soak "$0" && exec "$@"'
             % size_kib)
    d = Daemon(max_users=8, general=general)
    d.wrapper = ["unshare", "-m", "--propagation", "private", "sh", "-c", mount, d.incoming]
    name = "diskfull (%s)" % variant
    if not d.start():
        return verdict(name, False, ["did not start: " + d.stderr()[-500:]])
    root = "/proc/%d/root" % d.proc.pid
    inside = root + d.incoming if os.path.isdir(root + d.incoming) else root + "/incoming"
    rng = random.Random(4)
    c = connect(d.port)
    codes = {}
    stored = refused = 0
    bad = []
    sent = 0
    for i in range(60):
        size = rng.choice(SIZES[3:]) if i < 40 else rng.choice(SIZES[:3])
        data = rng.randbytes(size)
        fname = "up%02d.bin" % i
        try:
            outcome, reply = c.stor("incoming/" + fname, data)
        except (Closed, OSError) as e:
            bad.append("upload %s: the session broke (%s)" % (fname, e))
            c = connect(d.port)
            if c is None:
                break
            continue
        codes[reply[:3]] = codes.get(reply[:3], 0) + 1
        sent += size
        if outcome == COMPLETE:
            stored += 1
            try:
                if sha256_path(os.path.join(inside, fname)) != sha256(data):
                    bad.append("226 for %s (%d bytes) but the file differs" % (fname, size))
            except OSError as e:
                bad.append("226 for %s but no file: %s" % (fname, e))
        else:
            refused += 1
            if not reply.startswith("4"):
                bad.append("%s refused with a reply other than 4xx: %s" % (fname, reply.strip()))
    try:
        noop = c.command("NOOP").startswith("200") if c else False
    except (Closed, OSError):
        noop = False
    serves = fresh_session_works(d)
    fs = os.statvfs(inside)
    lines = ["%d uploads (%.1f MiB offered) into a %d KiB volume: %d stored with 226 and verified, "
             "%d refused; replies %s" % (stored + refused, sent / 1048576, size_kib, stored - len(bad),
                                         refused, ", ".join("%s %d" % kv for kv in sorted(codes.items()))),
             "the session goes on (NOOP 200): %s; a new session downloads intact: %s" % (noop, serves),
             "volume: %d of %d KiB free at the end" % (fs.f_bavail * fs.f_frsize // 1024,
                                                      fs.f_blocks * fs.f_frsize // 1024)]
    if c:
        c.close()
    ok = not bad and refused > 0 and stored > 0 and noop and serves
    return finish(d, name, ok, lines + bad)


def diskfull(args):
    ok = diskfull_one("plain", "", 4096)
    ok = diskfull_one("upload-tmp-then-rename", "upload-tmp-then-rename = yes\n", 4096) and ok
    return diskfull_one("sync-writes 3", "sync-writes = 3\n", 4096) and ok


# ---- Descriptor exhaustion ----------------------------------------------------------------------------

def nofile(args):
    limits = ((8, 9, 10, 11, 12, 13, 14, 16, 24) if args.quick else
              tuple(int(x) for x in args.limits.split(",")) if args.limits else tuple(range(6, 33)))
    ok = True
    for limit in limits:
        d = Daemon(max_users=12, min_users=2, wrapper=["prlimit", "--nofile=%d:%d" % (limit, limit)])
        name = "nofile %d" % limit
        if not d.start():
            # Too few descriptors to start at all: it must say so and fail.
            faults = d.stop()
            good = d.rc not in (0, None) and not faults and d.stderr().strip() != ""
            said = [line for line in d.stderr().splitlines() if "Exiting" not in line][-1:]
            ok = verdict(name, good, ["refused to start, exit status %s: %s" % (d.rc, said)] + faults) and ok
            d.remove()
            continue
        tally = Tally()
        w = Workers(d, tally, 4, limit=60, seed=limit, reconnect_every=8)
        w.start()
        deadline = time.monotonic() + 300
        while any(t.is_alive() for t in w.threads) and time.monotonic() < deadline:
            time.sleep(0.1)
        finished = not any(t.is_alive() for t in w.threads)
        w.join()
        reports = d.misc_log().count("descriptors used (max")
        master = proc_figures(d.proc.pid)
        lines = [tally.summary(),
                 "%d sessions, %d attempts failed %s; %d descriptor reports in the log; "
                 "master up: %s (%s descriptors)"
                 % (w.sessions, w.refused, w.why, reports, d.alive(), master and master[1])]
        good = not tally.violations and finished and d.alive()
        ok = finish(d, name, good, lines + tally.violations[:10]) and ok
    return ok


# ---- The logger killed under load --------------------------------------------------------------------

def logger(args):
    warm = 100 if args.quick else 1000
    d = Daemon(max_users=20, min_users=6)
    if not d.start():
        return verdict("logger", False, ["did not start: " + d.stderr()[-500:]])
    tally = Tally()
    w = Workers(d, tally, 8, seed=5)
    w.start()
    wait_for(lambda: tally.total >= warm, 300)
    logd = d.logger_pid()
    at = tally.total
    os.kill(logd, signal.SIGKILL)
    t0 = time.monotonic()
    ended = wait_for(lambda: not d.alive(), 30)
    took = time.monotonic() - t0
    w.join()
    gone = wait_for(lambda: not d.processes(), 30)
    lines = [tally.summary(),
             "logger (pid %d) SIGKILLed after %d transfers; the master ended %.1f s later: %s; "
             "every process gone: %s" % (logd, at, took, bool(ended), bool(gone))]
    ok = not tally.violations and bool(ended) and bool(gone)
    return finish(d, "logger", ok, lines + tally.violations[:20], expect_rc=1)


# ---- The soak: sessions held for a long time, memory and descriptors sampled -----------------------------

def soak(args):
    minutes = 2 if args.quick else args.minutes
    interval = 10 if args.quick else args.interval
    n = 100 if args.quick else args.soak_sessions
    d = Daemon(max_users=n + 24, min_users=4)
    if not d.start():
        return verdict("soak", False, ["did not start: " + d.stderr()[-500:]])
    held = [c for c in (connect(d.port) for _ in range(n)) if c is not None]
    tally = Tally()
    w = Workers(d, tally, 8, seed=6, reconnect_every=100)
    w.start()
    out = os.path.abspath(args.out)
    os.makedirs(out, exist_ok=True)
    csv = os.path.join(out, "soak.csv")
    samples = []                               # (minute, {pid: (role, rss, fds)})
    lost = 0
    t0 = time.monotonic()
    with open(csv, "w") as f:
        f.write("minute,pid,role,rss_kib,fds,in_session\n")
        while True:
            w.pause()                          # sample at rest: every session between commands
            lost += noop_all(held)
            minute = (time.monotonic() - t0) / 60
            logd = d.logger_pid()
            busy = set(d.children(busy_only=True))
            sample = {}
            for pid in d.processes():
                fig = proc_figures(pid)
                if fig:
                    role = "master" if pid == d.proc.pid else "logger" if pid == logd else "child"
                    sample[pid] = (role, *fig, int(pid in busy))
                    f.write("%.2f,%d,%s,%d,%d,%d\n" % (minute, pid, role, *sample[pid][1:]))
            f.flush()
            samples.append((minute, sample))
            w.resume()
            if minute >= minutes:
                break
            time.sleep(max(0.0, interval - ((time.monotonic() - t0) % interval)))
    w.join()
    for c in held:
        c.close()
    png = plot(csv, samples, out)
    lines = ["%d sessions held for %.1f minutes (%d lost), %d samples every %g s; %s"
             % (len(held), samples[-1][0], lost, len(samples), interval, tally.summary())]
    lines += flatness(samples)
    lines.append("figures: %s, plot: %s" % (csv, png))
    flat = all(not line.startswith("NOT FLAT") for line in lines)
    ok = not tally.violations and lost == 0 and len(held) == n and flat
    return finish(d, "soak", ok, lines + tally.violations[:20])


def noop_all(held):
    """NOOP on every held session, sent to all before the replies are read
    (each child waits its "noop-delay" at the same time); the number lost."""
    lost = 0
    sent = []
    for c in held:
        try:
            c.sock.sendall(b"NOOP\r\n")
            sent.append(c)
        except OSError:
            lost += 1
    for c in sent:
        try:
            lost += not c.reply().startswith("200")
        except (Closed, OSError):
            lost += 1
    return lost


def flatness(samples):
    """Memory and descriptors of every process, compared between the first
    sample after the warm-up (the second) and the last.  Descriptors must be
    equal, apart from the control connection of a child that is in a session
    at one sample and waiting for one at the other; resident memory may not
    grow by more than 256 KiB in a process."""
    if len(samples) < 3:
        return ["NOT FLAT: fewer than 3 samples"]
    first, last = samples[1][1], samples[-1][1]
    lines = []
    grew = []
    for pid in sorted(set(first) & set(last)):
        role, rss0, fd0, busy0 = first[pid]
        _, rss1, fd1, busy1 = last[pid]
        if fd1 - busy1 != fd0 - busy0 or rss1 - rss0 > 256:
            grew.append("%s %d: %d -> %d KiB, %d -> %d descriptors" % (role, pid, rss0, rss1, fd0, fd1))
    for role in ("master", "logger", "child"):
        a = [v for v in first.values() if v[0] == role]
        b = [v for v in last.values() if v[0] == role]
        lines.append("%s: %d -> %d processes, resident %d -> %d KiB in all (max %d -> %d), "
                     "descriptors %d -> %d in all (max %d -> %d)"
                     % (role, len(a), len(b), sum(v[1] for v in a), sum(v[1] for v in b),
                        max(v[1] for v in a), max(v[1] for v in b), sum(v[2] for v in a),
                        sum(v[2] for v in b), max(v[2] for v in a), max(v[2] for v in b)))
    lines.append("processes present from the second sample to the last: %d"
                 % len(set(first) & set(last)))
    if grew:
        lines.append("NOT FLAT: %d processes grew" % len(grew))
        lines += grew[:20]
    return lines


def plot(csv, samples, out):
    """Per minute: resident memory and descriptors of the master, the logger
    and the children (sum and maximum), as a PNG drawn by gnuplot."""
    data = os.path.join(out, "soak-summary.dat")
    with open(data, "w") as f:
        f.write("# minute master_rss logger_rss child_rss_sum child_rss_max master_fds logger_fds "
                "child_fds_sum child_fds_max\n")
        for minute, sample in samples:
            by = {r: [v for v in sample.values() if v[0] == r] for r in ("master", "logger", "child")}
            pick = lambda r, i, fn: fn([v[i] for v in by[r]] or [0])
            f.write("%.2f %d %d %d %d %d %d %d %d\n" % (
                minute, pick("master", 1, sum), pick("logger", 1, sum), pick("child", 1, sum),
                pick("child", 1, max), pick("master", 2, sum), pick("logger", 2, sum),
                pick("child", 2, sum), pick("child", 2, max)))
    png = os.path.join(out, "soak.png")
    script = """set terminal png size 1200,900
set output '%s'
set multiplot layout 2,1
set xlabel 'minutes'
set key outside
set offsets 0, 0, 1, 0
set ytics nomirror
set y2tics
set yrange [0:*]
set y2range [0:*]
set ylabel 'resident KiB'
set y2label 'all children, KiB'
plot '%s' u 1:2 w lp t 'master', '' u 1:3 w lp t 'logger', '' u 1:5 w lp t 'largest child', \\
     '' u 1:4 axes x1y2 w lp t 'all children (right)'
set ylabel 'open descriptors'
set y2label 'all children'
plot '%s' u 1:6 w lp t 'master', '' u 1:7 w lp t 'logger', '' u 1:9 w lp t 'most in a child', \\
     '' u 1:8 axes x1y2 w lp t 'all children (right)'
unset multiplot
""" % (png, data, data)
    r = subprocess.run(["gnuplot"], input=script, text=True, capture_output=True)
    return png if r.returncode == 0 else "none (gnuplot: %s)" % (r.stderr.strip() or "missing")


SCENARIOS = {"sessions": sessions, "transfers": transfers, "diskfull": diskfull, "nofile": nofile,
             "logger": logger, "soak": soak}


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("scenario", choices=[*SCENARIOS, "all"])
    p.add_argument("--quick", action="store_true",
                   help="short runs: 100 sessions, 500 transfers, a 2-minute soak at 100 sessions")
    p.add_argument("--sessions", type=int, default=1000)
    p.add_argument("--transfers", type=int, default=10000)
    p.add_argument("--minutes", type=float, default=60)
    p.add_argument("--soak-sessions", type=int, default=500)
    p.add_argument("--limits", help="nofile: the descriptor limits to try, as 6,7,8 (default 6..32)")
    p.add_argument("--interval", type=float, default=60, help="seconds between soak samples")
    p.add_argument("--out", default=".", help="directory for soak.csv and soak.png")
    args = p.parse_args()
    if os.geteuid() != 0:
        sys.exit("run as root")
    if not os.access(ZORVAD, os.X_OK):
        sys.exit("no zorvad at %s: build it first or set ZORVAD_BIN_DIR" % ZORVAD)
    raise_nofile()
    names = list(SCENARIOS) if args.scenario == "all" else [args.scenario]
    results = {}
    for name in names:
        t0 = time.monotonic()
        results[name] = SCENARIOS[name](args)
        print("   (%s took %.0f s)" % (name, time.monotonic() - t0))
    print("== verdict: %s" % ("PASS" if all(results.values()) else
                               "FAIL (%s)" % ", ".join(k for k, v in results.items() if not v)))
    sys.exit(0 if all(results.values()) else 1)


if __name__ == "__main__":
    main()
