"""The demonstration server of scripts/demo.sh, run from a copy of the
scripts in a directory nobody but root may enter (as root's home or a
private temporary directory is): the three things a newcomer tries first,
right as the detached script returns, and its stop."""
import glob
import os
import re
import shutil
import subprocess

from conftest import BIN_DIR, free_port, listening, processes_with, shm_key, shm_read, wait_for

TOP = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def curl(*args):
    return subprocess.run(["curl", "-sS", "--max-time", "20", *args], capture_output=True, timeout=60)


def test_the_demo_from_a_private_clone_is_ready_on_return_for_anonymous_and_virtual_users(zorvad_dir):
    port = free_port()
    private = os.path.join(zorvad_dir, "private")
    os.mkdir(private)
    os.chmod(private, 0o700)
    # The demo needs scripts/ and conf/ of a clone; the build tree is the test's.
    clone = os.path.join(private, os.path.basename(zorvad_dir))
    for part in ("scripts", "conf"):
        shutil.copytree(os.path.join(TOP, part), os.path.join(clone, part))
    upload = os.path.join(zorvad_dir, "upload.txt")
    with open(upload, "wb") as f:
        f.write(b"uploaded by a newcomer\n")
    env = {k: v for k, v in os.environ.items() if not k.startswith("ZORVAD_DEMO_")}
    env.update({"ZORVAD_DEMO_DEPS": "0", "ZORVAD_DEMO_DETACH": "1", "ZORVAD_DEMO_BUILD": BIN_DIR,
                "ZORVAD_DEMO_PORT": str(port)})
    # The demo's own directory is named after the clone, whose name is unique.
    leftovers = lambda: glob.glob("/var/tmp/*%s*" % os.path.basename(clone))  # noqa: E731
    try:
        r = subprocess.run(["sh", os.path.join(clone, "scripts", "demo.sh")], env=env, capture_output=True,
                           text=True, timeout=600)
        assert r.returncode == 0, r.stdout + r.stderr
        # Ready as soon as it returns: the stop script is there and the port listens.
        demo = re.search(r"files in (/\S*[^\s.])", r.stdout).group(1)
        stop = os.path.join(demo, "zorvad-%d.pid.sh" % port)
        assert os.path.isfile(stop) and listening(port), r.stdout
        assert not demo.startswith(private + "/") and "sh " + stop in r.stdout
        url = "ftp://127.0.0.1:%d/" % port
        try:
            readme = curl(url + "pub/README")
            anonymous = curl("-T", upload, url + "incoming/")
            virtual = curl("-T", upload, url.replace("//", "//demo:demo@"))
        finally:
            subprocess.run(["sh", stop], capture_output=True, timeout=60)
        assert readme.returncode == 0, readme.stderr
        assert readme.stdout == b"Welcome to the Zorvad demonstration server.\n"
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
    finally:
        for path in leftovers():
            for pid in processes_with(path):
                os.kill(pid, 9)
            shutil.rmtree(path)
