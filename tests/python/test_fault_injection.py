"""Every object-creating interpreter call the module makes, made to fail.

Runs against a module built with the fault injection hook (scripts/build.sh
faults, which scripts/test-faults.sh runs); skipped otherwise.  For each call
below, n = 0, 1, 2, ... makes the object-creating call after the first n fail
with MemoryError, until a call completes without reaching the chosen one.
Each failing call must end in the documented exception and nothing else:
PanicException "Python API call failed" where the module could not create an
object it needed, MemoryError where it hands on what the interpreter raised
(allocating a new PyGraphDiff), PanicException with the unwrap text where
from_bytes cannot wrap its decoded diff.  The process must not crash, the
diffs involved must be unchanged and not left borrowed, and the arguments must
hold as many references as before.  A call that reaches no injected failure
must give exactly what it gives without injection.

Calls that create interned names once per process (attribute keys, the
__qualname__ name, the module's own set-up) reach those creations only in a
fresh interpreter: they are swept in child processes, one per n.
"""
import array
import ctypes
import gc
import json
import os
import pickle
import sys

import pytest

import quorl_api
from quorl_api import PyGraphDiff

from conftest import (SHARED, TABLE_METHODS, fresh_float, fresh_str, methods, one_node_bytes, run_python, snapshot,
                      text, uid)

inject = getattr(quorl_api, "_inject_failure_after", None)
inject_store = getattr(quorl_api, "_inject_store_failure_after", None)
pytestmark = pytest.mark.skipif(
    inject is None, reason="module built without the fault injection hook (scripts/build.sh faults)")

API_FAILED = "Python API call failed"
UNWRAP_NO_MEMORY = ("called `Result::unwrap()` on an `Err` value: PyErr { type: <class 'MemoryError'>, "
                    "value: MemoryError(), traceback: None }")

A, B, C, X, GONE = (uid("fi-a"), uid("fi-b"), uid("fi-c"), uid("fi-x"), uid("fi-gone"))

# Number of injected failures per sweep, reported by test-faults.sh.
INJECTED = {}


@pytest.fixture(scope="module", autouse=True)
def report_injected():
    yield
    path = os.environ.get("QUORL_FAULT_REPORT")
    if path and INJECTED:
        with open(path, "w") as out:
            json.dump(INJECTED, out, indent=1, sort_keys=True)


def filled():
    """A diff with something in every collection: every attribute, a NaN
    size, an empty group of new edges, deleted edges, deleted nodes."""
    d = PyGraphDiff()
    d.add_node(A, {"label": "a\u00e9\u65e5", "url": "http://u/", "size": 0.5, "red": 1, "green": 2,
                   "blue": 255, "show_label": True})
    d.add_node(B, {})
    d.add_node(C, {"size": float("nan"), "show_label": False})
    d.add_edge(A, B, 0.25)
    d.add_edge(A, C, float("inf"))
    d.add_edge(B, X, 2.0)
    d.delete_node(X)  # B's group of new edges is left empty, (B, X) deleted
    d.delete_edge(C, A)
    d.delete_node(GONE)
    return d


def borrow_probe(d):
    """Takes the exclusive borrow and changes nothing: the update is refused
    after the borrow. RuntimeError if d were still borrowed."""
    with pytest.raises(TypeError):
        d.add_node(A, None)


def run(call, args):
    try:
        return ("value", call(*args))
    except BaseException as e:  # noqa: B902 - PanicException included
        return ("raised", type(e).__name__, e.args)


def describe(ran):
    """What a call gave, comparable; read with the injection disarmed."""
    if ran[0] == "value":
        result = ran[1]
        return ("diff", snapshot(result)) if isinstance(result, PyGraphDiff) else ("value", repr(result))
    return ran


def outcome(call, args):
    return describe(run(call, args))


def forget_printed_error():
    # The module prints the MemoryError it meets, which records it here.
    for name in ("last_type", "last_value", "last_traceback"):
        if hasattr(sys, name):
            delattr(sys, name)


def state(d):
    """What a failed call must leave as it was: everything observable, and
    the memory the diff reports."""
    return snapshot(d), sys.getsizeof(d)


def check_unchanged(diffs, before, where):
    for d, was in zip(diffs, before):
        assert state(d) == was, where
        borrow_probe(d)
        assert state(d) == was, where


def sweep(name, make, call, allowed, hook=None):
    """Sweeps the injected failure over the object-creating calls of
    call(*make()) (or over the store's allocations, with hook=inject_store);
    returns how many failures were injected."""
    hook = hook or inject
    expected = outcome(call, make())
    n = 0
    while True:
        args = make()
        diffs = [a for a in args if isinstance(a, PyGraphDiff)]
        before = [state(d) for d in diffs]
        gc.collect()
        refs = [sys.getrefcount(a) for a in args]
        hook(n)
        try:
            ran = run(call, args)
        finally:
            calls = hook(None)
        got = describe(ran)
        del ran
        forget_printed_error()
        if calls <= n:  # the chosen call was never reached
            assert got == expected, (name, n)
            break
        assert got[0] == "raised", (name, n, got)
        assert got[1:] in allowed, (name, n, got)
        check_unchanged(diffs, before, (name, n))
        gc.collect()
        assert [sys.getrefcount(a) for a in args] == refs, (name, n)
        n += 1
        assert n < 10000, name
    INJECTED[name] = n
    return n


API = {("PanicException", (API_FAILED,))}
NO_MEMORY = {("MemoryError", ())}
UNWRAP = {("PanicException", (UNWRAP_NO_MEMORY,))}
BATCH = API | NO_MEMORY


class Weight:
    """A weight whose conversion runs `action` on the diff being changed."""

    def __init__(self, action):
        self.action = action

    def __float__(self):
        self.action()
        return 0.5


def conflict(call):
    """An action meeting the borrow error of a call into the borrowed diff."""
    def action(d):
        try:
            call(d)
        except RuntimeError:
            pass
    return action


class DictSub(dict):
    pass


def weight_calling(view):
    def make():
        d = filled()
        return (d, Weight(lambda: conflict(view)(d)))
    return make


_capsule_name = ctypes.pythonapi.PyCapsule_GetName
_capsule_name.restype = ctypes.c_char_p
_capsule_name.argtypes = [ctypes.py_object]


def exported_capsules(table):
    """Every export of a table, by the names of its capsules (whose reprs
    hold addresses)."""
    schema_request = table.__arrow_c_schema__()
    exported = table.__arrow_c_array__(schema_request) + (table.__arrow_c_stream__(), schema_request)
    return [_capsule_name(c) for c in exported]


SCENARIOS = {
    # views, counts and the byte string
    **{m.name: (lambda: (filled(),), m.call, API) for m in methods("view", "count", "bytes") if m.access == SHARED},
    "views of an empty diff": (lambda: (PyGraphDiff(),), lambda d: [m.call(d) for m in methods("view")], API),
    "clear": (lambda: (filled(),), lambda d: d.clear(), API),
    # the contents as columns: buffers the caller may well lack the memory
    # for, so a failure to make one is the MemoryError, not a fault
    "columns": (lambda: (filled(),), lambda d: [m.call(d) for m in methods("column")], NO_MEMORY),
    "columns of an empty diff": (lambda: (PyGraphDiff(),), lambda d: d.new_or_updated_edges_columns(), NO_MEMORY),
    # the contents as Arrow tables, and their exports: buffers and capsules
    # the caller may well lack the memory for (MemoryError)
    "tables": (lambda: (filled(),), lambda d: [len(getattr(d, name)()) for name in TABLE_METHODS], NO_MEMORY),
    "tables of an empty diff": (lambda: (PyGraphDiff(),), lambda d: [len(getattr(d, name)()) for name in TABLE_METHODS],
                                NO_MEMORY),
    "table exports": (lambda: (filled().new_or_updated_nodes_table(),), exported_capsules, NO_MEMORY),
    "table export, requested schema refused": (lambda: (filled().deleted_edges_table(), fresh_float(1.5)),
                                               lambda t, r: t.__arrow_c_stream__(r), API),
    "table export, too many arguments": (lambda: (filled().deleted_edges_table(), fresh_float(2.5)),
                                         lambda t, r: t.__arrow_c_array__(r, r), API),
    "table repr": (lambda: (filled().deleted_nodes_table(),), lambda t: repr(t), API),
    "PyDiffTable()": (lambda: (), lambda: quorl_api.PyDiffTable(), API),
    # new objects
    "PyGraphDiff()": (lambda: (), lambda: PyGraphDiff(), NO_MEMORY),
    "PyGraphDiff(1)": (lambda: (fresh_float(1.5),), lambda x: PyGraphDiff(x), API),
    "PyGraphDiff(x=1)": (lambda: (fresh_float(1.5),), lambda x: PyGraphDiff(x=x), API),
    "from_bytes": (lambda: (filled().to_bytes(),), lambda b: PyGraphDiff.from_bytes(b), UNWRAP),
    "from_bytes through an instance": (lambda: (filled(), filled().to_bytes()),
                                       lambda d, b: d.from_bytes(b), UNWRAP),
    "from_bytes refused": (lambda: (b"\x00" * 31,), lambda b: PyGraphDiff.from_bytes(b), API),
    "from_bytes bad record": (lambda: (one_node_bytes(b"[]"),), lambda b: PyGraphDiff.from_bytes(b), API),
    "from_bytes(bytearray)": (lambda: (bytearray(32),), lambda b: PyGraphDiff.from_bytes(b), API),
    "from_bytes()": (lambda: (), lambda: PyGraphDiff.from_bytes(), API),
    # changes, accepted and refused
    "add_node": (lambda: (filled(), uid("new"), {"label": fresh_str("x"), "size": fresh_float(2.5)}),
                 lambda d, i, u: d.add_node(i, u), API),
    "add_node id str": (lambda: (filled(), fresh_str("id"), {}), lambda d, i, u: d.add_node(i, u), API),
    "add_node id of 15 bytes": (lambda: (filled(), b"\x01" * 15, {}), lambda d, i, u: d.add_node(i, u), API),
    "add_node update list": (lambda: (filled(), uid("n"), []), lambda d, i, u: d.add_node(i, u), API),
    "add_node label None": (lambda: (filled(), uid("n"), {"label": None}), lambda d, i, u: d.add_node(i, u), API),
    "add_node red 256": (lambda: (filled(), uid("n"), {"red": 256}), lambda d, i, u: d.add_node(i, u), API),
    "add_node size str": (lambda: (filled(), uid("n"), {"size": fresh_str("1")}),
                          lambda d, i, u: d.add_node(i, u), API),
    "add_node show_label 1": (lambda: (filled(), uid("n"), {"show_label": 1}),
                              lambda d, i, u: d.add_node(i, u), API),
    "add_node dict subclass": (lambda: (filled(), uid("n"), DictSub(label=fresh_str("s"), blue=9)),
                               lambda d, i, u: d.add_node(i, u), API),
    "add_node missing update": (lambda: (filled(), uid("n")), lambda d, i: d.add_node(i), API),
    "delete_node": (lambda: (filled(), A), lambda d, i: d.delete_node(i), API),
    "delete_node two ids": (lambda: (filled(), A, B), lambda d, i, j: d.delete_node(i, j), API),
    "delete_node ident=": (lambda: (filled(), A), lambda d, i: d.delete_node(ident=i), API),
    "delete_node twice id": (lambda: (filled(), A), lambda d, i: d.delete_node(i, id=i), API),
    "add_edge": (lambda: (filled(), A, uid("t"), fresh_float(0.75)), lambda d, f, t, w: d.add_edge(f, t, w), API),
    "add_edge weight str": (lambda: (filled(), A, B, fresh_str("w")), lambda d, f, t, w: d.add_edge(f, t, w), API),
    "add_edge from bytearray": (lambda: (filled(), bytearray(16), B, fresh_float(1.0)),
                                lambda d, f, t, w: d.add_edge(f, t, w), API),
    "add_edge()": (lambda: (filled(),), lambda d: d.add_edge(), API),
    "delete_edge": (lambda: (filled(), A, B), lambda d, f, t: d.delete_edge(f, t), API),
    "delete_edge to int": (lambda: (filled(), A, 7), lambda d, f, t: d.delete_edge(f, t), API),
    # a conversion calling back into the diff it changes meets the borrow
    # errors, which are made while the outer call is under way
    "view during add_edge": (weight_calling(lambda d: d.new_or_updated_nodes()),
                             lambda d, w: d.add_edge(A, B, w), API),
    "clear during add_edge": (weight_calling(lambda d: d.clear()),
                              lambda d, w: d.add_edge(A, B, w), API),
    "to_bytes during add_edge": (weight_calling(lambda d: d.to_bytes()),
                                 lambda d, w: d.add_edge(A, B, w), API),
    # batch methods: iterators and their items are made by the interpreter
    # (MemoryError where one cannot be), errors and their texts by the module
    "add_edges": (lambda: (filled(), iter([A, B, A]), iter([B, X, C]), iter([fresh_float(0.5), 2, 3])),
                  lambda d, f, t, w: d.add_edges(f, t, w), BATCH),
    "add_edges buffers": (lambda: (filled(), bytearray(A + B), memoryview(C + A), fresh_float(1.5)),
                          lambda d, f, t, w: d.add_edges(f, t, w), BATCH),
    "add_edges bad item": (lambda: (filled(), iter([A, fresh_str("x")]), [B, C], 1.0),
                           lambda d, f, t, w: d.add_edges(f, t, w), BATCH),
    "add_edges bad weight": (lambda: (filled(), [A, B], [B, C], iter([1.0, fresh_str("w")])),
                             lambda d, f, t, w: d.add_edges(f, t, w), BATCH),
    "add_edges lengths": (lambda: (filled(), [A, B], [B], 1.0), lambda d, f, t, w: d.add_edges(f, t, w), BATCH),
    "add_edges not iterable": (lambda: (filled(), 7, [B], 1.0), lambda d, f, t, w: d.add_edges(f, t, w), BATCH),
    "add_edges odd buffer": (lambda: (filled(), b"x" * 17, [B], 1.0), lambda d, f, t, w: d.add_edges(f, t, w), BATCH),
    "delete_edges": (lambda: (filled(), iter([A, C]), iter([B, A])), lambda d, f, t: d.delete_edges(f, t), BATCH),
    "add_nodes updates": (lambda: (filled(), iter([A, uid("n")]), iter([{"label": fresh_str("l")}, {}])),
                          lambda d, i, u: d.add_nodes(i, u), BATCH),
    "add_nodes columns": (lambda: (filled(), iter([A, uid("n")]), iter([fresh_str("l"), None]), iter([3, 4]),
                                   iter([True, False])),
                          lambda d, i, l, r, s: d.add_nodes(i, label=l, red=r, show_label=s), BATCH),
    "add_nodes colour buffer out of range": (lambda: (filled(), [A, B], array.array("q", [3, 300])),
                                             lambda d, i, r: d.add_nodes(i, red=r), BATCH),
    "add_nodes bad label": (lambda: (filled(), [A, B], iter([fresh_str("l"), 5])),
                            lambda d, i, l: d.add_nodes(i, label=l), BATCH),
    "add_nodes label with a lone surrogate": (lambda: (filled(), [A, B], iter([fresh_str("l"), fresh_str("\ud800")])),
                                              lambda d, i, l: d.add_nodes(i, label=l), BATCH),
    "add_nodes updates and a column": (lambda: (filled(), [A], [{}], [fresh_str("l")]),
                                       lambda d, i, u, l: d.add_nodes(i, u, label=l), BATCH),
    "add_nodes too many": (lambda: (filled(), [A], [{}], fresh_float(3.5)), lambda d, i, u, x: d.add_nodes(i, u, x, label=x), BATCH),
    "delete_nodes": (lambda: (filled(), iter([A, X, GONE])), lambda d, i: d.delete_nodes(i), BATCH),
    "delete_nodes during a generator": (lambda: (filled(),),
                                        lambda d: d.delete_nodes(conflict(lambda d2: d2.to_bytes())(d) or A
                                                                 for _ in range(2)), BATCH),
    "__reduce__ during add_edge": (weight_calling(lambda d: d.__reduce__()),
                                   lambda d, w: d.add_edge(A, B, w), API),
    # Python's object protocols: pickles, copies, sizes, repr
    "__reduce__": (lambda: (filled(),), lambda d: d.__reduce__(), API),
    "__reduce__ finite sizes": (lambda: (PyGraphDiff.from_bytes(filled().to_bytes()),),
                                lambda d: d.__reduce__(), API),
    "pickle round trip": (lambda: (filled(),), lambda d: pickle.loads(pickle.dumps(d, 5)), API | NO_MEMORY),
    "__copy__": (lambda: (filled(),), lambda d: d.__copy__(), NO_MEMORY),
    "__deepcopy__": (lambda: (filled(), {}), lambda d, m: d.__deepcopy__(m), NO_MEMORY),
    "__deepcopy__()": (lambda: (filled(),), lambda d: d.__deepcopy__(), API),
    "__sizeof__": (lambda: (filled(),), lambda d: d.__sizeof__(), API),
    "repr": (lambda: (filled(),), lambda d: repr(d), API),
    "_restore": (lambda: filled().__reduce__()[1], lambda b, s: quorl_api._restore(b, s), NO_MEMORY),
    "_restore refused": (lambda: (filled().to_bytes(), ((A, fresh_float(float("nan"))),)),
                         lambda b, s: quorl_api._restore(b, s), API),
    "_restore sizes list": (lambda: (filled().to_bytes(), [(C, fresh_float(float("nan")))]),
                            lambda b, s: quorl_api._restore(b, s), API),
    "_restore bad pair": (lambda: (filled().to_bytes(), ((C,),)), lambda b, s: quorl_api._restore(b, s), API),
    "_restore bad id": (lambda: (filled().to_bytes(), ((fresh_str("id"), fresh_float(1.0)),)),
                        lambda b, s: quorl_api._restore(b, s), API),
}


@pytest.mark.parametrize("name", list(SCENARIOS))
def test_sweep(name):
    make, call, allowed = SCENARIOS[name]
    sweep(name, make, call, allowed)


def scattered(n, salt):
    """n sources in no order, with repeats: some pending, most new."""
    pool = [A, B, C] + [uid(("source", k)) for k in range(5)] + [uid((salt, k)) for k in range(n // 2)]
    return [pool[(k * 7919) % len(pool)] for k in range(n)]


FROM = scattered(40, "new")
TO = [uid(("target", k % 13)) for k in range(40)]
NODES = scattered(30, "node")

def grown():
    """filled(), with sources of many targets (an indexed table among them)
    and a pending update with texts on every node the batches below name."""
    d = filled()
    for k in range(40):
        d.add_edge(A, uid(("grown", k)), 0.5)
    for k in range(5):
        d.add_edge(uid(("source", k)), uid(("grown", k)), 1.5)
        d.add_node(uid(("source", k)), {"label": "s%d" % k})
    d.delete_edge(uid(("source", 0)), X)
    for k in (0, 5, 11, 12):  # deleted edges that add_edges takes back
        d.delete_edge(FROM[k], TO[k])
    return d


def relabelled():
    """grown(), with a long label on every node of NODES."""
    d = grown()
    d.add_nodes(NODES, label=["long label %d " % k * 20 for k in range(30)])
    return d


def full():
    """A diff whose four tables are exactly full: the next new key grows
    each."""
    d = PyGraphDiff()
    for k in range(6):
        d.add_edge(uid(("full", k)), uid(("to", k)), 1.0)
        d.delete_edge(uid(("full gone", k)), uid(("to", k)))
        d.add_node(uid(("full node", k)), {"label": "n"})
        d.delete_node(uid(("full deleted", k)))
    return d


# Every allocation of the store that each call reaches, made to fail: the
# call raises MemoryError and leaves the diff as it was, its size included.
STORE_SCENARIOS = {
    "add_edges": (lambda: (grown(), FROM, TO, [0.25 * k for k in range(40)]),
                  lambda d, f, t, w: d.add_edges(f, t, w)),
    "add_edges one weight": (lambda: (grown(), b"".join(FROM), b"".join(TO), 2.0),
                             lambda d, f, t, w: d.add_edges(f, t, w)),
    "add_edges from an empty diff": (lambda: (PyGraphDiff(), FROM, TO, 1.0), lambda d, f, t, w: d.add_edges(f, t, w)),
    "delete_edges": (lambda: (grown(), FROM, TO), lambda d, f, t: d.delete_edges(f, t)),
    "add_nodes updates": (lambda: (grown(), NODES, [{"url": "u%d" % k} if k % 3 else {"red": k} for k in range(30)]),
                          lambda d, i, u: d.add_nodes(i, u)),
    "add_nodes columns": (lambda: (grown(), NODES, ["l%d" % k for k in range(30)]),
                          lambda d, i, l: d.add_nodes(i, label=l)),
    # Relabels every pending node with a short text: the long ones die and
    # the texts' storage is reclaimed into a new block within the call.
    "add_nodes relabelling": (lambda: (relabelled(), NODES + NODES[:3], ["r%d" % k for k in range(33)]),
                              lambda d, i, l: d.add_nodes(i, label=l)),
    "delete_nodes": (lambda: (grown(), NODES + [X, GONE, B]), lambda d, i: d.delete_nodes(i)),
    "add_edge": (lambda: (full(), uid("fresh"), B), lambda d, f, t: d.add_edge(f, t, 1.0)),
    "add_edge to an array": (lambda: (grown(), uid(("source", 1)), B), lambda d, f, t: d.add_edge(f, t, 1.0)),
    "delete_edge": (lambda: (full(), uid("fresh"), B), lambda d, f, t: d.delete_edge(f, t)),
    "add_node": (lambda: (full(), uid("fresh")), lambda d, i: d.add_node(i, {"label": "x"})),
    "delete_node": (lambda: (grown(), B), lambda d, i: d.delete_node(i)),
    "delete_node into a full table": (lambda: (full(), uid(("to", 2))), lambda d, i: d.delete_node(i)),
    "from_bytes": (lambda: (grown().to_bytes(),), lambda b: PyGraphDiff.from_bytes(b)),
    "__copy__": (lambda: (grown(),), lambda d: d.__copy__()),
    # a table's buffers, and the structs of its exports
    "tables": (lambda: (grown(),), lambda d: [repr(getattr(d, name)()) for name in TABLE_METHODS]),
    "table exports": (lambda: (grown().new_or_updated_nodes_table(),), exported_capsules),
}


@pytest.mark.parametrize("name", list(STORE_SCENARIOS))
def test_store_sweep(name):
    make, call = STORE_SCENARIOS[name]
    assert sweep("store: " + name, make, call, NO_MEMORY, inject_store) > 0


def test_sweeps_reach_the_object_creating_calls():
    """The views of a filled diff make one object per key, value and
    container; the sweep must have walked through all of them."""
    if "new_or_updated_nodes" not in INJECTED:
        sweep("new_or_updated_nodes", *SCENARIOS["new_or_updated_nodes"])
    # the result dict, 3 keys, 3 attribute dicts, 6 + 0 + 1 attribute values
    # (a bool is no new object)
    assert INJECTED["new_or_updated_nodes"] >= 1 + 3 + 3 + 6 + 1


def test_failure_while_raising_an_error_does_not_end_the_process():
    """The message of an error is made as the error is raised, when the call
    has already ended; failing to make it once ended the process."""
    proc = run_python(
        "import quorl_api\n"
        "for call in (lambda: quorl_api.PyGraphDiff.from_bytes(b''),\n"
        "             lambda: quorl_api.PyGraphDiff(1)):\n"
        "    quorl_api._inject_failure_after(0)\n"
        "    try:\n"
        "        call()\n"
        "    except BaseException as e:\n"
        "        print(type(e).__name__, e.args)\n")
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.splitlines() == ["PanicException ('%s',)" % API_FAILED] * 2
    assert "fatal runtime error" not in proc.stderr


def test_hook_counts_without_failing():
    d = filled()
    inject(10 ** 9)
    d.deleted_nodes()  # a list and two str
    assert inject(None) == 3
    inject(None)
    assert inject(None) == 0


# ------------------------------------------------------------ fresh processes

CHILD = r"""
import json, sys
mode, n = sys.argv[1], int(sys.argv[2])
result = {{}}

def outcome(fn):
    try:
        value = fn()
    except BaseException as e:
        cause = e.__cause__
        return ["raised", type(e).__name__, [str(a) for a in e.args],
                type(cause).__name__ if cause is not None else None]
    return ["value", repr(value)[:60]]

if mode == "import":
    result["first"] = outcome(lambda: __import__("quorl_api"))
    import quorl_api  # again, after a failure
    result["calls"] = quorl_api._inject_failure_after(None)
    result["all"] = quorl_api.__all__
    d = quorl_api.PyGraphDiff()
    d.add_node(b"a" * 16, {{"red": 3}})
    result["after"] = d.new_or_updated_nodes()
    # the pickles name the _restore of the module that was made in the end
    import pickle
    result["pickled"] = pickle.loads(pickle.dumps(d)).new_or_updated_nodes() == result["after"]
else:
    import quorl_api

    def state(d):  # what the diff holds, read without the views
        return d.to_bytes(), d.num_nodes(), d.num_edges()

    d = quorl_api.PyGraphDiff()
    calls = {{
        "first view": lambda: d.new_or_updated_nodes(),
        "first downcast": lambda: d.delete_node("not bytes"),
        "first columns": lambda: d.new_or_updated_edges_columns(),
    }}
    d.add_node(b"v" * 16, {{}})
    if mode == "first view":
        d.add_node(b"v" * 16, {{"label": "l", "url": "u", "size": 1.5, "red": 1, "green": 2, "blue": 3,
                               "show_label": True}})
    before = state(d)
    quorl_api._inject_failure_after(n)
    result["first"] = outcome(calls[mode])
    result["calls"] = quorl_api._inject_failure_after(None)
    if result["first"][0] == "raised":
        result["unchanged"] = state(d) == before
    result["again"] = outcome(calls[mode])
print("RESULT " + json.dumps(result))
"""


def run_child(mode, n):
    code = CHILD.format()
    env = {"QUORL_INJECT_FAILURE_AFTER": str(n)} if mode == "import" else None
    proc = run_python("import sys; sys.argv[1:] = %r\n" % [mode, str(n)] + code, env_extra=env)
    assert proc.returncode == 0, (mode, n, proc.stderr[-3000:])
    lines = [l for l in proc.stdout.splitlines() if l.startswith("RESULT ")]
    assert len(lines) == 1, (mode, n, proc.stdout, proc.stderr[-3000:])
    return json.loads(lines[0][len("RESULT "):])


IMPORT_FAILURES = [
    ["raised", "MemoryError", [], None],  # the module object
    ["raised", "RuntimeError", ["An error occurred while initializing class PyGraphDiff"], "MemoryError"],
    ["raised", "RuntimeError", ["An error occurred while initializing class PyDiffTable"], "MemoryError"],
    ["raised", "PanicException", [API_FAILED], None],  # names and the __all__ list
]


def test_import_sweep():
    """Each object the import creates, made to fail: the import raises, and
    importing again succeeds and gives a working module."""
    n = 0
    while True:
        result = run_child("import", n)
        assert result["all"] == ["PyGraphDiff"]
        assert result["after"] == {text(b"a" * 16): {"red": 3}}
        assert result["pickled"] is True, (n, result)
        if result["first"][0] != "raised":
            break
        assert result["first"] in IMPORT_FAILURES, (n, result)
        n += 1
        assert n < 100
    assert n >= 12  # module, the two types, name, the seven attribute keys, "__all__", list
    INJECTED["import"] = n


# What a first use gives when one of its creations fails: the fault of an
# interned name the module cannot do without, or the error of the array
# module's import for the columns, which the next call tries again.
FIRST_USE_FAILURES = {"first columns": ["raised", "MemoryError", [], None]}


# (The attribute dict's keys are made with the module, in the import sweep.)
@pytest.mark.parametrize("mode", ["first view", "first downcast", "first columns"])
def test_first_use_sweep(mode):
    """Calls that create the module's interned names or fetch array.array,
    in a fresh process."""
    n = 0
    while True:
        result = run_child(mode, n)
        if result["calls"] <= n:
            assert result["first"] == result["again"]
            break
        failure = FIRST_USE_FAILURES.get(mode, ["raised", "PanicException", [API_FAILED], None])
        assert result["first"] == failure, (mode, n, result)
        assert result["unchanged"], (mode, n)
        # the name that could not be made is made by the next call
        assert result["again"][0] == ("raised" if mode == "first downcast" else "value"), (mode, n, result)
        n += 1
        assert n < 100
    assert n >= 1
    INJECTED[mode] = n
