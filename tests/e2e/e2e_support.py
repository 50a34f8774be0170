"""Shared pieces of the end-to-end checks: the sample site's server, headless
Chromium screenshots, archives read with Python's email package, and a
stand-in capture that composes what a browser would fetch with tarvik-compose
(for checking the checks before a browser host is at hand)."""
import email
import email.policy
import hashlib
import html.parser
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import urllib.parse
import urllib.request

REPO = os.path.realpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
sys.path.insert(0, os.path.join(REPO, "tests", "support", "readers"))
from chromium_reader import chromium  # noqa: E402  (one way to find the browser)
from reader_support import read_png  # noqa: E402

SERVER = os.path.join(REPO, "tools", "site-server.py")


class SiteServer:
    """tools/site-server.py on a free 127.0.0.1 port for the life of a with-block."""

    def __init__(self, workdir, lifetime=600, extra=()):
        self.port_file = os.path.join(workdir, "server.port")
        self.log = os.path.join(workdir, "server.log")
        self.args = [sys.executable, SERVER, "--port-file", self.port_file, "--log", self.log,
                     "--lifetime", str(lifetime), "--watch-pid", str(os.getpid())] + list(extra)
        self.process = None
        self.base = None

    def __enter__(self):
        self.process = subprocess.Popen(self.args, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        deadline = time.monotonic() + 20
        while not os.path.exists(self.port_file):
            if self.process.poll() is not None or time.monotonic() > deadline:
                self.stop()
                raise RuntimeError("the site server did not start: %s" % self.process.stderr.read().decode())
            time.sleep(0.05)
        with open(self.port_file) as f:
            self.base = "http://127.0.0.1:%d" % int(f.read())
        return self

    def stop(self):
        if self.process and self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        if self.process and self.process.stderr:
            self.process.stderr.close()

    def __exit__(self, *exc):
        self.stop()

    def responses(self):
        """The responses sent so far, one dict each (path, status, type, length, sha256, encoding)."""
        if not os.path.exists(self.log):
            return []
        with open(self.log, encoding="utf-8") as f:
            return [json.loads(line) for line in f if line.strip()]


def screenshot(target, out, width=800, height=600, scripts=True):
    """Renders a URL or a file with headless Chromium into a PNG (scripts off
    when asked); raises with Chromium's words when no picture came out."""
    browser = chromium()
    if not browser:
        raise RuntimeError("no chromium on PATH (tools/setup.sh installs it)")
    if os.path.exists(target):
        target = "file://" + os.path.abspath(target)
    profile = tempfile.mkdtemp(prefix="tarvik-e2e-chromium-")
    try:
        run = subprocess.run(
            [browser, "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
             "--disable-background-networking", "--disable-component-update", "--disable-sync",
             "--hide-scrollbars", "--user-data-dir=" + profile, "--window-size=%d,%d" % (width, height)] +
            ([] if scripts else ["--blink-settings=javascriptEnabled=false"]) + ["--screenshot=" + out, target],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=120)
    finally:
        shutil.rmtree(profile, ignore_errors=True)
    if not os.path.exists(out):
        raise RuntimeError("chromium made no screenshot of %s: %s" %
                           (target, run.stderr.decode(errors="replace")[-2000:]))
    return out


def compare_png(first, second, channel_tolerance=24):
    """(share of pixels that differ by more than channel_tolerance in a channel,
    size) of two screenshots; a size mismatch counts as every pixel differing."""
    w1, h1, p1 = read_png(first)
    w2, h2, p2 = read_png(second)
    if (w1, h1) != (w2, h2):
        return 1.0, (w1, h1, w2, h2)
    differ = 0
    for y in range(h1):
        for x in range(w1):
            if any(abs(a - b) > channel_tolerance for a, b in zip(p1(x, y), p2(x, y))):
                differ += 1
    return differ / float(w1 * h1), (w1, h1)


def colour_counts(png, colours, tolerance=6):
    """Pixels of each colour (name -> (r, g, b)), within a small tolerance, in a screenshot."""
    width, height, pixel = read_png(png)
    counts = dict.fromkeys(colours, 0)
    for y in range(height):
        for x in range(width):
            got = pixel(x, y)
            for name, want in colours.items():
                if all(abs(a - b) <= tolerance for a, b in zip(got, want)):
                    counts[name] += 1
    return counts


def read_archive(path):
    """(message, [(Content-Location, Content-Type, decoded body or None)]) of an archive."""
    with open(path, "rb") as f:
        msg = email.message_from_bytes(f.read(), policy=email.policy.default)
    parts = []
    for part in msg.iter_parts():
        raw = dict(part.raw_items())
        location = raw.get("Content-Location", "").encode("ascii", "surrogateescape").decode("latin-1")
        parts.append((location, raw.get("Content-Type", ""), part.get_payload(decode=True)))
    return msg, parts


INJECTED_BASE = re.compile(rb'<base href="[^"]*">\r\n(?=</head>)', re.IGNORECASE)


def without_injected_base(body):
    """An HTML part's bytes as the server sent them: the archive adds one base tag."""
    return INJECTED_BASE.sub(b"", body, count=1)


def same_url(url):
    """A URL in one spelling: percent escapes decoded, the fragment dropped."""
    return urllib.parse.unquote(url.split("#", 1)[0])


class References(html.parser.HTMLParser):
    """What a browser fetches for a page: images, scripts, style sheets, frames; and its base."""

    def __init__(self):
        super().__init__(convert_charrefs=True)
        self.found, self.base = [], None

    def handle_starttag(self, tag, attrs):
        a = dict(attrs)
        if tag == "base" and a.get("href") and self.base is None:
            self.base = a["href"]
        elif tag in ("img", "script", "iframe", "frame") and a.get("src"):
            self.found.append(a["src"])
        elif tag == "link" and "stylesheet" in (a.get("rel") or "").lower() and a.get("href"):
            self.found.append(a["href"])


CSS_REFERENCE = re.compile(r"""@import\s+(?:url\(\s*)?["']?([^"')\s;]+)|url\(\s*["']?([^"')\s]+)""")


def references(body, ctype, url):
    """Absolute URLs that a page or style sheet makes a browser fetch."""
    text = body.decode("utf-8", "replace")
    if "css" in ctype:
        found = [a or b for a, b in CSS_REFERENCE.findall(text)]
        base = url
    elif "html" in ctype:
        parser = References()
        parser.feed(text)
        found, base = parser.found, urllib.parse.urljoin(url, parser.base) if parser.base else url
    else:
        return []
    return [urllib.parse.urljoin(base, r) for r in found if not r.startswith(("data:", "javascript:"))]


def standin_capture(tool, url, out, workdir, tamper=None):
    """Fetches url and everything it references as a browser does and writes
    them as one archive with tarvik-compose. Returns the archive's path.
    tamper(url, body) may change a body or drop it (None), to prove a check."""
    entries, queue, seen = [], [url], set()
    while queue:
        want = queue.pop(0)
        if same_url(want) in seen:
            continue
        seen.add(same_url(want))
        with urllib.request.urlopen(want, timeout=60) as answer:
            body, ctype, final = answer.read(), answer.headers.get("Content-Type", ""), answer.geturl()
        queue.extend(references(body, ctype, final))
        if tamper:
            body = tamper(final, body)
            if body is None:
                continue
        content = os.path.join(workdir, "standin-%d.bin" % len(entries))
        with open(content, "wb") as f:
            f.write(body)
        entries.append("\t".join([final, ctype, content, "", final if "html" in ctype else ""]))
    manifest = os.path.join(workdir, "standin.manifest")
    with open(manifest, "w", encoding="latin-1") as f:
        f.write("\n".join(entries) + "\n")
    subprocess.run([tool, "--out", out, manifest], check=True)
    return out


def sha256(data):
    return hashlib.sha256(data).hexdigest()


class Wine:
    """Programs and the registry of one build tree's Wine prefix (through its wine-run)."""

    def __init__(self, wine_run):
        self.wine_run = wine_run
        with open(wine_run) as f:
            self.prefix = re.search(r'WINEPREFIX="([^"]+)"', f.read()).group(1)

    def run(self, *args, timeout=300, env=None):
        return subprocess.run([self.wine_run] + list(args), stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              timeout=timeout, env=env)

    def to_unix(self, windows_path):
        """Any Windows path of the prefix, short (8.3) forms included, through winepath."""
        answer = self.run("winepath", "-u", windows_path, timeout=60)
        return answer.stdout.decode("utf-8", "replace").strip()

    def reg_value(self, key, name=None):
        """A registry value's data (name None: the default value), or None when the key or value is missing."""
        args = ["reg", "query", key] + (["/v", name] if name else ["/ve"])
        answer = self.run(*args, timeout=60)
        if answer.returncode != 0:
            return None
        for line in answer.stdout.decode("utf-8", "replace").splitlines():
            fields = line.strip().split(None, 2)
            if len(fields) >= 2 and fields[1].startswith("REG_"):
                return fields[2] if len(fields) > 2 else ""
        return None

    def reg_key_exists(self, key):
        return self.run("reg", "query", key, timeout=60).returncode == 0


def class_ids():
    """The band's and the helper object's class ids, from the library's source."""
    with open(os.path.join(REPO, "src", "browser", "TarvikClassIds.h")) as f:
        text = f.read()
    ids = re.findall(r'"(Co\w+)": (\{[0-9A-F-]{36}\})', text)
    return dict(ids)


def host_capture(wine, iexplore, url, out, *options, timeout=300):
    """Runs the browser host's capture of url into out (a path of this machine);
    returns (exit code, its output lines)."""
    answer = wine.run(iexplore, "--capture", out, "--timeout", str(timeout - 30), *options, url,
                      timeout=timeout)
    lines = answer.stdout.decode("utf-8", "replace").splitlines()
    return answer.returncode, [line.rstrip("\r") for line in lines]


def register(wine, dll):
    """Registers the library in the prefix, as the installer and the main command do."""
    answer = wine.run("regsvr32", "/s", dll, timeout=120)
    if answer.returncode != 0:
        raise RuntimeError("regsvr32 %s failed with exit code %d" % (dll, answer.returncode))
