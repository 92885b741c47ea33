"""Running under a service manager: the readiness message on the manager's
notify socket, the unit file, the logrotate file and the manual pages."""
import datetime
import glob
import gzip
import os
import re
import shutil
import signal
import socket
import subprocess
import tempfile

import pytest

from conftest import BIN_DIR, ZORVAD, listening, wait_for

TOP = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


@pytest.mark.parametrize("mode", ["foreground-path", "foreground-abstract", "detached-path"])
def test_the_master_tells_the_manager_it_is_ready_once_it_listens(server, zorvad_dir, mode):
    receiver = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    if mode.endswith("abstract"):
        name = "zorvad-notify-%d-%s" % (os.getpid(), os.path.basename(zorvad_dir))
        receiver.bind("\0" + name)
        notify = "@" + name
    else:
        notify = os.path.join(zorvad_dir, "notify.sock")
        receiver.bind(notify)
    receiver.settimeout(20)
    detached = mode.startswith("detached")
    with receiver:
        s = server(args=["-d"] if detached else [], wrapper=("env", "NOTIFY_SOCKET=" + notify),
                   wait=False)
        message = receiver.recv(4096).decode()
        ready_and_listening = listening(s.port)
    fields = dict(line.split("=", 1) for line in message.splitlines())
    assert fields["READY"] == "1" and ready_and_listening
    master = int(fields["MAINPID"])
    if detached:
        assert s.proc.wait(20) == 0 and master != s.proc.pid
    else:
        assert master == s.proc.pid
    assert master in s.processes()
    assert s.greeted().greeting.startswith("220 ")
    s.close_controls()
    if detached:
        os.kill(master, signal.SIGTERM)
        assert wait_for(lambda: not os.path.exists("/proc/%d" % master) and not s.processes(), 15)


def test_without_a_manager_nothing_is_sent_and_start_up_is_unchanged(server):
    s = server()
    assert s.greeted().greeting.startswith("220 ")
    assert "notify" not in s.log().lower()


@pytest.mark.skipif(shutil.which("systemd-analyze") is None, reason="systemd-analyze is not installed")
def test_the_unit_file_passes_systemd_analyze_verify():
    with tempfile.TemporaryDirectory() as d:
        src = os.path.join(TOP, "dist", "zorvad.service")
        text = open(src).read()
        zorvad = os.path.join(os.environ.get("ZORVAD_BIN_DIR", "/work/main/build"), "server", "zorvad")
        text = text.replace("/usr/sbin/zorvad", zorvad)
        unit = os.path.join(d, "zorvad.service")
        with open(unit, "w") as f:
            f.write(text)
        r = subprocess.run(["systemd-analyze", "verify", "--man=no", unit],
                           capture_output=True, text=True, timeout=60)
        assert r.returncode == 0 and r.stderr == "", r.stderr


def _log_names(day):
    """The day's log files as the shipped configuration names them."""
    names = []
    for cf in ("general.cf", "domain.cf"):
        with open(os.path.join(TOP, "conf", cf)) as f:
            for line in f:
                m = re.match(r"log-\w+ = @LOGDIR@/(\S+)$", line)
                if m:
                    names.append(day.strftime(m.group(1).replace("@SETNAME@", "main")))
    return names


@pytest.mark.skipif(shutil.which("logrotate") is None, reason="logrotate is not installed")
def test_logrotate_compresses_the_logs_of_past_days_and_expires_old_archives():
    today = datetime.datetime.now()
    ago = lambda days: today - datetime.timedelta(days=days)  # noqa: E731
    with tempfile.TemporaryDirectory() as d:
        logs = os.path.join(d, "logs")
        os.mkdir(logs)
        with open(os.path.join(TOP, "dist", "zorvad.logrotate")) as f:
            text = f.read()
        assert text.count("/var/log/zorvad/") == 2
        conf = os.path.join(d, "zorvad.logrotate")
        with open(conf, "w") as f:
            f.write(text.replace("/var/log/zorvad/", logs + "/"))

        def make(name, data, days):
            path = os.path.join(logs, name)
            with open(path, "wb") as f:
                f.write(data)
            stamp = ago(days).timestamp()
            os.utime(path, (stamp, stamp))
            return path

        current = _log_names(today)
        past = _log_names(ago(2))
        assert len(current) == 4
        for name in current:
            make(name, b"written today\n", 0)
        for name in past:
            make(name, b"last written two days ago\n", 2)
        expired = make(_log_names(ago(70))[0] + ".1.gz", gzip.compress(b"old\n"), 70)
        recent = make(_log_names(ago(30))[0] + ".1.gz", gzip.compress(b"recent\n"), 30)
        # Yesterday's daily run saw every file (a file logrotate first meets
        # is only recorded, not rotated).
        state = os.path.join(d, "state")
        with open(state, "w") as f:
            f.write("logrotate state -- version 2\n")
            for name in os.listdir(logs):
                f.write('"%s" %s\n' % (os.path.join(logs, name), ago(1).strftime("%Y-%-m-%-d-%-H:%-M:%-S")))
        os.chmod(state, 0o600)

        r = subprocess.run(["logrotate", "-s", state, conf], capture_output=True, text=True, timeout=60)
        assert r.returncode == 0 and r.stderr == "", r.stderr
        expected = set(current) | {name + ".1.gz" for name in past} | {os.path.basename(recent)}
        assert set(os.listdir(logs)) == expected and not os.path.exists(expired)
        for name in past:
            with gzip.open(os.path.join(logs, name + ".1.gz")) as f:
                assert f.read() == b"last written two days ago\n"


def _pages():
    return sorted(glob.glob(os.path.join(TOP, "man", "*.[1-8]")))


def test_every_program_and_file_has_a_manual_page():
    names = {os.path.basename(p) for p in _pages()}
    assert names == {"zorvad.8", "general.cf.5", "domain.cf.5", "zorvad_passwd.8", "zorvad_repquota.8",
                     "zorvad_edquota.8", "zorvad_spy.8", "pwcheck.8"}


@pytest.mark.skipif(shutil.which("man") is None or shutil.which("groff") is None,
                    reason="man and groff are not installed")
@pytest.mark.parametrize("page", [os.path.basename(p) for p in _pages()])
def test_the_manual_page_formats_without_warnings(page):
    path = os.path.join(TOP, "man", page)
    r = subprocess.run(["man", "--warnings", "-E", "UTF-8", "-l", path], capture_output=True, text=True,
                       timeout=60, env={**os.environ, "MANWIDTH": "80", "MAN_KEEP_STDERR": "1", "LC_ALL": "C.UTF-8"})
    assert r.returncode == 0 and r.stderr == "", r.stderr
    assert "NAME" in r.stdout and "DESCRIPTION" in r.stdout


def test_the_key_lists_of_the_manual_pages_match_the_key_tables():
    r = subprocess.run([os.path.join(TOP, "scripts", "mankeys.py"), "--check"], capture_output=True,
                       text=True, timeout=60)
    assert r.returncode == 0, r.stderr


# Each program's page and how to make the program print its usage text.
USAGES = {
    "zorvad.8": [ZORVAD],
    "zorvad_spy.8": [os.path.join(BIN_DIR, "tools", "spy", "zorvad_spy")],
    "zorvad_passwd.8": [os.path.join(BIN_DIR, "tools", "passwd", "zorvad_passwd"), "-h"],
    "zorvad_repquota.8": [os.path.join(BIN_DIR, "tools", "quota", "zorvad_repquota"), "-h"],
    "zorvad_edquota.8": [os.path.join(BIN_DIR, "tools", "quota", "zorvad_edquota"), "-h"],
    "pwcheck.8": [os.path.join(BIN_DIR, "tools", "pwcheck", "pwcheck")],
}

# Text of the sources that a reader of a page must never meet.
LEAKS = [r"->", r"internal value", r"\\\(", r"\\f", r"= -1\b", r"\bg[A-Z][a-z]\w*", r"\\e"]


def _rendered(page):
    r = subprocess.run(["man", "-E", "ascii", "-l", os.path.join(TOP, "man", page)], capture_output=True,
                       text=True, timeout=60, env={**os.environ, "MANWIDTH": "80", "LC_ALL": "C.UTF-8"})
    assert r.returncode == 0, r.stderr
    return re.sub(r".\x08", "", r.stdout)


def _items(text):
    """The tagged paragraphs of a rendered page: (tag, body) pairs."""
    items = []
    for line in text.splitlines():
        if re.match(r" {7}\S", line):
            if re.match(r" {7}\S{1,6} +\S", line) and line[13] == " " and line[14] != " ":
                tag, rest = line[7:13], line[14:]    # a short tag with its paragraph beside it
            else:
                tag, _, rest = line.strip().partition("  ")
            items.append([tag.strip(), rest.strip()])
        elif re.match(r" {14}\S", line) and items:
            items[-1][1] += " " + line.strip()
        elif not line.strip() and items:
            items.append(["", ""])
    return [(t, b.strip()) for t, b in items if t]


def _table_keys(path, start):
    src = open(os.path.join(TOP, path)).read()
    table = src[src.index(start):]
    return re.findall(r'^\s*(?:\w+\(|\{)"([^"]+)"', table[:table.index("\n};")], re.M)


@pytest.mark.skipif(shutil.which("man") is None or shutil.which("groff") is None,
                    reason="man and groff are not installed")
def test_the_manual_pages_describe_every_option_and_key_in_plain_words():
    problems = []
    for page in [os.path.basename(p) for p in _pages()]:
        text = _rendered(page)
        for leak in LEAKS:
            for m in re.finditer(leak, text):
                problems.append("%s: %r" % (page, text[max(0, m.start() - 30):m.end() + 30]))
        if page in USAGES:
            r = subprocess.run(USAGES[page], capture_output=True, text=True, timeout=20, stdin=subprocess.DEVNULL,
                               env={"PATH": "/usr/bin:/bin"})
            usage = re.sub(r"\([^)]*\)", "", r.stdout + r.stderr)    # remarks, such as "like tail -f"
            offered = set(re.findall(r"(?<![\w-])-([A-Za-z0-9@])(?![\w-])", usage))
            assert offered, usage
            described = {o for tag, _ in _items(text) if tag.startswith("-")
                         for o in re.findall(r"(?<![\w-])-([A-Za-z0-9@])(?![\w-])", tag)}
            problems += ["%s: option -%s of the usage text is not described" % (page, o)
                         for o in sorted(offered - described)]
    for page, path, start in (("general.cf.5", "server/config/config.cc", "constexpr ConfigKey gOptionNames[]"),
                              ("domain.cf.5", "server/config/domain.cc", "constexpr DomainKey kDomainKeys[]")):
        items = dict(_items(_rendered(page)))
        for key in _table_keys(path, start):
            if key not in items:
                problems.append("%s: key %s missing" % (page, key))
                continue
            # What the key does, besides the kind of its value and its default.
            said = [s for s in re.split(r"(?<=\.)\s+", items[key])
                    if not s.startswith("Value:") and "default:" not in s.lower()]
            if len(" ".join(said).split()) < 5:
                problems.append("%s: key %s not explained: %r" % (page, key, items[key]))
    assert not problems, "\n".join(problems)
