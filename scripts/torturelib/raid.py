"""RAID members: one cut short, one taken from another set, parity rows
flipped (the members of a set from tests/tools/mkraid.py)."""
from .common import kind, flip_bits

STRIPE = 65536


@kind("raidcut", ["raid"], "a member cut short (at a stripe, inside one, or to nothing)")
def raidcut(m):
    i = m.rnd.randrange(len(m.files))
    d = m.files[i]
    where = m.rnd.choice(["stripe", "inside", "empty"])
    if where == "empty":
        at = 0
    elif where == "stripe":
        at = m.rnd.randrange(max(1, len(d) // STRIPE)) * STRIPE
    else:
        at = m.rnd.randrange(max(1, len(d)))
    m.files[i] = d[:at]


@kind("raidforeign", ["raid"], "a member replaced by one of another set (the same bytes shifted by a stripe "
      "or rows of another member), or two members swapped")
def raidforeign(m):
    i = m.rnd.randrange(len(m.files))
    j = (i + 1 + m.rnd.randrange(len(m.files) - 1)) % len(m.files)
    choice = m.rnd.random()
    if choice < 0.3:
        m.files[i], m.files[j] = m.files[j], m.files[i]
    elif choice < 0.6:
        d = m.files[j]
        m.files[i] = bytearray(d[STRIPE:] + d[:STRIPE])
    else:
        d = m.files[i]
        other = m.files[j]
        for _ in range(m.rnd.randint(1, 16)):
            at = m.rnd.randrange(max(1, len(d) // STRIPE)) * STRIPE
            d[at:at + STRIPE] = other[at:at + STRIPE]


@kind("raidparity", ["raid"], "bits flipped in 4 KiB rows of one member (parity or data)")
def raidparity(m):
    i = m.rnd.randrange(len(m.files))
    d = m.files[i]
    for _ in range(m.rnd.randint(1, 64)):
        at = m.rnd.randrange(max(1, len(d) // 4096)) * 4096
        flip_bits(d, m.rnd, at, at + 4096, m.rnd.randint(1, 64))
