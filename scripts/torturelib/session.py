"""Session files: numbers set to edge values, lines cut, dropped, repeated
or swapped. The source name in "Parms:" is UTF-16: the harness points it
at the mutant's own copy of the source before the damage."""
import re

from .common import kind

EDGE_TEXT = [b"0", b"-1", b"1", b"2147483647", b"2147483648", b"4294967295", b"4294967296", b"9223372036854775807",
             b"9223372036854775808", b"18446744073709551615", b"-9223372036854775808", b"99999999999999999999",
             b"134217728", b"65536", b"1024", b"1025", b"", b"+1", b"0x10", b"1e9"]

PARMS = re.compile(rb"Parms: (-?\d+) (\d+) ")


def name_span(text):
    """Where the UTF-16 source name lies (kept out of the number search)."""
    m = PARMS.search(text)
    if not m:
        return (0, 0)
    return (m.end(), m.end() + int(m.group(2)))


def point_at(text, path):
    """The session text with its source name replaced by PATH."""
    m = PARMS.search(text)
    if not m:
        return text
    raw = path.encode("utf-16-le")
    old_end = m.end() + int(m.group(2))
    return text[:m.start()] + b"Parms: %s %d " % (m.group(1), len(raw)) + raw + text[old_end:]


def numbers(text):
    lo, hi = name_span(text)
    return [x for x in re.finditer(rb"-?\d+", text) if x.end() <= lo or x.start() >= hi]


@kind("sessnum", ["session"], "numbers of a session file set to edge values: 0, -1, 2^31, 2^63-1, huge counts")
def sessnum(m):
    text = bytes(m.files[0])
    rnd = m.rnd
    found = numbers(text)
    if not found:
        return
    # Section counts and the first lines matter most: favour them.
    heads = [x for x in found if text[max(0, x.start() - 16):x.start()].rstrip(b" ").endswith(
        (b"Partitions:", b"Inodes:", b"items:", b"Ex:", b"Parms:"))]
    picks = rnd.sample(found, min(len(found), rnd.randint(1, 3)))
    if heads and rnd.random() < 0.4:
        picks[0] = rnd.choice(heads)
    picks.sort(key=lambda x: -x.start())
    for x in picks:
        v = rnd.choice(EDGE_TEXT + [str(int(x.group()) + rnd.choice([-1, 1])).encode()])
        text = text[:x.start()] + v + text[x.end():]
    m.files[0] = bytearray(text)


@kind("sesscut", ["session"], "session lines cut short, dropped, repeated, swapped or joined; the file cut")
def sesscut(m):
    text = bytes(m.files[0])
    rnd = m.rnd
    lines = text.split(b"\r\n")
    what = rnd.randrange(6)
    k = rnd.randrange(len(lines))
    if what == 0:
        m.files[0] = bytearray(text[:rnd.randrange(len(text) + 1)])
        return
    if what == 1:
        del lines[k]
    elif what == 2:
        lines.insert(k, lines[k])
    elif what == 3:
        j = rnd.randrange(len(lines))
        lines[k], lines[j] = lines[j], lines[k]
    elif what == 4:
        lines[k] = lines[k][:rnd.randrange(len(lines[k]) + 1)]
    else:
        if k + 1 < len(lines):
            lines[k:k + 2] = [lines[k] + rnd.choice([b"", b" ", b"\n"]) + lines[k + 1]]
    m.files[0] = bytearray(b"\r\n".join(lines))
