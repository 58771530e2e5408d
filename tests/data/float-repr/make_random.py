"""Writes random.txt: float bits and Python's repr() of them, one per line.

Run with the Python whose repr() is the reference (3.14):
    python3 tests/data/float-repr/make_random.py > tests/data/float-repr/random.txt

Each line is the 16 lower-case hex digits of the float's bits, a space, and
repr() of the float. The seed is fixed, so the file is reproducible. The
groups aim at the places where shortest-digit printers go wrong: exact ties
between two equally short candidates, values on the boundary of the
round-trip interval, powers of two (whose lower neighbour is half as far),
subnormals, and the switch between plain and scientific layout.
"""
import random
import struct

rng = random.Random(20261206)


def bits(x: float) -> str:
    return struct.pack(">d", x).hex()


def from_bits(b: int) -> float:
    return struct.unpack(">d", struct.pack(">Q", b))[0]


values: list[float] = []

# Random bit patterns over the whole finite range, both signs.
while len(values) < 2000:
    x = from_bits(rng.getrandbits(64))
    if x == x and abs(x) != float("inf"):
        values.append(x)

# Full 53-bit significands at small binary exponents: 16- and 17-digit
# values with short exact expansions, where ties and boundary cases live.
for _ in range(1500):
    m = rng.randrange(1 << 52, 1 << 53)
    values.append(m * 2.0 ** rng.randrange(-60, 12))

# Exact ties at the 17th digit: k + 1/4 and k + 3/4 in [2^50, 2^51).
for _ in range(300):
    k = rng.randrange(1 << 50, 1 << 51)
    values.append(k + rng.choice((0.25, 0.75)))
# Eighths and halves next to it, and even integers above 2^53.
for _ in range(200):
    values.append(rng.randrange(1 << 49, 1 << 50) + rng.randrange(8) / 8)
    values.append(rng.randrange(1 << 51, 1 << 52) + 0.5)
    values.append(float(rng.randrange(1 << 53, 1 << 56) & ~7))

# Every power of two.
values += [2.0 ** e for e in range(-1074, 1024)]

# Subnormals and their neighbourhood.
for _ in range(300):
    values.append(from_bits(rng.randrange(1, 1 << 53)))

# Short decimals across the layout thresholds.
for _ in range(600):
    digits = rng.randrange(1, 18)
    values.append(rng.randrange(10 ** (digits - 1), 10 ** digits) * 10.0 ** rng.randrange(-25, 25))
for e in range(-8, 19):
    for m in (1, 9.999999999999999, 5, 1.5):
        values.append(m * 10.0 ** e)

for x in values:
    print(bits(x), repr(x))
