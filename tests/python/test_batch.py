"""The batch methods add_edges, delete_edges, add_nodes and delete_nodes.

Each is compared with the loop of single calls it stands for, over random
diffs and batches, in every form its arguments take; then come the refusals
(each leaving the diff as it was), the argument texts against the
interpreter's own, and calls back into the diff from inside a conversion.
"""
import array
import ctypes
import itertools
import json
import os
import random
import re
import sys

import numpy as np
import pytest

from quorl_api import PyGraphDiff

from conftest import (EXPECTED_16, OUT_OF_RANGE, UUID_FIELD, check_exc, import_arrow_library, normalized, python_output,
                      raises_exact, snapshot, uid)

# Arrow columns (pyarrow and polars) join every table of forms and refusals
# where the libraries are installed.
pa, pl = import_arrow_library("pyarrow"), import_arrow_library("polars")

POOL = [uid(("batch", k)) for k in range(12)]


# ------------------------------------------------------------- argument forms

class Packed(bytes):
    """A bytes subclass: read through its buffer, not in place."""


def id_forms(ids):
    """name -> a fresh object holding `ids` (generators are used up)."""
    raw = b"".join(ids)
    n = len(ids)
    grid = np.frombuffer(raw, np.uint8).reshape(n, 16)
    wide = np.zeros((n, 32), np.uint8)
    wide[:, ::2] = grid
    return {
        "list": lambda: list(ids),
        "tuple": lambda: tuple(ids),
        "generator": lambda: (i for i in ids),
        "bytes": lambda: raw,
        "bytes subclass": lambda: Packed(raw),
        "bytearray": lambda: bytearray(raw),
        "memoryview": lambda: memoryview(raw),
        "array": lambda: array.array("B", raw),
        "uint8 (n, 16)": lambda: grid.copy(),
        "uint8 strided": lambda: wide[:, ::2],
        "S16": lambda: grid.copy().view("S16").reshape(n),
        "V16": lambda: grid.copy().view("V16").reshape(n),
        "reversed rows": lambda: np.ascontiguousarray(grid[::-1])[::-1],
        "object array": lambda: np.array(list(ids) + [b""], dtype=object)[:n],
        # items of any struct format without objects are bytes, whatever
        # their fields are called
        "struct T{(16)B:NODE:}": lambda: np.frombuffer(raw, [("NODE", "u1", (16,))]),
        "struct T{L:a:L:O:}": lambda: np.frombuffer(raw, [("a", "u8"), ("O", "u8")]),
        "struct T{(2)T{(8)B:O:}:x:}": lambda: np.frombuffer(raw, [("x", [("O", "u1", (8,))], (2,))]),
        "ctypes <O": lambda: (ctypes.py_object * n)(*ids),
        **(arrow_id_forms(ids) if pa else {}),
    }


class UuidType(pa.ExtensionType if pa else object):
    """Arrow's canonical uuid extension type, which pyarrow 17 lacks."""

    def __init__(self):
        super().__init__(pa.binary(16), "arrow.uuid")

    def __arrow_ext_serialize__(self):
        return b""

    @classmethod
    def __arrow_ext_deserialize__(cls, storage_type, serialized):
        return cls()


def arrow_id_forms(ids):
    """Arrow columns of ids: every accepted type, slices (an offset in the
    buffers), chunks (an empty one among them) and record batches of one
    column."""
    k = len(ids) // 2
    fixed = lambda: pa.array(ids, pa.binary(16))  # noqa: E731
    return {
        "arrow fixed_size_binary(16)": fixed,
        "arrow fixed_size_binary(16) sliced": lambda: pa.array([b"-" * 16] + ids + [b"+" * 16], pa.binary(16))[1:-1],
        "arrow uuid extension": lambda: pa.ExtensionArray.from_storage(UuidType(), fixed()),
        "arrow binary sliced": lambda: pa.array([b"x"] + ids, pa.binary())[1:],
        "arrow large_binary chunks": lambda: pa.chunked_array([ids[:k], [], ids[k:]], pa.large_binary()),
        "arrow binary_view": lambda: pa.array(ids, pa.binary_view()),
        "arrow table column": lambda: pa.Table.from_batches(
            [pa.record_batch([fixed()[:k]], ["id"]), pa.record_batch([fixed()[k:]], ["id"])]).column("id"),
        "arrow record batch of one column": lambda: pa.record_batch([fixed()], ["id"]),
        **({"polars Series": lambda: pl.Series(ids, dtype=pl.Binary)} if pl else {}),
    }


def weight_forms(weights):
    """name -> a fresh object holding one weight per edge."""
    forms = {
        "list": lambda: list(weights),
        "tuple": lambda: tuple(weights),
        "generator": lambda: (w for w in weights),
        "float32": lambda: np.array(weights, np.float32),
        "float64": lambda: np.array(weights, np.float64),
        "float64 strided": lambda: np.repeat(np.array(weights, np.float64), 2)[::2],
        "big-endian float32 (iterated)": lambda: np.array(weights, ">f4"),
        "array f": lambda: array.array("f", weights),
    }
    if all(float(w).is_integer() for w in weights):
        forms["int64 (iterated)"] = lambda: np.array(weights, np.int64)
    if pa:
        k = len(weights) // 2
        forms.update({
            "arrow float32": lambda: pa.array(np.array(weights, np.float32)),
            "arrow float64 chunks, sliced": lambda: pa.chunked_array(
                [pa.array([9.0] + weights[:k], pa.float64())[1:], pa.array(weights[k:], pa.float64())]),
        })
        if pl:
            forms["polars Float32"] = lambda: pl.Series(np.array(weights, np.float32))
    return forms


SCALAR_WEIGHTS = [0.5, 3, np.float32(0.1), np.float64(-2.5), np.int64(7), True, 1e39]


# The Arrow types of each attribute's columns, every accepted one among them.
ARROW_TYPES = {"label": ("utf8", "string_view"), "url": ("large_utf8",), "size": ("float32", "float64"),
               "red": ("uint8", "int16", "uint64"), "green": ("int64", "uint32"), "blue": ("uint16", "int32"),
               "show_label": ("bool_",)}


def arrow_column_forms(key, values):
    """Arrow columns of `values`, None a null: each of the key's types, a
    sliced one in chunks, and a polars Series."""
    convert = {"label": str, "url": str, "size": float, "show_label": bool}.get(key, int)
    plain = [None if v is None else convert(v) for v in values]
    forms = {"arrow " + t: (lambda t=t: pa.array(plain, getattr(pa, t)())) for t in ARROW_TYPES[key]}
    first = getattr(pa, ARROW_TYPES[key][0])()
    k = len(plain) // 2
    forms["arrow chunks, sliced"] = lambda: pa.chunked_array([pa.array([None] + plain[:k], first)[1:],
                                                              pa.array(plain[k:], first)])
    if pl:
        forms["polars Series"] = lambda: pl.from_arrow(pa.array(plain, first))
    return forms


def column_forms(key, values):
    """name -> a fresh column of `values` (None: attribute left out)."""
    forms = {"list": lambda: list(values), "tuple": lambda: tuple(values), "generator": lambda: iter(values)}
    if pa:
        forms.update(arrow_column_forms(key, values))
    if None in values:
        return forms
    if key == "size":
        def float32():
            with np.errstate(over="ignore"):  # 1e39 is inf in float32, as in the single call
                return np.array(values, np.float32)
        forms.update({"float32": float32, "float64": lambda: np.array(values)})
    elif key in ("red", "green", "blue"):
        forms.update({"uint8": lambda: np.array(values, np.uint8), "int64": lambda: np.array(values, np.int64),
                      "uint16": lambda: np.array(values, np.uint16), "int32": lambda: np.array(values, np.int32),
                      "int16 strided": lambda: np.repeat(np.array(values, np.int16), 3)[::3],
                      "array B": lambda: array.array("B", values),
                      "float64 items (iterated)": lambda: [int(v) for v in values]})
    elif key == "show_label":
        forms["bool"] = lambda: np.array(values, np.bool_)
        # Iterated, numpy's booleans convert as the single method converts
        # them: only numpy 1 names their type "numpy.bool_", which is taken.
        if "%s.%s" % (np.bool_.__module__, np.bool_.__name__) == "numpy.bool_":
            forms["numpy bool items"] = lambda: list(np.array(values))
    return forms


# ------------------------------------------------------------ random diffs

def random_history(rng, d):
    """A few operations of every kind, so that batches meet deleted nodes,
    deleted edges, pending updates and empty source groups."""
    for _ in range(rng.randrange(30)):
        a, b = rng.choice(POOL), rng.choice(POOL)
        r = rng.random()
        if r < 0.2:
            d.delete_node(a)
        elif r < 0.4:
            d.delete_edge(a, b)
        elif r < 0.6:
            d.add_node(a, random_update(rng))
        else:
            d.add_edge(a, b, rng.choice([0.5, -1.0, 2.25]))


def random_update(rng):
    update = {}
    for key, values in (("label", ["", "a", "日本", Text("sub"), "x" * 40, "y" * 300]), ("url", ["u", "http://x/"]),
                        ("size", [0.1, 2, float("inf")]), ("red", [0, 255, 7]), ("green", [1]), ("blue", [9]),
                        ("show_label", [True, False])):
        if rng.random() < 0.4:
            update[key] = rng.choice(values)
    return update


def random_ids(rng, n, runs):
    ids = []
    for _ in range(n):
        ids.append(ids[-1] if runs and ids and rng.random() < 0.7 else rng.choice(POOL))
    return ids


def twins(seed):
    """Two diffs with the same random history, and the rng to go on with."""
    rng = random.Random(seed)
    history = random.Random(seed * 7919)
    loop, batch = PyGraphDiff(), PyGraphDiff()
    state = history.getstate()
    random_history(history, loop)
    history.setstate(state)
    random_history(history, batch)
    assert snapshot(loop) == snapshot(batch)
    return rng, loop, batch


SEEDS = range(12)


@pytest.mark.parametrize("seed", SEEDS)
def test_add_edges_is_the_loop_of_add_edge(seed):
    probe_rng = random.Random(seed)
    n = probe_rng.randrange(0, 25)
    for from_form in id_forms([POOL[0]] * n):
        for to_form in ("list", "bytes", "uint8 strided", "generator") if from_form != "list" else id_forms([]):
            rng, loop, batch = twins(seed)
            frm, to = random_ids(rng, n, True), random_ids(rng, n, False)
            weights = [rng.choice([0.5, 0.1, -3.0, 2] if rng.random() < 0.7 else [1, -3]) for _ in range(n)]
            for a, b, w in zip(frm, to, weights):
                loop.add_edge(a, b, w)
            wname = rng.choice(sorted(weight_forms(weights)))
            batch.add_edges(id_forms(frm)[from_form](), id_forms(to)[to_form](), weight_forms(weights)[wname]())
            assert snapshot(batch) == snapshot(loop), (from_form, to_form, wname)


@pytest.mark.parametrize("weight", SCALAR_WEIGHTS, ids=repr)
def test_add_edges_with_one_weight_for_all(weight):
    for seed in SEEDS:
        rng, loop, batch = twins(seed)
        frm, to = random_ids(rng, 15, True), random_ids(rng, 15, False)
        for a, b in zip(frm, to):
            loop.add_edge(a, b, weight)
        batch.add_edges(frm, to, weight)
        assert snapshot(batch) == snapshot(loop)


@pytest.mark.parametrize("seed", SEEDS)
def test_delete_edges_is_the_loop_of_delete_edge(seed):
    for form in id_forms([]):
        rng, loop, batch = twins(seed)
        n = rng.randrange(0, 20)
        frm, to = random_ids(rng, n, True), random_ids(rng, n, False)
        for a, b in zip(frm, to):
            loop.delete_edge(a, b)
        batch.delete_edges(id_forms(frm)[form](), id_forms(to)[form]())
        assert snapshot(batch) == snapshot(loop), form


@pytest.mark.parametrize("seed", SEEDS)
def test_delete_nodes_is_the_loop_of_delete_node(seed):
    """The same contents and the same order, but for the order of the
    deleted edges, which the batch records in one pass."""
    for form in id_forms([]):
        rng, loop, batch = twins(seed)
        for _ in range(rng.randrange(40)):  # more edges into the nodes deleted
            a, b = rng.choice(POOL), rng.choice(POOL)
            loop.add_edge(a, b, 1.0)
            batch.add_edge(a, b, 1.0)
        ids = random_ids(rng, rng.randrange(0, 10), False)
        for i in ids:
            loop.delete_node(i)
        batch.delete_nodes(id_forms(ids)[form]())
        assert normalized(batch) == normalized(loop), form
        got, want = snapshot(batch), snapshot(loop)
        assert (got[0], got[1], got[2]) == (want[0], want[1], want[2]), form
        assert PyGraphDiff.from_bytes(batch.to_bytes()).deleted_edges().keys() == batch.deleted_edges().keys()


@pytest.mark.parametrize("seed", SEEDS)
def test_add_nodes_with_updates_is_the_loop_of_add_node(seed):
    for form in ("list", "tuple", "generator", "bytes", "uint8 strided"):
        rng, loop, batch = twins(seed)
        ids = random_ids(rng, rng.randrange(0, 15), False)
        updates = [random_update(rng) for _ in ids]
        for i, u in zip(ids, updates):
            loop.add_node(i, u)
        batch.add_nodes(id_forms(ids)[form](), (u for u in updates) if seed % 2 else updates)
        assert snapshot(batch) == snapshot(loop), form


class Text(str):
    """A str subclass: its items take the general path amid plain ones."""


COLUMN_VALUES = {
    "label": ["", "a", "日本", "é", Text("sub"), "x" * 40, "\x00 nul", "z" * 256],
    "url": ["u", "http://x/"],
    "size": [0.1, 2.0, -1.5, float("inf"), 1e39, np.float32(2.5)],
    "red": [0, 255, 7, True, np.uint8(9)],
    "green": [1, 128],
    "blue": [9, 200],
    "show_label": [True, False],
}


@pytest.mark.parametrize("seed", SEEDS)
def test_add_nodes_with_columns_is_the_loop_of_add_node(seed):
    rng, loop, batch = twins(seed)
    ids = random_ids(rng, rng.randrange(1, 15), False)
    columns = {}
    for key, choices in COLUMN_VALUES.items():
        if rng.random() < 0.7:
            with_none = rng.random() < 0.4
            columns[key] = [None if with_none and rng.random() < 0.3 else rng.choice(choices) for _ in ids]
    for k, i in enumerate(ids):
        loop.add_node(i, {key: v[k] for key, v in columns.items() if v[k] is not None})
    given = {}
    for key, values in columns.items():
        forms = column_forms(key, values)
        given[key] = forms[rng.choice(sorted(forms))]()
    batch.add_nodes(rng.choice([list(ids), b"".join(ids)]), **given)
    assert snapshot(batch) == snapshot(loop), sorted(given)


def test_add_nodes_column_forms_one_by_one():
    ids = POOL[:4]
    for key, choices in COLUMN_VALUES.items():
        values = [choices[k % len(choices)] for k in range(4)]
        loop = PyGraphDiff()
        for i, v in zip(ids, values):
            loop.add_node(i, {key: v})
        for name, make in column_forms(key, values).items():
            batch = PyGraphDiff()
            batch.add_nodes(ids, **{key: make()})
            assert snapshot(batch) == snapshot(loop), (key, name)


def test_add_nodes_without_columns_gives_empty_updates(d):
    d.add_nodes(POOL[:3])
    d.add_nodes(POOL[:2], None, label=None)
    loop = PyGraphDiff()
    for i in POOL[:3]:
        loop.add_node(i, {})
    assert snapshot(d) == snapshot(loop)


def test_empty_batches_change_nothing(d):
    d.add_edge(POOL[0], POOL[1], 1.0)
    before = snapshot(d)
    for empty in ([], (), b"", np.zeros((0, 16), np.uint8), iter([])):
        d.add_edges(empty, [], 1.0)
        d.delete_edges([], empty)
        d.add_nodes(empty, label=[])
        d.delete_nodes(empty)
    assert snapshot(d) == before


def test_bytes_of_ids_read_in_c_order():
    """A Fortran-ordered (16, n) array holds the ids down its columns; its
    bytes in C order are what counts, as for any other buffer."""
    ids = POOL[:3]
    grid = np.frombuffer(b"".join(ids), np.uint8).reshape(3, 16)
    d = PyGraphDiff()
    d.delete_nodes(np.asfortranarray(grid))
    assert d.deleted_nodes() == PyGraphDiff.from_bytes(_deleted(ids)).deleted_nodes()
    transposed = PyGraphDiff()
    transposed.delete_nodes(np.asfortranarray(grid.T))  # C order of the transpose: other bytes
    assert transposed.num_nodes() == 3 and transposed.deleted_nodes() != d.deleted_nodes()


def test_large_buffers_read_in_c_order():
    """A buffer is copied a block of its first dimension at a time: every
    layout gives its bytes in C order, across blocks too."""
    n = 10000
    grid = np.random.default_rng(5).integers(0, 256, (n, 16), np.uint8)
    wide = np.zeros((n, 32), np.uint8)
    wide[:, ::2] = grid
    layouts = [grid, wide[:, ::2], grid[::-1], np.asfortranarray(grid), np.asfortranarray(grid.T),
               grid.reshape(n, 4, 4)[:, ::-1, ::2].copy(order="F"), grid.reshape(n // 2, 2, 16)[:, ::-1]]
    for k, layout in enumerate(layouts):
        d = PyGraphDiff()
        d.delete_nodes(layout)
        assert d.deleted_nodes_ids() == np.ascontiguousarray(layout).tobytes(), k


def _deleted(ids):
    d = PyGraphDiff()
    for i in ids:
        d.delete_node(i)
    return d.to_bytes()


# ------------------------------------------------------------------ refusals

A, B, C = POOL[0], POOL[1], POOL[2]


class FloatRaising:
    def __float__(self):
        raise ValueError("no float here")


class OwnError(Exception):
    pass


class FloatRaisingOwn:
    def __float__(self):
        raise OwnError("mine")


class Stated:
    """A column that states its length (or whose len() raises that error),
    with the items given; with none, it must not be read."""

    def __init__(self, length, items=None):
        self.length, self.items = length, items

    def __len__(self):
        if isinstance(self.length, BaseException):
            raise self.length
        return self.length

    def __iter__(self):
        assert self.items is not None, "read"
        return iter(self.items)


def ids_repeated(rows):
    """`rows` rows of ids, every one the 16 bytes of the same row."""
    return np.lib.stride_tricks.as_strided(np.frombuffer(A, np.uint8), (rows, 16), (0, 1))


def failing_iterator():
    yield A
    raise ValueError("iterator broke")


REFUSALS = [
    # (call, exception type, message, type of the cause or None)
    (lambda d: d.add_edges([A, B], [A], 1.0), ValueError, "argument 'to' has 1 item but argument 'from' has 2", None),
    (lambda d: d.add_edges([A], [A], [1.0, 2.0]), ValueError, "argument 'weight' has 2 items but argument 'from' has 1",
     None),
    (lambda d: d.add_edges(b"", [], np.zeros(3, np.float32)), ValueError,
     "argument 'weight' has 3 items but argument 'from' has 0", None),
    (lambda d: d.delete_edges([A], [A, B, C]), ValueError, "argument 'to' has 3 items but argument 'from' has 1", None),
    (lambda d: d.add_edges([A, B, C, b"short"], [A] * 4, 1.0), TypeError,
     "argument 'from': item 3: " + UUID_FIELD, Exception),
    (lambda d: d.add_edges([A] * 4, (x for x in [A, B, C, "text"]), 1.0), TypeError,
     "argument 'to': item 3: " + UUID_FIELD, TypeError),
    (lambda d: d.delete_nodes(b"x" * 33), ValueError, "argument 'ids': a buffer of 33 bytes does not hold whole 16-byte ids",
     None),
    (lambda d: d.delete_edges(np.zeros((2, 15), np.uint8), []), ValueError,
     "argument 'from': a buffer of 30 bytes does not hold whole 16-byte ids", None),
    (lambda d: d.delete_nodes(7), TypeError, "argument 'ids': 'int' object is not iterable", None),
    (lambda d: d.delete_nodes(None), TypeError, "argument 'ids': 'NoneType' object is not iterable", None),
    (lambda d: d.delete_nodes("a" * 16), TypeError, "argument 'ids': item 0: " + UUID_FIELD, TypeError),
    # records holding objects are no bytes of ids
    (lambda d: d.delete_nodes(np.array([(A, B)], [("a", "O"), ("b", "O")])), TypeError,
     "argument 'ids': item 0: " + UUID_FIELD, TypeError),
    (lambda d: d.delete_nodes(failing_iterator()), ValueError, "iterator broke", None),
    (lambda d: d.add_edges([A, B], [A, B], [1.0, "x"]), TypeError,
     "argument 'weight': item 1: must be real number, not str", None),
    (lambda d: d.add_edges([A], [A], None), TypeError, "argument 'weight': must be real number, not NoneType", None),
    (lambda d: d.add_edges([A], [A], [FloatRaising()]), ValueError, "argument 'weight': item 0: no float here", None),
    (lambda d: d.add_edges([A], [A], FloatRaising()), ValueError, "no float here", None),
    (lambda d: d.add_edges([A], [A], [FloatRaisingOwn()]), OwnError, "mine", None),
    (lambda d: d.add_nodes([A], [{}], label=["x"]), TypeError,
     "PyGraphDiff.add_nodes() takes either 'updates' or attribute columns, but 'updates' and 'label' were given", None),
    (lambda d: d.add_nodes([A, B], [{}], show_label=None), ValueError,
     "argument 'updates' has 1 item but argument 'ids' has 2", None),
    (lambda d: d.add_nodes([A, B, C], [{}, {}, []]), TypeError,
     "argument 'updates': item 2: 'list' object cannot be converted to 'PyDict'", None),
    (lambda d: d.add_nodes([A, B], [{"label": "x"}, {"label": None}]), TypeError,
     "argument 'updates': item 1: 'NoneType' object cannot be converted to 'PyString'", None),
    (lambda d: d.add_nodes([A, B], [{}, {"red": 256}]), OverflowError, "argument 'updates': item 1: " + OUT_OF_RANGE,
     None),
    (lambda d: d.add_nodes([A, B], label=["x", 5]), TypeError,
     "argument 'label': item 1: 'int' object cannot be converted to 'PyString'", None),
    # a UnicodeEncodeError is made of its parts (these are its args): the
    # prefix goes in front of its reason
    (lambda d: d.add_nodes([A, B], url=["\ud800", "x"]), UnicodeEncodeError,
     ("utf-8", "\ud800", 0, 1, "argument 'url': item 0: surrogates not allowed"), None),
    (lambda d: d.add_nodes([A, B], label=iter(["x", "ab\udfff\ud800"])), UnicodeEncodeError,
     ("utf-8", "ab\udfff\ud800", 2, 4, "argument 'label': item 1: surrogates not allowed"), None),
    (lambda d: d.add_nodes([A, B], [{}, {"url": "a", "label": "\ud800b"}]), UnicodeEncodeError,
     ("utf-8", "\ud800b", 0, 1, "argument 'updates': item 1: surrogates not allowed"), None),
    (lambda d: d.add_nodes([A, B], size=["1", 2]), TypeError, "argument 'size': item 0: must be real number, not str",
     None),
    (lambda d: d.add_nodes([A, B, C], red=[1, None, 256]), OverflowError, "argument 'red': item 2: " + OUT_OF_RANGE, None),
    (lambda d: d.add_nodes([A, B, C], green=np.array([1, -1, 3])), OverflowError,
     "argument 'green': item 1: " + OUT_OF_RANGE, None),
    (lambda d: d.add_nodes([A, B], red=np.array([3, -2], np.int8)), OverflowError,
     "argument 'red': item 1: " + OUT_OF_RANGE, None),
    (lambda d: d.add_nodes([A, B], red=np.array([255, 256], np.uint16)), OverflowError,
     "argument 'red': item 1: " + OUT_OF_RANGE, None),
    (lambda d: d.add_nodes([A], blue=np.array([2 ** 64 - 1], np.uint64)), OverflowError,
     "argument 'blue': item 0: Python int too large to convert to C long", None),
    (lambda d: d.add_nodes([A], blue=[2.0]), TypeError,
     "argument 'blue': item 0: 'float' object cannot be interpreted as an integer", None),
    (lambda d: d.add_nodes([A], red=np.array([1.0])), TypeError,
     "argument 'red': item 0: 'numpy.float64' object cannot be interpreted as an integer", None),
    (lambda d: d.add_nodes([A, B], show_label=[True, 1]), TypeError,
     "argument 'show_label': item 1: 'int' object cannot be converted to 'PyBool'", None),
    (lambda d: d.add_nodes([A, B, C], size=np.zeros(2)), ValueError, "argument 'size' has 2 items but argument 'ids' has 3",
     None),
    # lengths are compared as soon as they are known: an iterable is read
    # no further than one item past the count (endless ones end too), a
    # column that states its length is refused before its items are read
    (lambda d: d.add_nodes([A, B], label=iter(["a", "b", 3])), ValueError,
     "argument 'label' has more than 2 items but argument 'ids' has 2", None),
    (lambda d: d.add_nodes([A, B], label=itertools.repeat("x")), ValueError,
     "argument 'label' has more than 2 items but argument 'ids' has 2", None),
    (lambda d: d.add_nodes([A], itertools.repeat({})), ValueError,
     "argument 'updates' has more than 1 item but argument 'ids' has 1", None),
    (lambda d: d.add_edges(A, A, itertools.repeat(0.5)), ValueError,
     "argument 'weight' has more than 1 item but argument 'from' has 1", None),
    (lambda d: d.delete_edges(A + B, itertools.repeat(B)), ValueError,
     "argument 'to' has more than 2 items but argument 'from' has 2", None),
    (lambda d: d.add_edges(A, B, np.broadcast_to(1.0, (10 ** 18,))), ValueError,  # not 8 EB of weights
     "argument 'weight' has 1000000000000000000 items but argument 'from' has 1", None),
    (lambda d: d.add_edges(A, B, np.broadcast_to(1, (10 ** 9,))), ValueError,
     "argument 'weight' has 1000000000 items but argument 'from' has 1", None),
    (lambda d: d.add_nodes(A, red=np.broadcast_to(np.uint8(3), (10 ** 9,))), ValueError,
     "argument 'red' has 1000000000 items but argument 'ids' has 1", None),
    (lambda d: d.add_edges([A], Stated(3), 1.0), ValueError, "argument 'to' has 3 items but argument 'from' has 1", None),
    # as for list(), a TypeError of len() is no length; any other error is
    (lambda d: d.delete_edges([A, B], Stated(TypeError("no len"), [A, "x"])), TypeError,
     "argument 'to': item 1: " + UUID_FIELD, TypeError),
    (lambda d: d.delete_edges([A], Stated(ValueError("no len"), [A])), ValueError, "no len", None),
    (lambda d: d.add_nodes([A, B], label=["a"]), ValueError, "argument 'label' has 1 item but argument 'ids' has 2", None),
    (lambda d: d.add_nodes([A], label=5), TypeError, "argument 'label': 'int' object is not iterable", None),
    # a batch numbers its items with 32 bits: a first column of more is
    # refused before anything is copied (these are one row, 64 GB of ids)
    (lambda d: d.delete_nodes(ids_repeated(2 ** 32 - 1)), OverflowError,
     "argument 'ids': a batch holds at most 4294967294 items", None),
    (lambda d: d.add_nodes(ids_repeated(2 ** 32)), OverflowError,
     "argument 'ids': a batch holds at most 4294967294 items", None),
    (lambda d: d.add_edges(ids_repeated(2 ** 32), [A], 1.0), OverflowError,
     "argument 'from': a batch holds at most 4294967294 items", None),
    (lambda d: d.delete_edges(ids_repeated(2 ** 40), ids_repeated(2 ** 40)), OverflowError,
     "argument 'from': a batch holds at most 4294967294 items", None),
]


def utf8_column(*values):
    """A utf8 column of the bytes given, UTF-8 or not."""
    offsets = np.cumsum([0] + [len(v) for v in values]).astype(np.int32)
    return pa.Array.from_buffers(pa.utf8(), len(values), [None, pa.py_buffer(offsets.tobytes()),
                                                          pa.py_buffer(b"".join(values))])


def pyarrow_refusals():
    """Arrow columns fail as the other forms do: a null id or weight as None
    does in a list, a number out of range as the same Python int; an item
    is numbered from the column's start across its chunks."""
    expected_float = "expected an Arrow column of float32 or float64, not format "
    return [
        (lambda d: d.add_nodes([A], red=pa.array(["x"])), TypeError,
         "argument 'red': expected an Arrow column of any integer type, not format 'u'", None),
        (lambda d: d.add_nodes([A], label=pa.array(["a"]).dictionary_encode()), TypeError,
         "argument 'label': expected an Arrow column of utf8, large_utf8 or string_view, not format 'i' "
         "(dictionary-encoded 'u')", None),
        (lambda d: d.add_nodes([A], size=pa.array(np.ones(1, np.float16))), TypeError,
         "argument 'size': " + expected_float + "'e'", None),
        (lambda d: d.add_edges([A], [A], pa.array([1], pa.int32())), TypeError,
         "argument 'weight': " + expected_float + "'i'", None),
        (lambda d: d.add_nodes([A], show_label=pa.array([1], pa.uint8())), TypeError,
         "argument 'show_label': expected an Arrow column of bool, not format 'C'", None),
        (lambda d: d.delete_nodes(pa.array([A[:8]], pa.binary(8))), TypeError,
         "argument 'ids': expected an Arrow column of fixed_size_binary(16), binary, large_binary or binary_view, "
         "not format 'w:8'", None),
        (lambda d: d.delete_edges(pa.record_batch([pa.array([A]), pa.array([B])], ["from", "to"]), [B]), TypeError,
         "argument 'from': expected an Arrow column of fixed_size_binary(16), binary, large_binary or binary_view, "
         "not format '+s' (a record batch of 2 columns)", None),
        (lambda d: d.delete_nodes(pa.StructArray.from_arrays([pa.array([A, B])], ["id"], mask=pa.array([False, True]))),
         ValueError, "argument 'ids': an Arrow record batch with null rows, where a column is expected", None),
        (lambda d: d.delete_nodes(pa.array([A, None], pa.binary(16))), TypeError,
         "argument 'ids': item 1: " + UUID_FIELD, TypeError),
        (lambda d: d.add_edges([A, B, C], pa.chunked_array([[A], [B, A[:15]]], pa.binary()), 1.0), TypeError,
         "argument 'to': item 2: " + UUID_FIELD, Exception),
        (lambda d: d.add_edges([A, B], [A, B], pa.array([1.0, None], pa.float32())), TypeError,
         "argument 'weight': item 1: must be real number, not NoneType", None),
        (lambda d: d.add_nodes([A, B, C], red=pa.chunked_array([[1], [2, 300]], pa.uint16())), OverflowError,
         "argument 'red': item 2: " + OUT_OF_RANGE, None),
        (lambda d: d.add_nodes([A, B], green=pa.array([3, -2], pa.int8())), OverflowError,
         "argument 'green': item 1: " + OUT_OF_RANGE, None),
        (lambda d: d.add_nodes([A], blue=pa.array([2 ** 64 - 1], pa.uint64())), OverflowError,
         "argument 'blue': item 0: Python int too large to convert to C long", None),
        # text that is not UTF-8: the interpreter's decoding error of its
        # bytes (these are its args), the prefix in front of its reason
        (lambda d: d.add_nodes([A, B], label=utf8_column(b"ok", b"a\xffb")), UnicodeDecodeError,
         ("utf-8", b"a\xffb", 1, 2, "argument 'label': item 1: invalid start byte"), None),
        (lambda d: d.add_nodes([A], url=utf8_column(b"\xe6\x97x")), UnicodeDecodeError,
         ("utf-8", b"\xe6\x97x", 0, 2, "argument 'url': item 0: invalid continuation byte"), None),
        (lambda d: d.add_nodes([A], label=utf8_column(b"x\xe6\x97")), UnicodeDecodeError,
         ("utf-8", b"x\xe6\x97", 1, 3, "argument 'label': item 0: unexpected end of data"), None),
        (lambda d: d.add_nodes([A, B], label=pa.array(["a", "b", "c"])), ValueError,
         "argument 'label' has 3 items but argument 'ids' has 2", None),
        (lambda d: d.add_edges(pa.array([A, B], pa.binary(16)), pa.chunked_array([[A]], pa.binary(16)), 1.0), ValueError,
         "argument 'to' has 1 item but argument 'from' has 2", None),
    ]


if pa:
    REFUSALS += pyarrow_refusals()


@pytest.mark.parametrize("k", range(len(REFUSALS)))
def test_refusals_leave_the_diff_unchanged(k):
    call, exc_type, message, cause = REFUSALS[k]
    d = PyGraphDiff()
    d.add_node(A, {"label": "keep"})
    d.add_edge(A, B, 0.5)
    d.delete_edge(B, C)
    before = snapshot(d)
    with pytest.raises(BaseException) as info:
        call(d)
    if isinstance(message, tuple):
        e = info.value
        assert type(e) is exc_type and e.args == message
        assert (e.encoding, e.object, e.start, e.end, e.reason) == message
    else:
        check_exc(info, exc_type, message)
    assert type(info.value.__cause__) is type(None) if cause is None else cause
    if cause is Exception:
        check_exc(info.value.__cause__, Exception, EXPECTED_16)
    assert snapshot(d) == before
    d.add_edges([B], [C], 1.0)  # not left borrowed


# ------------------------------------------------------------ interruption

# A child process sends itself SIGINT while a batch reads an argument, from C
# code alone (os.kill called through map and zip), so that no Python code
# runs afterwards that would handle the signal for the batch: only the
# batch's own checks can stop it before the diff changes.
INTERRUPTED = r"""
import functools, itertools, json, operator, os, signal
import numpy as np
from quorl_api import PyGraphDiff

signal.signal(signal.SIGINT, signal.default_int_handler)
A, B, C = (bytes([k]) * 16 for k in (1, 2, 3))
N = 20000

def killing(items, at):
    kill = functools.partial(os.kill, os.getpid())
    signals = map(kill, itertools.chain(itertools.repeat(0, at), [signal.SIGINT], itertools.repeat(0)))
    return map(operator.itemgetter(0), zip(items, signals))

CASES = {
    # the signal comes partway through a long argument...
    "ids iterated": lambda d: d.delete_nodes(killing(itertools.repeat(C, N), 5000)),
    "column iterated": lambda d: d.add_nodes([C] * N, label=killing(itertools.repeat("x", N), 5000)),
    # ... or as the argument before ends, and the next one stops the batch
    "list of ids": lambda d: d.add_edges(killing([A, B, C], 2), [C, B, A], 1.0),
    "tuple of weights": lambda d: d.add_edges([A, B, C], killing([C, B, A], 2), (1.0, 2.0, 3.0)),
    "buffer of ids": lambda d: d.delete_edges(killing([A, B, C], 2), C + B + A),
    "float32 weights": lambda d: d.add_edges([A, B, C], killing([C, B, A], 2), np.ones(3, np.float32)),
    "updates": lambda d: d.add_nodes(killing([A, B, C], 2), [{"red": 1}] * 3),
    "float64 sizes": lambda d: d.add_nodes(killing([A, B, C], 2), size=np.ones(3)),
}
# Arrow ids (a diff's table of one column, no Arrow library needed), read
# in place from the table's array, or from its stream.
targets = PyGraphDiff()
targets.delete_nodes([C, B, A])

class StreamOnly:
    def __arrow_c_stream__(self, requested_schema=None):
        return targets.deleted_nodes_table().__arrow_c_stream__()

CASES["Arrow ids"] = lambda d: d.add_edges(killing([A, B, C], 2), targets.deleted_nodes_table(), 1.0)
CASES["Arrow ids from a stream"] = lambda d: d.delete_edges(killing([A, B, C], 2), StreamOnly())
results = {}
for name, call in CASES.items():
    d = PyGraphDiff()
    d.add_edge(A, B, 0.5)
    d.add_node(C, {})
    before = d.to_bytes()
    try:
        call(d)
        outcome = "no interruption"
    except KeyboardInterrupt:
        outcome = "KeyboardInterrupt"  # raised by the batch, or right after it returned
    results[name] = [outcome, d.to_bytes() == before]
print(json.dumps(results))
"""


@pytest.mark.skipif(not hasattr(os, "kill") or sys.platform == "win32", reason="POSIX signals")
def test_ctrl_c_stops_a_batch_before_the_diff_changes():
    """Loops over a caller's items once ran to their end deaf to Ctrl-C: an
    endless iterable could not be stopped, and a long batch was applied
    before the interpreter raised KeyboardInterrupt after it."""
    results = json.loads(python_output(INTERRUPTED))
    assert results == {name: ["KeyboardInterrupt", True] for name in results}
    assert len(results) == 10


# ------------------------------------------------------- argument texts

def python_twins():
    """Python functions with the batch methods' signatures (no self): the
    interpreter's own texts, to which the class name is put in front."""
    def add_nodes(ids, updates=None, *, label=None, url=None, size=None, red=None, green=None, blue=None,
                  show_label=None):
        pass

    def delete_nodes(ids):
        pass

    def add_edges(frm, to, weight):
        pass
    return add_nodes, delete_nodes, add_edges


ARGUMENT_CALLS = [
    ("add_nodes", (1, 2, 3), {}),
    ("add_nodes", (1, 2, 3), {"label": 1}),
    ("add_nodes", (1, 2, 3, 4), {"url": 1, "size": 2}),
    ("add_nodes", (), {}),
    ("add_nodes", (), {"label": 1}),
    ("add_nodes", (1,), {"colour": 1}),
    ("add_nodes", (1,), {"ids": 1}),
    ("add_nodes", (1, 2), {"updates": 1}),
    ("delete_nodes", (1, 2), {}),
    ("delete_nodes", (), {"idz": 1}),
    ("add_edges", (1, 2, 3, 4), {}),
    ("add_edges", (1,), {}),
]


@pytest.mark.parametrize("name, args, kwargs", ARGUMENT_CALLS)
def test_argument_texts_are_the_interpreters(d, name, args, kwargs):
    twin = dict((f.__name__, f) for f in python_twins())[name]
    with pytest.raises(TypeError) as expected:
        twin(*args, **kwargs)
    # From CPython 3.10 on the interpreter names the function by its
    # qualified name, and from 3.13 on it suggests a near keyword.
    text = str(expected.value).replace(twin.__qualname__ + "(", twin.__name__ + "(", 1)
    text = re.sub(r"\. Did you mean '\w+'\?$", "", text)
    wanted = "PyGraphDiff." + text.replace("'frm'", "'from'")
    # A method whose parameters are all positional and required says
    # "arguments" for any count, as the single methods do.
    wanted = wanted.replace("takes 1 positional argument but", "takes 1 positional arguments but")
    before = snapshot(d)
    raises_exact(TypeError, wanted, getattr(d, name), *args, **kwargs)
    assert snapshot(d) == before


def test_argument_order_of_checks_kept(d):
    """Surplus positional arguments are reported before keywords, as for the
    single methods (the interpreter names the keyword first)."""
    raises_exact(TypeError, "PyGraphDiff.add_nodes() takes from 1 to 2 positional arguments but 3 were given",
                 d.add_nodes, 1, 2, 3, colour=1)


def test_keywords_and_from_by_unpacking(d):
    d.add_edges(**{"from": [A], "to": [B], "weight": [0.25]})
    d.delete_edges(**{"from": [B], "to": [A]})
    d.add_nodes(ids=[C], updates=[{"red": 1}])
    d.delete_nodes(ids=[B])
    assert d.new_or_updated_edges() == {} and d.num_nodes() == 2


# ----------------------------------------------------------- re-entrancy

def test_conversions_calling_back_meet_the_borrow_errors(d):
    met = []

    def attempt(call):
        try:
            call()
        except RuntimeError as e:
            met.append(str(e))

    class Weight:
        def __float__(self):
            attempt(lambda: d.num_nodes())
            attempt(lambda: d.add_edges([A], [A], 1.0))
            return 0.5

    def ids():
        attempt(lambda: d.to_bytes())
        attempt(lambda: d.delete_nodes([A]))
        yield A

    class Colour:
        def __index__(self):
            attempt(lambda: d.new_or_updated_nodes())
            return 3

    d.add_edges(ids(), [B], [Weight()])
    d.add_nodes(ids(), red=[Colour()])
    assert met == ["Already mutably borrowed", "Already borrowed"] * 3 + ["Already mutably borrowed"]
    assert d.new_or_updated_edges() == PyGraphDiff.from_bytes(d.to_bytes()).new_or_updated_edges()
    assert d.num_nodes() == 1 and d.num_edges() == 1


def test_call_backs_during_a_batch(d):
    d.add_edge(A, B, 1.0)
    before = snapshot(d)

    def ids():
        yield A
        raise KeyError("stop")

    with pytest.raises(KeyError):
        d.add_edges(ids(), [B], 2.0)

    class Mutating:
        def __float__(self):
            weights.clear()  # the list shrinks under the conversion
            return 0.5

    weights = [1.0, Mutating(), 3.0]
    with pytest.raises(ValueError, match="argument 'weight' has 2 items but argument 'from' has 3"):
        d.add_edges([A, B, C], [C, B, A], weights)

    class Growing:
        def __float__(self):
            weights.append(Growing())  # without end, were the list read to its end
            return 0.5

    weights = [Growing(), 0.25]
    with pytest.raises(ValueError, match="argument 'weight' has 3 items but argument 'from' has 2"):
        d.add_edges([A, B], [C, B], weights)
    assert snapshot(d) == before

    class Clearing:
        def __float__(self):
            updates.clear()  # the dicts ahead that were asked for go with the list
            return 0.5

    updates = [{"size": 1.0}, {"size": Clearing()}] + [{"size": 1.0, "label": "x"} for _ in range(30)]
    with pytest.raises(ValueError, match="argument 'updates' has 2 items but argument 'ids' has 32"):
        d.add_nodes([uid(("clearing", k)) for k in range(32)], updates)
    assert snapshot(d) == before

    class Replacing:
        def __float__(self):
            weights[2] = float("9.0")  # a fresh float, the list's only reference
            return 0.5

    # the later item is read as the list holds it then (plain items are read
    # without a reference of the batch's own)
    weights = [1.0, Replacing(), float("3.0")]
    batch, loop = PyGraphDiff(), PyGraphDiff()
    batch.add_edges([A, B, C], [C, B, A], weights)
    for a, b, w in ((A, C, 1.0), (B, B, 0.5), (C, A, 9.0)):
        loop.add_edge(a, b, w)
    assert snapshot(batch) == snapshot(loop)


def test_buffers_are_released():
    """A buffer's export ends with the call, on success and on failure: a
    bytearray can be resized afterwards."""
    d = PyGraphDiff()
    ok = bytearray(b"".join(POOL[:2]))
    bad = bytearray(b"x" * 20)
    d.delete_nodes(ok)
    with pytest.raises(ValueError):
        d.delete_nodes(bad)
    sizes = bytearray(np.array([1.0, 2.0]).tobytes())
    view = memoryview(sizes).cast("d")
    d.add_nodes(POOL[:2], size=view)
    with pytest.raises(ValueError):
        d.add_nodes(POOL[:3], size=view)
    view.release()
    for buffer in (ok, bad, sizes):
        buffer.extend(b"more")


# ------------------------------------------------------- out of memory

OUT_OF_MEMORY = r"""
import hashlib, os, resource, sys
from quorl_api import PyGraphDiff

def state(d):
    return hashlib.sha256(d.to_bytes()).hexdigest(), d.num_edges(), sys.getsizeof(d)

n = 838860  # fills a table of sources with 2**20 index slots exactly
sources = os.urandom(16 * n)
d = PyGraphDiff()
d.add_edges(sources, os.urandom(16 * n), 1.0)
# 500 edges from pending sources, then 500 from new ones: the table of
# sources must grow partway through, by far more than the memory left.
frm = sources[:16 * 500] + os.urandom(16 * 500)
to = os.urandom(16 * 1000)
before = state(d)
with open("/proc/self/statm") as f:
    in_use = int(f.read().split()[0]) * os.sysconf("SC_PAGE_SIZE")
soft, hard = resource.getrlimit(resource.RLIMIT_AS)
resource.setrlimit(resource.RLIMIT_AS, (in_use + 40 * 2 ** 20, hard))
try:
    d.add_edges(frm, to, 9.0)
    outcome = "added"
except MemoryError:
    outcome = "MemoryError"
finally:
    resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
print(outcome, state(d) == before)
d.add_edges(frm, to, 9.0)
print(d.num_edges() == n + 500)
"""


@pytest.mark.slow  # caps the address space, which a sanitizer's runtime cannot live with
@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc/self/statm")
def test_a_batch_that_runs_out_of_memory_partway_changes_nothing():
    """Once, the 500 new weights were applied before the table of sources
    failed to grow, and the MemoryError left them in."""
    assert python_output(OUT_OF_MEMORY).split() == ["MemoryError", "True", "True"]
