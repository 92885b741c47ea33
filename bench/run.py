#!/usr/bin/python3
"""The project's benchmark: zorvad against vsftpd, pure-ftpd and proftpd from
Debian's packages, all on loopback, driven by zorvad_ftpload.

    sudo python3 bench/run.py [--build DIR] [--quick] [--reps N] [SCENARIO ...]

Every scenario runs against every server in turn (A B C D, B C D A, ...), so
that drift of a shared, busy machine hits all alike; the table holds the
medians of the repetitions.  Before each run the sockets in TIME_WAIT are
counted and left to drain (up to --drain seconds), and counted again after
it.  Scenarios (all by default):

  rate16 rate64 rate1000   sessions/s with that many clients, each session
                           connect, 220, USER, PASS, TYPE I, PASV, RETR 4 KiB,
                           QUIT; connect->220 latency; machine CPU per
                           session; listen-queue drops
  burst1000                1,000 clients connect at once to a server at rest
                           (zorvad with only its min-users children), one
                           session each; connect->220 from the kernel's
                           arrival stamp of the greeting
  idle200 idle1000         Pss of every server process with that many idle
                           logged-in sessions, divided by the sessions
  list mlsd                LIST / MLSD of a 10,000-entry directory
  retr stor                one stream of 1 GiB each way (STOR as the system user)
  retr-tls stor-tls        the same over TLS (AUTH TLS, PROT P, the data connection
                           resuming the control connection's session), driven by
                           zorvad_tlsload; the servers that offer TLS only
  small                    10,000 RETRs of 4 KiB in one session

The results go to bench/results/<date>/: results.md (the table of medians,
zorvad divided by the best peer, the configuration), results.json (every
run) and a PNG chart per scenario (gnuplot).  --quick runs each scenario
briefly once, to check that everything works."""
import argparse
import datetime
import json
import os
import shutil
import signal
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.dirname(HERE)
sys.path.insert(0, HERE)
import peers  # noqa: E402

# name: (kind, ftpload arguments, metrics shown).  A metric is (key, title,
# format, True when higher is better).
RATE_METRICS = [("rate", "sessions/s (whole run)", "%.0f", True),
                ("steady_rate", "sessions/s (steady state, last part)", "%.0f", True),
                ("greet_p50_ms", "connect->220 p50 (ms)", "%.2f", False),
                ("greet_p90_ms", "connect->220 p90 (ms)", "%.2f", False),
                ("greet_p99_ms", "connect->220 p99 (ms)", "%.2f", False),
                ("cpu_ms_per_session", "machine CPU per session (ms)", "%.3f", False),
                ("server_cpu_ms_per_session", "server's own CPU per session (ms)", "%.3f", False),
                ("server_faults_per_session", "server's page faults per session", "%.0f", False),
                ("server_faults_reaped_per_session", "... of them in processes that ended", "%.0f", None),
                ("client_cpu_ms_per_session", "client's CPU per session (ms)", "%.3f", None),
                ("client_cpu_share", "client's share of machine CPU", "%.0f%%", None),
                ("client_core_pct", "client's CPU, % of one core", "%.0f%%", None),
                ("listen_drops", "listen-queue drops", "%d", None),
                ("failures", "failed sessions", "%d", None),
                ("tw_before", "TIME_WAIT before", "%d", None),
                ("tw_after", "TIME_WAIT after", "%d", None)]
BURST_METRICS = [("greet_p50_ms", "connect->220 p50 (ms)", "%.2f", False),
                 ("greet_p90_ms", "connect->220 p90 (ms)", "%.2f", False),
                 ("greet_p99_ms", "connect->220 p99 (ms)", "%.2f", False),
                 ("greet_max_ms", "connect->220 max (ms)", "%.2f", False),
                 ("elapsed", "time until every session ended (s)", "%.2f", False),
                 ("processes_before", "server processes before the burst", "%d", None),
                 ("listen_drops", "listen-queue drops", "%d", None),
                 ("failures", "failed sessions", "%d", None)]
IDLE_METRICS = [("pss_per_session_kib", "Pss per idle session (KiB)", "%.0f", False),
                ("pss_total_kib", "Pss of the whole server (KiB)", "%.0f", False),
                ("pte_per_session_kib", "page tables per idle session (KiB)", "%.0f", False),
                ("maps_per_process", "mappings per server process (mean)", "%.0f", False),
                ("processes", "server processes", "%d", None),
                ("held", "sessions held", "%d", None),
                ("greet_p99_ms", "connect->220 p99 (ms)", "%.2f", False),
                ("listen_drops", "listen-queue drops", "%d", None)]
LIST_METRICS = [("transfer_median_ms", "time per listing (ms, median)", "%.1f", False),
                ("transfer_first_ms", "first listing after the directory changed (ms)", "%.1f", False),
                ("entries", "entries listed", "%d", None)]
XFER_METRICS = [("mb_per_s", "MB/s", "%.0f", True),
                ("transfer_median_ms", "time (ms)", "%.0f", False),
                ("server_cpu_s", "server's own CPU (s)", "%.2f", False)]
TLS_METRICS = [("mb_per_s", "MB/s", "%.0f", True),
               ("transfer_median_ms", "time (ms)", "%.0f", False),
               ("server_cpu_s", "server's own CPU (s)", "%.2f", False),
               ("client_cpu_s", "client's CPU (s)", "%.2f", None),
               ("client_core_pct", "client's CPU, % of one core", "%.0f%%", None)]
SMALL_METRICS = [("files_per_s", "RETRs/s", "%.0f", True),
                 ("transfer_median_ms", "time per RETR (ms, median)", "%.3f", False),
                 ("failures", "failed", "%d", None)]

SCENARIOS = {
    "rate16": ("rate", {"clients": 16}, RATE_METRICS),
    "rate64": ("rate", {"clients": 64}, RATE_METRICS),
    "rate1000": ("rate", {"clients": 1000}, RATE_METRICS),
    "burst1000": ("burst", {"clients": 1000}, BURST_METRICS),
    "idle200": ("idle", {"clients": 200}, IDLE_METRICS),
    "idle1000": ("idle", {"clients": 1000}, IDLE_METRICS),
    "list": ("list", {"kind": "list"}, LIST_METRICS),
    "mlsd": ("list", {"kind": "mlsd"}, LIST_METRICS),
    "retr": ("xfer", {"kind": "retr"}, XFER_METRICS),
    "stor": ("xfer", {"kind": "stor"}, XFER_METRICS),
    "retr-tls": ("tlsxfer", {"kind": "retr"}, TLS_METRICS),
    "stor-tls": ("tlsxfer", {"kind": "stor"}, TLS_METRICS),
    "small": ("small", {"count": 10000}, SMALL_METRICS),
}
TITLES = {"rate16": "Session rate, 16 clients", "rate64": "Session rate, 64 clients",
          "rate1000": "Session rate, 1,000 clients",
          "burst1000": "1,000 clients at once, at rest", "idle200": "Idle memory, 200 sessions",
          "idle1000": "Idle memory, 1,000 sessions", "list": "LIST of 10,000 entries",
          "mlsd": "MLSD of 10,000 entries", "retr": "RETR of 1 GiB", "stor": "STOR of 1 GiB",
          "retr-tls": "RETR of 1 GiB over TLS", "stor-tls": "STOR of 1 GiB over TLS",
          "small": "10,000 RETRs of 4 KiB in one session"}


def log(text):
    print(time.strftime("%H:%M:%S ") + text, flush=True)


# ---- Machine counters --------------------------------------------------------------------------
def time_wait(ports=None):
    """Sockets in TIME_WAIT on the machine, or only those on one of the
    ports or in the passive range (either end)."""
    argv = ["ss", "-tanH", "state", "time-wait"]
    if ports:
        ends = ["sport = :%d or dport = :%d" % (p, p) for p in ports]
        ends.append("sport >= :%d or dport >= :%d" % (peers.PASV_LOW, peers.PASV_LOW))
        argv.append("( %s )" % " or ".join(ends))
    out = subprocess.run(argv, capture_output=True, text=True).stdout
    return out.count("\n")


def sockstat_time_wait():
    """The machine's TIME_WAIT count, cheaply (ss takes a while with many)."""
    with open("/proc/net/sockstat") as f:
        for line in f:
            if line.startswith("TCP:"):
                fields = line.split()
                return int(fields[fields.index("tw") + 1])
    return 0


def cpu_jiffies():
    """(busy, total) jiffies of the whole machine."""
    with open("/proc/stat") as f:
        fields = [int(x) for x in f.readline().split()[1:]]
    idle = fields[3] + fields[4]
    return sum(fields[:8]) - idle, sum(fields[:8])


def listen_drops():
    with open("/proc/net/netstat") as f:
        lines = f.read().splitlines()
    for head, values in zip(lines[::2], lines[1::2]):
        if head.startswith("TcpExt:"):
            table = dict(zip(head.split()[1:], (int(v) for v in values.split()[1:])))
            return table.get("ListenDrops", 0), table.get("ListenOverflows", 0)
    return 0, 0


def drain(limit, threshold, ports):
    """Waits until the benchmark's own TIME_WAIT sockets (other work on the
    machine has its own) are down to the threshold, at most limit seconds."""
    deadline = time.monotonic() + limit
    count = time_wait(ports)
    while count > threshold and time.monotonic() < deadline:
        time.sleep(1)
        count = time_wait(ports)
    return count


# ---- Runs ----------------------------------------------------------------------------------------
class Runner:
    def __init__(self, args, bench):
        self.args = args
        self.bench = bench
        self.ftpload = os.path.join(args.build, "zorvad_ftpload")
        self.tlsload = os.path.join(args.build, "zorvad_tlsload")
        self.proc = None
        self.resting = {}       # a server's process count at rest, taken after its start

    def load(self, server, options, stdin=None, client=None):
        argv = [client or self.ftpload, "-p", str(server.port), *options]
        self.proc = subprocess.Popen(argv, stdin=stdin or subprocess.DEVNULL, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, text=True, preexec_fn=peers.set_priority)
        return self.proc

    @staticmethod
    def parse(text):
        result, failures = {}, {}
        for line in text.splitlines():
            key, _, value = line.partition(" ")
            if key == "fail":
                what, count = value.rsplit(" ", 1)
                failures[what] = int(count)
            elif key == "ticks":
                result["ticks"] = [int(v) for v in value.split()]
            else:
                try:
                    result[key] = float(value)
                except ValueError:
                    result[key] = value
        result["failure_kinds"] = failures
        return result

    def finish(self, proc, timeout):
        try:
            out, err = proc.communicate(timeout=timeout)
        except subprocess.TimeoutExpired:
            proc.kill()
            out, err = proc.communicate()
            raise RuntimeError("zorvad_ftpload did not finish within %d s" % timeout)
        finally:
            self.proc = None
        if proc.returncode != 0:
            raise RuntimeError("zorvad_ftpload failed (%d): %s" % (proc.returncode, err.strip()))
        return self.parse(out)

    def measured(self, server, options, timeout, sample=False, client=None, settle=False):
        """Runs the load generator (or client) with the machine counters
        around it; with sample, the TIME_WAIT count of every second of the run
        as well.  With settle the server's CPU is read once the session's
        process was reaped (its CPU counts only then)."""
        processes = len(server.processes())
        pids = server.processes()
        before = {"tw": time_wait(), "cpu": cpu_jiffies(), "drops": listen_drops(),
                  "server": peers.cpu_seconds(pids), "faults": peers.minor_faults(pids)}
        start = time.monotonic()
        proc = self.load(server, options, client=client)
        samples = []
        while sample and proc.poll() is None and time.monotonic() < start + timeout:
            samples.append(sockstat_time_wait())
            time.sleep(max(0.0, start + len(samples) - time.monotonic()))
        r = self.finish(proc, timeout)
        elapsed = time.monotonic() - start
        if sample:
            r["tw_samples"] = samples
        busy = cpu_jiffies()[0] - before["cpu"][0]
        if settle:
            until = time.monotonic() + 3
            while len(server.processes()) > processes and time.monotonic() < until:
                time.sleep(0.02)
        pids = server.processes()
        r["server_cpu_s"] = peers.cpu_seconds(pids) - before["server"]
        own, reaped = peers.minor_faults(pids)
        r["server_faults"] = own + reaped - sum(before["faults"])
        r["server_faults_reaped"] = reaped - before["faults"][1]
        drops = listen_drops()
        hz = os.sysconf("SC_CLK_TCK")
        r.update(tw_before=before["tw"], tw_after=time_wait(),
                 listen_drops=max(drops[0] - before["drops"][0], drops[1] - before["drops"][1]),
                 machine_cpu_s=busy / hz, wall_s=elapsed)
        client_cpu = r.get("cpu_user_s", 0) + r.get("cpu_sys_s", 0)
        r["client_cpu_s"] = client_cpu
        r["client_cpu_share"] = 100.0 * client_cpu / (busy / hz) if busy else 0.0
        r["client_core_pct"] = 100.0 * client_cpu / elapsed if elapsed else 0.0
        return r

    # ---- scenario kinds ----
    def run_rate(self, server, clients):
        a = self.args
        r = self.measured(server, ["-c", str(clients), "-d", str(a.duration), "-w", str(a.warmup),
                                   "-x", "retr", "-f", peers.SMALL_FILE], a.duration + 60, sample=True)
        r["steady_rate"] = steady_rate(r.get("ticks", []), a.duration, a.warmup, a.steady)
        if r.get("sessions"):
            r["cpu_ms_per_session"] = 1000.0 * r["machine_cpu_s"] / r["sessions"]
            r["server_cpu_ms_per_session"] = 1000.0 * r["server_cpu_s"] / r["sessions"]
            r["server_faults_per_session"] = r["server_faults"] / r["sessions"]
            r["server_faults_reaped_per_session"] = r["server_faults_reaped"] / r["sessions"]
            r["client_cpu_ms_per_session"] = 1000.0 * (r["cpu_user_s"] + r["cpu_sys_s"]) / r["sessions"]
        return r

    def run_burst(self, server, clients):
        # At rest: a server that keeps a pool has let its extra children go.
        rest = self.resting.get(server.name, 0)
        deadline = time.monotonic() + 60
        while len(server.processes()) > rest and time.monotonic() < deadline:
            time.sleep(0.5)
        before = len(server.processes())
        r = self.measured(server, ["-c", str(clients), "-S", str(clients), "-K", "-t", "30",
                                   "-x", "retr", "-f", peers.SMALL_FILE], 120)
        r["processes_before"] = before
        return r

    def run_idle(self, server, clients):
        before = {"drops": listen_drops(), "tw": time_wait()}
        proc = self.load(server, ["-c", str(clients), "-H", "-r", str(self.args.ramp), "-t", "60"],
                         stdin=subprocess.PIPE)
        line = proc.stdout.readline()
        if not line.startswith("ready"):
            proc.kill()
            proc.communicate()
            self.proc = None
            raise RuntimeError("zorvad_ftpload: no ready line (%r)" % line)
        time.sleep(1)               # lets the last sessions settle after their 230
        pids = server.processes()
        pss = peers.pss_kib(pids)
        pte, maps = peers.page_tables(pids)
        r = self.finish(proc, 120)   # (closing its standard input ends the sessions)
        drops = listen_drops()
        held = int(line.split()[1])
        r.update(pss_total_kib=pss, processes=len(pids), held=held, tw_before=before["tw"],
                 listen_drops=max(drops[0] - before["drops"][0], drops[1] - before["drops"][1]),
                 pss_per_session_kib=pss / held if held else 0,
                 pte_per_session_kib=pte / held if held else 0,
                 maps_per_process=maps / len(pids) if pids else 0)
        return r

    def run_list(self, server, kind):
        # A file made and removed changes the directory, so that a server's
        # listing cache must start afresh.
        marker = os.path.join(self.bench.anon, peers.LIST_DIR, ".changed")
        open(marker, "w").close()
        os.unlink(marker)
        if self.args.cold:
            # The first listing then reads the directory and every inode
            # from the disk, as after a reboot or under memory pressure.
            os.sync()
            with open("/proc/sys/vm/drop_caches", "w") as f:
                f.write("3\n")
        r = self.measured(server, ["-S", "1", "-n", str(self.args.list_repeat), "-x", kind,
                                   "-f", peers.LIST_DIR], 600)
        # MLSD's cdir/pdir facts lines are part of the answer; the entries
        # are the lines of one listing.
        if r.get("transfers"):
            r["entries"] = r["lines"] / r["transfers"]
        return r

    def run_xfer(self, server, kind):
        if kind == "retr":
            options = ["-x", "retr", "-f", peers.BIG_FILE]
        else:
            options = ["-x", "stor", "-f", "up.bin", "-s", str(1 << 30),
                       "-u", self.bench.user, "-P", self.bench.password]
        r = self.measured(server, ["-S", "1", "-n", "1", "-t", "300", *options], 600, settle=True)
        try:
            os.unlink(os.path.join(self.bench.home, "up.bin"))
        except FileNotFoundError:
            pass
        return r

    def run_tlsxfer(self, server, kind):
        if kind == "retr":
            options = ["-x", "retr", "-f", peers.BIG_FILE]
        else:
            options = ["-x", "stor", "-f", "up.bin", "-s", str(1 << 30),
                       "-u", self.bench.user, "-P", self.bench.password]
        r = self.measured(server, ["-n", "1", "-t", "300", *options], 600, client=self.tlsload, settle=True)
        try:
            os.unlink(os.path.join(self.bench.home, "up.bin"))
        except FileNotFoundError:
            pass
        return r

    def run_small(self, server, count):
        count = self.args.small_count or count
        r = self.measured(server, ["-S", "1", "-n", str(count), "-x", "retr", "-f", peers.SMALL_FILE],
                          900)
        r["files_per_s"] = r.get("transfers", 0) / r["transfer_total_s"] if r.get("transfer_total_s") else 0
        return r


def steady_rate(ticks, duration, warmup, steady):
    """Sessions per second over the last seconds of the run proper (the
    seconds after it, when sessions in progress end, do not count)."""
    ticks = ticks[:int(duration)]
    tail = ticks[max(int(warmup), len(ticks) - steady):]
    return sum(tail) / len(tail) if tail else 0.0


def median(values):
    values = [v for v in values if v is not None]
    return statistics.median(values) if values else None


def failed_all(r):
    """A run in which every session or transfer failed: its zeros measure
    nothing."""
    done = sum(r.get(k, 0) or 0 for k in ("sessions", "transfers", "held"))
    return r.get("failures", 0) > 0 and done == 0


def summarize(runs, servers):
    """{scenario: {metric: {server: median}}}; runs that failed every
    session count for nothing."""
    table = {}
    for scenario, (_, _, metrics) in SCENARIOS.items():
        rows = {}
        for key, *_ in metrics:
            cells = {}
            for name in servers:
                values = [r[key] for r in runs if r["scenario"] == scenario and r["server"] == name
                          and not failed_all(r) and isinstance(r.get(key), (int, float)) and r[key] >= 0]
                if values:
                    cells[name] = median(values)
            if cells:
                rows[key] = cells
        if rows:
            table[scenario] = rows
    return table


def load_text(runs):
    loads = sorted(r["load_before"] for r in runs if "load_before" in r)
    if not loads:
        return "unknown"
    return "%.1f to %.1f (median %.1f)" % (loads[0], loads[-1], statistics.median(loads))


def ratio_text(cells, better_high, servers):
    own = cells.get("zorvad")
    peer_names = [n for n in servers if not n.startswith("zorvad") and n in cells]
    if own is None or not peer_names or better_high is None:
        return "", None
    best = (max if better_high else min)(cells[n] for n in peer_names)
    best_name = [n for n in peer_names if cells[n] == best][0]
    if best == 0:
        return "(best: %s)" % best_name, None
    return "%.2f× (%s)" % (own / best, best_name), own / best


def failure_warnings(runs, servers):
    """Lines naming every server that failed every session of a scenario."""
    lines = []
    for scenario in SCENARIOS:
        for name in servers:
            mine = [r for r in runs if r["scenario"] == scenario and r["server"] == name]
            if mine and all(failed_all(r) for r in mine):
                kinds = {}
                for r in mine:
                    for what, n in r.get("failure_kinds", {}).items():
                        kinds[what] = kinds.get(what, 0) + n
                lines.append("- **%s failed every session of %s** (%s): its figures there are left out." % (
                    name, scenario, ", ".join("%s ×%d" % kv for kv in sorted(kinds.items())) or "no reply"))
    return lines


def costs_text(costs):
    if not costs:
        return "not measured"
    return ("a fork, exit and wait of a process with 4 MiB of heap takes %.0f µs, a page's first touch "
            "%.1f µs" % (costs["fork_exit_us"], costs["fault_us"]))


def write_markdown(path, table, runs, servers, config):
    out = ["# zorvad benchmark, %s" % config["date"], "",
           "This machine's process costs, measured by the run: %s. The session-rate ratio between "
           "a server that forks per session and one that reuses its processes follows them." %
           costs_text(config.get("costs")), ""]
    warnings = failure_warnings(runs, servers)
    if warnings:
        out += warnings + [""]
    out += ["Medians of the repetitions; the servers ran interleaved on one machine (%s), each repetition "
            "starting with the next server. Load average before the runs: %s."
            % (config["machine"], load_text(runs)), ""]
    for scenario, rows in table.items():
        _, params, metrics = SCENARIOS[scenario]
        reps = max(sum(1 for r in runs if r["scenario"] == scenario and r["server"] == name)
                   for name in servers)
        out += ["## %s (%s)" % (TITLES[scenario], scenario), "",
                "%d repetition(s)." % reps, "",
                "| metric | " + " | ".join(servers) + " | zorvad ÷ best peer |",
                "|---|" + "---|" * (len(servers) + 1)]
        for key, title, fmt, better in metrics:
            if key not in rows:
                continue
            cells = rows[key]
            shown = []
            for name in servers:
                v = cells.get(name)
                failed = any(r["scenario"] == scenario and r["server"] == name for r in runs) and all(
                    failed_all(r) for r in runs if r["scenario"] == scenario and r["server"] == name)
                shown.append("failed" if failed else "–" if v is None else (fmt % v).replace(".0%", "%"))
            out.append("| %s | %s | %s |" % (title, " | ".join(shown), ratio_text(cells, better, servers)[0]))
        failures = {}
        for r in runs:
            if r["scenario"] == scenario:
                for what, n in r.get("failure_kinds", {}).items():
                    failures.setdefault(r["server"], {}).setdefault(what, 0)
                    failures[r["server"]][what] += n
        if failures:
            out += ["", "Failures by step and reply (all repetitions): " + "; ".join(
                "%s: %s" % (name, ", ".join("%s ×%d" % kv for kv in sorted(kinds.items())))
                for name, kinds in failures.items())]
        out += ["", "![%s](%s.png)" % (TITLES[scenario], scenario), ""]
    out += ["## Configuration", ""] + ["- " + line for line in config["notes"]] + [""]
    with open(path, "w") as f:
        f.write("\n".join(out))


def gnuplot(script):
    done = subprocess.run(["gnuplot"], input=script, text=True, capture_output=True)
    if done.returncode != 0:
        log("gnuplot failed: " + done.stderr.strip().splitlines()[-1])


def write_charts(directory, table, runs, servers):
    if not shutil.which("gnuplot"):
        log("gnuplot is missing: no charts")
        return
    for scenario, rows in table.items():
        kind, _, metrics = SCENARIOS[scenario]
        png = os.path.join(directory, scenario + ".png")
        if kind == "rate":
            # Sessions per second over the run, one line per server (the
            # repetition with the median rate).
            series, color = [], 0
            for name in servers:
                mine = sorted((r for r in runs if r["scenario"] == scenario and r["server"] == name
                               and r.get("ticks")), key=lambda r: r.get("rate", 0))
                if mine:
                    run = mine[len(mine) // 2]
                    ticks, tw = run["ticks"], run.get("tw_samples", [])
                    data = os.path.join(directory, ".%s-%s.dat" % (scenario, name))
                    with open(data, "w") as f:
                        f.write("".join("%d %d %s\n" % (i, v, tw[i] if i < len(tw) else "NaN")
                                        for i, v in enumerate(ticks)))
                    color += 1
                    series.append("'%s' using 1:2 with lines lw 2 lc %d title '%s'" % (data, color, name))
                    if tw:
                        series.append("'%s' using 1:3 axes x1y2 with lines dt 2 lc %d title '%s TIME\\_WAIT'"
                                      % (data, color, name))
            if not series:
                continue
            y2 = ""
            if any("TIME" in s for s in series):
                y2 = ("set y2label 'sockets in TIME\\_WAIT on the machine (dashed)'\nset y2tics\n"
                      "set y2range [0:*]\n")
            gnuplot("set terminal pngcairo size 900,500\nset output '%s'\nset title '%s'\n"
                    "set xlabel 'second of the run'\nset ylabel 'sessions ended per second (solid)'\n"
                    "%s"
                    "set key outside bottom center horizontal\n"
                    "set yrange [0:*]\nset grid\nplot %s\n" % (png, TITLES[scenario], y2, ", ".join(series)))
            for name in servers:
                try:
                    os.unlink(os.path.join(directory, ".%s-%s.dat" % (scenario, name)))
                except FileNotFoundError:
                    pass
        else:
            key, title, _, _ = metrics[0]
            cells = rows.get(key, {})
            data = "".join('"%s" %f\n' % (n, cells[n]) for n in servers if n in cells)
            gnuplot("set terminal pngcairo size 700,450\nset output '%s'\nset title '%s'\n"
                    "set ylabel '%s'\nset style fill solid 0.7\nset boxwidth 0.6\nset yrange [0:*]\n"
                    "set grid ytics\nunset key\n$d << EOD\n%sEOD\n"
                    "plot $d using 0:2:xtic(1) with boxes\n" % (png, TITLES[scenario], title, data))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0],
                                     formatter_class=argparse.RawDescriptionHelpFormatter, epilog=__doc__)
    parser.add_argument("scenarios", nargs="*", help="scenarios to run (default: all)")
    parser.add_argument("--build", default=os.path.join(TOP, "build"), help="build tree (default: build/)")
    parser.add_argument("--servers", default=",".join(peers.ORDER), help="comma-separated servers")
    parser.add_argument("--reps", type=int, default=3, help="repetitions (default: 3)")
    parser.add_argument("--rate-reps", type=int, help="repetitions of the session-rate scenarios "
                        "(default: --reps)")
    parser.add_argument("--duration", type=float, help="seconds per session-rate run (default: 75, "
                        "with --quick 5)")
    parser.add_argument("--warmup", type=float, default=3, help="seconds not counted at a run's start")
    parser.add_argument("--steady", type=int, default=15,
                        help="the steady-state rate is that of the last so many seconds (default: 15)")
    parser.add_argument("--drain", type=float, default=70, help="longest wait for TIME_WAIT to drain (s)")
    parser.add_argument("--drain-to", type=int, default=1000,
                        help="count of the benchmark's own TIME_WAIT sockets that counts as drained")
    parser.add_argument("--list-repeat", type=int, default=10, help="listings per LIST/MLSD run")
    parser.add_argument("--cold", action="store_true",
                        help="LIST/MLSD: drop the kernel's page, dentry and inode caches before each run, "
                        "so that its first listing reads from the disk")
    parser.add_argument("--ramp", type=int, default=32,
                        help="idle scenarios: at most so many logins at once (default: 32)")
    parser.add_argument("--small-count", type=int, default=0, help="RETRs in the small-files run")
    parser.add_argument("--before", metavar="BUILD",
                        help="an earlier zorvad build tree, run beside the current one as %s" % peers.BEFORE)
    parser.add_argument("--zorvad-option", action="append", default=[], metavar="'KEY = VALUE'",
                        help="a line added to zorvad's general.cf (repeatable)")
    parser.add_argument("--quick", action="store_true", help="short runs, one repetition, to check it works")
    parser.add_argument("--report", nargs="+", metavar="results.json",
                        help="instead of running, write the table and charts again from these runs "
                        "(several files are merged, a scenario in several is taken from the last; "
                        "--out names the directory)")
    parser.add_argument("--out", help="directory for the results (default: bench/results/<date>)")
    args = parser.parse_args()
    if args.report:
        return report_again(args.report, args.out)
    if args.quick:
        args.reps, args.rate_reps, args.warmup, args.steady = 1, 1, 1, 2
        args.duration = args.duration or 5
        args.drain, args.list_repeat, args.small_count = 5, 2, args.small_count or 1000
    args.duration = args.duration or 75
    unknown = [s for s in args.scenarios if s not in SCENARIOS]
    if unknown:
        parser.error("unknown scenario(s): %s (known: %s)" % (", ".join(unknown), ", ".join(SCENARIOS)))
    scenarios = args.scenarios or list(SCENARIOS)
    servers = [s for s in args.servers.split(",") if s]
    known = peers.ORDER + ((peers.BEFORE,) if args.before else ())
    if [s for s in servers if s not in known]:
        parser.error("servers are among: " + ", ".join(known))
    if args.before:
        args.before = os.path.abspath(args.before)
        if not os.access(os.path.join(args.before, "server", "zorvad"), os.X_OK):
            parser.error("no server/zorvad in " + args.before)
        if peers.BEFORE not in servers:
            servers.insert(1, peers.BEFORE)
    if os.geteuid() != 0:
        sys.exit("run as root (the servers start as root)")
    args.build = os.path.abspath(args.build)
    for binary in ("server/zorvad", "zorvad_ftpload", "zorvad_tlsload", "zorvad_forkcost"):
        if not os.access(os.path.join(args.build, binary), os.X_OK):
            sys.exit("no %s in %s: build it first (sh bench/run.sh builds and runs)" % (binary, args.build))
    stamp = datetime.datetime.now().strftime("%Y-%m-%d-%H%M")
    out = args.out or os.path.join(HERE, "results", stamp)
    os.makedirs(out, exist_ok=True)

    # SIGTERM and SIGHUP end the run through the clean-up below, as Ctrl-C does.
    for sig in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(sig, lambda *_: sys.exit(1))
    costs = machine_costs(args.build)
    log("machine: " + costs_text(costs))
    max_users = 1100 if any(s.endswith("1000") for s in scenarios) else 300
    bench = peers.Bench(args.build, max_users, args.zorvad_option, log=log, before=args.before)
    runner = Runner(args, bench)
    runs = []
    try:
        kinds = {SCENARIOS[s][0] for s in scenarios}
        bench.prepare(big_file=bool(kinds & {"xfer", "tlsxfer"}), list_dir="list" in kinds,
                      tls="tlsxfer" in kinds)
        bench.start_all(servers)
        time.sleep(1)
        runner.resting = {name: len(bench.servers[name].processes()) for name in servers}
        for scenario in scenarios:
            kind, params, _ = SCENARIOS[scenario]
            reps = args.rate_reps if kind == "rate" and args.rate_reps else args.reps
            for rep in range(reps):
                # Each repetition starts with the next server, so that none
                # always runs first after a scenario's set-up or another's.
                for name in servers[rep % len(servers):] + servers[:rep % len(servers)]:
                    if kind == "tlsxfer" and name not in peers.TLS_CAPABLE:
                        continue
                    server = bench.servers[name]
                    if not server.alive():
                        raise RuntimeError("%s has ended" % name)
                    waited = time.monotonic()
                    left = drain(args.drain, args.drain_to, [s.port for s in bench.servers.values()])
                    with open("/proc/loadavg") as f:
                        load = float(f.read().split()[0])
                    r = getattr(runner, "run_" + kind)(server, *params.values())
                    r.update(scenario=scenario, server=name, rep=rep, drained_to=left, load_before=load,
                             drain_wait_s=round(time.monotonic() - waited - r.get("wall_s", 0), 1))
                    runs.append(r)
                    log("%-8s %-9s rep %d: %s" % (scenario, name, rep + 1, brief(r, kind)))
    except KeyboardInterrupt:
        log("interrupted; the runs so far are reported")
    finally:
        if runner.proc and runner.proc.poll() is None:
            runner.proc.kill()
            runner.proc.wait()
        bench.stop()
    if not runs:
        sys.exit(1)
    config = {"date": stamp, "machine": machine_text(), "costs": costs,
              "notes": config_notes(args, bench)}
    with open(os.path.join(out, "results.json"), "w") as f:
        json.dump({"config": config, "args": vars(args), "runs": runs}, f, indent=1)
    report(out, runs, servers, config)


def report(out, runs, servers, config):
    table = summarize(runs, servers)
    write_markdown(os.path.join(out, "results.md"), table, runs, servers, config)
    write_charts(out, table, runs, servers)
    log("results in %s" % out)
    with open(os.path.join(out, "results.md")) as f:
        print(f.read())


def report_again(files, out):
    """results.md and the charts from the runs of earlier results.json files;
    a scenario found in several of them is taken from the last."""
    runs, notes, dates = [], [], []
    for path in files:
        with open(path) as f:
            data = json.load(f)
        again = {r["scenario"] for r in data["runs"]}
        a = data.get("args", {})
        for r in data["runs"]:
            if "ticks" in r and "duration" in a:
                r["steady_rate"] = steady_rate(r["ticks"], a["duration"], a["warmup"], a["steady"])
        runs = [r for r in runs if r["scenario"] not in again] + data["runs"]
        dates.append(data["config"]["date"])
        for note in data["config"]["notes"]:      # a later note on the same subject wins
            subjects = [n.split(":")[0] for n in notes]
            if note.split(":")[0] in subjects:
                notes[subjects.index(note.split(":")[0])] = note
            else:
                notes.append(note)
        machine = data["config"]["machine"]
        costs = data["config"].get("costs", {})
    servers = [n for n in peers.ALL if any(r["server"] == n for r in runs)]
    out = out or os.path.dirname(os.path.abspath(files[0]))
    os.makedirs(out, exist_ok=True)
    config = {"date": ", ".join(dates), "machine": machine, "costs": costs, "notes": notes}
    with open(os.path.join(out, "results.json"), "w") as f:
        json.dump({"config": config, "runs": runs}, f, indent=1)
    report(out, runs, servers, config)


def brief(r, kind):
    if kind == "rate":
        return ("%.0f/s (steady %.0f/s), p99 %.1f ms, CPU/session %.3f ms (server %.3f, %.0f faults), "
                "client %.0f%%, fail %d, drops %d, TIME_WAIT %d->%d" %
                (r.get("rate", 0), r.get("steady_rate", 0), r.get("greet_p99_ms", 0),
                 r.get("cpu_ms_per_session", 0), r.get("server_cpu_ms_per_session", 0),
                 r.get("server_faults_per_session", 0),
                 r.get("client_cpu_share", 0), r.get("failures", 0),
                 r.get("listen_drops", 0), r.get("tw_before", 0), r.get("tw_after", 0)))
    if kind == "burst":
        return ("p50 %.1f ms, p99 %.1f ms, max %.1f ms, all done in %.2f s, %d processes before, fail %d, "
                "drops %d" % (r.get("greet_p50_ms", 0), r.get("greet_p99_ms", 0), r.get("greet_max_ms", 0),
                              r.get("elapsed", 0), r.get("processes_before", 0), r.get("failures", 0),
                              r.get("listen_drops", 0)))
    if kind == "idle":
        return "%d held, %.0f KiB Pss each (%d processes), page tables %.0f KiB each, %.0f maps " \
            "per process, p99 %.1f ms, fail %d" % (
                r["held"], r["pss_per_session_kib"], r["processes"], r.get("pte_per_session_kib", 0),
                r.get("maps_per_process", 0), r.get("greet_p99_ms", 0), r.get("failures", 0))
    if kind == "list":
        return "%.1f ms per listing, %.0f lines, fail %d" % (
            r.get("transfer_median_ms", 0), r.get("entries", 0), r.get("failures", 0))
    if kind == "xfer":
        return "%.0f MB/s, server CPU %.2f s, fail %d" % (r.get("mb_per_s", 0), r.get("server_cpu_s", 0),
                                                         r.get("failures", 0))
    if kind == "tlsxfer":
        return "%.0f MB/s, server CPU %.2f s, client CPU %.2f s (%.0f%% of a core), %s, fail %d" % (
            r.get("mb_per_s", 0), r.get("server_cpu_s", 0), r.get("client_cpu_s", 0),
            r.get("client_core_pct", 0), r.get("cipher", "?"), r.get("failures", 0))
    return "%.0f RETRs/s, fail %d" % (r.get("files_per_s", 0), r.get("failures", 0))


def machine_costs(build):
    """{"fork_exit_us": .., "fault_us": ..} from zorvad_forkcost."""
    out = subprocess.run([os.path.join(build, "zorvad_forkcost")], capture_output=True, text=True,
                         check=True).stdout
    return {k: float(v) for k, v in (line.split() for line in out.splitlines())}


def machine_text():
    cpus = os.cpu_count()
    kernel = os.uname().release
    return "%d CPUs, Linux %s, loopback" % (cpus, kernel)


def config_notes(args, bench):
    return [
        "Servers: zorvad from %s;%s %s." % (args.build, " %s from %s;" % (peers.BEFORE, args.before)
                                             if args.before else "", ", ".join(
            "%s %s (%s)" % (n, peer_version(n), "unpacked from its package" if b.startswith(bench.work)
                            else b) for n, b in sorted(bench.binaries.items()))),
        "Passive ports %d-%d, a share for each server (%s), outside the client's source ports %d-%d." % (
            peers.PASV_LOW, peers.PASV_HIGH,
            ", ".join("%s %d-%d" % (n, *peers.pasv_range(n)) for n in peers.ALL), *peers.local_port_range()),
        "Anonymous sessions unless noted; STOR as a system user made for the run.",
        "Session runs: %g s each, the first %g s not counted; the steady-state rate is the mean "
        "of the last %d s. Before every run the TIME_WAIT sockets on the servers' ports and the "
        "passive range drained to %d (waiting at most %g s); the TIME_WAIT counts in the tables "
        "are of the whole machine." % (
            args.duration, args.warmup, args.steady, args.drain_to, args.drain),
        "Machine CPU per session: all CPU time of the machine (the load generator and any other "
        "work on it included) over the run, from /proc/stat, divided by the sessions. Server's own "
        "CPU: user and system time of every server process and of the children it reaped "
        "(/proc/<pid>/stat), which leaves out softirq work not charged to a process.",
        "Listen-queue drops: the larger of TcpExt ListenDrops and ListenOverflows over the run.",
        "Idle memory: Pss from smaps_rollup summed over every process of the server, divided by "
        "the sessions held; page tables (VmPTE, not part of Pss) likewise; mappings: lines of "
        "/proc/<pid>/maps, the mean over the server's processes.",
        "LIST/MLSD: %d listings per run; %s" % (
            args.list_repeat, "the kernel's page, dentry and inode caches were dropped before every run "
            "(--cold), so the first listing read from the disk." if args.cold else
            "the directory was changed before every run, so the first listing found no server cache "
            "(the kernel's caches were warm)."),
        "zorvad extra options: %s." % ("; ".join(args.zorvad_option) or "none"),
        "TLS scenarios (when run): every server offers AUTH TLS with one self-signed P-256 "
        "certificate made for the run (zorvad tls = allowed; vsftpd ssl_enable with "
        "ssl_ciphers=HIGH and its require_ssl_reuse; pure-ftpd -Y 1); the client "
        "zorvad_tlsload (OpenSSL, 256 KiB read-ahead and writes) resumes the control "
        "connection's session on the data connection and reports its own CPU. proftpd-core "
        "has no TLS module and is left out of them.",
        "Every server and the load generator run at niceness %d (zorvad's default), so that other "
        "work on the machine weighs on all alike." % peers.NICE,
        "vsftpd runs with isolate_network=NO (a network namespace per session costs more than the "
        "session, and its teardown falls into the next server's run); proftpd's TCPBacklog is 255 "
        "(its largest); zorvad's listen-backlog-size is 1024.",
    ]


def peer_version(name):
    """The version of a peer's package: the installed one, else the one
    apt-get download fetched (the candidate)."""
    text = subprocess.run(["apt-cache", "policy", peers.PEERS[name][0]], capture_output=True,
                          text=True).stdout
    found = dict(line.strip().split(": ", 1) for line in text.splitlines()
                 if line.strip().startswith(("Installed: ", "Candidate: ")))
    installed = found.get("Installed", "(none)")
    return installed if installed != "(none)" else found.get("Candidate", "")


if __name__ == "__main__":
    main()
