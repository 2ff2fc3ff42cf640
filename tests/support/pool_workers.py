"""Work for the worker processes of the process pool test (test_pickle.py).

A worker process imports this module by name to find the functions it is
sent, so they live here rather than in the test file; the tests add this
folder to sys.path, which a spawned worker inherits.
"""
import uuid

from quorl_api import PyGraphDiff


def node(n):
    return uuid.uuid5(uuid.NAMESPACE_OID, "pool-%d" % n).bytes


def fill(d, seed, count):
    """Adds `count` rounds of changes of every kind, NaN and infinite sizes
    among them; the same arguments give the same changes."""
    for i in range(seed, seed + count):
        d.add_node(node(i), {"label": "n%d" % i, "size": (float("nan"), float("inf"), i / 4)[i % 3],
                             "red": i % 256, "show_label": i % 2 == 0})
        d.add_edge(node(i), node(i + 1), i / 8)
        d.add_edge(node(i), node(i + 7), float("nan") if i % 5 == 0 else -0.0)
        if i % 4 == 0:
            d.delete_edge(node(i + 2), node(i))
        if i % 9 == 0:
            d.delete_node(node(i + 3))
    return d


def build(seed, count):
    """A diff made in the worker, sent back to the parent."""
    return fill(PyGraphDiff(), seed, count)


def extend(d, seed, count):
    """A diff from the parent, changed in the worker and sent back."""
    return fill(d, seed, count)
