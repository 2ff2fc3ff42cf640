"""How the diff combines changes, seen through the Python interface: case by
case for the module and its model (tests/support/pure_graph_diff.py) alike,
then the module against the model at random."""
import math
import random

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from quorl_api import PyGraphDiff

from conftest import ATTRIBUTE_ORDER, check_columns, check_tables, diff_bytes, normalized, snapshot, text, uid
from pure_graph_diff import COMPARE_ORDER, PureGraphDiff, contents

A, B, C, X, Z = (uid(n) for n in "abcxz")


@pytest.fixture(params=[PyGraphDiff, PureGraphDiff], ids=["module", "model"])
def d(request):
    return request.param()


# ------------------------------------------------------------ nodes

def test_updates_merge_field_by_field(d):
    d.add_node(A, {"label": "first", "size": 1.0})
    d.add_node(A, {"red": 3})
    assert d.new_or_updated_nodes() == {text(A): {"label": "first", "size": 1.0, "red": 3}}
    assert d.num_nodes() == 1

    d.add_node(A, {"label": "", "red": 0, "show_label": True})
    d.add_node(A, {"show_label": False})
    d.add_node(A, {})
    assert d.new_or_updated_nodes() == {
        text(A): {"label": "", "size": 1.0, "red": 0, "show_label": False}}


def test_delete_then_add_node(d):
    d.add_node(X, {"label": "old", "url": "u"})
    d.add_edge(A, X, 1.0)
    d.delete_node(X)
    d.add_node(X, {"red": 5})
    assert d.deleted_nodes() == []
    assert d.new_or_updated_nodes() == {text(X): {"red": 5}}
    # the edge changes made by the deletion remain
    assert d.deleted_edges() == {text(A): [text(X)]}
    assert d.new_or_updated_edges() == {}
    assert d.num_edges() == 2


def test_add_then_delete_node(d):
    d.add_node(X, {"label": "gone"})
    d.delete_node(X)
    assert d.new_or_updated_nodes() == {}
    assert d.deleted_nodes() == [text(X)]
    assert d.num_nodes() == 1
    d.delete_node(X)
    assert d.deleted_nodes() == [text(X)]
    assert d.num_nodes() == 1


def test_empty_update_clears_deletion(d):
    d.delete_node(X)
    d.add_node(X, {})
    assert d.deleted_nodes() == []
    assert d.new_or_updated_nodes() == {text(X): {}}


# ------------------------------------------------------------ edges

def test_delete_node_turns_in_edges_into_deletions(d):
    d.add_edge(A, X, 1.0)
    d.add_edge(X, B, 2.0)
    d.delete_node(X)
    assert d.deleted_edges() == {text(A): [text(X)]}
    assert d.new_or_updated_edges() == {}
    assert d.num_edges() == 2
    assert d.deleted_nodes() == [text(X)]


def test_self_loop_vanishes(d):
    d.add_edge(X, X, 1.0)
    d.delete_node(X)
    assert d.new_or_updated_edges() == {}
    assert d.deleted_edges() == {}
    assert d.num_edges() == 0


def test_edge_to_or_from_deleted_node_is_refused_silently(d):
    d.delete_node(B)
    d.add_edge(C, A, 3.0)
    before = snapshot(d)
    assert d.add_edge(A, B, 0.5) is None
    assert d.add_edge(B, A, 0.5) is None
    assert d.add_edge(B, B, 0.5) is None
    assert snapshot(d) == before


def test_edge_weight_replaced(d):
    d.add_edge(A, B, 1.0)
    d.add_edge(A, B, 2.0)
    assert d.new_or_updated_edges() == {text(A): {text(B): 2.0}}
    d.add_edge(A, C, 1.0)
    assert d.num_edges() == 1


def test_edge_add_and_delete_cancel(d):
    d.delete_edge(A, B)
    d.add_edge(A, B, 4.0)
    assert d.deleted_edges() == {}
    assert d.new_or_updated_edges() == {text(A): {text(B): 4.0}}
    d.delete_edge(A, B)
    assert d.new_or_updated_edges() == {}
    assert d.deleted_edges() == {text(A): [text(B)]}
    assert d.num_edges() == 1


def test_delete_edge_removes_empty_source_entry(d):
    d.add_edge(A, X, 1.0)
    d.delete_node(X)
    assert d.num_edges() == 2
    d.delete_edge(A, Z)
    assert d.num_edges() == 1
    assert {k: sorted(v) for k, v in d.deleted_edges().items()} == \
        {text(A): sorted([text(X), text(Z)])}
    # delete_edge does not consult the deleted nodes
    d.delete_edge(X, X)
    assert text(X) in d.deleted_edges()


def test_clear_and_reuse(d):
    d.add_node(A, {"label": "x"})
    d.delete_node(B)
    d.add_edge(A, C, 1.0)
    d.delete_edge(C, A)
    assert d.clear() is None
    assert snapshot(d) == snapshot(type(d)())
    d.add_edge(B, A, 1.0)
    assert d.new_or_updated_edges() == {text(B): {text(A): 1.0}}
    assert d.num_edges() == 1


def test_methods_return_none(d):
    assert d.add_node(A, {}) is None
    assert d.delete_node(B) is None
    assert d.add_edge(A, C, 1.0) is None
    assert d.delete_edge(A, C) is None
    assert d.clear() is None


# ------------------------------------------------------------ failed calls

def _failing_calls(ids):
    bad_float = type("BadFloat", (), {"__float__": lambda self: 1 / 0})
    return [
        lambda d: d.add_node(b"short", {}),
        lambda d: d.add_node(ids[0], {"label": "new", "red": 256}),
        lambda d: d.add_node(ids[0], {"label": "new", "url": None}),
        lambda d: d.add_node(ids[0], {"label": "new", "show_label": 1}),
        lambda d: d.add_node(ids[0], {"label": "new", "size": "big"}),
        lambda d: d.add_node(ids[0], {"label": "\ud800"}),
        lambda d: d.add_node(ids[0], []),
        lambda d: d.add_node(ids[0]),
        lambda d: d.delete_node("x"),
        lambda d: d.delete_node(ids[0], ids[1]),
        lambda d: d.add_edge(ids[0], ids[1], "w"),
        lambda d: d.add_edge(ids[0], ids[1], bad_float()),
        lambda d: d.add_edge(ids[0], 5, 1.0),
        lambda d: d.delete_edge(ids[0], b""),
        lambda d: d.delete_edge(ids[0]),
        lambda d: d.clear(1),
        lambda d: d.from_bytes(b"\x01"),
        lambda d: d.from_bytes(bytearray(32)),
    ]


def test_failed_calls_leave_diff_unchanged(ids):
    d = PyGraphDiff()
    d.add_node(ids[0], {"label": "old", "size": 2.5, "red": 1})
    d.add_node(ids[1], {})
    d.delete_node(ids[2])
    d.add_edge(ids[0], ids[1], 0.5)
    d.add_edge(ids[3], ids[2 + 2], 1.5)
    d.delete_edge(ids[1], ids[0])
    d.add_edge(ids[5], ids[6], 1.0)
    d.delete_node(ids[6])
    for call in _failing_calls(ids):
        before = snapshot(d)
        with pytest.raises(BaseException) as info:
            call(d)
        assert isinstance(info.value, Exception)  # never a PanicException
        assert snapshot(d) == before
    # and the object is fully usable afterwards
    d.add_node(ids[0], {"label": "new"})
    assert d.new_or_updated_nodes()[text(ids[0])]["label"] == "new"


# ------------------------------------------------------------ order

def texts(*keys):
    return [text(uid(k)) for k in keys]


@pytest.mark.parametrize("cls", [PureGraphDiff] + [PyGraphDiff] * COMPARE_ORDER)
def test_order_of_entries(cls):
    """A key takes its place when first inserted, keeps it while its value is
    replaced or merged, and goes to the end when removed and inserted again;
    delete_node visits the sources in their order; reading bytes inserts in
    their order, a repeated key keeping its first place and its last value."""
    d = cls()
    for n in (1, 2, 3, 1):
        d.add_node(uid(n), {"red": n})
    d.delete_node(uid(2))
    d.add_node(uid(2), {})
    for f, t, w in [(5, 9, 1.0), (5, 8, 1.0), (5, 7, 1.0), (4, 9, 1.0), (6, 7, 1.0), (5, 8, 3.0)]:
        d.add_edge(uid(f), uid(t), w)
    d.delete_edge(uid(6), uid(1))
    d.delete_node(uid(9))
    assert list(d.new_or_updated_nodes()) == texts(1, 3, 2)
    assert list(d.new_or_updated_edges()) == texts(5, 6)  # 4 is left without targets
    assert list(d.new_or_updated_edges()[text(uid(5))].items()) == list(zip(texts(8, 7), (3.0, 1.0)))
    assert list(d.deleted_edges()) == texts(6, 5, 4)
    d.add_edge(uid(6), uid(1), 1.0)  # empties the entry of 6
    d.delete_edge(uid(6), uid(2))
    assert list(d.deleted_edges()) == texts(5, 4, 6)

    back = cls.from_bytes(diff_bytes(
        nodes=[(uid(1), b'{"red":1}'), (uid(2), b"{}"), (uid(1), b'{"red":2}')],
        deleted=[uid(3), uid(4), uid(3)],
        edges=[(uid(5), [(uid(7), 1.0)]), (uid(6), [(uid(7), 1.0)]),
               (uid(5), [(uid(9), 4.0), (uid(8), 5.0), (uid(9), 6.0)])],
        deleted_edges=[(uid(5), [uid(7)]), (uid(6), [uid(1)]), (uid(5), [uid(8), uid(9), uid(8)])]))
    assert list(back.new_or_updated_nodes().items()) == list(zip(texts(1, 2), ({"red": 2}, {})))
    assert back.deleted_nodes() == texts(3, 4)
    assert list(back.new_or_updated_edges()) == texts(5, 6)
    assert list(back.new_or_updated_edges()[text(uid(5))].items()) == list(zip(texts(9, 8), (6.0, 5.0)))
    assert list(back.deleted_edges().items()) == list(zip(texts(5, 6), (texts(8, 9), texts(1))))


# ------------------------------------------------------------ against the model

POOL = [uid(i) for i in range(6)]
node_ids = st.sampled_from(POOL)
updates = st.fixed_dictionaries({}, optional={
    "label": st.text(st.characters(blacklist_categories=("Cs",)), max_size=8),
    "url": st.text(max_size=4).filter(lambda s: not any(0xD800 <= ord(c) < 0xE000
                                                        for c in s)),
    "size": st.floats(width=32, allow_nan=False),
    "red": st.integers(0, 255),
    "green": st.integers(0, 255),
    "blue": st.integers(0, 255),
    "show_label": st.booleans(),
})
weights = st.floats(allow_nan=False, width=32)
operations = st.lists(st.one_of(
    st.tuples(st.just("add_node"), node_ids, updates),
    st.tuples(st.just("delete_node"), node_ids),
    st.tuples(st.just("add_edge"), node_ids, node_ids, weights),
    st.tuples(st.just("add_edge"), node_ids, node_ids, weights),
    st.tuples(st.just("delete_edge"), node_ids, node_ids),
    st.tuples(st.just("clear")),
), max_size=40)


def apply(target, ops):
    for op in ops:
        getattr(target, op[0])(*op[1:])


@settings(max_examples=300, deadline=None,
          suppress_health_check=[HealthCheck.too_slow])
@given(operations)
def test_against_model_and_round_trip(ops):
    d, model = PyGraphDiff(), PureGraphDiff()
    apply(d, ops)
    apply(model, ops)
    state = contents(d)
    assert state == contents(model)

    # the listed attribute keys always follow the fixed order
    for attrs in d.new_or_updated_nodes().values():
        assert list(attrs) == [k for k in ATTRIBUTE_ORDER if k in attrs]

    # read back as columns, which rebuild the same views, and as tables
    check_columns(d)
    check_tables(d)

    # the same operations give the same diff, order and bytes included
    again = PyGraphDiff()
    apply(again, ops)
    assert snapshot(again) == snapshot(d)

    # read back as the model reads its own bytes back (a size that is not
    # finite comes back absent), and the model's bytes read the same
    data = d.to_bytes()
    back = PyGraphDiff.from_bytes(data)
    assert back is not d
    model_back = contents(PureGraphDiff.from_bytes(model.to_bytes()))
    assert contents(back) == model_back
    assert contents(PyGraphDiff.from_bytes(model.to_bytes())) == model_back
    assert contents(d) == state
    assert d.to_bytes() == data

    # a decoded diff writes back the bytes it was read from; a size that is
    # not finite is dropped on the way, after which the bytes settle
    settled = back.to_bytes()
    if all(math.isfinite(u.get("size", 0.0)) for u in d.new_or_updated_nodes().values()):
        assert settled == data
    assert PyGraphDiff.from_bytes(settled).to_bytes() == settled


def test_long_random_history_against_model():
    """Enough keys and removals to make the tables grow, shrink and reuse slots."""
    rng = random.Random(20240607)
    pool = [uid(("big", i)) for i in range(300)]
    d, model = PyGraphDiff(), PureGraphDiff()
    for step in range(20000):
        r = rng.random()
        a, b = rng.choice(pool), rng.choice(pool)
        if r < 0.35:
            op = ("add_node", a, {"red": step % 256} if step % 3 else {"label": str(step)})
        elif r < 0.5:
            op = ("delete_node", a)
        elif r < 0.8:
            op = ("add_edge", a, b, float(step))
        elif r < 0.9999:
            op = ("delete_edge", a, b)
        else:
            op = ("clear",)
        apply(d, [op])
        apply(model, [op])
        if step % 4000 == 0:
            assert contents(d) == contents(model)
            check_columns(d)
            check_tables(d)
    assert contents(d) == contents(model)
    assert contents(PyGraphDiff.from_bytes(d.to_bytes())) == contents(d)


def test_large_round_trip():
    d = PyGraphDiff()
    hub = uid("hub")
    for i in range(6000):
        d.add_node(uid(i), {"size": float(i)})
        d.add_edge(hub, uid(i), float(i))
        d.delete_edge(uid(i), hub)
    for i in range(0, 6000, 2):
        d.delete_node(uid(("gone", i)))
    back = PyGraphDiff.from_bytes(d.to_bytes())
    assert contents(back) == contents(d)
    assert len(back.new_or_updated_edges()[text(hub)]) == 6000
    assert back.num_edges() == 6001
