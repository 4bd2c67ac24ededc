#!/usr/bin/env python3
"""What "getEdit" delivers, beside an independent decoder: Python's codecs.

Generates files as editors save them (the generator always starts from the
same value, so a run is reproducible):
UTF-8 with its mark and without, UTF-16 in both byte orders, valid and
broken, the code page's own bytes, long texts full of characters the code
page lacks. Each is read back through the real module (the TextOracleTest
case of the test program) and compared with what the host must get: the
text decoded by Python ('replace' for the UTF decoders, which follows the
WHATWG Encoding Standard's one U+FFFD per maximal malformed part), written
into the code page with 'xmlcharrefreplace', cut at its first NUL.

    text-oracle.py RUNNER PROGRAM CODEPAGE COUNT START

START is where the random generator starts: the same files every run.
"""
import functools
import os
import random
import struct
import subprocess
import sys
import tempfile

# Where Windows' tables and Python's codecs differ, and why; nothing of the
# module's own is listed here.
#
# 1252: Windows maps the five bytes 1252 leaves unassigned (81 8D 8F 90 9D)
# to the C1 controls of the same value and back; Python's codec has no
# mapping for them.
CP1252_WINDOWS_ONLY = {0x81: b"\x81", 0x8D: b"\x8D", 0x8F: b"\x8F", 0x90: b"\x90", 0x9D: b"\x9D"}


@functools.lru_cache(maxsize=None)
def windows_writes(ch, codepage):
    """The bytes WideCharToMultiByte with WC_NO_BEST_FIT_CHARS gives a
    character, or None when the code page lacks it. Python's codecs carry
    one-way mappings (932 has U+00A2 to 81 91, which reads back as U+FFE0):
    a character whose bytes don't read back as itself is best fit, which the
    flag refuses, so it is lacked."""
    cp = ord(ch)
    if codepage == 1252 and cp in CP1252_WINDOWS_ONLY:
        return CP1252_WINDOWS_ONLY[cp]
    name = "cp%d" % codepage
    try:
        b = ch.encode(name)
    except UnicodeEncodeError:
        return None
    try:
        if b.decode(name) != ch:
            return None
    except UnicodeDecodeError:
        return None
    return b


def comparable(b, codepage):
    """932 has duplicate rows: a character of IBM's extensions stands both
    among NEC's selection (ED, EE) and IBM's own (FA to FC), and a few NEC
    symbols twice more. Windows writes one code of each, Python's codec
    another: there the characters are compared, each code read as the
    character it is and written as Python's codec writes it. Bytes that are
    no character stay as they are."""
    if codepage != 932:
        return b
    return b.decode("cp932", "surrogateescape").encode("cp932", "surrogateescape")


def expected(data, codepage):
    if data.startswith(b"\xef\xbb\xbf"):
        text = data[3:].decode("utf-8", "replace")
    elif data.startswith(b"\xff\xfe"):
        text = data[2:].decode("utf-16-le", "replace")
    elif data.startswith(b"\xfe\xff"):
        text = data[2:].decode("utf-16-be", "replace")
    else:
        # No mark: valid UTF-8 holding a multi-byte sequence is UTF-8; else
        # the bytes are the host's own.
        try:
            text = data.decode("utf-8")
        except UnicodeDecodeError:
            text = None
        if text is None or all(b < 0x80 for b in data):
            return data.split(b"\0")[0]
    out = bytearray()
    for ch in text:
        if ch == "\0":
            break
        b = windows_writes(ch, codepage)
        out += b if b is not None else b"&#%d;" % ord(ch)
    return bytes(out)


# What texts are made of: every kind of character a page may hold.
ASCII = [chr(c) for c in range(0x20, 0x7F)] + ["\r", "\n", "\t", "<", ">", "&"]
LATIN = [chr(c) for c in range(0xA0, 0x180)]
C1 = [chr(c) for c in range(0x80, 0xA0)]
WIN1252_EXTRA = list("€‚ƒ„…†‡ˆ‰Š‹ŒŽ‘’“”•–—˜™š›œžŸ")
KANA = [chr(c) for c in range(0x3041, 0x3097)] + [chr(c) for c in range(0x30A1, 0x30FB)] + \
       [chr(c) for c in range(0xFF61, 0xFFA0)]
KANJI = [chr(c) for c in range(0x4E00, 0x9FA0, 7)]
SYMBOLS = list("①②③ⅰⅱ№℡㈱≒≡∫∮√⊥∠∟⊿∵∩∪～〜‖−¢£¬¦—―‐・「」『』【】")
OTHER = [chr(c) for c in range(0x370, 0x3D0)] + [chr(c) for c in range(0x400, 0x460)] + \
        [chr(c) for c in range(0x5D0, 0x5EB)] + [chr(c) for c in range(0xAC00, 0xAD00, 3)]
ASTRAL = [chr(c) for c in (0x1F600, 0x1F602, 0x1F30F, 0x20BB7, 0x1D11E, 0x10FFFD, 0x10000)]
POOLS = [ASCII, LATIN, C1, WIN1252_EXTRA, KANA, KANJI, SYMBOLS, OTHER, ASTRAL]


def text(rng, n):
    weights = rng.choice([[8, 1, 1, 1, 1, 1, 1, 1, 1], [1] * 9, [2, 0, 0, 0, 3, 3, 2, 0, 1], [1, 0, 0, 0, 0, 0, 0, 6, 2]])
    out = [rng.choice(pool) for pool in rng.choices(POOLS, weights, k=n)]
    if rng.random() < 0.03:
        out.insert(rng.randrange(len(out) + 1), "\0")
    return "".join(out)


def broken_utf8(rng, b):
    b = bytearray(b)
    bad = [b"\x80", b"\xbf", b"\xc0\xaf", b"\xc1\xbf", b"\xe0\x80\xaf", b"\xe0\x9f\xbf", b"\xed\xa0\x80",
           b"\xed\xbf\xbf", b"\xf0\x80\x80\xaf", b"\xf4\x90\x80\x80", b"\xf5\x80\x80\x80", b"\xff", b"\xfe",
           b"\xc3", b"\xe4\xb8", b"\xf0\x9f\x98", b"\xe2\x82", b"\xf8\x88\x80\x80\x80"]
    for _ in range(rng.randint(1, 4)):
        at = rng.randrange(len(b) + 1)
        if rng.random() < 0.7:
            b[at:at] = rng.choice(bad)
        elif b:
            b[min(at, len(b) - 1)] = rng.randrange(0x80, 0x100)
    if rng.random() < 0.3 and b:
        b = b[:rng.randrange(len(b) + 1)]
    return bytes(b)


def utf16(rng, t, order, broken):
    units = list(struct.unpack("<%dH" % (len(t.encode("utf-16-le")) // 2), t.encode("utf-16-le")))
    if broken:
        for _ in range(rng.randint(1, 3)):
            units.insert(rng.randrange(len(units) + 1), rng.choice([0xD800, 0xDBFF, 0xDC00, 0xDFFF, 0xD83D, 0xDE00]))
    data = struct.pack(("<" if order == "le" else ">") + "%dH" % len(units), *units)
    if broken and rng.random() < 0.5:
        data += bytes([rng.randrange(256)])
    return data


@functools.lru_cache(maxsize=None)
def lacked_by(codepage):
    return [c for c in OTHER + ASTRAL + KANJI + LATIN if windows_writes(c, codepage) is None]


def one_case(rng, codepage):
    kind = rng.randrange(10)
    n = rng.choice([0, 1, 2, 3, 5, 8, 20, 60, 200]) if rng.random() < 0.98 else rng.randint(1000, 4000)
    t = text(rng, n)
    if kind == 0:
        return b"\xef\xbb\xbf" + t.encode("utf-8")
    if kind == 1:
        return t.encode("utf-8")
    if kind == 2:
        return (b"\xef\xbb\xbf" if rng.random() < 0.5 else b"") + broken_utf8(rng, t.encode("utf-8"))
    if kind in (3, 4):
        order = "le" if kind == 3 else "be"
        return (b"\xff\xfe" if order == "le" else b"\xfe\xff") + utf16(rng, t, order, rng.random() < 0.5)
    if kind == 5:
        # The code page's own bytes, as an editor that kept them saves.
        return t.encode("cp%d" % codepage, "ignore")
    if kind == 6:
        return bytes(rng.randrange(256) for _ in range(n))
    if kind == 7:
        # Long, and full of what the code page lacks: the halving's road.
        lacked = lacked_by(codepage)
        s = "".join(rng.choice(lacked) if rng.random() < 0.3 else rng.choice(ASCII) for _ in range(rng.randint(200, 2000)))
        return (b"\xef\xbb\xbf" if rng.random() < 0.5 else b"") + s.encode("utf-8")
    if kind == 8:
        # UTF-16 without a mark is the host's bytes, cut at their first NUL.
        return t.encode("utf-16-le")
    # A mark with ASCII or nothing after it.
    mark = rng.choice([b"\xef\xbb\xbf", b"\xff\xfe", b"\xfe\xff"])
    plain = "".join(rng.choice(ASCII) for _ in range(n))
    return mark + (plain.encode("utf-8") if mark == b"\xef\xbb\xbf" else plain.encode("utf-16-le" if mark == b"\xff\xfe" else "utf-16-be"))


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def main():
    if len(sys.argv) != 6:
        print("usage: text-oracle.py RUNNER PROGRAM CODEPAGE COUNT START", file=sys.stderr)
        return 2
    runner, program, codepage, count, start = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4]), int(sys.argv[5])
    rng = random.Random(start)
    cases = [one_case(rng, codepage) for _ in range(count)]
    with tempfile.TemporaryDirectory(prefix="qh-oracle-") as work:
        cases_path = os.path.join(work, "cases.bin")
        out_path = os.path.join(work, "out.bin")
        with open(cases_path, "wb") as f:
            for c in cases:
                f.write(struct.pack("<I", len(c)) + c)
        env = dict(os.environ, QH_ORACLE_CASES=windows_path(cases_path), QH_ORACLE_OUT=windows_path(out_path))
        run = subprocess.run([runner, program, "--gtest_filter=TextOracleTest.*"], env=env,
                             stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        log = run.stdout.decode("utf-8", "replace")
        if run.returncode != 0 or not os.path.exists(out_path):
            print(log)
            print("error: the module's side did not finish (exit %d)" % run.returncode)
            return 1
        if "[  SKIPPED ]" in log:
            print(log)
            print("error: the module's side skipped")
            return 1
        with open(out_path, "rb") as f:
            out = f.read()
    at = 0
    differences = 0
    for i, c in enumerate(cases):
        delivered = out[at] == 1
        at += 1
        got = None
        if delivered:
            (n,) = struct.unpack("<I", out[at:at + 4])
            got = out[at + 4:at + 4 + n]
            at += 4 + n
        want = expected(c, codepage)
        if got != want and (got is None or comparable(got, codepage) != comparable(want, codepage)):
            differences += 1
            if differences <= 10:
                print("case %d (%d bytes): %s" % (i, len(c), c[:48].hex(" ")))
                print("  Python: %r" % (want[:120],))
                print("  module: %r" % (got[:120] if got is not None else "nothing delivered",))
    print("text oracle, code page %d, generator started at %d: %d files, %d differences" % (codepage, start, count, differences))
    return 1 if differences else 0


if __name__ == "__main__":
    sys.exit(main())
