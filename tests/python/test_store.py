"""How the diff combines changes, seen through the Python interface, checked
case by case and against a small reference model."""
import math
import random

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from quorl_api import PyGraphDiff

from conftest import ATTRIBUTE_ORDER, f32, normalized, snapshot, text, uid

A, B, C, X, Z = (uid(n) for n in "abcxz")


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
    assert snapshot(d) == snapshot(PyGraphDiff())
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


# ------------------------------------------------------------ model

class Model:
    """Reference behaviour of the diff, written as plainly as possible."""

    def __init__(self):
        self.nodes, self.deleted, self.edges, self.dedges = {}, set(), {}, {}

    def add_node(self, i, update):
        conv = {k: (f32(v) if k == "size" else v) for k, v in update.items()}
        self.nodes.setdefault(i, {}).update(conv)
        self.deleted.discard(i)

    def delete_node(self, i):
        self.nodes.pop(i, None)
        self.edges.pop(i, None)
        for f, targets in self.edges.items():
            if i in targets:
                self.dedges.setdefault(f, set()).add(i)
                del targets[i]
        self.deleted.add(i)

    def add_edge(self, f, t, w):
        if f in self.deleted or t in self.deleted:
            return
        if f in self.dedges:
            self.dedges[f].discard(t)
            if not self.dedges[f]:
                del self.dedges[f]
        self.edges.setdefault(f, {})[t] = f32(w)

    def delete_edge(self, f, t):
        self.dedges.setdefault(f, set()).add(t)
        if f in self.edges:
            self.edges[f].pop(t, None)
            if not self.edges[f]:
                del self.edges[f]

    def clear(self):
        self.__init__()

    def expected(self):
        return (
            {text(i): {k: u[k] for k in ATTRIBUTE_ORDER if k in u}
             for i, u in self.nodes.items()},
            sorted(text(i) for i in self.deleted),
            {text(f): {text(t): w for t, w in ts.items()}
             for f, ts in self.edges.items() if ts},
            {text(f): sorted(text(t) for t in ts) for f, ts in self.dedges.items()},
            len(self.nodes) + len(self.deleted),
            len(self.edges) + len(self.dedges),
        )


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


def without_infinite_sizes(nodes):
    return {k: {a: v for a, v in attrs.items()
                if not (a == "size" and math.isinf(v))}
            for k, attrs in nodes.items()}


@settings(max_examples=300, deadline=None,
          suppress_health_check=[HealthCheck.too_slow])
@given(operations)
def test_against_model_and_round_trip(ops):
    d, model = PyGraphDiff(), Model()
    apply(d, ops)
    apply(model, ops)
    state = normalized(d)
    assert state == model.expected()

    # the listed attribute keys always follow the fixed order
    for attrs in d.new_or_updated_nodes().values():
        assert list(attrs) == [k for k in ATTRIBUTE_ORDER if k in attrs]

    # the same operations give the same diff, order and bytes included
    again = PyGraphDiff()
    apply(again, ops)
    assert snapshot(again) == snapshot(d)

    data = d.to_bytes()
    back = PyGraphDiff.from_bytes(data)
    assert back is not d
    restored = normalized(back)
    assert restored[0] == without_infinite_sizes(state[0])
    assert restored[1:] == state[1:]
    assert normalized(d) == state
    assert d.to_bytes() == data


def test_long_random_history_against_model():
    """Enough keys and removals to make the tables grow, shrink and reuse slots."""
    rng = random.Random(20240607)
    pool = [uid(("big", i)) for i in range(300)]
    d, model = PyGraphDiff(), Model()
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
            assert normalized(d) == model.expected()
    assert normalized(d) == model.expected()
    back = PyGraphDiff.from_bytes(d.to_bytes())
    assert normalized(back) == normalized(d)


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
    assert normalized(back) == normalized(d)
    assert len(back.new_or_updated_edges()[text(hub)]) == 6000
    assert back.num_edges() == 6001
