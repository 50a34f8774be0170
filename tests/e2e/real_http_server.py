#!/usr/bin/env python3
"""A server that answers the way servers on the web do, for captures through
the browser host: redirects of every kind (and chains of them, and one onto
https on another host name), compressed bodies, chunked bodies and bodies
ended by closing the connection, validators with 304 answers, frames and
base tags, and answers that are wrong on purpose.

    real_http_server.py --port-file FILE [--https-port-file FILE --cert PEM --key PEM]
                        [--log FILE] [--lifetime SECONDS] [--watch-pid PID]

It binds 127.0.0.1 only (two free ports: http, and https when a certificate
is given), writes each port to its file when ready and stops by itself after
--lifetime seconds (default 900), when --watch-pid ends, or on SIGTERM. The
https side is meant to be reached as https://localhost:PORT/ (the name its
certificate must carry), the http side as http://127.0.0.1:PORT/: two host
names of this machine, no resolver touched.

--log writes one JSON line per response: the URL as the client asked for it
(scheme, Host header, raw path), the status, type, framing ("length",
"chunked" or "close"), content encoding, location, and the length and
SHA-256 of the body before any encoding, so a check can prove what was sent.

Every page is a SITE (SITES below): a folder with page.html, style.css (a
coloured band and a tile through url(bg.png)), pic.png, bg.png, icon.png and
for some pic.svg, each one solid colour (COLOURS), addressed relatively from
the page. ENTRIES are addresses that lead to a site's page through
redirects; BAD_ENTRIES are answers that are wrong on purpose.
"""
import argparse
import email.utils
import gzip
import hashlib
import http.server
import importlib.util
import json
import os
import signal
import socketserver
import ssl
import sys
import threading
import time
import urllib.parse
import zlib

_spec = importlib.util.spec_from_file_location(
    "site_server", os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools", "site-server.py"))
_site = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(_site)
solid_png = _site.solid_png
alive = _site.alive

PICTURE = 48  # pictures are PICTURE x PICTURE pixels; the band is twice as wide


def _colours(index):
    """Four colours of one site, far from each other, from white, black and from other sites'."""
    base = [(200, 30, 30), (30, 150, 40), (30, 40, 200), (210, 170, 20), (150, 30, 170), (20, 160, 170),
            (230, 110, 20), (100, 60, 20), (120, 120, 120), (230, 90, 160), (60, 100, 60), (90, 20, 60),
            (20, 60, 90), (160, 200, 60), (60, 200, 140), (140, 140, 220), (200, 130, 110), (110, 60, 140),
            (40, 80, 140), (180, 60, 90)]
    c = base[index % len(base)]

    def shift(d):  # lighter for dark colours, darker for light ones
        d = d if sum(c) < 380 else -d
        return tuple(max(0, min(255, v + d)) for v in c)
    return {"pic": c, "band": shift(30), "tile": shift(-60), "svg": shift(45)}


# name -> folder of the site (ends with "/"), how its page is built and served.
#   framing: length | chunked | close; encoding: None | gzip | deflate (pages, style sheets, SVG)
#   validators: ETag and Last-Modified, 304 on a matching conditional request
#   page_name: the page's name in the folder ("" for a folder-style address)
#   head: False writes no head element and no </head> (a minified page)
#   base: the page's own base tag (relative, or absolute: {http_other} is the http side as localhost)
#   assets: the folder the assets are served from, relative to the site's folder
#   frame: an iframe naming this address relative to the page
#   status: the page's status (404: a not-found page that still shows)
SITES = {
    "r301": {}, "r302": {}, "r303": {}, "r307": {}, "r308": {},
    "chain": {},
    "https": {"scheme": "https"},
    "gzip": {"encoding": "gzip", "svg": True},
    "deflate": {"encoding": "deflate", "svg": True},
    "chunked": {"framing": "chunked", "svg": True},
    "close": {"framing": "close", "svg": True},
    "cached": {"validators": True},
    "frame": {"frame": "../../go/framed/entry"},
    "framed": {},
    "baserel": {"base": "assets/", "assets": "assets/"},
    "baseabs": {"base": "{http_other}/store/baseabs/", "assets_at": "/store/baseabs/"},
    "gone": {"status": 404},
    "docs": {"folder": "/docs/", "page_name": ""},
    "minified": {"folder": "/min/", "page_name": "", "head": False},
    "long": {}, "body301": {}, "caf\u00e9": {},
}
for _i, (_name, _site_def) in enumerate(SITES.items()):
    _site_def.setdefault("folder", "/land/%s/" % _name)
    _site_def.setdefault("page_name", "page.html")
    _site_def["colours"] = _colours(_i)


def page_path(name):
    return SITES[name]["folder"] + SITES[name]["page_name"]


def assets_folder(name):
    site = SITES[name]
    return site.get("assets_at") or site["folder"] + site.get("assets", "")


# Entry addresses: path -> list of (status, Location) hops ending in a site's
# page (the last hop's Location), as (first path, codes, site).
def _hops(first, codes, site):
    paths = [first] + ["%s/%d" % (first.rsplit("/", 1)[0], i) for i in range(2, len(codes) + 1)]
    return [(paths[i], codes[i], paths[i + 1] if i + 1 < len(codes) else page_path(site)) for i in range(len(codes))]


ENTRIES = {}  # scenario -> (asked path, site, hops [(path, status, location)])
for _code in (301, 302, 303, 307, 308):
    _first = "/go/%d/entry" % _code
    ENTRIES["r%d" % _code] = (_first, "r%d" % _code, _hops(_first, [_code], "r%d" % _code))
ENTRIES["chain"] = ("/hop/chain/1", "chain", _hops("/hop/chain/1", [301, 302, 303, 307], "chain"))
ENTRIES["framed"] = ("/go/framed/entry", "framed", _hops("/go/framed/entry", [302], "framed"))
ENTRIES["baserel"] = ("/go/baserel/entry", "baserel", _hops("/go/baserel/entry", [302], "baserel"))
ENTRIES["baseabs"] = ("/go/baseabs/entry", "baseabs", _hops("/go/baseabs/entry", [301], "baseabs"))
ENTRIES["gone"] = ("/go/gone/entry", "gone", _hops("/go/gone/entry", [302], "gone"))
ENTRIES["docs"] = ("/docs", "docs", [("/docs", 301, "/docs/")])
ENTRIES["minified"] = ("/min", "minified", [("/min", 301, "/min/")])
ENTRIES["long"] = ("/hop/long/1", "long", _hops("/hop/long/1", [302] * 30, "long"))
# To https on the other host name: the Location is absolute, filled in per request.
ENTRIES["https"] = ("/go/secure/entry", "https", [("/go/secure/entry", 302, "{https}" + page_path("https"))])

# Wrong on purpose: path -> (status, Location bytes, body).
BAD_ENTRIES = {
    "/bad/loop/a": (302, b"/bad/loop/b", b""),
    "/bad/loop/b": (302, b"/bad/loop/a", b""),
    "/bad/scheme/ftp": (302, b"ftp://127.0.0.1:9/page.html", b""),
    "/bad/scheme/data": (302, b"data:text/html,<p>moved</p>", b""),
    "/bad/scheme/javascript": (302, b"javascript:alert(1)", b""),
    "/bad/scheme/about": (302, b"about:blank", b""),
    # The site's folder named in raw Latin-1, as some servers still write it.
    "/bad/nonascii": (302, b"/land/caf\xe9/page.html", b""),
    "/bad/invalid": (302, b"http://nowhere.invalid/page.html", b""),
}
# A 301 that carries a page of its own, with a picture of its own: a client
# that keeps it in place of where it leads records a wrong page.
WRONG_COLOUR = (250, 0, 250)
BAD_ENTRIES["/bad/body301"] = (
    301, page_path("body301").encode(),
    b'<!DOCTYPE html><html><head><title>Moved</title></head><body><img src="/wrong/pic.png" width="48" '
    b'height="48">Moved <a href="' + page_path("body301").encode() + b'">here</a></body></html>')


def svg(rgb):
    return ('<svg xmlns="http://www.w3.org/2000/svg" width="%d" height="%d"><rect width="100%%" height="100%%" '
            'fill="rgb(%d,%d,%d)"/></svg>' % ((PICTURE, PICTURE) + tuple(rgb))).encode()


def hex_colour(rgb):
    return "#%02x%02x%02x" % tuple(rgb)


def page_body(name, origins):
    """The page of a site: a style sheet and an icon named in the head, relatively; pictures in the body."""
    site = SITES[name]
    colours = site["colours"]
    head = '<title>Site %s</title>' % name
    if site.get("base"):
        head += '<base href="%s">' % site["base"].format(**origins)
    prefix = "" if site.get("base") else site.get("assets", "")
    head += '<link rel="stylesheet" href="%sstyle.css"><link rel="icon" href="%sicon.png">' % (prefix, prefix)
    body = ('<div class="band"></div><div class="tile"></div><img src="%spic.png" width="%d" height="%d">' %
            (prefix, PICTURE, PICTURE))
    if site.get("svg"):
        body += '<img src="%spic.svg" width="%d" height="%d">' % (prefix, PICTURE, PICTURE)
    if site.get("frame"):
        body += '<iframe src="%s" width="320" height="200" style="border:0"></iframe>' % site["frame"]
    if site.get("status") == 404:
        body += "<h1>Not found</h1>"
    if site.get("head", True):
        text = "<!DOCTYPE html>\n<html><head>%s</head>\n<body>%s</body></html>\n" % (head, body)
    else:  # minified: no head element, no </head>, nothing closed
        text = "<!DOCTYPE html><meta charset=utf-8>%s%s" % (head, body)
    return text.encode("utf-8")


def style_body(name):
    colours = SITES[name]["colours"]
    return ("body{margin:8px;background:#fff}div,img,iframe{display:block;margin:4px}"
            ".band{width:%dpx;height:%dpx;background:%s}.tile{width:%dpx;height:%dpx;background:url(bg.png)}" %
            (2 * PICTURE, PICTURE, hex_colour(colours["band"]), PICTURE, PICTURE)).encode()


def site_of(path):
    """(site, file name) for a path in a site's folder or assets folder, else None."""
    for name, site in SITES.items():
        if path == page_path(name) or (site["page_name"] and path == site["folder"]):
            return name, "page" if path == page_path(name) else None
        folder = assets_folder(name)
        if path.startswith(folder) and "/" not in path[len(folder):]:
            return name, path[len(folder):]
    return None


def resource(path, origins):
    """(status, type, body, site) for a site's page or asset, or None."""
    found = site_of(path)
    if not found or found[1] is None:
        return None
    name, file = found
    site = SITES[name]
    colours = site["colours"]
    if file == "page":
        return site.get("status", 200), "text/html; charset=utf-8", page_body(name, origins), site
    files = {"style.css": ("text/css", lambda: style_body(name)),
             "pic.png": ("image/png", lambda: solid_png(colours["pic"], PICTURE)),
             "bg.png": ("image/png", lambda: solid_png(colours["tile"], PICTURE)),
             "icon.png": ("image/png", lambda: solid_png(colours["pic"], 16))}
    if site.get("svg"):
        files["pic.svg"] = ("image/svg+xml", lambda: svg(colours["svg"]))
    if file not in files:
        return None
    ctype, make = files[file]
    return 200, ctype, make(), site


def decoded_path(raw):
    """The path of a request target, percent escapes decoded as UTF-8, or as Latin-1 where that is not UTF-8."""
    path = urllib.parse.urlsplit(raw).path
    data = urllib.parse.unquote_to_bytes(path.encode("latin-1", "replace"))
    try:
        return data.decode("utf-8")
    except UnicodeDecodeError:
        return data.decode("latin-1")


NOT_FOUND = _site.NOT_FOUND


class Handler(_site.Handler):
    """The sample server's handler (HTTP/1.1, no delayed ACKs, quiet) with answers of its own."""
    server_version = "TarvikRealServer/1.0"

    def origins(self):
        return {"http": "http://127.0.0.1:%d" % self.server.ports["http"],
                "http_other": "http://localhost:%d" % self.server.ports["http"],
                "https": "https://localhost:%d" % self.server.ports.get("https", 0)}

    def answer(self, head):
        raw = self.path
        path = decoded_path(raw)
        try:
            self.route(path, raw, head)
        except (BrokenPipeError, ConnectionResetError):
            self.close_connection = True

    def route(self, path, raw, head):
        for _, _, hops in ENTRIES.values():
            for hop_path, status, location in hops:
                if path == hop_path:
                    return self.send(status, "text/html", b"", head, location=location.format(**self.origins()))
        if path in BAD_ENTRIES:
            status, location, body = BAD_ENTRIES[path]
            return self.send(status, "text/html", body, head, location=location)
        found = resource(path, self.origins())
        if found:
            status, ctype, body, site = found
            return self.send(status, ctype, body, head, site=site)
        if path == "/wrong/pic.png":
            return self.send(200, "image/png", solid_png(WRONG_COLOUR, PICTURE), head)
        return self.send(404, "text/html", NOT_FOUND, head)

    def send(self, status, ctype, body, head, location=None, site=None):
        site = site or {}
        framing = site.get("framing", "length")
        encoding = site.get("encoding") if (ctype.startswith("text/") or "svg" in ctype) else None
        accepted = self.headers.get("Accept-Encoding", "")
        if encoding and encoding not in accepted:
            encoding = None
        sent = body
        if encoding == "gzip":
            sent = gzip.compress(body, mtime=0)
        elif encoding == "deflate":
            # Raw deflate, as many servers send it (RFC 9110 names the zlib
            # wrapping, which Wine's wininet does not decode).
            packer = zlib.compressobj(wbits=-15)
            sent = packer.compress(body) + packer.flush()
        extra = []
        status_out = status
        if site.get("validators"):
            tag = '"%s"' % hashlib.sha256(body).hexdigest()[:16]
            modified = email.utils.formatdate(self.server.started - 3600, usegmt=True)
            # Stale at once: kept in the cache, asked again with its validators.
            extra = [("ETag", tag), ("Last-Modified", modified), ("Cache-Control", "max-age=0")]
            if (self.headers.get("If-None-Match") == tag or
                    (not self.headers.get("If-None-Match") and self.headers.get("If-Modified-Since") == modified)):
                status_out, sent = 304, b""
        if framing == "close" and status_out != 304:
            self.protocol_version = "HTTP/1.0"  # as an old server answers: the end of the body is the close
        self.send_response(status_out)
        if status_out != 304:
            self.send_header("Content-Type", ctype)
        if encoding and status_out != 304:
            self.send_header("Content-Encoding", encoding)
        for key, value in extra:
            self.send_header(key, value)
        if location is not None:
            # Raw bytes on purpose (some Location values are not ASCII).
            self._headers_buffer.append(b"Location: " + (location if isinstance(location, bytes)
                                                         else location.encode("latin-1")) + b"\r\n")
        if status_out == 304:
            framing = "length"
            self.send_header("Content-Length", "0")
        elif framing == "length":
            self.send_header("Content-Length", str(len(sent)))
        elif framing == "chunked":
            self.send_header("Transfer-Encoding", "chunked")
        else:
            self.close_connection = True
        # Logged before anything goes out: once a client holds the answer, the log has it.
        scheme = "https" if self.server.secure else "http"
        self.server.record({
            "url": "%s://%s%s" % (scheme, self.headers.get("Host", ""), self.path), "path": self.path,
            "status": status_out, "type": ctype, "length": len(body) if status_out != 304 else 0,
            "sha256": hashlib.sha256(body if status_out != 304 else b"").hexdigest(),
            "encoding": encoding or "identity", "framing": framing,
            "location": (location.decode("latin-1") if isinstance(location, bytes) else location),
            "conditional": bool(self.headers.get("If-None-Match") or self.headers.get("If-Modified-Since"))})
        self.end_headers()
        if head or status_out == 304:
            return
        if framing == "chunked":
            # Pieces of uneven sizes, the last one smaller than the rest.
            step = max(1, len(sent) // 3 + 7)
            for i in range(0, len(sent), step):
                piece = sent[i:i + step]
                self.wfile.write(b"%x\r\n%s\r\n" % (len(piece), piece))
            self.wfile.write(b"0\r\n\r\n")
        else:
            self.wfile.write(sent)
        self.wfile.flush()


class Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True
    allow_reuse_address = False

    def __init__(self, record, ports, context=None):
        super().__init__(("127.0.0.1", 0), Handler)
        self.record = record
        self.ports = ports
        self.context = context
        self.secure = context is not None
        self.started = time.time()

    def finish_request(self, request, client_address):
        # The handshake on the request's own thread: a client that stalls in
        # it holds up no one else.
        if self.context:
            request.settimeout(30)
            try:
                request = self.context.wrap_socket(request, server_side=True)
            except (ssl.SSLError, OSError):
                return
        super().finish_request(request, client_address)


def write_port(path, port):
    temp = path + ".tmp"
    with open(temp, "w") as f:
        f.write("%d\n" % port)
    os.replace(temp, path)


def main(argv=None):
    parser = argparse.ArgumentParser(description="Serves pages the way servers on the web answer, on 127.0.0.1.")
    parser.add_argument("--port-file", required=True)
    parser.add_argument("--https-port-file")
    parser.add_argument("--cert")
    parser.add_argument("--key")
    parser.add_argument("--log")
    parser.add_argument("--lifetime", type=float, default=900.0)
    parser.add_argument("--watch-pid", type=int)
    args = parser.parse_args(argv)
    if bool(args.cert) != bool(args.https_port_file) or bool(args.cert) != bool(args.key):
        parser.error("--https-port-file, --cert and --key go together")

    lock = threading.Lock()
    log = open(args.log, "a", encoding="utf-8") if args.log else None

    def record(entry):
        if log:
            with lock:
                log.write(json.dumps(entry) + "\n")
                log.flush()

    ports = {}
    servers = [Server(record, ports)]
    ports["http"] = servers[0].server_address[1]
    if args.cert:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(args.cert, args.key)
        servers.append(Server(record, ports, context))
        ports["https"] = servers[1].server_address[1]

    stop = threading.Event()

    deadline = time.monotonic() + args.lifetime

    def watchdog():
        # Both sides end together: at the deadline, when the watched process is gone, or on a signal.
        while not stop.wait(0.5) and time.monotonic() < deadline and not (args.watch_pid and not alive(args.watch_pid)):
            pass
        for server in servers:
            server.shutdown()

    for sig in (signal.SIGTERM, signal.SIGINT):
        signal.signal(sig, lambda *_: stop.set())
    threads = [threading.Thread(target=s.serve_forever, kwargs={"poll_interval": 0.2}) for s in servers]
    for thread in threads:
        thread.start()
    threading.Thread(target=watchdog, daemon=True).start()
    if args.https_port_file:
        write_port(args.https_port_file, ports["https"])
    write_port(args.port_file, ports["http"])
    print("serving http://127.0.0.1:%d/" % ports["http"] +
          (" and https://localhost:%d/" % ports["https"] if args.cert else ""), flush=True)
    for thread in threads:
        thread.join()
    for server in servers:
        server.server_close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
