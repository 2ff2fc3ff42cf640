"""The four views and the columns: shapes, values, key order and
independence from the diff."""
import array
import copy
import math
import random
import re
import struct
import uuid

import numpy as np

from quorl_api import PyGraphDiff

from conftest import ATTRIBUTE_ORDER, check_columns, check_tables, diff_bytes, id_texts, methods, snapshot, text, uid

UUID_TEXT = re.compile(r"^[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}$")


def filled(ids):
    d = PyGraphDiff()
    d.add_node(ids[0], {"label": "zero", "size": 0.1, "show_label": True})
    d.add_node(ids[1], {})
    d.delete_node(ids[2])
    d.delete_node(ids[3])
    d.add_edge(ids[0], ids[1], 0.5)
    d.add_edge(ids[0], ids[4], -2.0)
    d.add_edge(ids[4], ids[4], 1.0)
    d.delete_edge(ids[5], ids[6])
    d.delete_edge(ids[5], ids[7])
    d.delete_edge(ids[1], ids[0])
    return d


def test_empty_views(d):
    assert d.new_or_updated_nodes() == {}
    assert d.deleted_nodes() == []
    assert d.new_or_updated_edges() == {}
    assert d.deleted_edges() == {}
    assert type(d.new_or_updated_nodes()) is dict
    assert type(d.deleted_nodes()) is list
    assert type(d.new_or_updated_edges()) is dict
    assert type(d.deleted_edges()) is dict
    # the columns of an empty diff are empty buffers, never None
    assert d.new_or_updated_nodes_ids() == d.deleted_nodes_ids() == b""
    assert d.deleted_edges_columns() == (b"", b"")
    frm, to, weights = d.new_or_updated_edges_columns()
    assert (frm, to) == (b"", b"")
    assert type(weights) is array.array and weights.typecode == "f" and len(weights) == 0


def test_shapes_and_values(ids):
    d = filled(ids)
    t = [text(i) for i in ids]
    assert d.new_or_updated_nodes() == {
        t[0]: {"label": "zero", "size": 0.10000000149011612, "show_label": True},
        t[1]: {},
    }
    assert sorted(d.deleted_nodes()) == sorted([t[2], t[3]])
    assert d.new_or_updated_edges() == {
        t[0]: {t[1]: 0.5, t[4]: -2.0},
        t[4]: {t[4]: 1.0},
    }
    deleted = d.deleted_edges()
    assert {k: sorted(v) for k, v in deleted.items()} == {
        t[5]: sorted([t[6], t[7]]),
        t[1]: [t[0]],
    }
    assert all(type(v) is list for v in deleted.values())
    assert all(type(v) is dict for v in d.new_or_updated_edges().values())
    assert all(type(w) is float
               for inner in d.new_or_updated_edges().values() for w in inner.values())
    assert d.num_nodes() == 4
    assert d.num_edges() == 4
    assert type(d.num_nodes()) is int and type(d.num_edges()) is int
    frm, to, weights = d.new_or_updated_edges_columns()
    assert (frm, to, list(weights)) == (ids[0] + ids[0] + ids[4], ids[1] + ids[4] + ids[4], [0.5, -2.0, 1.0])
    check_columns(d)
    check_tables(d)


def test_attribute_dict_key_order(d, ids):
    d.add_node(ids[0], {"show_label": False, "blue": 3, "green": 2, "red": 1,
                        "size": 2.5, "url": "u", "label": "l"})
    attrs = d.new_or_updated_nodes()[text(ids[0])]
    assert list(attrs) == list(ATTRIBUTE_ORDER)
    assert attrs == {"label": "l", "url": "u", "size": 2.5, "red": 1, "green": 2,
                     "blue": 3, "show_label": False}
    assert attrs["show_label"] is False
    assert [type(v) for v in attrs.values()] == [str, str, float, int, int, int, bool]

    d.add_node(ids[1], {"show_label": False, "red": 0})
    attrs = d.new_or_updated_nodes()[text(ids[1])]
    assert list(attrs.items()) == [("red", 0), ("show_label", False)]

    # merging keeps the fixed order whatever the order of the updates
    d.add_node(ids[2], {"blue": 9})
    d.add_node(ids[2], {"url": "x"})
    d.add_node(ids[2], {"label": "y"})
    assert list(d.new_or_updated_nodes()[text(ids[2])]) == ["label", "url", "blue"]


def test_attribute_dicts_of_many_nodes(d):
    # Nodes that share which attributes are present and their colours and
    # show_label, and nodes that differ in them (more combinations than a
    # view keeps at once, revisited in mixed order): every dict has exactly
    # its own node's items, in the fixed key order, and is its own object.
    rng = random.Random(11)
    expected = {}
    for n in range(600):
        kind = rng.randrange(40)
        attrs = {}
        if kind & 1:
            attrs["label"] = "label %d" % n
        if kind & 2:
            attrs["url"] = "u%d" % (n % 3)
        if kind & 4:
            attrs["size"] = float(n % 5) + 0.5
        if kind & 8:
            attrs["red"] = kind * 6
        if kind & 16:
            attrs["green"] = kind % 7
            attrs["blue"] = 255
        if kind % 3:
            attrs["show_label"] = kind % 3 == 1
        node = n.to_bytes(16, "big")
        d.add_node(node, dict(reversed(list(attrs.items()))))
        expected[text(node)] = [(k, attrs[k]) for k in ATTRIBUTE_ORDER if k in attrs]
    view = d.new_or_updated_nodes()
    assert {k: list(v.items()) for k, v in view.items()} == expected
    assert len({id(v) for v in view.values()}) == len(view)
    first = next(iter(view.values()))
    first["red"] = -1
    assert all("red" not in v or v["red"] != -1 for v in list(view.values())[1:])
    assert d.new_or_updated_nodes() == {k: dict(v) for k, v in expected.items()}


def test_uuid_text_form(d):
    raw = bytes(range(16))
    d.add_node(raw, {})
    assert list(d.new_or_updated_nodes()) == ["00010203-0405-0607-0809-0a0b0c0d0e0f"]
    for n in range(40):
        b = uuid.uuid4().bytes
        d.delete_node(b)
    d.add_edge(b"\xab" * 16, b"\xcd" * 16, 1.0)
    d.delete_edge(bytes(16), b"\xff" * 16)
    keys = (list(d.new_or_updated_nodes()) + d.deleted_nodes()
            + list(d.new_or_updated_edges())
            + [k for inner in d.new_or_updated_edges().values() for k in inner]
            + list(d.deleted_edges())
            + [k for v in d.deleted_edges().values() for k in v])
    for k in keys:
        assert type(k) is str and UUID_TEXT.match(k), k
        assert str(uuid.UUID(k)) == k
    assert "abababab-abab-abab-abab-abababababab" in d.new_or_updated_edges()
    assert d.deleted_edges() == {"00000000-0000-0000-0000-000000000000":
                                 ["ffffffff-ffff-ffff-ffff-ffffffffffff"]}


def test_floats_widened_exactly(d, ids):
    d.add_node(ids[0], {"size": 0.1})
    d.add_node(ids[1], {"size": math.inf})
    d.add_node(ids[2], {"size": math.nan})
    d.add_edge(ids[0], ids[1], 0.5)
    d.add_edge(ids[0], ids[2], 0.1)
    d.add_edge(ids[0], ids[3], -math.inf)
    d.add_edge(ids[0], ids[4], math.nan)
    nodes = d.new_or_updated_nodes()
    assert nodes[text(ids[0])]["size"] == 0.10000000149011612
    assert nodes[text(ids[1])]["size"] == math.inf
    assert math.isnan(nodes[text(ids[2])]["size"])
    edges = d.new_or_updated_edges()[text(ids[0])]
    assert edges[text(ids[1])] == 0.5
    assert edges[text(ids[2])] == 0.10000000149011612
    assert edges[text(ids[3])] == -math.inf
    assert math.isnan(edges[text(ids[4])])


def test_fresh_objects_every_call(ids):
    d = filled(ids)
    for m in methods("view", "column"):
        first = m.call(d)
        second = m.call(d)
        assert first == second, m.name
        assert first is not second, m.name
    n1, n2 = d.new_or_updated_nodes(), d.new_or_updated_nodes()
    assert n1[text(ids[0])] is not n2[text(ids[0])]
    e1, e2 = d.new_or_updated_edges(), d.new_or_updated_edges()
    assert e1[text(ids[0])] is not e2[text(ids[0])]
    x1, x2 = d.deleted_edges(), d.deleted_edges()
    assert x1[text(ids[5])] is not x2[text(ids[5])]


def test_mutating_results_changes_nothing(ids):
    d = filled(ids)
    before = snapshot(d)
    kept = [d.new_or_updated_nodes(), d.deleted_nodes(),
            d.new_or_updated_edges(), d.deleted_edges()]
    kept_copy = copy.deepcopy(kept)

    nodes, deleted, edges, dedges = (d.new_or_updated_nodes(), d.deleted_nodes(),
                                     d.new_or_updated_edges(), d.deleted_edges())
    nodes[text(ids[0])]["label"] = "changed"
    nodes[text(ids[0])].clear()
    nodes["extra"] = {}
    deleted.append("x")
    deleted.clear()
    edges[text(ids[0])][text(ids[1])] = 99.0
    edges.clear()
    dedges[text(ids[5])].append("y")
    dedges.clear()
    weights = d.new_or_updated_edges_columns()[2]
    np.asarray(weights)[:] = 7.0  # writable, through numpy too
    weights.append(1.0)
    assert snapshot(d) == before

    # later changes to the diff do not show in results handed out earlier
    d.clear()
    d.add_node(ids[7], {"red": 1})
    assert kept == kept_copy


def test_empty_target_map_hidden_but_counted(d, ids):
    a, x = ids[0], ids[1]
    d.add_edge(a, x, 1.0)
    d.delete_node(x)
    assert d.new_or_updated_edges() == {}
    assert d.new_or_updated_edges_columns()[:2] == (b"", b"")
    assert d.deleted_edges() == {text(a): [text(x)]}
    assert d.num_edges() == 2

    # a second source with real targets is still listed
    d.add_edge(ids[2], ids[3], 2.0)
    assert d.new_or_updated_edges() == {text(ids[2]): {text(ids[3]): 2.0}}
    assert d.num_edges() == 3

    # the empty entry also survives a round trip through bytes
    back = PyGraphDiff.from_bytes(d.to_bytes())
    assert back.new_or_updated_edges() == d.new_or_updated_edges()
    assert back.num_edges() == 3


def test_view_order_follows_history(ids):
    """Diffs built the same way list their entries in the same order."""
    def build():
        g = PyGraphDiff()
        for i in range(200):
            g.add_node(uid(i), {"red": i % 256})
            g.add_edge(uid(i), uid(i * 7 % 200), float(i))
            if i % 3 == 0:
                g.delete_node(uid(i // 2))
            if i % 5 == 0:
                g.delete_edge(uid(i), uid(i + 1))
        return g

    one, two = build(), build()
    assert list(one.new_or_updated_nodes()) == list(two.new_or_updated_nodes())
    assert one.deleted_nodes() == two.deleted_nodes()
    assert snapshot(one) == snapshot(two)


# ------------------------------------------------------------------ columns

# Weights by their bits: NaNs with payloads (quiet and signalling, either
# sign), signed zeros, infinities, the smallest subnormal, the largest finite.
WEIGHT_BITS = [0x3F000000, 0x80000000, 0x00000000, 0x7F800000, 0xFF800000, 0x7FC00000, 0x7FC12345,
               0xFFC00001, 0x7F800001, 0xFFBFFFFF, 0x00000001, 0x7F7FFFFF]


def test_column_weights_keep_their_bits():
    targets = [uid(("bits", k)) for k in range(len(WEIGHT_BITS))]
    source = uid("bits")
    edges = [(source, [(t, struct.pack("<I", bits)) for t, bits in zip(targets, WEIGHT_BITS)])]
    d = PyGraphDiff.from_bytes(diff_bytes(edges=edges))
    frm, to, weights = d.new_or_updated_edges_columns()
    assert weights.tobytes() == struct.pack("=%dI" % len(WEIGHT_BITS), *WEIGHT_BITS)
    assert np.asarray(weights).view(np.uint32).tolist() == WEIGHT_BITS
    assert (frm, to) == (source * len(targets), b"".join(targets))
    rebuilt = PyGraphDiff()
    rebuilt.add_edges(frm, to, weights)
    assert rebuilt.to_bytes() == d.to_bytes()


def test_columns_read_by_numpy_and_uuid_without_a_copy(ids):
    d = filled(ids)
    frm, to, weights = d.new_or_updated_edges_columns()
    gone_from, _ = d.deleted_edges_columns()
    for packed in (frm, to, gone_from, d.new_or_updated_nodes_ids(), d.deleted_nodes_ids()):
        as_void = np.frombuffer(packed, "V16")
        grid = np.frombuffer(packed, np.uint8).reshape(-1, 16)
        assert as_void.base is packed and np.shares_memory(grid, as_void) and not grid.flags.writeable
        assert [str(uuid.UUID(bytes=bytes(v))) for v in as_void] == id_texts(packed)
    floats = np.asarray(weights)
    assert floats.dtype == np.float32 and floats.flags.writeable
    assert np.shares_memory(floats, np.frombuffer(weights, np.float32))
    assert floats.tolist() == [0.5, -2.0, 1.0]
