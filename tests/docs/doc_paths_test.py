#!/usr/bin/env python3
"""Fails when a path written in backticks in README.md or docs/*.md does not
exist, so the map cannot drift from the tree unnoticed.

A span counts as a path when its first word starts with one of the tree's
top-level folders or names a file at the top. `src/core/UrlText` (a unit
named without its extension) stands for any file of that name; `<folder>`
and `*` stand for any name. Paths under build/ are made by the build and are
not checked.

    doc_paths_test.py [ROOT]
"""
import glob
import os
import re
import sys

SPAN = re.compile(r"`([^`\n]+)`")
FENCE = re.compile(r"^\s*```")


def roots_of(root):
    """Top-level folders and files of the tree (build output left out)."""
    names = set(os.listdir(root)) - {"build", ".git"}
    return {n for n in names if not n.startswith(".") or n in (".ci", ".clang-format", ".clang-tidy")}


def candidate(span, roots):
    word = span.split()[0].rstrip(".,;:)")
    if word.startswith("./"):
        word = word[2:]
    top = word.split("/", 1)[0]
    return word if top in roots else None


def exists(root, word):
    pattern = re.sub(r"<[^>]*>", "*", word)
    path = os.path.join(root, pattern)
    if glob.glob(path) or glob.glob(path.rstrip("/")):
        return True
    # A unit named without its extension: its .h, .cpp, .py, ... file.
    return not os.path.splitext(pattern)[1] and bool(glob.glob(path + ".*"))


def spans(text):
    """Inline code spans, outside fenced blocks, with their line numbers."""
    fenced = False
    for number, line in enumerate(text.splitlines(), 1):
        if FENCE.match(line):
            fenced = not fenced
            continue
        if fenced:
            continue
        for match in SPAN.finditer(line):
            yield number, match.group(1)


def check(root):
    roots = roots_of(root)
    documents = [os.path.join(root, "README.md")] + sorted(glob.glob(os.path.join(root, "docs", "*.md")))
    missing, checked = [], 0
    for document in documents:
        with open(document, encoding="utf-8") as f:
            text = f.read()
        for number, span in spans(text):
            word = candidate(span, roots)
            if word is None:
                continue
            checked += 1
            if not exists(root, word):
                missing.append("%s:%d: `%s` does not exist" % (os.path.relpath(document, root), number, word))
    return checked, missing


def main():
    root = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..", ".."))
    checked, missing = check(root)
    for line in missing:
        print(line)
    print("%d paths checked, %d missing" % (checked, len(missing)))
    # A document that names no path at all means the check found nothing to check.
    return 1 if missing or checked == 0 else 0


if __name__ == "__main__":
    sys.exit(main())
