"""Conversion of Python arguments into identifiers, node updates and floats,
and the exact exceptions for values that cannot be converted."""
import collections
import math
import operator
import types
import uuid
import weakref

import numpy
import pytest

from quorl_api import PyGraphDiff

from conftest import (EXPECTED_16, OUT_OF_RANGE, UUID_FIELD, check_exc, f32,
                      interpreter_float_error, raises_exact, snapshot, text, uid)

A, B = uid("a"), uid("b")


class Holder:
    class Inner:
        pass


class NamelessMeta(type):
    def __getattribute__(cls, name):
        if name == "__qualname__":
            raise RuntimeError("no name for you")
        return type.__getattribute__(cls, name)


class Nameless(metaclass=NamelessMeta):
    pass


class BytesSub(bytes):
    pass


class StrSub(str):
    pass


class IntSub(int):
    pass


def attrs_after(update):
    d = PyGraphDiff()
    d.add_node(A, update)
    return d.new_or_updated_nodes()[text(A)]


def weight_after(w):
    d = PyGraphDiff()
    d.add_edge(A, B, w)
    return d.new_or_updated_edges()[text(A)][text(B)]


# ------------------------------------------------------------ identifiers

@pytest.mark.parametrize("bad, type_name", [
    ("0123456789abcdef", "str"),
    (bytearray(16), "bytearray"),
    (memoryview(bytes(16)), "memoryview"),
    (uuid.UUID(bytes=bytes(range(16))), "UUID"),
    (12345, "int"),
    (None, "NoneType"),
    (Holder.Inner(), "Holder.Inner"),
    (Nameless(), "<failed to extract type name>"),
])
def test_identifier_of_wrong_type(d, bad, type_name):
    e = raises_exact(TypeError, "argument 'id': " + UUID_FIELD, d.delete_node, bad)
    cause = check_exc(e.__cause__, TypeError,
                      "'%s' object cannot be converted to 'PyBytes'" % type_name)
    assert cause.__cause__ is None
    assert e.__suppress_context__ is True
    assert d.num_nodes() == 0


@pytest.mark.parametrize("length", [0, 1, 15, 17, 32])
def test_identifier_of_wrong_length(d, length):
    e = raises_exact(TypeError, "argument 'id': " + UUID_FIELD,
                     d.add_node, bytes(length), {})
    check_exc(e.__cause__, Exception, EXPECTED_16)
    assert e.__cause__.__cause__ is None
    assert d.num_nodes() == 0


def test_identifier_errors_name_their_argument(d):
    e = raises_exact(TypeError, "argument 'from': " + UUID_FIELD,
                     d.add_edge, "x", B, 1.0)
    check_exc(e.__cause__, TypeError, "'str' object cannot be converted to 'PyBytes'")
    e = raises_exact(TypeError, "argument 'to': " + UUID_FIELD,
                     d.add_edge, A, b"short", 1.0)
    check_exc(e.__cause__, Exception, EXPECTED_16)
    raises_exact(TypeError, "argument 'from': " + UUID_FIELD, d.delete_edge, 7, B)
    raises_exact(TypeError, "argument 'to': " + UUID_FIELD, d.delete_edge, A, 7)
    raises_exact(TypeError, "argument 'id': " + UUID_FIELD, d.add_node, [], {})
    # the first failing argument wins
    raises_exact(TypeError, "argument 'from': " + UUID_FIELD, d.add_edge, 1, 2, "w")
    assert snapshot(d) == snapshot(PyGraphDiff())


def test_identifier_accepted_forms(d):
    u = uuid.UUID("12345678-9abc-def0-0fed-cba987654321")
    d.add_node(u.bytes, {})
    d.add_node(BytesSub(uid("sub")), {})
    d.delete_node(bytes(16))
    d.delete_node(b"\xff" * 16)
    assert set(d.new_or_updated_nodes()) == {str(u), text(uid("sub"))}
    assert sorted(d.deleted_nodes()) == [
        "00000000-0000-0000-0000-000000000000",
        "ffffffff-ffff-ffff-ffff-ffffffffffff",
    ]


def test_identifiers_differing_in_last_byte_are_distinct(d):
    a = bytes(range(16))
    b = bytes(range(15)) + b"\x10"
    d.add_node(a, {"red": 1})
    d.add_node(b, {"red": 2})
    assert d.new_or_updated_nodes() == {
        "00010203-0405-0607-0809-0a0b0c0d0e0f": {"red": 1},
        "00010203-0405-0607-0809-0a0b0c0d0e10": {"red": 2},
    }


# ------------------------------------------------------------ update dict

@pytest.mark.parametrize("bad, type_name", [
    ([], "list"),
    (None, "NoneType"),
    (types.MappingProxyType({}), "mappingproxy"),
    ((("label", "x"),), "tuple"),
])
def test_update_not_a_dict(d, bad, type_name):
    e = raises_exact(TypeError, "argument 'update': '%s' object cannot be converted "
                     "to 'PyDict'" % type_name, d.add_node, A, bad)
    assert e.__cause__ is None
    assert d.num_nodes() == 0


def test_update_mappings_accepted():
    class Overriding(dict):
        def __getitem__(self, key):
            raise AssertionError("__getitem__ must not be called")

        def __missing__(self, key):
            raise AssertionError("__missing__ must not be called")

        def get(self, *args):
            raise AssertionError("get must not be called")

    assert attrs_after(Overriding(red=4, label="o")) == {"label": "o", "red": 4}
    assert attrs_after(Overriding()) == {}
    assert attrs_after(collections.OrderedDict([("blue", 9), ("url", "u")])) == \
        {"url": "u", "blue": 9}
    assert attrs_after(collections.defaultdict(int, green=3)) == {"green": 3}


def test_unknown_keys_ignored():
    assert attrs_after({}) == {}
    assert attrs_after({1: "x", 2.5: None, ("label",): 1}) == {}
    assert attrs_after({"showLabel": 1, "colour": None, "Label": 2, "label ": 3}) == {}
    assert attrs_after({"red": 7, None: object()}) == {"red": 7}


# ------------------------------------------------------------ label / url

def test_texts_accepted():
    assert attrs_after({"label": "", "url": ""}) == {"label": "", "url": ""}
    assert attrs_after({"label": "a\x00b"}) == {"label": "a\x00b"}
    assert attrs_after({"label": StrSub("sub")}) == {"label": "sub"}
    assert type(attrs_after({"label": StrSub("sub")})["label"]) is str
    label = "\u00e9\u4e2d\U0001f600"
    assert attrs_after({"label": label, "url": "http://x/\u00fc"}) == \
        {"label": label, "url": "http://x/\u00fc"}


@pytest.mark.parametrize("key", ["label", "url"])
@pytest.mark.parametrize("bad, type_name", [
    (None, "NoneType"), (1, "int"), (b"x", "bytes"), (["x"], "list"),
])
def test_text_of_wrong_type(d, key, bad, type_name):
    e = raises_exact(TypeError, "argument 'update': '%s' object cannot be "
                     "converted to 'PyString'" % type_name, d.add_node, A, {key: bad})
    assert e.__cause__ is None
    assert d.num_nodes() == 0


@pytest.mark.parametrize("key", ["label", "url"])
def test_text_with_lone_surrogate(d, key):
    try:
        "ab\ud800".encode("utf-8")
    except UnicodeEncodeError as ref:
        expected = ref.args
    with pytest.raises(UnicodeEncodeError) as info:
        d.add_node(A, {key: "ab\ud800"})
    assert type(info.value) is UnicodeEncodeError
    assert info.value.args == expected
    assert d.num_nodes() == 0


# ------------------------------------------------------------ size / weight

@pytest.mark.parametrize("value, expected", [
    (0.1, 0.10000000149011612),
    (2, 2.0),
    (True, 1.0),
    (-0.0, -0.0),
    (1e39, math.inf),
    (-1e39, -math.inf),
    (1e-50, 0.0),
    (3.4028235e38, 3.4028234663852886e38),
    (numpy.float64(2.5), 2.5),
    (numpy.float32(0.1), 0.10000000149011612),
])
def test_float_values(value, expected):
    size = attrs_after({"size": value})["size"]
    weight = weight_after(value)
    assert type(size) is float and type(weight) is float
    assert size == expected and weight == expected
    assert math.copysign(1, size) == math.copysign(1, expected)


def test_float_nan_and_protocols():
    assert math.isnan(attrs_after({"size": math.nan})["size"])
    assert math.isnan(weight_after(float("nan")))

    class WithFloat:
        def __float__(self):
            return 0.75

    class FloatSub(float):
        def __float__(self):
            raise AssertionError("a float subclass is read directly")

    class WithIndex:
        def __index__(self):
            return 3

    assert weight_after(WithFloat()) == 0.75
    assert weight_after(FloatSub(0.5)) == 0.5
    assert weight_after(-1.0) == -1.0
    assert weight_after(-1) == -1.0
    assert weight_after(WithIndex()) == 3.0
    assert attrs_after({"size": WithFloat()}) == {"size": 0.75}


class FloatReturnsInt:
    def __float__(self):
        return 1


@pytest.mark.parametrize("bad", ["1", None, b"1", [], FloatReturnsInt(), 1j])
def test_float_refused_with_type_error(d, bad):
    exc_type, message = interpreter_float_error(bad)
    assert exc_type is TypeError
    e = raises_exact(TypeError, "argument 'weight': " + message,
                     d.add_edge, A, B, bad)
    assert e.__cause__ is None
    e = raises_exact(TypeError, "argument 'update': " + message,
                     d.add_node, A, {"size": bad})
    assert e.__cause__ is None
    assert snapshot(d) == snapshot(PyGraphDiff())


def test_float_refused_with_other_errors_unchanged(d):
    with pytest.raises(OverflowError) as info:
        d.add_edge(A, B, 10 ** 400)
    assert type(info.value) is OverflowError
    assert info.value.args == ("int too large to convert to float",)

    err = ValueError("my own")

    class Raising:
        def __float__(self):
            raise err

    with pytest.raises(ValueError) as info:
        d.add_edge(A, B, Raising())
    assert info.value is err
    with pytest.raises(ValueError) as info:
        d.add_node(A, {"size": Raising()})
    assert info.value is err
    assert snapshot(d) == snapshot(PyGraphDiff())


def test_texts_stay_whole_while_a_later_conversion_replaces_them():
    """The texts of an update are read first and viewed, not copied, until
    the store takes them; the size's conversion then drops the dict's last
    reference to the label and the url, which must still be what is stored.
    A batch of such dicts reads each before the next."""
    def update():
        made = {"label": "".join(["first label ", "x" * 100]), "url": "".join(["u", "y" * 700])}

        class Size:
            def __float__(self):
                made["label"] = "other"
                del made["url"]
                made.clear()
                return 2.0

        made["size"] = Size()
        return made

    want = {"label": "first label " + "x" * 100, "url": "u" + "y" * 700, "size": 2.0}
    assert attrs_after(update()) == want
    d = PyGraphDiff()
    d.add_nodes([A, B], [update(), update()])
    assert d.new_or_updated_nodes() == {text(A): want, text(B): want}

    class Red:  # drops show_label, which the one pass over the dict read first
        def __index__(self):
            del dropping["show_label"]
            return 3

    dropping = {"show_label": True, "red": Red()}
    assert attrs_after(dropping) == {"red": 3}


def test_type_error_from_callback_is_prefixed_and_keeps_cause(d):
    root = KeyError("root")

    class Raising:
        def __float__(self):
            raise TypeError("custom text") from root

    e = raises_exact(TypeError, "argument 'weight': custom text",
                     d.add_edge, A, B, Raising())
    assert e.__cause__ is root

    class MyTypeError(TypeError):
        pass

    sub = MyTypeError("subclass")

    class RaisingSub:
        def __float__(self):
            raise sub

    with pytest.raises(MyTypeError) as info:
        d.add_edge(A, B, RaisingSub())
    assert info.value is sub
    assert info.value.args == ("subclass",)


# ------------------------------------------------------------ colours

@pytest.mark.parametrize("key", ["red", "green", "blue"])
def test_colour_values(key):
    class WithIndex:
        def __index__(self):
            return 200

    assert attrs_after({key: 0}) == {key: 0}
    assert attrs_after({key: 255}) == {key: 255}
    assert attrs_after({key: True}) == {key: 1}
    assert attrs_after({key: False}) == {key: 0}
    assert attrs_after({key: IntSub(17)}) == {key: 17}
    assert attrs_after({key: WithIndex()}) == {key: 200}
    assert attrs_after({key: numpy.uint8(250)}) == {key: 250}
    assert type(attrs_after({key: True})[key]) is int
    assert type(attrs_after({key: IntSub(17)})[key]) is int


class IndexReturns:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


@pytest.mark.parametrize("key", ["red", "green", "blue"])
@pytest.mark.parametrize("bad", [256, -1, -2, 1000, IndexReturns(256), IndexReturns(-1)])
def test_colour_out_of_range(d, key, bad):
    e = raises_exact(OverflowError, OUT_OF_RANGE, d.add_node, A, {key: bad})
    assert e.__cause__ is None
    assert d.num_nodes() == 0


@pytest.mark.parametrize("bad", [2 ** 70, -2 ** 70])
def test_colour_beyond_long(d, bad):
    with pytest.raises(OverflowError) as info:
        d.add_node(A, {"red": bad})
    assert type(info.value) is OverflowError
    assert info.value.args == ("Python int too large to convert to C long",)
    assert d.num_nodes() == 0


@pytest.mark.parametrize("bad, type_name", [
    (3.0, "float"), ("1", "str"), (None, "NoneType"), (numpy.float64(1.0), "numpy.float64"),
])
def test_colour_not_an_integer(d, bad, type_name):
    e = raises_exact(TypeError, "argument 'update': '%s' object cannot be interpreted "
                     "as an integer" % type_name, d.add_node, A, {"green": bad})
    assert e.__cause__ is None
    assert d.num_nodes() == 0


def test_colour_index_returning_non_int(d):
    # The reason is the interpreter's own text, which 3.15 reworded.
    with pytest.raises(TypeError) as reason:
        operator.index(IndexReturns("x"))
    with pytest.raises(TypeError) as info:
        d.add_node(A, {"blue": IndexReturns("x")})
    check_exc(info, TypeError, "argument 'update': %s" % reason.value)


# ------------------------------------------------------------ show_label

def test_show_label_values():
    assert attrs_after({"show_label": True})["show_label"] is True
    assert attrs_after({"show_label": False})["show_label"] is False


def test_show_label_numpy_bool(d):
    # Only the type whose full name is "numpy.bool_" is taken as a boolean;
    # numpy 2 renamed it to "numpy.bool", which is refused like any other type.
    cls = numpy.bool_
    if "%s.%s" % (cls.__module__, cls.__name__) == "numpy.bool_":
        assert attrs_after({"show_label": numpy.bool_(False)})["show_label"] is False
        assert attrs_after({"show_label": numpy.bool_(True)})["show_label"] is True
    else:
        raises_exact(TypeError, "argument 'update': '%s' object cannot be converted "
                     "to 'PyBool'" % cls.__qualname__,
                     d.add_node, A, {"show_label": numpy.bool_(True)})


@pytest.mark.parametrize("bad, type_name", [
    (1, "int"), (0, "int"), (None, "NoneType"), ("true", "str"), (1.0, "float"),
    (numpy.int64(1), "int64"), (numpy.array([True]), "ndarray"),
])
def test_show_label_not_a_boolean(d, bad, type_name):
    e = raises_exact(TypeError, "argument 'update': '%s' object cannot be converted "
                     "to 'PyBool'" % type_name, d.add_node, A, {"show_label": bad})
    assert e.__cause__ is None
    assert d.num_nodes() == 0


def test_show_label_lookalike_type_refused(d):
    bool_ = type("bool_", (), {"__module__": "numpy", "__bool__": lambda self: True})
    raises_exact(TypeError, "argument 'update': 'bool_' object cannot be converted "
                 "to 'PyBool'", d.add_node, A, {"show_label": bool_()})


# ------------------------------------------------------------ order of work

class CollidingKey:
    """A dict key that collides with "label" and records every comparison."""

    def __init__(self, log, raise_with=None):
        self.log = log
        self.raise_with = raise_with

    def __hash__(self):
        return hash("label")

    def __eq__(self, other):
        self.log.append(other)
        if self.raise_with is not None:
            raise self.raise_with
        return False


def test_update_looked_up_only_after_valid_id(d):
    log = []
    update = {CollidingKey(log): 1}
    raises_exact(TypeError, "argument 'id': " + UUID_FIELD, d.add_node, b"bad", update)
    raises_exact(TypeError, "argument 'id': " + UUID_FIELD, d.add_node, "bad", [])
    assert log == []
    d.add_node(A, update)
    # the dict's probing may compare the colliding entry more than once
    assert log and set(log) == {"label"}
    assert d.new_or_updated_nodes() == {text(A): {}}


def test_failing_dict_lookup(d):
    raises_exact(TypeError, "argument 'update': lookup refused", d.add_node, A,
                 {CollidingKey([], TypeError("lookup refused")): 1})
    err = LookupError("lookup failed")
    with pytest.raises(LookupError) as info:
        d.add_node(A, {CollidingKey([], err): 1})
    assert info.value is err
    assert d.num_nodes() == 0


def test_later_value_not_converted_after_failure(d):
    calls = []

    class Spy:
        def __index__(self):
            calls.append("index")
            return 1

    # "url" is read before "size", "size" before the colours
    raises_exact(TypeError, "argument 'update': 'int' object cannot be converted to "
                 "'PyString'", d.add_node, A, {"red": Spy(), "url": 5})
    raises_exact(TypeError, "argument 'update': " + interpreter_float_error("s")[1],
                 d.add_node, A, {"blue": Spy(), "size": "s"})
    assert calls == []
    raises_exact(OverflowError, OUT_OF_RANGE, d.add_node, A,
                 {"red": 256, "green": Spy()})
    assert calls == []
    assert d.num_nodes() == 0


# ------------------------------------------------------------ from_bytes

@pytest.mark.parametrize("bad, type_name", [
    (bytearray(32), "bytearray"),
    (memoryview(bytes(32)), "memoryview"),
    ("\x00" * 32, "str"),
    (None, "NoneType"),
    ([0] * 32, "list"),
])
def test_from_bytes_refuses_non_bytes(bad, type_name):
    e = raises_exact(TypeError, "argument 'bytes': '%s' object cannot be converted "
                     "to 'PyBytes'" % type_name, PyGraphDiff.from_bytes, bad)
    assert e.__cause__ is None


def test_from_bytes_accepts_bytes_subclass():
    d = PyGraphDiff.from_bytes(BytesSub(bytes(32)))
    assert type(d) is PyGraphDiff
    assert d.num_nodes() == 0


def test_weights_narrowed_to_binary32(d):
    for x in (0.1, 1 / 3, 16777217.0, 1e-40, 123456.789):
        assert weight_after(x) == f32(x)


class Unprintable:
    def __str__(self):
        raise ValueError("nope")

    __repr__ = __str__


def test_unprintable_type_error_text(d, monkeypatch):
    class Raising:
        def __float__(self):
            raise TypeError(Unprintable())

    monkeypatch.setattr("sys.unraisablehook", lambda u: None)
    raises_exact(TypeError, "argument 'weight': <unprintable TypeError object>",
                 d.add_edge, A, B, Raising())
    assert d.num_edges() == 0


def test_update_changed_while_being_read(d):
    update = {}

    class Clearing:
        def __float__(self):
            update.clear()
            update["red"] = 1
            update["blue"] = 2
            return 0.5

    update.update({"label": "kept", "size": Clearing(), "green": 3})
    d.add_node(A, update)
    # label and size were read before the dict changed, the colours after it
    assert d.new_or_updated_nodes() == {text(A): {"label": "kept", "size": 0.5,
                                                  "red": 1, "blue": 2}}

    holder = {}

    class Replacing:
        def __index__(self):
            holder["update"]["green"] = "not a colour any more"
            holder["update"]["red"] = None  # drops the last other reference
            return 4

    holder["update"] = {"red": Replacing(), "green": 5}
    gone = weakref.ref(holder["update"]["red"])
    raises_exact(TypeError, "argument 'update': 'str' object cannot be interpreted "
                 "as an integer", d.add_node, B, holder["update"])
    assert text(B) not in d.new_or_updated_nodes()
    assert gone() is None
