"""Running under a service manager: the readiness message on the manager's
notify socket, the unit file, and the manual pages."""
import glob
import os
import shutil
import signal
import socket
import subprocess
import tempfile

import pytest

from conftest import listening, wait_for

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
