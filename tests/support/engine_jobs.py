"""Diffs built and moved by a parallel engine, as a user's script does it.

    python engine_jobs.py dask|joblib [count]

Run as a script (tests/python/test_engines.py starts it as a child process),
so the functions below live in __main__, and the engines ship them to their
workers by value with cloudpickle, as they ship a notebook's or a script's
own functions. Dask runs them on a LocalCluster of 2 worker processes,
joblib on its default process backend (loky) with 2 workers.

Every result that comes back is compared with the same work done here: the
byte string and the views must be equal (weights and sizes by their text,
so NaN counts as equal to itself). Prints one JSON line: per case how many
results were compared and how they differ, and how the engine reported the
function that names the class imported at the top.
"""
import json
import logging
import sys

import numpy as np

import quorl_api  # works in shipped functions: the module travels by name
from quorl_api import PyGraphDiff  # fails in shipped functions: see build_named

SEEDS = [11, 12, 13, 14]


def fill(d, seed, count):
    """`count` edges from numpy ids, 10 targets per source, a tenth of the
    sources as nodes with labels and sizes (some NaN, which a pickle carries
    beside the byte string), and deletions of both kinds."""
    rng = np.random.default_rng(seed)
    sources = rng.integers(0, 256, (max(count // 10, 1), 16), dtype=np.uint8)
    src = np.repeat(sources, 10, axis=0)[:count]
    dst = rng.integers(0, 256, (len(src), 16), dtype=np.uint8)
    d.add_edges(src, dst, rng.random(len(src), dtype=np.float32))
    nodes = sources[::10]
    size = rng.random(len(nodes))
    size[::7] = np.nan
    d.add_nodes(nodes, label=["node %d" % i for i in range(len(nodes))], size=size)
    d.delete_edges(dst[:30], src[:30])
    d.delete_nodes(sources[-3:])
    return d


def build(seed, count):
    """The class reached through the module."""
    return fill(quorl_api.PyGraphDiff(), seed, count)


def build_importing(seed, count):
    """The class imported inside the function, on the worker."""
    from quorl_api import PyGraphDiff

    return fill(PyGraphDiff(), seed, count)


def build_bytes(seed, count):
    """Only the byte string comes back."""
    return build(seed, count).to_bytes()


def same(d):
    return d


def extend(d, seed, count):
    return fill(d, seed, count)


def build_named(seed, count):
    """The class named as imported at the top of this script: cloudpickle
    cannot find it by name (its module reads "builtins") and ships a copy of
    the class by value, which the worker cannot rebuild."""
    return fill(PyGraphDiff(), seed, count)


def contents(result):
    """A byte string as it is; a diff as its bytes and its views."""
    if isinstance(result, bytes):
        return result
    return (result.to_bytes(), repr((result.new_or_updated_nodes(), result.deleted_nodes(),
                                     result.new_or_updated_edges(), result.deleted_edges(),
                                     result.num_nodes(), result.num_edges())))


def compare(got, expected):
    mismatches = ["%d results for %d tasks" % (len(got), len(expected))] if len(got) != len(expected) else []
    for i, (g, e) in enumerate(zip(got, expected)):
        if type(g) is not type(e) or contents(g) != contents(e):
            mismatches.append("%d: a %s other than the local %s" % (i, type(g).__name__, type(e).__name__))
    return {"compared": len(got), "mismatches": mismatches}


def describe(error):
    cause = error.__cause__
    return {"type": type(error).__name__, "message": str(error), "cause": None if cause is None else str(cause)}


def check(run, count):
    """`run(function, *argument_lists)` calls the function on the workers
    once per position of the lists and returns the results in order."""
    counts = [count] * len(SEEDS)
    local = [build(seed, count) for seed in SEEDS]
    cases = {
        "built through the module": compare(run(build, SEEDS, counts), local),
        "built importing the class inside": compare(run(build_importing, SEEDS, counts), local),
        "gathered as byte strings": compare(run(build_bytes, SEEDS, counts), [d.to_bytes() for d in local]),
        "sent and returned": compare(run(same, local), local),
        "sent, extended and returned": compare(
            run(extend, local, [seed + 100 for seed in SEEDS], counts),
            [extend(build(seed, count), seed + 100, count) for seed in SEEDS]),
    }
    try:
        run(build_named, SEEDS, counts)
        named = None
    except Exception as error:  # the engine's own report of the worker's failure
        named = describe(error)
    return {"cases": cases, "named class": named}


def with_dask(count):
    from dask.distributed import Client, LocalCluster

    # Loopback only, no dashboard, one cluster for every case. The workers'
    # log of the task they cannot load is left out: the client gets it.
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                      dashboard_address=None, local_directory=".", silence_logs=logging.CRITICAL) as cluster, \
            Client(cluster) as client:
        return check(lambda function, *lists: client.gather(client.map(function, *lists, pure=False)), count)


def with_joblib(count):
    from joblib import Parallel, delayed

    with Parallel(n_jobs=2) as parallel:  # the default backend: loky processes
        return check(lambda function, *lists: parallel(delayed(function)(*a) for a in zip(*lists)), count)


ENGINES = {"dask": with_dask, "joblib": with_joblib}

if __name__ == "__main__":
    engine = sys.argv[1]
    count = int(sys.argv[2]) if len(sys.argv) > 2 else 20000
    print(json.dumps(ENGINES[engine](count)))
