#!/usr/bin/env python3
"""Writes the key lists of general.cf(5) and domain.cf(5) from the daemon's key
tables and the descriptions in man/keys.txt, so the manual cannot drift from
the code: a key of a table without a description, a description of no key,
or a written-out default that is not the table's stops it.

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


KEYS_FILE = os.path.join(TOP, "man", "keys.txt")


class TableError(Exception):
    pass


def roff(text):
    text = text.replace("\\", "\\e").replace("-", "\\-")
    return "\\&" + text if text[:1] in (".", "'") else text    # never a request


def read_descriptions():
    """The entries of man/keys.txt: {"general": {key: entry}, "domain": {...}}
    where an entry is {"value": ..., "default": ..., "text": ...}."""
    files = {"general": {}, "domain": {}}
    section = entry = None
    for number, line in enumerate(open(KEYS_FILE), 1):
        line = line.rstrip("\n")
        if line.startswith("#"):
            continue
        if line.startswith("== "):
            section = files[line[3:].strip()]
            entry = None
        elif line.startswith("@ "):
            name = line[2:].strip()
            if section is None or name in section:
                raise TableError("%s:%d: %s out of place or given twice" % (KEYS_FILE, number, name))
            entry = section[name] = {"text": []}
        elif entry is not None and not entry["text"] and re.match(r"(value|default): ", line):
            field, value = line.split(": ", 1)
            entry[field] = value.strip()
        elif line.strip():
            if entry is None:
                raise TableError("%s:%d: text outside a key" % (KEYS_FILE, number))
            entry["text"].append(line.strip())
    for section in files.values():
        for entry in section.values():
            entry["text"] = " ".join(entry["text"])
    return files


def table_value(kind, raw):
    """What the table's default is in the file's words, or None when its kind
    reads the value by a rule of its own."""
    if kind == "Bool":
        return {"0": "no", "1": "yes"}.get(raw, raw)
    if kind == "Int":
        return raw
    if kind == "Mode":
        return "%03o" % int(raw, 8)
    if kind == "Text":
        value = raw.strip('"')
        return value if value else "none"
    return None


KIND_WORDS = {"Bool": "yes or no", "Int": "a number", "Mode": "an octal mode", "Text": "text"}


def describe(file, name, kind, raw, entries):
    """One key's value, default and text; the table gives what the entry leaves out."""
    entry = entries.get(name)
    if entry is None or not entry["text"]:
        raise TableError("%s: no description of %s key %s" % (KEYS_FILE, file, name))
    derived = table_value(kind, raw) if raw is not None else None
    value = entry.get("value", KIND_WORDS.get(kind))
    default = entry.get("default", derived)
    if value is None or default is None:
        raise TableError("%s: %s key %s needs a value: and a default: line" % (KEYS_FILE, file, name))
    # A default written out by hand must still name the table's value.
    if "default" in entry and kind in ("Bool", "Int", "Mode") and derived is not None \
            and not re.search(r"(^|[^\w.])%s($|[^\w.])" % re.escape(derived), default):
        raise TableError("%s: the default of %s key %s is %s in the table, not %s"
                         % (KEYS_FILE, file, name, derived, default))
    return name, value, default, entry["text"]


def table(path, start):
    src = open(os.path.join(TOP, path)).read()
    body = src[src.index(start):]
    return src, body[:body.index("\n};")]


def general_keys(entries, domain_names):
    _, text = table("server/config/config.cc", "constexpr ConfigKey gOptionNames[]")
    keys = []
    for kind, name, rest in GENERAL_ENTRY.findall(text):
        args = [a.strip() for a in rest.split(",")[1:]] if rest.strip() else []
        if kind in ("DomainOnly", "Refused") and name in domain_names and name not in entries:
            how = ("stops the server with a message saying so" if kind == "DomainOnly"
                   else "is refused as an unknown key")
            keys.append((name, None, None,
                         "A setting of one virtual server: it belongs in domain.cf(5), and here it %s." % how))
            continue
        if kind == "Refused":
            keys.append((name, None, None, "No longer supported: the server refuses it as an unknown key."))
            continue
        raw = args[-1] if kind in ("Bool", "Int", "Mode", "Text") and args else None
        keys.append(describe("general.cf", name, kind, raw, entries))
    return keys


def domain_keys(entries):
    src, text = table("server/config/domain.cc", "constexpr DomainKey kDomainKeys[]")
    body = src[src.index("void SetDomainDefaults"):]
    body = body[:body.index("\n}")]
    defaults = {}
    for statement in re.findall(r"(d->\w+ = [^;]+);", body):
        # "d->a = d->b = -1;" gives both the last value.
        parts = [p.strip() for p in statement.split("=")]
        for field in parts[:-1]:
            defaults[field[3:]] = parts[-1]
    defaults.update(dict(re.findall(r'Strncpy\(d->(\w+), "([^"]*)"\)', body)))
    kinds = {"SetInt": "Int", "SetBool": "Bool", "SetText": "Text", "SetUmask": "Mode"}
    keys = []
    for name, setter in re.findall(r'\{"([^"]+)", ([^}]+)\}', text):
        m = re.match(r"(\w+)<&DomainInfo::(\w+)>", setter)
        kind, raw = "Special", None
        if m:
            kind = kinds[m.group(1)]
            raw = defaults.get(m.group(2), {"Text": '""'}.get(kind, "0"))
            if raw == "-1":
                raw = None    # the general.cf value; the entry says so
        keys.append(describe("domain.cf", name, kind, raw, entries))
    return keys


def render(keys):
    out = [".ad l\n.nh\n"]    # key names and paths stay whole
    for name, value, default, text in keys:
        out.append(".TP\n.B %s\n" % roff(name))
        if value is not None:
            out.append("Value: %s.\nDefault: %s%s\n" % (roff(value), roff(default), "" if default.endswith(".") else "."))
        out.append("%s\n" % roff(text))
    out.append(".hy\n.ad\n")
    return "".join(out)


def pages():
    entries = read_descriptions()
    domain = domain_keys(entries["domain"])
    general = general_keys(entries["general"], {k[0] for k in domain})
    for name in set(entries["general"]) - {k[0] for k in general}:
        raise TableError("%s: %s is no key of general.cf" % (KEYS_FILE, name))
    for name in set(entries["domain"]) - {k[0] for k in domain}:
        raise TableError("%s: %s is no key of domain.cf" % (KEYS_FILE, name))
    for page, keys in (("general.cf.5", general), ("domain.cf.5", domain)):
        template = open(os.path.join(TOP, "man", page + ".in")).read()
        marker = '.\\" @KEYS@\n'
        assert marker in template, page
        yield os.path.join(TOP, "man", page), template.replace(marker, render(keys))


def main():
    check = sys.argv[1:] == ["--check"]
    stale = []
    try:
        made = list(pages())
    except TableError as e:
        print(e, file=sys.stderr)
        return 1
    for path, text in made:
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
