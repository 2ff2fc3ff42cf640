#!/usr/bin/env python3.8
"""Gathering diffs from Dask workers: as diffs, as byte strings, and the same
edges as Python dicts.

A LocalCluster of 2 worker processes (one thread each) builds N diffs of E
edges each (10 targets per source, numpy ids, `add_edges`) and keeps one
result per diff in its memory, of one of three kinds:

* the diff itself, which travels as its pickle (the byte string plus a few
  dozen bytes) and is rebuilt in the client from the bytes;
* its byte string, `to_bytes()`;
* the same edges as a dict of dicts, {source text: {target text: weight}},
  which is what a pure-Python diff holds (here `new_or_updated_edges()`);
* and, to tell Dask's handling of nested dicts from the cost of their
  contents, that dict pickled in the worker (`pickle.dumps`), gathered as
  bytes and unpickled in the client (inside the timed part).

What is timed is `client.gather` of the N results once they all exist
(`distributed.wait`): serialising them in the workers, sending them over
loopback TCP and deserialising them in the client. The work spans three
processes, so the times are wall-clock; the kinds run interleaved (their
order rotating from one round to the next), every round submits new tasks,
and the median is kept. Garbage collection is off in the client while it
gathers, which favours the dicts. "MB per diff" is the size of one
result's pickle (for byte strings, their length).

Run with the module on the path (dask and distributed installed, as
scripts/bootstrap.sh installs them):
    PYTHONPATH=build/release/python .venv/bin/python benchmarks/engines.py [--quick]

Prints a table and then one JSON line with the figures.
"""
import argparse
import gc
import json
import logging
import pickle
import statistics
import sys
import tempfile
import time

import numpy as np

try:
    import quorl_api
except ImportError as e:  # pragma: no cover - a usage error
    sys.exit("cannot import quorl_api (%s): put the built module on PYTHONPATH" % e)
try:
    from dask.distributed import Client, LocalCluster, wait
except ImportError as e:  # pragma: no cover - a usage error
    sys.exit("cannot import dask.distributed (%s): run scripts/bootstrap.sh" % e)


# Shipped to the workers by value (this script is __main__); the class is
# reached through the module, as shipped functions must.
def build(seed, edges):
    rng = np.random.default_rng(seed)
    sources = rng.integers(0, 256, (max(edges // 10, 1), 16), dtype=np.uint8)
    src = np.repeat(sources, 10, axis=0)[:edges]
    dst = rng.integers(0, 256, (len(src), 16), dtype=np.uint8)
    d = quorl_api.PyGraphDiff()
    d.add_edges(src, dst, rng.random(len(src), dtype=np.float32))
    return d


def as_diff(seed, edges):
    return build(seed, edges)


def as_bytes(seed, edges):
    return build(seed, edges).to_bytes()


def as_dicts(seed, edges):
    return build(seed, edges).new_or_updated_edges()


def as_pickled_dicts(seed, edges):
    return pickle.dumps(as_dicts(seed, edges), 5)


def unpickled(results):
    return [pickle.loads(data) for data in results]


# kind: (the function the workers run, what the client does with the results)
KINDS = {
    "diffs": (as_diff, None),
    "byte strings": (as_bytes, None),
    "dicts": (as_dicts, None),
    "pickled dicts": (as_pickled_dicts, unpickled),
}


def gather_time(client, kind, seeds, edges):
    """Seconds to gather the results of one kind, computed first."""
    function, after = KINDS[kind]
    futures = client.map(function, seeds, [edges] * len(seeds), pure=False)
    wait(futures)
    gc.collect()
    gc.disable()
    try:
        start = time.perf_counter()
        results = client.gather(futures)
        if after:
            results = after(results)
        elapsed = time.perf_counter() - start
    finally:
        gc.enable()
    return elapsed, results


def check(kind, results, seeds, edges):
    """The gathered results hold the edges built here."""
    for seed, result in zip(seeds, results):
        local = build(seed, edges)
        if kind == "diffs":
            ok = type(result) is quorl_api.PyGraphDiff and result.to_bytes() == local.to_bytes()
        elif kind == "byte strings":
            ok = result == local.to_bytes()
        else:  # dicts, pickled or not
            ok = result == local.new_or_updated_edges()
        if not ok:
            sys.exit("%s: the result for seed %d differs from the diff built here" % (kind, seed))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--diffs", type=int, default=8, help="N, the diffs gathered at once (default 8)")
    parser.add_argument("--edges", type=int, default=100000, help="E, the edges of each diff (default 100,000)")
    parser.add_argument("--rounds", type=int, default=9, help="rounds of each kind (default 9)")
    parser.add_argument("--quick", action="store_true", help="a fast smoke run: 2 diffs of 10,000 edges, 1 round")
    args = parser.parse_args()
    if args.quick:
        args.diffs, args.edges, args.rounds = 2, 10000, 1

    seeds = list(range(1, args.diffs + 1))
    sample = build(0, args.edges)
    sizes = {
        "diffs": len(pickle.dumps(sample, 5)),
        "byte strings": len(sample.to_bytes()),
        "dicts": len(pickle.dumps(sample.new_or_updated_edges(), 5)),
    }
    sizes["pickled dicts"] = sizes["dicts"]
    times = {kind: [] for kind in KINDS}
    with tempfile.TemporaryDirectory() as scratch, \
            LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                         dashboard_address=None, local_directory=scratch, silence_logs=logging.ERROR) as cluster, \
            Client(cluster) as client:
        kinds = list(KINDS)
        for kind in kinds:  # warm-up round, checked, not timed
            check(kind, gather_time(client, kind, seeds, args.edges)[1], seeds, args.edges)
        for r in range(args.rounds):
            shift = r % len(kinds)
            for kind in kinds[shift:] + kinds[:shift]:
                times[kind].append(gather_time(client, kind, seeds, args.edges)[0])

    median = {kind: statistics.median(values) for kind, values in times.items()}
    print("gathering %d diffs of %d edges from 2 Dask workers (median of %d rounds, wall time)"
          % (args.diffs, args.edges, args.rounds))
    print("%-14s %12s %14s %14s %10s" % ("as", "gather ms", "ms per diff", "MB per diff", "vs dicts"))
    for kind in KINDS:
        print("%-14s %12.1f %14.2f %14.2f %9.2fx" % (
            kind, median[kind] * 1e3, median[kind] * 1e3 / args.diffs, sizes[kind] / 1e6,
            median[kind] / median["dicts"]))
    print(json.dumps({
        "diffs": args.diffs, "edges": args.edges, "rounds": args.rounds,
        "gather_ms": {kind: round(value * 1e3, 2) for kind, value in median.items()},
        "bytes_per_diff": sizes,
        "ratio_to_dicts": {kind: round(value / median["dicts"], 3) for kind, value in median.items()},
    }))


if __name__ == "__main__":
    main()
