"""Python's email package reads archives made by tarvik-compose: every
content part decodes to the captured bytes, the headers carry the
product's texts, and alias parts appear for URLs that percent-encoding
changes, except where the browser may file the alias where a part with
bytes stands.  Usage: python_email_reader.py TARVIK_COMPOSE"""
import email
import email.policy
import os
import random
import re
import sys
import tempfile

# The readers shared with the end-to-end tests.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "support", "readers"))
from reader_support import compose, percent_encode, png  # noqa: E402


def expected_html(data, base):
    base = base.split(b"?", 1)[0].replace(b'"', b"%22")
    return re.sub(rb"(?i)</head>", lambda m: b'<base href="' + base + b'">\r\n</head>', data)


def main(tool):
    rnd = random.Random(2026)
    big = bytes(rnd.getrandbits(8) for _ in range(1 << 16)) * 256  # 16 MiB
    page = (b"<!DOCTYPE html><html><HEAD><title>Caf\xe9</title></HEAD><body><img src=\"a b_c.png\">"
            b"</head></body></html>")
    entries = [
        (b"http://example.test/dir/index.html", "text/html; charset=windows-1252", page, "", b"http://example.test/dir/?s=1"),
        (b"http://example.test/dir/a b_c.png", "image/png", png(7, 5, (200, 10, 30)), "", b""),
        (b"http://example.test/dir/zeros.bin", "application/octet-stream", b"\x00" * 1000 + b"x\x00\x00", "", b""),
        (b"http://example.test/dir/empty.css", "text/css", b"", "", b""),
        (b"http://example.test/dir/big.dat", "application/octet-stream", big, "", b""),
        (b"http://example.test/dir/caf\xe9~.js", "application/javascript", b"var x = '\"';\r\n", "", b""),
        (b"http://example.test/dir/index.html#part2", "", None, "", b""),
    ]
    with tempfile.TemporaryDirectory() as work:
        # The big resource comes from its cache file (it wins over captured
        # bytes of its own size), the rest from memory.
        cache = os.path.join(work, "big.cache")
        with open(cache, "wb") as f:
            f.write(big)
        entries[4] = entries[4][:2] + (bytes(len(big)),) + (cache,) + entries[4][4:]
        data, _ = compose(tool, work, entries, title="Caf\u00e9 page", version="3.1.4.1")

    msg = email.message_from_bytes(data, policy=email.policy.default)
    problems = []

    def check(ok, what):
        if not ok:
            problems.append(what)

    check(msg.is_multipart() and msg.get_content_type() == "multipart/related", "top-level type")
    check(not msg.defects, "top-level defects: %r" % msg.defects)
    raw = dict(msg.raw_items())
    archive_id = raw.get("X-Tarvik-ArchiveID", "")
    check(re.fullmatch(r"\{[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}\}", archive_id) is not None,
          "archive id %r" % archive_id)
    boundary = "--Tarvik-Express-3.1.4.1-" + archive_id
    check(msg.get_boundary() == boundary, "boundary %r" % msg.get_boundary())
    check(raw.get("From") == "Tarvik Express V3.1.4.1 (http://www.tarvik.com/)", "From %r" % raw.get("From"))
    check(raw.get("MIME-Version") == "1.0", "MIME-Version")
    check(raw.get("X-MimeOLE") == "Produced By Tarvik Express V3.1.4.1", "X-MimeOLE %r" % raw.get("X-MimeOLE"))
    check(raw.get("X-Unsent") == "1", "X-Unsent")
    check(raw.get("Subject", "").encode("ascii", "surrogateescape") == "Caf\u00e9 page".encode(), "Subject")
    check(bool(raw.get("Date")), "Date")
    check([k for k, _ in msg.raw_items()] ==
          ["From", "Date", "MIME-Version", "Content-Type", "X-MimeOLE", "X-Tarvik-ArchiveID", "X-Unsent", "Subject"],
          "header order %r" % [k for k, _ in msg.raw_items()])

    parts = list(msg.iter_parts())
    content_urls = [e[0] for e in entries]
    check(len(parts) >= len(entries), "part count %d" % len(parts))
    for part, entry in zip(parts, entries):
        url, ctype, content, _, base = entry
        check(not part.defects, "defects in %r: %r" % (url, part.defects))
        location = dict(part.raw_items()).get("Content-Location", "")
        # Non-ASCII header bytes come back as surrogates: the exact bytes. A
        # page found elsewhere stands where it was found.
        where = base if base and ctype.lower().startswith("text/html") else url
        check(location.encode("ascii", "surrogateescape") == where, "location %r for %r" % (location, url))
        if b"#" in url:
            check(list(k for k, _ in part.raw_items()) == ["Content-Location"], "placeholder headers")
            check(part.get_payload(decode=True) in (b"", None), "placeholder body")
            continue
        body = part.get_payload(decode=True)
        if url.endswith(b"big.dat"):
            want, want_type = big, ctype
        elif not content:
            want, want_type = b"", "text/plain"
        elif ctype.lower().startswith("text/html"):
            want, want_type = expected_html(content, base or entries[0][0]), ctype
        else:
            want, want_type = content, ctype
        check(dict(part.raw_items()).get("Content-Type") == want_type, "type of %r" % url)
        check(part.get("Content-Transfer-Encoding") == "base64", "encoding of %r" % url)
        check(body == want, "body of %r: %d bytes, want %d" % (url, len(body or b""), len(want)))

    # The page was found at "dir/?s=1": a copy at the address asked for
    # follows, its base in front of everything it names.
    copy = parts[len(entries)]
    check(dict(copy.raw_items()).get("Content-Location", "").encode() == entries[0][0], "copy's location")
    head = b"<!DOCTYPE html><html><HEAD>"
    check(copy.get_payload(decode=True) == head + b'<base href="http://example.test/dir/">' + page[len(head):],
          "copy's body")
    aliases = parts[len(entries) + 1:]
    # The browser files "a b_c.png" at "a%20b_c.png" and keeps the escaped
    # "_" of "a%20b%5Fc.png" apart; "caf%E9%7E.js" is not where it files the
    # Latin-1 name (that becomes UTF-8 escapes). Both aliases stand apart.
    want_aliases = [b"http://example.test/dir/a%20b%5Fc.png", b"http://example.test/dir/caf%E9%7E.js"]
    got_aliases = [dict(p.raw_items()).get("Content-Location", "").encode("ascii") for p in aliases]
    check(got_aliases == want_aliases, "aliases %r, want %r" % (got_aliases, want_aliases))
    check(all(percent_encode(u) != u for u in content_urls if percent_encode(u) in got_aliases), "alias of a URL")
    for p in aliases:
        check([k for k, _ in p.raw_items()] == ["Content-Location"] and not p.get_payload(), "alias shape")

    if problems:
        print("FAILED:\n  " + "\n  ".join(problems))
        return 1
    print("python email reader: %d parts (%d aliases) read back exactly, 16 MiB part included" %
          (len(parts), len(aliases)))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
