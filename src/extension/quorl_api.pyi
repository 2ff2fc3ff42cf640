"""Type information for the quorl_api extension module.

Installed beside the compiled module; describes the one class it offers.

The parameter ``from`` of ``add_edge`` and ``delete_edge``
-----------------------------------------------------------
At runtime every parameter may be passed by position or by keyword, ``from``
included. ``from`` is a reserved word, so a keyword call has to unpack a
mapping: ``d.add_edge(**{"from": a, "to": b, "weight": w})``. No single
``def`` can spell a parameter of that name, so each of the two methods is
described by two overloads:

* the first names the parameter ``__from``, which type checkers read as
  positional-only and which covers ``d.add_edge(a, b, w)`` and
  ``d.add_edge(a, to=b, weight=w)``;
* the second takes ``**kwargs`` typed with ``Unpack`` of a TypedDict whose
  keys are exactly the parameter names (the functional TypedDict form can
  spell ``"from"``), which covers the all-keyword call through a typed
  mapping: ``args: AddEdgeArgs = {"from": a, "to": b, "weight": w}`` then
  ``d.add_edge(**args)``.

Together they accept every call the runtime accepts with complete,
well-typed arguments and refuse calls that leave a parameter out. The batch
methods ``add_edges`` and ``delete_edges`` are described the same way. The
names ``NodeAttributes``, ``AddEdgeArgs``, ``DeleteEdgeArgs``,
``AddEdgesArgs`` and ``DeleteEdgesArgs`` exist only for type checkers:
import them under ``typing.TYPE_CHECKING``.

The contents also come out as columns (``new_or_updated_nodes_ids``,
``deleted_nodes_ids``, ``new_or_updated_edges_columns``,
``deleted_edges_columns``): ids packed 16 bytes each in ``bytes`` and
weights in an ``array.array('f')``, which numpy reads without a copy and the
batch methods take back as they are.

Each collection also comes out as an Arrow table (``new_or_updated_nodes_table``,
``deleted_nodes_table``, ``new_or_updated_edges_table``,
``deleted_edges_table``): a ``PyDiffTable`` snapshot that pyarrow, polars,
duckdb and any other reader of the Arrow PyCapsule interface take without a
copy. ``PyDiffTable`` is a module attribute for ``isinstance`` and typing,
outside ``__all__``; tables come only from those methods.

The docstrings below are for editors; at runtime the methods' ``__doc__`` is
``None``.
"""

from array import array
from typing import (Any, Callable, Dict, Iterable, List, Optional, SupportsFloat, SupportsIndex, Tuple, TypeVar, Union,
                    final, overload)

from typing_extensions import TypedDict, Unpack

__all__ = ["PyGraphDiff"]

class NodeAttributes(TypedDict, total=False):
    """A node's display attributes, as ``add_node`` takes them and
    ``new_or_updated_nodes`` returns them: an absent attribute is a missing
    key, never ``None``. Other keys are ignored by ``add_node``."""

    label: str
    url: str
    size: float  # held as a 32-bit float
    red: int  # 0..255
    green: int  # 0..255
    blue: int  # 0..255
    show_label: bool

# Anything the interpreter converts to a float (float, int, __float__ or
# __index__ objects); held as a 32-bit float.
_Weight = Union[SupportsFloat, SupportsIndex]

AddEdgeArgs = TypedDict("AddEdgeArgs", {"from": bytes, "to": bytes, "weight": _Weight})
DeleteEdgeArgs = TypedDict("DeleteEdgeArgs", {"from": bytes, "to": bytes})

_T = TypeVar("_T")

# The batch methods. Ids come as the bytes of an object that exports a buffer
# (bytes, bytearray, memoryview, array.array, a numpy array of dtype uint8
# shaped (n, 16), S16 or V16: 16 bytes to an id, in C order) or as an
# iterable of 16-byte bytes. Typing has no name for "exports a buffer" that
# covers numpy arrays on every Python version; a numpy array passes here as
# the iterable it also is.
_Buffer = Union[bytes, bytearray, memoryview, "array[int]"]
_Ids = Union[_Buffer, Iterable[bytes]]
# One weight for every edge, or one per edge.
_Weights = Union[_Weight, Iterable[_Weight]]
# A column of attribute values, one per id; None leaves the attribute out
# for that id. Numeric columns may also be one-dimensional numeric arrays.
_Column = Iterable[Optional[_T]]

AddEdgesArgs = TypedDict("AddEdgesArgs", {"from": _Ids, "to": _Ids, "weight": _Weights})
DeleteEdgesArgs = TypedDict("DeleteEdgesArgs", {"from": _Ids, "to": _Ids})

# The (id, size) pairs of the NaN and infinite node sizes, which a pickle
# carries beside the byte string.
_Sizes = Tuple[Tuple[bytes, float], ...]

@final
class PyDiffTable:
    """A snapshot of one collection of a diff as an Arrow table, made by a
    ``*_table`` method of ``PyGraphDiff``: it owns a copy of the rows, in the
    order of the view, and later changes to the diff, ``clear()`` or
    deleting it do not touch it. Every export shares its buffers (no copy)
    and keeps them alive until the consumer releases it, from any thread.

    Columns (Arrow types), every attribute nullable, null meaning absent;
    ids and weights are never null:

    * ``new_or_updated_nodes``: ``id`` fixed_size_binary(16), ``label``
      utf8, ``size`` float32, ``url`` utf8, ``red``, ``green``, ``blue``
      uint8, ``show_label`` bool;
    * ``deleted_nodes``: ``id``;
    * ``new_or_updated_edges``: ``from``, ``to`` fixed_size_binary(16),
      ``weight`` float32 (bit for bit);
    * ``deleted_edges``: ``from``, ``to``.

    ``pyarrow.table(t)``, ``polars.DataFrame(t)`` and a duckdb query naming
    ``t`` read it. Instances cannot be made directly (``TypeError``)."""

    def __len__(self) -> int:
        """The number of rows. Raises nothing."""
    def __repr__(self) -> str:
        """``<PyDiffTable new_or_updated_edges: 3 rows>``: the collection and
        the number of rows. Raises nothing."""
    def __arrow_c_schema__(self) -> object:
        """A PyCapsule named "arrow_schema" holding the table's schema (a
        struct of the columns) as an Arrow C ``ArrowSchema``.

        Raises ``MemoryError`` when it cannot be allocated."""
    def __arrow_c_array__(self, requested_schema: Optional[object] = None) -> Tuple[object, object]:
        """The table as one record batch: a pair of PyCapsules, "arrow_schema"
        and "arrow_array" (a struct array of the columns), sharing the
        table's buffers. ``requested_schema`` (a schema capsule) is best
        effort: the table gives its own schema.

        Raises ``TypeError`` for a ``requested_schema`` that is neither
        ``None`` nor a capsule named "arrow_schema", ``ValueError`` for a
        table whose texts need more than one batch (more than 2**31 - 1
        bytes of labels or urls: read it as a stream), and ``MemoryError``."""
    def __arrow_c_stream__(self, requested_schema: Optional[object] = None) -> object:
        """A PyCapsule named "arrow_array_stream": the schema, then the rows
        in record batches (one, unless a text column holds more than
        2**31 - 1 bytes; none for no rows), sharing the table's buffers.
        ``requested_schema`` is best effort, as for ``__arrow_c_array__``.

        Raises ``TypeError`` for a ``requested_schema`` that is neither
        ``None`` nor a capsule named "arrow_schema", and ``MemoryError``."""

@final
class PyGraphDiff:
    """Pending changes to a directed, weighted graph whose nodes are 16-byte
    UUIDs. Identifiers go in as 16-byte ``bytes`` and come out as the
    36-character lowercase UUID text.

    Each change is combined with what the diff holds (see each method).
    Calling a method from inside one of its own argument conversions (a
    ``__float__`` that calls back into the same diff) raises ``RuntimeError``
    "Already borrowed" or "Already mutably borrowed". A call that raises
    leaves the diff exactly as it was. Diffs pickle and copy (through their
    byte string), report their memory to ``sys.getsizeof`` and show their
    counts in ``repr``. The class cannot be subclassed."""

    def __new__(cls) -> PyGraphDiff:
        """An empty diff.

        Raises ``TypeError`` for any argument."""
    def new_or_updated_nodes(self) -> Dict[str, NodeAttributes]:
        """The pending node updates: ``{id_text: {attribute: value}}`` in the
        order the nodes were first added; an absent attribute has no key.
        Raises nothing."""
    def deleted_nodes(self) -> List[str]:
        """The ids of the nodes marked for deletion, in the order they were
        marked. Raises nothing."""
    def new_or_updated_edges(self) -> Dict[str, Dict[str, float]]:
        """The pending edges: ``{from_text: {to_text: weight}}``, weights as
        stored (32-bit floats). A source whose targets were all removed by
        ``delete_node`` keeps an empty entry. Raises nothing."""
    def deleted_edges(self) -> Dict[str, List[str]]:
        """The edges marked for deletion: ``{from_text: [to_text, ...]}``.
        Raises nothing."""
    def num_nodes(self) -> int:
        """Pending node updates plus nodes marked for deletion. Raises nothing."""
    def num_edges(self) -> int:
        """Source nodes with pending or deleted edges: the entries of both
        edge views (sources, not edges; an empty entry counts). Raises
        nothing."""
    def add_node(self, id: bytes, update: NodeAttributes) -> None:
        """Merges ``update`` into the pending update of node ``id`` field by
        field: present attributes replace, absent ones keep. The node is no
        longer marked for deletion; its edges are untouched.

        Raises ``TypeError`` "argument 'id': failed to extract field
        PyUuid.0" for an id that is not 16-byte ``bytes`` (the reason is its
        ``__cause__``), ``TypeError`` "argument 'update': ..." for an update
        that is not a dict or holds an attribute of the wrong type, and
        ``OverflowError`` for a colour outside 0..255."""
    def delete_node(self, id: bytes) -> None:
        """Marks node ``id`` for deletion: drops its pending update and its
        pending out-edges; its pending in-edges ``(f, id)`` become deleted
        edges (``f`` keeps an entry, empty if that was its last edge).

        Raises ``TypeError`` "argument 'id': failed to extract field
        PyUuid.0" for an id that is not 16-byte ``bytes``."""
    @overload
    def add_edge(self, __from: bytes, to: bytes, weight: _Weight) -> None:
        """Sets the weight of the pending edge ``from -> to`` (a later weight
        replaces an earlier one) and un-deletes the edge. Silently refused,
        without an error, when either end is marked for deletion. The weight
        is held as a 32-bit float.

        Raises ``TypeError`` "argument 'from': ..." or "argument 'to': ..."
        for an id that is not 16-byte ``bytes``, and ``TypeError``
        "argument 'weight': ..." for a weight that is not a number."""
    @overload
    def add_edge(self, **kwargs: Unpack[AddEdgeArgs]) -> None:
        """The call above with its arguments by keyword, ``from`` (a reserved
        word) given as ``**{"from": id}``."""
    @overload
    def delete_edge(self, __from: bytes, to: bytes) -> None:
        """Marks the edge ``from -> to`` for deletion and drops it from the
        pending edges, whether or not it was pending (even between nodes
        marked for deletion).

        Raises ``TypeError`` "argument 'from': ..." or "argument 'to': ..."
        for an id that is not 16-byte ``bytes``."""
    @overload
    def delete_edge(self, **kwargs: Unpack[DeleteEdgeArgs]) -> None:
        """The call above with its arguments by keyword, ``from`` (a reserved
        word) given as ``**{"from": id}``."""
    def clear(self) -> None:
        """Empties all four collections, keeping their storage for refilling.
        Raises nothing."""
    def to_bytes(self) -> bytes:
        """The diff as a compact byte string, which ``from_bytes`` reads back.
        A NaN or infinite node size is written as ``null`` and reads back
        absent; weights keep their exact bits. The same calls give the same
        bytes in every process.

        Raises ``Exception`` "Failed to serialize graph diff." for a diff it
        could not write readably (a count or length beyond 2**32 - 1)."""
    @staticmethod
    def from_bytes(bytes: bytes) -> PyGraphDiff:
        """A new diff read from a byte string of ``to_bytes``, holding its
        four collections as they stand (no combination rules applied; bytes
        after the last section are ignored).

        Raises ``TypeError`` "argument 'bytes': ..." for anything but
        ``bytes``, and ``Exception`` "Failed to deserialize graph diff." for
        any malformed input."""
    @overload
    def add_edges(self, __from: _Ids, to: _Ids, weight: _Weights) -> None:
        """``add_edge(from[i], to[i], weight[i])`` for every i in turn (or one
        weight for every edge), in one call: the same views, in the same
        order, and the same bytes as the loop. Ids are the bytes of a buffer
        (16 to an id, in C order) or an iterable of 16-byte ``bytes``; weights
        one number, a float32/float64 buffer or an iterable of numbers. The
        whole call is checked before the diff changes.

        Raises the single method's error for a wrong item, with the argument
        and index in front ("argument 'to': item 3: ..."), ``ValueError`` for
        lengths that differ (known from ``len()`` or a buffer's shape before
        any item is read; an iterable is read no further than one item past
        the count of ``from``) or a byte count that is not a multiple of 16,
        and ``OverflowError`` for a ``from`` of more edges than a batch holds
        (4294967294)."""
    @overload
    def add_edges(self, **kwargs: Unpack[AddEdgesArgs]) -> None:
        """The call above with its arguments by keyword, ``from`` (a reserved
        word) given as ``**{"from": ids}``."""
    @overload
    def delete_edges(self, __from: _Ids, to: _Ids) -> None:
        """``delete_edge(from[i], to[i])`` for every i in turn, in one call,
        with ids as for ``add_edges``; the whole call is checked before the
        diff changes.

        Raises the single method's error for a wrong item, with the argument
        and index in front, ``ValueError`` for lengths that differ or a byte
        count that is not a multiple of 16, and ``OverflowError`` as
        ``add_edges`` does."""
    @overload
    def delete_edges(self, **kwargs: Unpack[DeleteEdgesArgs]) -> None:
        """The call above with its arguments by keyword, ``from`` (a reserved
        word) given as ``**{"from": ids}``."""
    def add_nodes(
        self,
        ids: _Ids,
        updates: Optional[Iterable[NodeAttributes]] = None,
        *,
        label: Optional[_Column[str]] = None,
        url: Optional[_Column[str]] = None,
        size: Optional[_Column[_Weight]] = None,
        red: Optional[_Column[SupportsIndex]] = None,
        green: Optional[_Column[SupportsIndex]] = None,
        blue: Optional[_Column[SupportsIndex]] = None,
        show_label: Optional[_Column[bool]] = None,
    ) -> None:
        """``add_node(ids[i], updates[i])`` for every i in turn, or with the
        update made of the i-th value of each column given (``None`` in a
        column leaves that attribute out; neither updates nor columns gives
        every node an empty update). Numeric columns may be one-dimensional
        buffers. The whole call is checked before the diff changes.

        Raises the single method's error for a wrong item, with the argument
        and index in front (in front of the reason of a
        ``UnicodeEncodeError``), ``ValueError`` for lengths that differ,
        ``TypeError`` for ``updates`` together with a column, and
        ``OverflowError`` for more ids than a batch holds (4294967294)."""
    def delete_nodes(self, ids: _Ids) -> None:
        """``delete_node(ids[i])`` for every i in turn, in one pass over the
        sources: the same contents as the loop, though the deleted edges it
        records may come in another order. Ids as for ``add_edges``.

        Raises the single method's error for a wrong item, with the argument
        and index in front, ``ValueError`` for a byte count that is not a
        multiple of 16, and ``OverflowError`` for more ids than a batch
        holds (4294967294)."""
    def new_or_updated_nodes_ids(self) -> bytes:
        """The ids of ``new_or_updated_nodes()``, in its order, packed 16
        bytes each: ``numpy.frombuffer(ids, "V16")`` or
        ``numpy.frombuffer(ids, numpy.uint8).reshape(-1, 16)`` reads them
        without a copy, ``uuid.UUID(bytes=ids[16 * i:16 * i + 16])`` reads
        one. The attributes stay in the dict view. Empty ``bytes`` for no
        node.

        Raises ``MemoryError`` when the interpreter cannot allocate the
        result."""
    def deleted_nodes_ids(self) -> bytes:
        """The ids of ``deleted_nodes()``, in its order, packed 16 bytes each
        as ``new_or_updated_nodes_ids`` packs them; ``delete_nodes`` takes
        them back as they are.

        Raises ``MemoryError`` when the interpreter cannot allocate the
        result."""
    def new_or_updated_edges_columns(self) -> Tuple[bytes, bytes, array[float]]:
        """The pending edges as three columns ``(from_ids, to_ids, weights)``,
        one row per edge in the order of ``new_or_updated_edges()`` (source
        by source, each source's targets in order): the ids packed 16 bytes
        each as ``new_or_updated_nodes_ids`` packs them, the weights an
        ``array.array('f')`` holding their exact bits (NaN payloads, -0.0).
        numpy reads every column without a copy (``numpy.asarray(weights)``
        is float32); ``add_edges(*columns)`` on an empty diff rebuilds the
        same edges in the same order. Empty columns for no edge.

        Raises ``MemoryError`` when the interpreter cannot allocate the
        result, and the ``ImportError`` of the ``array`` module should it
        fail to import."""
    def deleted_edges_columns(self) -> Tuple[bytes, bytes]:
        """The edges marked for deletion as two columns ``(from_ids,
        to_ids)``, one row per edge in the order of ``deleted_edges()``, ids
        packed as ``new_or_updated_nodes_ids`` packs them;
        ``delete_edges(*columns)`` takes them back as they are.

        Raises ``MemoryError`` when the interpreter cannot allocate the
        result."""
    def new_or_updated_nodes_table(self) -> PyDiffTable:
        """The pending node updates as an Arrow table, a row per node in the
        order of ``new_or_updated_nodes()``: ``id``, then each attribute
        (null where absent). A snapshot: the diff's later changes do not
        touch it.

        Raises ``MemoryError`` when its buffers cannot be allocated, and
        ``ValueError`` for a label or url longer than 2**31 - 1 bytes, which
        no Arrow utf8 value holds."""
    def deleted_nodes_table(self) -> PyDiffTable:
        """The nodes marked for deletion as an Arrow table of one column,
        ``id``, in the order of ``deleted_nodes()``. A snapshot.

        Raises ``MemoryError`` when its buffers cannot be allocated."""
    def new_or_updated_edges_table(self) -> PyDiffTable:
        """The pending edges as an Arrow table (``from``, ``to``, ``weight``),
        a row per edge in the order of ``new_or_updated_edges_columns()``;
        a source whose targets were all removed gives no row. A snapshot.

        Raises ``MemoryError`` when its buffers cannot be allocated."""
    def deleted_edges_table(self) -> PyDiffTable:
        """The edges marked for deletion as an Arrow table (``from``,
        ``to``), in the order of ``deleted_edges_columns()``. A snapshot.

        Raises ``MemoryError`` when its buffers cannot be allocated."""
    def __reduce__(self) -> Tuple[Callable[..., PyGraphDiff], Union[Tuple[bytes], Tuple[bytes, _Sizes]]]:
        """How ``pickle`` stores the diff: ``(quorl_api._restore, (data,))``
        with ``data = self.to_bytes()``, or ``(quorl_api._restore, (data,
        sizes))`` when some node sizes are NaN or infinite, which the bytes
        cannot carry. A pickle loads as an equal diff: the same views in the
        same order, the same bytes. From protocol 3 on it is the byte string
        plus a few dozen bytes.

        Raises ``Exception`` "Failed to serialize graph diff." as
        ``to_bytes`` does."""
    def __copy__(self) -> PyGraphDiff:
        """An independent, equal diff (``copy.copy``). Raises
        ``Exception`` "Failed to serialize graph diff." as ``to_bytes``
        does."""
    def __deepcopy__(self, memo: Optional[Dict[int, Any]]) -> PyGraphDiff:
        """An independent, equal diff (``copy.deepcopy``); a diff holds no
        Python objects, so ``memo`` is not used. Raises ``Exception``
        "Failed to serialize graph diff." as ``to_bytes`` does."""
    def __sizeof__(self) -> int:
        """The bytes the diff takes: the object and every heap block it owns
        (its tables, target tables and texts), each as the allocator hands
        it out. Kept as a running figure, so asking is cheap. Raises
        nothing."""
    def __repr__(self) -> str:
        """``<PyGraphDiff: 3 nodes, 2 edge sources>``: the counts of
        ``num_nodes`` and ``num_edges``, never the contents. Inside a call
        that is changing the diff (from an argument's conversion) it is
        ``<PyGraphDiff: borrowed>``. Raises nothing."""

def _restore(data: bytes, sizes: _Sizes = ...) -> PyGraphDiff:
    """The pickle hook of ``PyGraphDiff``: rebuilds a pickled diff from its
    byte string and the ``(id, size)`` pairs of its NaN and infinite node
    sizes. Stored pickles name it as ``quorl_api._restore``. Not for direct
    use.

    Raises ``TypeError`` for arguments of the wrong type, and ``Exception``
    "Failed to deserialize graph diff." for malformed bytes or for sizes that
    do not belong to nodes read back without one."""
