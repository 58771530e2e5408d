"""The module object and its two classes as Python sees them."""

import inspect

import pytest

import kelo_frame
from kelo_frame import Frame, Grouped

from conftest import BUILD


def test_module_attributes():
    assert kelo_frame.__all__ == ["read_csv", "Frame", "Grouped"] and kelo_frame.__doc__ == ""
    assert {k for k in vars(kelo_frame) if not k.startswith("__")} == {"read_csv", "Frame", "Grouped"}
    f = kelo_frame.read_csv
    assert (f.__name__, f.__module__, f.__doc__, f.__text_signature__) == ("read_csv", "kelo_frame", None, "(text)")


@pytest.mark.parametrize(
    "cls, doc",
    [
        (Frame, "A table: named columns of one length."),
        (Grouped, "A frame split by the values of some columns; each aggregation is a `Frame` with the key\n"
                  "columns first, one row per group."),
    ],
)
def test_type_identity(cls, doc):
    assert (cls.__module__, cls.__qualname__, cls.__doc__, cls.__base__) == ("builtins", cls.__name__, doc, object)
    assert cls.__text_signature__ == ("()" if cls is Frame else None)
    cls.extra = 1  # type objects are not immutable
    del cls.extra


FRAME_METHODS = (
    "add_floats add_ints add_strings add_date_part height width names dtypes select head tail sort "
    "where_eq where_ne where_lt where_le where_gt where_ge where_among where_is where_in group floats "
    "ints strings to_csv describe free"
).split()
GROUPED_METHODS = "groups count sum mean min max describe free".split()


@pytest.mark.parametrize("cls, names", [(Frame, FRAME_METHODS), (Grouped, GROUPED_METHODS)])
def test_method_table_order_and_signatures(cls, names):
    own = [k for k, v in vars(cls).items() if inspect.ismethoddescriptor(v) and not k.startswith("__")]
    # The one addition to the published table is the class method from_arrow, last.
    assert own == names + (["from_arrow"] if cls is Frame else [])
    free_doc = (
        "Nothing under CPython, which frees the object itself; in a page, the instance goes back to the library."
    )
    for name in names:
        method = getattr(cls, name)
        assert method.__text_signature__.startswith("($self")
        assert method.__doc__ == (free_doc if name == "free" else None)


def test_types_and_instances():
    for make in (Grouped, lambda: type("Sub", (Frame,), {}), lambda: len(Frame()), lambda: Frame.height(object())):
        with pytest.raises(TypeError):
            make()
    a, b = Frame(), Frame()
    assert a == a and a != b and hash(a) == hash(a) and bool(a)
    with pytest.raises(AttributeError):
        a.anything = 1


@pytest.mark.parametrize("config", ["isolated", "legacy"])
def test_other_interpreters_are_refused_at_import(config):
    # The classes are made once per process, in the main interpreter: another
    # interpreter, with a lock of its own or sharing the main one's, must not
    # share them. (concurrent.interpreters makes the isolated kind.)
    interpreters = pytest.importorskip("_interpreters")
    interp = interpreters.create(config)
    try:
        failure = interpreters.exec(interp, f"import sys; sys.path.insert(0, {str(BUILD)!r}); import kelo_frame")
    finally:
        interpreters.destroy(interp)
    assert failure is not None, "the module was loaded"
    assert failure.formatted == "ImportError: module kelo_frame does not support loading in subinterpreters"
