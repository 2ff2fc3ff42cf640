"""Reference hygiene: every call gives back the references it took, on success
and on failure, and a long run of calls does not grow the process."""
import array
import copy
import gc
import os
import pickle
import sys

import pytest

import quorl_api
from quorl_api import PyGraphDiff

from conftest import SOLE_REFERENCE, TABLE_METHODS, fresh_float, fresh_str, methods, uid

REPEAT = 50


def refcounts(objs):
    # Garbage of earlier tests (cycles holding diffs, which hold their type)
    # goes first, so that a collection in between changes no count.
    gc.collect()
    return [sys.getrefcount(o) for o in objs]


def swallow(call):
    """Run a call that must fail; drop the exception and its traceback."""
    try:
        call()
    except BaseException:  # noqa: B902
        return
    raise AssertionError("call did not fail")


class IntSub(int):
    pass


class WithFloat:
    def __float__(self):
        return 0.25


class WithIndex:
    def __index__(self):
        return 9


class RaisingFloat:
    def __float__(self):
        raise ValueError("no")


class RaisingIndex:
    def __index__(self):
        raise TypeError("no index")


class Stranger:
    pass


class BytesSub(bytes):
    pass


def test_arguments_released_after_success():
    d = PyGraphDiff()
    a, b = uid("a"), BytesSub(uid("b"))
    label, url = fresh_str("label-", 1), fresh_str("url-", 2)
    size, weight = fresh_float(2.5), fresh_float(0.5)
    red, green = IntSub(3), WithIndex()
    weight_obj = WithFloat()
    update = {"label": label, "url": url, "size": size, "red": red, "green": green,
              "blue": 200, "show_label": True, fresh_str("ignored", 0): weight}
    data_holder = PyGraphDiff()
    data_holder.add_node(a, {"label": "x"})
    data = data_holder.to_bytes()

    schema_request = d.new_or_updated_edges_table().__arrow_c_schema__()
    objs = [d, a, b, update, label, url, size, weight, red, green, weight_obj,
            WithFloat, WithIndex, data, PyGraphDiff, array.array, quorl_api.PyDiffTable, schema_request]
    d.new_or_updated_edges_columns()  # the module keeps one reference to array.array from its first use
    before = refcounts(objs)
    for _ in range(REPEAT):
        d.add_node(a, update)
        d.add_node(id=b, update=update)
        d.add_edge(a, b, weight)
        d.add_edge(**{"from": b, "to": a, "weight": weight_obj})
        d.delete_edge(b, a)
        d.delete_node(b)
        d.add_edge(a, b, weight)  # refused: b is deleted
        d.new_or_updated_nodes()
        d.deleted_nodes()
        d.new_or_updated_edges()
        d.deleted_edges()
        d.num_nodes()
        d.num_edges()
        d.to_bytes()
        d.new_or_updated_nodes_ids()
        d.deleted_nodes_ids()
        d.new_or_updated_edges_columns()
        d.deleted_edges_columns()
        for name in TABLE_METHODS:
            table = getattr(d, name)()
            table.__arrow_c_array__(schema_request)
            table.__arrow_c_stream__(requested_schema=schema_request)
            table.__arrow_c_schema__()
            swallow(lambda: table.__arrow_c_stream__(weight))  # not a schema
        del table
        PyGraphDiff.from_bytes(data)
        d.from_bytes(bytes=data)
        d.clear()
    after = refcounts(objs)
    assert after == before


def test_object_protocols_release_references():
    d = PyGraphDiff()
    a, b = uid("a"), uid("b")
    d.add_node(a, {"label": "x", "size": float("nan")})
    d.add_node(b, {"size": float("inf")})
    d.add_edge(a, b, 0.5)
    memo = {}
    data, sizes = d.__reduce__()[1]
    nan = fresh_float(float("nan"))
    objs = [d, a, b, memo, data, sizes, nan, PyGraphDiff, quorl_api._restore]
    before = refcounts(objs)
    for _ in range(REPEAT):
        for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
            pickle.loads(pickle.dumps(d, protocol))
        d.__reduce__()
        copy.copy(d)
        copy.deepcopy(d)
        d.__deepcopy__(memo)
        d.__deepcopy__(memo=memo)
        sys.getsizeof(d)
        repr(d)
        quorl_api._restore(data)
        quorl_api._restore(data, sizes)
        quorl_api._restore(data=data, sizes=sizes)
        swallow(lambda: quorl_api._restore(data, ((a, nan), (a, nan))))
        swallow(lambda: quorl_api._restore(data, ((a, "x"),)))
        swallow(lambda: quorl_api._restore(data, ((b"short", nan),)))
        swallow(lambda: quorl_api._restore(data, [(a, nan)]))
        swallow(lambda: quorl_api._restore(data, (a,)))
        swallow(lambda: quorl_api._restore(sizes, data))
        swallow(lambda: quorl_api._restore(data, sizes, memo))
        swallow(lambda: d.__deepcopy__())
    memo.clear()
    assert refcounts(objs) == before
    # results hold only the caller's reference
    result = d.__reduce__()
    assert sys.getrefcount(result) == SOLE_REFERENCE
    result = copy.copy(d)
    assert sys.getrefcount(result) == SOLE_REFERENCE
    result = quorl_api._restore(data, sizes)
    assert sys.getrefcount(result) == SOLE_REFERENCE


def test_arguments_released_after_failure():
    d = PyGraphDiff()
    d.add_node(uid("keep"), {"label": "keep"})
    a = uid("a")
    short = fresh_str("x", 1).encode()
    stranger = Stranger()
    label, url = fresh_str("label-", 1), fresh_str("url-", 2)
    bad_size, bad_red, bad_show = fresh_str("big", 1), RaisingIndex(), Stranger()
    huge = 10 ** 40
    bad_weight = RaisingFloat()
    upd_size = {"label": label, "url": url, "size": bad_size}
    upd_red = {"label": label, "size": fresh_float(1.5), "red": bad_red}
    upd_blue = {"label": label, "blue": huge}
    upd_show2 = {"url": url, "show_label": bad_show}
    upd_surrogate = {"label": fresh_str("\ud800", "x")}
    garbage = fresh_str("garbage", 7).encode() * 5
    barray = bytearray(32)
    lst = [1, 2]

    objs = [d, a, short, stranger, Stranger, label, url, bad_size, bad_red,
            RaisingIndex, bad_show, huge, bad_weight, RaisingFloat, upd_size,
            upd_red, upd_blue, upd_show2, upd_surrogate, garbage, barray, lst,
            PyGraphDiff]
    before = refcounts(objs)
    for _ in range(REPEAT):
        swallow(lambda: d.add_node(short, upd_size))
        swallow(lambda: d.add_node(stranger, upd_size))
        swallow(lambda: d.delete_node(lst))
        swallow(lambda: d.add_node(a, upd_size))
        swallow(lambda: d.add_node(a, upd_red))
        swallow(lambda: d.add_node(a, upd_blue))
        swallow(lambda: d.add_node(a, upd_show2))
        swallow(lambda: d.add_node(a, upd_surrogate))
        swallow(lambda: d.add_node(a, lst))
        swallow(lambda: d.add_edge(a, a, bad_weight))
        swallow(lambda: d.add_edge(a, a, bad_size))
        swallow(lambda: d.add_edge(a, stranger, 1.0))
        swallow(lambda: d.add_edge(a, a, huge ** 10))
        swallow(lambda: d.delete_edge(short, a))
        swallow(lambda: d.add_edge(a, a))
        swallow(lambda: d.add_edge(a, a, 1.0, stranger))
        swallow(lambda: d.add_node(a, upd_size, bogus=stranger))
        swallow(lambda: d.delete_node(a, id=a))
        swallow(lambda: PyGraphDiff.from_bytes(garbage))
        swallow(lambda: PyGraphDiff.from_bytes(barray))
        swallow(lambda: PyGraphDiff(stranger))
        swallow(lambda: PyGraphDiff(x=stranger))
    after = refcounts(objs)
    assert after == before


def test_borrow_conflicts_release_references():
    d = PyGraphDiff()
    a = uid("a")

    class Reenter:
        def __float__(self):
            swallow(lambda: d.num_nodes())
            swallow(lambda: d.add_node(a, {}))
            return 1.0

    weight = Reenter()
    objs = [d, a, weight, Reenter]
    before = refcounts(objs)
    for _ in range(REPEAT):
        d.add_edge(a, a, weight)
    assert refcounts(objs) == before


def test_panic_releases_references(panic_exception, capfd):
    d = PyGraphDiff()
    a = uid("a")
    class Panicking:
        def __float__(self):
            raise panic_exception("boom")

    weight = Panicking()
    objs = [d, a, weight, Panicking]
    swallow(lambda: d.add_edge(a, a, weight))
    before = refcounts(objs)
    for _ in range(5):
        swallow(lambda: d.add_edge(a, a, weight))
    assert refcounts(objs) == before
    capfd.readouterr()


def test_batch_arguments_released():
    """The batch methods give back every reference they take, items and
    iterators included, whether they succeed or fail."""
    import numpy as np

    d = PyGraphDiff()
    ids = [uid(("rc", k)) for k in range(6)]
    raw = b"".join(ids)
    grid = np.frombuffer(raw, np.uint8).reshape(6, 16)
    weights = [fresh_float(0.5 + k) for k in range(6)]
    weight_objs = [WithFloat() for _ in range(6)]
    packed = np.array(weights, np.float32)
    labels = [fresh_str("label-", k) for k in range(6)]
    reds = [IntSub(k) for k in range(6)]
    greens = [WithIndex() for _ in range(6)]
    sizes = np.arange(6, dtype=np.float64)
    shows = np.array([True, False] * 3)
    updates = [{"label": labels[k], "red": reds[k], "size": weights[k]} for k in range(6)]
    bad_ids = ids[:5] + [fresh_str("x", 1)]
    bad_weights = weights[:5] + [RaisingFloat()]
    bad_labels = labels[:5] + [Stranger()]
    bad_reds = reds[:5] + [10 ** 40]
    bad_updates = updates[:5] + [[]]

    objs = [d, raw, grid, packed, sizes, shows, WithFloat, WithIndex, RaisingFloat, Stranger, IntSub,
            *ids, *weights, *weight_objs, *labels, *reds, *greens, *updates,
            bad_ids, bad_weights, bad_labels, bad_reds, bad_updates, bad_ids[-1], bad_weights[-1], bad_labels[-1],
            bad_reds[-1], bad_updates[-1]]
    before = refcounts(objs)
    for _ in range(REPEAT):
        d.add_edges(ids, iter(ids), weights)
        d.add_edges(raw, grid, packed)
        d.add_edges(tuple(ids), ids, weight_objs)
        d.add_edges(ids, ids, weights[0])
        d.delete_edges(iter(ids), raw)
        d.add_nodes(ids, updates)
        d.add_nodes(iter(ids), (u for u in updates))
        d.add_nodes(grid, label=labels, url=iter(labels), size=sizes, red=reds, green=greens, show_label=shows)
        d.delete_nodes(ids)
        d.delete_nodes(iter(ids))
        swallow(lambda: d.add_edges(bad_ids, ids, weights))
        swallow(lambda: d.add_edges(ids, iter(bad_ids), weights))
        swallow(lambda: d.add_edges(ids, ids, bad_weights))
        swallow(lambda: d.add_edges(ids, ids, iter(bad_weights)))
        swallow(lambda: d.add_edges(ids, ids[:3], weights))
        swallow(lambda: d.add_nodes(ids, bad_updates))
        swallow(lambda: d.add_nodes(ids, updates, label=labels))
        swallow(lambda: d.add_nodes(ids, label=iter(bad_labels)))
        swallow(lambda: d.add_nodes(ids, red=bad_reds))
        swallow(lambda: d.add_nodes(ids, size=sizes[:3]))
        swallow(lambda: d.delete_nodes(raw[:20]))
        swallow(lambda: d.delete_nodes(bad_ids))
        d.clear()
    assert refcounts(objs) == before


# ------------------------------------------------------------ results

def _rebuild(o):
    if type(o) is dict:
        return {_rebuild(k): _rebuild(v) for k, v in o.items()}
    if type(o) is list:
        return [_rebuild(x) for x in o]
    if type(o) is str:
        return "".join(list(o))
    if type(o) is float:
        return fresh_float(o)
    return o


def _profile(tree):
    """Reference counts of the identifier texts, label texts, floats and
    containers of a result tree, measured along one fixed path."""
    out = []

    def measured(o):
        return (type(o) in (dict, list, float)
                or (type(o) is str and len(o) >= 2))

    def walk(o):
        if type(o) is dict:
            for k in o:
                v = o[k]
                if type(k) is str and len(k) == 36:
                    out.append(("key", sys.getrefcount(k)))
                if measured(v):
                    out.append(("value", type(v).__name__, sys.getrefcount(v)))
                walk(v)
        elif type(o) is list:
            for i in range(len(o)):
                x = o[i]
                if measured(x):
                    out.append(("item", type(x).__name__, sys.getrefcount(x)))
                walk(x)
    walk(tree)
    return out


def test_results_hold_no_extra_references():
    d = PyGraphDiff()
    for i in range(6):
        d.add_node(uid(i), {"label": fresh_str("node-", i), "url": fresh_str("u", i, i),
                            "size": 0.1 * i, "red": i, "show_label": i % 2 == 0})
        d.add_edge(uid(i), uid(i + 1), 0.5 * i)
        d.delete_edge(uid(i + 10), uid(i))
        d.delete_node(uid(i + 20))
    for m in methods("view"):
        result = m.call(d)
        assert sys.getrefcount(result) == SOLE_REFERENCE, m.name
        control = _rebuild(result)
        assert _profile(result) == _profile(control), m.name
    for m in methods("column"):
        result = m.call(d)
        assert sys.getrefcount(result) == SOLE_REFERENCE, m.name
        if type(result) is tuple:  # each column held by the tuple and the loop's local alone
            assert [sys.getrefcount(c) for c in result] == [SOLE_REFERENCE + 1] * len(result), m.name
    for name in TABLE_METHODS:
        table = getattr(d, name)()
        assert sys.getrefcount(table) == SOLE_REFERENCE, name
        for capsules in (table.__arrow_c_array__(), (table.__arrow_c_schema__(), table.__arrow_c_stream__())):
            assert [sys.getrefcount(c) for c in capsules] == [SOLE_REFERENCE + 1] * 2, name
    data = d.to_bytes()
    assert sys.getrefcount(data) == SOLE_REFERENCE
    obj = PyGraphDiff.from_bytes(data)
    assert sys.getrefcount(obj) == SOLE_REFERENCE
    fresh = PyGraphDiff()
    assert sys.getrefcount(fresh) == SOLE_REFERENCE
    count = d.num_nodes()
    assert count == 12


def test_type_reference_released_with_instances():
    before = sys.getrefcount(PyGraphDiff)
    data = PyGraphDiff().to_bytes()
    for _ in range(200):
        PyGraphDiff()
        PyGraphDiff.from_bytes(data)
    objs = [PyGraphDiff() for _ in range(10)]
    assert sys.getrefcount(PyGraphDiff) == before + 10
    del objs
    assert sys.getrefcount(PyGraphDiff) == before


# ------------------------------------------------------------ memory

def _rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def _mixed_calls(rounds):
    ids = [uid(i) for i in range(8)]
    labels = [fresh_str("label-", i) * 3 for i in range(4)]
    garbage = [b"", b"\x01" * 40, bytes(24) + b"\xff" * 8,
               b"\x01" + bytes(7) + b"\x10" + bytes(7) + bytes(16) + b"\x05" + bytes(7) + b"{bad}"]
    d = PyGraphDiff()
    for i in range(rounds):
        a, b = ids[i % 8], ids[(i * 3 + 1) % 8]
        d.add_node(a, {"label": labels[i % 4], "url": labels[(i + 1) % 4], "size": 1.5,
                       "red": i % 256, "show_label": True})
        d.add_edge(a, b, 0.5)
        d.delete_edge(b, a)
        if i % 7 == 0:
            d.delete_node(b)
        d.new_or_updated_nodes()
        d.deleted_nodes()
        d.new_or_updated_edges()
        d.deleted_edges()
        data = d.to_bytes()
        PyGraphDiff.from_bytes(data)
        try:
            d.add_node(b"short", {})
        except TypeError:
            pass
        try:
            d.add_node(a, {"label": None})
        except TypeError:
            pass
        try:
            d.add_node(a, {"red": 999})
        except OverflowError:
            pass
        try:
            PyGraphDiff.from_bytes(garbage[i % 4])
        except Exception:
            pass
        try:
            d.add_edge(a, b)
        except TypeError:
            pass
        try:
            d.add_edge(a, b, "w")
        except TypeError:
            pass
        if i % 64 == 0:
            d.clear()


@pytest.mark.slow
def test_memory_stable_over_many_calls():
    _mixed_calls(2000)
    gc.collect()
    before = _rss()
    _mixed_calls(50000)  # about 700,000 calls into the module
    gc.collect()
    growth = _rss() - before
    assert growth < 8 * 2 ** 20, growth
