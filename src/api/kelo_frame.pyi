"""A column-oriented table library: CSV in and out, views, filters, sorting, date parts, group-by.

Every failure of a table operation is a ValueError with one sentence as its message; an argument of
the wrong type is a TypeError (or the interpreter's own conversion error) with the note
"while processing '<parameter>'".
"""

from collections.abc import Sequence
from types import CapsuleType
from typing import Literal, Never, Protocol, Self, SupportsFloat, SupportsIndex, TypeAlias, final

__all__ = ["read_csv", "Frame", "Grouped"]

# What the float parameters accept: anything with __float__ or __index__ (float, int, bool, ...).
_Real: TypeAlias = SupportsFloat | SupportsIndex

# What Frame.from_arrow reads: anything offering an Arrow C stream (a table) or one Arrow C array (a record batch).
class _ArrowStream(Protocol):
    def __arrow_c_stream__(self, requested_schema: object | None = None) -> object: ...

class _ArrowArray(Protocol):
    def __arrow_c_array__(self, requested_schema: object | None = None) -> tuple[object, object]: ...

def read_csv(text: str) -> Frame:
    """Reads CSV text into a new Frame, typing each column as i64, f64 or str by its cells.

    An empty unquoted field is a missing cell; a quoted cell makes its column str.
    Raises ValueError naming the line for malformed text.
    """

@final
class Frame:
    """A table: named columns of one length."""

    def __new__(cls) -> Self:
        """An empty frame: no columns, height 0."""

    def add_floats(self, name: str, values: Sequence[_Real]) -> None:
        """Appends an f64 column; raises ValueError if the name is taken or the length is not the height."""

    def add_ints(self, name: str, values: Sequence[SupportsIndex]) -> None:
        """Appends an i64 column; raises ValueError if the name is taken or the length is not the height."""

    def add_strings(self, name: str, values: Sequence[str]) -> None:
        """Appends a str column; raises ValueError if the name is taken or the length is not the height."""

    def add_date_part(self, name: str, source: str, part: Literal["year", "month", "day"]) -> None:
        """Appends an i64 column holding the year, month or day of each YYYY-MM-DD text of source."""

    def height(self) -> int:
        """The number of rows."""

    def width(self) -> int:
        """The number of columns."""

    def names(self) -> list[str]:
        """The column names, in column order."""

    def dtypes(self) -> list[str]:
        """Each column's dtype, "i64", "f64" or "str", in column order."""

    def select(self, names: Sequence[str]) -> Frame:
        """A view of the named columns, in the order given."""

    def head(self, n: SupportsIndex) -> Frame:
        """A view of the first n rows; a negative n leaves out the last -n rows."""

    def tail(self, n: SupportsIndex) -> Frame:
        """A view of the last n rows; a negative n leaves out the first -n rows."""

    def sort(self, name: str, descending: bool) -> Frame:
        """A view sorted stably by one column; missing cells come last in both directions."""

    def where_eq(self, name: str, value: _Real) -> Frame:
        """A view of the rows whose numeric cell equals value."""

    def where_ne(self, name: str, value: _Real) -> Frame:
        """A view of the rows whose numeric cell is present and differs from value."""

    def where_lt(self, name: str, value: _Real) -> Frame:
        """A view of the rows whose numeric cell is less than value."""

    def where_le(self, name: str, value: _Real) -> Frame:
        """A view of the rows whose numeric cell is at most value."""

    def where_gt(self, name: str, value: _Real) -> Frame:
        """A view of the rows whose numeric cell is greater than value."""

    def where_ge(self, name: str, value: _Real) -> Frame:
        """A view of the rows whose numeric cell is at least value."""

    def where_among(self, name: str, values: Sequence[_Real]) -> Frame:
        """A view of the rows whose numeric cell equals one of values."""

    def where_is(self, name: str, value: str) -> Frame:
        """A view of the rows whose str cell is exactly value."""

    def where_in(self, name: str, values: Sequence[str]) -> Frame:
        """A view of the rows whose str cell is exactly one of values."""

    def group(self, names: Sequence[str]) -> Grouped:
        """Splits the rows by the values of the named key columns, groups in first-appearance order."""

    def floats(self, name: str) -> list[float | None]:
        """The cells of an f64 column, None for a missing cell."""

    def ints(self, name: str) -> list[int | None]:
        """The cells of an i64 column, None for a missing cell."""

    def strings(self, name: str) -> list[str | None]:
        """The cells of a str column, None for a missing cell."""

    def to_csv(self) -> str:
        """The frame as CSV text: a header line, then one LF-terminated line per row."""

    def describe(self) -> str:
        """The text "Frame(<height> rows: <name> <dtype>, ...)", also given by str() and repr()."""

    def free(self) -> None:
        """Nothing under CPython, which frees the object itself."""

    @classmethod
    def from_arrow(cls, data: _ArrowStream | _ArrowArray) -> Frame:
        """A new frame of the cells of an Arrow table or record batch (pyarrow, polars, DuckDB, a Frame).

        Integers become i64 (uint64 only where every value fits), floats f64, strings (utf8,
        large_utf8, string_view, dictionary-encoded) and dates (as YYYY-MM-DD) str, nulls missing
        cells. Raises ValueError naming the column (and row) for any other type or value.
        """

    def __arrow_c_schema__(self) -> CapsuleType:
        """The Arrow schema of the frame, a PyCapsule "arrow_schema"."""

    def __arrow_c_stream__(self, requested_schema: CapsuleType | None = None) -> CapsuleType:
        """The frame as an Arrow C stream of one record batch, a PyCapsule "arrow_array_stream".

        Columns are int64, float64 and large_utf8 (utf8 if requested and the text fits), sharing the
        frame's buffers; the arrays stay valid after the frame is gone.
        """

@final
class Grouped:
    """A frame split by the values of some columns; each aggregation is a `Frame` with the key
    columns first, one row per group.

    Made only by Frame.group; calling Grouped() raises TypeError.
    """

    # Grouped objects come only from Frame.group: any call of the class is refused.
    def __new__(cls, not_constructible: Never, /) -> Never: ...

    def groups(self) -> int:
        """The number of groups."""

    def count(self) -> Frame:
        """The keys and a column "count" (or "len" if a key is named count) with each group's rows."""

    def sum(self, name: str) -> Frame:
        """The keys and each group's sum of a numeric column (i64 stays i64, 0 when all missing)."""

    def mean(self, name: str) -> Frame:
        """The keys and each group's mean of a numeric column, as f64."""

    def min(self, name: str) -> Frame:
        """The keys and each group's least present cell of a column."""

    def max(self, name: str) -> Frame:
        """The keys and each group's greatest present cell of a column."""

    def describe(self) -> str:
        """The text "Grouped(<groups> groups by <key>, ...)", also given by str() and repr()."""

    def free(self) -> None:
        """Nothing under CPython, which frees the object itself."""
