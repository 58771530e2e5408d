"""Deterministic benchmark data: the "mixed" CSV and the group-by "G1" CSV
(and "g1m", the same with 5% of every column's cells missing).

Both are generated from a fixed seed in chunks of rows; chunk k always draws
from its own generator seeded with (seed, k), so the bytes of a file depend
only on its kind, its row count and the seed, not on how many processes made
it. Files are cached (by default under /var/cache/kelo_frame/bench-data,
outside the checkout) and written under a temporary name first, so an
interrupted run never leaves a truncated file behind.

    python3 -m bench.gen_data mixed 1e6 [--arrow]    # prints the path
"""

from __future__ import annotations

import os
import sys
from concurrent.futures import ProcessPoolExecutor

SEED = 20261206
CHUNK = 500_000
DEFAULT_DIR = "/var/cache/kelo_frame/bench-data"

# ~100 city names; ASCII so that the whole text stays an ASCII str.
CITIES = """Amsterdam Athens Atlanta Auckland Austin Baghdad Baltimore Bangkok Barcelona Beijing
Berlin Bogota Boston Brisbane Brussels Budapest Buenos_Aires Cairo Calgary Cape_Town Caracas
Chicago Copenhagen Dakar Dallas Delhi Denver Detroit Dhaka Dubai Dublin Edinburgh Frankfurt
Geneva Glasgow Hamburg Hanoi Havana Helsinki Houston Istanbul Jakarta Johannesburg Kabul Karachi
Kiev Kinshasa Kyoto Lagos Lahore Lima Lisbon Liverpool London Los_Angeles Lyon Madrid Manila
Marseille Melbourne Mexico_City Miami Milan Montreal Moscow Mumbai Munich Nairobi Naples
New_York Osaka Oslo Ottawa Paris Perth Philadelphia Phoenix Prague Quito Riga Rio_de_Janeiro
Rome Santiago Sao_Paulo Seattle Seoul Shanghai Singapore Stockholm Sydney Taipei Tehran
Tokyo Toronto Tunis Vancouver Vienna Warsaw Zurich""".split()
CITIES = [c.replace("_", " ") for c in CITIES]

WORDS = """alpha beta gamma delta red green blue late early box crate order sent paid due
north south east west small large fast slow new old check note item stock held open closed
mixed fine broken spare extra""".split()

MIXED_HEADER = "id,price,score,city,date,note,qty"
G1_HEADER = "id1,id2,id3,id4,id5,id6,v1,v2,v3"


def data_dir() -> str:
    return os.environ.get("KELO_BENCH_DATA", DEFAULT_DIR)


def _dates() -> list[str]:
    """Every day from 1990-01-01 to 2025-12-31 as YYYY-MM-DD."""
    import datetime

    start = datetime.date(1990, 1, 1)
    end = datetime.date(2025, 12, 31)
    return [(start + datetime.timedelta(days=d)).isoformat() for d in range((end - start).days + 1)]


def _notes(rng, count: int) -> list[str]:
    """CSV-ready note fields, 10-40 characters of text each; about 4% hold a
    comma and a doubled quote (4 characters more) and so are written quoted."""
    out = []
    for _ in range(count):
        target = int(rng.integers(10, 41))
        words: list[str] = []
        while len(" ".join(words)) < target:
            words.append(WORDS[int(rng.integers(len(WORDS)))])
        text = " ".join(words)[:target]
        if text.endswith(" "):
            text = text[:-1] + "s"
        if rng.random() < 0.04:
            cut = max(1, len(text) // 2)
            text = f'{text[:cut].rstrip()}, "{text[cut:].strip() or "ok"}"'
            out.append('"' + text.replace('"', '""') + '"')
        else:
            out.append(text)
    return out


def _mixed_chunk(args: tuple[int, int, int]) -> str:
    import numpy as np

    seed, k, rows = args
    rng = np.random.default_rng([seed, k])
    ids = rng.integers(0, 10**12, rows).tolist()
    cents = rng.integers(0, 10_000_000, rows).tolist()
    price = [f"{c // 10000}.{c % 10000:04d}" for c in cents]
    raw = rng.uniform(-10_000.0, 10_000.0, rows).tolist()
    empty = (rng.random(rows) < 0.05).tolist()
    score = ["" if e else "%.17g" % x for x, e in zip(raw, empty)]
    city_idx = rng.integers(0, len(CITIES), rows).tolist()
    city = [CITIES[i] for i in city_idx]
    days = _dates()
    date_idx = rng.integers(0, len(days), rows).tolist()
    date = [days[i] for i in date_idx]
    pool = _notes(np.random.default_rng([seed, 1_000_000]), 20_000)
    note_idx = rng.integers(0, len(pool), rows).tolist()
    note = [pool[i] for i in note_idx]
    q = rng.integers(1, 101, rows).tolist()
    qempty = (rng.random(rows) < 0.02).tolist()
    qty = ["" if e else str(v) for v, e in zip(q, qempty)]
    lines = [
        f"{a},{b},{c},{d},{e},{f},{g}\n"
        for a, b, c, d, e, f, g in zip(ids, price, score, city, date, note, qty)
    ]
    return "".join(lines)


def _g1_chunk(args: tuple[int, int, int, int], missing: float = 0.0) -> str:
    import numpy as np

    seed, k, rows, n = args
    groups = 100
    rng = np.random.default_rng([seed, k])
    nk = max(1, n // groups)
    id1 = [f"id{i:03d}" for i in rng.integers(1, groups + 1, rows).tolist()]
    id2 = [f"id{i:03d}" for i in rng.integers(1, groups + 1, rows).tolist()]
    id3 = [f"id{i:010d}" for i in rng.integers(1, nk + 1, rows).tolist()]
    id4 = rng.integers(1, groups + 1, rows).tolist()
    id5 = rng.integers(1, groups + 1, rows).tolist()
    id6 = rng.integers(1, nk + 1, rows).tolist()
    v1 = rng.integers(1, 6, rows).tolist()
    v2 = rng.integers(1, 16, rows).tolist()
    v3 = ["%.6f" % x for x in rng.uniform(0.0, 100.0, rows).tolist()]
    if missing:
        # The same values, then a share of every column's cells emptied, drawn
        # from a generator of their own.
        holes = np.random.default_rng([seed, k, 1])
        cols = [id1, id2, id3, id4, id5, id6, v1, v2, v3]
        for col in cols:
            for i in np.flatnonzero(holes.random(rows) < missing).tolist():
                col[i] = ""
    lines = [
        f"{a},{b},{c},{d},{e},{f},{g},{h},{i}\n"
        for a, b, c, d, e, f, g, h, i in zip(id1, id2, id3, id4, id5, id6, v1, v2, v3)
    ]
    return "".join(lines)


def _g1m_chunk(args: tuple[int, int, int, int]) -> str:
    """G1 with 5% of every column's cells missing (empty fields)."""
    return _g1_chunk(args, 0.05)


SORTS_HEADER = "i_dup,i_near,f_near,s_uni,s_near"


def _near(rng, start: int, rows: int, n: int):
    """Row numbers start.. in order, 1% of them replaced by any row number."""
    import numpy as np

    out = np.arange(start, start + rows, dtype=np.int64)
    moved = rng.random(rows) < 0.01
    out[moved] = rng.integers(0, n, int(moved.sum()))
    return out


def _sorts_chunk(args: tuple[int, int, int, int]) -> str:
    """Keys for the sorts by other distributions: many duplicates, nearly
    sorted, and random texts."""
    import numpy as np

    seed, k, rows, n = args
    rng = np.random.default_rng([seed, 2_000_000 + k])
    start = k * CHUNK
    i_dup = rng.integers(0, 1000, rows).tolist()
    i_near = (_near(rng, start, rows, n) * 10 + rng.integers(0, 10, rows)).tolist()
    f_near = ["%.4f" % (x / 100) for x in (_near(rng, start, rows, n) + rng.random(rows)).tolist()]
    s_uni = [f"{x:012x}" for x in rng.integers(0, 1 << 48, rows).tolist()]
    s_near = [f"row{x:010d}" for x in _near(rng, start, rows, n).tolist()]
    lines = [f"{a},{b},{c},{d},{e}\n" for a, b, c, d, e in zip(i_dup, i_near, f_near, s_uni, s_near)]
    return "".join(lines)


def generate(kind: str, rows: int, path: str, seed: int = SEED) -> None:
    """Write `rows` rows of `kind` ("mixed", "g1", "g1m" or "sorts") to path."""
    chunks = [(k, min(CHUNK, rows - k * CHUNK)) for k in range((rows + CHUNK - 1) // CHUNK)]
    if kind == "mixed":
        header, fn, jobs = MIXED_HEADER, _mixed_chunk, [(seed, k, r) for k, r in chunks]
    elif kind in ("g1", "g1m"):
        fn = _g1_chunk if kind == "g1" else _g1m_chunk
        header, jobs = G1_HEADER, [(seed, k, r, rows) for k, r in chunks]
    elif kind == "sorts":
        header, fn, jobs = SORTS_HEADER, _sorts_chunk, [(seed, k, r, rows) for k, r in chunks]
    else:
        raise ValueError(f"unknown data kind {kind!r}")
    tmp = f"{path}.tmp{os.getpid()}"
    with open(tmp, "w", encoding="utf-8", newline="") as out:
        out.write(header + "\n")
        if len(jobs) > 1:
            with ProcessPoolExecutor(max_workers=min(len(jobs), os.cpu_count() or 1)) as pool:
                for text in pool.map(fn, jobs):
                    out.write(text)
        else:
            for job in jobs:
                out.write(fn(job))
    os.replace(tmp, path)


def csv_path(kind: str, rows: int, directory: str | None = None) -> str:
    """The cached CSV of `kind` with `rows` rows, generated on first use."""
    directory = directory or data_dir()
    os.makedirs(directory, exist_ok=True)
    path = os.path.join(directory, f"{kind}-{rows}.csv")
    if not os.path.exists(path):
        generate(kind, rows, path)
    return path


MIXED_TYPES = {"id": "int64", "price": "float64", "score": "float64", "city": "string",
               "date": "string", "note": "string", "qty": "int64"}
G1_TYPES = {"id1": "string", "id2": "string", "id3": "string", "id4": "int64", "id5": "int64",
            "id6": "int64", "v1": "int64", "v2": "int64", "v3": "float64"}
SORTS_TYPES = {"i_dup": "int64", "i_near": "int64", "f_near": "float64", "s_uni": "string", "s_near": "string"}
TYPES = {"mixed": MIXED_TYPES, "g1": G1_TYPES, "g1m": G1_TYPES, "sorts": SORTS_TYPES}


def arrow_path(kind: str, rows: int, directory: str | None = None) -> str:
    """The same data as an uncompressed Arrow IPC file, which the peers load
    from (quickly, and untimed) for every task that does not read CSV."""
    import pyarrow as pa
    import pyarrow.csv as pacsv

    directory = directory or data_dir()
    src = csv_path(kind, rows, directory)
    path = os.path.join(directory, f"{kind}-{rows}.arrow")
    if not os.path.exists(path):
        types = TYPES[kind]
        table = pacsv.read_csv(
            src, convert_options=pacsv.ConvertOptions(
                column_types={k: getattr(pa, v)() for k, v in types.items()},
                # In g1m an empty text field is a missing key, as for every reader here.
                strings_can_be_null=kind == "g1m"))
        tmp = f"{path}.tmp{os.getpid()}"
        with pa.OSFile(tmp, "wb") as sink, pa.ipc.new_file(sink, table.schema) as writer:
            writer.write_table(table)
        os.replace(tmp, path)
    return path


def read_arrow(path: str):
    """The Arrow file read into memory (not mapped), as one pyarrow Table."""
    import pyarrow as pa

    with pa.OSFile(path, "rb") as source:
        return pa.ipc.open_file(source).read_all()


def main(argv=None) -> int:
    import argparse

    p = argparse.ArgumentParser(description="Generate (or find) a cached benchmark CSV; prints its path.")
    p.add_argument("kind", choices=sorted(TYPES))
    p.add_argument("rows", type=lambda s: int(float(s)))
    p.add_argument("--data-dir")
    p.add_argument("--arrow", action="store_true", help="also make the Arrow file the peers load from")
    a = p.parse_args(argv)
    print(csv_path(a.kind, a.rows, a.data_dir))
    if a.arrow:
        print(arrow_path(a.kind, a.rows, a.data_dir))
    return 0


if __name__ == "__main__":
    sys.exit(main())
