#!/usr/bin/env python3.8
"""Benchmarks quorl_api.PyGraphDiff side by side with

* the floor: a do-nothing extension class with the same call shapes, built
  from benchmarks/floor/floor.c when this script starts; no method of the
  module can cost less than crossing into native code at all;
* a pure-Python implementation of the same rules and byte string
  (tests/support/pure_graph_diff.py), checked first to give the same results;
* marshal and pickle (protocol 5) of the four view structures;
* for the batch methods, one call of the floor per item, and the loop of
  single calls they replace (numpy, which the venv has, makes the packed
  arguments);
* for the columns, the views of the same contents, and numpy reading them
  (which must copy nothing);
* for the Arrow tables, pyarrow reading them (pa.table()), against the views
  and the columns of the same diffs; and pyarrow columns into the batch
  methods, against packed ids with array('f') weights or lists (skipped
  without pyarrow);
* for ids made to share one hash under the fixed function the tables used
  before it was keyed (tests/support/crafted_ids.py), random ids.

The machine is shared and noisy, so the contenders of each figure run
interleaved (their order rotating from one round to the next), every round
is repeated, and the median is kept. Times are the CPU time of the running
thread, which time spent descheduled does not inflate. Garbage collection
is off while a contender is timed, which favours the pure-Python
implementation.

Run with the module on the path:
    PYTHONPATH=build/release/python python3.8 benchmarks/bench.py [--quick]

Prints a table and then one JSON line with every ratio, its target and
whether the target is met.
"""

import argparse
import array
import ctypes
import gc
import importlib.machinery
import importlib.util
import json
import marshal
import math
import os
import pickle
import random
import shlex
import statistics
import struct
import subprocess
import sys
import sysconfig
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
# The pure-Python implementation is also the tests' model of the module.
sys.path.insert(0, os.path.join(HERE, os.pardir, "tests", "support"))

from crafted_ids import colliding_ids  # noqa: E402
from pure_graph_diff import PureGraphDiff, contents  # noqa: E402

try:
    import quorl_api
except ImportError as e:  # pragma: no cover - a usage error
    sys.exit("cannot import quorl_api (%s): put the built module on PYTHONPATH" % e)

PyGraphDiff = quorl_api.PyGraphDiff
# CPU time of this thread: on a shared machine, time spent descheduled would
# otherwise land on whichever contender happened to be running (--wall
# switches to elapsed time).
now = time.thread_time_ns


# ---------------------------------------------------------------------------
# Identifiers


def make_ids(n, seed):
    """n distinct pseudo-random 16-byte identifiers, the same in every run."""
    rng = random.Random(seed)
    return [rng.getrandbits(128).to_bytes(16, "little") for _ in range(n)]


def counter_id(i, salt):
    """An identifier made on the fly from a counter (for the memory runs,
    where no list of identifiers may stay alive)."""
    return (((i * 0x9E3779B97F4A7C15) ^ (salt << 64)) * 0xBF58476D1CE4E5B9 & ((1 << 128) - 1)).to_bytes(16, "little")


# ---------------------------------------------------------------------------
# The floor extension


def build_floor(workdir):
    """Compiles benchmarks/floor/floor.c with the interpreter's compiler and
    headers into `workdir` and imports it."""
    source = os.path.join(HERE, "floor", "floor.c")
    cc = shlex.split(sysconfig.get_config_var("CC") or "cc")
    suffix = sysconfig.get_config_var("EXT_SUFFIX") or ".so"
    target = os.path.join(workdir, "quorl_floor" + suffix)
    command = cc + [
        "-O2", "-shared", "-fPIC", "-I", sysconfig.get_paths()["include"], source, "-o", target,
    ]
    result = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, universal_newlines=True)
    if result.returncode != 0:
        sys.exit("building the floor extension failed:\n%s\n%s" % (" ".join(command), result.stdout))
    loader = importlib.machinery.ExtensionFileLoader("quorl_floor", target)
    found = importlib.util.spec_from_file_location("quorl_floor", target, loader=loader)
    module = importlib.util.module_from_spec(found)
    loader.exec_module(module)
    return module.Floor


# ---------------------------------------------------------------------------
# Checking that the pure-Python implementation is equivalent


def views(d):
    return (d.new_or_updated_nodes(), d.deleted_nodes(), d.new_or_updated_edges(), d.deleted_edges())


def apply_ops(d, ops):
    for op in ops:
        getattr(d, op[0])(*op[1:])
    return d


def random_ops(n, seed):
    rng = random.Random(seed)
    ids = make_ids(40, seed)
    labels = ["", "plain", 'quote " backslash \\ newline \n tab \t ctl \x01 \x1f del \x7f', "ünïcødé 日本 🙂", "/a/b"]
    sizes = [0.0, -0.0, 0.1, 1.0, 2.5, 1e12, 1e13, 1e-6, 1e-7, 3.4028234663852886e38, -123.25, float("inf"), 7]
    ops = []
    for _ in range(n):
        r = rng.random()
        a, b = rng.choice(ids), rng.choice(ids)
        if r < 0.3:
            update = {}
            for key in ("label", "url"):
                if rng.random() < 0.3:
                    update[key] = rng.choice(labels)
            if rng.random() < 0.5:
                update["size"] = rng.choice(sizes)
            for key in ("red", "green", "blue"):
                if rng.random() < 0.3:
                    update[key] = rng.randrange(256)
            if rng.random() < 0.3:
                update["show_label"] = rng.random() < 0.5
            ops.append(("add_node", a, update))
        elif r < 0.4:
            ops.append(("delete_node", a))
        elif r < 0.8:
            ops.append(("add_edge", a, b, rng.choice([0.5, 0.1, -2.0, 1e39, 3, 1.0000001])))
        else:
            ops.append(("delete_edge", a, b))
    return ops


def verify_equivalence():
    """The pure-Python implementation must give the module's views, counts
    and byte string, compared as the tests compare them (contents(): in
    order, the byte strings byte for byte)."""
    identical = 0
    # One entry per section: the whole byte string must be identical.
    a, b = bytes(range(16)), bytes(range(16, 32))
    update = {"label": 'x "y" \\ \n\x01 ü', "url": "https://e.org/日", "size": 0.1, "red": 0, "green": 128,
              "blue": 255, "show_label": False}
    singles = [
        [],
        [("add_node", a, update)],
        [("add_node", a, {})],
        [("add_node", a, {"size": float("nan")})],
        [("delete_node", a)],
        [("add_edge", a, b, 0.5)],
        [("delete_edge", a, b)],
        [("add_edge", a, b, 0.5), ("delete_node", b)],  # empty source group
        [("add_node", a, update), ("delete_node", b), ("add_edge", a, a, -1.5), ("delete_edge", b, a)],
    ]
    for v in [0.1, 1e13, 1e12, 1e-6, 1e-7, 3.4028234663852886e38, 1.5e13, 1.5e-7, 123.25, 5e-324, 1e-45, -0.0]:
        singles.append([("add_node", a, {"size": v})])
    for ops in singles:
        native = apply_ops(PyGraphDiff(), ops).to_bytes()
        pure = apply_ops(PureGraphDiff(), ops).to_bytes()
        if native != pure:
            raise SystemExit("byte strings differ for %r:\n  module %r\n  pure   %r" % (ops, native, pure))
        identical += 1
    # Random sequences: same views, counts and bytes; each reads the other's
    # bytes.
    for seed in range(8):
        ops = random_ops(3000, seed)
        native = apply_ops(PyGraphDiff(), ops)
        pure = apply_ops(PureGraphDiff(), ops)
        if contents(native) != contents(pure):
            raise SystemExit("views, counts or byte strings differ after random operations (seed %d)" % seed)
        nb, pb = native.to_bytes(), pure.to_bytes()
        if contents(PyGraphDiff.from_bytes(pb)) != contents(PureGraphDiff.from_bytes(nb)):
            raise SystemExit("decoding the other's byte string differs (seed %d)" % seed)
    return identical, seed + 1


# ---------------------------------------------------------------------------
# Timing


def run_timed(body):
    """Runs body() with the collector off; returns its result (ns)."""
    gc.collect()
    gc.disable()
    try:
        return body()
    finally:
        gc.enable()


def interleaved(contenders, rounds):
    """contenders: name -> callable returning one measurement. Each round
    runs every contender once, in an order rotated from round to round,
    after one discarded warm-up round. Returns name -> median."""
    names = list(contenders)
    samples = {name: [] for name in names}
    for r in range(rounds + 1):
        k = r % len(names)
        for name in names[k:] + names[:k]:
            value = run_timed(contenders[name])
            if r:
                samples[name].append(value)
    return {name: statistics.median(values) for name, values in samples.items()}


# Per-call loops. Each returns ns per call; the loop is the same for every
# contender, and "loop" runs it with the call left out.


def per_call_add_edge(factory, pairs):
    def body():
        d = factory() if factory else None
        t0 = now()
        if d is None:
            for a, b in pairs:
                pass
        else:
            for a, b in pairs:
                d.add_edge(a, b, 0.5)
        return (now() - t0) / len(pairs)
    return body


def per_call_add_node(factory, items):
    def body():
        d = factory() if factory else None
        t0 = now()
        if d is None:
            for i, u in items:
                pass
        else:
            for i, u in items:
                d.add_node(i, u)
        return (now() - t0) / len(items)
    return body


def per_call_delete_edge(factory, pairs):
    def body():
        if factory is None:
            t0 = now()
            for a, b in pairs:
                pass
            return (now() - t0) / len(pairs)
        d = factory()
        for a, b in pairs:
            d.add_edge(a, b, 0.5)
        t0 = now()
        for a, b in pairs:
            d.delete_edge(a, b)
        return (now() - t0) / len(pairs)
    return body


def per_call_num_nodes(factory, calls):
    def body():
        d = factory() if factory else None
        rng = range(calls)
        t0 = now()
        if d is None:
            for _ in rng:
                pass
        else:
            for _ in rng:
                d.num_nodes()
        return (now() - t0) / calls
    return body


class Workload:
    def __init__(self, scale):
        self.sources = make_ids(20000 // scale, 1)
        self.targets = make_ids(20000 // scale, 2)
        self.nodes = make_ids(100000 // scale, 3)
        self.edges = [
            (s, self.targets[(i * 7 + j * 131) % len(self.targets)])
            for i, s in enumerate(self.sources)
            for j in range(10)
        ]
        updates = [{"size": 1.5 + k, "red": k * 30, "show_label": k % 2 == 0} for k in range(7)]
        self.node_items = [(n, updates[i % 7]) for i, n in enumerate(self.nodes)]
        labelled = [{"label": "node %d" % k, "size": 2.5, "red": 200} for k in range(7)]
        self.labelled_items = [(n, labelled[i % 7]) for i, n in enumerate(self.nodes)]
        self.deleted = make_ids(100000 // scale, 4)
        self.deleted_sources = make_ids(20000 // scale, 5)
        self.deleted_edges = [
            (s, self.targets[(i * 11 + j * 17) % len(self.targets)])
            for i, s in enumerate(self.deleted_sources)
            for j in range(10)
        ]

    def fill(self, d):
        """The bulk diff: 200,000 edges over 20,000 sources plus 100,000
        node updates (at full scale)."""
        add_edge = d.add_edge
        add_node = d.add_node
        for a, b in self.edges:
            add_edge(a, b, 0.5)
        for i, u in self.node_items:
            add_node(i, u)
        return d

    def fill_deletions(self, d):
        """A diff whose deleted views are as large: 100,000 deleted nodes and
        200,000 deleted edges over 20,000 sources."""
        for i in self.deleted:
            d.delete_node(i)
        for a, b in self.deleted_edges:
            d.delete_edge(a, b)
        return d


class SourcesInAnyOrder:
    """Workloads E and N: bulk changes whose items come in no useful order.

    E: `edges` edges over `edges // 10` sources, each edge's source drawn
    uniformly at random from them (consecutive edges rarely share one), each
    target a fresh id, float32 weights; N: `nodes` fresh ids, each with the
    label "node-<i>", a float32 size and a uint8 red. Both start from an
    empty diff."""

    def __init__(self, scale):
        import numpy as np
        n_edges, n_nodes = 200000 // scale, 100000 // scale
        rng = random.Random(17)
        sources = make_ids(n_edges // 10, 11)
        self.sources = [sources[rng.randrange(len(sources))] for _ in range(n_edges)]
        self.targets = make_ids(n_edges, 12)
        self.weights_f32 = np.array([rng.random() * 10 for _ in range(n_edges)], np.float32)
        self.weights = self.weights_f32.tolist()  # the float32 values, as Python floats
        self.sources_packed = b"".join(self.sources)
        self.targets_packed = b"".join(self.targets)
        self.edge_triples = list(zip(self.sources, self.targets, self.weights))
        # add_edge with fresh ids: every call a new source and a new target.
        self.fresh_triples = list(zip(make_ids(n_edges, 14), make_ids(n_edges, 15), self.weights))
        self.ids = make_ids(n_nodes, 13)
        self.labels = ["node-%d" % i for i in range(n_nodes)]
        self.sizes = array.array("f", [(i % 97) / 4 for i in range(n_nodes)])
        self.reds = array.array("B", [i % 256 for i in range(n_nodes)])
        self.updates = [{"label": l, "size": s, "red": r} for l, s, r in zip(self.labels, self.sizes, self.reds)]
        self.node_items = list(zip(self.ids, self.updates))


def per_call_triples(factory, triples):
    """add_edge(from, to, weight) per triple into a fresh diff; ns per call."""
    def body():
        d = factory() if factory else None
        t0 = now()
        if d is None:
            for a, b, w in triples:
                pass
        else:
            for a, b, w in triples:
                d.add_edge(a, b, w)
        return (now() - t0) / len(triples)
    return body


def mixed_build(factory, load):
    """Workload E by single add_edge calls, then workload N by single
    add_node calls, into a fresh diff; ns per call."""
    triples, items = load.edge_triples, load.node_items

    def body():
        d = factory() if factory else None
        t0 = now()
        if d is None:
            for a, b, w in triples:
                pass
            for i, u in items:
                pass
        else:
            add_edge, add_node = d.add_edge, d.add_node
            for a, b, w in triples:
                add_edge(a, b, w)
            for i, u in items:
                add_node(i, u)
        return (now() - t0) / (len(triples) + len(items))
    return body


def bulk_fill(factory, work):
    def body():
        d = factory()
        t0 = now()
        work.fill(d)
        return now() - t0
    return body


def timed_call(fn):
    def body():
        t0 = now()
        fn()
        return now() - t0
    return body


def delete_node_cost(factory, sources_n, visits, seed):
    """ns per call of delete_node on a diff with `sources_n` sources (one
    edge each), deleting nodes that are no one's target."""
    sources = make_ids(sources_n, seed)
    targets = make_ids(sources_n, seed + 1)
    victims = make_ids(64, seed + 2)
    d = factory()
    for s, t in zip(sources, targets):
        d.add_edge(s, t, 1.0)
    calls = max(3, visits // sources_n)

    def body():
        t0 = now()
        for k in range(calls):
            d.delete_node(victims[k & 63])
        return (now() - t0) / calls
    return body


# Batch methods: one call for the whole workload; ns per item.


def batch_add_edges(args_of, n):
    """add_edges of the workload's edges into a fresh diff; args_of()
    returns the three arguments (built outside the timing)."""
    def body():
        d = PyGraphDiff()
        args = args_of()
        t0 = now()
        d.add_edges(*args)
        return (now() - t0) / n
    return body


def batch_add_nodes(args_of, n):
    def body():
        d = PyGraphDiff()
        args, kwargs = args_of()
        t0 = now()
        d.add_nodes(*args, **kwargs)
        return (now() - t0) / n
    return body


def deletion_fixture(sources_n, victims_n, seed):
    """A diff with `sources_n` sources (one edge each, a tenth of them into
    the victims) as its byte string, and the victims to delete."""
    sources = make_ids(sources_n, seed)
    victims = make_ids(victims_n, seed + 1)
    targets = [victims[i % victims_n] if i % 10 == 0 else s for i, s in enumerate(make_ids(sources_n, seed + 2))]
    d = PyGraphDiff()
    d.add_edges(b"".join(sources), b"".join(targets), 1.0)
    return d.to_bytes(), victims


def delete_nodes_batch(data, victims):
    def body():
        d = PyGraphDiff.from_bytes(data)
        t0 = now()
        d.delete_nodes(victims)
        return now() - t0
    return body


def delete_nodes_loop(data, victims):
    def body():
        d = PyGraphDiff.from_bytes(data)
        delete_node = d.delete_node
        t0 = now()
        for v in victims:
            delete_node(v)
        return now() - t0
    return body


def deleted_nodes_bytes(ids):
    """A byte string listing `ids` as deleted nodes, and nothing else."""
    items = [struct.pack("<Q", 16) + i for i in ids]
    return b"".join([struct.pack("<QQ", 0, len(ids))] + items + [bytes(16)])


def colliding_ids_figures(report, scale, rounds):
    """The attack on the hash: ids that all share one hash under the fixed
    function the tables used before it was keyed, against as many random
    ids, through add_nodes, add_edges (every id a source and a target) and
    from_bytes of a byte string listing them as deleted nodes. Under the
    fixed function the crafted ones took time in the square of their
    count."""
    n = 40000 // scale
    contenders = {}
    for kind, ids in (("made to collide", colliding_ids(n)), ("random", make_ids(n, 41))):
        packed, backwards, listed = b"".join(ids), b"".join(reversed(ids)), deleted_nodes_bytes(ids)
        contenders["add_nodes, %s" % kind] = timed_call(lambda p=packed: PyGraphDiff().add_nodes(p))
        contenders["add_edges, %s" % kind] = timed_call(lambda p=packed, b=backwards: PyGraphDiff().add_edges(p, b, 1.0))
        contenders["from_bytes, %s" % kind] = timed_call(lambda data=listed: PyGraphDiff.from_bytes(data))
    report.section("%d ids made to share one hash under the fixed function the tables used before it was keyed, "
                   "against %d random ids (ms)" % (n, n))
    t = interleaved(contenders, rounds)
    for name, value in t.items():
        report.row(name, value / 1e6, "ms")
    for method in ("add_nodes", "add_edges", "from_bytes"):
        report.ratio("%s_colliding_ids_vs_random" % method,
                     t["%s, made to collide" % method] / t["%s, random" % method], 5.0, "<=")


# ---------------------------------------------------------------------------
# Memory, in a fresh interpreter per figure


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def memory_child(contender, kind, n):
    """Runs in a fresh interpreter: RSS growth per entry of a diff filled
    with n pending edges (10 per source) or n pending node updates (three
    scalar attributes, no texts). Identifiers are made on the fly, so only
    what the diff keeps stays alive."""
    if kind in ("edges E", "nodes N"):
        return memory_child_batch(kind, n)
    if kind == "table N":
        return table_memory_child(n)
    d = PyGraphDiff() if contender == "module" else PureGraphDiff()
    # Warm up the interpreter's own caches and the code paths.
    scratch = PyGraphDiff() if contender == "module" else PureGraphDiff()
    for i in range(1000):
        scratch.add_edge(counter_id(i, 9), counter_id(i, 8), 1.0)
        scratch.add_node(counter_id(i, 7), {"size": 1.0, "red": 3, "show_label": True})
    del scratch
    gc.collect()
    before = rss_bytes()
    if kind == "edges":
        for i in range(n):
            d.add_edge(counter_id(i // 10, 1), counter_id(i, 2), 0.5)
    else:
        for i in range(n):
            d.add_node(counter_id(i, 3), {"size": 1.5, "red": 3, "show_label": True})
    gc.collect()
    after = rss_bytes()
    print(json.dumps({"bytes_per_entry": (after - before) / n, "count": d.num_nodes() + d.num_edges()}))


def columns_memory_child(n):
    """Runs in a fresh interpreter: RSS growth per edge of the columns of a
    diff of n pending edges (10 per source), objects included; then whether
    numpy reads them without a copy, by the arrays' bases and by the RSS
    growth the arrays add."""
    import numpy as np

    scratch = PyGraphDiff()
    scratch.add_edges(b"".join(counter_id(i, 9) for i in range(1000)), b"".join(counter_id(i, 8) for i in range(1000)),
                      1.0)
    scratch.new_or_updated_edges_columns()  # array.array imported, the code paths warm
    del scratch
    d = PyGraphDiff()
    for i in range(n):
        d.add_edge(counter_id(i // 10, 1), counter_id(i, 2), 0.5)
    gc.collect()
    before = rss_bytes()
    columns = d.new_or_updated_edges_columns()
    gc.collect()
    after = rss_bytes()
    frm, to, weights = columns
    arrays = (np.frombuffer(frm, "V16"), np.frombuffer(to, np.uint8).reshape(-1, 16), np.asarray(weights))
    gc.collect()
    converted = rss_bytes()
    shared = (arrays[0].base is frm and arrays[1].base.base is to and arrays[2].base.obj is weights
              and np.shares_memory(arrays[2], np.frombuffer(weights, np.float32)) and arrays[2].dtype == np.float32)
    print(json.dumps({"bytes_per_entry": (after - before) / n, "numpy_bytes_per_entry": (converted - after) / n,
                      "numpy_shares": bool(shared), "count": len(weights)}))


def trim_heap():
    """Gives the C heap's free pages back, so that resident size counts what
    is in use rather than what a batch's scratch left free."""
    try:
        ctypes.CDLL(None).malloc_trim(0)
    except (OSError, AttributeError):  # not glibc
        pass


def steady_malloc():
    """Fixes glibc's threshold for giving large blocks straight to the
    kernel (and for trimming the heap) at 64 MiB. Left alone, it slides with
    the process's history of frees, so one build's to_bytes could take its
    13 MB result on pages fresh from the kernel, faulting each one in, and
    another's from the heap, depending on what ran before. Fixed, both get
    the steady state of a process that has made such a block once."""
    try:
        libc = ctypes.CDLL(None)
        m_trim_threshold, m_mmap_threshold = -1, -3
        libc.mallopt(m_mmap_threshold, 64 << 20)
        libc.mallopt(m_trim_threshold, 128 << 20)
    except (OSError, AttributeError):  # not glibc
        pass


def memory_child_batch(kind, scale):
    """RSS growth per entry of workload E (add_edges of packed ids, float32
    weights) or N (add_nodes of columns) at 1/scale, its arguments made
    before the first reading and alive until after the second."""
    load = SourcesInAnyOrder(scale)
    d = PyGraphDiff()
    warm = PyGraphDiff()
    warm.add_edges(load.sources_packed[:16000], load.targets_packed[:16000], load.weights_f32[:1000])
    warm.add_nodes(load.ids[:1000], label=load.labels[:1000], size=load.sizes[:1000], red=load.reds[:1000])
    del warm
    gc.collect()
    trim_heap()
    before = rss_bytes()
    if kind == "edges E":
        d.add_edges(load.sources_packed, load.targets_packed, load.weights_f32)
        count = len(load.sources)
    else:
        d.add_nodes(load.ids, label=load.labels, size=load.sizes, red=load.reds)
        count = len(load.ids)
    gc.collect()
    trim_heap()
    after = rss_bytes()
    print(json.dumps({"bytes_per_entry": (after - before) / count, "count": d.num_nodes() + d.num_edges()}))


def table_memory_child(scale):
    """RSS growth per node of the nodes table of workload N at 1/scale, the
    table object included: the memory a table holds, texts included."""
    load = SourcesInAnyOrder(scale)
    d = PyGraphDiff()
    d.add_nodes(load.ids, label=load.labels, size=load.sizes, red=load.reds)
    warm = PyGraphDiff()
    warm.add_nodes(load.ids[:1000], label=load.labels[:1000], size=load.sizes[:1000], red=load.reds[:1000])
    warm.new_or_updated_nodes_table()
    del warm
    gc.collect()
    trim_heap()
    before = rss_bytes()
    table = d.new_or_updated_nodes_table()
    gc.collect()
    trim_heap()
    after = rss_bytes()
    print(json.dumps({"bytes_per_entry": (after - before) / len(table), "count": len(table)}))


def arrow_tables(report, load, scale, rounds):
    """Workloads E and N as Arrow tables read by pyarrow (a table made and
    imported by pa.table(), every buffer shared), against the views and the
    edge columns of the same diffs; and the memory a nodes table holds."""
    try:
        import pyarrow as pa
    except ImportError:
        report.section("Arrow tables: pyarrow is not installed, no figures")
        return
    edges = PyGraphDiff()
    edges.add_edges(load.sources_packed, load.targets_packed, load.weights_f32)
    nodes = PyGraphDiff()
    nodes.add_nodes(load.ids, label=load.labels, size=load.sizes, red=load.reds)
    report.section("Arrow tables of workloads E and N read by pa.table(), against the views and columns (ms)")
    t = interleaved({
        "E pa.table(new_or_updated_edges_table())": timed_call(lambda: pa.table(edges.new_or_updated_edges_table())),
        "E new_or_updated_edges_columns()": timed_call(edges.new_or_updated_edges_columns),
        "E new_or_updated_edges()": timed_call(edges.new_or_updated_edges),
        "N pa.table(new_or_updated_nodes_table())": timed_call(lambda: pa.table(nodes.new_or_updated_nodes_table())),
        "N new_or_updated_nodes()": timed_call(nodes.new_or_updated_nodes),
    }, rounds)
    for name, value in t.items():
        report.row(name, value / 1e6, "ms")
    report.ratio("N_nodes_table_speedup_vs_view", t["N new_or_updated_nodes()"]
                 / t["N pa.table(new_or_updated_nodes_table())"], 20.0, ">=")
    report.ratio("E_edges_table_speedup_vs_view", t["E new_or_updated_edges()"]
                 / t["E pa.table(new_or_updated_edges_table())"], 20.0, ">=")
    report.ratio("E_edges_table_vs_columns", t["E pa.table(new_or_updated_edges_table())"]
                 / t["E new_or_updated_edges_columns()"], 1.2, "<=")
    memory = statistics.median(measure_memory("module", "table N", scale) for _ in range(3))
    report.ratio("N_nodes_table_bytes_per_node", memory, 40.0, "<=",
                 "(RSS growth of the table, texts included)", unit="B")


def arrow_batches(report, load, rounds):
    """Workloads E and N from pyarrow columns into the batch methods (ids as
    fixed_size_binary(16), weights and sizes float32, labels utf8, red
    uint8), against the same columns as packed ids with array('f') weights,
    and as packed ids with lists."""
    try:
        import pyarrow as pa
    except ImportError:
        report.section("Arrow columns into the batch methods: pyarrow is not installed, no figures")
        return
    n_edges, n_nodes = len(load.sources), len(load.ids)
    weights = array.array("f", load.weights_f32.tobytes())
    edges = (pa.array(load.sources, pa.binary(16)), pa.array(load.targets, pa.binary(16)), pa.array(load.weights_f32))
    ids_packed = b"".join(load.ids)
    lists = {"label": load.labels, "size": list(load.sizes), "red": list(load.reds)}
    node_ids = pa.array(load.ids, pa.binary(16))
    columns = {"label": pa.array(load.labels), "size": pa.array(load.sizes, pa.float32()),
               "red": pa.array(load.reds, pa.uint8())}
    report.section("workloads E and N from pyarrow columns into the batch methods (ns per item)")
    t = interleaved({
        "E add_edges packed, array('f')": batch_add_edges(
            lambda: (load.sources_packed, load.targets_packed, weights), n_edges),
        "E add_edges pyarrow": batch_add_edges(lambda: edges, n_edges),
        "N add_nodes packed ids, lists": batch_add_nodes(lambda: ((ids_packed,), lists), n_nodes),
        "N add_nodes pyarrow": batch_add_nodes(lambda: ((node_ids,), columns), n_nodes),
    }, rounds)
    for name, value in t.items():
        report.row(name, value, "ns")
    report.ratio("E_add_edges_pyarrow_vs_packed", t["E add_edges pyarrow"] / t["E add_edges packed, array('f')"], 1.1,
                 "<=", "(fixed_size_binary(16) and float32 columns)")
    report.ratio("N_add_nodes_pyarrow_vs_packed_and_lists", t["N add_nodes pyarrow"]
                 / t["N add_nodes packed ids, lists"], 1.0, "<=", "(ids, label, size, red)")


def measure_memory(contender, kind, n):
    env = dict(os.environ)
    result = subprocess.run(
        [sys.executable, os.path.abspath(__file__), "--memory-child", contender, kind, str(n)],
        stdout=subprocess.PIPE, universal_newlines=True, env=env, check=True)
    found = json.loads(result.stdout.strip().splitlines()[-1])
    return found if kind == "columns" else found["bytes_per_entry"]


# ---------------------------------------------------------------------------
# Report


class Report:
    def __init__(self):
        self.rows = []
        self.ratios = {}

    def section(self, title):
        self.rows.append(("section", title))

    def row(self, label, value, unit, note=""):
        self.rows.append(("row", label, value, unit, note))

    def ratio(self, key, value, target=None, kind=None, note="", unit="x"):
        """kind '<=' or '>=': the target is a bound on the figure."""
        met = None
        if target is not None:
            met = value <= target if kind == "<=" else value >= target
        self.ratios[key] = {"ratio": round(value, 4)}
        if target is not None:
            self.ratios[key]["target"] = "%s %g" % (kind, target)
            self.ratios[key]["met"] = met
        self.rows.append(("ratio", key, value, target, kind, met, note, unit))

    def print(self):
        for entry in self.rows:
            if entry[0] == "section":
                print("\n== %s" % entry[1])
            elif entry[0] == "row":
                _, label, value, unit, note = entry
                print("  %-46s %12s %-6s %s" % (label, fmt(value), unit, note))
            else:
                _, key, value, target, kind, met, note, unit = entry
                goal = "" if target is None else "target %s %g: %s" % (kind, target, "met" if met else "MISSED")
                print("  %-46s %12.3f %-6s %s %s" % (key, value, unit, goal, note))


def fmt(value):
    if value >= 1e6:
        return "{:,.0f}".format(value)
    if value >= 100:
        return "%.0f" % value
    return "%.2f" % value


def any_order(report, Floor, scale, rounds):
    """Workloads E and N: every figure from one interleaved run, each against
    the floor's call in the same loop (loop time taken off both unless said
    otherwise), and the memory per pending edge and node."""
    import numpy as np
    load = SourcesInAnyOrder(scale)
    n_edges, n_nodes = len(load.sources), len(load.ids)
    sources_list, targets_list = list(load.sources), list(load.targets)
    report.section("workloads E and N: %d edges over %d sources in random order, %d labelled nodes "
                   "(ns per item)" % (n_edges, n_edges // 10, n_nodes))
    t = interleaved({
        "E add_edges packed": batch_add_edges(
            lambda: (load.sources_packed, load.targets_packed, load.weights_f32), n_edges),
        "E add_edges lists": batch_add_edges(lambda: (sources_list, targets_list, load.weights), n_edges),
        "N add_nodes columns": batch_add_nodes(
            lambda: ((load.ids,), {"label": load.labels, "size": load.sizes, "red": load.reds}), n_nodes),
        "N add_nodes dicts": batch_add_nodes(lambda: ((load.ids, load.updates), {}), n_nodes),
        "E add_edge": per_call_triples(PyGraphDiff, load.edge_triples),
        "E floor add_edge": per_call_triples(Floor, load.edge_triples),
        "E loop": per_call_triples(None, load.edge_triples),
        "fresh add_edge": per_call_triples(PyGraphDiff, load.fresh_triples),
        "fresh floor add_edge": per_call_triples(Floor, load.fresh_triples),
        "fresh loop": per_call_triples(None, load.fresh_triples),
        "N add_node": per_call_add_node(PyGraphDiff, load.node_items),
        "N floor add_node": per_call_add_node(Floor, load.node_items),
        "N loop": per_call_add_node(None, load.node_items),
        "mixed build": mixed_build(PyGraphDiff, load),
        "mixed floor": mixed_build(Floor, load),
        "mixed loop": mixed_build(None, load),
    }, rounds)
    for name, value in t.items():
        report.row(name, value, "ns")
    # Each figure against the floor twice: with the loop's own time taken
    # off both sides (the stricter), and with the loop left in both, as a
    # timer of the Python loop sees them.
    def against_floor(key, module, floor, loop, target, note, batch=False):
        module_net = module if batch else module - loop
        report.ratio(key, module_net / max(floor - loop, 1e-9), target, "<=", note)
        report.ratio(key + "_with_loop", module / floor, target, "<=", note + " (loop included in both)")

    per_item = "(per item, against one floor call)"
    against_floor("E_add_edges_packed_vs_floor_call", t["E add_edges packed"], t["E floor add_edge"], t["E loop"],
                  1.0, per_item, batch=True)
    against_floor("E_add_edges_lists_vs_floor_call", t["E add_edges lists"], t["E floor add_edge"], t["E loop"],
                  1.3, per_item, batch=True)
    against_floor("N_add_nodes_columns_vs_floor_call", t["N add_nodes columns"], t["N floor add_node"], t["N loop"],
                  1.0, per_item, batch=True)
    against_floor("N_add_nodes_dicts_vs_floor_call", t["N add_nodes dicts"], t["N floor add_node"], t["N loop"],
                  2.0, per_item, batch=True)
    against_floor("N_add_node_vs_floor", t["N add_node"], t["N floor add_node"], t["N loop"], 2.5,
                  "(fresh ids, 3 attributes)")
    against_floor("add_edge_fresh_vs_floor", t["fresh add_edge"], t["fresh floor add_edge"], t["fresh loop"], 1.8,
                  "(fresh ids)")
    against_floor("E_add_edge_vs_floor", t["E add_edge"], t["E floor add_edge"], t["E loop"], None,
                  "(workload E: sources drawn at random)")
    against_floor("mixed_build_vs_floor", t["mixed build"], t["mixed floor"], t["mixed loop"], 3.0,
                  "(E by add_edge, then N by add_node, per call)")
    mem = {kind: statistics.median(measure_memory("module", kind, scale) for _ in range(3))
           for kind in ("edges E", "nodes N")}
    report.ratio("E_bytes_per_edge", mem["edges E"], 30.0, "<=", "(RSS growth, add_edges, heap trimmed)", unit="B")
    report.ratio("N_bytes_per_node", mem["nodes N"], 56.0, "<=", "(RSS growth, add_nodes, heap trimmed)", unit="B")
    arrow_tables(report, load, scale, rounds)
    arrow_batches(report, load, rounds)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="a fast smoke run: a tenth of the sizes, few rounds")
    parser.add_argument("--rounds", type=int, help="rounds per figure (default 7, quick 3)")
    parser.add_argument("--wall", action="store_true", help="time with the elapsed-time clock instead of CPU time")
    parser.add_argument("--memory-child", nargs=3, metavar=("CONTENDER", "KIND", "N"), help=argparse.SUPPRESS)
    parser.add_argument("--only-any-order", action="store_true",
                        help="only the figures of workloads E and N (sources in any order)")
    parser.add_argument("--only-arrow", action="store_true",
                        help="only the Arrow figures of workloads E and N (tables out, columns in)")
    args = parser.parse_args()
    if args.memory_child:
        contender, kind, n = args.memory_child
        if kind == "columns":
            columns_memory_child(int(n))
        else:
            memory_child(contender, kind, int(n))
        return 0

    steady_malloc()
    global now
    if args.wall:
        now = time.perf_counter_ns
    scale = 10 if args.quick else 1
    rounds = args.rounds or (3 if args.quick else 7)
    report = Report()
    print("quorl_api from %s" % quorl_api.__file__)
    print("python %s, %d rounds per figure, scale 1/%d, %s" % (
        sys.version.split()[0], rounds, scale, "elapsed time" if args.wall else "thread CPU time"))

    with tempfile.TemporaryDirectory(prefix="quorl-floor-") as workdir:
        Floor = build_floor(workdir)
        identical, sequences = verify_equivalence()
        print("pure-Python implementation checked against the module: %d small diffs byte-identical, "
              "%d random sequences equal in views, counts and sections" % (identical, sequences))
        if args.only_arrow:
            load = SourcesInAnyOrder(scale)
            arrow_tables(report, load, scale, rounds)
            arrow_batches(report, load, rounds)
            report.print()
            print()
            print(json.dumps(report.ratios, sort_keys=True))
            return 0
        if args.only_any_order:
            any_order(report, Floor, scale, rounds)
            report.print()
            print()
            print(json.dumps(report.ratios, sort_keys=True))
            return 0
        work = Workload(scale)

        # -- per call -------------------------------------------------------
        report.section("per call (ns), %d distinct calls per round" % len(work.edges))
        cases = [
            ("add_edge", per_call_add_edge, work.edges, (1.5, 5.0)),
            ("add_node", per_call_add_node, work.node_items, (2.5, 4.0)),
            ("add_node_label", per_call_add_node, work.labelled_items, (None, None)),
            ("delete_edge", per_call_delete_edge, work.edges, (None, None)),
            ("num_nodes", per_call_num_nodes, len(work.edges), (None, None)),
        ]
        for name, make, data, (floor_target, pure_target) in cases:
            t = interleaved({
                "module": make(PyGraphDiff, data),
                "floor": make(Floor, data),
                "pure": make(PureGraphDiff, data),
                "loop": make(None, data),
            }, rounds)
            loop = t["loop"]
            report.row("%s: module" % name, t["module"], "ns")
            report.row("%s: floor" % name, t["floor"], "ns")
            report.row("%s: pure Python" % name, t["pure"], "ns")
            report.row("%s: the loop alone" % name, loop, "ns")
            net_floor = max(t["floor"] - loop, 1e-9)
            report.ratio("%s_vs_floor" % name, (t["module"] - loop) / net_floor,
                         floor_target, "<=", "(call alone: loop time taken off both)")
            report.ratio("%s_vs_floor_with_loop" % name, t["module"] / t["floor"], None, None,
                         "(timeit-style, loop included)")
            report.ratio("%s_speedup_vs_pure" % name, t["pure"] / t["module"], pure_target, ">=",
                         "(loop included in both)")

        # -- batch methods --------------------------------------------------
        import numpy as np  # the packed forms of the batch arguments

        n_edges = len(work.edges)
        sources_bytes = b"".join(a for a, _ in work.edges)
        targets_bytes = b"".join(b for _, b in work.edges)
        sources_list = [a for a, _ in work.edges]
        targets_list = [b for _, b in work.edges]
        weights_f32 = np.full(n_edges, 0.5, np.float32)
        weights_list = [0.5] * n_edges
        sources_np = np.frombuffer(sources_bytes, np.uint8).reshape(n_edges, 16)
        targets_np = np.frombuffer(targets_bytes, np.uint8).reshape(n_edges, 16)
        n_nodes = len(work.nodes)
        node_ids = list(work.nodes)
        labels = ["node %d" % (i % 7) for i in range(n_nodes)]
        sizes = np.full(n_nodes, 2.5, np.float32)
        reds = np.full(n_nodes, 200, np.uint8)
        report.section("batch methods (ns per item): add_edges of the %d edges, add_nodes of the %d nodes "
                       "(a list of labels, size and red as arrays; the floor and add_node get the same three "
                       "attributes)" % (n_edges, n_nodes))
        t = interleaved({
            "add_edges bytes": batch_add_edges(lambda: (sources_bytes, targets_bytes, weights_f32), n_edges),
            "add_edges numpy": batch_add_edges(lambda: (sources_np, targets_np, weights_f32), n_edges),
            "add_edges lists": batch_add_edges(lambda: (sources_list, targets_list, weights_list), n_edges),
            "add_nodes columns": batch_add_nodes(
                lambda: ((node_ids,), {"label": labels, "size": sizes, "red": reds}), n_nodes),
            "floor add_edge": per_call_add_edge(Floor, work.edges),
            "floor add_node": per_call_add_node(Floor, work.labelled_items),
            "loop add_edge": per_call_add_edge(None, work.edges),
            "loop add_node": per_call_add_node(None, work.labelled_items),
            "module add_node": per_call_add_node(PyGraphDiff, work.labelled_items),
        }, rounds)
        for name, value in t.items():
            report.row(name, value, "ns")
        floor_edge, floor_node = t["floor add_edge"], t["floor add_node"]
        bare_edge = max(floor_edge - t["loop add_edge"], 1e-9)
        bare_node = max(floor_node - t["loop add_node"], 1e-9)
        for form, target in (("bytes", 1.0), ("numpy", 1.0), ("lists", 1.5)):
            report.ratio("add_edges_%s_vs_floor_call" % form, t["add_edges " + form] / bare_edge, target, "<=",
                         "(per edge, against one bare floor add_edge call: loop time taken off the floor)")
            report.ratio("add_edges_%s_vs_floor_call_with_loop" % form, t["add_edges " + form] / floor_edge, None,
                         None, "(against the floor's call with its loop)")
        report.ratio("add_nodes_columns_vs_floor_call", t["add_nodes columns"] / bare_node, 1.5, "<=",
                     "(per node, against one bare floor add_node call)")
        report.ratio("add_nodes_columns_vs_floor_call_with_loop", t["add_nodes columns"] / floor_node, None, None,
                     "(against the floor's call with its loop)")
        report.ratio("add_nodes_columns_speedup_vs_add_node", t["module add_node"] / t["add_nodes columns"])

        del sources_np, targets_np
        any_order(report, Floor, scale, rounds)

        sources_n, victims_n = 100000 // scale, 1000 // scale
        data, victims = deletion_fixture(sources_n, victims_n, 30)
        report.section("delete_nodes of %d ids from a diff of %d sources (ms)" % (victims_n, sources_n))
        t = interleaved({
            "delete_nodes": delete_nodes_batch(data, victims),
            "delete_node loop": delete_nodes_loop(data, victims),
        }, min(rounds, 3))
        report.row("delete_nodes: one call", t["delete_nodes"] / 1e6, "ms")
        report.row("delete_node: one call per id", t["delete_node loop"] / 1e6, "ms")
        report.ratio("delete_nodes_speedup_vs_delete_node_loop", t["delete_node loop"] / t["delete_nodes"], 100.0, ">=")
        del data, victims

        colliding_ids_figures(report, scale, rounds)

        # -- bulk -----------------------------------------------------------
        report.section("bulk: %d edges over %d sources plus %d node updates (ms)"
                       % (len(work.edges), len(work.sources), len(work.nodes)))
        t = interleaved({
            "module": bulk_fill(PyGraphDiff, work),
            "floor": bulk_fill(Floor, work),
            "pure": bulk_fill(PureGraphDiff, work),
        }, rounds)
        for name in ("module", "floor", "pure"):
            report.row("fill: %s" % name, t[name] / 1e6, "ms")
        report.ratio("bulk_vs_floor", t["module"] / t["floor"])
        report.ratio("bulk_speedup_vs_pure", t["pure"] / t["module"])

        native = work.fill(PyGraphDiff())
        pure = work.fill(PureGraphDiff())
        native_del = work.fill_deletions(PyGraphDiff())
        pure_del = work.fill_deletions(PureGraphDiff())
        if contents(native) != contents(pure) or contents(native_del) != contents(pure_del):
            raise SystemExit("bulk diffs differ between the module and the pure-Python implementation")

        # -- views ----------------------------------------------------------
        report.section("views (ms): nodes and edges on the bulk diff; deleted ones on a diff of "
                       "%d deleted nodes and %d deleted edges" % (len(work.deleted), len(work.deleted_edges)))
        for view, n_obj, p_obj in (
                ("new_or_updated_nodes", native, pure),
                ("new_or_updated_edges", native, pure),
                ("deleted_nodes", native_del, pure_del),
                ("deleted_edges", native_del, pure_del)):
            t = interleaved({
                "module": timed_call(getattr(n_obj, view)),
                "pure": timed_call(getattr(p_obj, view)),
            }, rounds)
            report.row("%s: module" % view, t["module"] / 1e6, "ms")
            report.row("%s: pure Python" % view, t["pure"] / 1e6, "ms")
            report.ratio("%s_speedup_vs_pure" % view, t["pure"] / t["module"], 3.0, ">=")

        # -- columns --------------------------------------------------------
        report.section("columns (ms): edges and node ids of the bulk diff; deleted ones of the diff of "
                       "deletions; against the views of the same contents")
        # Any result of new memory pays the kernel for its pages on first
        # touch; bytearrays of the columns' sizes, which are zeroed as they
        # are made, show what that alone costs on this machine.
        n_rows = len(work.edges)
        fresh = {"new_or_updated_edges_columns": (16 * n_rows, 16 * n_rows, 4 * n_rows)}
        for columns, view, obj in (
                ("new_or_updated_edges_columns", "new_or_updated_edges", native),
                ("new_or_updated_nodes_ids", "new_or_updated_nodes", native),
                ("deleted_edges_columns", "deleted_edges", native_del),
                ("deleted_nodes_ids", "deleted_nodes", native_del)):
            contenders = {
                "columns": timed_call(getattr(obj, columns)),
                "view": timed_call(getattr(obj, view)),
            }
            if columns in fresh:
                contenders["fresh"] = timed_call(lambda sizes=fresh[columns]: [bytearray(n) for n in sizes])
            t = interleaved(contenders, rounds)
            report.row("%s()" % columns, t["columns"] / 1e6, "ms")
            report.row("%s()" % view, t["view"] / 1e6, "ms")
            report.ratio("%s_speedup_vs_view" % columns, t["view"] / t["columns"],
                         20.0 if columns == "new_or_updated_edges_columns" else None, ">=")
            if "fresh" in t:
                report.row("new memory of the same size (bytearrays)", t["fresh"] / 1e6, "ms")
                report.ratio("%s_vs_new_memory" % columns, t["columns"] / t["fresh"], None, None,
                             "(the columns against touching as much new memory)")
                report.ratio("%s_speedup_vs_view_net_of_new_memory" % columns,
                             t["view"] / max(t["columns"] - t["fresh"], 1e-9), None, None,
                             "(the view against the columns less the new memory's cost)")

        # -- bytes ----------------------------------------------------------
        the_views = views(native)
        data = native.to_bytes()
        pure_data = pure.to_bytes()
        marshalled = marshal.dumps(the_views)
        pickled = pickle.dumps(the_views, protocol=5)
        report.section("byte string of the bulk diff (ms); to_bytes %d bytes, marshal %d, pickle %d"
                       % (len(data), len(marshalled), len(pickled)))
        t = interleaved({
            "to_bytes": timed_call(native.to_bytes),
            "pure.to_bytes": timed_call(pure.to_bytes),
            "marshal.dumps": timed_call(lambda: marshal.dumps(the_views)),
            "pickle.dumps": timed_call(lambda: pickle.dumps(the_views, protocol=5)),
        }, rounds)
        for name, value in t.items():
            report.row(name, value / 1e6, "ms")
        report.ratio("to_bytes_vs_marshal_dumps", t["to_bytes"] / t["marshal.dumps"], 0.2, "<=")
        report.ratio("to_bytes_vs_pickle_dumps", t["to_bytes"] / t["pickle.dumps"])
        report.ratio("to_bytes_speedup_vs_pure", t["pure.to_bytes"] / t["to_bytes"], 20.0, ">=")
        t = interleaved({
            "from_bytes": timed_call(lambda: PyGraphDiff.from_bytes(data)),
            "pure.from_bytes": timed_call(lambda: PureGraphDiff.from_bytes(pure_data)),
            "marshal.loads": timed_call(lambda: marshal.loads(marshalled)),
            "pickle.loads": timed_call(lambda: pickle.loads(pickled)),
        }, rounds)
        for name, value in t.items():
            report.row(name, value / 1e6, "ms")
        report.ratio("from_bytes_vs_marshal_loads", t["from_bytes"] / t["marshal.loads"], 0.2, "<=")
        report.ratio("from_bytes_vs_pickle_loads", t["from_bytes"] / t["pickle.loads"])
        report.ratio("from_bytes_speedup_vs_pure", t["pure.from_bytes"] / t["from_bytes"], 20.0, ">=")
        del native, pure, native_del, pure_del, the_views, marshalled, pickled

        # -- memory ---------------------------------------------------------
        edges_n = 200000 // scale
        nodes_n = 100000 // scale
        report.section("memory: RSS growth in a fresh interpreter (bytes per entry; "
                       "%d edges, 10 per source; %d node updates, no texts)" % (edges_n, nodes_n))
        mem = {}
        for contender in ("module", "pure"):
            for kind, n in (("edges", edges_n), ("nodes", nodes_n)):
                mem[contender, kind] = statistics.median(
                    measure_memory(contender, kind, n) for _ in range(3))
        report.row("per pending edge: module", mem["module", "edges"], "B")
        report.row("per pending edge: pure Python", mem["pure", "edges"], "B")
        report.row("per pending node update: module", mem["module", "nodes"], "B")
        report.row("per pending node update: pure Python", mem["pure", "nodes"], "B")
        report.ratio("bytes_per_edge", mem["module", "edges"], 30.0, "<=", unit="B")
        report.ratio("bytes_per_node_update", mem["module", "nodes"], 42.5, "<=", unit="B")
        report.ratio("edge_memory_vs_pure", mem["module", "edges"] / mem["pure", "edges"])
        report.ratio("node_memory_vs_pure", mem["module", "nodes"] / mem["pure", "nodes"])

        # What add_nodes keeps: the room of the ids it adds, not of its items.
        repeats = 10 ** 6 // scale
        report.section("memory add_nodes keeps (sys.getsizeof): one id %d times in one batch against one "
                       "add_node; %d pending nodes updated by one batch" % (repeats, nodes_n))
        repeated, single = PyGraphDiff(), PyGraphDiff()
        repeated.add_nodes(bytes(16) * repeats)
        single.add_node(bytes(16), {})
        report.row("one id repeated, one batch", sys.getsizeof(repeated), "B")
        report.row("the same change by one add_node", sys.getsizeof(single), "B")
        report.ratio("repeated_id_batch_bytes_beyond_add_node", sys.getsizeof(repeated) - sys.getsizeof(single),
                     65536.0, "<=", unit="B")
        pending_ids = make_ids(nodes_n, 21)
        pending = PyGraphDiff()
        pending.add_nodes(pending_ids, label=["node-%d" % i for i in range(nodes_n)])
        before = sys.getsizeof(pending)
        pending.add_nodes(pending_ids, red=array.array("B", [i % 256 for i in range(nodes_n)]))
        report.row("pending nodes, before the batch", before, "B")
        report.row("pending nodes, after the batch", sys.getsizeof(pending), "B")
        report.ratio("update_pending_by_batch_growth", sys.getsizeof(pending) / before, 1.05, "<=")
        del repeated, single, pending, pending_ids

        runs = [measure_memory("module", "columns", edges_n) for _ in range(3)]
        report.section("memory of new_or_updated_edges_columns(): RSS growth in a fresh interpreter (bytes per "
                       "edge, objects included; %d edges, 10 per source), then of reading it with numpy" % edges_n)
        columns_bytes = statistics.median(r["bytes_per_entry"] for r in runs)
        numpy_bytes = statistics.median(r["numpy_bytes_per_entry"] for r in runs)
        report.row("the three columns", columns_bytes, "B", "(16 + 16 + 4 bytes of data per edge)")
        report.row("numpy arrays over them", numpy_bytes, "B")
        report.ratio("edges_columns_bytes_per_edge", columns_bytes, 40.0, "<=", unit="B")
        report.ratio("edges_columns_numpy_copies_nothing", float(all(r["numpy_shares"] for r in runs)), 1.0, ">=",
                     "(1: every array's base is its column and numpy adds %.2f B per edge)" % numpy_bytes, unit="")

        # -- delete_node ----------------------------------------------------
        report.section("delete_node as the number of sources grows (ns per source)")
        per_source = {}
        for sources_n in (1000, 10000, 100000):
            t = interleaved({
                "module": delete_node_cost(PyGraphDiff, sources_n, 2000000 // scale, 20),
                "pure": delete_node_cost(PureGraphDiff, sources_n, 200000 // scale, 20),
            }, rounds)
            per_source[sources_n] = t["module"] / sources_n
            report.row("%d sources: module" % sources_n, t["module"] / sources_n, "ns/src",
                       "(%.1f us per call)" % (t["module"] / 1e3))
            report.row("%d sources: pure Python" % sources_n, t["pure"] / sources_n, "ns/src",
                       "(%.1f us per call)" % (t["pure"] / 1e3))
        report.ratio("delete_node_per_source_1e5_vs_1e3", per_source[100000] / per_source[1000], 1.5, "<=",
                     "(linear: the cost per source does not grow)")
        report.ratio("delete_node_ns_per_source_1e5", per_source[100000], unit="ns")

    report.print()
    print()
    print(json.dumps(report.ratios, sort_keys=True))
    return 0


if __name__ == "__main__":
    sys.exit(main())
