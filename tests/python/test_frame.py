"""Frame's table model through Python: adding, reading back, describing, and every failure's exact text."""

import pytest

from gapped import frame, gapped
from kelo_frame import Frame


def test_empty_frame():
    f = Frame()
    assert (f.height(), f.width(), f.names(), f.dtypes()) == (0, 0, [], [])
    assert f.describe() == str(f) == repr(f) == "Frame(0 rows: )"
    f.add_ints("a", [])
    assert (f.width(), f.height()) == (1, 0)


@pytest.mark.parametrize(
    "values",
    [
        # Few distinct texts, repeated: later cells reuse earlier objects.
        ["Oslo", "Lima", "", "Oslo", "é", "Lima", "é", ""] * 700,
        # Mostly distinct: past the first few thousand the reuse stops.
        [f"t{i}" for i in range(9000)] + ["t1", "t2", "t8999"],
        # Texts that may share a slot but differ.
        [str(i % 5000) for i in range(20000)],
        # Longer texts that differ only between equal first and last 8 bytes.
        [f"aaaaaaaa{i % 7:05d}zzzzzzzz" for i in range(3000)],
        # Repeats, then more distinct texts than the cache keeps, each twice.
        ["x"] * 3000 + [f"u{i % 70000}" for i in range(140000)],
    ],
    ids=["repeats", "distinct", "colliding", "same-ends", "past-limit"],
)
def test_strings_read_back_equal_cells(values):
    f = Frame()
    f.add_strings("s", values)
    assert f.strings("s") == values
    view = f.where_in("s", values[:3]).tail(50)
    assert view.strings("s") == [v for v in values if v in values[:3]][-50:]
    gaps = ["a", None, "a", "b", None, "a"] * 500  # missing cells keep their places
    assert gapped(s=("str", gaps)).strings("s") == gaps


class Idx:
    def __index__(self):
        return 7


@pytest.mark.parametrize(
    "method, values, stored",
    [
        ("add_ints", [True, False, -(2**63), 2**63 - 1], [1, 0, -(2**63), 2**63 - 1]),
        ("add_ints", b"\x01\x02", [1, 2]),
        ("add_ints", range(3), [0, 1, 2]),
        ("add_floats", (1, 2.5, True), [1.0, 2.5, 1.0]),
        ("add_ints", [Idx()], [7]),
        ("add_floats", [Idx()], [7.0]),
        ("add_strings", ("a", "b"), ["a", "b"]),
    ],
)
def test_sequence_kinds(method, values, stored):
    f = Frame()
    getattr(f, method)("c", values)
    reader = {"add_ints": f.ints, "add_floats": f.floats, "add_strings": f.strings}[method]
    assert reader("c") == stored


def test_describe_writes_names_plainly():
    f = frame(**{"a, b": [1], "x": [2.5], "s": ["é"]})
    assert f.describe() == "Frame(1 rows: a, b i64, x f64, s str)"


# --- binding ---


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda f: f.head(), "Frame.head() missing 1 required positional argument: 'n'"),
        (lambda f: f.where_eq(), "Frame.where_eq() missing 2 required positional arguments: 'name' and 'value'"),
        (lambda f: f.add_date_part(),
         "Frame.add_date_part() missing 3 required positional arguments: 'name', 'source', and 'part'"),
        (lambda f: f.add_date_part("y"),
         "Frame.add_date_part() missing 2 required positional arguments: 'source' and 'part'"),
        (lambda f: f.add_date_part(part="day"),
         "Frame.add_date_part() missing 2 required positional arguments: 'name' and 'source'"),
        (lambda f: f.head(1, 2), "Frame.head() takes 1 positional arguments but 2 were given"),
        (lambda f: f.head(5, n=5), "Frame.head() got multiple values for argument 'n'"),
        (lambda f: f.head(m=5), "Frame.head() got an unexpected keyword argument 'm'"),
        (lambda f: Frame(1), "Frame.__new__() takes 0 positional arguments but 1 was given"),
        (lambda f: Frame(1, 2), "Frame.__new__() takes 0 positional arguments but 2 were given"),
        (lambda f: Frame(x=1), "Frame.__new__() got an unexpected keyword argument 'x'"),
        # A name without a UTF-8 form matches no parameter and is shown as it is.
        (lambda f: f.head(**{"\ud800": 1}), "Frame.head() got an unexpected keyword argument '\ud800'"),
        (lambda f: Frame(**{"\ud800": 1}), "Frame.__new__() got an unexpected keyword argument '\ud800'"),
        (lambda f: f.height(1), "Frame.height() takes no arguments (1 given)"),
    ],
)
def test_binding_errors(call, message):
    with pytest.raises(TypeError) as info:
        call(Frame())
    assert str(info.value) == message


def test_keywords_bind_like_positions():
    f = frame(a=[1, 2, 3])
    assert f.head(n=2).ints("a") == [1, 2]
    g = Frame()
    g.add_ints(values=[4], name="z")
    assert g.ints("z") == [4]


# Engine failures (no note), then conversion failures (a note names the parameter); the message is
# checked where it is ours or CPython's own.
@pytest.mark.parametrize(
    "call, exc, message, param",
    [
        (lambda f: f.ints("x"), ValueError, 'no column "x" (the frame has "a", "b")', None),
        (lambda f: f.floats("a"), ValueError, 'column "a" is i64, not f64', None),
        (lambda f: f.ints("b"), ValueError, 'column "b" is f64, not i64', None),
        (lambda f: f.add_ints("c", [1]), ValueError, 'column "c" has 1 values; the frame has 2 rows', None),
        (lambda f: f.add_ints("a", [1]), ValueError, 'the frame has a column "a" already', None),
        (lambda f: f.select(["a", "a"]), ValueError, 'column "a" selected twice', None),
        (lambda f: f.select(["b", "x", "x"]), ValueError, 'no column "x" (the frame has "a", "b")', None),
        (lambda f: f.add_ints('q"\\\n\t', [1]), ValueError,
         'column "q\\"\\\\\\n\\t" has 1 values; the frame has 2 rows', None),
        (lambda f: f.ints(1), TypeError, "'int' object is not an instance of 'str'", "name"),
        (lambda f: f.select("ab"), TypeError, "Can't extract `str` to `Vec`", "names"),
        (lambda f: f.select({"a"}), TypeError, "'set' object is not an instance of 'Sequence'", "names"),
        (lambda f: f.select(x for x in "a"), TypeError, "'generator' object is not an instance of 'Sequence'", "names"),
        (lambda f: f.select(["a", 1]), TypeError, "'int' object is not an instance of 'str'", "names"),
        (lambda f: f.sort("a", 1), TypeError, "'int' object is not an instance of 'bool'", "descending"),
        (lambda f: f.add_ints("n", [1.5]), TypeError, None, "values"),
        (lambda f: f.add_ints("n", [1, None]), TypeError, None, "values"),
        (lambda f: f.add_strings("s", ["a", None]), TypeError, "'None' is not an instance of 'str'", "values"),
        (lambda f: f.add_strings("s", "abc"), TypeError, "Can't extract `str` to `Vec`", "values"),
        (lambda f: f.head(2.0), TypeError, None, "n"),
        (lambda f: f.where_eq("a", None), TypeError, None, "value"),
        (lambda f: f.where_eq(1, None), TypeError, "'int' object is not an instance of 'str'", "name"),
    ],
)
def test_errors(call, exc, message, param):
    f = frame(a=[1, 2], b=[1.0, 2.0])
    with pytest.raises(exc) as info:
        call(f)
    if message is not None:
        assert info.value.args == (message,)
    assert getattr(info.value, "__notes__", []) == ([f"while processing '{param}'"] if param else [])
    assert f.names() == ["a", "b"] and f.height() == 2


def test_numpy_bool_accepted():
    np = pytest.importorskip("numpy")
    f = frame(a=[2, 1])
    assert f.sort("a", np.bool_(True)).ints("a") == [2, 1]
    assert f.sort("a", np.False_).ints("a") == [1, 2]
    with pytest.raises(TypeError, match="'int64' object is not an instance of 'bool'"):
        f.sort("a", np.int64(1))
