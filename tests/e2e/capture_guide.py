#!/usr/bin/env python3
"""Makes "Getting Started.mht" the way a user would: the browser host with
the registered library captures the bundled guide page served on 127.0.0.1.
The archive must hold every resource the server sent, byte-exact.
Usage: capture_guide.py WINE_RUN iexplore.exe TarvikCore.dll OUT.mht  (DISPLAY set)"""
import os
import shutil
import sys
import tempfile

from check_archive import check_parts
from e2e_support import SiteServer, Wine, host_capture, register


def main(wine_run, iexplore, dll, out):
    wine = Wine(wine_run)
    register(wine, dll)
    work = tempfile.mkdtemp(prefix="tarvik-guide-")
    try:
        partial = os.path.join(work, "Getting Started.mht")
        with SiteServer(work) as server:
            code, lines = host_capture(wine, iexplore, server.base + "/guide.html", partial)
            sent = server.responses()
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
