"""Uploads: STOR, APPE and STOU by users with each kind of permission, the
anonymous incoming directory, unique and temporary names, restart offsets,
TYPE A, locks, automatic modes, the transfer-log records, a 1 GiB file and
real clients (curl, ftplib, lftp)."""
import fcntl
import hashlib
import io
import os
import signal
import socket
import stat
import struct
import subprocess
import time

import pytest

from accounts import users  # noqa: F401 (fixture)
from conftest import wait_for
from xferhelp import (PASV_REPLY, anon_login, curl, domain, lftp, open_pasv, records, sha256_file, sparse_file, stor,
                      tree_digest, user_login, wait_records, write_file)

DENIED = "553 Permission denied.\r\n"
DONE = "226 Transfer completed.\r\n"


def payload(n, seed=b"stor"):
    blocks = (n + 31) // 32
    return b"".join(hashlib.sha256(seed + str(i).encode()).digest() for i in range(blocks))[:n]


def user_session(server, users, general="", **kw):
    u = users(**kw)
    s = server(general=general, domain=domain())
    c = s.greeted()
    user_login(c, u)
    c.command("TYPE I")
    return s, u, c


def anon_session(server, general="", args=()):
    s = server(general=general, domain=domain(), args=args)
    incoming = os.path.join(s.dir, "ftp", "incoming")
    os.makedirs(incoming)
    os.chmod(incoming, 0o777)
    os.chown(incoming, 65534, 65534)
    c = s.greeted()
    anon_login(c)
    c.command("TYPE I")
    return s, incoming, c


def content(path):
    with open(path, "rb") as f:
        return f.read()


# ---- Users with accounts ---------------------------------------------------------------------

@pytest.mark.parametrize("args, tag", [(["--disable-epsv"], "Ps"), (["--ftp-port", "127.0.0.1"], "Po")],
                         ids=["passive", "active"])
def test_curl_uploads_and_the_record_tells_it(server, users, zorvad_dir, args, tag):
    u = users()
    s = server(domain=domain())
    data = payload(400000)
    src = write_file(os.path.join(zorvad_dir, "src.bin"), data)
    r = curl(s.port, "/up.bin", "-T", src, *args, user="%s:%s" % (u.name, u.password))
    assert r.returncode == 0, r.stderr
    target = os.path.join(u.home, "up.bin")
    assert content(target) == data
    assert os.stat(target).st_uid == u.uid
    rec = wait_records(s, 1)[0]
    assert rec[0] == "S"
    assert rec[1] == target
    assert rec[2] == "400000"
    assert rec[5] == u.name
    assert rec[9] == "OK"
    assert rec[10] == "I"
    assert rec[11] == tag
    assert rec[14] == "-1"
    assert rec[15] == "0"


def test_stor_replaces_and_appe_appends(server, users):
    s, u, c = user_session(server, users)
    assert stor(c, "STOR f", b"first")[1] == DONE
    assert stor(c, "STOR f", b"second")[1] == DONE
    assert content(os.path.join(u.home, "f")) == b"second"
    assert stor(c, "APPE f", b"+more")[1] == DONE
    assert content(os.path.join(u.home, "f")) == b"second+more"
    recs = wait_records(s, 3)
    assert recs[1][14] == "5"                         # the size it had
    assert recs[2][11] == "ApPs"


def test_an_empty_upload_over_an_empty_file_still_marks_it_modified(server, users):
    # An empty file is not cut before the upload (a cut makes ext4 write out
    # the whole upload at its close); it must still look replaced.
    s, u, c = user_session(server, users)
    path = os.path.join(u.home, "empty")
    write_file(path, b"")
    os.chown(path, u.uid, u.gid)
    os.utime(path, (1000000000, 1000000000))
    assert stor(c, "STOR empty", b"")[1] == DONE
    st = os.stat(path)
    assert st.st_size == 0 and st.st_mtime > time.time() - 60 and st.st_atime == 1000000000


def test_stor_needs_a_name_and_a_login(server, users):
    s = server(domain=domain())
    c = s.greeted()
    assert c.command("STOR x") == "550 Login first, then I might let you do that.\r\n"
    u = users()
    user_login(c, u)
    assert c.command("STOR") == "501 Syntax error in parameters.\r\n"
    assert c.command("APPE") == "501 Syntax error in parameters.\r\n"
    assert c.command("STOR ../../../etc/x") == DENIED


def test_appe_can_be_switched_off(server, users):
    s, u, c = user_session(server, users, "allow-append = no\n")
    assert c.command("APPE f") == "553 APPE has been disabled here.\r\n"


def test_a_restarted_upload_continues_at_the_end_only(server, users):
    s, u, c = user_session(server, users)
    write_file(os.path.join(u.home, "part"), b"0123456789")
    os.chown(os.path.join(u.home, "part"), u.uid, u.gid)
    assert stor(c, "STOR part", b"abc", rest=10)[1] == DONE
    assert content(os.path.join(u.home, "part")) == b"0123456789abc"
    assert stor(c, "STOR part", b"x", rest=4)[0] == \
        "553 Sorry, you can only append to (RESTart at the end of) this file.\r\n"
    rec = wait_records(s, 2)
    assert rec[0][11] == "PsRz" and rec[0][15] == "10"
    assert rec[1][9] == "PERM"


def test_lftp_resumes_an_upload(server, users, zorvad_dir):
    u = users()
    s = server(domain=domain())
    data = payload(300000)
    src = write_file(os.path.join(zorvad_dir, "src.bin"), data)
    write_file(os.path.join(u.home, "src.bin"), data[:100000])
    os.chown(os.path.join(u.home, "src.bin"), u.uid, u.gid)
    r = lftp(s.port, "put -c %s" % src, user=u)
    assert r.returncode == 0, r.stdout + r.stderr
    assert content(os.path.join(u.home, "src.bin")) == data


def test_stou_picks_the_next_free_name(server, users):
    s, u, c = user_session(server, users)
    for name in ("doc.txt", "doc.txt.2"):
        write_file(os.path.join(u.home, name), b"old")
    assert stor(c, "STOU doc.txt", b"new")[1] == "226 \"doc.txt.3\" transfer completed.\r\n"
    assert content(os.path.join(u.home, "doc.txt.3")) == b"new"
    assert content(os.path.join(u.home, "doc.txt")) == b"old"
    assert wait_records(s, 1)[0][1] == os.path.join(u.home, "doc.txt.3")


def test_ftplib_stou_without_a_name_gets_a_dated_one(server, users):
    u = users()
    s = server(domain=domain())
    f = s.ftp()
    f.login(u.name, u.password)
    reply = f.storbinary("STOU", io.BytesIO(b"anon"))
    expected = time.strftime("f%Y%m%d", time.gmtime())
    assert reply in ('226 "%s" transfer completed.' % expected, '226 "%s.2" transfer completed.' % expected)
    assert f.storbinary("STOU", io.BytesIO(b"next")).startswith('226 "%s.' % expected)
    f.quit()


def test_type_a_uploads_get_local_line_ends(server, users, zorvad_dir):
    u = users()
    s = server(domain=domain())
    src = write_file(os.path.join(zorvad_dir, "text.txt"), b"l1\nl2\n")
    r = curl(s.port, "/text.txt", "-T", src, "-B", user="%s:%s" % (u.name, u.password))
    assert r.returncode == 0, r.stderr
    assert content(os.path.join(u.home, "text.txt")) == b"l1\nl2\n"
    c = s.greeted()
    user_login(c, u)
    c.command("TYPE A")
    assert stor(c, "STOR raw.txt", b"a\r\nb\rc\r\r\nd")[1] == DONE
    assert content(os.path.join(u.home, "raw.txt")) == b"a\nb\nc\nd"
    assert stor(c, "STOR raw.txt", b"x", rest=7)[1] == "550 RESTart point not implemented for TYPE A.\r\n"


def test_ascii_uploads_can_be_refused(server, users):
    s, u, c = user_session(server, users, "allow-ascii-uploads = no\n")
    c.command("TYPE A")
    assert c.command("STOR t.txt") == \
        "553 Sorry, this site requires that your FTP client program upload in BINARY mode (not ASCII mode).\r\n"


def test_a_temporary_name_is_renamed_into_place(server, users):
    s, u, c = user_session(server, users, "upload-tmp-then-rename = yes\n")
    write_file(os.path.join(u.home, "doc"), b"old")
    d = open_pasv(c)
    assert c.command("STOR doc").startswith("150 ")
    d.sendall(b"half")
    tmp = os.path.join(u.home, ".upload.doc")
    assert wait_for_file(tmp)
    assert content(os.path.join(u.home, "doc")) == b"old"
    d.sendall(b" and the rest")
    d.close()
    assert c.reply() == DONE
    assert content(os.path.join(u.home, "doc")) == b"half and the rest"
    assert not os.path.exists(tmp)


def wait_for_file(path, timeout=10):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if os.path.exists(path):
            return True
        time.sleep(0.02)
    return False


def test_an_aborted_upload_leaves_no_temporary_file(server, users):
    s, u, c = user_session(server, users, "upload-tmp-then-rename = yes\n")
    d = open_pasv(c)
    assert c.command("STOR doc").startswith("150 ")
    d.sendall(b"partial")
    assert wait_for_file(os.path.join(u.home, ".upload.doc"))
    d.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\x01\x00\x00\x00\x00\x00\x00\x00")
    d.close()                                        # a reset: the client went away
    assert c.reply() == "450 Transfer aborted forcefully by client.\r\n"
    assert not os.path.exists(os.path.join(u.home, ".upload.doc"))
    assert not os.path.exists(os.path.join(u.home, "doc"))
    assert wait_records(s, 1)[0][9] == "ABOR"


def uploading_child(s):
    """The pid of the child serving an upload."""
    def find():
        return [s.slot(i)["pid"] for i in s.busy_children() if s.slot(i)["command"].startswith("Stor ")]
    pids = wait_for(find, 10)
    assert len(pids) == 1, pids
    return pids[0]


def dead(pid):
    """True when the process has ended (its files are closed), reaped or not."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            return f.read().rsplit(")", 1)[1].split()[0] in ("Z", "X")
    except OSError:
        return True


def start_tmp_upload(s, u, data):
    """A session in the middle of a STOR of "doc" through its temporary
    name, data written: (control, data connection)."""
    c = s.greeted()
    user_login(c, u)
    c.command("TYPE I")
    d = open_pasv(c)
    assert c.command("STOR doc").startswith("150 ")
    d.sendall(data)
    tmp = os.path.join(u.home, ".upload.doc")
    assert wait_for(lambda: os.path.exists(tmp) and os.path.getsize(tmp) == len(data)), "no temporary file"
    return c, d


@pytest.mark.parametrize("left_by", ["a-killed-session", "another-user"])
def test_a_stale_temporary_file_does_not_block_the_name(server, users, left_by):
    s, u, c = user_session(server, users, "upload-tmp-then-rename = yes\n")
    tmp = os.path.join(u.home, ".upload.doc")
    if left_by == "a-killed-session":
        _, d = start_tmp_upload(s, u, b"half of it")
        child = uploading_child(s)
        os.kill(child, signal.SIGKILL)
        assert wait_for(lambda: dead(child)), "the child lives on"
        d.close()
    else:
        write_file(tmp, b"planted by root")          # root's file in the user's directory
    assert os.path.exists(tmp)
    assert stor(c, "STOR doc", b"the whole upload")[1] == DONE
    assert content(os.path.join(u.home, "doc")) == b"the whole upload"
    assert not os.path.exists(tmp)


def test_a_temporary_file_in_use_blocks_the_name(server, users):
    s, u, c = user_session(server, users, "upload-tmp-then-rename = yes\n")
    first, d = start_tmp_upload(s, u, b"first ")
    assert stor(c, "STOR doc", b"second")[0] == "550 Could not open: File exists\r\n"
    d.sendall(b"upload")
    d.close()
    assert first.reply() == DONE
    assert content(os.path.join(u.home, "doc")) == b"first upload"
    assert not os.path.exists(os.path.join(u.home, ".upload.doc"))


def test_uploaded_programs_become_executable_with_auto_chmod(server, users):
    s, u, c = user_session(server, users, "u-auto-chmod-uploads = yes\n")
    assert stor(c, "STOR tool", b"#!/bin/sh\necho hi\n")[1] == DONE
    assert stor(c, "STOR notes", b"just text\n")[1] == DONE
    assert stor(c, "STOR run.sh", b"echo\n")[1] == DONE
    assert stat.S_IMODE(os.stat(os.path.join(u.home, "tool")).st_mode) == 0o755
    assert stat.S_IMODE(os.stat(os.path.join(u.home, "notes")).st_mode) == 0o644
    assert stat.S_IMODE(os.stat(os.path.join(u.home, "run.sh")).st_mode) == 0o755


def test_without_auto_chmod_programs_stay_plain(server, users):
    s, u, c = user_session(server, users)
    assert stor(c, "STOR tool", b"\x7fELF\x02\x01\x01")[1] == DONE
    assert stat.S_IMODE(os.stat(os.path.join(u.home, "tool")).st_mode) == 0o644


def test_a_locked_file_is_left_alone_with_lock_uploads(server, users):
    s, u, c = user_session(server, users, "lock-uploads = yes\n")
    path = write_file(os.path.join(u.home, "busy"), b"keep me")
    os.chown(path, u.uid, u.gid)
    with open(path, "rb") as f:
        fcntl.lockf(f, fcntl.LOCK_SH | fcntl.LOCK_NB)
        assert c.command("STOR busy") == "553 File is locked.\r\n"
        assert content(path) == b"keep me"
    assert stor(c, "STOR busy", b"new")[1] == DONE
    assert content(path) == b"new"


def test_a_fifo_is_refused_and_the_session_goes_on(server, users):
    s, u, c = user_session(server, users)
    fifo = os.path.join(u.home, "pipe")
    os.mkfifo(fifo)
    os.chown(fifo, u.uid, u.gid)
    c.sock.settimeout(5)                              # opening it to write would wait for a reader
    assert c.command("STOR pipe") == DENIED
    assert c.command("NOOP").startswith("200 ")
    assert stat.S_ISFIFO(os.lstat(fifo).st_mode)
    assert wait_records(s, 1)[0][9] == "PERM"


EXT4_IOC_SHUTDOWN = 0x8004587D                     # every later call on the file system fails (EIO)


def server_with_a_disk(server, users, zorvad_dir, general):
    """A user whose home holds "disk", an ext4 file system that only the
    server sees (a private mount namespace): (server, user, the disk's
    directory as seen from here)."""
    u = users()
    image = os.path.join(zorvad_dir, "disk.img")
    with open(image, "wb") as f:
        f.truncate(16 << 20)
    subprocess.run(["mkfs.ext4", "-q", "-F", "-E", "root_owner=%d:%d" % (u.uid, u.gid), image], check=True)
    mount_point = os.path.join(u.home, "disk")
    os.mkdir(mount_point)
    wrapper = ["unshare", "-m", "--propagation", "private", "sh", "-c",
               'mount -o loop "$1" "$2" && shift 2 && exec "$@"', "sh", image, mount_point]
    s = server(general=general, domain=domain(), wrapper=wrapper)
    return s, u, "/proc/%d/root%s" % (s.pid, mount_point)


def holding_open(s, path):
    """True when a process of the server has the file (path as the server
    sees it) open."""
    for pid in s.processes():
        try:
            fds = os.listdir("/proc/%d/fd" % pid)
        except OSError:
            continue
        for fd in fds:
            try:
                if os.readlink("/proc/%d/fd/%s" % (pid, fd)) == path:
                    return True
            except OSError:
                pass
    return False


@pytest.mark.parametrize("step, general, size", [
    ("ftruncate", "lock-uploads = yes\n", 0),        # the file is cut once the data connection is open
    ("fsync", "sync-writes = 1\n", 100000),
], ids=["ftruncate", "fsync"])
def test_a_disk_that_fails_before_the_upload_is_safe_fails_the_upload(server, users, zorvad_dir, step, general,
                                                                      size):
    data = payload(size)
    s, u, disk = server_with_a_disk(server, users, zorvad_dir, general)
    path = write_file(os.path.join(disk, "doc"), b"old content")
    os.chown(path, u.uid, u.gid)
    c = s.greeted()
    user_login(c, u)
    c.command("TYPE I")
    m = PASV_REPLY.match(c.command("PASV"))
    c.send("STOR disk/doc")
    assert wait_for(lambda: holding_open(s, os.path.join(u.home, "disk", "doc"))), "the file was not opened"

    def fail_the_disk():
        fd = os.open(disk, os.O_RDONLY)
        try:
            fcntl.ioctl(fd, EXT4_IOC_SHUTDOWN, struct.pack("I", 2))   # without flushing the log
        finally:
            os.close(fd)

    if step == "ftruncate":
        fail_the_disk()
    d = socket.create_connection((".".join(m.group(1, 2, 3, 4)), int(m.group(5)) * 256 + int(m.group(6))), 20)
    with d:
        assert c.reply().startswith("150 ")
        d.sendall(data)
        if step == "fsync":
            assert wait_for(lambda: os.path.getsize(path) == len(data))
            fail_the_disk()
    assert c.reply() == "450 Write error: Input/output error\r\n"
    rec = wait_records(s, 1)[0]
    assert (rec[9], rec[2]) == ("ERROR", str(len(data)))


def test_synchronous_writes(server, users):
    s, u, c = user_session(server, users, "sync-writes = 3\n")
    assert stor(c, "STOR synced", payload(100000))[1] == DONE
    assert content(os.path.join(u.home, "synced")) == payload(100000)


# ---- Permission classes ------------------------------------------------------------------------

def test_an_add_only_user_adds_files_but_changes_none(server, users):
    u = users()
    s = server(general="u-add-only-groups = %s\n" % u.name, domain=domain())
    c = s.greeted()
    user_login(c, u)
    c.command("TYPE I")
    assert stor(c, "STOR new", b"fresh")[1] == DONE
    assert stor(c, "STOR new", b"again")[0] == \
        "553 Permission denied; you may add new files, but not modify existing ones.\r\n"
    assert c.command("APPE new") == "553 Sorry, you are not allowed to append to any file on this system.\r\n"
    assert content(os.path.join(u.home, "new")) == b"fresh"


def test_an_add_only_user_with_append_may_resume_at_the_end(server, users):
    u = users()
    general = ("begin-new-user-class = adders\nu-restricted-groups = %s\n"
               "u-restrict-mode = homedir -*+caCL\n" % u.name)
    s = server(general=general, domain=domain())
    c = s.greeted()
    user_login(c, u)
    c.command("TYPE I")
    assert stor(c, "STOR log", b"12345")[1] == DONE
    assert stor(c, "STOR log", b"678", rest=5)[1] == DONE
    assert content(os.path.join(u.home, "log")) == b"12345678"
    assert stor(c, "STOR log", b"x", rest=2)[0] == \
        "553 Permission denied; you may add new files, but not modify existing ones.\r\n"
    assert c.command("APPE log") == \
        "553 Permission denied; you may add new files, but not APPEnd to existing ones.\r\n"


def test_a_user_without_write_permission_uploads_nothing(server, users):
    s, u, c = user_session(server, users, "u-write-permission = no\n")
    assert c.command("STOR f") == "553 Sorry, you may not upload files to this system.\r\n"


# ---- Anonymous users and the incoming directory ---------------------------------------------------

def test_anonymous_uploads_go_to_the_incoming_directory_only(server):
    s, incoming, c = anon_session(server)
    assert stor(c, "STOR incoming/drop.bin", b"dropped")[1] == DONE
    path = os.path.join(incoming, "drop.bin")
    assert content(path) == b"dropped"
    st = os.stat(path)
    assert (st.st_uid, st.st_gid) == (65534, 65534), "the incoming directory's owner"
    first, last = stor(c, "STOR incoming/drop.bin", b"overwrite")
    assert first == "550 Could not open: File exists\r\n"
    assert content(path) == b"dropped"
    assert c.command("APPE incoming/drop.bin") == \
        "553 Permission denied; you may not append to files in an \"incoming\" directory.\r\n"
    assert c.command("STOR elsewhere.bin") == \
        "553 Permission denied; you may only upload to an \"incoming\" directory.\r\n"
    recs = wait_records(s, 4)
    assert [r[9] for r in recs] == ["OK", "ERROR", "PERM", "PERM"]


@pytest.mark.parametrize("configured", [None, "/uploads"], ids=["default-name", "configured-name"])
def test_a_local_user_cannot_remove_uploads_below_a_sticky_incoming_directory(server, users, configured):
    """The attacker: a local user without privileges, who may drop files into
    the incoming directory (1733, root's) but not remove anyone else's.  An
    anonymous client makes a directory there and uploads into it: the new
    directory keeps the sticky bit, so the local user can still add a file
    there but not remove or replace the anonymous upload.  The incoming
    directory is the one the configuration names, for MKD as for uploads."""
    general = "a-allow-mkdir-inside-incoming = yes\n"
    if configured:
        general += "a-incoming-dir = %s\n" % configured
    s, incoming, c = anon_session(server, general=general)
    name = (configured or "/incoming").lstrip("/")
    box = os.path.join(s.dir, "ftp", name)
    os.makedirs(box, exist_ok=True)
    os.chown(box, 0, 0)
    os.chmod(box, 0o1733)
    assert c.command("MKD %s/sub" % name) == '257 "%s/sub" directory created.\r\n' % name
    assert stor(c, "STOR %s/sub/drop.bin" % name, b"dropped")[1] == DONE
    if configured:
        # A directory that only bears the default name takes no directories.
        assert c.command("MKD incoming/sub").startswith("553 ")
    local = users()
    as_local = ["setpriv", "--reuid", str(local.uid), "--regid", str(local.gid), "--clear-groups", "sh", "-c"]
    sub = os.path.join(box, "sub")
    assert subprocess.run(as_local + ["echo mine > %s/mine" % sub]).returncode == 0
    r = subprocess.run(as_local + ["rm -f %s/drop.bin || mv -f %s/mine %s/drop.bin" % (sub, sub, sub)],
                       capture_output=True)
    assert r.returncode != 0
    with open(os.path.join(sub, "drop.bin"), "rb") as f:
        assert f.read() == b"dropped"


def test_an_anonymous_only_server_gives_uploads_to_the_incoming_directorys_owner_too(server):
    # Its processes live in the anonymous root (no /proc there): the upload
    # still goes to the directory's owner.
    s, incoming, c = anon_session(server, args=["-a"])
    assert stor(c, "STOR incoming/drop.bin", b"dropped")[1] == DONE
    st = os.stat(os.path.join(incoming, "drop.bin"))
    assert (st.st_uid, st.st_gid) == (65534, 65534)


def test_anonymous_uploads_are_refused_without_an_incoming_directory(server):
    s, incoming, c = anon_session(server, "a-allow-incoming = no\n")
    assert c.command("STOR incoming/x") == "553 Permission denied; uploading is not allowed.\r\n"


def test_a_configured_incoming_directory(server):
    s, incoming, c = anon_session(server, "a-incoming-dir = /uploads\n")
    uploads = os.path.join(s.dir, "ftp", "uploads")
    os.makedirs(uploads)
    os.chmod(uploads, 0o777)
    assert stor(c, "STOR uploads/f", b"x")[1] == DONE
    assert c.command("STOR incoming/f") == \
        "553 Permission denied; you may only upload to an \"incoming\" directory.\r\n"


# ---- Big files and real clients ------------------------------------------------------------------

def test_a_one_gib_upload_arrives_intact(server, users, zorvad_dir):
    s, u, c = user_session(server, users)
    src = sparse_file(os.path.join(zorvad_dir, "huge.bin"), 1 << 30)
    d = open_pasv(c)
    assert c.command("STOR huge.bin").startswith("150 ")
    with open(src, "rb") as f:
        d.sendfile(f)
    d.close()
    assert c.reply() == DONE
    target = os.path.join(u.home, "huge.bin")
    try:
        assert os.path.getsize(target) == 1 << 30
        assert sha256_file(target) == sha256_file(src)
    finally:
        os.unlink(target)
        os.unlink(src)


def test_lftp_mirrors_a_tree_up_and_back_down(server, users, zorvad_dir):
    u = users()
    s = server(domain=domain())
    src = os.path.join(zorvad_dir, "tree")
    for i in range(6):
        write_file(os.path.join(src, "d%d" % (i % 3), "f%d.bin" % i), payload(7000 * (i + 1), b"%d" % i))
    write_file(os.path.join(src, "empty"), b"")
    # The directories are there already: uploads are the subject here.
    for d in ("up", "up/d0", "up/d1", "up/d2"):
        os.makedirs(os.path.join(u.home, d))
        os.chown(os.path.join(u.home, d), u.uid, u.gid)
    r = lftp(s.port, "mirror -R %s up" % src, user=u)
    assert r.returncode == 0, r.stdout + r.stderr
    assert tree_digest(os.path.join(u.home, "up")) == tree_digest(src)
    back = os.path.join(zorvad_dir, "back")
    r = lftp(s.port, "mirror up %s" % back, user=u)
    assert r.returncode == 0, r.stdout + r.stderr
    assert tree_digest(back) == tree_digest(src)


def test_a_client_that_stops_sending_times_out_and_the_session_ends(server, users):
    s, u, c = user_session(server, users, "xfer-timeout = 2\n")
    d = open_pasv(c)
    assert c.command("STOR slow").startswith("150 ")
    d.sendall(b"some")
    assert c.reply() == "450 Socket read from client timed-out.\r\n"
    assert c.closed()
    d.close()
    rec = wait_records(s, 1)[0]
    assert rec[9] == "INCOMPLETE" and rec[2] == "4"
