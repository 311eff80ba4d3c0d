#!/usr/bin/env python3
# Writes the golden files of the stored transfer manifest tests, from the same inputs as the test's table,
# by an encoder written apart from the engine's: UTF-16 units; U+0020, U+0021, U+0023-U+002E, U+0030-U+005B
# and U+005D-U+00FF as themselves (UTF-8); quote, slash and backslash after a backslash; \b \f \n \r; every
# other unit as \uXXXX in upper-case hex. Run it from this folder after changing an input.
import os

ID = "0123456789abcdef0123456789abcdef"

CASES = {
    "plain": "/home/a/Games/Emberline",
    "quote_slash_backslash": 'C:\\Games "x" /y',
    "named_controls": "\b\f\n\r",
    "other_controls": "\t\x01\x1f\x7f",
    "nul": "a\x00b",
    "around_u00ff": "\x7e\x7f\x80\xff\u0100",
    "around_uffff": "\ud7ff\ue000\ufffd\uffff",
    "beyond_uffff": "\U00010000\U0001F525\U0010FFFF",
    "long_path": "/" + ("d\u00e9p\u20ac/" * 1200),
}


def escape(text):
    units = text.encode("utf-16-le")
    out = []
    for i in range(0, len(units), 2):
        u = units[i] | (units[i + 1] << 8)
        c = chr(u) if u < 0xD800 or u > 0xDFFF else None
        if u in (0x22, 0x2F, 0x5C):
            out.append("\\" + chr(u))
        elif u in (0x08, 0x0C, 0x0A, 0x0D):
            out.append({0x08: "\\b", 0x0C: "\\f", 0x0A: "\\n", 0x0D: "\\r"}[u])
        elif 0x20 <= u <= 0xFF:
            out.append(c)
        else:
            out.append("\\u%04X" % u)
    return "".join(out)


def document(dest):
    members = [("transferId", ID), ("partnerId", "P"), ("packageId", "K"), ("versionId", "1.2"),
               ("destPath", dest)]
    return "{" + ",".join('"%s":"%s"' % (escape(k), escape(v)) for k, v in members) + "}\n"


for name, dest in CASES.items():
    with open(name + ".json", "wb") as f:
        f.write(document(dest).encode("utf-8"))
