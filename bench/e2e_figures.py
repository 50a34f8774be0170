#!/usr/bin/env python3
"""Figures of the whole product under Wine, each a ratio measured in one run.

    bench/e2e_figures.py [load|save|windows|session|all] [--build build/win]
                         [--compose build/native/bin/tarvik-compose] [--rounds N] [--resources N] [--mib M]
                         [--scenarios pages,reload,big,stream,loadsave] [--session-mib M] [--reloads N]
                         [--big-mib M] [--big-rounds N] [--stream-gib G] [--week-pages N] [--week-resources N]

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
download one resource of --download-mib MiB (1 GiB) loaded with the library
         registered against the bare host (--no-addons), --big-rounds runs
         a side, alternating: ratio of the best speeds. --library built
         registers the build's own library instead of the installer's.
session  a long session in one window, each scenario run without the add-on
         and then with it, the last page captured and checked byte-exact;
         for each: browsing time (navigation to document complete, summed),
         whole run and the host's processor time while browsing (steadier
         than the clock on a loaded machine), with against without; peak
         private memory (the host's anonymous resident bytes, sampled) and
         peak working set, with minus without; and the add-on's temporary
         file in the prefix's temporary folder, on disk (allocated) and
         long: its peak, and its size when the pages are done (a quota
         line of the host's output, if any, is printed beside it); and the
         browser's waits on its reads, the host pulling as a browser does
         (--pull), so that each read goes through the add-on's monitor.
         --scenarios picks them (default
         pages,reload,big,loadsave; times of both sides measured on 2 shared
         cores, which vary twofold with the machine's load):
           pages   --session-mib MiB (3 GiB) of distinct pages of 64 MiB
                   (16 resources each) (about 2 min)
           reload  one page with a 64 MiB resource loaded --reloads (24)
                   times (about 1 min)
           big     one page with a resource of --big-mib MiB (1.9 GiB),
                   --big-rounds (2) runs a side, the best counted
                   (2 to 3 min)
           stream  --stream-gib GiB (16) in 1 MiB resources, 64 a page, as
                   media players fetch (not by default: about 1 min a GiB)
           week    --week-pages (2,000) pages of --week-resources (100)
                   resources of 4 KiB, the second click on the last page
                   against one on a first page (not by default; the
                   store's and timeline's counts after such a week are
                   printed by bench_urllist). Under Wine
                   each side slows with every address fetched, add-on or
                   not: wininet keeps a cookie container for each address
                   and walks them all at every request (1.1 s a page at
                   first, 2 s at page 300: 400 pages take about 12 min a
                   side, 2,000 over 2 h; 2,000 of 10 resources, as many
                   addresses as 200 of 100, keep the timeline's length)
           loadsave  then the load and save figures in the same run
         Not part of "all": it takes long.
Every figure registers the library as the installer ships it (unless
--library built): a copy of the build's without its debug information
(build/win/figures); the build's own is registered again at the end.
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
        self.built = os.path.join(build, "bin", "TarvikCore.dll")
        # The library as the installer ships it, without its debug information:
        # Wine copies the build's 15 MiB of it into the browser's private memory
        # (the file's sections are not aligned to pages), which no user's browser holds.
        self.dll = os.path.join(build, "figures", "TarvikCore.dll")
        os.makedirs(os.path.dirname(self.dll), exist_ok=True)
        subprocess.run(["i686-w64-mingw32-objcopy", "--strip-all", self.built, self.dll], check=True)

    def run(self, *args, timeout=1800, sampler=None):
        """(exit code, output lines with the seconds since start at which each arrived)."""
        code, lines = self.run_once(*args, timeout=timeout, sampler=sampler)
        if code != 0 and not lines:
            # Not a line, not even the first step: Wine did not start the host
            # (seen once, after many runs in a row). Once more.
            print("  (the host exited %d before its first line; run again)" % code)
            code, lines = self.run_once(*args, timeout=timeout, sampler=sampler)
        return code, lines

    def run_once(self, *args, timeout=1800, sampler=None):
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
                if sampler:
                    sampler.line(lines[-1][1])
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


def figure_download(host, server, args):
    """One resource of --download-mib MiB loaded with the library registered and without add-ons, --big-rounds
    runs a side, alternating, the best of each counted: ratio of speeds (without's time over with's)."""
    url = "%s/gen/big?mib=%d" % (server.base, args.download_mib)
    register(host.wine, host.dll)
    times = {"with": [], "without": []}
    for _ in range(args.big_rounds):
        for side, extra in (("without", ["--no-addons"]), ("with", [])):
            code, lines = host.run("--load-only", *extra, url, timeout=3600)
            load = [float(m.group(1)) for _, text in lines for m in [re.match(r"load: ([\d.]+) ms", text)] if m]
            if code != 0 or not load:
                raise RuntimeError("download run failed (%d):\n%s" % (code, "\n".join(t for _, t in lines[-20:])))
            times[side].append(load[0] / 1000)
            print("  %s the add-on: %.1f s" % (side, load[0] / 1000))
            sys.stdout.flush()
    best_with, best_without = min(times["with"]), min(times["without"])
    ratio = best_without / best_with
    print("one %d MiB download, best of %d runs a side: %.1f s with the add-on vs %.1f s without, "
          "speed %.2f x (goal >= 0.9 x)" % (args.download_mib, args.big_rounds, best_with, best_without, ratio))
    return ratio


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


class Sampler:
    """Every 50 ms: the largest anonymous resident size (private memory) of the host's process, and the size of
    the add-on's temporary file in the prefix's temporary folders, allocated (st_blocks * 512) and as long as it
    is: its peak, and its size at the end of the browsing (when the host starts closing its windows). Files
    there before the run (a dead process's) are left out."""

    PATTERNS = ("drive_c/users/*/Temp/TarvikSpill-*.tmp", "drive_c/users/*/AppData/Local/Temp/TarvikSpill-*.tmp")

    def __init__(self, prefix, name="iexplore.exe"):
        self.prefix, self.name, self.thread, self.done = prefix, name.encode(), None, False
        self.prefix_variable = ("WINEPREFIX=" + prefix).encode()
        self.peak = self.disk_peak = self.length_peak = self.disk_end = self.length_end = 0
        self.earlier, self.cpu = set(), 0.0

    def spill_files(self):
        import glob
        return {os.path.realpath(p) for pattern in self.PATTERNS for p in glob.glob(os.path.join(self.prefix, pattern))}

    def start(self):
        import threading
        self.done = False
        self.peak = self.disk_peak = self.length_peak = self.disk_end = self.length_end = 0
        self.earlier, self.cpu = self.spill_files(), 0.0
        self.thread = threading.Thread(target=self.loop, daemon=True)
        self.thread.start()

    def stop(self):
        self.done = True
        self.thread.join()

    def sample_disk(self):
        disk = length = 0
        for path in self.spill_files() - self.earlier:
            try:
                st = os.stat(path)
            except OSError:
                continue
            disk += st.st_blocks * 512
            length += st.st_size
        return disk, length

    def sample_processes(self):
        """The host's private memory into the peak, and its processor time so far."""
        cpu = 0.0
        for pid in os.listdir("/proc"):
            if not pid.isdigit():
                continue
            try:
                with open("/proc/%s/cmdline" % pid, "rb") as f:
                    if self.name not in f.read():
                        continue
                # Only this prefix's: other builds may run hosts at the same time.
                with open("/proc/%s/environ" % pid, "rb") as f:
                    if self.prefix_variable not in f.read().split(b"\0"):
                        continue
                with open("/proc/%s/status" % pid) as f:
                    for line in f:
                        if line.startswith("RssAnon:"):
                            self.peak = max(self.peak, int(line.split()[1]) * 1024)
                with open("/proc/%s/stat" % pid) as f:
                    fields = f.read().rsplit(")", 1)[1].split()
                # User and system time of all its threads.
                cpu += (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")
            except OSError:
                pass
        return cpu

    def loop(self):
        while not self.done:
            self.sample_processes()
            self.sample_disk_peak()
            time.sleep(0.05)

    def sample_disk_peak(self):
        disk, length = self.sample_disk()
        self.disk_peak, self.length_peak = max(self.disk_peak, disk), max(self.length_peak, length)
        return disk, length

    def line(self, text):
        """A line of the host's output as it arrives."""
        # Processor time while browsing (under a loaded machine a steadier figure than the clock): until the
        # last page is complete, before any capture.
        if "document complete" in text:
            self.cpu = self.sample_processes()
        # The file goes with the process: its size at the end is taken once the pages are done.
        if text == "step: close windows":
            self.disk_end, self.length_end = self.sample_disk_peak()


MIB = 1024.0 * 1024.0


class Side:
    """One run of the host for a scenario: its times, memory and temporary file."""

    def __init__(self, name, code, lines, sampler, seconds):
        self.name, self.lines, self.seconds = name, lines, seconds
        texts = [t for _, t in lines]
        if code != 0:
            raise RuntimeError("%s run failed (%d):\n%s" % (name, code, "\n".join(texts[-20:])))
        memory = next((t for t in texts if t.startswith("memory: ")), "")
        peak = re.search(r"peak working set (\d+)", memory)
        self.private, self.working = sampler.peak, int(peak.group(1)) if peak else 0
        self.cpu = sampler.cpu
        # Browsing alone: every page from navigation to document complete.
        self.page_ms = [float(m.group(1)) for t in texts
                        for m in [re.match(r"step: .*document complete .*\(([\d.]+) ms", t)] if m]
        self.browsing = sum(self.page_ms) / 1000
        self.disk_peak, self.length_peak = sampler.disk_peak, sampler.length_peak
        self.disk_end, self.length_end = sampler.disk_end, sampler.length_end
        # A line of the library's that names its quota for the file, if it prints one.
        self.quota = next((t for t in texts if "quota" in t.lower()), None)
        # The browser's waits on its reads, every read of the run.
        for kind in ("reads", "binds"):
            waits = next((m for t in texts for m in [re.match(kind + r": (\d+), 99.9th percentile ([\d.]+) ms, "
                                                              r"longest ([\d.]+) ms, over 50 ms (\d+)", t)] if m),
                         None)
            setattr(self, kind, (int(waits.group(1)), float(waits.group(2)), float(waits.group(3)),
                                 int(waits.group(4))) if waits else (0, 0.0, 0.0, 0))


def run_side(host, name, call):
    sampler = Sampler(host.wine.prefix)
    began = time.monotonic()
    code, lines = host.run(*call, timeout=7200, sampler=sampler)
    side = Side(name, code, lines, sampler, time.monotonic() - began)
    print("  %s the add-on: browsing %.1f s, whole run %.1f s" % (name, side.browsing, side.seconds))
    return side


def best_of(sides):
    """Several runs of one side: the best times, the largest memory and file."""
    best = sides[0]
    for other in sides[1:]:
        for name in ("browsing", "seconds", "cpu"):
            setattr(best, name, min(getattr(best, name), getattr(other, name)))
        for name in ("private", "working", "disk_peak", "length_peak", "disk_end", "length_end", "reads"):
            setattr(best, name, max(getattr(best, name), getattr(other, name)))
    return best


def compare_sides(what, with_addon, without, live_mib=None, memory_limit_mib=128):
    """Prints speed, memory and the temporary file of a scenario; whether memory stayed within the limit."""
    private = (with_addon.private - without.private) / MIB
    working = (with_addon.working - without.working) / MIB
    print("%s:" % what)
    print("  speed with the add-on: browsing %.2f x the bare host (%.1f s vs %.1f s), whole run %.2f x "
          "(%.1f s vs %.1f s); the host's processor time while browsing %.1f s vs %.1f s (%.2f x)" %
          (without.browsing / max(with_addon.browsing, 1e-9), with_addon.browsing, without.browsing,
           without.seconds / max(with_addon.seconds, 1e-9), with_addon.seconds, without.seconds, with_addon.cpu,
           without.cpu, without.cpu / max(with_addon.cpu, 1e-9)))
    print("  peak private memory %.0f MiB with the add-on, %.0f MiB without: %+.0f MiB; "
          "peak working set %.0f vs %.0f MiB: %+.0f MiB" %
          (with_addon.private / MIB, without.private / MIB, private, with_addon.working / MIB,
           without.working / MIB, working))
    line = ("  temporary file: peak %.0f MiB on disk (%.0f MiB long), at the end %.0f MiB on disk (%.0f MiB long)" %
            (with_addon.disk_peak / MIB, with_addon.length_peak / MIB, with_addon.disk_end / MIB,
             with_addon.length_end / MIB))
    if live_mib:
        line += "; peak %.2f x the %d MiB live" % (with_addon.disk_peak / MIB / live_mib, live_mib)
    print(line)
    if with_addon.quota:
        print("  " + with_addon.quota)
    (count, p999, longest, over), (bare_count, bare_p999, bare_longest, bare_over) = with_addon.reads, without.reads
    if count:
        # A longest wait is one read in thousands: the bare host's own is several times its 99.9th percentile,
        # so percentiles are held to each other and the longest to the absolute bound. How many reads pass
        # the bound on each side tells the add-on's long waits from the system's (writeback holds up both).
        print("  the browser's reads: longest wait %.1f ms with the add-on, %.1f ms without (%s 50 ms), "
              "%d and %d reads over 50 ms; 99.9th percentile %.2f ms vs %.2f ms, %.2f x (goal <= 2 x) "
              "(%d and %d reads)" %
              (longest, bare_longest, "within" if longest <= 50 else "OVER", over, bare_over, p999, bare_p999,
               p999 / max(bare_p999, 1e-9), count, bare_count))
    (count, p999, longest, _), (bare_count, bare_p999, bare_longest, _) = with_addon.binds, without.binds
    if count:
        # A pulling bind only starts the transfer: told beside, for a start that waits.
        print("  the browser's binds: longest wait %.1f ms with the add-on, %.1f ms without; 99.9th percentile "
              "%.2f ms vs %.2f ms (%d and %d binds)" % (longest, bare_longest, p999, bare_p999, count, bare_count))
    return private <= memory_limit_mib


def check_page(server, out, before, page_path, resource_prefix, expected):
    """The captured page and its resources against what the server sent for them: (ok, summary)."""
    sent = server.responses()[before:]
    # The last response for each path: a page loaded again is checked against its last load.
    last = {}
    for r in sent:
        if r["path"] == page_path or r["path"].startswith(resource_prefix):
            last[r["path"]] = r
    faults, _ = check_parts(out, list(last.values()), server.base)
    return not faults and len(last) == expected, "%d parts checked, %s" % (len(last), "; ".join(faults[:3]) or
                                                                          "byte-exact")


def check_big(server, out, mib):
    blob = [r for r in server.responses() if r["path"] == "/gen/blob?mib=%d" % mib][-1]
    size, digest = part_sha256(out, server.base + blob["path"])
    exact = size == blob["length"] and digest == blob["sha256"]
    return exact, "the %d MiB resource in the archive: %d bytes, %s" % (mib, size,
                                                                        "byte-exact" if exact else "DIFFERENT")


def browse_then_capture(host, server, work, name, session_urls, last_url, check):
    """The session's pages then last_url without the add-on, then with it, the last page captured; the sides."""
    session = os.path.join(work, "session.txt")
    sides = {}
    for side, (urls, url) in (("without", (session_urls[0], last_url[0])), ("with", (session_urls[1], last_url[1]))):
        with open(session, "w") as f:
            f.write("\n".join(urls) + "\n")
        out = os.path.join(work, "%s.mht" % name)
        before = len(server.responses())
        # Fetches pull as a browser's do, so that every read the figure times goes through the add-on
        # (a blocking bind's reads come from Wine's cache file once the bind has read everything).
        if side == "with":
            call = ["--pull", "--capture", out, "--session", session, url]
        else:
            call = ["--pull", "--load-only", "--no-addons", "--session", session, url]
        sides[side] = run_side(host, side, call)
        if side == "with":
            exact, summary = check(out, before)
            print("  last page's archive: " + summary)
            sides["exact"] = exact
            os.remove(out)
    return sides


def distinct_pages(host, server, work, name, n, page_mib, pages, first):
    """pages distinct pages of n resources, page_mib MiB each, in one window, the last captured; each side its
    own pages from page number first[side], so that nothing comes from a cache. The sides."""

    def page(k):
        return "%s/gen/bench?n=%d&mib=%d&page=%d" % (server.base, n, page_mib, k)

    def check(out, before):
        last = first["with"] + pages - 1
        return check_page(server, out, before, "/gen/bench?n=%d&mib=%d&page=%d" % (n, page_mib, last),
                          "/gen/res/p%d-" % last, n + 1)
    return browse_then_capture(host, server, work, name,
                               ([page(first["without"] + k) for k in range(pages - 1)],
                                [page(first["with"] + k) for k in range(pages - 1)]),
                               (page(first["without"] + pages - 1), page(first["with"] + pages - 1)), check)


def scenario_pages(host, server, work, args):
    """Distinct pages of 64 MiB (16 resources each), the last captured."""
    page_mib, n = 64, 16
    pages = max(2, -(-args.session_mib // page_mib))
    sides = distinct_pages(host, server, work, "pages", n, page_mib, pages, {"without": 0, "with": pages})
    ok = compare_sides("%d distinct pages of %d MiB in one window (%d MiB), the last captured" %
                       (pages, page_mib, pages * page_mib), sides["with"], sides["without"], live_mib=page_mib)
    return ok and sides["exact"]


def scenario_reload(host, server, work, args):
    """One page with a 64 MiB resource loaded --reloads times in one window, the last load captured."""
    mib = 64
    url = "%s/gen/big?mib=%d" % (server.base, mib)
    sides = browse_then_capture(host, server, work, "reload", ([url] * (args.reloads - 1),) * 2, (url, url),
                                lambda out, before: check_big(server, out, mib))
    ok = compare_sides("one page with a %d MiB resource loaded %d times in one window, the last captured" %
                       (mib, args.reloads), sides["with"], sides["without"], live_mib=mib)
    return ok and sides["exact"]


def scenario_stream(host, server, work, args):
    """--stream-gib GiB in 1 MiB resources, 64 a page (as media players fetch), the last page captured."""
    n = 64
    pages = max(2, args.stream_gib * 1024 // n)
    # Page numbers of their own, apart from the pages scenario's.
    sides = distinct_pages(host, server, work, "stream", n, n, pages, {"without": 10 ** 6, "with": 2 * 10 ** 6})
    ok = compare_sides("%d GiB in 1 MiB resources (%d pages of %d) in one window, the last page captured" %
                       (args.stream_gib, pages, n), sides["with"], sides["without"], live_mib=n,
                       memory_limit_mib=64)
    return ok and sides["exact"]


def scenario_big(host, server, work, args):
    """One page with a resource of --big-mib MiB, captured; --big-rounds runs a side, alternating, the best
    counted."""
    url = "%s/gen/big?mib=%d" % (server.base, args.big_mib)
    out = os.path.join(work, "big.mht")
    sides, exact = {"without": [], "with": []}, True
    for _ in range(args.big_rounds):
        sides["without"].append(run_side(host, "without", ["--load-only", "--no-addons", url]))
        sides["with"].append(run_side(host, "with", ["--capture", out, url]))
        round_exact, summary = check_big(server, out, args.big_mib)
        print("  " + summary)
        exact = exact and round_exact
        os.remove(out)
    ok = compare_sides("one %d MiB resource (best of %d runs a side)" % (args.big_mib, args.big_rounds),
                       best_of(sides["with"]), best_of(sides["without"]), live_mib=args.big_mib)
    return ok and exact


def second_click_seconds(lines):
    """From the second click until the success box shows: the archive is written then."""
    at = {text.split(":", 1)[1].strip(): t for t, text in lines if text.startswith("step: ")}
    return at["success box"] - at["second click"]


def scenario_week(host, server, work, args):
    """A week of browsing: --week-pages pages of --week-resources resources of 4 KiB in one window (200,000
    resources at the defaults), the last captured; against the bare host, and the second click on the last page
    against the second click on a first page captured alone."""
    n, kib = args.week_resources, 4

    # Resources no cache keeps: Wine's cache never evicts, and 200,000 entries would fill its folder and index
    # for both sides, which a browser's own cache does not (the slowing with every address is wininet's cookies).
    def page(k):
        return "%s/gen/bench?n=%d&kib=%d&page=%d&store=no" % (server.base, n, kib * n, k)

    first_out = os.path.join(work, "week-first.mht")
    code, lines = host.run("--capture", first_out, page(5 * 10 ** 6))
    if code != 0:
        raise RuntimeError("the first page's capture failed (%d)" % code)
    first_click = second_click_seconds(lines)
    os.remove(first_out)

    def check(out, before):
        last = 6 * 10 ** 6 + args.week_pages - 1
        return check_page(server, out, before, "/gen/bench?n=%d&kib=%d&page=%d&store=no" % (n, kib * n, last),
                          "/gen/res/p%d-" % last, n + 1)

    sides = browse_then_capture(
        host, server, work, "week", ([page(7 * 10 ** 6 + k) for k in range(args.week_pages - 1)],
                                     [page(6 * 10 ** 6 + k) for k in range(args.week_pages - 1)]),
        (page(7 * 10 ** 6 + args.week_pages - 1), page(6 * 10 ** 6 + args.week_pages - 1)), check)
    ok = compare_sides("a week of browsing: %d pages of %d resources of %d KiB in one window, the last captured" %
                       (args.week_pages, n, kib), sides["with"], sides["without"], memory_limit_mib=64)
    # What the add-on adds to a page at the week's start and at its end: the sides' medians of each tenth of the
    # pages (both sides slow alike with wininet's cookie lists).
    tenth = max(1, args.week_pages // 10)
    added = []
    for part in (slice(0, tenth), slice(-tenth, None)):
        with_ms, without_ms = (statistics.median(sides[side].page_ms[part]) for side in ("with", "without"))
        added.append(with_ms - without_ms)
        print("  a page's load, median of the %s tenth of the pages: %.0f ms with the add-on, %.0f ms without" %
              ("first" if part.start == 0 else "last", with_ms, without_ms))
    print("  added by the add-on: %.1f ms a page in the first tenth, %.1f ms in the last" % tuple(added))
    last_click = second_click_seconds(sides["with"].lines)
    print("  second click on the last page %.0f ms, on a first page %.0f ms: %.2f x (goal <= 1.2 x)" %
          (last_click * 1000, first_click * 1000, last_click / max(first_click, 1e-9)))
    return ok and sides["exact"] and last_click <= 1.2 * first_click


# The session figure's scenarios (their docstrings say what each does; the module's, how long they take).
SCENARIOS = {
    "week": scenario_week,
    "pages": scenario_pages,
    "reload": scenario_reload,
    "big": scenario_big,
    "stream": scenario_stream,
}
DEFAULT_SCENARIOS = "pages,reload,big,loadsave"


def figure_session(host, server, args):
    register(host.wine, host.dll)
    chosen = [s.strip() for s in args.scenarios.split(",") if s.strip()]
    unknown = [s for s in chosen if s not in SCENARIOS and s != "loadsave"]
    if unknown:
        raise SystemExit("unknown scenario(s): %s (choose from %s, loadsave)" %
                         (", ".join(unknown), ", ".join(SCENARIOS)))
    work = tempfile.mkdtemp(prefix="tarvik-figure-session-")
    ok = True
    try:
        for name in chosen:
            if name in SCENARIOS:
                began = time.monotonic()
                print("scenario %s:" % name)
                ok = SCENARIOS[name](host, server, work, args) and ok
                print("  (scenario %s took %.0f s)" % (name, time.monotonic() - began))
                sys.stdout.flush()
    finally:
        shutil.rmtree(work, ignore_errors=True)
    if "loadsave" in chosen:
        figure_load(host, server, args)
        figure_save(host, server, args)
    print("  session figure: " + ("memory within its limits, archives byte-exact" if ok else "FAILED"))
    return ok


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("figure", nargs="?", default="all", choices=["load", "save", "windows", "session", "download", "all"])
    parser.add_argument("--build", default=os.path.join(REPO, "build", "win"))
    parser.add_argument("--compose", default=os.path.join(REPO, "build", "native", "bin", "tarvik-compose"))
    parser.add_argument("--rounds", type=int, default=5, help="samples per side and block")
    parser.add_argument("--resources", type=int, default=100)
    parser.add_argument("--mib", type=int, default=20)
    parser.add_argument("--window-rounds", type=int, default=20)
    parser.add_argument("--window-mib", type=int, default=2)
    parser.add_argument("--scenarios", default=DEFAULT_SCENARIOS,
                        help="session: comma-separated, of %s and loadsave (default %s)" %
                        (", ".join(SCENARIOS), DEFAULT_SCENARIOS))
    parser.add_argument("--session-mib", type=int, default=3072, help="pages: MiB of distinct pages (48 of 64)")
    parser.add_argument("--reloads", type=int, default=24, help="reload: loads of the one page")
    parser.add_argument("--week-pages", type=int, default=2000, help="week: pages")
    parser.add_argument("--week-resources", type=int, default=100, help="week: resources of 4 KiB a page")
    parser.add_argument("--big-mib", type=int, default=1946, help="big: MiB of the one large resource")
    parser.add_argument("--big-rounds", type=int, default=2, help="big and download: runs a side")
    parser.add_argument("--library", choices=["shipped", "built"], default="shipped",
                        help="the library registered: as the installer ships it, or as the build makes it")
    parser.add_argument("--download-mib", type=int, default=1024, help="download: MiB of the one resource")
    parser.add_argument("--stream-gib", type=int, default=16, help="stream: GiB streamed in 1 MiB resources")
    parser.add_argument("--managed", action="store_true",
                        help="keep Wine's windows managed (each hidden window then waits 2 s for a window manager)")
    args = parser.parse_args()
    if not os.environ.get("DISPLAY"):
        parser.error("DISPLAY is not set: the host shows windows (start Xvfb)")
    host = Host(os.path.abspath(args.build))
    if args.library == "built":
        host.dll = host.built
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
            if args.figure == "download":
                figure_download(host, server, args)
            if args.figure == "session":
                ok = figure_session(host, server, args)
    finally:
        shutil.rmtree(work, ignore_errors=True)
        # The prefix as the tests expect it: the build's own library registered.
        host.wine.run("regsvr32", "/s", "/u", host.dll, timeout=120)
        register(host.wine, host.built)
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
