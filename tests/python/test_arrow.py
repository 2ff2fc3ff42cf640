"""The diff's Arrow tables: what pyarrow, polars, duckdb and pandas read from
them, the snapshot each is, and the Arrow PyCapsule interface by hand (ctypes
consumers that move structs out of their capsules and release them, on other
threads and without the interpreter lock).

Skipped where pyarrow is missing, and polars' and duckdb's reading where
they are, unless QUORL_REQUIRE_ARROW names them (1 for all, as the 3.8
suite of scripts/test.sh does), where that fails.
Under the sanitizer run, a struct released twice or never shows as a double
free or a leak.
"""
import ctypes
import gc
import struct
import sys
import threading

import pytest

import quorl_api
from quorl_api import PyGraphDiff

from conftest import (NODE_COLUMNS, TABLE_METHODS, ArrowArray, ArrowArrayStream, ArrowSchema, capsule_name, check_exc,
                      check_tables, diff_bytes, import_arrow_library, move_out, raises_exact, release, struct_in, text,
                      uid, without_empty_sources)

pa, pl, duckdb = (import_arrow_library(name) for name in ("pyarrow", "polars", "duckdb"))
pd = import_arrow_library("pandas")  # left out of the sanitizer run
# The wheels' runs install pyarrow alone: polars and duckdb read the tables
# where they are installed.
pytestmark = pytest.mark.skipif(pa is None, reason="pyarrow is not installed")

PyDiffTable = quorl_api.PyDiffTable
A, B, C, D, E, F = (uid(("arrow", k)) for k in range(6))


def filled():
    d = PyGraphDiff()
    d.add_node(A, {"label": "a\u00e9\u65e5", "url": "http://u/", "size": 0.1, "red": 1, "green": 2, "blue": 255,
                   "show_label": True})
    d.add_node(B, {})
    d.add_node(C, {"label": "", "size": float("nan"), "show_label": False})
    d.delete_node(D)
    d.add_edge(A, B, 0.5)
    d.add_edge(A, C, -2.0)
    d.add_edge(C, A, float("inf"))
    d.delete_edge(E, F)
    d.delete_edge(E, A)
    return d


def schema_of(kind):
    ids = pa.binary(16)
    if kind == "new_or_updated_nodes":
        return pa.schema([pa.field("id", ids, nullable=False), ("label", pa.utf8()), ("size", pa.float32()),
                          ("url", pa.utf8()), ("red", pa.uint8()), ("green", pa.uint8()), ("blue", pa.uint8()),
                          ("show_label", pa.bool_())])
    if kind == "deleted_nodes":
        return pa.schema([pa.field("id", ids, nullable=False)])
    fields = [pa.field("from", ids, nullable=False), pa.field("to", ids, nullable=False)]
    if kind == "new_or_updated_edges":
        fields.append(pa.field("weight", pa.float32(), nullable=False))
    return pa.schema(fields)


KINDS = [name[:-len("_table")] for name in TABLE_METHODS]


# ------------------------------------------------------------- the readers

def expected_rows(d, kind):
    """The rows of a table as tuples, made from the views."""
    if kind == "new_or_updated_nodes":
        return [tuple([bytes.fromhex(i.replace("-", ""))] + [a.get(c) for c in NODE_COLUMNS[1:]])
                for i, a in d.new_or_updated_nodes().items()]
    if kind == "deleted_nodes":
        return [(bytes.fromhex(i.replace("-", "")),) for i in d.deleted_nodes()]
    if kind == "new_or_updated_edges":
        return [(bytes.fromhex(s.replace("-", "")), bytes.fromhex(t.replace("-", "")), w)
                for s, ts in d.new_or_updated_edges().items() for t, w in ts.items()]
    return [(bytes.fromhex(s.replace("-", "")), bytes.fromhex(t.replace("-", "")))
            for s, ts in d.deleted_edges().items() for t in ts]


class StreamOnly:
    """A table seen through its stream alone."""

    def __init__(self, table):
        self.table = table

    def __arrow_c_stream__(self, requested_schema=None):
        return self.table.__arrow_c_stream__(requested_schema)


def polars_rows(frame):
    """The rows of a polars frame, binary values as bytes (polars gives
    some as lists of ints)."""
    return [tuple(bytes(v) if isinstance(v, list) else v for v in row) for row in frame.rows()]


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("make", [filled, PyGraphDiff], ids=["filled", "empty"])
def test_every_reader_gets_the_views(kind, make):
    """pyarrow, polars, a duckdb query naming the table and pandas (through
    pyarrow) read the views' rows in order, with the schema's types."""
    d = make()
    table = diff_table = getattr(d, kind + "_table")()
    expected = expected_rows(d, kind)
    read = pa.table(table)
    assert read.schema == schema_of(kind)
    assert pa.schema(table) == schema_of(kind)  # __arrow_c_schema__
    assert repr([tuple(r.values()) for r in read.to_pylist()]) == repr(expected)
    # polars 1.8 panics on an empty fixed_size_binary array, pyarrow's own
    # included, which it asks for first; it reads an empty stream
    if pl is not None:
        frame = pl.DataFrame(table if len(table) else StreamOnly(table))
        assert frame.columns == schema_of(kind).names
        assert repr(polars_rows(frame)) == repr(expected)
    if duckdb is not None:
        assert repr(duckdb.sql("SELECT * FROM diff_table").fetchall()) == repr(expected)
    assert len(expected) == len(table)
    if pd is not None:
        assert len(read.to_pandas()) == len(expected)
    check_tables(d)


def test_ids_are_plain_fixed_size_binary():
    """Not marked with Arrow's uuid extension type: polars 1.8 panics on a
    field that carries it."""
    for kind in KINDS:
        schema = pa.schema(getattr(PyGraphDiff(), kind + "_table")())
        for field in schema:
            assert field.metadata is None


def test_weights_keep_their_bits():
    bits = [0x3F000000, 0x80000000, 0x7FC12345, 0xFFC00001, 0x7F800001, 0x00000001, 0x7F7FFFFF]
    targets = [uid(("bits", k)) for k in range(len(bits))]
    d = PyGraphDiff.from_bytes(diff_bytes(edges=[(A, [(t, struct.pack("<I", b)) for t, b in zip(targets, bits)])]))
    weights = pa.table(d.new_or_updated_edges_table()).column("weight").to_numpy()
    assert weights.tobytes() == struct.pack("=%dI" % len(bits), *bits)


def test_a_snapshot_that_outlives_the_diff():
    d = filled()
    tables = {kind: getattr(d, kind + "_table")() for kind in KINDS}
    before = {kind: repr(pa.table(t).to_pylist()) for kind, t in tables.items()}  # repr: NaN equals itself
    d.clear()
    d.add_node(A, {"label": "changed"})
    d.add_edge(B, C, 9.0)
    assert {kind: repr(pa.table(t).to_pylist()) for kind, t in tables.items()} == before
    del d
    gc.collect()
    assert {kind: repr(pa.table(t).to_pylist()) for kind, t in tables.items()} == before
    # an export outlives its table
    nodes = tables.pop("new_or_updated_nodes")
    schema, array = nodes.__arrow_c_array__()
    stream = nodes.__arrow_c_stream__()
    del nodes, tables
    gc.collect()
    assert repr(pa.RecordBatch._import_from_c_capsule(schema, array).to_pylist()) == before["new_or_updated_nodes"]
    assert repr(pa.RecordBatchReader._import_from_c_capsule(stream).read_all().to_pylist()) == before[
        "new_or_updated_nodes"]


def test_the_round_trip_but_for_sources_left_without_pending_edges():
    """The tables back into an empty diff through the batch methods make the
    same diff (check_tables, in every randomised model test), but for a
    source whose pending edges delete_node took: num_edges counts it, no
    row carries it. A table of one column goes back as it is."""
    d = filled()
    d.add_edge(B, F, 1.0)
    d.delete_node(F)  # B is left with no pending edge
    check_tables(d)
    rebuilt = PyGraphDiff()
    rebuilt.delete_nodes(d.deleted_nodes_table())
    gone, nodes, edges = (pa.table(t) for t in (d.deleted_edges_table(), d.new_or_updated_nodes_table(),
                                                d.new_or_updated_edges_table()))
    rebuilt.delete_edges(gone["from"], gone["to"])
    rebuilt.add_nodes(nodes["id"], **{c: nodes[c] for c in NODE_COLUMNS[1:]})
    rebuilt.add_edges(*edges.columns)
    assert rebuilt.to_bytes() == without_empty_sources(d.to_bytes()) != d.to_bytes()
    assert (rebuilt.num_edges(), d.num_edges()) == (4, 5)


def test_requested_schema_is_best_effort():
    table = filled().new_or_updated_edges_table()
    own = pa.schema(table)
    for requested in (None, own.__arrow_c_schema__(), pa.schema([("x", pa.int64())]).__arrow_c_schema__()):
        schema, array = table.__arrow_c_array__(requested)
        assert pa.RecordBatch._import_from_c_capsule(schema, array).schema == own
        stream = table.__arrow_c_stream__(requested_schema=requested)
        assert pa.RecordBatchReader._import_from_c_capsule(stream).schema == own
    assert pa.table(table, schema=own).schema == own  # pyarrow passes its request
    prefix = "PyDiffTable.%s() argument 'requested_schema': expected None or a PyCapsule named 'arrow_schema', not "
    for method in (table.__arrow_c_array__, table.__arrow_c_stream__):
        name = method.__name__
        raises_exact(TypeError, prefix % name + "'int' object", method, 1)
        raises_exact(TypeError, prefix % name + "a PyCapsule named 'arrow_array'", method,
                     table.__arrow_c_array__()[1])
        raises_exact(TypeError, "PyDiffTable.%s() takes from 0 to 1 positional arguments but 2 were given" % name,
                     method, None, None)
        raises_exact(TypeError, "PyDiffTable.%s() got an unexpected keyword argument 'schema'" % name,
                     method, schema=None)


def test_the_type():
    table = filled().new_or_updated_edges_table()
    assert type(table) is PyDiffTable
    assert (PyDiffTable.__module__, PyDiffTable.__name__, PyDiffTable.__qualname__) == (
        "quorl_api", "PyDiffTable", "PyDiffTable")
    assert "PyDiffTable" not in quorl_api.__all__
    assert not hasattr(__builtins__ if isinstance(__builtins__, dict) else vars(__builtins__), "PyDiffTable")
    raises_exact(TypeError, "cannot create 'quorl_api.PyDiffTable' instances", PyDiffTable)
    with pytest.raises(TypeError):
        type("Sub", (PyDiffTable,), {})
    with pytest.raises(TypeError):
        import pickle
        pickle.dumps(table)
    assert (len(table), repr(table)) == (3, "<PyDiffTable new_or_updated_edges: 3 rows>")
    assert repr(filled().deleted_nodes_table()) == "<PyDiffTable deleted_nodes: 1 row>"
    assert repr(PyGraphDiff().new_or_updated_nodes_table()) == "<PyDiffTable new_or_updated_nodes: 0 rows>"
    assert PyDiffTable.__arrow_c_array__.__text_signature__ == "($self, requested_schema=None)"
    assert PyDiffTable.__arrow_c_stream__.__text_signature__ == "($self, requested_schema=None)"
    assert PyDiffTable.__arrow_c_schema__.__text_signature__ == "($self)"


# ---------------------------------------------------------- the structs by hand

def test_capsules_hold_the_interface_structs():
    table = filled().new_or_updated_nodes_table()
    schema_capsule, array_capsule = table.__arrow_c_array__()
    stream_capsule = table.__arrow_c_stream__()
    names = [capsule_name(c) for c in (table.__arrow_c_schema__(), schema_capsule, array_capsule, stream_capsule)]
    assert names == [b"arrow_schema", b"arrow_schema", b"arrow_array", b"arrow_array_stream"]
    schema = struct_in(schema_capsule, ArrowSchema)
    assert (schema.format, schema.n_children) == (b"+s", len(NODE_COLUMNS))
    children = [schema.children[i].contents for i in range(schema.n_children)]
    assert [(c.name.decode(), c.format, c.flags) for c in children] == [
        ("id", b"w:16", 0), ("label", b"u", 2), ("size", b"f", 2), ("url", b"u", 2), ("red", b"C", 2),
        ("green", b"C", 2), ("blue", b"C", 2), ("show_label", b"b", 2)]
    array = struct_in(array_capsule, ArrowArray)
    assert (array.length, array.null_count, array.n_buffers, array.n_children) == (3, 0, 1, len(NODE_COLUMNS))
    columns = [array.children[i].contents for i in range(array.n_children)]
    # null counts; an all-null column (green is set only on A) still has every buffer
    assert [c.null_count for c in columns] == [0, 1, 1, 2, 2, 2, 2, 1]
    assert [c.n_buffers for c in columns] == [2, 3, 2, 3, 2, 2, 2, 2]
    assert columns[0].buffers[0] is None  # ids: no validity bitmap
    assert ctypes.string_at(columns[0].buffers[1], 48) == A + B + C
    assert all(c.buffers[k] for c in columns[1:] for k in range(c.n_buffers))


def test_moved_out_structs_are_released_once_on_any_thread():
    """A consumer moves the structs out and releases them later, each from a
    thread of its own, without the interpreter lock; a child moved out of
    its array outlives the array, the table and the diff. Capsules left
    behind release nothing more."""
    gc.collect()
    type_refs = sys.getrefcount(PyDiffTable)
    d = filled()
    table = d.new_or_updated_edges_table()
    moved = []
    for _ in range(20):
        schema_capsule, array_capsule = table.__arrow_c_array__()
        moved.append(move_out(schema_capsule, ArrowSchema))
        moved.append(move_out(array_capsule, ArrowArray))
        moved.append(move_out(table.__arrow_c_stream__(), ArrowArrayStream))
    array = moved[1]
    child = ArrowArray.from_buffer_copy(array.children[1].contents)
    array.children[1].contents.release = None
    frm, to, _ = d.new_or_updated_edges_columns()
    del d, table
    gc.collect()
    threads = [threading.Thread(target=release, args=(m,)) for m in moved]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert all(m.release is None for m in moved)
    assert ctypes.string_at(child.buffers[1], 16 * child.length) == to
    release(child)
    assert sys.getrefcount(PyDiffTable) == type_refs


def test_stream_by_hand():
    """The schema, one batch, then the end; arrays outlive their stream."""
    d = filled()
    stream = move_out(d.deleted_edges_table().__arrow_c_stream__(), ArrowArrayStream)
    get_schema = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.POINTER(ArrowArrayStream), ctypes.POINTER(ArrowSchema))(
        stream.get_schema)
    get_next = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.POINTER(ArrowArrayStream), ctypes.POINTER(ArrowArray))(
        stream.get_next)
    schema, batch, end = ArrowSchema(), ArrowArray(), ArrowArray()
    assert get_schema(ctypes.byref(stream), ctypes.byref(schema)) == 0
    assert [schema.children[i].contents.name for i in range(schema.n_children)] == [b"from", b"to"]
    assert get_next(ctypes.byref(stream), ctypes.byref(batch)) == 0
    assert get_next(ctypes.byref(stream), ctypes.byref(end)) == 0
    assert (batch.length, end.release) == (2, None)
    release(stream)
    frm, to = d.deleted_edges_columns()
    assert ctypes.string_at(batch.children[0].contents.buffers[1], 32) == frm
    release(schema)
    release(batch)


# ------------------------------------------------------- more than one batch

set_limit = getattr(quorl_api, "_set_batch_text_limit", None)


@pytest.mark.skipif(set_limit is None, reason="module built without the test hooks (scripts/build.sh faults)")
def test_texts_beyond_a_batch_go_in_several():
    """With the limit of a text column's bytes in one record batch lowered
    from 2**31 - 1 to 10, the stream gives each batch within it, every
    reader gets the same rows, and there is no single array."""
    d = PyGraphDiff()
    labels = ["x" * (k % 7) for k in range(40)]
    for k, label in enumerate(labels):
        d.add_node(uid(("long", k)), {"label": label, "url": "u" * (k % 3)} if k % 4 else {"red": k})
    before = set_limit(10)
    try:
        table = d.new_or_updated_nodes_table()
        d.add_node(uid("too long"), {"url": "y" * 11})
        check_exc(pytest.raises(ValueError, d.new_or_updated_nodes_table),
                  ValueError, "node %s: its url of 11 bytes is longer than an Arrow record batch holds (10 bytes)"
                  % text(uid("too long")))
        assert set_limit(before) == 10
    finally:
        set_limit(before)
    batches = pa.RecordBatchReader._import_from_c_capsule(table.__arrow_c_stream__()).read_all().to_batches()
    assert len(batches) > 3
    for batch in batches:
        for column in ("label", "url"):
            assert sum(len(v or "") for v in batch.column(column).to_pylist()) <= 10
    d.delete_node(uid("too long"))
    expected = expected_rows(d, "new_or_updated_nodes")
    assert repr([tuple(r.values()) for r in pa.table(table).to_pylist()]) == repr(expected)
    diff_table = table
    if duckdb is not None:
        assert repr(duckdb.sql("SELECT * FROM diff_table").fetchall()) == repr(expected)
    # polars asks for the single array first, and is told to read the
    # stream; it reads only the first batch of a stream (polars 1.8), so it
    # goes through pyarrow
    several = ("the table's texts need %d Arrow record batches (a text column of one batch holds at most 10 "
               "bytes): read it as a stream, through __arrow_c_stream__" % len(batches))
    check_exc(pytest.raises(ValueError, table.__arrow_c_array__), ValueError, several)
    if pl is not None:
        check_exc(pytest.raises(ValueError, pl.DataFrame, table), ValueError, several)
        assert repr(polars_rows(pl.DataFrame(pa.table(table)))) == repr(expected)
