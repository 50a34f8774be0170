#!/usr/bin/env python3
"""Figures of the whole product under Wine, each a ratio measured in one run.

    bench/e2e_figures.py [load|save|windows|session|all] [--build build/win]
                         [--compose build/native/bin/tarvik-compose] [--rounds N] [--resources N] [--mib M]
                         [--session-mib M] [--big-mib M]

load     page load through the host with the library registered against the
         same host with it unregistered (a page of 100 resources, 20 MiB):
         ratio of medians.
save     second click to the archive on disk, against tarvik-compose writing
         the same bytes: ratio of medians. Two baselines: the native tool
         (its whole run), and the Windows build of the same tool under Wine
         with the library's own environment (its own time, without Wine's
         process start), the fair one for a program under Wine.
windows  three browser windows on three threads capturing a page of 100
         resources at once, 20 rounds: every archive complete and byte-exact,
         nothing of the library left alive, memory against bytes captured.
session  memory over a long session: one window browses distinct pages of
         --session-mib MiB in all (2 GiB) and captures the last one; then a
         page with one resource of --big-mib MiB (1.9 GiB) is captured. Each
         against the same browsing without the add-on: peak private memory
         (the host's anonymous resident bytes, sampled) and peak working set,
         with minus without; the captured page byte-exact in its archive.
         Then the load and save figures in the same run (not part of "all":
         it takes long).
Needs DISPLAY (an X server such as Xvfb) for the host's windows. An Xvfb has
no window manager, and Wine's X driver waits 2 s for one whenever a managed
window is hidden (every closed dialog); so for the run the prefix's windows
are unmanaged ("Managed"="N"), and the earlier setting is restored after.
--managed keeps them managed."""
import argparse
import contextlib
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))
from check_archive import check_parts  # noqa: E402
from e2e_support import REPO, SiteServer, Wine, read_archive, register  # noqa: E402


class Host:
    def __init__(self, build):
        self.wine = Wine(os.path.join(build, "wine-run"))
        self.exe = os.path.join(build, "bin", "iexplore.exe")
        self.dll = os.path.join(build, "bin", "TarvikCore.dll")

    def run(self, *args, timeout=1800, sampler=None):
        """(exit code, output lines with the seconds since start at which each arrived)."""
        # The host bounds its whole run (120 s unless told): give it all of ours.
        args = ["--timeout", str(timeout - 60)] + list(args)
        process = subprocess.Popen([self.wine.wine_run, self.exe] + args, stdout=subprocess.PIPE,
                                   stderr=subprocess.DEVNULL)
        if sampler:
            sampler.start()
        began, lines = time.monotonic(), []
        try:
            for raw in process.stdout:
                lines.append((time.monotonic() - began, raw.decode("utf-8", "replace").rstrip("\r\n")))
            code = process.wait(timeout)
        finally:
            if sampler:
                sampler.stop()
        process.stdout.close()
        return code, lines

    def loads(self, url, rounds):
        code, lines = self.run("--load-only", "--rounds", str(rounds), url)
        times = [float(m.group(1)) for _, text in lines for m in [re.match(r"load: ([\d.]+) ms", text)] if m]
        if code != 0 or len(times) != rounds:
            raise RuntimeError("load run failed (%d):\n%s" % (code, "\n".join(t for _, t in lines[-20:])))
        return times


def ratio_line(what, measured, baseline, unit="ms"):
    m, b = statistics.median(measured), statistics.median(baseline)
    print("%s: median %.1f %s vs %.1f %s baseline, ratio %.3f (%d and %d samples)" %
          (what, m, unit, b, unit, m / b, len(measured), len(baseline)))
    return m / b


def figure_load(host, server, args):
    url = "%s/gen/bench?n=%d&mib=%d" % (server.base, args.resources, args.mib)
    registered, unregistered = [], []
    # Blocks alternate so that a drift of the machine hits both sides alike.
    for _ in range(3):
        register(host.wine, host.dll)
        registered += host.loads(url, args.rounds)
        host.wine.run("regsvr32", "/s", "/u", host.dll, timeout=120)
        unregistered += host.loads(url, args.rounds)
    register(host.wine, host.dll)
    return ratio_line("page load, registered vs unregistered (%d resources, %d MiB)" % (args.resources, args.mib),
                      registered, unregistered)


X11_KEY = r"HKCU\Software\Wine\X11 Driver"


class UnmanagedWindows:
    """Wine's X driver leaves window management alone for the block."""

    def __init__(self, wine):
        self.wine, self.earlier = wine, None

    def __enter__(self):
        self.earlier = self.wine.reg_value(X11_KEY, "Managed")
        self.wine.run("reg", "add", X11_KEY, "/v", "Managed", "/d", "N", "/f", timeout=120)
        return self

    def __exit__(self, *exc):
        if self.earlier is None:
            self.wine.run("reg", "delete", X11_KEY, "/v", "Managed", "/f", timeout=120)
        else:
            self.wine.run("reg", "add", X11_KEY, "/v", "Managed", "/d", self.earlier, "/f", timeout=120)


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def write_manifest(archive, work, as_path):
    """The manifest of the archive's parts, each part's bytes in a file of its own."""
    _, parts = read_archive(archive)
    lines = []
    for n, (location, ctype, body) in enumerate(parts):
        if body is None or not location or "#" in location:
            continue
        path = os.path.join(work, "part-%d.bin" % n)
        with open(path, "wb") as f:
            f.write(body)
        lines.append("\t".join([location, ctype, as_path(path), "", ""]))
    manifest = os.path.join(work, "manifest.txt")
    with open(manifest, "w", encoding="latin-1") as f:
        f.write("\n".join(lines) + "\n")
    return manifest


def compose_same_bytes(compose, archive, work):
    """Seconds tarvik-compose takes to write the archive's parts again (its whole run)."""
    manifest = write_manifest(archive, work, lambda p: p)
    began = time.monotonic()
    subprocess.run([compose, "--out", os.path.join(work, "again.mht"), manifest], check=True)
    return time.monotonic() - began


def compose_same_bytes_under_wine(wine, compose_exe, archive, work):
    """Seconds the Windows tarvik-compose under Wine takes by its own clock: manifest read to archive closed."""
    manifest = write_manifest(archive, work, windows_path)
    answer = wine.run(compose_exe, "--time", "--out", windows_path(os.path.join(work, "again.mht")),
                      windows_path(manifest), timeout=600)
    text = answer.stderr.decode("utf-8", "replace")
    m = re.search(r"^compose: ([\d.]+) ms", text, re.M)
    if answer.returncode != 0 or not m:
        raise RuntimeError("tarvik-compose.exe failed (%d): %s" % (answer.returncode, text[-2000:]))
    return float(m.group(1)) / 1000


def figure_save(host, server, args):
    register(host.wine, host.dll)
    url = "%s/gen/bench?n=%d&mib=%d" % (server.base, args.resources, args.mib)
    saves, writes, composes, wine_composes = [], [], [], []
    compose_exe = os.path.join(os.path.dirname(host.exe), "tarvik-compose.exe")
    work = tempfile.mkdtemp(prefix="tarvik-figure-save-")
    try:
        for n in range(args.rounds):
            out = os.path.join(work, "save-%d.mht" % n)
            code, lines = host.run("--capture", out, url)
            at = {text.split(":", 1)[1].strip(): t for t, text in lines if text.startswith("step: ")}
            if code != 0 or "second click" not in at or "success box" not in at:
                raise RuntimeError("capture failed (%d):\n%s" % (code, "\n".join(t for _, t in lines[-20:])))
            # From the second click until the success box shows: the archive is written then.
            saves.append((at["success box"] - at["second click"]) * 1000)
            # Without the dialog: from the typed path until the success box.
            typed = next(t for step, t in at.items() if step.startswith("type path"))
            writes.append((at["success box"] - typed) * 1000)
            composes.append(compose_same_bytes(args.compose, out, work) * 1000)
            wine_composes.append(compose_same_bytes_under_wine(host.wine, compose_exe, out, work) * 1000)
            os.remove(out)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    ratio_line("typed path to archive (the dialog left out) vs tarvik-compose", writes, composes)
    ratio_line("typed path to archive (the dialog left out) vs tarvik-compose.exe under Wine", writes, wine_composes)
    ratio_line("second click to archive vs tarvik-compose.exe under Wine on the same bytes", saves, wine_composes)
    return ratio_line("second click to archive vs tarvik-compose on the same bytes", saves, composes)


def figure_windows(host, server, args):
    register(host.wine, host.dll)
    url = "%s/gen/bench?n=%d&mib=%d" % (server.base, args.resources, args.window_mib)
    work = tempfile.mkdtemp(prefix="tarvik-figure-windows-")
    try:
        before = len(server.responses())
        code, lines = host.run("--capture", os.path.join(work, "w.mht"), "--windows", "3", "--rounds",
                               str(args.window_rounds), url)
        texts = [t for _, t in lines]
        if code != 0:
            raise RuntimeError("capture failed (%d):\n%s" % (code, "\n".join(texts[-20:])))
        sent = server.responses()[before:]
        # Every round fetched the same bytes: one response per URL is the reference.
        unique = list({r["path"]: r for r in sent if r["status"] == 200}.values())
        archives = sorted(n for n in os.listdir(work) if n.endswith(".mht"))
        faulty, captured = [], 0
        for name in archives:
            faults, _ = check_parts(os.path.join(work, name), unique, server.base)
            captured += os.path.getsize(os.path.join(work, name))
            if faults:
                faulty.append((name, faults[:3]))
            os.remove(os.path.join(work, name))
        memory = next((t for t in texts if t.startswith("memory: ")), "memory: (not printed)")
        unload = next((t for t in texts if t.startswith("addon: can unload now")), "addon: (not printed)")
        print("three windows x %d rounds: %d archives, %d faulty, %d bytes of archives" %
              (args.window_rounds, len(archives), len(faulty), captured))
        print("  " + memory)
        peak = re.search(r"peak working set (\d+)", memory)
        if peak:
            print("  peak working set / bytes of archives: %.3f" % (int(peak.group(1)) / max(captured, 1)))
        print("  " + unload)
        for name, faults in faulty:
            print("  FAULTY %s: %s" % (name, "; ".join(faults)))
        ok = len(archives) == 3 * args.window_rounds and not faulty and unload.endswith("yes")
        print("  " + ("all complete and byte-exact, nothing left alive" if ok else "FAILED"))
        return ok
    finally:
        shutil.rmtree(work, ignore_errors=True)


class PeakMemory:
    """The largest anonymous resident size (private memory) of the host's process, sampled every 50 ms."""

    def __init__(self, name="iexplore.exe"):
        self.name, self.peak, self.thread, self.done = name.encode(), 0, None, False

    def start(self):
        import threading
        self.done, self.peak = False, 0
        self.thread = threading.Thread(target=self.loop, daemon=True)
        self.thread.start()

    def stop(self):
        self.done = True
        self.thread.join()

    def loop(self):
        while not self.done:
            for pid in os.listdir("/proc"):
                if not pid.isdigit():
                    continue
                try:
                    with open("/proc/%s/cmdline" % pid, "rb") as f:
                        if self.name not in f.read():
                            continue
                    with open("/proc/%s/status" % pid) as f:
                        for line in f:
                            if line.startswith("RssAnon:"):
                                self.peak = max(self.peak, int(line.split()[1]) * 1024)
                except OSError:
                    pass
            time.sleep(0.05)


def part_sha256(archive, location):
    """(bytes, SHA-256) of the decoded part at location, read a piece at a time: the archive may not fit in memory."""
    import base64
    import hashlib
    marker = ("Content-Location: %s\r\n" % location).encode()
    digest, size, tail = hashlib.sha256(), 0, b""
    with open(archive, "rb") as f:
        buffer, state = b"", "seek"
        while True:
            piece = f.read(1 << 24)
            if not piece:
                break
            buffer += piece
            if state == "seek":
                at = buffer.find(marker)
                if at < 0:
                    buffer = buffer[-len(marker):]
                    continue
                head_end = buffer.find(b"\r\n\r\n", at)
                if head_end < 0:
                    continue
                buffer, state = buffer[head_end + 4:], "body"
            end = buffer.find(b"\r\n")
            text = buffer if end < 0 else buffer[:end]
            text = tail + text
            whole = len(text) // 4 * 4
            data = base64.b64decode(text[:whole])
            digest.update(data)
            size += len(data)
            tail = text[whole:]
            buffer = b""
            if end >= 0:
                break
    if tail:
        data = base64.b64decode(tail)
        digest.update(data)
        size += len(data)
    return size, digest.hexdigest()


def memory_figures(lines, sampler):
    texts = [t for _, t in lines]
    memory = next((t for t in texts if t.startswith("memory: ")), "")
    peak = re.search(r"peak working set (\d+)", memory)
    return sampler.peak, int(peak.group(1)) if peak else 0


def compare_memory(what, with_addon, without):
    mib = 1024.0 * 1024.0
    private = (with_addon[0] - without[0]) / mib
    working = (with_addon[1] - without[1]) / mib
    print("%s: peak private memory %.0f MiB with the add-on, %.0f MiB without: %+.0f MiB; "
          "peak working set %.0f vs %.0f MiB: %+.0f MiB" %
          (what, with_addon[0] / mib, without[0] / mib, private, with_addon[1] / mib, without[1] / mib, working))
    return private <= 128


def figure_session(host, server, args):
    register(host.wine, host.dll)
    work = tempfile.mkdtemp(prefix="tarvik-figure-session-")
    ok = True
    try:
        page_mib, n = 64, 16
        pages = max(2, -(-args.session_mib // page_mib))
        session = os.path.join(work, "session.txt")

        def page(k):
            return "%s/gen/bench?n=%d&mib=%d&page=%d" % (server.base, n, page_mib, k)

        # The pages without the add-on, then with it (each its own pages: nothing comes from a cache).
        results = {}
        for side, first in (("without", 0), ("with", pages)):
            with open(session, "w") as f:
                f.write("\n".join(page(first + k) for k in range(pages - 1)) + "\n")
            sampler = PeakMemory()
            before = len(server.responses())
            out = os.path.join(work, "session.mht")
            if side == "with":
                call = ["--capture", out, "--session", session, page(first + pages - 1)]
            else:
                call = ["--load-only", "--no-addons", "--session", session, page(first + pages - 1)]
            began = time.monotonic()
            code, lines = host.run(*call, timeout=7200, sampler=sampler)
            if code != 0:
                raise RuntimeError("session run failed (%d):\n%s" % (code, "\n".join(t for _, t in lines[-20:])))
            results[side] = memory_figures(lines, sampler)
            print("  %s the add-on: %d pages of %d MiB in %.0f s" % (side, pages, page_mib, time.monotonic() - began))
            if side == "with":
                sent = server.responses()[before:]
                last = "&page=%d" % (first + pages - 1)
                lastpage = [r for r in sent if r["path"].endswith(last)]
                prefix = "/gen/res/p%d-" % (first + pages - 1)
                lastpage += [r for r in sent if r["path"].startswith(prefix)]
                faults, _ = check_parts(out, lastpage, server.base)
                print("  last page's archive: %d parts checked, %s" % (len(lastpage), "; ".join(faults[:3]) or "byte-exact"))
                ok = ok and not faults and len(lastpage) == n + 1
                os.remove(out)
        ok = compare_memory("long session (%d MiB of distinct pages, the last captured)" % (pages * page_mib),
                            results["with"], results["without"]) and ok

        # One large download.
        results = {}
        url = "%s/gen/big?mib=%d" % (server.base, args.big_mib)
        for side in ("without", "with"):
            sampler = PeakMemory()
            out = os.path.join(work, "big.mht")
            call = ["--capture", out, url] if side == "with" else ["--load-only", "--no-addons", url]
            began = time.monotonic()
            code, lines = host.run(*call, timeout=7200, sampler=sampler)
            if code != 0:
                raise RuntimeError("large download failed (%d):\n%s" % (code, "\n".join(t for _, t in lines[-20:])))
            results[side] = memory_figures(lines, sampler)
            print("  %s the add-on: %.0f s" % (side, time.monotonic() - began))
            if side == "with":
                blob = [r for r in server.responses() if r["path"] == "/gen/blob?mib=%d" % args.big_mib][-1]
                size, digest = part_sha256(out, server.base + blob["path"])
                exact = size == blob["length"] and digest == blob["sha256"]
                print("  the %d MiB resource in the archive: %d bytes, %s" %
                      (args.big_mib, size, "byte-exact" if exact else "DIFFERENT"))
                ok = ok and exact
                os.remove(out)
        ok = compare_memory("one %d MiB resource" % args.big_mib, results["with"], results["without"]) and ok
    finally:
        shutil.rmtree(work, ignore_errors=True)
    figure_load(host, server, args)
    figure_save(host, server, args)
    print("  session figure: " + ("within 128 MiB, archives byte-exact" if ok else "FAILED"))
    return ok


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("figure", nargs="?", default="all", choices=["load", "save", "windows", "session", "all"])
    parser.add_argument("--build", default=os.path.join(REPO, "build", "win"))
    parser.add_argument("--compose", default=os.path.join(REPO, "build", "native", "bin", "tarvik-compose"))
    parser.add_argument("--rounds", type=int, default=5, help="samples per side and block")
    parser.add_argument("--resources", type=int, default=100)
    parser.add_argument("--mib", type=int, default=20)
    parser.add_argument("--window-rounds", type=int, default=20)
    parser.add_argument("--window-mib", type=int, default=2)
    parser.add_argument("--session-mib", type=int, default=2048, help="MiB of distinct pages in the session")
    parser.add_argument("--big-mib", type=int, default=1946, help="MiB of the one large resource")
    parser.add_argument("--managed", action="store_true",
                        help="keep Wine's windows managed (each hidden window then waits 2 s for a window manager)")
    args = parser.parse_args()
    if not os.environ.get("DISPLAY"):
        parser.error("DISPLAY is not set: the host shows windows (start Xvfb)")
    host = Host(os.path.abspath(args.build))
    work = tempfile.mkdtemp(prefix="tarvik-figures-")
    ok = True
    management = contextlib.nullcontext() if args.managed else UnmanagedWindows(host.wine)
    try:
        with management, SiteServer(work, lifetime=7200) as server:
            print("windows %s by Wine's X driver" % ("managed" if args.managed else "unmanaged"))
            if args.figure in ("load", "all"):
                figure_load(host, server, args)
            if args.figure in ("save", "all"):
                figure_save(host, server, args)
            if args.figure in ("windows", "all"):
                ok = figure_windows(host, server, args)
            if args.figure == "session":
                ok = figure_session(host, server, args)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
