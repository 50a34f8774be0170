"""Headless Chromium opens an archive made by tarvik-compose, offline, and
shows what the page needs from inside it: an image and a style sheet named
relative to the injected base, the style sheet's colours, and an image the
style sheet names through url().  Usage: chromium_reader.py TARVIK_COMPOSE
[SCREENSHOT_COPY]"""
import os
import shutil
import subprocess
import sys
import tempfile

from reader_support import compose, png, read_png

HOST = b"http://tarvik-reader.invalid"  # never resolves: nothing can come from the network

PAGE = b"""<!DOCTYPE html>
<html><head><title>Reader test</title>
</HEAD>
<body>
<link rel="stylesheet" href="css/site.css">
<img src="img/red.png" style="position:absolute;left:20px;top:20px;width:100px;height:100px">
<div class="box" style="position:absolute;left:160px;top:20px;width:100px;height:100px"></div>
<div class="tile" style="position:absolute;left:300px;top:20px;width:100px;height:100px"></div>
<a href="other.html" style="position:absolute;left:20px;top:200px">next</a>
</body></html>
"""

CSS = b"""body { background-color: #ffff00; margin: 0; }
.box { background-color: #0000ff; }
.tile { background-image: url(../img/green_tile.png); }
"""


def chromium():
    for name in ("chromium", "chromium-browser", "google-chrome"):
        path = shutil.which(name)
        if path:
            return path
    return None


def main(tool, copy_to=None):
    browser = chromium()
    if not browser:
        print("FAILED: no chromium on PATH (tools/setup.sh installs the Debian package)")
        return 1
    # The page was reached through a redirect: its own URL differs from the
    # document's base, so relative names resolve only through the base tag.
    entries = [
        (HOST + b"/go?to=site", "text/html", PAGE, "", HOST + b"/site/index.html?from=go"),
        (HOST + b"/site/css/site.css", "text/css", CSS, "", b""),
        (HOST + b"/site/img/red.png", "image/png", png(100, 100, (255, 0, 0)), "", b""),
        (HOST + b"/site/img/green_tile.png", "image/png", png(20, 20, (0, 255, 0)), "", b""),
        (HOST + b"/site/index.html#top", "", None, "", b""),
    ]
    with tempfile.TemporaryDirectory() as work:
        _, archive = compose(tool, work, entries, title="Reader test")
        shot = os.path.join(work, "shot.png")
        profile = tempfile.mkdtemp(prefix="tarvik-chromium-")
        try:
            run = subprocess.run(
                [browser, "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                 "--disable-background-networking", "--disable-component-update", "--disable-sync",
                 "--user-data-dir=" + profile, "--window-size=800,600", "--screenshot=" + shot,
                 "file://" + archive],
                stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=120)
        finally:
            shutil.rmtree(profile, ignore_errors=True)
        if not os.path.exists(shot):
            print("FAILED: no screenshot; chromium said:\n" + run.stderr.decode(errors="replace")[-3000:])
            return 1
        if copy_to:
            shutil.copy(shot, copy_to)
        width, height, pixel = read_png(shot)

    def near(rgb, want):
        return all(abs(a - b) <= 8 for a, b in zip(rgb, want))

    checks = [
        ("image through the base", (70, 70), (255, 0, 0)),
        ("style sheet colour", (210, 70), (0, 0, 255)),
        ("image named by the style sheet", (350, 70), (0, 255, 0)),
        ("style sheet page colour", (600, 400), (255, 255, 0)),
    ]
    failed = [(what, xy, pixel(*xy), want) for what, xy, want in checks if not near(pixel(*xy), want)]
    if failed:
        for what, xy, got, want in failed:
            print("FAILED: %s at %r is %r, want %r" % (what, xy, got, want))
        return 1
    print("chromium reader: %dx%d screenshot shows the image, the style sheet's colours and its url() image" %
          (width, height))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1], sys.argv[2] if len(sys.argv) > 2 else None))
