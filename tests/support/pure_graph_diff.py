"""A pure-Python graph diff with the same rules and the same byte string as
quorl_api.PyGraphDiff, written the way a careful Python developer would:
dicts keyed by the 16-byte ``bytes`` identifiers, ``struct`` for the binary
container and hand-written JSON for the node records, with the same float
text.

It is the Python suite's model of the module (``contents`` below is the
comparison of the two) and the comparison point of the benchmark, so it
favours speed where that does not change behaviour: hot paths are inlined,
and the attribute dicts are kept in the order the views present them so
that a view only copies them.

Sets are dicts with ``None`` values: Python's sets iterate in an order that
depends on the per-process hash seed, and the order of every collection
must depend only on the keys and the history of operations. Every
collection iterates as a dict does: a key takes its place when first
inserted, keeps it while its value is replaced or merged, and goes to the
end when removed and inserted again; reading a byte string inserts in the
order of the bytes.
"""

import json
import math
import struct

__all__ = ["PureGraphDiff", "float_text", "node_record", "DecodeFailure", "COMPARE_ORDER", "contents"]

_MISSING = object()
_INF = float("inf")

_PACK_F32 = struct.Struct("<f").pack
_UNPACK_F32 = struct.Struct("<f").unpack
_PACK_U64 = struct.Struct("<Q").pack
_PACK_ID = struct.Struct("<Q16s").pack                  # identifier: length 16, bytes
_PACK_ID_COUNT = struct.Struct("<Q16sQ").pack           # source identifier and count
_PACK_ID_WEIGHT = struct.Struct("<Q16sf").pack          # target identifier and weight
_UNPACK_U64 = struct.Struct("<Q").unpack_from
_UNPACK_ID = struct.Struct("<Q16s").unpack_from
_UNPACK_ID_WEIGHT = struct.Struct("<Q16sf").unpack_from
_ID_LENGTH = _PACK_U64(16)
_MAX_COUNT = 0xFFFFFFFF

# Order of the attribute dicts of the views (and of reading an update).
_VIEW_ORDER = ("label", "url", "size", "red", "green", "blue", "show_label")

_encode_json_string = json.encoder.encode_basestring  # the C version when available


class DecodeFailure(Exception):
    """A byte string or node record that does not read back."""


# ---------------------------------------------------------------------------
# Conversions of arguments


def _f32(value):
    """Narrows a float (or anything float() takes) to binary32, rounding to
    nearest; magnitudes beyond the binary32 range become infinities."""
    try:
        return _UNPACK_F32(_PACK_F32(value))[0]
    except OverflowError:
        return math.copysign(_INF, value)
    except struct.error:
        raise TypeError("must be real number, not %s" % type(value).__name__) from None


def _uuid(value):
    if not isinstance(value, bytes):
        raise TypeError("failed to extract field PyUuid.0")
    if len(value) != 16:
        raise TypeError("failed to extract field PyUuid.0")
    return bytes(value)


def _text(value):
    if not isinstance(value, str):
        raise TypeError("'%s' object cannot be converted to 'PyString'" % type(value).__qualname__)
    value.encode("utf-8")  # refuses lone surrogates
    return str(value)


def _u8(value):
    v = value.__index__() if not isinstance(value, int) else value
    if not 0 <= v <= 255:
        raise OverflowError("out of range integral type conversion attempted")
    return int(v)


def _bool(value):
    if value is True or value is False:
        return value
    if type(value).__module__ == "numpy" and type(value).__name__ == "bool_":
        return bool(value)
    raise TypeError("'%s' object cannot be converted to 'PyBool'" % type(value).__qualname__)


def _extract_update(update):
    """The attribute dict of an update, keys in view order, values checked
    and narrowed as the module stores them."""
    if not isinstance(update, dict):
        raise TypeError("'%s' object cannot be converted to 'PyDict'" % type(update).__qualname__)
    get = dict.get
    out = {}
    v = get(update, "label", _MISSING)
    if v is not _MISSING:
        out["label"] = _text(v)
    v = get(update, "url", _MISSING)
    if v is not _MISSING:
        out["url"] = _text(v)
    v = get(update, "size", _MISSING)
    if v is not _MISSING:
        out["size"] = _f32(v)
    v = get(update, "red", _MISSING)
    if v is not _MISSING:
        out["red"] = _u8(v)
    v = get(update, "green", _MISSING)
    if v is not _MISSING:
        out["green"] = _u8(v)
    v = get(update, "blue", _MISSING)
    if v is not _MISSING:
        out["blue"] = _u8(v)
    v = get(update, "show_label", _MISSING)
    if v is not _MISSING:
        out["show_label"] = _bool(v)
    return out


def uuid_text(b):
    h = b.hex()
    return "%s-%s-%s-%s-%s" % (h[:8], h[8:12], h[12:16], h[16:20], h[20:])


# ---------------------------------------------------------------------------
# Float text: shortest round-trip digits of a binary32 value


def _is_f32_midpoint(x):
    """Whether the double x lies exactly halfway between two binary32 values
    (where rounding a decimal to double and then to binary32 may differ from
    rounding it to binary32 at once)."""
    if x == 0.0 or math.isinf(x):
        return False
    _, e = math.frexp(x)
    ulp_exp = max(e - 24, -149)
    scaled = math.ldexp(x, 1 - ulp_exp)
    return scaled == int(scaled) and int(scaled) % 2 == 1


def _reads_back(text, value):
    """Whether the decimal `text` rounds to the binary32 `value`."""
    x = float(text)
    try:
        back = _UNPACK_F32(_PACK_F32(x))[0]
    except OverflowError:
        return False
    if _is_f32_midpoint(x):
        from fractions import Fraction  # rare: decide the tie exactly

        exact = Fraction(text)
        if exact != Fraction(x):
            step = math.ldexp(1.0, max(math.frexp(x)[1] - 24, -149)) / 2
            back = _UNPACK_F32(_PACK_F32(x + step if exact > x else x - step))[0]
    return back == value


def _shortest_digits(value):
    """(digits, exponent) with |value| == digits * 10**exponent, the fewest
    digits that read back as `value`, the nearest such among equally short."""
    a = abs(value)
    for p in range(1, 10):
        text = "%.*e" % (p - 1, a)
        if not _reads_back(text, a):
            # Just below a power of two the interval of decimals that read
            # back is narrower below the value than above it, so the nearest
            # p-digit decimal may miss while the next one up hits.
            mantissa, exp = text.split("e")
            digits = mantissa.replace(".", "")
            up = str(int(digits) + 1)
            shift = len(up) - p
            up_text = "%s.%se%d" % (up[0], up[1:p], int(exp) + shift)
            if float(up_text) > a and _reads_back(up_text, a):
                text = up_text
            else:
                continue
        mantissa, exp = text.split("e")
        digits = mantissa.replace(".", "")
        stripped = digits.rstrip("0")
        return stripped, int(exp) - (len(digits) - 1) + (len(digits) - len(stripped))
    raise AssertionError("no round-trip text for %r" % value)


def float_text(value):
    """The text of a finite binary32 value (given widened to a float)."""
    if value == 0.0:
        return "-0.0" if math.copysign(1.0, value) < 0 else "0.0"
    sign = "-" if value < 0 else ""
    digits, e = _shortest_digits(value)
    n = len(digits)
    p = n + e
    if e >= 0 and p <= 13:
        body = digits + "0" * e + ".0"
    elif 0 < p <= 13:
        body = digits[:p] + "." + digits[p:]
    elif -6 < p <= 0:
        body = "0." + "0" * (-p) + digits
    elif n == 1:
        body = "%se%d" % (digits, p - 1)
    else:
        body = "%s.%se%d" % (digits[0], digits[1:], p - 1)
    return sign + body


# ---------------------------------------------------------------------------
# Node record JSON text


def node_record(update):
    """The node record text (UTF-8 bytes) of an attribute dict."""
    members = []
    add = members.append
    v = update.get("label")
    if v is not None:
        add('"label":' + _encode_json_string(v))
    v = update.get("size")
    if v is not None:
        add('"size":' + (float_text(v) if math.isfinite(v) else "null"))
    v = update.get("url")
    if v is not None:
        add('"url":' + _encode_json_string(v))
    v = update.get("red")
    if v is not None:
        add('"red":%d' % v)
    v = update.get("green")
    if v is not None:
        add('"green":%d' % v)
    v = update.get("blue")
    if v is not None:
        add('"blue":%d' % v)
    v = update.get("show_label")
    if v is not None:
        add('"showLabel":true' if v else '"showLabel":false')
    return ("{" + ",".join(members) + "}").encode("utf-8")


class _Pairs:
    """A JSON object as read, before the record's shape is checked."""

    __slots__ = ("pairs",)

    def __init__(self, pairs):
        self.pairs = pairs


def _reject_constant(name):
    raise DecodeFailure("expected value")


def _checked_float(text):
    x = float(text)
    if math.isinf(x):
        raise DecodeFailure("number out of range")
    return x


_decode_json = json.JSONDecoder(
    object_pairs_hook=_Pairs, parse_constant=_reject_constant, parse_float=_checked_float
).decode

_RECORD_KEYS = {
    "label": "label",
    "size": "size",
    "url": "url",
    "red": "red",
    "green": "green",
    "blue": "blue",
    "showLabel": "show_label",
}
_ARRAY_FIELDS = ("label", "size", "url", "red", "green", "blue", "show_label")


def _int_to_f32(i):
    """An integer of up to 64 bits rounded straight to binary32."""
    if -(1 << 53) <= i <= (1 << 53):
        return _f32(float(i))
    sign = -1 if i < 0 else 1
    m = abs(i)
    shift = m.bit_length() - 24
    q, r = divmod(m, 1 << shift)
    half = 1 << (shift - 1)
    if r > half or (r == half and q & 1):
        q += 1
    return _f32(sign * math.ldexp(float(q), shift))


def _record_value(field, v):
    if v is None:
        return _MISSING
    if field in ("label", "url"):
        if type(v) is not str:
            raise DecodeFailure("invalid type, expected a string")
        try:
            v.encode("utf-8")
        except UnicodeEncodeError:
            raise DecodeFailure("lone leading surrogate in hex escape") from None
        return v
    if field == "size":
        if type(v) is int:
            if -(1 << 63) <= v < (1 << 64):
                return _int_to_f32(v)
            return _f32(float(v))
        if type(v) is float:
            return _f32(v)
        raise DecodeFailure("invalid type, expected f32")
    if field == "show_label":
        if type(v) is not bool:
            raise DecodeFailure("invalid type, expected a boolean")
        return v
    # red, green, blue
    if type(v) is not int:
        raise DecodeFailure("invalid type, expected u8")
    if not 0 <= v <= 255:
        raise DecodeFailure("invalid value, expected u8")
    return v


def parse_node_record(text):
    """Reads a node record text (str) into an attribute dict in view order."""
    try:
        value = _decode_json(text)
    except (ValueError, RecursionError) as e:
        raise DecodeFailure(str(e)) from None
    found = {}
    if type(value) is _Pairs:
        for key, v in value.pairs:
            field = _RECORD_KEYS.get(key)
            if field is None:
                continue
            if field in found:
                raise DecodeFailure("duplicate field `%s`" % key)
            found[field] = _record_value(field, v)
    elif type(value) is list:
        if len(value) != 7:
            raise DecodeFailure("invalid length %d, expected struct NodeUpdate with 7 elements" % len(value))
        for field, v in zip(_ARRAY_FIELDS, value):
            found[field] = _record_value(field, v)
    else:
        raise DecodeFailure("invalid type, expected struct NodeUpdate")
    return {k: found[k] for k in _VIEW_ORDER if found.get(k, _MISSING) is not _MISSING}


# ---------------------------------------------------------------------------
# The diff


class PureGraphDiff:
    __slots__ = ("_nodes", "_deleted_nodes", "_edges", "_deleted_edges")

    def __init__(self):
        self._nodes = {}          # id -> attribute dict (view order)
        self._deleted_nodes = {}  # id -> None
        self._edges = {}          # source -> {target: weight}
        self._deleted_edges = {}  # source -> {target: None}, never empty

    # -- operations ---------------------------------------------------------

    def add_node(self, id, update):
        if type(id) is not bytes or len(id) != 16:
            id = _uuid(id)
        update = _extract_update(update)
        stored = self._nodes.get(id)
        if stored is None:
            self._nodes[id] = update
        elif update.keys() <= stored.keys():
            stored.update(update)
        else:
            stored.update(update)
            self._nodes[id] = {k: stored[k] for k in _VIEW_ORDER if k in stored}
        self._deleted_nodes.pop(id, None)

    def delete_node(self, id):
        if type(id) is not bytes or len(id) != 16:
            id = _uuid(id)
        self._nodes.pop(id, None)
        edges = self._edges
        edges.pop(id, None)
        deleted_edges = self._deleted_edges
        for source, targets in edges.items():
            if id in targets:
                del targets[id]
                gone = deleted_edges.get(source)
                if gone is None:
                    deleted_edges[source] = {id: None}
                else:
                    gone[id] = None
        self._deleted_nodes[id] = None

    def add_edge(self, from_, to, weight):
        if type(from_) is not bytes or len(from_) != 16:
            from_ = _uuid(from_)
        if type(to) is not bytes or len(to) != 16:
            to = _uuid(to)
        try:
            weight = _UNPACK_F32(_PACK_F32(weight))[0]
        except (OverflowError, struct.error):
            weight = _f32(weight)
        deleted = self._deleted_nodes
        if from_ in deleted or to in deleted:
            return  # refused: an endpoint is marked for deletion
        gone = self._deleted_edges.get(from_)
        if gone is not None:
            gone.pop(to, None)
            if not gone:
                del self._deleted_edges[from_]
        targets = self._edges.get(from_)
        if targets is None:
            self._edges[from_] = {to: weight}
        else:
            targets[to] = weight

    def delete_edge(self, from_, to):
        if type(from_) is not bytes or len(from_) != 16:
            from_ = _uuid(from_)
        if type(to) is not bytes or len(to) != 16:
            to = _uuid(to)
        gone = self._deleted_edges.get(from_)
        if gone is None:
            self._deleted_edges[from_] = {to: None}
        else:
            gone[to] = None
        targets = self._edges.get(from_)
        if targets is not None:
            targets.pop(to, None)
            if not targets:
                del self._edges[from_]

    def clear(self):
        self._nodes.clear()
        self._deleted_nodes.clear()
        self._edges.clear()
        self._deleted_edges.clear()

    def num_nodes(self):
        return len(self._nodes) + len(self._deleted_nodes)

    def num_edges(self):
        return len(self._edges) + len(self._deleted_edges)

    # -- views ----------------------------------------------------------------

    def new_or_updated_nodes(self):
        text = uuid_text
        return {text(k): dict(u) for k, u in self._nodes.items()}

    def deleted_nodes(self):
        text = uuid_text
        return [text(k) for k in self._deleted_nodes]

    def new_or_updated_edges(self):
        text = uuid_text
        return {text(s): {text(t): w for t, w in ts.items()} for s, ts in self._edges.items() if ts}

    def deleted_edges(self):
        text = uuid_text
        return {text(s): [text(t) for t in ts] for s, ts in self._deleted_edges.items() if ts}

    # -- byte string ------------------------------------------------------------

    def to_bytes(self):
        parts = [_PACK_U64(len(self._nodes))]
        add = parts.append
        id_length = _ID_LENGTH
        for k, u in self._nodes.items():
            record = node_record(u)
            add(id_length)
            add(k)
            add(_PACK_U64(len(record)))
            add(record)
        add(_PACK_U64(len(self._deleted_nodes)))
        parts.extend([id_length + k for k in self._deleted_nodes])
        add(_PACK_U64(len(self._edges)))
        pack_target = _PACK_ID_WEIGHT
        pack_group = _PACK_ID_COUNT
        for source, targets in self._edges.items():
            add(pack_group(16, source, len(targets)))
            parts.extend([pack_target(16, t, w) for t, w in targets.items()])
        add(_PACK_U64(len(self._deleted_edges)))
        for source, targets in self._deleted_edges.items():
            add(pack_group(16, source, len(targets)))
            parts.extend([id_length + t for t in targets])
        return b"".join(parts)

    @staticmethod
    def from_bytes(data):
        if not isinstance(data, bytes):
            raise TypeError("'%s' object cannot be converted to 'PyBytes'" % type(data).__qualname__)
        try:
            diff = _decode(bytes(data))
        except (DecodeFailure, struct.error, UnicodeDecodeError):
            raise Exception("Failed to deserialize graph diff.") from None
        return diff


def _count(data, pos):
    (n,) = _UNPACK_U64(data, pos)
    if n > _MAX_COUNT:
        raise DecodeFailure("Invalid size %d" % n)
    return n


def _identifier(data, pos):
    length, ident = _UNPACK_ID(data, pos)
    if length != 16:
        raise DecodeFailure("UUID parsing failed")
    return ident


def _decode(data):
    end = len(data)
    pos = 0
    # Section 1: texts first, parsed once the container has read through.
    texts = {}
    n = _count(data, pos)
    pos += 8
    for _ in range(n):
        ident = _identifier(data, pos)
        length = _count(data, pos + 24)
        pos += 32
        if end - pos < length:
            raise DecodeFailure("io error")
        texts[ident] = data[pos:pos + length].decode("utf-8")
        pos += length
    deleted_nodes = {}
    n = _count(data, pos)
    pos += 8
    unpack_id = _UNPACK_ID
    for _ in range(n):
        length, ident = unpack_id(data, pos)
        if length != 16:
            raise DecodeFailure("UUID parsing failed")
        deleted_nodes[ident] = None
        pos += 24
    edges = {}
    n = _count(data, pos)
    pos += 8
    unpack_target = _UNPACK_ID_WEIGHT
    for _ in range(n):
        source = _identifier(data, pos)
        m = _count(data, pos + 24)
        pos += 32
        targets = {}
        for _ in range(m):
            length, target, weight = unpack_target(data, pos)
            if length != 16:
                raise DecodeFailure("UUID parsing failed")
            targets[target] = weight
            pos += 28
        edges[source] = targets
    deleted_edges = {}
    n = _count(data, pos)
    pos += 8
    for _ in range(n):
        source = _identifier(data, pos)
        m = _count(data, pos + 24)
        pos += 32
        targets = {}
        for _ in range(m):
            length, target = unpack_id(data, pos)
            if length != 16:
                raise DecodeFailure("UUID parsing failed")
            targets[target] = None
            pos += 24
        deleted_edges[source] = targets
    nodes = {ident: parse_node_record(text) for ident, text in texts.items()}
    diff = PureGraphDiff()
    diff._nodes = nodes
    diff._deleted_nodes = deleted_nodes
    diff._edges = edges
    diff._deleted_edges = deleted_edges
    return diff


# ---------------------------------------------------------------------------
# Comparing diffs

# Whether contents() of the module's diff and of this one must also list the
# entries in the same order (and give the same bytes): both keep every
# collection in the order of a dict under the same calls.
COMPARE_ORDER = True


def contents(d, order=COMPARE_ORDER):
    """Everything observable about a diff, the module's or a PureGraphDiff,
    as one value to compare with ==: the views (through repr(), so that NaN
    equals itself and 1, 1.0 and True differ), the counts and the byte
    string. Without `order` every collection is sorted, and the byte string
    is taken apart into sorted sections (node record texts byte for byte,
    weights as their four bytes)."""
    nodes = [(k, list(u.items())) for k, u in d.new_or_updated_nodes().items()]
    deleted = d.deleted_nodes()
    edges = [(k, list(ts.items())) for k, ts in d.new_or_updated_edges().items()]
    deleted_edges = list(d.deleted_edges().items())
    data = d.to_bytes()
    if not order:
        nodes.sort()
        deleted.sort()
        edges = sorted((k, sorted(ts)) for k, ts in edges)
        deleted_edges = sorted((k, sorted(ts)) for k, ts in deleted_edges)
        data = _sorted_sections(data)
    return repr((nodes, deleted, edges, deleted_edges)), d.num_nodes(), d.num_edges(), data


def _sorted_sections(data):
    pos = 0

    def take(n):
        nonlocal pos
        pos += n
        assert pos <= len(data), "byte string cut short"
        return data[pos - n:pos]

    def count():
        return _UNPACK_U64(take(8))[0]

    def ident():
        assert count() == 16
        return take(16)

    nodes = sorted((ident(), take(count())) for _ in range(count()))
    deleted = sorted(ident() for _ in range(count()))
    edges = sorted((ident(), sorted((ident(), take(4)) for _ in range(count()))) for _ in range(count()))
    deleted_edges = sorted((ident(), sorted(ident() for _ in range(count()))) for _ in range(count()))
    assert pos == len(data), "bytes after the last section"
    return nodes, deleted, edges, deleted_edges
