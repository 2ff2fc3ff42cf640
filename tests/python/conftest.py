"""Shared helpers for the quorl_api test suite.

The suite runs against the built extension, found through PYTHONPATH
(build/release/python).  Helpers here make node identifiers, take complete
snapshots of a diff, check exception shapes and assemble diff byte strings
by hand for the decoder tests.  The model of the module, PureGraphDiff, is
in tests/support/pure_graph_diff.py (shared with the benchmark).
"""
import array
import copy
import ctypes
import gc
import importlib
import importlib.util
import math
import os
import struct
import subprocess
import sys
import typing
import uuid

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "support"))


# The sanitizer run (scripts/test-asan-python.sh) leaves pandas out: its
# compiled modules keep objects to the end of the process, which
# LeakSanitizer reports as leaks. Unimportable, it is not what pyarrow reaches
# for either, and the pandas cases skip.
class _LeftOut:
    """An import hook under which importing a package fails with
    ImportError (asking whether it is there does not)."""

    def __init__(self, package):
        self.package = package

    def find_spec(self, name, path=None, target=None):
        if name.split(".")[0] != self.package:
            return None
        return importlib.util.spec_from_loader(name, self)

    def create_module(self, found):
        raise ImportError("%s is left out of this run" % self.package)

    def exec_module(self, module):
        pass


if os.environ.get("QUORL_LEAVE_OUT_PANDAS") == "1":
    sys.meta_path.insert(0, _LeftOut("pandas"))


def panic_classes():
    """Every exception class called PanicException in the process."""
    return [c for c in BaseException.__subclasses__() if c.__name__ == "PanicException"]


# Other native packages (hypothesis ships one on newer Pythons) may define a
# class of the same name, before or after this point. The module makes its
# own while it is imported, so the class that appears with the import is it.
_BEFORE_IMPORT = panic_classes()
import quorl_api  # noqa: E402
MODULE_PANIC_CLASSES = [c for c in panic_classes() if c not in _BEFORE_IMPORT]
from quorl_api import PyGraphDiff  # noqa: E402

# Order in which the views list the attributes of a node.
ATTRIBUTE_ORDER = ("label", "url", "size", "red", "green", "blue", "show_label")

DESERIALIZE_FAILED = "Failed to deserialize graph diff."
UUID_FIELD = "failed to extract field PyUuid.0"
EXPECTED_16 = "Expected 16 bytes."
OUT_OF_RANGE = "out of range integral type conversion attempted"

_NAMESPACE = uuid.UUID("6f1c2a4e-9b3d-4c5e-8f70-112233445566")


def pytest_configure(config):
    config.addinivalue_line(
        "markers", "slow: long-running loops (deselect with -m 'not slow')")


# --------------------------------------------------------------- identifiers

def uid(n):
    """A deterministic, distinct 16-byte node identifier for any key."""
    return uuid.uuid5(_NAMESPACE, str(n)).bytes


def text(ident):
    """The text form under which the views report a 16-byte identifier."""
    return str(uuid.UUID(bytes=ident))


def f32(x):
    """The value a Python float becomes after a round trip through binary32."""
    return ctypes.c_float(x).value


def fresh_str(*parts):
    """A new, non-interned str object (never a code constant)."""
    return "".join(str(p) for p in parts)


def fresh_float(x):
    """A float object that no constant table or cache shares."""
    return struct.unpack("<d", struct.pack("<d", x))[0]


# ------------------------------------------------------------------ methods

class Method(typing.NamedTuple):
    """A method of PyGraphDiff, as its method table registers it."""
    name: str
    signature: str  # its __text_signature__
    access: str     # what it does with `self`: SHARED, EXCLUSIVE or STATIC
    kind: str       # "view", "count", "change", "bytes", "batch", "protocol", "column" or "table"
    call: typing.Callable  # a call of it that succeeds on any diff: call(d)


SHARED, EXCLUSIVE, STATIC = "shared", "exclusive", "static"  # reads the diff, changes it, has no `self`
_M, _N = uid("method call 1"), uid("method call 2")

# Every method of PyGraphDiff, in the order of the method table: the
# thirteen of the first release, the batch methods, those of Python's object
# protocols, and the contents as columns and as Arrow tables. A new method
# is one line here.
METHODS = [
    Method("new_or_updated_nodes", "($self)", SHARED, "view", lambda d: d.new_or_updated_nodes()),
    Method("deleted_nodes", "($self)", SHARED, "view", lambda d: d.deleted_nodes()),
    Method("new_or_updated_edges", "($self)", SHARED, "view", lambda d: d.new_or_updated_edges()),
    Method("deleted_edges", "($self)", SHARED, "view", lambda d: d.deleted_edges()),
    Method("num_nodes", "($self)", SHARED, "count", lambda d: d.num_nodes()),
    Method("num_edges", "($self)", SHARED, "count", lambda d: d.num_edges()),
    Method("add_node", "($self, id, update)", EXCLUSIVE, "change", lambda d: d.add_node(_M, {})),
    Method("delete_node", "($self, id)", EXCLUSIVE, "change", lambda d: d.delete_node(_M)),
    Method("add_edge", "($self, from, to, weight)", EXCLUSIVE, "change", lambda d: d.add_edge(_N, _M, 1.0)),
    Method("delete_edge", "($self, from, to)", EXCLUSIVE, "change", lambda d: d.delete_edge(_N, _M)),
    Method("clear", "($self)", EXCLUSIVE, "change", lambda d: d.clear()),
    Method("to_bytes", "($self)", SHARED, "bytes", lambda d: d.to_bytes()),
    Method("from_bytes", "(bytes)", STATIC, "bytes", lambda d: d.from_bytes(bytes(32))),
    Method("add_edges", "($self, from, to, weight)", EXCLUSIVE, "batch", lambda d: d.add_edges([_N], [_M], 1.0)),
    Method("delete_edges", "($self, from, to)", EXCLUSIVE, "batch", lambda d: d.delete_edges([_N], [_M])),
    Method("add_nodes", "($self, ids, updates=None, *, label=None, url=None, size=None, red=None, green=None, "
           "blue=None, show_label=None)", EXCLUSIVE, "batch", lambda d: d.add_nodes([_M], [{}])),
    Method("delete_nodes", "($self, ids)", EXCLUSIVE, "batch", lambda d: d.delete_nodes([_M])),
    Method("__reduce__", "($self)", SHARED, "protocol", lambda d: d.__reduce__()),
    Method("__copy__", "($self)", SHARED, "protocol", lambda d: copy.copy(d)),
    Method("__deepcopy__", "($self, memo)", SHARED, "protocol", lambda d: copy.deepcopy(d)),
    Method("__sizeof__", "($self)", SHARED, "protocol", lambda d: sys.getsizeof(d)),
    Method("new_or_updated_nodes_ids", "($self)", SHARED, "column", lambda d: d.new_or_updated_nodes_ids()),
    Method("deleted_nodes_ids", "($self)", SHARED, "column", lambda d: d.deleted_nodes_ids()),
    Method("new_or_updated_edges_columns", "($self)", SHARED, "column", lambda d: d.new_or_updated_edges_columns()),
    Method("deleted_edges_columns", "($self)", SHARED, "column", lambda d: d.deleted_edges_columns()),
    Method("new_or_updated_nodes_table", "($self)", SHARED, "table", lambda d: d.new_or_updated_nodes_table()),
    Method("deleted_nodes_table", "($self)", SHARED, "table", lambda d: d.deleted_nodes_table()),
    Method("new_or_updated_edges_table", "($self)", SHARED, "table", lambda d: d.new_or_updated_edges_table()),
    Method("deleted_edges_table", "($self)", SHARED, "table", lambda d: d.deleted_edges_table()),
]


def methods(*kinds):
    """The methods of the given kinds, in table order."""
    return [m for m in METHODS if m.kind in kinds]


# ----------------------------------------------------------------- snapshots

def snapshot(d):
    """Everything observable about a diff, order included.  The views are
    compared through repr() so that NaN values compare equal to themselves
    and value types (1 vs 1.0 vs True) are told apart."""
    return (
        repr(list(d.new_or_updated_nodes().items())),
        repr(d.deleted_nodes()),
        repr([(k, list(v.items())) for k, v in d.new_or_updated_edges().items()]),
        repr([(k, list(v)) for k, v in d.deleted_edges().items()]),
        d.num_nodes(),
        d.num_edges(),
        d.to_bytes(),
    )


def id_texts(packed):
    """The text forms of ids packed 16 bytes each."""
    return [text(packed[k:k + 16]) for k in range(0, len(packed), 16)]


def check_columns(d):
    """The columns hold the views' ids, and weights of the same value, in
    the views' order; fed to the batch methods of a fresh diff they rebuild
    the four views in order. For a diff built by calls, in which no pending
    edge touches a node marked for deletion (from_bytes takes whatever
    collections it reads). Returns the rebuilt diff."""
    frm, to, weights = d.new_or_updated_edges_columns()
    gone_from, gone_to = d.deleted_edges_columns()
    nodes, deleted = d.new_or_updated_nodes_ids(), d.deleted_nodes_ids()
    assert [type(c) for c in (frm, to, gone_from, gone_to, nodes, deleted)] == [bytes] * 6
    assert type(weights) is array.array and weights.typecode == "f"
    edges = d.new_or_updated_edges()
    assert (list(zip(id_texts(frm), id_texts(to), map(repr, weights)))
            == [(s, t, repr(w)) for s, targets in edges.items() for t, w in targets.items()])
    assert (list(zip(id_texts(gone_from), id_texts(gone_to)))
            == [(s, t) for s, targets in d.deleted_edges().items() for t in targets])
    assert id_texts(nodes) == list(d.new_or_updated_nodes())
    assert id_texts(deleted) == d.deleted_nodes()

    rebuilt = PyGraphDiff()
    rebuilt.add_nodes(nodes, list(d.new_or_updated_nodes().values()))
    rebuilt.delete_nodes(deleted)
    rebuilt.add_edges(frm, to, weights)
    rebuilt.delete_edges(gone_from, gone_to)
    assert snapshot(rebuilt)[:4] == snapshot(d)[:4]
    assert rebuilt.num_nodes() == d.num_nodes()
    return rebuilt


# The Arrow consumers that read the tables. The suite of an interpreter
# without them skips the Arrow cases, except where QUORL_REQUIRE_ARROW is 1
# (all of them: scripts/test.sh sets it for the 3.8 suite, whose
# requirements pin them) or names those that must be there ("pyarrow":
# scripts/wheels.sh sets it for the wheels it installs pyarrow beside).
_REQUIRED_ARROW = os.environ.get("QUORL_REQUIRE_ARROW", "")


def arrow_required(name):
    return _REQUIRED_ARROW == "1" or name in _REQUIRED_ARROW.split(",")


def import_arrow_library(name):
    """The module `name` (pyarrow, polars, duckdb, pandas), or None when it
    is not installed and may be missing.

    Together they bring some 60,000 objects that live as long as the
    process, which every collection of the cycle collector would walk again
    (the stress tests collect thousands of times): the first import of each
    moves everything alive into the collector's permanent generation. pyarrow
    imports pandas on first use, so pandas comes with it."""
    fresh = name not in sys.modules
    try:
        module = importlib.import_module(name)
    except ImportError:
        if arrow_required(name):
            pytest.fail("QUORL_REQUIRE_ARROW=%s: %s is not installed" % (_REQUIRED_ARROW, name))
        return None
    if fresh:
        if name == "pyarrow":
            import_arrow_library("pandas")
        gc.collect()
        gc.freeze()
    return module


TABLE_METHODS = tuple(m.name for m in methods("table"))
NODE_COLUMNS = ("id",) + ("label", "size", "url", "red", "green", "blue", "show_label")


def check_tables(d):
    """The four tables, read by pyarrow, hold the rows of the views and
    columns in their order: ids byte for byte, weights bit for bit, and one
    node attribute per non-null value; and they give the same diff back
    through the batch methods. Does nothing where pyarrow is not
    installed."""
    pa = import_arrow_library("pyarrow")
    if pa is None:
        return
    nodes = pa.table(d.new_or_updated_nodes_table())
    assert nodes.column_names == list(NODE_COLUMNS)
    rows = nodes.to_pylist()
    assert [text(r["id"]) for r in rows] == list(d.new_or_updated_nodes())
    assert (repr([{k: r[k] for k in ATTRIBUTE_ORDER if r[k] is not None} for r in rows])
            == repr(list(d.new_or_updated_nodes().values())))
    deleted = pa.table(d.deleted_nodes_table())
    assert b"".join(deleted.column("id").to_pylist()) == d.deleted_nodes_ids()
    edges = pa.table(d.new_or_updated_edges_table())
    frm, to, weights = d.new_or_updated_edges_columns()
    assert b"".join(edges.column("from").to_pylist()) == frm
    assert b"".join(edges.column("to").to_pylist()) == to
    assert edges.column("weight").to_numpy().tobytes() == weights.tobytes()
    gone = pa.table(d.deleted_edges_table())
    assert tuple(b"".join(gone.column(c).to_pylist()) for c in ("from", "to")) == d.deleted_edges_columns()
    # len() of a table is its rows
    assert [len(t) for t in (nodes, deleted, edges, gone)] == [
        len(d.new_or_updated_nodes()), len(d.deleted_nodes()), len(weights), len(d.deleted_edges_columns()[0]) // 16]
    assert [len(getattr(d, name)()) for name in TABLE_METHODS] == [len(t) for t in (nodes, deleted, edges, gone)]

    # The round trip: the four tables' columns, as pyarrow and polars give
    # them, applied to an empty diff through the batch methods in this order
    # make the same diff, byte for byte, but for the sources left with no
    # pending edge, which no row carries. (polars 1.8 cannot read an empty
    # table's ids, and nothing would be applied from one.)
    pl = import_arrow_library("polars")
    tables = [getattr(d, name)() for name in TABLE_METHODS]
    readers = [lambda t: pa.table(t)] + ([lambda t: pl.DataFrame(t) if len(t) else None] if pl else [])
    for read in readers:
        nodes, deleted, edges, gone = map(read, tables)
        rebuilt = PyGraphDiff()
        if deleted is not None:
            rebuilt.delete_nodes(deleted["id"])
        if gone is not None:
            rebuilt.delete_edges(gone["from"], gone["to"])
        if nodes is not None:
            rebuilt.add_nodes(nodes["id"], **{key: nodes[key] for key in ATTRIBUTE_ORDER})
        if edges is not None:
            rebuilt.add_edges(edges["from"], edges["to"], edges["weight"])
        assert rebuilt.to_bytes() == without_empty_sources(d.to_bytes())


def without_empty_sources(data):
    """A diff's byte string without the sources left with no pending edge
    (by delete_node), which num_edges counts and the views leave out."""
    at = 8
    for _ in range(struct.unpack_from("<Q", data, 0)[0]):  # nodes: id, record
        at += 32 + struct.unpack_from("<Q", data, at + 24)[0]
    at += 8 + 24 * struct.unpack_from("<Q", data, at)[0]  # deleted nodes
    groups, end = [], at + 8
    for _ in range(struct.unpack_from("<Q", data, at)[0]):  # edges: source, targets with weights
        targets = struct.unpack_from("<Q", data, end + 24)[0]
        if targets:
            groups.append(data[end:end + 32 + 28 * targets])
        end += 32 + 28 * targets
    return data[:at] + u64(len(groups)) + b"".join(groups) + data[end:]


# ------------------------------------------------- the Arrow C structs by hand

class ArrowSchema(ctypes.Structure):
    pass


ArrowSchema._fields_ = [("format", ctypes.c_char_p), ("name", ctypes.c_char_p), ("metadata", ctypes.c_char_p),
                        ("flags", ctypes.c_int64), ("n_children", ctypes.c_int64),
                        ("children", ctypes.POINTER(ctypes.POINTER(ArrowSchema))),
                        ("dictionary", ctypes.c_void_p), ("release", ctypes.c_void_p),
                        ("private_data", ctypes.c_void_p)]


class ArrowArray(ctypes.Structure):
    pass


ArrowArray._fields_ = [("length", ctypes.c_int64), ("null_count", ctypes.c_int64), ("offset", ctypes.c_int64),
                       ("n_buffers", ctypes.c_int64), ("n_children", ctypes.c_int64),
                       ("buffers", ctypes.POINTER(ctypes.c_void_p)),
                       ("children", ctypes.POINTER(ctypes.POINTER(ArrowArray))),
                       ("dictionary", ctypes.c_void_p), ("release", ctypes.c_void_p),
                       ("private_data", ctypes.c_void_p)]


class ArrowArrayStream(ctypes.Structure):
    _fields_ = [("get_schema", ctypes.c_void_p), ("get_next", ctypes.c_void_p), ("get_last_error", ctypes.c_void_p),
                ("release", ctypes.c_void_p), ("private_data", ctypes.c_void_p)]


_get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
_get_pointer.restype = ctypes.c_void_p
_get_pointer.argtypes = [ctypes.py_object, ctypes.c_char_p]
capsule_name = ctypes.pythonapi.PyCapsule_GetName
capsule_name.restype = ctypes.c_char_p
capsule_name.argtypes = [ctypes.py_object]


def struct_in(capsule, kind):
    return kind.from_address(_get_pointer(capsule, capsule_name(capsule)))


def move_out(capsule, kind):
    """What a consumer does: copy the struct and leave a released one."""
    inside = struct_in(capsule, kind)
    moved = kind.from_buffer_copy(inside)
    inside.release = None
    return moved


def release(exported):
    """Calls a struct's release through ctypes, which lets the interpreter
    lock go for the call."""
    ctypes.CFUNCTYPE(None, ctypes.POINTER(type(exported)))(exported.release)(ctypes.byref(exported))
    assert exported.release is None


def normalized(d):
    """The contents of a diff with every order that carries no meaning removed."""
    return (
        d.new_or_updated_nodes(),
        sorted(d.deleted_nodes()),
        d.new_or_updated_edges(),
        {k: sorted(v) for k, v in d.deleted_edges().items()},
        d.num_nodes(),
        d.num_edges(),
    )


# ---------------------------------------------------------------- exceptions

def check_exc(excinfo_or_exc, exc_type, message):
    """The exception is exactly `exc_type` with the single argument `message`."""
    e = getattr(excinfo_or_exc, "value", excinfo_or_exc)
    assert type(e) is exc_type, (type(e), e)
    assert e.args == (message,), e.args
    return e


def raises_exact(exc_type, message, fn, *args, **kwargs):
    """Call fn, expect exactly exc_type(message); return the exception."""
    with pytest.raises(BaseException) as info:
        fn(*args, **kwargs)
    return check_exc(info, exc_type, message)


def _sole_reference_count():
    held = object()
    return sys.getrefcount(held)


# What sys.getrefcount reports for an object that one local variable alone
# holds: 2 up to CPython 3.13, where the call's argument is a reference of its
# own, and 1 from 3.14, which passes a local to a call without taking one.
# A result that holds no reference but the caller's reads the same.
SOLE_REFERENCE = _sole_reference_count()


def interpreter_float_error(obj):
    """The error the interpreter's float protocol gives for obj."""
    try:
        math.isnan(obj)
    except BaseException as e:  # noqa: B902 - we want any kind
        return type(e), str(e)
    raise AssertionError("%r converts to float" % (obj,))


# ------------------------------------------------------------ byte building

def u64(n):
    return struct.pack("<Q", n)


def ident(b, length=None):
    """An identifier item: length (normally 16) and the bytes."""
    return u64(len(b) if length is None else length) + b


def record(text_bytes):
    return u64(len(text_bytes)) + text_bytes


def weight_bytes(w):
    if isinstance(w, (bytes, bytearray)):
        return bytes(w)
    return struct.pack("<f", w)


def diff_bytes(nodes=(), deleted=(), edges=(), deleted_edges=()):
    """Assemble a diff byte string.

    nodes:          [(id, json_text_bytes)]
    deleted:        [id]
    edges:          [(source, [(target, weight)])]
    deleted_edges:  [(source, [target])]
    """
    out = [u64(len(nodes))]
    for i, t in nodes:
        out.append(ident(i) + record(t))
    out.append(u64(len(deleted)))
    out.extend(ident(i) for i in deleted)
    out.append(u64(len(edges)))
    for src, targets in edges:
        out.append(ident(src) + u64(len(targets)))
        out.extend(ident(t) + weight_bytes(w) for t, w in targets)
    out.append(u64(len(deleted_edges)))
    for src, targets in deleted_edges:
        out.append(ident(src) + u64(len(targets)))
        out.extend(ident(t) for t in targets)
    return b"".join(out)


def one_node_bytes(json_text):
    if isinstance(json_text, str):
        json_text = json_text.encode("utf-8")
    return diff_bytes(nodes=[(uid("n"), json_text)])


# ----------------------------------------------------------------- processes

def run_python(code, env_extra=None):
    """Run code in a fresh interpreter with the same module path."""
    env = dict(os.environ)
    module_dir = os.path.dirname(os.path.abspath(quorl_api.__file__))
    env["PYTHONPATH"] = os.pathsep.join(
        p for p in (module_dir, env.get("PYTHONPATH", "")) if p)
    if env_extra:
        env.update(env_extra)
    return subprocess.run([sys.executable, "-c", code], env=env,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          universal_newlines=True, timeout=60)


def python_output(code, env_extra=None):
    """What code run as run_python runs it writes to standard output; the
    run must succeed."""
    proc = run_python(code, env_extra)
    assert proc.returncode == 0, proc.stderr
    return proc.stdout


# ------------------------------------------------------------------ fixtures

@pytest.fixture
def d():
    return PyGraphDiff()


@pytest.fixture
def ids():
    return [uid(i) for i in range(8)]


class _FloatRaising:
    def __float__(self):
        raise ValueError("no float here")


@pytest.fixture(scope="session")
def panic_exception():
    """The PanicException type, made to exist by letting the module take a
    pending exception from the interpreter once."""
    diff = PyGraphDiff()
    with pytest.raises(ValueError):
        diff.add_edge(uid(1), uid(2), _FloatRaising())
    assert len(MODULE_PANIC_CLASSES) == 1, MODULE_PANIC_CLASSES
    return MODULE_PANIC_CLASSES[0]
