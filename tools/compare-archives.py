#!/usr/bin/env python3
"""Compares the archives of two runs, file by file, with what differs from run
to run masked: the date, the archive id and the boundary made from it, and
the test servers' ports (in addresses and inside the parts' bytes). For a
change that must not change what the product writes.

    tools/compare-archives.py BEFORE_DIR AFTER_DIR

Archives (*.mht, *.eml) are paired by their path below each folder. Prints
each pair that differs and the first difference; exits 1 if any differs or
is missing on one side."""
import email
import email.policy
import os
import re
import sys

PORT = re.compile(rb"(127\.0\.0\.1|localhost|\[::1\])(:|%3A)\d+", re.I)
MASKED_HEADERS = {"date", "x-tarvik-archiveid", "content-type"}


def archives(root):
    found = {}
    for folder, _, files in os.walk(root):
        for name in files:
            if name.lower().endswith((".mht", ".eml")):
                path = os.path.join(folder, name)
                found[os.path.relpath(path, root)] = path
    return found


def masked(data):
    return PORT.sub(rb"\1\2PORT", data)


def shape(path):
    """The archive as a list of comparable items."""
    with open(path, "rb") as f:
        raw = f.read()
    msg = email.message_from_bytes(raw, policy=email.policy.compat32)
    items = []
    for name, value in msg.items():
        if name.lower() not in MASKED_HEADERS:
            items.append(("header", name, masked(value.encode("latin-1", "replace"))))
    items.append(("type", msg.get_content_type()))
    for number, part in enumerate(msg.walk() if msg.is_multipart() else [msg]):
        if part.is_multipart():
            continue
        headers = tuple((n, masked(v.encode("latin-1", "replace"))) for n, v in part.items())
        items.append(("part", number, headers, masked(part.get_payload(decode=True) or b"")))
    return items


def main():
    if len(sys.argv) != 3:
        print(__doc__.strip())
        return 2
    before, after = archives(sys.argv[1]), archives(sys.argv[2])
    differ = 0
    for name in sorted(set(before) | set(after)):
        if name not in before or name not in after:
            print("%s: only %s" % (name, "after" if name not in before else "before"))
            differ += 1
            continue
        a, b = shape(before[name]), shape(after[name])
        if a == b:
            continue
        differ += 1
        first = next((i for i, (x, y) in enumerate(zip(a, b)) if x != y), min(len(a), len(b)))
        show = lambda items: repr(items[first])[:300] if first < len(items) else "(nothing)"
        print("%s: differs at item %d\n  before: %s\n  after:  %s" % (name, first, show(a), show(b)))
    print("%d archives compared, %d differ" % (len(set(before) | set(after)), differ))
    return 1 if differ else 0


if __name__ == "__main__":
    sys.exit(main())
