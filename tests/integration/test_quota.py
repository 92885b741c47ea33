"""Disk quotas of virtual users: the limits of the password record refuse
uploads with the exact texts, space freed outside the session comes back at
the next login, other uids' files do not count, the warnings are logged,
and the sessions of one user share one usage that no upload writes past."""
import os
import re
import socket
import stat
import threading

import pytest

from accounts import write_passwd_db
from conftest import wait_for
from test_privileges import GDB, gdb_calls, shared_mappings, sole_holder
from xferhelp import domain, open_pasv, retr, stor

UID = 65534
PASSWORD = "s3cret"


def quota_server(server, zorvad_dir, limits, general="", name="quinn"):
    """A server with one virtual user whose record carries limits (hard kB,
    soft kB, hard files, soft files); its home holds a large file of root's."""
    home = os.path.join(zorvad_dir, "vhome")
    os.makedirs(home, exist_ok=True)
    os.chown(home, UID, UID)
    with open(os.path.join(home, "admin.bin"), "wb") as f:
        f.write(b"r" * 200000)               # owned by root: not the user's
    db = os.path.join(zorvad_dir, "db", "passwd.db")
    write_passwd_db(db, "%s:{plain}%s:%d:%d::%s:/bin/sh:%d:%d:%d:%d" % ((name, PASSWORD, UID, UID, home) + limits))
    s = server(general=general, domain=domain("passwd = %s\n" % db))
    return s, home


def session(s, name="quinn"):
    c = s.greeted()
    assert c.command("USER " + name).startswith("331 ")
    assert c.command("PASS " + PASSWORD).startswith("230 ")
    assert c.command("TYPE I").startswith("200 ")
    return c


def stored(c, name, size):
    return stor(c, "STOR " + name, b"u" * size)


# The home starts with 2 entries (the starting 1 and the home itself) and 0
# bytes: root's admin.bin counts for neither.
# A directory only root may read is left out, and the walk says so.
@pytest.mark.parametrize("limits, uploads, refusal, measured", [
    ((4, 0, 0, 0), [2000, 2096], "450 Disk quota exceeded (4096 bytes;  limit: 4096).\r\n",
     r"Quota: 0 bytes \(limit 4096\)"),
    ((0, 0, 4, 0), [10, 10], "450 Disk quota exceeded (4 files;  limit: 4).\r\n",
     r"Quota: 2 files \(limit 4\)"),
], ids=["bytes", "files"])
def test_hard_limits_refuse_uploads_until_the_admin_frees_space(server, zorvad_dir, limits, uploads, refusal,
                                                                measured):
    s, home = quota_server(server, zorvad_dir, limits, general="allow-downloads-if-quota-exceeded = no\n")
    os.mkdir(os.path.join(home, "private"), 0o700)
    c = session(s)
    if limits[0]:
        # A restart point beyond the limit is refused before any data moves.
        d_first = stor(c, "STOR far.bin", b"x", rest=4096)[0]
        assert d_first == "550 Your RESTart point would exceed your disk quota (0 bytes;  limit: 4096).\r\n"
    assert retr(c, "admin.bin")[2] == "226 Transfer completed.\r\n"
    s.wait_log(r"Could not compute quotas for %s: Permission denied\.\n" % re.escape(home))
    s.wait_log(measured + r"\n(?:.*\n)*?Quota: Dirs 1; Max Depth 0; Duration \d+\.\d\d sec\n")
    for i, size in enumerate(uploads):
        first, final = stored(c, "f%d" % i, size)
        assert first.startswith(("125 ", "150 "))
    # The last upload reached the limit exactly: bytes say so at its end.
    assert final == (refusal if limits[0] else "226 Transfer completed.\r\n")
    assert stored(c, "more", 1) == (refusal, None)
    assert retr(c, "admin.bin")[0] == "553 Disk quota exceeded.  Delete files to get under your quota.\r\n"
    warning = (r'User "quinn" exceeded size quota \(4096 > 4096\)' if limits[0]
               else r'User "quinn" exceeded files quota \(4 > 4\)')
    s.wait_log(warning)
    c.close()

    # The administrator removes a file: the next login measures again.
    os.unlink(os.path.join(home, "f0"))
    c = session(s)
    assert stored(c, "again", 1)[1] == "226 Transfer completed.\r\n"
    assert not os.path.exists(os.path.join(home, "more"))


def test_a_client_that_only_typed_the_users_name_keeps_no_stale_usage_alive(server, zorvad_dir):
    """A remote client that typed USER with a user's name, no password, and
    stays connected is no session of that user: the user's last session
    still frees the shared usage, so that space the administrator freed
    meanwhile comes back at the user's next login."""
    s, home = quota_server(server, zorvad_dir, (4, 0, 0, 0))
    c = session(s)
    assert stored(c, "f0", 4096)[1].startswith("450 Disk quota exceeded")
    stranger = s.greeted()
    assert stranger.command("USER quinn").startswith("331 ")
    assert c.command("QUIT").startswith("221 ")
    assert wait_for(lambda: len(s.busy_children()) == 1)
    os.unlink(os.path.join(home, "f0"))
    c = session(s)
    assert stored(c, "again", 1)[1] == "226 Transfer completed.\r\n"


@pytest.mark.parametrize("limits, size, warning", [
    ((0, 1, 0, 0), 2000, r'User "quinn" exceeded size soft quota \(2000 > 1024\)'),
    ((0, 0, 0, 3), 10, r'User "quinn" exceeded files soft quota \(3 > 3\)'),
], ids=["bytes", "files"])
def test_soft_limits_only_warn(server, zorvad_dir, limits, size, warning):
    s, _ = quota_server(server, zorvad_dir, limits)
    c = session(s)
    assert stored(c, "f", size)[1] == "226 Transfer completed.\r\n"
    s.wait_log(warning)
    assert stored(c, "g", size)[1] == "226 Transfer completed.\r\n"


def test_an_upload_over_the_limit_is_removed_when_configured(server, zorvad_dir):
    s, home = quota_server(server, zorvad_dir, (4, 0, 0, 0),
                           general="delete-uploaded-file-if-quota-exceeded = yes\n")
    c = session(s)
    first, final = stored(c, "big", 10000)
    assert first.startswith(("125 ", "150 "))
    assert re.match(r"450 Disk quota exceeded \(\d+ bytes;  limit: 4096\)\.\r\n$", final)
    # The receiver replies as the limit is reached; the file goes right after.
    assert wait_for(lambda: not os.path.exists(os.path.join(home, "big")))
    # Its bytes and its file went back: a small upload fits again.
    assert stored(c, "small", 100)[1] == "226 Transfer completed.\r\n"


def test_an_append_over_the_limit_gives_back_only_the_appended_part(server, zorvad_dir):
    """A remote client appends past its limit: what was there before stays."""
    s, home = quota_server(server, zorvad_dir, (4, 0, 0, 0),
                           general="delete-uploaded-file-if-quota-exceeded = yes\n")
    log = os.path.join(home, "log")
    with open(log, "wb") as f:
        f.write(b"p" * 3000)
    os.chown(log, UID, UID)
    c = session(s)
    first, final = stor(c, "APPE log", b"a" * 2000)
    assert first.startswith(("125 ", "150 "))
    assert final.startswith("450 Disk quota exceeded")
    # The receiver replies as the limit is reached; the cut comes before the next reply.
    assert c.command("NOOP").startswith("200 ")
    with open(log, "rb") as f:
        assert f.read() == b"p" * 3000


def test_a_second_client_racing_the_upload_keeps_its_file_from_the_quota_removal(server, zorvad_dir):
    """A second client racing the first renames the upload's name away and
    its own file onto it while the upload is held open: the removal over the
    limit cuts the upload, never the file that took its name."""
    s, home = quota_server(server, zorvad_dir, (8, 0, 0, 0),
                           general="delete-uploaded-file-if-quota-exceeded = yes\n")
    up, away = os.path.join(home, "up"), os.path.join(home, "away")
    c = session(s)
    d = open_pasv(c)
    with d:
        assert c.command("STOR up").startswith(("125 ", "150 "))
        d.sendall(b"u" * 3000)
        assert wait_for(lambda: os.path.exists(up) and os.path.getsize(up) == 3000)
        other = session(s)
        assert stor(other, "STOR mine", b"m" * 100)[1] == "226 Transfer completed.\r\n"
        assert other.command("RNFR up").startswith("350 ")
        assert other.command("RNTO away") == "250 Renamed.\r\n"
        assert other.command("RNFR mine").startswith("350 ")
        assert other.command("RNTO up") == "250 Renamed.\r\n"
        d.sendall(b"u" * 9000)
    assert c.reply().startswith("450 Disk quota exceeded")
    assert c.command("NOOP").startswith("200 ")
    assert os.path.getsize(away) == 0
    with open(up, "rb") as f:
        assert f.read() == b"m" * 100


def test_an_append_cut_back_over_the_limit_keeps_what_a_second_client_appended_meanwhile(server, zorvad_dir):
    """A second client appends to the file while the first client's append
    runs on past the limit: its 226 stands, so the cut-back of the first
    upload must not take the second client's bytes with it."""
    s, home = quota_server(server, zorvad_dir, (8, 0, 0, 0),
                           general="delete-uploaded-file-if-quota-exceeded = yes\n")
    log = os.path.join(home, "log")
    user_file(log, 3000)
    c = session(s)
    d = open_pasv(c)
    with d:
        assert c.command("APPE log").startswith(("125 ", "150 "))
        d.sendall(b"a" * 2000)
        assert wait_for(lambda: os.path.getsize(log) == 5000)
        other = session(s)
        assert stor(other, "APPE log", b"b" * 100)[1] == "226 Transfer completed.\r\n"
        try:
            d.sendall(b"a" * 9000)
        except OSError:
            pass                              # the server stopped reading at the limit
    assert c.reply().startswith("450 Disk quota exceeded")
    assert c.command("NOOP").startswith("200 ")
    with open(log, "rb") as f:
        assert b"b" * 100 in f.read()


def test_files_below_a_deep_chain_of_directories_still_count(server, zorvad_dir):
    """A remote client nests 220 directories and stores below them: the
    next session's walk reaches that far, so the bytes count against the
    limit and a further upload is cut at it."""
    s, home = quota_server(server, zorvad_dir, (64, 0, 0, 0))
    c = session(s)
    for i in range(220):
        assert c.command("MKD d").startswith("257 "), i
        assert c.command("CWD d").startswith("250 ")
    assert stored(c, "deep", 60000)[1] == "226 Transfer completed.\r\n"
    c.close()
    c = session(s)
    first, final = stored(c, "top", 60000)
    assert first.startswith(("125 ", "150 "))
    assert re.match(r"450 Disk quota exceeded \(\d+ bytes;  limit: 65536\)\.\r\n$", final)
    s.wait_log(r"Quota: Dirs 221; Max Depth 220;")
    assert "Could not compute quotas" not in s.log()


@pytest.mark.parametrize("mode", ["I", "A"])
def test_a_user_racing_its_own_sessions_stores_no_more_than_its_limit(server, zorvad_dir, mode):
    """A user racing its own sessions: four sessions start a 1 MiB upload
    each at the same moment against one 1 MiB limit.  They share one usage,
    charged before the bytes are written, so what lands on disk stays within
    the limit, and at least one upload is refused."""
    limit, size, sessions = 1024 * 1024, 1024 * 1024, 4
    s, home = quota_server(server, zorvad_dir, (limit // 1024, 0, 0, 0))
    controls = [session(s) for _ in range(sessions)]
    # Every session has measured (or joined) the shared usage before the race.
    for c in controls:
        assert c.command("TYPE " + mode).startswith("200 ")
        assert c.command("SITE QUOTA").startswith("200-")
    barrier = threading.Barrier(sessions, timeout=20)
    finals, errors = [None] * sessions, []

    def race(k, c):
        try:
            d = open_pasv(c)
            with d:
                assert c.command("STOR race%d" % k).startswith(("125 ", "150 "))
                barrier.wait()
                try:
                    d.sendall(b"r" * size)
                except OSError:
                    pass                      # the server stopped reading at the limit
            finals[k] = c.reply()
        except Exception as e:   # noqa: BLE001 (reported below)
            errors.append("session %d: %r" % (k, e))

    threads = [threading.Thread(target=race, args=(k, c)) for k, c in enumerate(controls)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(60)
    assert not errors, errors
    total = sum(os.path.getsize(os.path.join(home, "race%d" % k)) for k in range(sessions))
    assert total <= limit, (total, finals)
    assert any(f.startswith("450 Disk quota exceeded") for f in finals), finals
    # The usage the sessions share is what is on disk (plus the home's own
    # entries): a further upload of any session is refused up front.
    assert stored(controls[0], "more", 1)[0].startswith("450 Disk quota exceeded")


def test_a_user_racing_its_own_sessions_makes_no_more_files_than_its_limit(server, zorvad_dir):
    """A user racing its own sessions: with one file left of its limit, twelve
    sessions make a new entry each at the same moment (uploads, directories
    and links).  The file is reserved in the shared record before it is
    made, so exactly one succeeds and the others are refused."""
    s, home = quota_server(server, zorvad_dir, (0, 0, 3, 0),
                           general="allowed-site-commands = all\nmax-users = 12\n")
    makers = ["STOR new%d", "MKD dir%d", "SITE SYMLINK admin.bin lnk%d"] * 4
    controls = [session(s) for _ in makers]
    for c in controls:
        assert c.command("SITE QUOTA").startswith("200-")
    data = [open_pasv(c) if m.startswith("STOR") else None for c, m in zip(controls, makers)]
    barrier = threading.Barrier(len(makers), timeout=20)
    finals = [None] * len(makers)

    def race(k):
        barrier.wait()
        reply = controls[k].command(makers[k] % k)
        if data[k] is not None:
            with data[k]:
                if reply.startswith(("125 ", "150 ")):
                    data[k].sendall(b"n")
                    data[k].shutdown(socket.SHUT_WR)
                    reply = controls[k].reply()
        finals[k] = reply

    threads = [threading.Thread(target=race, args=(k,)) for k in range(len(makers))]
    for t in threads:
        t.start()
    for t in threads:
        t.join(60)
    made = [f for f in finals if f is not None and f[0] == "2"]
    refused = [f for f in finals if f is not None and f.startswith("450 Disk quota exceeded (3 files;  limit: 3)")]
    assert len(made) == 1 and len(refused) == len(makers) - 1, finals
    assert on_disk(home)[1] == 3


def test_one_mkd_of_a_chain_makes_no_more_directories_than_the_files_left(server, zorvad_dir):
    """A remote client with two files left of its limit asks for a chain of
    five directories in one MKD: the first two are made, the rest refused."""
    s, home = quota_server(server, zorvad_dir, (0, 0, 4, 0))
    c = session(s)
    assert c.command("MKD a/b/c/d/e") == "450 Disk quota exceeded (4 files;  limit: 4).\r\n"
    assert os.path.isdir(os.path.join(home, "a", "b")) and not os.path.exists(os.path.join(home, "a", "b", "c"))
    assert on_disk(home)[1] == 4
    assert c.command("SITE QUOTA").count("Files: 4  Limit: 4") == 1


def test_one_upload_stops_at_the_limit_not_a_block_past_it(server, zorvad_dir):
    """A remote client sends 3 MiB in one upload against a 1 MiB limit of
    which 100,000 bytes are used: the file keeps exactly the rest."""
    limit, used = 1024 * 1024, 100000
    s, home = quota_server(server, zorvad_dir, (limit // 1024, 0, 0, 0))
    c = session(s)
    assert stored(c, "old", used)[1] == "226 Transfer completed.\r\n"
    d = open_pasv(c)
    with d:
        assert c.command("STOR big").startswith(("125 ", "150 "))
        try:
            d.sendall(b"b" * (3 * limit))
        except OSError:
            pass                              # the server stopped reading at the limit
    assert c.reply() == "450 Disk quota exceeded (%d bytes;  limit: %d).\r\n" % (limit, limit)
    assert os.path.getsize(os.path.join(home, "big")) == limit - used


@pytest.mark.parametrize("existing", [None, 10], ids=["new-file", "existing-file"])
def test_a_restart_point_past_the_end_cannot_store_a_gap_past_the_limit(server, zorvad_dir, existing):
    """A remote client sends REST far past the end of a file and one byte:
    the gap the file would gain counts as it would on disk, so an upload
    whose gap does not fit is refused, and what does fit leaves the usage
    the session charges equal to what lies on disk."""
    s, home = quota_server(server, zorvad_dir, (64, 0, 0, 0))
    if existing is not None:
        user_file(os.path.join(home, "f"), existing)
    c = session(s)
    first, final = stor(c, "STOR f", b"x", rest=10 * 1024 * 1024)
    assert (final or first) == "550 Your RESTart point would exceed your disk quota (%d bytes;  limit: 65536).\r\n" \
        % on_disk(home)[0]
    f = os.path.join(home, "f")
    assert os.path.getsize(f) == existing if existing else not os.path.exists(f)
    first, final = stor(c, "STOR f", b"x", rest=40000)
    assert final == "226 Transfer completed.\r\n"
    assert os.path.getsize(f) == 40001
    report = c.command("SITE QUOTA")
    assert "Bytes: %d  Limit: 65536" % on_disk(home)[0] in report, report
    # The rest of the limit is all a further upload may store.
    first, final = stored(c, "g", 30000)
    assert final.startswith("450 Disk quota exceeded")
    assert on_disk(home)[0] == 65536


def on_disk(home):
    """(bytes, files) as the quota counts the home: every entry of the user,
    the home included, plus the starting 1; the sizes of its regular files."""
    owned = [os.lstat(home)]
    for top, dirs, files in os.walk(home):
        owned += [os.lstat(os.path.join(top, n)) for n in dirs + files]
    owned = [st for st in owned if st.st_uid == UID]
    return sum(st.st_size for st in owned if stat.S_ISREG(st.st_mode)), 1 + len(owned)


def user_file(path, size):
    with open(path, "wb") as f:
        f.write(b"k" * size)
    os.chown(path, UID, UID)


@pytest.mark.parametrize("commands", [
    ["DELE a"],                               # the first change of the session
    ["SITE QUOTA", "DELE admin.bin"],         # root's file never counted
    ["SITE QUOTA", "RNFR a", "RNTO keep"],    # the replaced file's bytes go
    ["SITE QUOTA", "DELE ln"],                # a link counted as a file
    ["MKD x/y/z"],                            # three directories made
    ["SITE QUOTA", "RNFR a", "RNTO a"],       # nothing replaced
], ids=["dele-first", "dele-foreign", "rnto-over", "dele-link", "mkd-chain", "rnto-self"])
def test_the_usage_after_file_commands_is_what_is_on_disk(server, zorvad_dir, commands):
    """A remote client whose deletes and renames would lower its usage below
    what it holds (and so lift its limit): after each command the usage the
    session charges equals what the measuring rule finds on disk.  SITE
    QUOTA first makes the session measure before the change."""
    s, home = quota_server(server, zorvad_dir, (1000, 0, 1000, 0))
    user_file(os.path.join(home, "keep"), 2000)
    user_file(os.path.join(home, "a"), 3000)
    os.symlink("keep", os.path.join(home, "ln"))
    os.lchown(os.path.join(home, "ln"), UID, UID)
    c = session(s)
    for command in commands:
        assert c.command(command)[0] in "23", command
    report = c.command("SITE QUOTA")
    used = tuple(int(n) for n in re.findall(r"200-  (?:Bytes|Files): (\d+)", report))
    assert used == on_disk(home), report


@pytest.mark.skipif(GDB is None, reason="gdb is not installed")
@pytest.mark.parametrize("attacker_name, victim_name", [("quinn", "uma"), ("q" * 63 + "1", "q" * 63 + "2")],
                         ids=["other-name", "same-first-63-characters"])
def test_code_running_in_one_users_session_cannot_lift_another_users_limit(server, zorvad_dir, attacker_name,
                                                                           victim_name):
    """The attacker: code running in the session of one virtual user.  The
    tables the sessions share are not writable to it (its own slot's page
    alone is), and what it may ask its pool child changes its own user's
    usage, never another's: that user's uploads still stop at its limit,
    also where the two names differ only past what a status slot holds."""
    limit = 64 * 1024
    homes = {}
    for name in (attacker_name, victim_name):
        homes[name] = os.path.join(zorvad_dir, name)
        os.makedirs(homes[name])
        os.chown(homes[name], UID, UID)
    db = os.path.join(zorvad_dir, "db", "passwd.db")
    write_passwd_db(db, *["%s:{plain}%s:%d:%d::%s:/bin/sh:%d:0:0:0" % (n, PASSWORD, UID, UID, h, limit // 1024)
                          for n, h in homes.items()])
    s = server(domain=domain("passwd = %s\n" % db))
    victim = session(s, victim_name)
    assert stored(victim, "full", limit)[1].startswith("450 Disk quota exceeded")
    attacker = session(s, attacker_name)
    assert attacker.command("SITE QUOTA").startswith("200-")
    pid = sole_holder(s, attacker.sock)
    maps = shared_mappings(pid)
    assert len([m for m in maps if m[1].startswith("rw")]) == 1, maps
    (generations,) = [m[0] for m in maps if "dirgen" in m[2]]
    # mprotect of the directory generations, then a charge of minus 1 GB
    # and minus 1,000 files, as the quota code itself would send it.
    values, out = gdb_calls(pid, "print (int) mprotect(%d, 4096, 3)" % generations,
                            "set $r = (char *) malloc(1104)", "call (void) memset($r, 0, 1104)",
                            "set *(int *) $r = 11", "set *(int *) ($r + 4) = 32",
                            "set *(long *) ($r + 64) = -1000000000", "set *(long *) ($r + 72) = -1000",
                            "print (int) ((int (*)(void *, int)) 'PrivCall(PrivRequest const&, int)')($r, -1)")
    assert values == [-1, 0], out.stdout + out.stderr
    assert stored(victim, "more", 1)[0].startswith("450 Disk quota exceeded")
    # Its own record is all it reached: within its own limit, as on disk.
    assert attacker.command("SITE QUOTA").startswith("200-Quota report:\r\n200-  Bytes: 0 ")
