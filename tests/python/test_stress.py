"""Stress: threads, callbacks that pull the diff away or come back into it,
many hostile byte strings and one very large one.

The quick tests run everywhere (also under the sanitizers); the `slow` ones
repeat the same work many times and check that the process does not grow,
or handle about 100 MB at once.
"""
import ctypes
import gc
import os
import math
import random
import struct
import sys
import threading
import time

import pytest

from quorl_api import PyGraphDiff

from conftest import DESERIALIZE_FAILED, diff_bytes, normalized, panic_classes, snapshot, text, u64, uid
from crafted_ids import colliding_ids, fixed_hash
from pure_graph_diff import PureGraphDiff, contents


def rss():
    """The resident size, after the C allocator has given back the free
    memory it keeps (glibc keeps up to twice its current mmap threshold,
    which grows to 32 MB as large blocks are freed, at the top of its heap):
    what stays resident is then memory still in use."""
    if _malloc_trim is not None:
        _malloc_trim(0)
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def _find_malloc_trim():
    try:
        return ctypes.CDLL(None).malloc_trim
    except (OSError, AttributeError):
        return None


_malloc_trim = _find_malloc_trim()


def assert_flat(work, rounds=4, slack=6 * 2 ** 20):
    """Runs `work` once to warm up, then `rounds` times more; the resident
    size must not keep growing."""
    work()
    gc.collect()
    before = rss()
    for _ in range(rounds):
        work()
    gc.collect()
    growth = rss() - before
    assert growth < slack, growth


def random_op(rng, ids):
    """One operation as (name, args); weights and sizes are exact in binary32."""
    kind = rng.randrange(10)
    a, b = rng.choice(ids), rng.choice(ids)
    if kind < 4:
        update = {}
        if rng.random() < 0.5:
            update["label"] = rng.choice(["", "n\u00e9", "\u65e5\"\\\n"])
        if rng.random() < 0.5:
            update["size"] = rng.randrange(-64, 64) / 4
        if rng.random() < 0.5:
            update["red"] = rng.randrange(256)
        if rng.random() < 0.3:
            update["show_label"] = rng.random() < 0.5
        return "add_node", (a, update)
    if kind < 5:
        return "delete_node", (a,)
    if kind < 8:
        return "add_edge", (a, b, rng.randrange(-64, 64) / 8)
    if kind < 9 or rng.random() < 0.9:
        return "delete_edge", (a, b)
    return "clear", ()


# ------------------------------------------------------------------ threads

class Yielding:
    """A number whose conversion gives the other threads a turn, while the
    diff it is converted for is borrowed."""

    def __init__(self, value):
        self.value = value

    def __float__(self):
        time.sleep(0)
        return self.value

    def __index__(self):
        time.sleep(0)
        return int(self.value)


BORROW_ERRORS = {("Already borrowed",), ("Already mutably borrowed",)}


def threads_work(n_threads=12, ops_per_thread=1000, seed=1):
    """Every thread changes a diff of its own and, through identifiers of its
    own, one diff shared by all; conversions yield the interpreter lock half
    way through calls. On the shared diff a call may meet a borrow held by
    another thread and fail with the borrow error, and only with it, leaving
    the diff untouched: replaying each thread's accepted calls on a fresh
    diff must give exactly the shared diff."""
    shared = PyGraphDiff()
    problems = []
    logs = [[] for _ in range(n_threads)]
    conflicts = [0]
    start = threading.Barrier(n_threads)

    def worker(t):
        try:
            work(t)
        except BaseException as e:  # noqa: B902 - a thread must not fail unseen
            problems.append(("thread failed", t, repr(e)))

    def work(t):
        rng = random.Random(seed * 1000 + t)
        own_ids = [uid((t, k)) for k in range(6)]
        own, model = PyGraphDiff(), PureGraphDiff()
        start.wait()
        for _ in range(ops_per_thread):
            name, args = random_op(rng, own_ids)
            if name == "add_edge":
                args = args[:2] + (Yielding(args[2]),)
            elif name == "add_node" and "red" in args[1]:
                args = (args[0], dict(args[1], red=Yielding(args[1]["red"])))
            if name == "clear":
                continue  # would wipe the other threads' work
            try:
                getattr(shared, name)(*args)
            except RuntimeError as e:
                if e.args not in BORROW_ERRORS:
                    problems.append(("shared", name, e.args))
                conflicts[0] += 1
            except BaseException as e:  # noqa: B902
                problems.append(("shared", name, repr(e)))
            else:
                logs[t].append((name, args))
            # readers meet the writers' borrows too
            try:
                shared.new_or_updated_edges() if rng.random() < 0.5 else shared.to_bytes()
            except RuntimeError as e:
                if e.args not in BORROW_ERRORS:
                    problems.append(("read", e.args))
                conflicts[0] += 1
            getattr(own, name)(*args)
            getattr(model, name)(*args)
        if contents(own) != contents(model):
            problems.append(("own diff differs from the model", t))
        back = PyGraphDiff.from_bytes(own.to_bytes())
        if contents(back) != contents(own):
            problems.append(("own diff round trip", t))

    switch = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    try:
        threads = [threading.Thread(target=worker, args=(t,)) for t in range(n_threads)]
        for th in threads:
            th.start()
        for th in threads:
            th.join()
    finally:
        sys.setswitchinterval(switch)
    assert problems == []

    replay = PyGraphDiff()
    for log in logs:
        for name, args in log:
            getattr(replay, name)(*args)
    assert normalized(shared) == normalized(replay)
    assert contents(PyGraphDiff.from_bytes(shared.to_bytes())) == contents(shared)
    # nothing is left borrowed
    shared.add_node(uid("after"), {})
    return conflicts[0]


def test_threads_own_and_shared_diffs():
    assert threads_work() > 0  # borrow conflicts did happen


def test_a_call_meeting_another_threads_batch_is_refused():
    """A batch whose items come from a generator holds the diff while the
    generator runs, and the generator may let another thread run: here it
    waits, half way, until the main thread has called into the same diff.
    Every such call is refused with the borrow error and changes nothing;
    the batch then completes as if alone."""
    a, b, c = uid("t-a"), uid("t-b"), uid("t-c")
    d = PyGraphDiff()
    d.add_node(c, {"label": "before"})
    sources = [uid(("batch", k)) for k in range(4)]
    inside, answered = threading.Event(), threading.Event()
    failures = []

    def items():
        yield sources[0]
        inside.set()
        answered.wait(60)
        yield from sources[1:]

    def batch():
        try:
            d.add_edges(items(), sources[::-1], 1.5)
        except BaseException as e:  # noqa: B902 - a thread must not fail unseen
            failures.append(repr(e))

    worker = threading.Thread(target=batch)
    worker.start()
    try:
        assert inside.wait(60)
        refused = []
        for call in (lambda: d.add_edge(a, b, 1.0), lambda: d.add_node(a, {}), lambda: d.delete_node(c), d.clear,
                     d.new_or_updated_edges, d.num_nodes, d.to_bytes):
            with pytest.raises(RuntimeError) as info:
                call()
            refused.append(info.value.args)
    finally:
        answered.set()
        worker.join()
    assert failures == []
    assert refused == [("Already borrowed",)] * 4 + [("Already mutably borrowed",)] * 3
    model = PureGraphDiff()
    model.add_node(c, {"label": "before"})
    for source, target in zip(sources, sources[::-1]):
        model.add_edge(source, target, 1.5)
    assert contents(d) == contents(model)
    d.add_edge(a, b, 1.0)  # the batch done, the diff is free again


@pytest.mark.slow
def test_threads_memory_flat():
    assert_flat(lambda: threads_work(seed=2), rounds=3)


# ---------------------------------------------------------------- callbacks

A, B, C = uid("s-a"), uid("s-b"), uid("s-c")


class Call:
    """A number, a float or an index, whose conversion runs `action`."""

    def __init__(self, action, value=1):
        self.action = action
        self.value = value

    def __float__(self):
        self.action()
        return float(self.value)

    def __index__(self):
        self.action()
        return int(self.value)


class Key(str):
    """A dict key equal to "label" (same hash) whose comparison runs Python
    code in the middle of the module's lookup of "label"."""

    def __new__(cls, action):
        self = str.__new__(cls, "label")
        self.action = action
        return self

    def __hash__(self):
        return hash("label")

    def __eq__(self, other):
        self.action()
        return str.__eq__(self, other)


class UpdateDict(dict):
    pass


def entries(holder, action, value=1):
    """Calls changing holder[0] during which the conversion of one argument
    (or the module's lookup of "label" in a dict subclass) runs `action`."""
    return [
        ("weight", lambda: holder[0].add_edge(A, B, Call(action, value))),
        ("size", lambda: holder[0].add_node(A, {"size": Call(action, value)})),
        ("red", lambda: holder[0].add_node(A, {"red": Call(action, value)})),
        ("blue of a dict subclass", lambda: holder[0].add_node(A, UpdateDict(blue=Call(action, value)))),
        ("label key", lambda: holder[0].add_node(A, UpdateDict({Key(action): "x"}))),
    ]


def callback_work():
    results = []

    # 1. The callback drops the last outside reference to the diff being
    # changed: the call completes on a diff that lives until it returns.
    for name, _ in entries([None], lambda: None):
        holder = [PyGraphDiff()]
        holder[0].add_node(C, {"label": "c"})
        dropped = []

        def drop():
            dropped.append(True)
            holder.clear()
            gc.collect()

        call = dict(entries(holder, drop))[name]
        assert call() is None, name
        assert dropped and holder == [], name

    # 2. ... and also changes another diff, and drops the dict or the key
    # object that is being read.
    for name, _ in entries([None], lambda: None):
        other = PyGraphDiff()
        holder = [PyGraphDiff()]

        def busy():
            holder.clear()
            other.add_node(C, {"red": 1})
            other.new_or_updated_nodes()
            PyGraphDiff.from_bytes(other.to_bytes())

        dict(entries(holder, busy))[name]()
        assert other.num_nodes() == 1
        results.append(name)

    # 3. The callback calls back into the diff in use: views and counts
    # meet "Already mutably borrowed", changes "Already borrowed"; the outer
    # call then completes as if nothing had happened.
    for name, _ in entries([None], lambda: None):
        holder = [PyGraphDiff()]
        d = holder[0]
        d.add_node(C, {"label": "c"})
        seen = []

        def reenter():
            for call, message in [(d.new_or_updated_nodes, "Already mutably borrowed"),
                                  (d.num_edges, "Already mutably borrowed"),
                                  (d.to_bytes, "Already mutably borrowed"),
                                  (lambda: d.add_node(B, {}), "Already borrowed"),
                                  (lambda: d.delete_node(C), "Already borrowed"),
                                  (d.clear, "Already borrowed")]:
                with pytest.raises(RuntimeError) as info:
                    call()
                assert info.value.args == (message,)
                seen.append(message)
            holder.clear()

        before = d.to_bytes()
        dict(entries(holder, reenter))[name]()
        assert len(seen) == 6, name
        assert d.to_bytes() != before, name  # the outer change happened
        assert text(C) in d.new_or_updated_nodes()

    # 4. The callback raises: the call fails with that exception and the
    # diff is unchanged and free again.
    for name, _ in entries([None], lambda: None):
        d = PyGraphDiff()
        d.add_node(C, {})
        before = snapshot(d)

        def fail():
            raise KeyError("from the callback")

        with pytest.raises(KeyError):
            dict(entries([d], fail))[name]()
        assert snapshot(d) == before, name
        d.add_node(B, {})
    return results


def test_callbacks_drop_and_reenter():
    assert len(callback_work()) == 5


@pytest.mark.slow
def test_callbacks_memory_flat():
    assert_flat(lambda: [callback_work() for _ in range(25)])


# --------------------------------------------------------------- from_bytes

def sample_diff(rng):
    d = PyGraphDiff()
    ids = [uid(("fb", k)) for k in range(6)]
    for _ in range(rng.randrange(1, 25)):
        name, args = random_op(rng, ids)
        getattr(d, name)(*args)
    return d


def mutate(rng, data):
    data = bytearray(data)
    for _ in range(rng.randrange(1, 4)):
        choice = rng.randrange(7)
        if choice == 0 and data:  # flip a byte
            data[rng.randrange(len(data))] ^= 1 << rng.randrange(8)
        elif choice == 1 and data:  # a byte of a count or length: big, small, beyond 32 bits
            i = rng.randrange(len(data))
            data[i] = rng.choice([0, 1, 0x0F, 0x10, 0x11, 0x7F, 0x80, 0xFF])
        elif choice == 2:  # cut
            data = data[:rng.randrange(len(data) + 1)]
        elif choice == 3:  # a run of bytes copied elsewhere
            if data:
                i = rng.randrange(len(data))
                j = rng.randrange(i, min(len(data), i + 64) + 1)
                k = rng.randrange(len(data) + 1)
                data[k:k] = data[i:j]
        elif choice == 4:  # a forged count
            if len(data) >= 8:
                i = rng.randrange(0, len(data) - 7)
                data[i:i + 8] = struct.pack("<Q", rng.choice([2 ** 32 - 1, 2 ** 32, 10 ** 6, 2 ** 64 - 1, 16, 17]))
        elif choice == 5 and data:  # a JSON character somewhere
            data[rng.randrange(len(data))] = ord(rng.choice('{}[],:"\\0-.eEnulltrfas'))
        else:  # bytes that are not UTF-8
            data[rng.randrange(len(data) + 1):0] = bytes([rng.choice([0x80, 0xC0, 0xED, 0xF5, 0xFF])])
    return bytes(data)


def from_bytes_work(count, seed):
    rng = random.Random(seed)
    bases = [sample_diff(rng).to_bytes() for _ in range(64)] + [bytes(32)]
    accepted = refused = 0
    for k in range(count):
        if k % 5 == 0:
            data = bytes(rng.getrandbits(8) for _ in range(rng.randrange(64)))
        else:
            data = mutate(rng, rng.choice(bases))
        try:
            d = PyGraphDiff.from_bytes(data)
        except Exception as e:  # anything else (PanicException) is a failure
            assert type(e) is Exception and e.args == (DESERIALIZE_FAILED,), (data, e)
            refused += 1
            continue
        accepted += 1
        if k % 16 == 0:
            # (the order of entries read back may differ: it follows the
            # history of each table, and reading is a history of its own)
            out = d.to_bytes()
            again = PyGraphDiff.from_bytes(out)
            # A size that read as infinite is written as null, which reads
            # back as no size: the second byte string lacks `"size":null`
            # and its comma for each.
            nodes = d.new_or_updated_nodes()
            dropped = {k for k, u in nodes.items() if "size" in u and not math.isfinite(u["size"])}
            shorter = sum(len('"size":null') + (len(nodes[k]) > 1) for k in dropped)
            assert len(again.to_bytes()) == len(out) - shorter
            if dropped:
                for k in dropped:
                    del nodes[k]["size"]
                assert again.new_or_updated_nodes() == nodes
            else:
                assert contents(again) == contents(d)
    return accepted, refused


def test_from_bytes_hostile_inputs():
    accepted, refused = from_bytes_work(20000, seed=7)
    assert accepted > 500 and refused > 5000, (accepted, refused)


@pytest.mark.slow
def test_from_bytes_hundreds_of_thousands_memory_flat():
    counts = []
    assert_flat(lambda: counts.append(from_bytes_work(80000, seed=len(counts))), rounds=4)
    assert sum(a + r for a, r in counts) == 400000


def test_sections_beyond_the_advance_reservation():
    """More entries than the reader reserves room for before it has seen
    them (4096), in every section; and counts claiming more than follow."""
    ids = [uid(("many", k)) for k in range(4200)]
    src, other = uid("many-src"), uid("many-other")
    data = diff_bytes(nodes=[(i, b'{"red":1}') for i in ids],
                      deleted=ids[::-1],
                      edges=[(src, [(i, 0.5) for i in ids]), (other, [])],
                      deleted_edges=[(src, ids[:4150]), (other, ids[-4110:])])
    d = PyGraphDiff.from_bytes(data)
    assert (d.num_nodes(), d.num_edges()) == (8400, 4)
    nodes, deleted, edges, deleted_edges = normalized(d)[:4]
    assert nodes == {text(i): {"red": 1} for i in ids}
    assert deleted == sorted(text(i) for i in ids)
    assert edges == {text(src): {text(i): 0.5 for i in ids}}
    assert deleted_edges == {text(src): sorted(text(i) for i in ids[:4150]),
                             text(other): sorted(text(i) for i in ids[-4110:])}
    out = d.to_bytes()
    assert len(out) == len(data)
    assert contents(PyGraphDiff.from_bytes(out)) == contents(d)

    # Deleted nodes: 4200 claimed, 4199 present; then a million claimed.
    start = 8 + sum(8 + 16 + 8 + len(b'{"red":1}') for _ in ids)
    deleted_at = start + 8
    short = data[:start] + u64(4200) + data[deleted_at:deleted_at + 24 * 4199]
    forged = data[:start] + u64(10 ** 6) + data[deleted_at:deleted_at + 24 * 4200] + bytes(16)
    for bad in (short, forged):
        with pytest.raises(Exception) as info:
            PyGraphDiff.from_bytes(bad)
        assert type(info.value) is Exception and info.value.args == (DESERIALIZE_FAILED,)


# ------------------------------------------------------ ids made to collide

def test_ids_made_to_collide_under_the_fixed_hash():
    """Ids that all share one hash under the fixed function the tables used
    before it was keyed (under which a diff of n of them took time in n
    squared; benchmarks/bench.py times them) give what any ids give: the
    batches, single calls and the reader, against the model."""
    ids = colliding_ids(3000)
    assert len(set(ids)) == len(ids) and {fixed_hash(i) for i in ids} == {fixed_hash(ids[0])}
    d, model = PyGraphDiff(), PureGraphDiff()
    d.add_nodes(b"".join(ids), red=[7] * len(ids))
    d.add_edges(b"".join(ids), b"".join(reversed(ids)), 0.5)
    for i in ids[::3]:
        d.delete_node(i)
    for i in ids:
        model.add_node(i, {"red": 7})
    for a, b in zip(ids, reversed(ids)):
        model.add_edge(a, b, 0.5)
    for i in ids[::3]:
        model.delete_node(i)
    assert contents(d) == contents(model)
    # One source with every id as a target, and every id deleted too.
    data = diff_bytes(nodes=[(i, b"{}") for i in ids], deleted=ids, edges=[(ids[0], [(i, 1.5) for i in ids])],
                      deleted_edges=[(ids[1], ids)])
    assert contents(PyGraphDiff.from_bytes(data)) == contents(PureGraphDiff.from_bytes(data))


# ------------------------------------------------------------ 100 MB at once

def ids_bytes(prefix, count, after=b""):
    """`count` identifier items (length 16 and the bytes), all distinct, each
    followed by `after`."""
    head = struct.pack("<Q", 16) + prefix
    return b"".join(head + struct.pack("<Q", i) + after for i in range(count))


def big_byte_string():
    """About 100 MB: one node with a 40 MB label, 100,000 deleted nodes, a
    source with a million new edges and one with 1.2 million deleted."""
    label = b'{"label":"' + b"x" * (40 * 2 ** 20) + b'","red":7}'
    weight = struct.pack("<f", 0.5)
    u64 = lambda n: struct.pack("<Q", n)  # noqa: E731
    parts = [
        u64(1), ids_bytes(b"node\0\0\0\0", 1), u64(len(label)), label,
        u64(100000), ids_bytes(b"gone\0\0\0\0", 100000),
        u64(1), ids_bytes(b"from\0\0\0\0", 1), u64(10 ** 6), ids_bytes(b"edge\0\0\0\0", 10 ** 6, weight),
        u64(1), ids_bytes(b"srce\0\0\0\0", 1), u64(1200000), ids_bytes(b"dead\0\0\0\0", 1200000),
    ]
    return b"".join(parts)


def big_work():
    data = big_byte_string()
    assert 95 * 2 ** 20 < len(data) < 110 * 2 ** 20
    d = PyGraphDiff.from_bytes(data)
    assert (d.num_nodes(), d.num_edges()) == (100001, 2)
    out = d.to_bytes()
    assert len(out) == len(data)  # the record is written as it was read
    del d
    again = PyGraphDiff.from_bytes(out)
    # the same bytes read twice give the same tables, in the same order
    assert again.to_bytes() == PyGraphDiff.from_bytes(out).to_bytes()
    assert again.num_nodes() == 100001
    del again, out, data


@pytest.mark.slow
def test_hundred_megabytes_memory_flat():
    assert_flat(big_work, rounds=1, slack=24 * 2 ** 20)


def test_no_panic_leaked():
    # every refusal above was the documented one; the module's panic type
    # exists only if something raised it
    assert all(c.__module__ == "pyo3_runtime" for c in panic_classes())
