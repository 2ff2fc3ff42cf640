"""A program that uses every method of PyGraphDiff, pickling, copies,
sys.getsizeof, repr, the columns and the Arrow tables included, checked with
mypy --strict against the quorl_api stub, and runnable as it stands.

`refused` holds calls that the stub must reject; each carries the error code
mypy has to report, and --strict (warn_unused_ignores) turns any that the
stub lets through into an error of its own. It is never called.
"""
import copy
import pickle
import sys
import uuid
from array import array
from typing import TYPE_CHECKING, Dict, List

from quorl_api import PyDiffTable, PyGraphDiff

if TYPE_CHECKING:
    from quorl_api import AddEdgeArgs, AddEdgesArgs, DeleteEdgeArgs, DeleteEdgesArgs, NodeAttributes


def build(a: bytes, b: bytes, c: bytes) -> PyGraphDiff:
    d = PyGraphDiff()
    attrs: "NodeAttributes" = {"label": "A", "size": 2.5, "show_label": True}
    d.add_node(a, attrs)
    d.add_node(id=b, update={"url": "https://example.invalid/b", "red": 1, "green": 2, "blue": 3})
    d.add_node(c, {})
    d.add_edge(a, b, 0.5)
    d.add_edge(a, to=c, weight=1)
    edge: "AddEdgeArgs" = {"from": b, "to": c, "weight": 2.0}
    d.add_edge(**edge)
    d.delete_edge(b, a)
    gone: "DeleteEdgeArgs" = {"from": c, "to": a}
    d.delete_edge(**gone)
    d.delete_edge(c, to=b)
    return d


def build_in_batches(a: bytes, b: bytes, c: bytes) -> PyGraphDiff:
    d = PyGraphDiff()
    d.add_nodes([a, b], [{"label": "A"}, {}])
    d.add_nodes(a + c, label=["A", None], size=[1.5, 2], red=(1, None), show_label=[True, False])
    d.add_nodes(ids=bytearray(c))
    d.add_edges([a, a], (x for x in [b, c]), 0.5)
    d.add_edges(a + b, memoryview(c + a), [1.0, 2])
    edges: "AddEdgesArgs" = {"from": [b], "to": [c], "weight": [2.0]}
    d.add_edges(**edges)
    d.delete_edges(array("B", b), [a])
    gone: "DeleteEdgesArgs" = {"from": c, "to": a}
    d.delete_edges(**gone)
    d.delete_nodes([c])
    d.delete_nodes(ids=b"")
    return d


def read(d: PyGraphDiff) -> int:
    nodes: Dict[str, "NodeAttributes"] = d.new_or_updated_nodes()
    deleted: List[str] = d.deleted_nodes()
    edges: Dict[str, Dict[str, float]] = d.new_or_updated_edges()
    deleted_edges: Dict[str, List[str]] = d.deleted_edges()
    labels = [attrs.get("label", "") for attrs in nodes.values()]
    weight_total = sum(w for targets in edges.values() for w in targets.values())
    return len(labels) + len(deleted) + len(deleted_edges) + int(weight_total) + d.num_nodes() + d.num_edges()


def round_trip(d: PyGraphDiff) -> PyGraphDiff:
    data: bytes = d.to_bytes()
    read_back = PyGraphDiff.from_bytes(data)
    again = d.from_bytes(data)
    for node, attrs in read_back.new_or_updated_nodes().items():
        again.add_node(uuid.UUID(node).bytes, attrs)  # a view's dict goes back in as it is
    return read_back


def from_columns(d: PyGraphDiff) -> PyGraphDiff:
    # The contents as columns, fed back to the batch methods.
    sources, targets, weights = d.new_or_updated_edges_columns()
    floats: "array[float]" = weights
    first = uuid.UUID(bytes=sources[:16])
    gone: bytes = d.deleted_nodes_ids()
    again = PyGraphDiff()
    again.add_nodes(d.new_or_updated_nodes_ids(), list(d.new_or_updated_nodes().values()))
    again.delete_nodes(gone)
    again.add_edges(sources, targets, floats)
    again.delete_edges(*d.deleted_edges_columns())
    assert str(first) in again.new_or_updated_edges()
    return again


def as_tables(d: PyGraphDiff) -> int:
    # The collections as Arrow tables, exported as capsules.
    nodes: PyDiffTable = d.new_or_updated_nodes_table()
    schema, array = nodes.__arrow_c_array__()
    stream: object = d.new_or_updated_edges_table().__arrow_c_stream__(requested_schema=None)
    again = nodes.__arrow_c_array__(nodes.__arrow_c_schema__())
    assert repr(nodes).startswith("<PyDiffTable ") and isinstance(nodes, PyDiffTable)
    assert schema is not None and array is not None and stream is not None and len(again) == 2
    return len(nodes) + len(d.deleted_nodes_table()) + len(d.deleted_edges_table())


def as_object(d: PyGraphDiff) -> PyGraphDiff:
    # Pickles, copies, size and repr.
    back: PyGraphDiff = pickle.loads(pickle.dumps(d))
    shallow: PyGraphDiff = copy.copy(back)
    deep: PyGraphDiff = copy.deepcopy(shallow)
    deep = deep.__deepcopy__({})
    function, arguments = d.__reduce__()
    again: PyGraphDiff = function(*arguments)
    size: int = sys.getsizeof(again) + d.__sizeof__()
    text: str = repr(deep)
    assert size > 0 and text.startswith("<PyGraphDiff: ")
    return deep


def main() -> None:
    a, b, c = (uuid.uuid4().bytes for _ in range(3))
    d = build(a, b, c)
    total = read(d)
    copied = round_trip(d)
    assert read(copied) == total
    assert read(from_columns(d)) == total
    assert read(build_in_batches(a, b, c)) > 0
    assert read(as_object(d)) == total
    assert as_tables(d) == d.num_nodes() + len(d.deleted_edges_columns()[0]) // 16
    d.delete_node(c)
    d.clear()
    assert d.num_nodes() == 0 and d.num_edges() == 0
    print("ok", total)


def refused(d: PyGraphDiff, a: bytes, b: bytes) -> None:
    d.add_node(str(a), {})  # type: ignore[arg-type]
    d.add_node(a, {"colour": 1})  # type: ignore[typeddict-unknown-key]
    d.add_node(a, {"label": None})  # type: ignore[typeddict-item]
    d.add_edge(a, b)  # type: ignore[call-overload]
    d.add_edge(a, b, "0.5")  # type: ignore[call-overload]
    d.delete_edge(a)  # type: ignore[call-overload]
    d.delete_node(a, b)  # type: ignore[call-arg]
    d.num_nodes(1)  # type: ignore[call-arg]
    PyGraphDiff.from_bytes("text")  # type: ignore[arg-type]
    PyGraphDiff(1)  # type: ignore[call-arg]
    d.__deepcopy__()  # type: ignore[call-arg]
    d.__sizeof__().decode()  # type: ignore[attr-defined]
    d.to_bytes().decode().missing  # type: ignore[attr-defined]
    d.add_edges([a], [b])  # type: ignore[call-overload]
    d.add_edges([a], ["b"], 1.0)  # type: ignore[list-item]
    d.add_nodes([a], [{"colour": 1}])  # type: ignore[typeddict-unknown-key]
    # The columns are keyword-only (mypy's code for this changed between
    # versions: misc, then call-arg).
    d.add_nodes([a], None, None)  # type: ignore
    d.add_nodes([a], label=[1])  # type: ignore[list-item]
    d.delete_nodes(a, b)  # type: ignore[call-arg]
    ids: List[bytes] = d.deleted_nodes_ids()  # type: ignore[assignment]
    weights: List[float] = d.new_or_updated_edges_columns()[2]  # type: ignore[assignment]
    table: bytes = d.deleted_nodes_table()  # type: ignore[assignment]
    d.deleted_edges_table().__arrow_c_stream__(1, 2)  # type: ignore[call-arg]


if __name__ == "__main__":
    main()
