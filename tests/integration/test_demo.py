"""The demonstration server of scripts/demo.sh, on a port and in a directory
of the test's own: the three things a newcomer tries first, and its stop."""
import os
import socket
import subprocess

from conftest import BIN_DIR, free_port, processes_with, shm_key, shm_read, wait_for

TOP = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def curl(*args):
    return subprocess.run(["curl", "-sS", "--max-time", "20", *args], capture_output=True, timeout=60)


def test_the_demo_serves_anonymous_downloads_uploads_and_a_virtual_user(zorvad_dir):
    port = free_port()
    demo = os.path.join(zorvad_dir, "demo")
    upload = os.path.join(zorvad_dir, "upload.txt")
    with open(upload, "wb") as f:
        f.write(b"uploaded by a newcomer\n")
    receiver = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    receiver.bind(os.path.join(zorvad_dir, "notify.sock"))
    receiver.settimeout(60)
    env = {**os.environ, "ZORVAD_DEMO_DEPS": "0", "ZORVAD_DEMO_DETACH": "1", "ZORVAD_DEMO_BUILD": BIN_DIR,
           "ZORVAD_DEMO_DIR": demo, "ZORVAD_DEMO_PORT": str(port),
           "NOTIFY_SOCKET": os.path.join(zorvad_dir, "notify.sock")}
    with receiver:
        r = subprocess.run(["sh", os.path.join(TOP, "scripts", "demo.sh")], env=env, capture_output=True,
                           text=True, timeout=600)
        assert r.returncode == 0, r.stdout + r.stderr
        assert "READY=1" in receiver.recv(4096).decode().splitlines()
    url = "ftp://127.0.0.1:%d/" % port
    try:
        readme = curl(url + "pub/README")
        anonymous = curl("-T", upload, url + "incoming/")
        virtual = curl("-T", upload, url.replace("//", "//demo:demo@"))
    finally:
        subprocess.run(["sh", os.path.join(demo, "zorvad-%d.pid.sh" % port)], capture_output=True,
                              timeout=60)
    assert readme.returncode == 0 and readme.stdout == b"Welcome to the Zorvad demonstration server.\n", readme.stderr
    assert anonymous.returncode == 0, anonymous.stderr
    assert virtual.returncode == 0, virtual.stderr
    # Each upload is where the user kind puts it, owned by the account its
    # session ran as, never by root.
    for path in (os.path.join(demo, "ftp", "incoming", "upload.txt"),
                 os.path.join(demo, "home", "demo", "upload.txt")):
        with open(path, "rb") as f:
            assert f.read() == b"uploaded by a newcomer\n"
        assert os.stat(path).st_uid != 0
    assert os.stat(os.path.join(demo, "home", "demo", "upload.txt")).st_uid == 65534
    # The stop script the demo names ends every process and the status area.
    assert wait_for(lambda: not processes_with(demo), 15) and shm_read(shm_key(port)) is None
