"""The shortcut for the common calls (the changing methods by position with
exact 16-byte bytes, a small plain attribute dict, an exact float or int
weight) must give exactly what the general path gives: the same diff, the
same exception with the same cause, and the same reference counts. A dict
subclass and keyword arguments always take the general path, so they serve as
the reference."""
import sys
import uuid
from collections import OrderedDict

import pytest

from quorl_api import PyGraphDiff

from conftest import uid

A, B, C = uid(1), uid(2), uid(3)


class StrKey(str):
    pass


class FloatSub(float):
    pass


class BytesSub(bytes):
    pass


class GeneralDict(dict):
    """Forces the general path; the lookups never call this class's code."""


def outcome(call):
    try:
        result = call()
    except BaseException as e:  # noqa: B902
        cause = e.__cause__
        return ("raised", type(e), str(e), type(cause), str(cause) if cause is not None else None)
    return ("returned", result)


def state(d):
    return (d.new_or_updated_nodes(), d.deleted_nodes(), d.new_or_updated_edges(), d.deleted_edges(), d.to_bytes())




UPDATES = [
    {},
    {"size": 1.5, "red": 3, "show_label": True},
    {"label": "a", "url": "b", "size": 0.1, "red": 0, "green": 255, "blue": True, "show_label": False},
    # eight entries: more than the shortcut reads
    {"label": "a", "url": "b", "size": 0.1, "red": 0, "green": 255, "blue": 7, "show_label": False, "x": 1},
    {"label": "é€😀", "other": None, "size": 2},
    {1: 2, "red": 4},
    {StrKey("label"): "sub", "red": 5},
    {StrKey("nothing"): "sub", "red": 5},
    {"size": FloatSub(2.5)},
    {"size": 10 ** 400},
    {"size": 1e39, "red": False},
    {"size": "1"},
    {"red": 256},
    {"red": -1},
    {"red": 2 ** 70},
    # ints around one machine digit, and colours given as bools
    {"red": 2 ** 30 - 1}, {"red": 2 ** 30}, {"red": -(2 ** 30)}, {"green": True, "blue": False},
    # a key made at run time (not the interned one), and a dict with a hole
    {"".join(["si", "ze"]): 2.0, "red": 255},
    (lambda u: (u.pop("x"), u)[1])({"x": 1, "red": 2, "label": "z"}),
    {"green": 3.0},
    {"show_label": 1},
    {"label": None},
    {"label": "\ud800"},
    {"url": "ok", "label": "\udfff"},
    # the label fails first even though red comes first in the dict
    {"red": 300, "label": 5},
    {"blue": 300, "url": "\ud800"},
]


@pytest.mark.parametrize("update", UPDATES, ids=range(len(UPDATES)))
def test_attribute_dict_same_as_general_path(update):
    fast, general = PyGraphDiff(), PyGraphDiff()
    for d in (fast, general):
        d.add_node(B, {"label": "before", "red": 1})
    got = outcome(lambda: fast.add_node(A, update))
    want = outcome(lambda: general.add_node(A, GeneralDict(update)))
    assert got == want
    assert outcome(lambda: PyGraphDiff().add_node(A, OrderedDict(update)))[:3] == want[:3]
    assert state(fast) == state(general)


def test_attribute_dict_merges_like_general_path():
    fast, general = PyGraphDiff(), PyGraphDiff()
    for u in ({"label": "x", "size": 1.0}, {"red": 9}, {"label": "y", "show_label": True}):
        fast.add_node(A, u)
        general.add_node(A, GeneralDict(u))
    assert state(fast) == state(general)
    assert fast.new_or_updated_nodes()[str(uuid.UUID(bytes=A))] == {
        "label": "y", "size": 1.0, "red": 9, "show_label": True}


def test_attribute_dict_keeps_reference_counts():
    label, size, red = "".join(["lab", "el"]), float("1.25"), 200
    update = {label: "text", "size": size, "red": red, "show_label": True}
    d = PyGraphDiff()
    objs = [d, A, update, label, size, update[label]]
    before = [sys.getrefcount(o) for o in objs]
    for _ in range(20):
        d.add_node(A, update)
        with pytest.raises(OverflowError):
            d.add_node(A, {"size": size, "red": 1000})
    assert [sys.getrefcount(o) for o in objs] == before


EDGE_CALLS = [
    (A, B, 0.5),
    (A, B, FloatSub(0.5)),
    (A, B, 2),
    (A, B, "x"),
    (BytesSub(A), B, 0.5),
    (A, B[:15], 0.5),
    (A, "b" * 16, 0.5),
    (A, B, 1e39),
    # ints are read by the shortcut too; -1 is a value, not an error mark
    (A, B, -1),
    (A, B, 2 ** 64 + 1),
    (A, B, 10 ** 400),
    (A, B, True),
]


@pytest.mark.parametrize("args", EDGE_CALLS, ids=range(len(EDGE_CALLS)))
def test_edge_calls_same_as_keyword_calls(args):
    fast, general = PyGraphDiff(), PyGraphDiff()
    for d in (fast, general):
        d.add_edge(C, A, 1.0)
        d.delete_edge(C, B)
    got = outcome(lambda: fast.add_edge(*args))
    want = outcome(lambda: general.add_edge(**{"from": args[0], "to": args[1], "weight": args[2]}))
    assert got == want
    got = outcome(lambda: fast.delete_edge(args[1], args[0]))
    want = outcome(lambda: general.delete_edge(args[1], to=args[0]))
    assert got == want
    assert state(fast) == state(general)


def test_edge_refused_and_wrong_shapes():
    d = PyGraphDiff()
    d.delete_node(B)
    before = state(d)
    assert d.add_edge(A, B, 0.5) is None
    assert state(d) == before
    with pytest.raises(TypeError, match=r"takes 3 positional arguments but 4 were given"):
        d.add_edge(A, B, 0.5, 1)
    with pytest.raises(TypeError, match=r"missing 1 required positional argument: 'weight'"):
        d.add_edge(A, B)
    with pytest.raises(TypeError, match=r"takes 2 positional arguments but 3 were given"):
        d.delete_edge(A, B, 0.5)


def test_edge_call_while_borrowed_meets_borrow_error():
    d = PyGraphDiff()

    class Weight:
        def __float__(self):
            # the outer call holds the exclusive borrow
            with pytest.raises(RuntimeError, match="^Already borrowed$"):
                d.add_edge(A, C, 0.25)
            with pytest.raises(RuntimeError, match="^Already borrowed$"):
                d.delete_edge(A, C)
            return 0.75

    d.add_edge(A, B, Weight())
    assert list(d.new_or_updated_edges().values()) == [{str(uuid.UUID(bytes=B)): 0.75}]


NODE_CALLS = [
    (A, {"size": 1.5, "red": 3}),
    (BytesSub(A), {"size": 1.5}),
    (A[:15], {"red": 1}),
    ("a" * 16, {}),
    (A, GeneralDict({"red": 2})),
    (A, {"red": 256}),
    (A, [("red", 1)]),
]


@pytest.mark.parametrize("args", NODE_CALLS, ids=range(len(NODE_CALLS)))
def test_node_calls_same_as_keyword_calls(args):
    fast, general = PyGraphDiff(), PyGraphDiff()
    for d in (fast, general):
        d.add_node(A, {"label": "before", "blue": 9})
        d.delete_node(B)
    got = outcome(lambda: fast.add_node(*args))
    want = outcome(lambda: general.add_node(id=args[0], update=args[1]))
    assert got == want
    assert state(fast) == state(general)


@pytest.mark.parametrize("ident", [A, B, BytesSub(A), A[:15], "a" * 16, 7], ids=range(6))
def test_delete_node_calls_same_as_keyword_calls(ident):
    fast, general = PyGraphDiff(), PyGraphDiff()
    for d in (fast, general):
        d.add_node(A, {"label": "before"})
        d.add_edge(C, A, 1.0)
        d.add_edge(A, C, 2.0)
    got = outcome(lambda: fast.delete_node(ident))
    want = outcome(lambda: general.delete_node(id=ident))
    assert got == want
    assert state(fast) == state(general)


def test_node_call_shapes_and_borrow():
    d = PyGraphDiff()
    with pytest.raises(TypeError, match=r"takes 2 positional arguments but 3 were given"):
        d.add_node(A, {}, 1)
    with pytest.raises(TypeError, match=r"missing 1 required positional argument: 'update'"):
        d.add_node(A)

    class Weight:
        def __float__(self):
            # the outer call holds the exclusive borrow
            with pytest.raises(RuntimeError, match="^Already borrowed$"):
                d.add_node(C, {"red": 1})
            with pytest.raises(RuntimeError, match="^Already borrowed$"):
                d.delete_node(C)
            return 0.75

    d.add_edge(A, B, Weight())
    assert d.new_or_updated_nodes() == {}


def test_edge_calls_keep_reference_counts():
    d = PyGraphDiff()
    w = float("0.5")
    objs = [d, A, B, w]
    before = [sys.getrefcount(o) for o in objs]
    for _ in range(100):
        d.add_edge(A, B, w)
        d.delete_edge(B, A)
        d.delete_node(B)
        d.add_node(B, {})
    assert [sys.getrefcount(o) for o in objs] == before
