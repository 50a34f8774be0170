#!/usr/bin/env python3
"""Makes "Getting Started.mht" the way a user would: the browser host with
the registered library captures the bundled guide page served on 127.0.0.1.
The guide's picture of the toolbar is a screenshot of the real one, taken
first in the same host. The archive must hold every resource the server
sent, byte-exact.
Usage: capture_guide.py WINE_RUN iexplore.exe TarvikCore.dll OUT.mht  (DISPLAY set)"""
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

from check_archive import check_parts
from e2e_support import REPO, SiteServer, Wine, host_capture, register

SITE = os.path.join(REPO, "samples", "site")
# The page shown for the screenshot: nothing the guide loads, so no cached
# copy of the guide's own picture can end up in its archive.
SHOT_PAGE = ("shot.html", b"<!DOCTYPE html>\n<html><head><title>Toolbar</title></head><body></body></html>\n")
SHOT_CAPTION = "Toolbar - Web Browser"


def x_window(caption, deadline):
    """The X window id of the top-level window with that caption, once it is there."""
    while time.monotonic() < deadline:
        found = subprocess.run(["xdotool", "search", "--onlyvisible", "--name", "^%s$" % caption],
                               stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        ids = found.stdout.split()
        if ids:
            return ids[0].decode()
        time.sleep(0.2)
    return None


def magick(*args):
    """ImageMagick's convert; its standard output as text."""
    answer = subprocess.run(["convert"] + list(args), stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    if answer.returncode != 0:
        raise RuntimeError("convert %s: %s" % (" ".join(args), answer.stderr.decode(errors="replace")))
    return answer.stdout.decode()


def cut_toolbar(window, out):
    """Writes the toolbar of a screenshot of the host's window (its client
    area) to out: the band area, down to the page's sunken edge, as wide as
    its buttons with the same margin on the right as on the left."""
    width, height = (int(n) for n in magick(window, "-format", "%w %h", "info:").split())
    # A column right of every button: the band's face, then the page's edge.
    column = re.findall(r"^0,(\d+):\s+\S+\s+(#[0-9A-F]+)", magick(window, "-crop", "1x%d+%d+0" % (height, width - 4),
                                                                "+repage", "txt:-"), re.M)
    face = column[0][1]
    band = next((int(row) for row, colour in column if colour != face), 0)
    if band < 16:
        raise RuntimeError("no toolbar strip at the top of the window (%d rows of %s)" % (band, face))
    strip = "%dx%d+0+0" % (width, band)
    used = re.match(r"(\d+)x\d+\+(\d+)\+\d+", magick(window, "-crop", strip, "+repage", "-format", "%@", "info:"))
    if not used or int(used.group(1)) >= width:
        raise RuntimeError("no buttons on the toolbar strip")
    right = min(width, int(used.group(1)) + 2 * int(used.group(2)))
    magick(window, "-crop", "%dx%d+0+0" % (right, band), "+repage", "png:" + out)


def shoot_toolbar(wine, iexplore, url, out, work, timeout=120):
    """Shows url in the host with the registered library and writes its toolbar
    as PNG to out. Raises RuntimeError with what went wrong."""
    deadline = time.monotonic() + timeout
    browser = subprocess.Popen([wine.wine_run, iexplore, url], stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL)
    try:
        window = x_window(SHOT_CAPTION, deadline)
        if not window:
            raise RuntimeError("the host showed no window \"%s\" within %d s" % (SHOT_CAPTION, timeout))
        time.sleep(2)  # the caption comes with the page; the band may still be painting
        whole = os.path.join(work, "window.png")
        shot = subprocess.run(["import", "-window", window, whole], stderr=subprocess.PIPE)
        if shot.returncode != 0 or not os.path.exists(whole):
            raise RuntimeError("import could not read the window: %s" % shot.stderr.decode(errors="replace"))
        cut_toolbar(whole, out)
    finally:
        # Browsing ends only when the user closes the window: close it as a
        # user does (taskkill without /f sends WM_CLOSE), so that the bands
        # close and let go of what they hold in the session (the hot key's
        # global atom outlives a process that is killed). Kill only what stays.
        try:
            wine.run("taskkill", "/im", os.path.basename(iexplore), timeout=60)
        except (subprocess.TimeoutExpired, OSError):
            pass
        try:
            browser.wait(30)
        except subprocess.TimeoutExpired:
            browser.terminate()
            try:
                browser.wait(30)
            except subprocess.TimeoutExpired:
                browser.kill()
                browser.wait()


def main(wine_run, iexplore, dll, out):
    wine = Wine(wine_run)
    register(wine, dll)
    work = tempfile.mkdtemp(prefix="tarvik-guide-")
    try:
        site = os.path.join(work, "site")
        shutil.copytree(SITE, site)
        with open(os.path.join(site, SHOT_PAGE[0]), "wb") as f:
            f.write(SHOT_PAGE[1])
        partial = os.path.join(work, "Getting Started.mht")
        with SiteServer(work, extra=["--root", site]) as server:
            try:
                shoot_toolbar(wine, iexplore, server.base + "/" + SHOT_PAGE[0],
                              os.path.join(site, "img", "toolbar.png"), work)
            except (RuntimeError, OSError) as fault:
                print("FAILED: the toolbar's screenshot: %s" % fault)
                return 1
            before = len(server.responses())
            code, lines = host_capture(wine, iexplore, server.base + "/guide.html", partial)
            sent = server.responses()[before:]
        if code != 0:
            print("\n".join(lines))
            print("FAILED: the host could not capture the guide (exit code %d)" % code)
            return 1
        faults, count = check_parts(partial, sent, server.base)
        if faults:
            print("FAILED:\n  " + "\n  ".join(faults))
            return 1
        # Only a proven archive replaces the one from an earlier run.
        shutil.move(partial, out)
        print("guide: %s, %d parts, %d bytes" % (out, count, os.path.getsize(out)))
        return 0
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    if len(sys.argv) != 5:
        print(__doc__)
        sys.exit(2)
    sys.exit(main(*sys.argv[1:]))
