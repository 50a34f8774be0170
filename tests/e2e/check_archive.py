#!/usr/bin/env python3
"""Checks an archive with readers written by others.

    check_archive.py parts ARCHIVE SERVER_LOG BASE_URL
        Python's email package: every resource the server sent with status 200
        is in the archive byte-exact, and everything a page or style sheet in
        the archive references is there too.
    check_archive.py render ARCHIVE LIVE_URL [--sample] [--shots DIR]
        headless Chromium renders the archive offline and the live page; both
        pictures agree within a small tolerance (--sample: and the sample
        site's images show their own colours in both).
Each prints what it found and exits 1 on a fault."""
import argparse
import json
import os
import sys
import tempfile
import urllib.parse

from e2e_support import (compare_png, read_archive, read_png, references, same_url, screenshot, sha256,
                         without_injected_base)

# Share of pixels allowed to differ (anti-aliasing, caret and the like).
RENDER_TOLERANCE = 0.01

# Points of the sample site's page (800x600) and the colour each image puts there.
SAMPLE_PROBES = [
    ("logo.png, red band", (30, 40), (200, 40, 40)),
    ("logo.png, yellow band", (90, 40), (240, 200, 40)),
    ("logo.png, blue band", (140, 40), (40, 120, 200)),
    ("photo.png, middle of the gradient", (110, 205), (128, 128, 128)),
    ("blue dot.png", (250, 150), (20, 40, 220)),
    ("badge.png inside the frame", (340, 180), (30, 150, 60)),
    ("tile.png through the style sheet's url()", (14, 304), (220, 230, 250)),
    ("tile.png, second square", (22, 304), (190, 205, 240)),
]


def check_parts(archive, responses, base):
    """Faults (texts) found comparing the archive with the server's responses."""
    msg, parts = read_archive(archive)
    faults = []
    if msg.get_content_type() != "multipart/related":
        faults.append("the archive is %s, not multipart/related" % msg.get_content_type())
    if msg.defects:
        faults.append("the archive's header has defects: %r" % msg.defects)
    by_url = {}
    for location, ctype, body in parts:
        # Anchor placeholders ("page#name") and alias parts carry no content;
        # a resource addressed with a fragment ("icons.svg#x") does.
        if body is not None and ("#" not in location or body) and same_url(location) not in by_url:
            by_url[same_url(location)] = (location, ctype, body)
    # A page reached through a redirect may be kept under the address asked for.
    redirected_from = {}
    for sent in responses:
        if sent.get("location") and 300 <= sent["status"] < 400:
            target = urllib.parse.urljoin(base + sent["path"], sent["location"])
            redirected_from.setdefault(same_url(target), []).append(same_url(base + sent["path"]))
    for sent in responses:
        if sent["status"] != 200:
            continue
        url = same_url(base + sent["path"])
        held = [u for u in [url] + redirected_from.get(url, []) if u in by_url]
        if not held:
            faults.append("missing: %s (%d bytes sent)" % (url, sent["length"]))
            continue
        location, ctype, body = by_url[held[0]]
        if "html" in ctype.lower():
            body = without_injected_base(body)
        if len(body) != sent["length"] or sha256(body) != sent["sha256"]:
            faults.append("different: %s holds %d bytes, the server sent %d" % (url, len(body), sent["length"]))
    for location, ctype, body in parts:
        if not body:
            continue
        for ref in references(body, ctype.lower(), location):
            if same_url(ref) not in by_url:
                faults.append("%s references %s, which the archive lacks" % (location, ref))
    return faults, len(parts)


def check_render(archive, live_url, sample, shots, scripts=True):
    offline = screenshot(archive, os.path.join(shots, "archive.png"), scripts=scripts)
    live = screenshot(live_url, os.path.join(shots, "live.png"), scripts=scripts)
    faults = []
    share, size = compare_png(offline, live)
    if share > RENDER_TOLERANCE:
        faults.append("the archive's picture differs from the live page in %.2f%% of its pixels (size %r)" %
                      (share * 100, size))
    if sample:
        for name, picture in (("archive", offline), ("live page", live)):
            _, _, pixel = read_png(picture)
            for what, xy, want in SAMPLE_PROBES:
                got = pixel(*xy)
                if any(abs(a - b) > 12 for a, b in zip(got, want)):
                    faults.append("%s: %s not shown: %r at %r, want %r" % (name, what, got, xy, want))
    return faults, share


def main(argv=None):
    parser = argparse.ArgumentParser()
    sub = parser.add_subparsers(dest="what", required=True)
    p = sub.add_parser("parts")
    p.add_argument("archive")
    p.add_argument("log")
    p.add_argument("base")
    r = sub.add_parser("render")
    r.add_argument("archive")
    r.add_argument("live")
    r.add_argument("--sample", action="store_true")
    r.add_argument("--shots")
    args = parser.parse_args(argv)
    if args.what == "parts":
        with open(args.log, encoding="utf-8") as f:
            responses = [json.loads(line) for line in f if line.strip()]
        faults, count = check_parts(args.archive, responses, args.base.rstrip("/"))
        summary = "%d parts, %d responses of the server" % (count, len(responses))
    else:
        shots = args.shots or tempfile.mkdtemp(prefix="tarvik-shots-")
        faults, share = check_render(args.archive, args.live, args.sample, shots)
        summary = "pictures in %s differ in %.3f%% of pixels" % (shots, share * 100)
    for fault in faults:
        print("FAULT: " + fault)
    print(("FAILED: " if faults else "ok: ") + summary)
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
