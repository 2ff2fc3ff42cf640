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
"""

from array import array
from typing import Dict, Iterable, List, Optional, SupportsFloat, SupportsIndex, TypeVar, Union, final, overload

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

_T = TypeVar("_T")

# Anything the interpreter converts to a float (float, int, __float__ or
# __index__ objects); held as a 32-bit float.
_Weight = Union[SupportsFloat, SupportsIndex]

AddEdgeArgs = TypedDict("AddEdgeArgs", {"from": bytes, "to": bytes, "weight": _Weight})
DeleteEdgeArgs = TypedDict("DeleteEdgeArgs", {"from": bytes, "to": bytes})

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

@final
class PyGraphDiff:
    """Pending changes to a directed, weighted graph whose nodes are 16-byte
    UUIDs. Identifiers go in as 16-byte ``bytes`` and come out as the
    36-character lowercase UUID text."""

    def __new__(cls) -> PyGraphDiff: ...
    def new_or_updated_nodes(self) -> Dict[str, NodeAttributes]: ...
    def deleted_nodes(self) -> List[str]: ...
    def new_or_updated_edges(self) -> Dict[str, Dict[str, float]]: ...
    def deleted_edges(self) -> Dict[str, List[str]]: ...
    def num_nodes(self) -> int: ...
    def num_edges(self) -> int: ...
    def add_node(self, id: bytes, update: NodeAttributes) -> None: ...
    def delete_node(self, id: bytes) -> None: ...
    @overload
    def add_edge(self, __from: bytes, to: bytes, weight: _Weight) -> None: ...
    @overload
    def add_edge(self, **kwargs: Unpack[AddEdgeArgs]) -> None: ...
    @overload
    def delete_edge(self, __from: bytes, to: bytes) -> None: ...
    @overload
    def delete_edge(self, **kwargs: Unpack[DeleteEdgeArgs]) -> None: ...
    def clear(self) -> None: ...
    def to_bytes(self) -> bytes: ...
    @staticmethod
    def from_bytes(bytes: bytes) -> PyGraphDiff: ...
    @overload
    def add_edges(self, __from: _Ids, to: _Ids, weight: _Weights) -> None: ...
    @overload
    def add_edges(self, **kwargs: Unpack[AddEdgesArgs]) -> None: ...
    @overload
    def delete_edges(self, __from: _Ids, to: _Ids) -> None: ...
    @overload
    def delete_edges(self, **kwargs: Unpack[DeleteEdgesArgs]) -> None: ...
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
    ) -> None: ...
    def delete_nodes(self, ids: _Ids) -> None: ...
