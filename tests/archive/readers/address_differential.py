"""The reader-address model against headless Chromium's own address parser:
addresses generated from a fixed seed over every class (hosts in mixed case,
non-ASCII, escaped, numeric IPv4, IPv6, ports, userinfo; backslashes; dot
segments, escaped too; escapes of every byte in both hex cases, invalid
escapes; blanks, tabs, line breaks, control bytes; Latin-1 and UTF-8 bytes;
"#" and "?" everywhere) go through both. Every address the model is sure of
must be the one Chromium writes; the model may decline.
Usage: address_differential.py READER_ADDRESS_PROBE [COUNT]"""
import html
import json
import os
import random
import shutil
import subprocess
import sys
import tempfile
import time

# The readers shared with the end-to-end tests.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "support", "readers"))
from chromium_reader import chromium  # noqa: E402

SEED = 2112
COUNT = 12000


# Spellings that once hid pictures, checked before the generated ones.
KNOWN = [b"http://my_host.example.com/a.png", b"http://my%5Fhost.example.com/a.png", b"http://h/img/a|b.png",
         b"http://h/img/a%7Cb.png", b"http://h/a^b.png", b"http://h/wiki/Caf\xc3\xa9.png", b"http://h/wiki/Caf\xe9.png",
         b"http://h/?name=caf\xc3\xa9", b"http://h/#caf\xc3\xa9", b"http://b\xc3\xbccher.de/", b"http://[::1]:8080/",
         b"http://0x7f.1/", b"http://2130706433/", b"http://0177.0.0.1/", b"http://127.1/", b"http://127.0.0.1/",
         b"http://ex%61mple.com/", b"http://@example.com/", b"http://example.com/", b"http://h/a%41%5F/%2e%2E/b"]


def pick(rnd, *choices):
    return rnd.choice(choices)


def escape(rnd, byte):
    text = b"%%%02X" % byte
    return text.lower() if rnd.random() < 0.5 else text


def any_bytes(rnd):
    """One piece of a path, query or fragment: the classes the model must know."""
    kind = rnd.randrange(14)
    if kind == 0:
        return escape(rnd, rnd.randrange(256))
    if kind == 1:
        return escape(rnd, rnd.choice(b"AZaz09-._~!$&'()*+,;=:@/?#[]^|`{}\"<> %\\"))
    if kind == 2:
        return pick(rnd, b"%", b"%g1", b"%4", b"%%", b"%2", b"%zz", b"%\xe9", b"%%41")
    if kind == 3:
        return bytes([rnd.randrange(0x20, 0x7F)])
    if kind == 4:
        return pick(rnd, b" ", b"\t", b"\n", b"\r", b"\x00", b"\x01", b"\x1f", b"\x7f", b"\x0b", b"\x0c")
    if kind == 5:
        return pick(rnd, "\u00e9", "\u00fc", "\u20ac", "\u4e2d", "\U0001f600", "\u00a0", "\ufffe", "\u0130",
                    "\u212a", "\u00df").encode()
    if kind == 6:
        return bytes([rnd.randrange(0x80, 0x100)])  # a Latin-1 byte: the whole value is read as Latin-1
    if kind == 7:
        return pick(rnd, b"#", b"?", b"??", b"#?", b"?#", b"##")
    if kind == 8:
        return pick(rnd, b"\\", b"/", b"//", b"\\\\")
    return bytes(rnd.choice(b"abcXYZ019-._~") for _ in range(rnd.randrange(1, 5)))


def segment(rnd):
    if rnd.random() < 0.2:
        return pick(rnd, b".", b"..", b"%2e", b"%2E", b".%2e", b"%2E.", b"%2e%2E", b"...", b".a", b"a.", b"%2e%2e%2e")
    return b"".join(any_bytes(rnd) for _ in range(rnd.randrange(0, 4)))


def path(rnd):
    out = b""
    for _ in range(rnd.randrange(0, 5)):
        out += pick(rnd, b"/", b"/", b"/", b"\\") + segment(rnd)
    return out


def ipv4(rnd):
    def number(value):
        form = rnd.randrange(4)
        if form == 0:
            return b"%d" % value
        if form == 1:
            return pick(rnd, b"0x", b"0X") + (b"%x" % value if rnd.random() < 0.5 else b"%X" % value)
        if form == 2:
            return b"0%o" % value
        return b"0" * rnd.randrange(0, 3) + b"%d" % value
    parts = rnd.randrange(1, 6)
    values = [rnd.choice([0, 1, 7, 127, 255, 256, rnd.randrange(1 << 8)]) for _ in range(parts - 1)]
    last_max = 1 << (8 * max(1, 5 - parts))
    values.append(rnd.choice([0, 1, last_max - 1, last_max, rnd.randrange(last_max), 1 << 32, 2130706433]))
    host = b".".join(number(v) for v in values)
    return host + pick(rnd, b"", b"", b".", b"..")


def ipv6(rnd):
    pieces = [rnd.choice([0, 0, 0, 1, 0xABCD, rnd.randrange(1 << 16)]) for _ in range(8)]
    words = [pick(rnd, b"%x", b"%X", b"%04x") % p for p in pieces]
    form = rnd.randrange(6)
    if form == 0:
        text = b":".join(words)
    elif form == 1:
        at = rnd.randrange(0, 8)
        length = rnd.randrange(1, 9 - at)
        text = b":".join(words[:at]) + b"::" + b":".join(words[at + length:])
    elif form == 2:
        text = b":".join(words[:6]) + b":%d.%d.%d.%d" % tuple(rnd.randrange(256) for _ in range(4))
    elif form == 3:
        text = b"::" + pick(rnd, b"1", b"ffff:1.2.3.4", b"", b"1:2", b"01234", b"1%25eth0", b"g")
    elif form == 4:
        text = b":".join(words[:rnd.randrange(1, 10)])
    else:
        text = b"::" + b"::".join(words[:2])
    return b"[" + text + pick(rnd, b"]", b"]", b"]", b"", b"]x")


def name(rnd):
    labels = []
    plain = rnd.random() < 0.6  # letters, digits, "-", "_" in mixed case, some escaped
    for _ in range(rnd.randrange(1, 4)):
        label = b""
        for _ in range(rnd.randrange(0 if not plain else 1, 6)):
            kind = rnd.randrange(5 if plain else 10)
            if plain and kind == 4:
                label += escape(rnd, rnd.choice(b"aAzZ09-_."))
                continue
            if kind < 5:
                label += bytes([rnd.choice(b"abcdefxyzABCXYZ0123456789-_")])
            elif kind == 5:
                label += escape(rnd, rnd.choice(b"aAzZ09-_.%~!*^|@:/ \x00\xe9"))
            elif kind == 6:
                label += pick(rnd, "\u00fc", "\u00e9", "\u0130", "\u212a", "\u3002", "\uff21", "\u00df").encode()
            elif kind == 7:
                label += bytes([rnd.randrange(0x80, 0x100)])
            elif kind == 8:
                label += bytes([rnd.choice(b"!$&'()*+,;=~^|<>\"`{} %\x01\x7f")])
            else:
                label += pick(rnd, b"xn--", b"XN--", b"xn--bcher-kva", b"0x", b"09", b"1e")
        labels.append(label)
    host = b".".join(labels)
    if rnd.random() < 0.2:
        host += pick(rnd, b".com", b".1", b".0x7f", b".a1", b".", b".123abc")
    return host


def address(rnd):
    scheme = pick(rnd, b"http", b"http", b"http", b"http", b"http", b"https", b"https", b"HTTP", b"HtTpS", b"ftp", b"ws", b"file", b"mailto",
                  b"cid", b"x-y", b"1http", b"ht\ttp", b"")
    slashes = pick(rnd, b"//", b"//", b"//", b"/", b"", b"\\\\", b"///", b"/\\", b"\\/")
    userinfo = pick(rnd, *([b""] * 12 + [b"@", b":@", b"u@", b"u:p@", b"a@b@", b"%41@", b"\t@"]))
    kind = rnd.randrange(10)
    host = ipv4(rnd) if kind < 2 else ipv6(rnd) if kind < 4 else name(rnd)
    port = pick(rnd, *([b""] * 8 + [b":", b":80", b":0080", b":443", b":21", b":8080", b":65535", b":65536", b":x",
                                    b":99999999999", b": 1", b":08\t0"]))
    text = (scheme + b":" if scheme or rnd.random() < 0.5 else b"") + slashes + userinfo + host + port + path(rnd)
    if rnd.random() < 0.4:
        text += b"?" + b"".join(any_bytes(rnd) for _ in range(rnd.randrange(0, 5)))
    if rnd.random() < 0.3:
        text += b"#" + b"".join(any_bytes(rnd) for _ in range(rnd.randrange(0, 5)))
    if rnd.random() < 0.1:
        text = pick(rnd, b" ", b"\t", b"\x01", b"\n ") + text + pick(rnd, b" ", b"\x00", b"\r\n", b"")
    return text


def as_text(data):
    """The value as the browser reads a Content-Location: UTF-8 when valid, else Latin-1."""
    try:
        return data.decode("utf-8")
    except UnicodeDecodeError:
        return data.decode("latin-1")


def browser_answers(texts):
    """new URL(s).href for each text, None where Chromium finds it invalid."""
    browser = chromium()
    if not browser:
        raise RuntimeError("no chromium on PATH (tools/setup.sh installs the Debian package)")
    data = json.dumps(texts).replace("<", "\\u003c")
    page = ("<!DOCTYPE html><html><head><meta charset=\"utf-8\"></head><body><pre id=\"out\"></pre><script>\n"
            "const all = " + data + ";\n"
            "document.getElementById('out').textContent = JSON.stringify(all.map(s => {\n"
            "  try { return new URL(s).href; } catch (e) { return null; }\n"
            "}));\n</script></body></html>\n")
    work = tempfile.mkdtemp(prefix="tarvik-address-")
    try:
        with open(os.path.join(work, "page.html"), "w", encoding="utf-8") as f:
            f.write(page)
        run = subprocess.run(
            [browser, "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
             "--disable-background-networking", "--disable-component-update", "--disable-sync",
             "--user-data-dir=" + os.path.join(work, "profile"), "--dump-dom",
             "file://" + os.path.join(work, "page.html")],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=120)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    dom = run.stdout.decode("utf-8")
    start, end = dom.find('<pre id="out">'), dom.find("</pre>")
    if start < 0 or end < 0:
        raise RuntimeError("chromium wrote no answers: " + run.stderr.decode(errors="replace")[-2000:])
    answers = json.loads(html.unescape(dom[start + len('<pre id="out">'):end]))
    if len(answers) != len(texts):
        raise RuntimeError("chromium answered %d of %d addresses" % (len(answers), len(texts)))
    return answers


def model_answers(probe, addresses):
    run = subprocess.run([probe], input=b"".join(a.hex().encode() + b"\n" for a in addresses),
                         stdout=subprocess.PIPE, check=True, timeout=60)
    answers = [None if line == "-" else line for line in run.stdout.decode("latin-1").split("\n")[:-1]]
    if len(answers) != len(addresses):
        raise RuntimeError("the model answered %d of %d addresses" % (len(answers), len(addresses)))
    return answers


def main(probe, count=COUNT):
    started = time.monotonic()
    rnd = random.Random(SEED)
    addresses = list(dict.fromkeys(KNOWN + [address(rnd) for _ in range(count)]))
    browser = browser_answers([as_text(a) for a in addresses])
    model = model_answers(probe, addresses)
    agree, declined, declined_valid, wrong = 0, 0, 0, []
    for data, theirs, ours in zip(addresses, browser, model):
        if ours is None:
            declined += 1
            declined_valid += theirs is not None
        elif ours == theirs:
            agree += 1
        else:
            wrong.append((data, theirs, ours))
    for data, theirs, ours in wrong[:25]:
        print("DISAGREE: %r\n  chromium: %s\n  model:    %s" % (data, theirs, ours))
    print("%d addresses in %.1f s: %d agree, %d declined (%d of them valid for Chromium), %d disagree" %
          (len(addresses), time.monotonic() - started, agree, declined, declined_valid, len(wrong)))
    # A model that declines everything agrees with everything: it must be sure
    # of most addresses that Chromium reads as http, https or ftp.
    web = sum(1 for theirs in browser if theirs and theirs.startswith(("http:", "https:", "ftp:")))
    if agree * 10 < web * 6:
        print("FAILED: the model is sure of only %d of %d web addresses Chromium reads" % (agree, web))
        return 1
    if len(addresses) < 10000:
        print("FAILED: only %d distinct addresses" % len(addresses))
        return 1
    return 1 if wrong else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1], int(sys.argv[2]) if len(sys.argv) > 2 else COUNT))
