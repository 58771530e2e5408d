"""The quoted form of names in messages, checked against Python's own
Unicode database for every code point."""

import re
import sys
import unicodedata
from pathlib import Path

import pytest

import kelo_frame

ROOT = Path(__file__).resolve().parents[2]
TABLE = ROOT / "src" / "engine" / "unicode_tables.hpp"
PROPLIST = Path("/usr/share/unicode/PropList.txt")

ESCAPED_CATEGORIES = {"Cc", "Cf", "Cs", "Co", "Cn", "Zl", "Zp", "Zs", "Mn", "Me"}
SHORT = {'"': '\\"', "\\": "\\\\", "\t": "\\t", "\r": "\\r", "\n": "\\n", "\0": "\\0"}
SURROGATES = range(0xD800, 0xE000)


def table_version():
    found = re.search(r'kVersion\[\] = "([\d.]+)"', TABLE.read_text(encoding="utf-8"))
    assert found, f"no version in {TABLE}"
    return found.group(1)


def other_grapheme_extend(version):
    """Other_Grapheme_Extend of the table's Unicode version, or None when the
    data file of that version is not on this machine."""
    if not PROPLIST.exists():
        return None
    lines = PROPLIST.read_text(encoding="utf-8").splitlines()
    if f"-{version}.txt" not in lines[0]:
        return None
    out = set()
    for line in lines:
        fields = line.split("#", 1)[0].split(";")
        if len(fields) == 2 and fields[1].strip() == "Other_Grapheme_Extend":
            first, _, last = fields[0].strip().partition("..")
            out.update(range(int(first, 16), int(last or first, 16) + 1))
    return out


def lookup_message(name):
    with pytest.raises(ValueError) as err:
        kelo_frame.Frame().ints(name)
    return str(err.value)


def quoted(name):
    message = lookup_message(name)
    prefix, suffix = "no column ", " (the frame has none)"
    assert message.startswith(prefix) and message.endswith(suffix), message
    return message[len(prefix):-len(suffix)]


def expected(ch, escaped):
    if ch in SHORT:
        return SHORT[ch]
    return f"\\u{{{ord(ch):x}}}" if escaped else ch


@pytest.mark.parametrize(
    "name, want",
    [
        ("x", '"x"'),
        ("", '""'),
        ("it's", '"it\'s"'),
        ('say "hi"', '"say \\"hi\\""'),
        ("a\\b", '"a\\\\b"'),
        ("\t\r\n\0", '"\\t\\r\\n\\0"'),
        ("\x001\x01\x0b", '"\\01\\u{1}\\u{b}"'),  # a NUL before a digit stays readable
        ("a b", '"a b"'),
        ("\u200b\u2028\u3000\ufeff", '"\\u{200b}\\u{2028}\\u{3000}\\u{feff}"'),
        ("café 日本 😀", '"café 日本 😀"'),
    ],
)
def test_quoted_names_in_the_lookup_message(name, want):
    assert quoted(name) == want


def test_columns_of_the_frame_are_listed_quoted():
    f = kelo_frame.Frame()
    f.add_ints("a\u200db", [1])
    f.add_ints('"q"', [2])
    with pytest.raises(ValueError) as err:
        f.ints("\u00ad")
    assert str(err.value) == 'no column "\\u{ad}" (the frame has "a\\u{200d}b", "\\"q\\"")'


def test_every_code_point_matches_the_unicode_database():
    version = table_version()
    same_version = version == unicodedata.unidata_version
    extend = other_grapheme_extend(version)

    checked = []
    want = []
    for cp in range(0x110000):
        if cp in SURROGATES:
            continue  # a str holding one has no UTF-8 form to pass in
        ch = chr(cp)
        cat = unicodedata.category(ch)
        if cat == "Cn" and not same_version:
            continue  # may be assigned in the table's version
        if extend is None and cat in ("Mc", "Lm"):
            continue  # may be Other_Grapheme_Extend; no data file to tell
        escaped = cat in ESCAPED_CATEGORIES or (extend is not None and cp in extend)
        checked.append(ch)
        want.append(expected(ch, escaped and ch != " "))

    batch = 8192
    wrong = []
    for start in range(0, len(checked), batch):
        chars = checked[start:start + batch]
        wanted = want[start:start + batch]
        if quoted("".join(chars)) == '"' + "".join(wanted) + '"':
            continue
        for ch, w in zip(chars, wanted):
            got = quoted(ch)
            if got != f'"{w}"':
                wrong.append(f"U+{ord(ch):04X} {unicodedata.category(ch)}: {got}, want \"{w}\"")
        if len(wrong) > 20:
            break
    assert not wrong, (
        f"table {version}, Python {sys.version_info[:2]} unicodedata {unicodedata.unidata_version}:\n"
        + "\n".join(wrong[:20]))
    assert len(checked) > 0x100000 if same_version else len(checked) > 250000

