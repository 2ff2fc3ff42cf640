"""A short check of an installed module: every method once, the byte round
trip, a pickle, a batch call from numpy, and the exact bytes of a fixed diff.

scripts/wheels.sh runs this file alone where the whole suite would take too
long (aarch64 interpreters under emulation); it is part of the whole suite
everywhere else. The digest pins the byte string across every build of the
module: compilers, C++ runtimes and architectures must all write the same
bytes for the same calls.
"""
import hashlib
import pickle
import uuid

import pytest

import quorl_api
from quorl_api import PyGraphDiff

from conftest import uid

A, B, C, D = uid("smoke-a"), uid("smoke-b"), uid("smoke-c"), uid("smoke-d")

# Sizes whose shortest text is easy to get wrong, escapes in texts, weights
# that round to binary32, and every kind of change and refusal.
CALLS = [
    ("add_node", A, {"label": "A \"quoted\" \\ \n\t\x01 ünï 日本 🙂", "url": "https://e.org/a?b=1&c",
                     "size": 0.1, "red": 0, "green": 128, "blue": 255, "show_label": True}),
    ("add_node", B, {"size": 1e21, "show_label": False}),
    ("add_node", C, {"size": 5e-324}),
    ("add_node", D, {"size": -123.25, "label": ""}),
    ("add_node", A, {"size": 3.4028234663852886e38}),
    ("add_node", B, {"size": 1e-7}),
    ("add_edge", A, B, 0.1),
    ("add_edge", A, C, 1e39),
    ("add_edge", B, A, -2.5),
    ("add_edge", C, D, 1.0000001),
    ("delete_edge", D, A),
    ("delete_edge", A, C),
    ("delete_node", C),
    ("add_edge", C, A, 7.0),
    ("add_node", uid("smoke-e"), {"size": float("nan")}),
    ("delete_node", uid("smoke-f")),
    ("add_edge", D, D, 0.0),
]
DIGEST = "bab1984a78ec0ded2d4f3362fe98f473e515b9affc60946a146999d8fd8a0d51"


def built():
    d = PyGraphDiff()
    for name, *args in CALLS:
        getattr(d, name)(*args)
    return d


def test_bytes_of_a_fixed_diff():
    data = built().to_bytes()
    assert hashlib.sha256(data).hexdigest() == DIGEST


def test_every_method_once():
    d = built()
    text = str(uuid.UUID(bytes=A))
    assert d.new_or_updated_nodes()[text]["size"] == pytest.approx(3.4028234663852886e38)
    assert d.deleted_nodes() == [str(uuid.UUID(bytes=C)), str(uuid.UUID(bytes=uid("smoke-f")))]
    assert list(d.new_or_updated_edges()[text]) == [str(uuid.UUID(bytes=B))]
    assert d.deleted_edges()[str(uuid.UUID(bytes=D))] == [text]
    assert (d.num_nodes(), d.num_edges()) == (6, 5)
    # The NaN size is written as null and read back absent; after that one
    # round trip the bytes are a fixed point.
    copy = PyGraphDiff.from_bytes(d.to_bytes())
    assert copy.new_or_updated_edges() == d.new_or_updated_edges()
    assert PyGraphDiff.from_bytes(copy.to_bytes()).to_bytes() == copy.to_bytes()
    d.clear()
    assert (d.num_nodes(), d.num_edges(), d.to_bytes()) == (0, 0, bytes(32))


def test_pickle_round_trip():
    d = built()
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        back = pickle.loads(pickle.dumps(d, protocol))
        assert back.to_bytes() == d.to_bytes()
        assert repr(back) == repr(d)


def test_batch_from_numpy():
    numpy = pytest.importorskip("numpy")
    ids = numpy.frombuffer(A + B + C + D, numpy.uint8).reshape(4, 16)
    d, loop = PyGraphDiff(), PyGraphDiff()
    d.add_edges(ids, ids[::-1], numpy.array([0.5, 1.5, 2.5, 3.5], numpy.float32))
    for i, (f, t) in enumerate(zip([A, B, C, D], [D, C, B, A])):
        loop.add_edge(f, t, 0.5 + i)
    assert d.to_bytes() == loop.to_bytes()


def test_errors_keep_their_types():
    d = PyGraphDiff()
    with pytest.raises(TypeError):
        d.add_node(b"short", {})
    with pytest.raises(Exception) as info:
        PyGraphDiff.from_bytes(b"\x01")
    assert info.value.args == ("Failed to deserialize graph diff.",)
    assert quorl_api.__all__ == ["PyGraphDiff"]
