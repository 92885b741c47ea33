"""pwcheck through its real binary: looking up system users made for the test
with each password format, verifying given encrypted passwords (the 8-character
truncation case among them), the probe, and hidden input typed at a terminal."""
import ctypes
import os
import pty
import select
import subprocess
import time

import pytest

from accounts import remove_system_user, users  # noqa: F401 (fixture)
from conftest import BIN_DIR

PWCHECK = os.path.join(BIN_DIR, "tools", "pwcheck", "pwcheck")
RULE = "-" * 79 + "\n"

_crypt = ctypes.CDLL("libcrypt.so.1")
_crypt.crypt.argtypes = [ctypes.c_char_p, ctypes.c_char_p]
_crypt.crypt.restype = ctypes.c_char_p


_crypt.crypt_gensalt.argtypes = [ctypes.c_char_p, ctypes.c_ulong, ctypes.c_char_p, ctypes.c_int]
_crypt.crypt_gensalt.restype = ctypes.c_char_p


def gensalt(prefix):
    return _crypt.crypt_gensalt(prefix.encode(), 0, None, 0).decode()


def crypt(word, salt):
    return _crypt.crypt(word.encode(), salt.encode()).decode()


def pwcheck(*args):
    return subprocess.run([PWCHECK, *args], stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=60)


@pytest.fixture
def hashed_user(zorvad_dir):
    """Factory: a system user whose shadow entry holds the given hash."""
    made = []

    def make(encrypted):
        name = "zp%06x" % int.from_bytes(os.urandom(3), "big")
        subprocess.run(["useradd", "-M", "-d", zorvad_dir, "-p", encrypted, name], check=True, capture_output=True)
        made.append(name)
        return name

    yield make
    for name in made:
        remove_system_user(name)


PASSWORD = "Tr0ub4dor&3"


@pytest.mark.parametrize("prefix, name, detected", [
    ("$y$", "unknown:$y", "Unknown password encryption detected (unknown:$y) -- "
                                                     "relying upon system crypt()."),
    ("$6$", "SHA-512", "SHA-512 password detected."),
    ("$1$", "BSD MD5", "BSD MD5 password detected."),
])
def test_a_system_users_password_is_looked_up_and_verified(hashed_user, prefix, name, detected):
    encrypted = crypt(PASSWORD, gensalt(prefix))
    assert encrypted.startswith(prefix)
    user = hashed_user(encrypted)
    ok = pwcheck("-l", user, PASSWORD, "-g", "2")
    assert ok.returncode == 0, ok.stdout
    assert ok.stdout.startswith(RULE + "This test is used to verify that:\n"
                                "(a) The encrypted passwords can be accessed; and\n"
                                "(b) Passwords can be authenticated.\n\n")
    lines = ok.stdout.splitlines()
    # The account library's trace, in order, around the tool's own lines.
    expected = ["DES crypt works.",
                "GetSpwdName name=%s wantC=1 wantSupp=1 wantClose=1" % user,
                "PwdToSpwd: pw->u=%s wantC=1 wantSupp=1" % user,
                "struct passwd->pw_passwd = [x] len=1",
                "Trying to use Getspnam to get encrypted password.",
                "Getspnam's spwptr->sp_pwdp was [%s], alg=0" % encrypted,
                "GetUserGroups maxg=32 u=%s method=/etc/group" % user,
                "GetSpwdByName rc=0",
                detected,
                "%s encrypted password is valid." % name,
                "Number of characters received for password for %s: %d." % (user, len(PASSWORD)),
                "encrypted guess == encrypted answer",
                "Password was authenticated successfully."]
    at = 0
    for line in expected:
        assert line in lines[at:], "%r not after line %d:\n%s" % (line, at, ok.stdout)
        at = lines.index(line, at) + 1
    assert "\tPp->passwd = [%s], alg = 0" % encrypted in lines

    wrong = pwcheck("-l", user, PASSWORD + "x", "-g", "1")
    assert wrong.returncode == 1
    assert "GetUserGroups maxg=32 u=%s method=getgroups()" % user in wrong.stdout
    # 12 characters: the first 8 are tried as well, and fail too.
    assert wrong.stdout.count("encrypted guess did not equal encrypted answer\n") == 2
    assert "Checking to see if a truncated version of the password works...\n" in wrong.stdout
    assert wrong.stdout.endswith("encrypted guess did not equal encrypted answer\nPassword was NOT authenticated.\n")


def test_an_unknown_user_and_an_unknown_mode():
    r = pwcheck("-l", "zp-nobody-here", "secret")
    assert r.returncode == 1 and r.stdout.endswith("GetSpwdByName rc=-1\n")
    r = pwcheck("-x")
    assert r.returncode == 2 and r.stdout == ""
    # The library's start-up line comes before its stream is pointed at standard output.
    assert r.stderr == ("Spwd Library initialized.\nUsages:\n    %s -l <user>\n    %s -c \"<encrypted password>\"\n\n"
                        "Use \"-l\" mode to verify that a system user's password can be queried.\n"
                        "Use \"-c\" mode with a given encrypted password to verify that password\n"
                        "validation works.\n" % (PWCHECK, PWCHECK))


TEN = "Abcdefgh12"     # 10 characters; its first 8 are "Abcdefgh"


@pytest.mark.parametrize("encrypted, rc, ending", [
    # Traditional DES reads only 8 characters: the full password matches as it is.
    (crypt("Abcdefgh", "zv"), 0, "encrypted guess == encrypted answer\nPassword was authenticated successfully.\n"),
    # A hash of the first 8 characters in a format that reads them all.
    (crypt("Abcdefgh", "$6$zorvadsalt$"), 1,
     "Checking to see if a truncated version of the password works...\n"
     "crypt = [%s]\nencrypted guess == encrypted answer\n"
     "The full-length password (10 chars) was NOT authenticated, BUT using the\n"
     "first 8 characters of the password succeeds.\n" % crypt("Abcdefgh", "$6$zorvadsalt$")),
    (crypt("Abcdefgh", "$1$zorvadsa$"), 1,
     "The full-length password (10 chars) was NOT authenticated, BUT using the\n"
     "first 8 characters of the password succeeds.\n"),
    # 12 characters only: invalid, but the guess is still tried.
    ("zvdbQgXAx9zQ", 1, "Password was NOT authenticated.\n"),
])
def test_a_given_encrypted_password_is_verified_and_truncation_reported(encrypted, rc, ending):
    r = pwcheck("-c", encrypted, TEN)
    assert r.returncode == rc, r.stdout
    assert r.stdout.startswith(RULE + "This test is used to verify that:\n(a) Passwords can be authenticated.\n\n")
    assert "Number of characters received for encrypted password: %d.\n" % len(encrypted) in r.stdout
    assert "Number of characters received for password guess: 10.\n" in r.stdout
    invalid = "It appears that the encrypted password you entered is invalid!\n"
    assert (invalid in r.stdout) == (len(encrypted) == 12)
    if len(encrypted) == 12:
        assert 'Not long enough ("zvdbQgXAx9zQ", only 12 chars) to be a DES crypt password.\n' in r.stdout
    assert r.stdout.endswith(ending)


def test_the_probe_finds_a_readable_password(users):  # noqa: F811
    users()
    r = pwcheck("-g", "-5")
    assert r.returncode == 1
    last = [x for x in r.stdout.splitlines() if x.startswith("CanGetEncryptedPasswords2: ")]
    assert len(last) == 1
    last = last[0]
    assert last.startswith("CanGetEncryptedPasswords2: yes (rc = 1, n = ") and ", tx = 0, u = \"" in last


# ---- Hidden input at a terminal ---------------------------------------------------------------

class Terminal:
    def __init__(self, argv, columns=40):
        self.master, slave = pty.openpty()
        self.proc = subprocess.Popen(argv, stdin=slave, stdout=slave, stderr=slave, close_fds=True,
                                     env={"COLUMNS": str(columns), "PATH": "/usr/bin:/bin"})
        os.close(slave)
        self.screen = b""

    def wait_for(self, text, timeout=20):
        deadline = time.monotonic() + timeout
        while text not in self.screen:
            left = deadline - time.monotonic()
            assert left > 0, "no %r on the terminal:\n%r" % (text, self.screen)
            if select.select([self.master], [], [], left)[0]:
                try:
                    self.screen += os.read(self.master, 4096)
                except OSError:
                    break
        return self.screen

    def type(self, keys):
        os.write(self.master, keys)

    def finish(self):
        rc = self.proc.wait(20)
        try:
            while select.select([self.master], [], [], 0.5)[0]:
                chunk = os.read(self.master, 4096)
                if not chunk:
                    break
                self.screen += chunk
        except OSError:
            pass
        os.close(self.master)
        return rc


def test_passwords_typed_at_a_terminal_are_edited_and_never_shown(hashed_user):
    user = hashed_user(crypt(PASSWORD, "$6$zorvadsalt$"))
    t = Terminal([PWCHECK, "-l"])
    t.wait_for(b"\r\nUsername to query [root]: ")
    # The user name is echoed; a typo is mended with Backspace.
    t.type(user.encode()[:-1] + b"Q\x7f" + user.encode()[-1:] + b"\r")
    t.wait_for(b"Password for %s: " % user.encode())
    # Hidden: a wrong start wiped with Ctrl-U, then the password with a
    # mistyped character moved back to (Left, Ctrl-D deletes it) and Ctrl-E.
    t.type(b"nonsense\x15" + PASSWORD[:-2].encode() + b"Z" + PASSWORD[-2:].encode()
           + b"\x1b[D\x1b[D\x1b[D\x04\x05\r")
    assert t.finish() == 0, t.screen
    out = t.screen.decode("latin-1")
    assert user in out
    assert "Number of characters received for password for %s: %d." % (user, len(PASSWORD)) in out
    assert out.endswith("Password was authenticated successfully.\r\n")
    assert PASSWORD not in out and "nonsense" not in out
