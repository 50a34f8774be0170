#!/usr/bin/env python3
"""Serves the sample site (or another folder) on 127.0.0.1 for captures,
tests and figures.

    tools/site-server.py [--root DIR] [--port N] [--port-file FILE]
                         [--log FILE] [--lifetime SECONDS] [--watch-pid PID] [--gzip]

It binds 127.0.0.1 only (port 0: a free one), prints "serving URL" when it
is ready and stops by itself after --lifetime seconds (default 900), when the
process --watch-pid ends, or on SIGTERM/SIGINT. --log writes one JSON line per
response with the body's length and SHA-256 (of the bytes before any gzip), so
a check can prove what the server sent.

Besides the files under the root it answers:
  /start              302 to /index.html (the sample's entry through a redirect)
  /go/NAME            302 to /NAME.html
  /gen/many?n=N       a page of N distinct images (/gen/img/I.png)
  /gen/bench?n=N&mib=M  a page of N resources of M MiB in all (/gen/res/I?size=S; kib=K for K KiB);
                      &page=K gives page K its own resources (/gen/res/pK-I?size=S);
                      &store=no sends them with "Cache-Control: no-store"
  /gen/big?mib=M      a page with one resource of M MiB (/gen/blob?mib=M)
  /gen/blob?mib=M     M MiB of deterministic bytes, streamed
  /gen/malformed      HTML that is not well formed, with one image
  /shape/NAME.html    pages of shapes common on the real web, each picture
                      one solid colour (SHAPE_COLOURS): fragment (reached as
                      fragment.html#section), fragments (pictures addressed
                      with a fragment), case (A.png and a.png), composite
                      (pictures served as multipart/* and message/rfc822),
                      names (a blank and brackets, raw and percent-encoded),
                      query (a query with percent-encoded bytes), unicode
                      (names in Cyrillic, accented Latin, CJK, the euro
                      sign, one pre-escaped, an accented query; UTF-8)
  /shape/img/NAME.png a 48x48 picture of NAME's colour (the query is ignored)
Anything else that is not a file is a 404 page.
"""
import argparse
import gzip
import hashlib
import http.server
import itertools
import json
import os
import random
import signal
import socketserver
import struct
import sys
import threading
import time
import urllib.parse
import zlib

TYPES = {
    ".html": "text/html; charset=utf-8", ".htm": "text/html; charset=utf-8", ".css": "text/css",
    ".js": "application/javascript", ".png": "image/png", ".gif": "image/gif", ".jpg": "image/jpeg",
    ".txt": "text/plain; charset=utf-8", ".mht": "message/rfc822",
}
MIB = 1 << 20
DEFAULT_ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "samples", "site")


def solid_png(rgb, size):
    """A size x size PNG of one colour."""
    raw = (b"\x00" + bytes(rgb) * size) * size

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", size, size, 8, 2, 0, 0, 0)) +
            chunk(b"IDAT", zlib.compress(raw)) + chunk(b"IEND", b""))


def small_png(index):
    """A 16x16 PNG of one colour that differs for every index below 2**24."""
    return solid_png(((index * 7919) & 255, (index >> 8) & 255, (index * 31) & 255), 16)


# The pictures of /shape/ pages by name (path decoded, letter case kept) and
# the type each is served with: a check counts each colour's pixels.
SHAPE_COLOURS = {
    "brown": (140, 80, 30), "green": (30, 170, 60), "navy": (20, 20, 130),
    "A": (220, 30, 30), "a": (30, 60, 220),
    "related": (150, 40, 180), "mixed": (120, 130, 20), "rfc": (240, 210, 30), "plain": (20, 160, 160),
    "a b": (240, 130, 20), "[c]": (240, 100, 180), "q": (90, 90, 90),
    "\u0444": (180, 40, 40), "\u0436": (40, 180, 40), "\u00e9": (40, 40, 180), "\u753b\u50cf": (180, 180, 40),
    "\u20ac": (180, 40, 180), "\u044f": (40, 180, 180),
}
SHAPE_TYPES = {"related": "multipart/related; boundary=\"x\"", "mixed": "multipart/x-mixed-replace; boundary=frame",
               "rfc": "message/rfc822"}
SHAPE_PAGES = {
    "fragment": '<h1 id="section">Section</h1><img src="img/brown.png" width="48" height="48">',
    "fragments": ('<img src="img/green.png#v2" width="48" height="48">'
                  '<img src="img/navy.png" width="48" height="48"><img src="img/navy.png#b" width="48" height="48">'),
    "case": '<img src="img/A.png" width="48" height="48"><img src="img/a.png" width="48" height="48">',
    "composite": ('<img src="img/related.png" width="48" height="48"><img src="img/mixed.png" width="48" height="48">'
                  '<img src="img/rfc.png" width="48" height="48"><img src="img/plain.png" width="48" height="48">'),
    "names": ('<img src="img/a b.png" width="48" height="48"><img src="img/a%20b.png" width="48" height="48">'
              '<img src="img/[c].png" width="48" height="48"><img src="img/%5Bc%5D.png" width="48" height="48">'),
    "query": '<img src="img/q.png?x=%E9%20y&amp;z=%2F" width="48" height="48">',
    # Written raw in the UTF-8 page, one pre-escaped (\u044f), one with an accented query.
    "unicode": "".join('<img src="img/%s" width="48" height="48">' % name for name in (
        "\u0444.png", "\u0436.png", "\u00e9.png", "\u753b\u50cf.png", "\u20ac.png", "%D1%8F.png", "q.png?name=caf\u00e9")),
}


def shape_route(path):
    """A /shape/ page or picture, or None."""
    if path.startswith("/shape/img/") and path.endswith(".png") and path[11:-4] in SHAPE_COLOURS:
        name = path[11:-4]
        return 200, SHAPE_TYPES.get(name, "image/png"), solid_png(SHAPE_COLOURS[name], 48)
    if path.startswith("/shape/") and path.endswith(".html") and path[7:-5] in SHAPE_PAGES:
        name = path[7:-5]
        return 200, "text/html; charset=utf-8", (
            "<!DOCTYPE html><html><head><title>Shape %s</title><style>body{margin:8px;background:#fff}"
            "img{margin:4px}</style></head><body>%s</body></html>" % (name, SHAPE_PAGES[name])).encode()
    return None


def block(seed):
    """One MiB of pseudo-random bytes, the same for the same seed."""
    return random.Random(seed).randbytes(MIB)


def number(query, name, default, limit):
    try:
        value = int(query.get(name, [str(default)])[0])
    except ValueError:
        return default
    return max(0, min(value, limit))


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "TarvikSampleServer/1.0"
    # Headers and body go out in two writes: without this, every response on
    # a kept-alive connection waits about 40 ms for the client's delayed ACK.
    disable_nagle_algorithm = True

    def log_message(self, fmt, *args):  # quiet: the JSON log is the record
        pass

    def do_HEAD(self):
        self.answer(head=True)

    def do_GET(self):
        self.answer(head=False)

    def answer(self, head):
        url = urllib.parse.urlsplit(self.path)
        query = urllib.parse.parse_qs(url.query)
        path = urllib.parse.unquote(url.path)
        try:
            route = self.route(path, query)
        except Exception as error:  # a fault of ours must not end the server
            route = (500, "text/plain", ("server error: %s" % error).encode())
        status, ctype, body = route[:3]
        location = route[3] if len(route) > 3 else None
        extra = route[4] if len(route) > 4 else ()
        if callable(body):
            self.stream(status, ctype, body, head)
        else:
            self.send_body(status, ctype, body, location, head, extra)

    def route(self, path, query):
        if path == "/start":
            return 302, "text/html", b"<a href=\"/index.html\">moved</a>", "/index.html"
        if path.startswith("/go/") and "/" not in path[4:] and path[4:]:
            target = "/" + path[4:] + ".html"
            return 302, "text/html", b"moved", target
        if path == "/gen/many":
            n = number(query, "n", 1000, 100000)
            imgs = "".join('<img src="/gen/img/%d.png" width="16" height="16">' % i for i in range(n))
            return 200, TYPES[".html"], ("<!DOCTYPE html><html><head><title>%d images</title></head><body>%s"
                                          "</body></html>" % (n, imgs)).encode()
        if path.startswith("/gen/img/") and path.endswith(".png"):
            try:
                return 200, "image/png", small_png(int(path[9:-4]))
            except ValueError:
                pass
        if path == "/gen/bench":
            n = number(query, "n", 100, 10000)
            if "kib" in query:
                total = number(query, "kib", 0, 4096 * 1024) * 1024
            else:
                total = number(query, "mib", 20, 4096) * MIB
            size = total // max(n, 1)
            # page=K: a page of its own, every resource a distinct URL (a session of pages).
            prefix = "p%d-" % number(query, "page", 0, 10 ** 9) if "page" in query else ""
            # store=no: resources no cache keeps (a host whose cache never evicts slows with every entry).
            store = "&store=no" if query.get("store") == ["no"] else ""
            links = "".join('<img src="/gen/res/%s%d?size=%d%s">' % (prefix, i, size, store) for i in range(n))
            return 200, TYPES[".html"], ("<!DOCTYPE html><html><head><title>Bench %d</title></head><body>%s"
                                          "</body></html>" % (n, links)).encode()
        if path.startswith("/gen/res/"):
            size = number(query, "size", 0, 64 * MIB)
            seed = path[9:]
            data = (block(seed) * (size // MIB + 1))[:size]
            extra = [("Cache-Control", "no-store")] if query.get("store") == ["no"] else []
            return 200, "application/octet-stream", data, None, extra
        if path == "/gen/big":
            mib = number(query, "mib", 256, 4096)
            return 200, TYPES[".html"], ("<!DOCTYPE html><html><head><title>Big</title></head><body>"
                                          '<img src="/gen/blob?mib=%d"></body></html>' % mib).encode()
        if path == "/gen/blob":
            mib = number(query, "mib", 256, 4096)
            return 200, "application/octet-stream", (lambda: (mib * MIB, itertools.repeat(block(mib), mib)))
        if path == "/gen/malformed":
            return 200, TYPES[".html"], MALFORMED
        return shape_route(path) or self.file(path)

    def file(self, path):
        root = self.server.root
        full = os.path.realpath(os.path.join(root, path.lstrip("/")))
        if full != root and not full.startswith(root + os.sep):
            return 404, "text/html", NOT_FOUND
        if os.path.isdir(full):
            full = os.path.join(full, "index.html")
        if not os.path.isfile(full):
            return 404, "text/html", NOT_FOUND
        with open(full, "rb") as f:
            data = f.read()
        return 200, TYPES.get(os.path.splitext(full)[1].lower(), "application/octet-stream"), data

    def send_body(self, status, ctype, body, location, head, extra=()):
        encoding = "identity"
        sent = body
        if (self.server.gzip and "gzip" in self.headers.get("Accept-Encoding", "") and
                (ctype.startswith("text/") or "javascript" in ctype)):
            sent, encoding = gzip.compress(body, mtime=0), "gzip"
        self.send_response(status)
        self.send_header("Content-Type", ctype)
        self.send_header("Content-Length", str(len(sent)))
        if encoding != "identity":
            self.send_header("Content-Encoding", encoding)
        if location:
            self.send_header("Location", location)
        for name, value in extra:
            self.send_header(name, value)
        self.end_headers()
        # Logged before the body goes out: once a client holds the bytes, the log has them.
        self.server.record(self.path, status, ctype, len(body), hashlib.sha256(body).hexdigest(), encoding,
                           location)
        if not head:
            self.wfile.write(sent)

    def stream(self, status, ctype, chunks, head):
        total, parts = chunks()
        parts = list(parts)  # the same block repeated: no copies
        digest = hashlib.sha256()
        for part in parts:
            digest.update(part)
        self.send_response(status)
        self.send_header("Content-Type", ctype)
        self.send_header("Content-Length", str(total))
        self.end_headers()
        self.server.record(self.path, status, ctype, total, digest.hexdigest(), "identity")
        if head:
            return
        for part in parts:
            try:
                self.wfile.write(part)
            except (BrokenPipeError, ConnectionResetError):
                return


NOT_FOUND = b"<!DOCTYPE html><html><head><title>Not found</title></head><body><h1>404 Not found</h1></body></html>"

# Unclosed and misnested tags, unquoted and duplicated attributes, a stray end
# of head, an unterminated comment-like run and a bad entity.
MALFORMED = (b"<html><head><title>Broken &amp page &#xZZ; <b>bold</title>\n"
             b"<body><p>one<p>two <div><span>unclosed\n"
             b"<img src=/gen/img/7.png alt=seven alt=again><a name=anchor1>x</a>\n"
             b"<a href=#>empty</a> </head> <table><tr><td>cell</table></td>\n"
             b"<!-- not closed < > & \x00 \xff\n"
             b"<a href=\"#anchor1\">up</a></i></b></html></html>")


class Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True
    allow_reuse_address = False

    def __init__(self, port, root, log_path, use_gzip):
        super().__init__(("127.0.0.1", port), Handler)
        self.root = os.path.realpath(root)
        self.gzip = use_gzip
        self.log_lock = threading.Lock()
        self.log_file = open(log_path, "a", encoding="utf-8") if log_path else None

    def record(self, path, status, ctype, length, sha256, encoding, location=None):
        if not self.log_file:
            return
        entry = {"path": path, "status": status, "type": ctype, "length": length, "sha256": sha256,
                 "encoding": encoding}
        if location:
            entry["location"] = location
        line = json.dumps(entry)
        with self.log_lock:
            self.log_file.write(line + "\n")
            self.log_file.flush()


def alive(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:
        return True
    return True


def main(argv=None):
    parser = argparse.ArgumentParser(description="Serves the sample site on 127.0.0.1.")
    parser.add_argument("--root", default=DEFAULT_ROOT)
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--port-file")
    parser.add_argument("--log")
    parser.add_argument("--lifetime", type=float, default=900.0)
    parser.add_argument("--watch-pid", type=int)
    parser.add_argument("--gzip", action="store_true")
    args = parser.parse_args(argv)
    if not os.path.isdir(args.root):
        print("site-server: no folder %s" % args.root, file=sys.stderr)
        return 2

    server = Server(args.port, args.root, args.log, args.gzip)
    port = server.server_address[1]
    stop = threading.Event()

    def watchdog():
        deadline = time.monotonic() + args.lifetime
        while not stop.wait(0.5):
            if time.monotonic() >= deadline or (args.watch_pid and not alive(args.watch_pid)):
                break
        server.shutdown()

    for sig in (signal.SIGTERM, signal.SIGINT):
        signal.signal(sig, lambda *_: stop.set())
    threading.Thread(target=watchdog, daemon=True).start()
    if args.port_file:
        temp = args.port_file + ".tmp"
        with open(temp, "w") as f:
            f.write("%d\n" % port)
        os.replace(temp, args.port_file)
    print("serving http://127.0.0.1:%d/" % port, flush=True)
    try:
        server.serve_forever(poll_interval=0.2)
    finally:
        server.server_close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
