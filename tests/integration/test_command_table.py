"""Command-word recognition: every group of the table, the closed blocks,
case folding, digits in the word and letters beyond the fourth.

Unrecognised words cost 3 seconds and login refusals 2, so every case runs
on its own connection and the cases run side by side."""
from concurrent.futures import ThreadPoolExecutor

import pytest

LOGIN_FIRST = "550 Login first, then I might let you do that.\r\n"
UNIMPL = "502 Unimplemented command.\r\n"
UNKNOWN = "500 Syntax error, command unrecognized.\r\n"
SMTP = "502 This is not an SMTP server.  Goodbye.\r\n"
HTTP = "502 This is not an HTTP server.  Goodbye.\r\n"
GOODBYE = "221 Goodbye.\r\n"
GREETING = "220 testhost Zorvad Server ready.\r\n"
PWD = '257 "/" is cwd.\r\n'
NOOP = "200 No-op okay. Your session will timeout in"
FEAT = "211-Extensions supported:\r\n"
NO_OPTION = "501 Option not recognized.\r\n"

# (line, expected reply or its beginning, whether the server then hangs up)
CASES = [
    # A
    ("ACCT billing", "202 Command not implemented, superfluous at this site.\r\n", False),
    ("APPE file", LOGIN_FIRST, False),
    ("ALLO 100", LOGIN_FIRST, False),
    ("ABOR", LOGIN_FIRST, False),
    ("AUTH TLS", UNIMPL, False),
    ("AXE", UNKNOWN, False),
    # B
    ("BYE", GOODBYE, True),
    ("BYX", UNKNOWN, False),
    # C
    ("CWD /", LOGIN_FIRST, False),
    ("CDUP", LOGIN_FIRST, False),
    ("CLNT tester 1.0", "200 Noted.\r\n", False),
    ("CLNX", UNKNOWN, False),
    ("CAT", UNKNOWN, False),
    # D: every D word is DELE
    ("DELE file", LOGIN_FIRST, False),
    ("DIRT", LOGIN_FIRST, False),
    # E
    ("EPRT |1|127.0.0.1|5000|", UNIMPL, False),
    ("EPSV", UNIMPL, False),
    ("EARN", UNIMPL, False),            # R in place 3: EPRT
    ("EHLO client", SMTP, True),
    ("EXPN list", SMTP, True),
    ("EXIT", UNKNOWN, False),
    # F: every F word is FEAT
    ("FEAT", FEAT, False),
    ("FOO", FEAT, False),
    # G
    ("GET / HTTP/1.0", HTTP, True),
    ("GEM", UNKNOWN, False),
    # H
    ("HELP", "214-The following commands are recognized", False),
    ("HELO client", SMTP, True),
    ("HEAD / HTTP/1.0", HTTP, True),
    ("HOST example.com", UNIMPL, False),
    ("HELX", UNKNOWN, False),
    # Groups without commands
    ("IDLE", UNKNOWN, False),
    ("JUMP", UNKNOWN, False),
    ("KICK", UNKNOWN, False),
    ("WHO", UNKNOWN, False),
    ("YES", UNKNOWN, False),
    ("ZAP", UNKNOWN, False),
    # L
    ("LIST", LOGIN_FIRST, False),
    ("LANG", "200 Language set to en-US.\r\n", False),
    ("LOL", UNKNOWN, False),
    # M
    ("MKD dir", LOGIN_FIRST, False),
    ("MDTM file", LOGIN_FIRST, False),
    ("MLSD", LOGIN_FIRST, False),
    ("MXXD", LOGIN_FIRST, False),            # D in place 4: MLSD
    ("MLST", LOGIN_FIRST, False),
    ("MODE S", LOGIN_FIRST, False),
    ("MFMT 20200101000000 file", LOGIN_FIRST, False),
    ("MFF Modify=20200101000000; file", UNIMPL, False),
    ("MIC data", UNIMPL, False),
    ("MAIL FROM:<a@example.com>", SMTP, True),
    ("MUD", UNKNOWN, False),
    # N
    ("NLST", LOGIN_FIRST, False),
    ("NOOP", NOOP, False),
    ("NEW", UNKNOWN, False),
    # O: every O word is OPTS
    ("OPTS UTF8 ON", NO_OPTION, False),
    ("OPTIONS", NO_OPTION, False),
    # P, with its closed block after O in place 2
    ("PASS secret", "503 Bad sequence of commands.\r\n", False),
    ("POSS secret", "503 Bad sequence of commands.\r\n", False),  # S in place 4 is tried first: PASS
    ("PORT 127,0,0,1,4,1", LOGIN_FIRST, False),
    ("POR", LOGIN_FIRST, False),
    ("POST / HTTP/1.0", HTTP, True),
    ("POAV", UNKNOWN, False),           # not PASV: the O block holds only PORT and POST
    ("POXT", UNKNOWN, False),
    ("PWD", PWD, False),
    ("PASV", LOGIN_FIRST, False),
    ("PXXV", LOGIN_FIRST, False),
    ("PIG", UNKNOWN, False),
    # Q
    ("QUIT", GOODBYE, True),
    ("QXI", GOODBYE, True),
    ("QUA", UNKNOWN, False),
    # R, with its closed block after E in place 2
    ("RETR file", LOGIN_FIRST, False),
    ("RETO", LOGIN_FIRST, False),
    ("REIN", GREETING, False),
    ("REST 100", LOGIN_FIRST, False),
    ("REFR", UNKNOWN, False),           # not RNFR: the E block holds only RETR, REIN, REST
    ("REM", UNKNOWN, False),
    ("RNFR a", LOGIN_FIRST, False),
    ("RXFR a", LOGIN_FIRST, False),
    ("RNTO b", LOGIN_FIRST, False),
    ("RMD dir", LOGIN_FIRST, False),
    ("RAT", LOGIN_FIRST, False),             # T in place 3: RNTO
    ("RUB", UNKNOWN, False),
    # S, with its closed block after O in place 3
    ("SYST", "215 UNIX Type: L8\r\n", False),
    ("SMNT /mnt", LOGIN_FIRST, False),
    ("STOR file", LOGIN_FIRST, False),
    ("STAT", LOGIN_FIRST, False),
    ("SIZE file", LOGIN_FIRST, False),
    ("SITE HELP", LOGIN_FIRST, False),
    ("STOU", LOGIN_FIRST, False),
    ("SROU", LOGIN_FIRST, False),            # O in place 3, U in place 4: STOU
    ("SOOX", UNKNOWN, False),           # the O block holds only STOU
    ("STRU F", LOGIN_FIRST, False),
    ("SAD", UNKNOWN, False),
    # T
    ("TYPE I", LOGIN_FIRST, False),
    ("TOP", UNKNOWN, False),
    # U: every U word is USER
    ("USER anonymous", "331 Guest login ok, send your complete e-mail address as password.\r\n", False),
    ("UNDO", "501 Syntax error in parameters.\r\n", False),   # USER without a name
    # V
    ("VRFY root", SMTP, True),
    ("VIEW", UNKNOWN, False),
    # X
    ("XPWD", PWD, False),
    ("XCWD /", LOGIN_FIRST, False),
    ("XMKD dir", LOGIN_FIRST, False),
    ("XRMD dir", LOGIN_FIRST, False),
    ("XYZ", UNKNOWN, False),
    # Case folding
    ("syst", "215 UNIX Type: L8\r\n", False),
    ("SyStEm", "215 UNIX Type: L8\r\n", False),
    ("xpwd", PWD, False),
    ("get / HTTP/1.1", HTTP, True),
    ("quit", GOODBYE, True),
    # Digits: places 2 and 3 must be letters; a fifth character is argument
    ("N0OP", UNKNOWN, False),
    ("NO0P", UNKNOWN, False),
    ("NOO1", NOOP, False),              # the word is NOO: NOOP with argument "1"
    ("1NOOP", UNKNOWN, False),
    # Letters beyond the fourth belong to the argument
    ("LANGen-UK", "200 en-UK is not supported (This isn't Anfield). Language is en-US.\r\n", False),
    ("CLNTx", "200 Noted.\r\n", False),
]


@pytest.fixture(scope="module")
def many_users():
    return "max-users = %d\nlisten-backlog-size = 256\nnoop-delay = 0\n" % (len(CASES) + 8)


def _run(server, case):
    line, expected, hangs_up = case
    c = server.control(timeout=30)
    assert c.reply() == GREETING
    c.send(line)
    reply = c.reply()
    closed = c.closed(timeout=0.5 if not hangs_up else 10)
    return line, reply, closed


def test_every_row_of_the_command_table(server, many_users):
    s = server(general=many_users)
    with ThreadPoolExecutor(max_workers=len(CASES)) as pool:
        results = list(pool.map(lambda case: _run(s, case), CASES))
    wrong = []
    for (line, expected, hangs_up), (_, reply, closed) in zip(CASES, results):
        if not reply.startswith(expected) or closed != hangs_up:
            wrong.append("%-28r -> %r (closed=%s)" % (line, reply, closed))
    assert not wrong, "\n".join(wrong)
