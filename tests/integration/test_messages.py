"""Message files: the greeting, login, directory and goodbye messages and
their %-escapes before and after login."""
import os
import re
import time

import pytest

import xferhelp
from accounts import users  # noqa: F401 (fixture)

DOMAIN = ("set-name = test\nserver-name = testhost\nftp-home = {dir}/ftp\n"
          "welcome-message = {dir}/welcome.msg\n"
          "a-login-message = {dir}/login.msg\n"
          "a-goodbye-message = {dir}/goodbye.msg\n")
GREETING = "220 testhost Zorvad Server ready.\r\n"


def write(path, text):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w") as f:
        f.write(text)


def start(server, general="", files=None, domain=DOMAIN):
    """A server whose message files are written before it starts serving."""
    s = server(general=general, domain=domain)
    for name, text in (files or {}).items():
        write(os.path.join(s.dir, name), text)
    return s


def anonymous(c, password="joe@example.com"):
    c.command("USER anonymous")
    return c.command("PASS " + password)


# ---- Greeting ---------------------------------------------------------------------------

def test_the_welcome_file_follows_the_greeting_line(server):
    s = start(server, files={"welcome.msg": "Hello %U on %L (%D).\nTry %% and %sbt, %bup.\n\nBye%\n"})
    assert s.greeted().greeting == ("220-testhost Zorvad Server ready.\r\n"
                                    "220-Hello ? on testhost (test).\r\n"
                                    "220-Try % and ?bt, ?up.\r\n"
                                    "220-\r\n"
                                    "220-Bye\r\n"
                                    "220 \r\n")


def test_the_welcome_file_shows_the_time_before_login(server):
    s = start(server, files={"welcome.msg": "Now: %T\nYear %tY\n"})
    greeting = s.greeted().greeting
    m = re.search(r"^220-Now: (\w{3} \w{3} [ \d]\d \d\d:\d\d:\d\d \d{4})\r\n220-Year (\d{4})\r\n", greeting, re.M)
    assert m, greeting
    assert m.group(2) == time.strftime("%Y")


def test_a_banner_heads_the_welcome_file(server):
    s = start(server, general="banner = Members only.\n", files={"welcome.msg": "Be nice.\n"})
    assert s.greeted().greeting == "220-Members only.\r\n220-Be nice.\r\n220 \r\n"


def test_a_welcome_file_of_one_byte_is_ignored_and_logged(server):
    s = start(server, files={"welcome.msg": "\n"})
    assert s.greeted().greeting == GREETING
    s.wait_log(r"Ignoring empty ReplyFile .*/welcome\.msg\.\n")


def test_a_missing_welcome_file_is_logged(server):
    s = start(server)
    assert s.greeted().greeting == GREETING
    s.wait_log(r"Could not stat ReplyFile .*/welcome\.msg: No such file or directory\.\n")


# ---- Login --------------------------------------------------------------------------------

def test_the_login_message_names_the_user(server):
    s = start(server, files={"login.msg": "Welcome %U <%E> from %I, %sbt bytes so far, %bx.\n"})
    assert anonymous(s.greeted()) == ("230-Welcome anonymous <joe@example.com> from 127.0.0.1, "
                                      "0 bytes so far, %x.\r\n"
                                      "230-\r\n"
                                      "230 Logged in anonymously.\r\n")


def test_the_login_message_can_number_the_user(server):
    s = start(server, general="print-user-number = yes\n")
    assert anonymous(s.greeted()) == ("230-You are user #1 of 8 simultaneous users allowed.\r\n"
                                      "230-\r\n"
                                      "230 Logged in anonymously.\r\n")


def test_the_start_directory_message_follows_the_login_message_once(server):
    s = start(server, general="cd-message = .message\n",
              files={"login.msg": "Hello.\n", "ftp/.message": "This is the root.\n"})
    c = s.greeted()
    assert anonymous(c) == ("230-Hello.\r\n230-\r\n"
                            "230-This is the root.\r\n230-\r\n"
                            "230 Logged in anonymously.\r\n")
    assert c.command("CWD /") == '250 "/" is new cwd.\r\n'


# ---- Directory messages --------------------------------------------------------------------

def test_a_directory_message_is_shown_on_the_first_visit_only(server):
    s = start(server, general="cd-message = .message\n",
              files={"ftp/pub/.message": "Files of %D, %U.\n", "ftp/pub/sub/x": "x"})
    c = s.greeted()
    anonymous(c)
    assert c.command("CWD pub") == ('250-"/pub" is new cwd.\r\n'
                                    "250-\r\n"
                                    "250-Files of test, anonymous.\r\n"
                                    "250 \r\n")
    assert c.command("CWD sub") == '250 "/pub/sub" is new cwd.\r\n'
    assert c.command("CDUP") == '250 "/pub" is new cwd.\r\n'
    assert c.command("CWD /pub/sub/../../pub") == '250 "/pub" is new cwd.\r\n'


def test_a_directory_message_is_known_by_its_inode(server):
    s = start(server, general="cd-message = .message\n", files={"ftp/pub/.message": "Public files.\n"})
    os.symlink("pub", os.path.join(s.dir, "ftp", "mirror"))
    c = s.greeted()
    anonymous(c)
    assert c.command("CWD mirror").startswith('250-"/pub" is new cwd.\r\n')
    assert c.command("CWD /pub") == '250 "/pub" is new cwd.\r\n'


def test_a_linked_or_tiny_directory_message_is_not_shown(server):
    s = start(server, general="cd-message = .message\n",
              files={"ftp/a/.message": "ok\n", "ftp/b/real": "A linked message.\n"})
    os.symlink("real", os.path.join(s.dir, "ftp", "b", ".message"))
    with open(os.path.join(s.dir, "ftp", "a", ".message"), "w") as f:
        f.write("ok")                                  # 2 bytes
    c = s.greeted()
    anonymous(c)
    assert c.command("CWD /a") == '250 "/a" is new cwd.\r\n'
    assert c.command("CWD /b") == '250 "/b" is new cwd.\r\n'


@pytest.mark.parametrize("text, shown", [
    (b"Look%tn250 Forged final line.\n", "Look%tn250 Forged final line."),   # %n: a line feed
    (b"a%ttb\n", "a%ttb"),                                                   # %t: a tab
    (b"a%t\rb %t\x1bc\n", "a%tb %tc"),                                      # no conversions at all
    (b"one\rtwo\n", "onetwo"),
    (b"dos line\r\n", "dos line"),
    (b"bell\x07 tab\there del\x7f\x1b[2J\n", "bell tab here del[2J"),
])
def test_a_directory_message_cannot_put_control_characters_into_replies(server, text, shown):
    s = start(server, general="cd-message = .message\n")
    os.makedirs(os.path.join(s.dir, "ftp", "pub"))
    with open(os.path.join(s.dir, "ftp", "pub", ".message"), "wb") as f:
        f.write(text)
    f = s.ftp()
    f.login("anonymous", "joe@example.com")
    assert f.cwd("pub") == '250-"/pub" is new cwd.\n250-\n250-%s\n250 ' % shown
    # The client is still in step: each reply answers its own command.
    assert f.pwd() == "/pub"
    assert f.voidcmd("NOOP").startswith("200 ")


@pytest.mark.parametrize("attacker", ["anonymous-uploader", "anonymous-uploader-at-quit",
                                      "user-without-read-permission"])
def test_a_message_file_never_shows_a_file_a_download_would_refuse(server, users, attacker):
    """The attackers: a remote anonymous client, whose uploads to the incoming
    directory nobody may download, stores a file there under the name of the
    directory message (or of a goodbye message named relative to the current
    directory); a user without read permission renames a file to the
    message's name.  Entering the directory, or leaving, must not show the
    file's text as the message."""
    mark = "zq-%d-not-for-reading" % os.getpid()
    if attacker.startswith("anonymous-uploader"):
        at_quit = attacker.endswith("quit")
        s = server(general="" if at_quit else "cd-message = notice.txt\n",
                   domain=xferhelp.domain("a-goodbye-message = notice.txt\n" if at_quit else ""))
        incoming = os.path.join(s.dir, "ftp", "incoming")
        os.makedirs(incoming)
        os.chmod(incoming, 0o777)
        os.chown(incoming, 65534, 65534)
        c = s.greeted()
        xferhelp.anon_login(c)
        assert xferhelp.stor(c, "STOR incoming/notice.txt", (mark + "\n").encode())[1] == \
            "226 Transfer completed.\r\n"
        reader = s.greeted()
        xferhelp.anon_login(reader)
        assert reader.command("RETR incoming/notice.txt").startswith("553 ")
        reply = reader.command("CWD incoming")
        if at_quit:
            reply = reader.command("QUIT")
    else:
        u = users()
        write(os.path.join(u.home, "secret.txt"), mark + "\n")
        os.chown(os.path.join(u.home, "secret.txt"), u.uid, u.gid)
        s = server(general="cd-message = .message\nu-read-permission = no\n", domain=xferhelp.domain())
        c = s.greeted()
        xferhelp.user_login(c, u)
        assert c.command("RETR secret.txt").startswith("553 ")
        assert c.command("RNFR secret.txt").startswith("350 ")
        assert c.command("RNTO .message") == "250 Renamed.\r\n"
        reply = c.command("CWD .")
    assert mark not in reply
    assert re.match(r'(250 ".*" is new cwd\.|221 Goodbye\.)\r\n$', reply), reply


# ---- Goodbye -------------------------------------------------------------------------------

def test_the_goodbye_message_reports_the_session(server):
    s = start(server, files={"goodbye.msg": "You moved %sbt bytes in %stf (%sfd+%sfu files).\n"})
    c = s.greeted()
    anonymous(c)
    assert c.command("QUIT") == "221-You moved 0 bytes in 0:00 (0+0 files).\r\n221 \r\n"


def test_the_goodbye_message_before_login_hides_the_session(server):
    domain = DOMAIN + "u-goodbye-message = {dir}/goodbye.msg\n"
    s = start(server, domain=domain, files={"goodbye.msg": "Bye %U, %sbt.\n"})
    assert s.greeted().command("QUIT") == "221-Bye ?, ?bt.\r\n221 \r\n"


def test_plain_replies_skip_every_message_file(server):
    s = start(server, general="cd-message = .message\n",
              files={"login.msg": "Hello.\n", "goodbye.msg": "Bye.\n", "ftp/pub/.message": "Pub.\n"})
    c = s.greeted()
    assert c.command("USER -anonymous").startswith("331 ")
    assert c.command("PASS a@b.c") == "230 Logged in anonymously.\r\n"
    assert c.command("CWD pub") == '250 "/pub" is new cwd.\r\n'
    assert c.command("QUIT") == "221 Goodbye.\r\n"


# ---- Logins shut off -------------------------------------------------------------------------

def test_a_nologin_file_overrides_the_welcome_file(server, zorvad_dir):
    upper, work = os.path.join(zorvad_dir, "upper"), os.path.join(zorvad_dir, "work")
    os.makedirs(upper)
    os.makedirs(work)
    script = ("set -e; mount -t overlay overlay -o lowerdir=/etc,upperdir=%s,workdir=%s /etc; "
              "echo 'Back soon.' > /etc/nologin; touch -d '1 hour ago' /etc/nologin; exec \"$@\""
              % (upper, work))
    wrapper = ["unshare", "-m", "--propagation", "private", "sh", "-c", script, "sh"]
    s = server(domain=DOMAIN, wrapper=wrapper)
    write(os.path.join(s.dir, "welcome.msg"), "Hello.\n")
    assert s.greeted().greeting == ("220-testhost Zorvad Server ready.\r\n"
                                    "220-\r\n"
                                    "220-This system is not accepting logins at this time.\r\n"
                                    "220-Please logout now.\r\n"
                                    "220-\r\n"
                                    "220 \r\n")
