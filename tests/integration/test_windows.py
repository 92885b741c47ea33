"""The Windows utilities under Wine: Scrivlet.dll driven through COM as the
shell drives it, and Vantrel.exe watched from a stand-in notification area.

Needs the cross-built programs (BIN_DIR/windows), wine64 and xvfb-run.  One
64-bit prefix is made per run inside the build tree and removed afterwards;
every Wine run has its own X server and ends its own wineserver."""
import os
import re
import shutil
import subprocess
import tempfile

import pytest

from conftest import BIN_DIR

WIN_DIR = os.path.join(BIN_DIR, "windows")
WINE = "/usr/lib/wine/wine64"
WINESERVER = "/usr/lib/wine/wineserver"
SCRIVLET = os.path.join(WIN_DIR, "Scrivlet", "Scrivlet.dll")
VANTREL = os.path.join(WIN_DIR, "Vantrel", "Vantrel.exe")
SCREEN = "-screen 0 1024x768x24 -nolisten tcp"     # Vantrel centres itself on it

pytestmark = pytest.mark.skipif(
    not (os.path.exists(SCRIVLET) and os.path.exists(VANTREL) and os.path.exists(WINE)
         and shutil.which("xvfb-run")),
    reason="needs the cross-built Windows programs, wine64 and xvfb-run (scripts/deps.sh)")


def dos(path):
    return "Z:" + path.replace("/", "\\")


@pytest.fixture(scope="module")
def prefix():
    path = tempfile.mkdtemp(prefix="wineprefix-", dir=WIN_DIR)
    env = dict(os.environ, WINEPREFIX=path, WINEDEBUG="-all")
    env.pop("DISPLAY", None)
    try:
        subprocess.run(f"{WINE} wineboot --init; {WINESERVER} -w", shell=True, env=env,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=300, check=True)
        yield env
    finally:
        subprocess.run([WINESERVER, "-k"], env=env, stderr=subprocess.DEVNULL, timeout=60)
        subprocess.run([WINESERVER, "-w"], env=env, timeout=60)
        shutil.rmtree(path, ignore_errors=True)


def wine(env, program, *args, netns_setup=None):
    """Runs one Windows program on its own X server; the wineserver it starts
    ends with it, so no helper keeps our pipes open.  With netns_setup, all of
    it runs in a network namespace of its own prepared by those commands."""
    words = " ".join("'" + a.replace("'", "'\\''") + "'" for a in (WINE, program) + args)
    inner = (f"xvfb-run -a -s '{SCREEN}' timeout 120 {words}; rc=$?; "
             f"{WINESERVER} -k 2>/dev/null; {WINESERVER} -w; exit $rc")
    command = ["sh", "-c", inner]
    if netns_setup:
        command = ["unshare", "--net", "sh", "-c", f"{netns_setup} && {inner}"]
    r = subprocess.run(command, env=env, capture_output=True, text=True, timeout=240)
    return r.returncode, r.stdout.replace("\r\n", "\n")


def registry(env, key):
    r = subprocess.run(f"{WINE} reg query '{key}'; rc=$?; {WINESERVER} -w; exit $rc", shell=True,
                       env=env, capture_output=True, text=True, timeout=120)
    values = {}
    for line in r.stdout.replace("\r\n", "\n").splitlines():
        m = re.match(r"\s+(\S+)\s+(REG_\w+)\s+(.*)$", line)
        if m:
            values[m.group(1)] = (m.group(2), m.group(3))
    return values


def test_the_shell_extension_copies_one_selected_pathname(prefix):
    rc, out = wine(prefix, os.path.join(WIN_DIR, "tests", "scrivlet_com_test.exe"), dos(SCRIVLET))
    assert rc == 0 and out.endswith("0 failed checks\n"), out


def test_a_configure_round_pings_the_new_host_and_stores_the_clamped_period(prefix):
    rc, out = wine(prefix, os.path.join(WIN_DIR, "tests", "vantrel_probe.exe"), "configure", dos(VANTREL))
    assert rc == 0, out
    assert 'dialog host "" period "30"' in out
    assert re.search(r'icon answering tip "127\.0\.0\.1: min/avg/max =  (\d+) / \1\.0 / \1 ms,  0% pl"', out), out
    assert "Vantrel00 exit 0" in out
    assert registry(prefix, r"HKCU\Software\Vantrel\Vantrel00") == {
        "ServerName": ("REG_SZ", "127.0.0.1"),
        "Refresh": ("REG_DWORD", "0x5"),                    # 2 entered, 5 at least
        "WindowPosition": ("REG_SZ", "312 256 400 550"),
    }


def test_a_host_that_never_answers_gets_five_quick_pings_then_waits_for_the_period(prefix):
    # Our own loopback, where the kernel answers no echo request.
    setup = "ip link set lo up && sysctl -qw net.ipv4.icmp_echo_ignore_all=1"
    rc, out = wine(prefix, os.path.join(WIN_DIR, "tests", "vantrel_probe.exe"), "silent", dos(VANTREL),
                   netns_setup=setup)
    assert rc == 0, out
    assert 'icon silent tip "Vantrel:  No response from 127.0.0.1"' in out
    assert "requests 5\n" in out                             # the sixth only after 30 s
    times = [int(t) for t in re.findall(r"(\d+) ms: echo request", out)]
    assert all(b - a < 5000 for a, b in zip(times, times[1:])), out   # a second apart, not 30


def test_a_second_instance_takes_the_next_class_name_and_its_own_settings(prefix):
    rc, out = wine(prefix, os.path.join(WIN_DIR, "tests", "vantrel_probe.exe"), "second", dos(VANTREL))
    assert rc == 0, out
    assert "windows Vantrel00 Vantrel01\n" in out
    assert "Vantrel01 exit 0" in out and "Vantrel00 exit 0" in out
    assert registry(prefix, r"HKCU\Software\Vantrel\Vantrel01") == {
        "WindowPosition": ("REG_SZ", "312 256 400 550")}


def test_a_remote_hosts_stream_of_other_icmp_traffic_does_not_hold_one_ping_for_ever(prefix):
    """A remote host sends foreign echo requests five times a second while
    the watched host stays silent: each ping still ends within its seconds,
    so the pings go on (and the window keeps answering)."""
    setup = "ip link set lo up && sysctl -qw net.ipv4.icmp_echo_ignore_all=1"
    rc, out = wine(prefix, os.path.join(WIN_DIR, "tests", "vantrel_probe.exe"), "flood", dos(VANTREL),
                   netns_setup=setup)
    assert rc == 0, out
    assert "Vantrel00 exit 0" in out


def test_a_resized_window_keeps_its_size_and_a_restarted_shell_gets_the_icon_again(prefix):
    rc, out = wine(prefix, os.path.join(WIN_DIR, "tests", "vantrel_probe.exe"), "shell", dos(VANTREL))
    assert rc == 0, out
    assert registry(prefix, r"HKCU\Software\Vantrel\Vantrel00")["WindowPosition"] == ("REG_SZ", "312 256 480 600")
