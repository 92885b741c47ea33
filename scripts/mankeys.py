#!/usr/bin/env python3
"""Writes the key lists of general.cf(5) and domain.cf(5) from the daemon's key
tables, so the manual cannot drift from the code.

    scripts/mankeys.py          rewrite man/general.cf.5 and man/domain.cf.5
    scripts/mankeys.py --check  exit 1 when either page differs from the tables

Each page is made from its .in file: the line '.\\" @KEYS@' becomes the list.
"""
import os
import re
import sys

TOP = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

GENERAL_ENTRY = re.compile(
    r'\b(Bool|Int|Real|Mode|Text|SpecialText|Special|DomainOnly|Refused|Ignored)\(\s*"([^"]+)"([^()]*(?:\([^()]*\)[^()]*)*)\)',
    re.S)


# Special keys that take one of a few words: the words and the default word
# (the table holds only the internal number).
WORDS = {
    "tls": ("off, allowed, required-nonanon or required-all", "off"),
    "tls-min-protocol": ("1.2 or 1.3", "1.2"),
}


def roff(text):
    return text.replace("\\", "\\e").replace("-", "\\-")


def general_keys():
    src = open(os.path.join(TOP, "server/config/config.cc")).read()
    table = src[src.index("constexpr ConfigKey gOptionNames[]"):]
    table = table[:table.index("\n};")]
    keys = []
    for kind, name, rest in GENERAL_ENTRY.findall(table):
        args = [a.strip() for a in rest.split(",")[1:]] if rest.strip() else []
        last = args[-1] if args else ""
        if kind == "Bool":
            keys.append((name, "yes or no", "yes" if last == "1" else "no"))
        elif kind in ("Int", "Real"):
            keys.append((name, "number", last))
        elif kind == "Mode":
            keys.append((name, "octal mode", "%03o" % int(last, 8)))
        elif kind in ("Text", "SpecialText"):
            value = last.strip('"')
            keys.append((name, "text", value if value else "(empty)"))
        elif kind == "Special" and name in WORDS:
            keys.append((name,) + WORDS[name])
        elif kind == "Special":
            # Words or lists read by the key's own rule (described in the
            # sample file); the default is the table's internal value.
            keys.append((name, "special", "built in (internal value %s)" % args[2] if len(args) >= 3 else "none"))
        elif kind == "DomainOnly":
            keys.append((name, "domain.cf only", "refused here"))
        elif kind == "Refused":
            keys.append((name, "no longer supported", "refused"))
        elif kind == "Ignored":
            keys.append((name, "accepted, ignored", "\\(em"))
    return keys


def domain_keys():
    src = open(os.path.join(TOP, "server/config/domain.cc")).read()
    table = src[src.index("constexpr DomainKey kDomainKeys[]"):]
    table = table[:table.index("\n};")]
    body = src[src.index("void SetDomainDefaults"):]
    body = body[:body.index("\n}")]
    defaults = dict(re.findall(r"d->(\w+) = ([^;]+);", body))
    defaults.update(dict(re.findall(r'Strncpy\(d->(\w+), "([^"]*)"\)', body)))
    kinds = {"SetInt": "number", "SetBool": "yes or no", "SetText": "text", "SetUmask": "octal mode"}
    keys = []
    for name, setter in re.findall(r'\{"([^"]+)", ([^}]+)\}', table):
        m = re.match(r"(\w+)<&DomainInfo::(\w+)>", setter)
        if m:
            kind = kinds[m.group(1)]
            value = defaults.get(m.group(2))
            if value is None:
                value = {"number": "0", "yes or no": "no", "text": "(empty)"}.get(kind, "\\(em")
            elif value == "-1":
                value = "the general.cf value"
            elif kind == "yes or no":
                value = "yes" if value == "1" else "no"
        else:
            kind = "special"
            value = defaults.get(name, "(none)") if name == "passwd" else "(none)"
        if name == "set-name":
            kind, value = "text", "(starts a set)"
        keys.append((name, kind, value))
    return keys


def render(keys):
    out = []
    for name, kind, default in keys:
        out.append(".TP\n.B %s\n%s; default: %s.\n" % (roff(name), roff(kind), roff(default)))
    return "".join(out)


def pages():
    for page, keys in (("general.cf.5", general_keys()), ("domain.cf.5", domain_keys())):
        template = open(os.path.join(TOP, "man", page + ".in")).read()
        marker = '.\\" @KEYS@\n'
        assert marker in template, page
        yield os.path.join(TOP, "man", page), template.replace(marker, render(keys))


def main():
    check = sys.argv[1:] == ["--check"]
    stale = []
    for path, text in pages():
        old = open(path).read() if os.path.exists(path) else None
        if old != text:
            stale.append(path)
            if not check:
                with open(path, "w") as f:
                    f.write(text)
    if check and stale:
        print("out of date (run scripts/mankeys.py): " + " ".join(stale), file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
