"""A diff as a Python object: pickles and copies (equal and independent),
process pools, sys.getsizeof and repr.

Equal means what conftest.snapshot sees: the same views in the same order
(through repr, so NaN and -0.0 count), the same counts, the same bytes.
"""
import copy
import gc
import multiprocessing
import pickle
import struct
import sys
from concurrent.futures import ProcessPoolExecutor

import pytest

import quorl_api
from quorl_api import PyGraphDiff

from conftest import DESERIALIZE_FAILED, UUID_FIELD, python_output, raises_exact, snapshot, text, uid
import pool_workers

PROTOCOLS = range(pickle.HIGHEST_PROTOCOL + 1)
# What a pickle of protocol 3 or later adds to the byte string: the protocol
# and frame headers, the hook's module and name, the bytes' own header, the
# argument tuple and the call.
OVERHEAD = 64

NAN_PAYLOAD = struct.unpack("<d", struct.pack("<Q", 0x7FF8_0000_DEAD_0000))[0]


def every_kind():
    """Something in every collection, and every value the bytes are exact
    about or cannot carry: NaN and infinite sizes, -0.0, NaN weights with
    and without a payload, a source left empty by a node deletion."""
    d = PyGraphDiff()
    a, b, c, x = uid("p-a"), uid("p-b"), uid("p-c"), uid("p-x")
    d.add_node(a, {"label": "\u00e9\u65e5\U0001f600", "url": "", "size": -0.0, "red": 0, "green": 128,
                   "blue": 255, "show_label": False})
    d.add_node(b, {"size": float("nan")})
    d.add_node(c, {"size": float("-inf"), "label": "c"})
    d.add_node(x, {"size": float("inf")})
    d.add_node(uid("p-tiny"), {"size": 1e-45})
    d.add_edge(a, b, float("nan"))
    d.add_edge(a, c, NAN_PAYLOAD)
    d.add_edge(b, c, -0.0)
    d.add_edge(c, a, float("-inf"))
    d.add_edge(uid("p-s"), uid("p-t"), 3.0)
    d.delete_node(uid("p-t"))  # p-s keeps an empty entry
    d.delete_edge(b, a)
    d.delete_node(uid("p-gone"))
    return d


def finite():
    d = PyGraphDiff()
    for i in range(50):
        d.add_node(uid(i), {"label": "n%d" % i, "size": i / 3})
        d.add_edge(uid(i), uid(i + 1), i / 7)
        d.delete_edge(uid(i + 2), uid(i))
    return d


def big():
    return pool_workers.build(0, 20000)


def big_finite():
    d = PyGraphDiff()
    for i in range(20000):
        d.add_node(uid(i), {"label": "node %d" % i, "size": i / 3, "red": i % 256})
        d.add_edge(uid(i), uid(i + 1), i / 7)
        d.add_edge(uid(i), uid(i * 7), float("nan"))
        d.delete_edge(uid(i + 2), uid(i))
    return d


@pytest.mark.parametrize("protocol", PROTOCOLS)
@pytest.mark.parametrize("make", [PyGraphDiff, every_kind, finite])
def test_pickle_round_trip_is_equal(make, protocol):
    d = make()
    back = pickle.loads(pickle.dumps(d, protocol))
    assert type(back) is PyGraphDiff and back is not d
    assert snapshot(back) == snapshot(d)
    assert repr(back) == repr(d)
    assert sys.getsizeof(back) > 0


@pytest.mark.parametrize("make", [big, big_finite])
def test_big_diff_round_trip(make):
    d = make()
    data = d.to_bytes()
    for protocol in (2, pickle.HIGHEST_PROTOCOL):
        pickled = pickle.dumps(d, protocol)
        if protocol >= 3 and make is big_finite:
            assert len(pickled) <= len(data) + OVERHEAD
        assert snapshot(pickle.loads(pickled)) == snapshot(d)
    assert snapshot(copy.deepcopy(d)) == snapshot(d)


@pytest.mark.parametrize("protocol", [p for p in PROTOCOLS if p >= 3])
@pytest.mark.parametrize("make", [PyGraphDiff, every_kind, finite])
def test_pickle_is_the_byte_string_plus_a_constant(make, protocol):
    d = make()
    data = d.to_bytes()
    pickled = pickle.dumps(d, protocol)
    assert data in pickled  # one item, not a second format
    extra = 0
    if make is every_kind:
        # the three sizes the bytes write as null travel beside them
        extra = 3 * (16 + 9 + 8)
    assert len(pickled) <= len(data) + OVERHEAD + extra, len(pickled) - len(data)


def test_reduce_names_the_hook_and_carries_only_what_the_bytes_cannot():
    d = finite()
    function, arguments = d.__reduce__()
    assert function is quorl_api._restore
    assert arguments == (d.to_bytes(),)  # the usual case: the bytes alone
    assert b"quorl_api" in pickle.dumps(d, 0) and b"_restore" in pickle.dumps(d, 0)

    d = every_kind()
    function, arguments = d.__reduce__()
    data, sizes = arguments
    assert data == d.to_bytes()
    # in the order of the nodes, with their own values
    assert [(key, repr(value)) for key, value in sizes] == [
        (uid("p-b"), "nan"), (uid("p-c"), "-inf"), (uid("p-x"), "inf")]
    assert snapshot(function(*arguments)) == snapshot(d)
    # without them the sizes read back absent, as from the bytes alone
    assert "size" not in function(data).new_or_updated_nodes()[text(uid("p-b"))]


@pytest.mark.parametrize("copier", [copy.copy, copy.deepcopy, lambda d: pickle.loads(pickle.dumps(d, 5))])
def test_copies_are_equal_and_independent(copier):
    d = every_kind()
    original = snapshot(d)
    count = d.num_nodes()
    c = copier(d)
    assert c is not d and snapshot(c) == original
    c.add_node(uid("p-new"), {"label": "only in the copy"})
    c.delete_node(uid("p-a"))
    assert snapshot(d) == original
    d.clear()
    assert c.num_nodes() == count + 1 and d.num_nodes() == 0
    del d
    gc.collect()
    assert c.num_nodes() == count + 1


def test_deepcopy_keeps_sharing_and_accepts_a_memo():
    d = finite()
    a, b = copy.deepcopy([d, d])
    assert a is b and a is not d
    assert snapshot(a) == snapshot(d)
    assert snapshot(d.__deepcopy__({})) == snapshot(d)
    assert snapshot(d.__deepcopy__(memo=None)) == snapshot(d)
    with pytest.raises(TypeError):
        d.__deepcopy__()
    with pytest.raises(TypeError):
        d.__copy__(1)


# ------------------------------------------------------------ the hook itself

def test_restore_refuses_what_no_pickle_holds():
    d = every_kind()
    data, sizes = d.__reduce__()[1]
    before = snapshot(d)
    nan = float("nan")
    refusals = [
        (b"\x00" * 31, ()),  # the bytes are checked as from_bytes checks them
        (data, ((uid("p-unknown"), nan),)),  # no pending update
        (data, ((uid("p-a"), nan),)),  # its size is there already
        (data, ((uid("p-b"), 2.0),)),  # a finite size travels in the bytes
        (data, sizes + sizes[:1]),  # the same node twice
    ]
    for arguments in refusals:
        raises_exact(Exception, DESERIALIZE_FAILED, quorl_api._restore, *arguments)
    raises_exact(TypeError, "argument 'data': 'bytearray' object cannot be converted to 'PyBytes'",
                 quorl_api._restore, bytearray(data))
    raises_exact(TypeError, "argument 'sizes': 'list' object cannot be converted to 'PyTuple'",
                 quorl_api._restore, data, list(sizes))
    # sizes may be left out, but its default is (), not None
    raises_exact(TypeError, "argument 'sizes': 'NoneType' object cannot be converted to 'PyTuple'",
                 quorl_api._restore, data, None)
    raises_exact(TypeError, "argument 'sizes': expected (id, size) pairs", quorl_api._restore, data, (uid(1),))
    raises_exact(TypeError, "argument 'sizes': expected (id, size) pairs", quorl_api._restore, data,
                 ((uid("p-b"), nan, 0),))
    e = raises_exact(TypeError, "argument 'sizes': " + UUID_FIELD, quorl_api._restore, data, ((b"short", nan),))
    assert e.__cause__ is not None
    with pytest.raises(TypeError, match="^argument 'sizes': must be real number, not str$"):
        quorl_api._restore(data, ((uid("p-b"), "nan"),))
    raises_exact(TypeError, "_restore() missing 1 required positional argument: 'data'", quorl_api._restore)
    raises_exact(TypeError, "_restore() got an unexpected keyword argument 'size'", quorl_api._restore, data,
                 size=())
    # by keyword, and with the sizes left out
    assert snapshot(quorl_api._restore(sizes=sizes, data=data)) == snapshot(d)
    assert quorl_api._restore(data=data).num_nodes() == d.num_nodes()
    assert snapshot(d) == before


# -------------------------------------------------------------- process pools

def test_process_pool_sends_diffs_both_ways():
    """Diffs made in spawned worker processes come back equal to the same
    changes made here, and diffs sent to workers arrive whole."""
    context = multiprocessing.get_context("spawn")
    with ProcessPoolExecutor(max_workers=2, mp_context=context) as pool:
        built = pool.map(pool_workers.build, [0, 500], [300, 300])
        sent = pool_workers.build(1000, 300)
        extended = pool.submit(pool_workers.extend, sent, 2000, 300)
        built = list(built)
        extended = extended.result(timeout=60)
    assert [snapshot(b) for b in built] == [snapshot(pool_workers.build(0, 300)),
                                             snapshot(pool_workers.build(500, 300))]
    assert snapshot(extended) == snapshot(pool_workers.extend(pool_workers.build(1000, 300), 2000, 300))
    assert snapshot(sent) == snapshot(pool_workers.build(1000, 300))  # the parent's own is untouched


# ---------------------------------------------------------------- getsizeof

def test_getsizeof_follows_the_contents():
    d = PyGraphDiff()
    empty = sys.getsizeof(d)
    assert empty == d.__sizeof__() > 0
    d.add_node(uid(1), {})
    one = sys.getsizeof(d)
    assert one > empty  # the node table's block
    d.add_node(uid(1), {"label": "x" * 1000})
    assert sys.getsizeof(d) >= one + 1000
    d.add_node(uid(1), {"label": "x"})
    assert one < sys.getsizeof(d) < one + 100  # the long label is gone
    # A batch's texts are counted as they are stored, and relabelling every
    # node gives back the room of the texts it replaces.
    batch = PyGraphDiff()
    ids = [uid(("sized", k)) for k in range(1000)]
    batch.add_nodes(ids, label=["%04d" % k + "y" * 96 for k in range(1000)])
    labelled = sys.getsizeof(batch)
    assert labelled >= sys.getsizeof(PyGraphDiff()) + 1000 * (16 + 100)
    short = PyGraphDiff()
    short.add_nodes(ids, label=["s"] * 1000)
    for d in (batch, short):
        d.add_nodes(ids, [{"label": "s"}] * 1000)
    assert sys.getsizeof(batch) <= sys.getsizeof(short) < labelled - 1000 * 40
    filled = pool_workers.fill(d, 0, 2000)
    full = sys.getsizeof(filled)
    assert full > 2000 * 16 * 3  # at least the identifiers
    # clear keeps the tables' blocks, for refilling, and drops the rest
    d.clear()
    cleared = sys.getsizeof(d)
    assert empty < cleared < full
    d.add_node(uid(1), {"label": "x"})
    pool_workers.fill(d, 0, 2000)
    assert sys.getsizeof(d) == full  # same calls, same storage
    # a copy holds the same, in storage sized for it
    assert sys.getsizeof(copy.copy(d)) <= full


RSS_SCRIPT = r"""
import gc, os, sys
from quorl_api import PyGraphDiff

def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

ids = [i.to_bytes(16, "little") for i in range(1, 100001)]
labels = ["label-%d" % (i % 100) for i in range(100)]
gc.collect()
d = PyGraphDiff()
empty = sys.getsizeof(d)
before = rss()
for i in range(100000):
    a = ids[i]
    d.add_node(a, {"label": labels[i % 100], "size": 1.5})
    for k in (1, 7, 31, 127)[: i % 5]:
        d.add_edge(a, ids[(i + k) % 100000], 0.5)
    if i % 50 == 0:
        for k in range(40):
            d.add_edge(a, ids[(i * 3 + k) % 100000], 0.25)
print(rss() - before, sys.getsizeof(d) - empty)
"""


@pytest.mark.slow  # measures the process's memory, which a sanitizer's allocator distorts
@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc/self/statm")
def test_getsizeof_is_close_to_the_memory_a_big_diff_takes():
    # In a fresh process, where nothing freed before can be handed out again.
    grown, counted = map(int, python_output(RSS_SCRIPT).split())
    assert counted > 10 * 2 ** 20
    assert 0.75 <= counted / grown <= 1.25, (counted, grown)


# --------------------------------------------------------------------- repr

def test_repr_counts_and_never_shows_contents():
    d = PyGraphDiff()
    assert repr(d) == str(d) == "<PyGraphDiff: 0 nodes, 0 edge sources>"
    d.add_node(uid(1), {"label": "secret" * 1000})
    d.add_edge(uid(1), uid(2), 1.0)
    assert repr(d) == "<PyGraphDiff: 1 node, 1 edge source>"
    d.delete_node(uid(3))
    d.delete_edge(uid(4), uid(1))
    d.add_edge(uid(1), uid(5), 1.0)
    assert repr(d) == "<PyGraphDiff: 2 nodes, 2 edge sources>"
    assert "%r" % [d] == "[<PyGraphDiff: 2 nodes, 2 edge sources>]"
    b = big()
    assert repr(b) == "<PyGraphDiff: %d nodes, %d edge sources>" % (b.num_nodes(), b.num_edges())
    assert len(repr(b)) < 80
