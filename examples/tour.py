"""A short tour of kelo_frame on real data: monthly exchange rates since 1971.

Run it with scripts/tour.sh (which builds the module first).
"""

import pathlib
import sys
import time
from collections.abc import Callable, Sequence

import kelo_frame

DATA = pathlib.Path(__file__).resolve().parents[1] / "data"


def show(frame: kelo_frame.Frame, limit: int = 8) -> None:
    """Prints a frame as an aligned text table (first rows only)."""
    names, dtypes = frame.names(), frame.dtypes()
    head = frame.head(limit)
    readers: dict[str, Callable[[str], Sequence[object]]] = {
        "i64": head.ints,
        "f64": head.floats,
        "str": head.strings,
    }
    cols = [[("" if v is None else str(v)) for v in readers[d](n)] for n, d in zip(names, dtypes)]
    widths = [max([len(n), len(d)] + [len(v) for v in c]) for n, d, c in zip(names, dtypes, cols)]
    print("  " + "  ".join(n.ljust(w) for n, w in zip(names, widths)))
    print("  " + "  ".join(d.ljust(w) for d, w in zip(dtypes, widths)))
    for row in zip(*cols):
        print("  " + "  ".join(v.ljust(w) for v, w in zip(row, widths)))
    if frame.height() > limit:
        print(f"  ... {frame.height() - limit} more rows")
    print()


def step[T](title: str, fn: Callable[[], T]) -> T:
    start = time.perf_counter()
    result = fn()
    ms = (time.perf_counter() - start) * 1000
    print(f"== {title}  ({ms:.2f} ms)")
    return result


def main() -> int:
    text = (DATA / "exchange-rates-monthly.csv").read_text(encoding="utf-8")
    rates = step(f"read_csv: {len(text):,} bytes of CSV", lambda: kelo_frame.read_csv(text))
    print(" ", rates.describe())
    show(rates, 5)

    euro = step(
        "where_is: the euro's rows",
        lambda: rates.where_is("Country", "Euro"),
    )
    print(" ", euro.describe())
    show(euro, 3)

    strong = step(
        "where_lt and sort: months when a dollar bought under 0.70 euros, fewest first",
        lambda: euro.where_lt("Exchange rate", 0.7).sort("Exchange rate", False),
    )
    show(strong, 5)

    step("add_date_part: the year of every date", lambda: rates.add_date_part("Year", "Date", "year"))
    show(rates.tail(3))

    groups = step("group: by country", lambda: rates.group(["Country"]))
    print(" ", groups.describe())
    counts = step("count: rows per country", groups.count)
    show(counts, 5)

    means = step("mean: average rate per country", lambda: groups.mean("Exchange rate"))
    show(means.sort("Exchange rate", False), 5)

    by_year = step(
        "group and max: the yen's yearly high",
        lambda: rates.where_is("Country", "Japan").group(["Year"]).max("Exchange rate"),
    )
    show(by_year.tail(5))

    out = step("to_csv: the euro's strongest months back to CSV", lambda: strong.head(3).to_csv())
    print("  " + out.replace("\n", "\n  ").rstrip())
    print()

    again = step("read_csv(to_csv()): the round trip", lambda: kelo_frame.read_csv(rates.to_csv()))
    same = all(
        getattr(again, r)(n) == getattr(rates, r)(n)
        for n, d in zip(rates.names(), rates.dtypes())
        for r in [{"i64": "ints", "f64": "floats", "str": "strings"}[d]]
    )
    print(f"  {again.describe()}; equal to the original: {same}")
    return 0 if same else 1


if __name__ == "__main__":
    sys.exit(main())
