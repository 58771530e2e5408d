"""The benchmark's tasks: what each one does, on which data, and the target
kelo_frame is held to."""

from __future__ import annotations

from dataclasses import dataclass


@dataclass(frozen=True)
class Target:
    """kelo_frame must be `ratio` times as fast as the reference (the fastest
    single-thread peer, or the peer named in `against`); `mb_s` is a floor on
    its own throughput. A ratio of 1 means "ahead of"."""

    ratio: float
    against: str | None = None
    mb_s: float | None = None

    def text(self) -> str:
        who = self.against or "fastest 1-thread peer"
        parts = []
        if self.mb_s:
            parts.append(f">= {self.mb_s:.0f} MB/s")
        parts.append(f">= {self.ratio:g}x {who}" if self.ratio > 1 else f"ahead of every 1-thread peer")
        return " and ".join(parts)


@dataclass(frozen=True)
class Task:
    name: str
    data: str  # "mixed", "g1", "g1m" (G1 with 5% of every column's cells missing) or "sorts"
    what: str
    csv_bytes: bool = False  # throughput in MB/s of CSV text rather than rows/s
    target: Target | None = None
    view: bool = False  # kelo_frame returns a view: also time it with one column read back
    peers: frozenset | None = None  # the peers that take part; None: all


# The sorts by other distributions of keys are timed against the peers that
# are fastest at sorting (pandas is never ahead of polars there), to keep
# the run short.
SORT_PEERS = frozenset({"polars-1t", "duckdb-1t"})
TEXT_SORT_PEERS = SORT_PEERS | {"pyarrow-1t"}

CITIES3 = ["Paris", "Tokyo", "Lima"]
AMONG = [7, 42, 99]
THRESHOLD = 500.0

TASKS = [
    Task("read_str", "mixed", "read_csv from an in-memory str", True, Target(3, mb_s=600)),
    Task("read_file", "mixed", "read_csv from a file (read + decode included)", True),
    Task("read_str_g1", "g1", "read_csv from a str, G1 data", True),
    Task("to_csv", "mixed", "write the table as CSV text", True, Target(3, against="pyarrow-1t")),
    Task("filter_num", "mixed", f"price > {THRESHOLD:g} (keeps half)", target=Target(5), view=True),
    Task("where_among", "mixed", f"qty among {AMONG}", target=Target(5), view=True),
    Task("where_in", "mixed", f"city in {len(CITIES3)} names", target=Target(5), view=True),
    Task("sort_i64", "mixed", "stable sort by id (i64)", target=Target(10), view=True),
    Task("sort_f64", "mixed", "stable sort by score (f64, 5% missing)", target=Target(10), view=True),
    Task("sort_str", "mixed", "stable sort by city (str, 100 values)", target=Target(5), view=True),
    Task("sort_i64_dup", "sorts", "stable sort by i64, 1000 values", target=Target(10), peers=SORT_PEERS),
    Task("sort_i64_near", "sorts", "stable sort by i64, nearly sorted (1% out of place)", target=Target(10),
         peers=SORT_PEERS),
    Task("sort_f64_uni", "mixed", "stable sort by price (f64 uniform, 4 decimals)", target=Target(10),
         peers=SORT_PEERS),
    Task("sort_f64_near", "sorts", "stable sort by f64, nearly sorted (1% out of place)", target=Target(10),
         peers=SORT_PEERS),
    Task("sort_str_uni", "sorts", "stable sort by str, 12 random hex digits", target=Target(10),
         peers=TEXT_SORT_PEERS),
    Task("sort_str_near", "sorts", "stable sort by str, nearly sorted (1% out of place)", target=Target(10),
         peers=TEXT_SORT_PEERS),
    Task("date_year", "mixed", "year of the date column (YYYY-MM-DD text)"),
    Task("ints", "mixed", "id column to a list of int"),
    Task("floats", "mixed", "score column to a list of float/None"),
    Task("strings", "mixed", "city column to a list of str"),
    Task("g1_q1", "g1", "sum v1 by id1", target=Target(1)),
    Task("g1_q2", "g1", "sum v1 by id1, id2", target=Target(1)),
    Task("g1_q3", "g1", "sum v1 and mean v3 by id3", target=Target(1)),
    Task("g1_q4", "g1", "sum v1 by id6", target=Target(1)),
    Task("g1_q5", "g1", "count by id1", target=Target(1)),
    Task("g1_q6", "g1", "sum v3 and count by id1..id6 (about a group a row)", target=Target(1)),
    *(Task(f"g1m_q{q}", "g1m", f"{what}, 5% of cells missing", target=Target(1))
      for q, what in enumerate(["sum v1 by id1", "sum v1 by id1, id2", "sum v1 and mean v3 by id3",
                                "sum v1 by id6", "count by id1"], 1)),
]
BY_NAME = {t.name: t for t in TASKS}

# The column read back after a view, per task.
VIEW_COLUMN = {"filter_num": ("floats", "price"), "where_among": ("ints", "qty"),
               "where_in": ("strings", "city"), "sort_i64": ("ints", "id"),
               "sort_f64": ("floats", "score"), "sort_str": ("strings", "city")}


# The key column of each sort, and how it is read back ("ints", "floats" or
# "strings").
SORT_KEYS = {"sort_i64": ("id", "ints"), "sort_f64": ("score", "floats"), "sort_str": ("city", "strings"),
             "sort_i64_dup": ("i_dup", "ints"), "sort_i64_near": ("i_near", "ints"),
             "sort_f64_uni": ("price", "floats"), "sort_f64_near": ("f_near", "floats"),
             "sort_str_uni": ("s_uni", "strings"), "sort_str_near": ("s_near", "strings")}


# The tasks whose input is the CSV itself rather than a loaded table.
READ_TASKS = ("read_str", "read_str_g1", "read_file")


# The key columns of g1_q6, the high-cardinality question.
G1_IDS = ["id1", "id2", "id3", "id4", "id5", "id6"]


def g1_base(task: str) -> str:
    """A G1 question's name on the complete data: the missing-cells variants
    ask the same questions and are summarised the same way."""
    return task.replace("g1m_", "g1_")


def read_input(task: str, paths: dict):
    """The input of a read task: the CSV text as a str, or for read_file its path."""
    if task == "read_file":
        return paths["csv"]
    with open(paths["csv"], encoding="utf-8") as f:
        return f.read()


def list_summary(task: str, values) -> list:
    """What every library must agree on for a column read back as a list:
    its length, its missing cells, and the sum of its values (of the texts'
    lengths for "strings")."""
    present = [v for v in values if v is not None]
    if task == "floats":
        total = fmt_float(sum(present))
    elif task == "strings":
        total = sum(len(v) for v in present)
    else:
        total = sum(present)
    return [len(values), len(values) - len(present), total]


def fmt_float(x) -> str:
    """A float compared across libraries: 9 significant digits, so that the
    last-bit differences of a float parser that does not round correctly do
    not count as a wrong answer."""
    return "None" if x is None or x != x else f"{x:.9g}"
