"""Arrow columns into the batch methods from producers made by hand: ctypes
structs in capsules, for what Arrow libraries never hand over (structs that
break the interface's rules, streams that fail, methods that return
something else) and for layouts they seldom do. Needs no Arrow library.

Whatever a producer gives, a refused call raises its error and leaves the
diff as it was; on every path each struct handed over is released exactly
once, by the module or by the capsule it stayed in.
"""
import ctypes
import errno
import itertools
import struct

import pytest

from quorl_api import PyGraphDiff

from conftest import ArrowArray, ArrowArrayStream, ArrowSchema, raises_exact, snapshot, uid

A, B, C = (uid(("producer", k)) for k in range(3))
IDS = A + B

RELEASE = {kind: ctypes.CFUNCTYPE(None, ctypes.POINTER(kind)) for kind in (ArrowSchema, ArrowArray, ArrowArrayStream)}
GET_SCHEMA = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.POINTER(ArrowArrayStream), ctypes.POINTER(ArrowSchema))
GET_NEXT = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.POINTER(ArrowArrayStream), ctypes.POINTER(ArrowArray))
GET_LAST_ERROR = ctypes.CFUNCTYPE(ctypes.c_void_p, ctypes.POINTER(ArrowArrayStream))
DESTROY_CAPSULE = ctypes.CFUNCTYPE(None, ctypes.c_void_p)
_new_capsule = ctypes.pythonapi.PyCapsule_New
_new_capsule.restype = ctypes.py_object
_new_capsule.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]


def i32(*values):
    return struct.pack("<%di" % len(values), *values)


def i64(*values):
    return struct.pack("<%dq" % len(values), *values)


def bitmap(*valid):
    return bytes(sum(1 << k for k, v in enumerate(valid[b:b + 8]) if v) for b in range(0, len(valid), 8))


def view(data, buffer=0, offset=0):
    """A binary view: the bytes inline, or a prefix and their place."""
    if len(data) <= 12:
        return i32(len(data)) + data.ljust(12, b"\0")
    return i32(len(data)) + data[:4] + i32(buffer, offset)


class ArrayExport:
    def __init__(self, make):
        self.make = make

    def __arrow_c_array__(self, requested_schema=None):
        return self.make()


class StreamExport:
    def __init__(self, make):
        self.make = make

    def __arrow_c_stream__(self, requested_schema=None):
        return self.make()


class Producer:
    """Makes Arrow structs, numbered by their private_data, and counts the
    releases of each (releasing one releases its children); keeps every
    buffer and callback alive as long as it lives."""

    def __init__(self):
        self.keep, self.parts, self.releases, self.handed = [], {}, {}, set()
        self.numbers = itertools.count(1)
        self.callbacks = {kind: RELEASE[kind](lambda p: self.released(p.contents)) for kind in RELEASE}

    def released(self, s):
        self.releases[s.private_data] += 1
        for part in self.parts[s.private_data]:
            if part.release:
                self.released(part)
        s.release = None

    def counted(self, s, parts=()):
        s.private_data = next(self.numbers)
        self.releases[s.private_data], self.parts[s.private_data] = 0, list(parts)
        s.release = ctypes.cast(self.callbacks[type(s)], ctypes.c_void_p)
        self.keep.append(s)
        return s

    def hand_over(self, s):
        self.handed.add(s.private_data)
        for part in self.parts[s.private_data]:
            self.hand_over(part)

    def schema(self, format, children=(), dictionary=None):
        s = ArrowSchema(format=format, n_children=len(children))
        if children:
            s.children = (ctypes.POINTER(ArrowSchema) * len(children))(*map(ctypes.pointer, children))
        if dictionary is not None:
            s.dictionary = ctypes.addressof(dictionary)
        return self.counted(s, list(children) + ([dictionary] if dictionary is not None else []))

    def array(self, length, buffers, offset=0, null_count=0, children=(), n_buffers=None):
        """buffers: bytes, or None for a NULL pointer; None for no list."""
        a = ArrowArray(length=length, null_count=null_count, offset=offset, n_children=len(children),
                       n_buffers=len(buffers or ()) if n_buffers is None else n_buffers)
        if buffers is not None:
            data = [None if b is None else ctypes.create_string_buffer(b, max(len(b), 1)) for b in buffers]
            self.keep.append(data)
            pointers = (ctypes.c_void_p * max(len(data), 1))(*[d and ctypes.addressof(d) for d in data])
            a.buffers = ctypes.cast(pointers, ctypes.POINTER(ctypes.c_void_p))
        if children:
            a.children = (ctypes.POINTER(ArrowArray) * len(children))(*map(ctypes.pointer, children))
        return self.counted(a, children)

    def capsule(self, s, name):
        """A capsule of s whose destructor releases it unless it was moved
        out."""
        self.hand_over(s)
        destroy = DESTROY_CAPSULE(lambda _: s.release and self.released(s))
        self.keep.append(destroy)
        return _new_capsule(ctypes.addressof(s), name, ctypes.cast(destroy, ctypes.c_void_p))

    def column(self, format, length, buffers, schema=None, **fields):
        return self.pair(schema or self.schema(format), self.array(length, buffers, **fields))

    def pair(self, schema, array):
        return ArrayExport(lambda: (self.capsule(schema, b"arrow_schema"), self.capsule(array, b"arrow_array")))

    def record_batch(self, format, length, buffers, rows=None, batch_length=None, validity=None, **batch_fields):
        """A record batch of one column of `length` items (with the fields
        `rows`), itself of `batch_length` rows, `validity` its bitmap."""
        column = self.array(length, buffers, **(rows or {}))
        schema = self.schema(b"+s", [self.schema(format)])
        batch = self.array(length if batch_length is None else batch_length, [validity], children=[column],
                           null_count=-1 if validity else 0, **batch_fields)
        return self.pair(schema, batch)

    def stream(self, schema, arrays, failure=None, callbacks=True, released=False):
        """A stream of `schema` and `arrays`; failure = (call, code, message)
        makes get_schema, or get_next after the arrays, fail."""
        next_array = iter(arrays)
        message = ctypes.create_string_buffer(failure[2] if failure and failure[2] else b"")

        def move(source, out):
            ctypes.memmove(out, ctypes.addressof(source), ctypes.sizeof(source))
            self.hand_over(source)
            source.release = None
            return 0

        def get_schema(_, out):
            return failure[1] if failure and failure[0] == "get_schema" else move(schema, out)

        def get_next(_, out):
            array = next(next_array, None)
            if array is not None:
                return move(array, out)
            if failure and failure[0] == "get_next":
                return failure[1]
            ctypes.memset(out, 0, ctypes.sizeof(ArrowArray))
            return 0

        functions = [GET_SCHEMA(get_schema), GET_NEXT(get_next),
                     GET_LAST_ERROR(lambda _: ctypes.addressof(message) if failure and failure[2] else None)]
        self.keep.extend(functions + [message])
        s = self.counted(ArrowArrayStream(*[ctypes.cast(f, ctypes.c_void_p) for f in functions] if callbacks else ()))
        if released:
            self.released_already(s)
        return StreamExport(lambda: self.capsule(s, b"arrow_array_stream"))

    def released_already(self, s):
        """s as its producer hands over a struct it has released: not
        counted."""
        s.release = None
        del self.releases[s.private_data]
        return s

    def check_released(self):
        handed = self.handed & set(self.releases)
        assert {n: self.releases[n] for n in handed} == {n: 1 for n in handed}
        assert all(c == 0 for n, c in self.releases.items() if n not in handed)


@pytest.fixture
def producer():
    p = Producer()
    yield p
    p.check_released()


def offsets_column(p, offsets, data, format=b"u", **fields):
    return p.column(format, len(offsets) - 1, [None, i32(*offsets), data], **fields)


def view_column(p, views, data_buffers, format=b"vz", validity=None, **fields):
    sizes = i64(*map(len, data_buffers))
    return p.column(format, len(views), [validity, b"".join(views)] + list(data_buffers) + [sizes], **fields)


def delete_ids(d, column):
    d.delete_nodes(column)


def label_two(d, column):
    d.add_nodes([A, B], label=column)


def edges_from(d, column):
    d.add_edges(column, [A], 1.0)  # a `to` too short, once `from` is read in place


MALFORMED = [  # (make(producer), call(d, column), the detail after "malformed Arrow data: ")
    (lambda p: p.column(b"w:16", -1, [None, IDS]), delete_ids, "an array's length is negative (-1)"),
    (lambda p: p.column(b"w:16", 2, [None, IDS], offset=-2), delete_ids, "an array's offset is negative (-2)"),
    (lambda p: p.column(b"w:16", 2, [None, IDS], offset=2 ** 62), delete_ids,
     "an array's offset and length reach beyond any buffer"),
    (lambda p: p.column(b"w:16", 2, [None, IDS], null_count=-5), delete_ids, "an array's null count is negative (-5)"),
    (lambda p: p.column(b"w:16", 2, [None, IDS], null_count=1), delete_ids,
     "an array has a null count of 1 but no validity bitmap"),
    (lambda p: p.column(b"w:16", 2, [IDS]), delete_ids, "an array of format 'w:16' has n_buffers 1, not 2"),
    (lambda p: p.column(b"w:16", 2, None, n_buffers=2), delete_ids, "an array's list of buffers is NULL"),
    (lambda p: p.column(b"w:16", 2, [None, None]), delete_ids,
     "buffer 1 of an array is NULL where its values are needed"),
    (lambda p: p.column(b"w:16", 2, [None, IDS], children=[p.array(0, [None, b""])]), delete_ids,
     "an array of format 'w:16' has n_children 1, not 0"),
    (lambda p: offsets_column(p, [0, 2, 1], b"ab"), label_two, "item 1: offsets 2 to 1 decrease"),
    (lambda p: offsets_column(p, [-1, 1, 2], b"ab"), label_two, "item 0: offsets -1 to 1 start below 0"),
    (lambda p: p.column(b"u", 2, [None, i32(0, 1, 2), None]), label_two,
     "buffer 2 of an array is NULL where its values are needed"),
    (lambda p: p.column(b"u", 2, [None, i32(0, 1, 2)]), label_two, "an array of format 'u' has n_buffers 2, not 3"),
    (lambda p: view_column(p, [view(A, 0, 0), view(B, 1, 0)], [IDS]), delete_ids,
     "item 1: a view of 16 bytes at offset 0 of data buffer 1 lies outside the array's buffers"),
    (lambda p: view_column(p, [view(A, 0, 0), view(B, 0, 20)], [IDS]), delete_ids,
     "item 1: a view of 16 bytes at offset 20 of data buffer 0 lies outside the array's buffers"),
    (lambda p: p.column(b"vz", 2, [None, view(A, 0, 0) + view(B, 0, 16), IDS, None]), delete_ids,
     "buffer 3 of an array is NULL where its values are needed"),
    (lambda p: p.column(b"vz", 2, [None, view(A) + view(B)]), delete_ids,
     "an array of format 'vz' has n_buffers 2, not 3 or more"),
    (lambda p: p.column(None, 2, [None, IDS]), delete_ids, "a schema has no format string"),
    (lambda p: p.column(b"w:16", 2, [None, IDS], schema=p.released_already(p.schema(b"w:16"))), delete_ids,
     "the schema handed over is released (its release callback is NULL)"),
    (lambda p: ArrayExport(lambda: (p.capsule(p.schema(b"w:16"), b"arrow_schema"),
                                    p.capsule(p.released_already(p.array(2, [None, IDS])), b"arrow_array"))),
     delete_ids, "the array handed over is released (its release callback is NULL)"),
    (lambda p: p.record_batch(b"w:16", 2, [None, IDS], batch_length=3), delete_ids,
     "a record batch's column is shorter than the record batch"),
    (lambda p: p.record_batch(b"w:16", 2, [None, IDS], n_buffers=0), delete_ids,
     "an array of format '+s' has n_buffers 0, not 1"),
    (lambda p: p.stream(p.schema(b"w:16"), [], callbacks=False), delete_ids,
     "the stream handed over lacks its get_schema or get_next callback"),
    (lambda p: p.stream(p.released_already(p.schema(b"w:16")), []), delete_ids,
     "the schema handed over is released (its release callback is NULL)"),
    (lambda p: p.stream(p.schema(b"w:16"), [], released=True), delete_ids,
     "the stream handed over is released (its release callback is NULL)"),
]


@pytest.mark.parametrize("k", range(len(MALFORMED)))
def test_malformed_data_is_refused(producer, k):
    make, call, detail = MALFORMED[k]
    d = PyGraphDiff()
    d.add_node(A, {"label": "keep"})
    before = snapshot(d)
    name = "ids" if call is delete_ids else "label"
    raises_exact(ValueError, "argument '%s': malformed Arrow data: %s" % (name, detail), call, d, make(producer))
    assert snapshot(d) == before


def raising(error):
    def method():
        raise error
    return method


EXPECTED_IDS = "expected an Arrow column of fixed_size_binary(16), binary, large_binary or binary_view, not format "
REFUSED = [  # (make(producer), call(d, column), exception type, message)
    (lambda p: p.column(b"\xff", 2, [None, IDS]), delete_ids, TypeError,
     "argument 'ids': " + EXPECTED_IDS + "'\ufffd'"),
    (lambda p: p.record_batch(b"w:16", 2, [None, IDS], validity=bitmap(1, 0)), delete_ids, ValueError,
     "argument 'ids': an Arrow record batch with null rows, where a column is expected"),
    (lambda p: ArrayExport(lambda: 7), delete_ids, TypeError,
     "argument 'ids': __arrow_c_array__() returned 'int' object, not a pair of PyCapsules 'arrow_schema' and "
     "'arrow_array'"),
    (lambda p: ArrayExport(lambda: (p.capsule(p.array(2, [None, IDS]), b"arrow_array"),
                                    p.capsule(p.schema(b"w:16"), b"arrow_schema"))), delete_ids, TypeError,
     "argument 'ids': __arrow_c_array__() returned (a PyCapsule named 'arrow_array', a PyCapsule named "
     "'arrow_schema'), not a pair of PyCapsules 'arrow_schema' and 'arrow_array'"),
    (lambda p: StreamExport(lambda: p.capsule(p.array(2, [None, IDS]), b"arrow_array")), delete_ids, TypeError,
     "argument 'ids': __arrow_c_stream__() returned a PyCapsule named 'arrow_array', not a PyCapsule "
     "'arrow_array_stream'"),
    (lambda p: ArrayExport(raising(TypeError("not now"))), delete_ids, TypeError, "argument 'ids': not now"),
    (lambda p: ArrayExport(raising(KeyError("mine"))), delete_ids, KeyError, "mine"),
    (lambda p: p.stream(p.schema(b"w:16"), [], ("get_schema", errno.EINVAL, b"no schema")), delete_ids, ValueError,
     "argument 'ids': the Arrow stream's get_schema failed with error %d: no schema" % errno.EINVAL),
    (lambda p: p.stream(p.schema(b"w:16"), [p.array(2, [None, IDS])], ("get_next", errno.EIO, b"disk \xffgone")),
     delete_ids, OSError,
     "argument 'ids': the Arrow stream's get_next failed with error %d: disk \ufffdgone" % errno.EIO),
    (lambda p: p.stream(p.schema(b"w:16"), [], ("get_next", errno.ENOMEM, None)), delete_ids, MemoryError,
     "argument 'ids': the Arrow stream's get_next failed with error %d" % errno.ENOMEM),
    (lambda p: p.column(b"w:16", 2, [None, IDS]), edges_from, ValueError,
     "argument 'to' has 1 item but argument 'from' has 2"),
]


@pytest.mark.parametrize("k", range(len(REFUSED)))
def test_refusals(producer, k):
    make, call, exc_type, message = REFUSED[k]
    d = PyGraphDiff()
    d.add_edge(A, B, 0.5)
    before = snapshot(d)
    raises_exact(exc_type, message, call, d, make(producer))
    assert snapshot(d) == before


LAYOUTS = [  # (make(producer), the argument, its values as a list)
    # binary views of long values in two data buffers
    (lambda p: view_column(p, [view(A, 1, 0), view(B, 0, 16)], [b"x" * 16 + B, A]), "ids", [A, B]),
    # a record batch of one column, both with an offset
    (lambda p: p.record_batch(b"w:16", 3, [None, C + C + A + B], rows={"offset": 1}, offset=1, batch_length=2), "ids",
     [A, B]),
    # a stream of three arrays, the empty one without buffers
    (lambda p: p.stream(p.schema(b"w:16"), [p.array(1, [None, A]), p.array(0, [None, None]), p.array(1, [None, B])]),
     "ids", [A, B]),
    # utf8 with an unknown null count and its bitmap, empty texts, no bytes
    (lambda p: p.column(b"u", 3, [bitmap(1, 0, 1), i32(0, 0, 0, 0), None], null_count=-1), "label", ["", None, ""]),
    # string views, inline and long; a null's view is never read
    (lambda p: view_column(p, [view(b"short"), b"\xff" * 16, view(b"a longer label", 0, 2)], [b"..a longer label"],
                           format=b"vu", validity=bitmap(1, 0, 1), null_count=1), "label",
     ["short", None, "a longer label"]),
    # large_utf8 from an offset
    (lambda p: p.column(b"U", 2, [None, i64(0, 1, 3, 6), b"abbccc"], offset=1), "url", ["bb", "ccc"]),
    # bools from the middle of a byte on
    (lambda p: p.column(b"b", 3, [None, bitmap(0, 0, 0, 0, 0, 0, 1, 0, 1)], offset=6), "show_label",
     [True, False, True]),
]


@pytest.mark.parametrize("k", range(len(LAYOUTS)))
def test_layouts_read_as_lists(producer, k):
    make, argument, values = LAYOUTS[k]
    read, listed = PyGraphDiff(), PyGraphDiff()
    for d, column in ((read, make(producer)), (listed, values)):
        if argument == "ids":
            d.delete_nodes(column)
        else:
            d.add_nodes([uid(("layout", i)) for i in range(len(values))], **{argument: column})
    assert snapshot(read) == snapshot(listed)
