#!/usr/bin/env python3
"""Turns the translators' PO files into the installer's text table.

    make-texts.py TEMPLATE OUTPUT [LANGUAGE ...]

TEMPLATE is resources/lang/quellox.pot: its msgids, in their order, are the
window's English texts, and the order is the one the program reads them in
(ui/uTexts.h). Each LANGUAGE names resources/lang/<LANGUAGE>.po beside the
template. A text that a file lacks, leaves empty or gets wrong (a placeholder
missing, added or repeated) falls back to English: the build says which.

The table, little-endian:
    u16 count of languages, u16 0, u32 the plain size of all their texts
    per language: 12 bytes of ASCII tag (NUL-padded), u8 flags (1: written
        right to left), u8 0, u16 the plain size of its texts
    the texts of every language in that order, UTF-8, each ended by a NUL
        (an empty one: English), as one LZNT1 stream, which Windows
        decompresses itself (RtlDecompressBuffer). One stream for all: its
        4 KB chunks then hold several languages, which share the names and
        placeholders, and the file is about 1 KB smaller than with one
        stream each.
A size line per language goes to OUTPUT.sizes for bench/size-report.
"""
import os
import re
import struct
import sys

# Languages written right to left: the window is mirrored for them.
RIGHT_TO_LEFT = {"ar", "he", "fa", "ur", "yi", "ps", "sd", "ug", "dv", "ckb"}
PLACEHOLDER = re.compile(r"\{[a-z]+\}")
TAG_SIZE = 12


def unquote(text):
    out, i = [], 0
    while i < len(text):
        c = text[i]
        if c == "\\" and i + 1 < len(text):
            n = text[i + 1]
            out.append({"n": "\n", "t": "\t", '"': '"', "\\": "\\"}.get(n, n))
            i += 2
        else:
            out.append(c)
            i += 1
    return "".join(out)


def read_po(path):
    """The file's entries as {msgid: msgstr}, fuzzy ones left out."""
    entries, current, field, fuzzy = {}, {}, None, False

    def finish():
        nonlocal current, fuzzy
        if "msgid" in current and not fuzzy and "msgctxt" not in current:
            entries[current["msgid"]] = current.get("msgstr", "")
        current, fuzzy = {}, False

    with open(path, encoding="utf-8") as f:
        for raw in f:
            line = raw.strip()
            if not line:
                finish()
                field = None
                continue
            if line.startswith("#,") and "fuzzy" in line:
                fuzzy = True
                continue
            if line.startswith("#"):
                continue
            keyword, _, rest = line.partition(" ")
            if keyword in ("msgid", "msgstr", "msgctxt"):
                if keyword == "msgid" and "msgid" in current:
                    finish()
                field = keyword
                current[field] = unquote(rest.strip()[1:-1])
            elif line.startswith('"') and field:
                current[field] += unquote(line[1:-1])
    finish()
    return entries


def displacement_bits(pos):
    """LZNT1's split of a pair: the displacement's bits at this position of
    the chunk (the rest, 16 less these, hold the length)."""
    return max(4, (pos - 1).bit_length()) if pos > 1 else 4


def lznt1(data):
    """LZNT1: 4 KB chunks, each a run of flag bytes and eight items, a byte
    or a (displacement, length) pair. Each chunk is parsed for the fewest
    bits (a byte costs 9, a pair 17), not greedily."""
    out = bytearray()
    for start in range(0, len(data), 4096):
        chunk = data[start:start + 4096]
        n = len(chunk)
        # The longest earlier match at each position, and where it starts.
        longest, source, heads = [0] * n, [0] * n, {}
        for pos in range(n):
            limit = min((1 << (16 - displacement_bits(pos))) + 2, n - pos)
            for at in heads.get(chunk[pos:pos + 3], ()):
                length = 0
                while length < limit and chunk[at + length] == chunk[pos + length]:
                    length += 1
                if length > longest[pos] or (length == longest[pos] and at > source[pos]):
                    longest[pos], source[pos] = length, at
            heads.setdefault(chunk[pos:pos + 3], []).append(pos)
        cost, step = [0] * (n + 1), [1] * (n + 1)
        for pos in range(n - 1, -1, -1):
            cost[pos], step[pos] = cost[pos + 1] + 9, 1
            for length in range(3, longest[pos] + 1):
                if cost[pos + length] + 17 < cost[pos]:
                    cost[pos], step[pos] = cost[pos + length] + 17, length
        body, pos, bit = bytearray(), 0, 8
        while pos < n:
            if bit == 8:
                flag_at, bit = len(body), 0
                body.append(0)
            if step[pos] >= 3:
                bits = displacement_bits(pos)
                body += struct.pack("<H", ((pos - source[pos] - 1) << (16 - bits)) | (step[pos] - 3))
                body[flag_at] |= 1 << bit
            else:
                body.append(chunk[pos])
            pos += step[pos]
            bit += 1
        if len(body) >= len(chunk):
            # Stored: an uncompressed chunk is always a full 4 KB but for the last.
            out += struct.pack("<H", 0x3000 | (len(chunk) - 1)) + chunk
        else:
            out += struct.pack("<H", 0xB000 | (len(body) - 1)) + body
    return bytes(out)


def main():
    template, output, languages = sys.argv[1], sys.argv[2], sys.argv[3:]
    english = [m for m in read_po(template) if m]
    folder = os.path.dirname(template)
    entries, plain, sizes, failures = b"", b"", [], False
    for language in languages:
        path = os.path.join(folder, language + ".po")
        if not os.path.exists(path):
            print(f"texts: {language}: no {path}", file=sys.stderr)
            failures = True
            continue
        found = read_po(path)
        texts, fell_back = [], []
        for msgid in english:
            text = found.get(msgid, "")
            wanted = sorted(PLACEHOLDER.findall(msgid))
            if text and sorted(PLACEHOLDER.findall(text)) != wanted:
                fell_back.append(msgid + " (placeholders differ)")
                text = ""
            elif not text:
                fell_back.append(msgid)
            texts.append(text.replace("\r\n", "\n").replace("\n", "\r\n"))
        for msgid in fell_back:
            print(f"texts: {language}: falls back to English: {msgid!r}")
        own = b"".join(t.encode("utf-8") + b"\0" for t in texts)
        tag = language.encode("ascii")
        if len(tag) >= TAG_SIZE or len(own) > 0xFFFF:
            sys.exit(f"texts: {language}: a tag of at most {TAG_SIZE - 1} characters, texts under 64 KB")
        flags = 1 if language.split("-")[0].lower() in RIGHT_TO_LEFT else 0
        entries += tag.ljust(TAG_SIZE, b"\0") + struct.pack("<BBH", flags, 0, len(own))
        plain += own
        sizes.append(f"{language} {len(own)} {len(lznt1(own))} {len(fell_back)}")
    if failures:
        sys.exit(1)
    packed = lznt1(plain)
    with open(output, "wb") as f:
        f.write(struct.pack("<HHI", len(sizes), 0, len(plain)) + entries + packed)
    # Per language: its plain bytes, its bytes compressed alone, its texts
    # in English; then the table as built.
    with open(output + ".sizes", "w") as f:
        f.write("".join(line + "\n" for line in sizes))
        f.write(f"all {len(plain)} {len(packed)} {len(entries) + 8}\n")


if __name__ == "__main__":
    main()
