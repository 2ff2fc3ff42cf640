"""Matching of positional and keyword arguments, and its TypeError texts."""
import pytest

from quorl_api import PyGraphDiff

from conftest import raises_exact, snapshot, text, uid

A, B, C = uid("a"), uid("b"), uid("c")


def parse_error(message, fn, *args, **kwargs):
    e = raises_exact(TypeError, message, fn, *args, **kwargs)
    assert e.__cause__ is None
    return e


# ------------------------------------------------------------ too many

@pytest.mark.parametrize("call, message", [
    (lambda d: d.delete_node(A, B),
     "PyGraphDiff.delete_node() takes 1 positional arguments but 2 were given"),
    (lambda d: d.add_node(A, {}, 3),
     "PyGraphDiff.add_node() takes 2 positional arguments but 3 were given"),
    (lambda d: d.add_edge(A, B, 1.0, 2.0),
     "PyGraphDiff.add_edge() takes 3 positional arguments but 4 were given"),
    (lambda d: d.delete_edge(A, B, C, A, B),
     "PyGraphDiff.delete_edge() takes 2 positional arguments but 5 were given"),
    (lambda d: PyGraphDiff.from_bytes(b"", b""),
     "PyGraphDiff.from_bytes() takes 1 positional arguments but 2 were given"),
    (lambda d: d.from_bytes(b"", b"", b""),
     "PyGraphDiff.from_bytes() takes 1 positional arguments but 3 were given"),
])
def test_too_many_positional(d, call, message):
    parse_error(message, call, d)


def test_constructor_refuses_arguments():
    parse_error("PyGraphDiff.__new__() takes 0 positional arguments but 1 was given",
                PyGraphDiff, 1)
    parse_error("PyGraphDiff.__new__() takes 0 positional arguments but 2 were given",
                PyGraphDiff, 1, 2)
    parse_error("PyGraphDiff.__new__() got an unexpected keyword argument 'x'",
                PyGraphDiff, x=1)
    # surplus positional arguments are reported before keywords
    parse_error("PyGraphDiff.__new__() takes 0 positional arguments but 1 was given",
                PyGraphDiff, 1, x=1)
    assert PyGraphDiff(**{}).num_nodes() == 0
    assert PyGraphDiff(*()).num_nodes() == 0


# ------------------------------------------------------------ keywords

def test_unexpected_keyword(d):
    parse_error("PyGraphDiff.delete_node() got an unexpected keyword argument 'ident'",
                d.delete_node, ident=A)
    parse_error("PyGraphDiff.add_edge() got an unexpected keyword argument 'frm'",
                d.add_edge, frm=A, to=B, weight=1.0)
    parse_error("PyGraphDiff.from_bytes() got an unexpected keyword argument 'data'",
                PyGraphDiff.from_bytes, data=b"")
    # parameter names match exactly, not by prefix or case
    parse_error("PyGraphDiff.delete_node() got an unexpected keyword argument 'i'",
                d.delete_node, i=A)
    parse_error("PyGraphDiff.delete_node() got an unexpected keyword argument 'ID'",
                d.delete_node, ID=A)
    parse_error("PyGraphDiff.delete_node() got an unexpected keyword argument 'idx'",
                d.delete_node, idx=A)


def test_keyword_that_cannot_be_encoded(d):
    before = snapshot(d)
    with pytest.raises(TypeError) as info:
        d.delete_node(**{"\ud800": A})
    assert type(info.value) is TypeError
    assert info.value.args[0].startswith(
        "PyGraphDiff.delete_node() got an unexpected keyword argument '")
    assert snapshot(d) == before
    d.delete_node(A)
    assert d.deleted_nodes() == [text(A)]


def test_multiple_values(d):
    parse_error("PyGraphDiff.delete_node() got multiple values for argument 'id'",
                d.delete_node, A, id=A)
    parse_error("PyGraphDiff.add_edge() got multiple values for argument 'to'",
                d.add_edge, A, B, to=B, weight=1.0)
    parse_error("PyGraphDiff.add_edge() got multiple values for argument 'from'",
                d.add_edge, A, **{"from": A})
    parse_error("PyGraphDiff.from_bytes() got multiple values for argument 'bytes'",
                PyGraphDiff.from_bytes, b"", bytes=b"")


# ------------------------------------------------------------ missing

@pytest.mark.parametrize("call, message", [
    (lambda d: d.delete_node(),
     "PyGraphDiff.delete_node() missing 1 required positional argument: 'id'"),
    (lambda d: d.add_node(A),
     "PyGraphDiff.add_node() missing 1 required positional argument: 'update'"),
    (lambda d: d.add_node(update={}),
     "PyGraphDiff.add_node() missing 1 required positional argument: 'id'"),
    (lambda d: d.add_node(),
     "PyGraphDiff.add_node() missing 2 required positional arguments: 'id' and 'update'"),
    (lambda d: d.add_edge(),
     "PyGraphDiff.add_edge() missing 3 required positional arguments: "
     "'from', 'to', and 'weight'"),
    (lambda d: d.add_edge(A),
     "PyGraphDiff.add_edge() missing 2 required positional arguments: 'to' and 'weight'"),
    (lambda d: d.add_edge(to=B),
     "PyGraphDiff.add_edge() missing 2 required positional arguments: "
     "'from' and 'weight'"),
    (lambda d: d.add_edge(A, weight=1.0),
     "PyGraphDiff.add_edge() missing 1 required positional argument: 'to'"),
    (lambda d: d.add_edge(**{"from": A}),
     "PyGraphDiff.add_edge() missing 2 required positional arguments: 'to' and 'weight'"),
    (lambda d: d.delete_edge(),
     "PyGraphDiff.delete_edge() missing 2 required positional arguments: "
     "'from' and 'to'"),
    (lambda d: d.delete_edge(to=B),
     "PyGraphDiff.delete_edge() missing 1 required positional argument: 'from'"),
    (lambda d: PyGraphDiff.from_bytes(),
     "PyGraphDiff.from_bytes() missing 1 required positional argument: 'bytes'"),
    (lambda d: PyGraphDiff.delete_node(d),
     "PyGraphDiff.delete_node() missing 1 required positional argument: 'id'"),
])
def test_missing(d, call, message):
    parse_error(message, call, d)


# ------------------------------------------------------------ precedence

@pytest.mark.parametrize("call, message", [
    # surplus positional before any keyword problem
    (lambda d: d.delete_node(A, B, ident=A),
     "PyGraphDiff.delete_node() takes 1 positional arguments but 2 were given"),
    (lambda d: d.add_node(A, {}, 3, id=A),
     "PyGraphDiff.add_node() takes 2 positional arguments but 3 were given"),
    # keyword problems before missing parameters
    (lambda d: d.add_node(bogus=1),
     "PyGraphDiff.add_node() got an unexpected keyword argument 'bogus'"),
    (lambda d: d.add_edge(A, **{"from": A}),
     "PyGraphDiff.add_edge() got multiple values for argument 'from'"),
    # keywords are examined in the order they were passed
    (lambda d: d.add_node(A, bogus=1, id=A),
     "PyGraphDiff.add_node() got an unexpected keyword argument 'bogus'"),
    (lambda d: d.add_node(A, id=A, bogus=1),
     "PyGraphDiff.add_node() got multiple values for argument 'id'"),
])
def test_precedence(d, call, message):
    parse_error(message, call, d)


def test_parse_failure_converts_nothing(d):
    """Arguments are not looked at when parsing fails."""
    calls = []

    class Weight:
        def __float__(self):
            calls.append("float")
            return 1.0

    with pytest.raises(TypeError):
        d.add_edge(A, B, Weight(), 4)
    with pytest.raises(TypeError):
        d.add_edge(A, B, Weight(), bogus=1)
    with pytest.raises(TypeError):
        d.add_edge(A, weight=Weight())
    assert calls == []
    assert d.num_edges() == 0


# ------------------------------------------------------------ accepted forms

def test_keyword_forms_accepted():
    positional, keyword, mixed = PyGraphDiff(), PyGraphDiff(), PyGraphDiff()
    positional.add_node(A, {"red": 1})
    positional.add_edge(A, B, 0.5)
    positional.delete_edge(B, C)
    positional.delete_node(C)

    keyword.add_node(update={"red": 1}, id=A)
    keyword.add_edge(**{"weight": 0.5, "to": B, "from": A})
    keyword.delete_edge(**{"to": C, "from": B})
    keyword.delete_node(id=C)

    mixed.add_node(A, update={"red": 1})
    mixed.add_edge(A, **{"to": B, "weight": 0.5})
    mixed.delete_edge(B, to=C)
    PyGraphDiff.delete_node(mixed, id=C)

    assert snapshot(positional) == snapshot(keyword) == snapshot(mixed)

    data = positional.to_bytes()
    assert snapshot(PyGraphDiff.from_bytes(bytes=data)) == \
        snapshot(PyGraphDiff.from_bytes(data))
    assert snapshot(keyword.from_bytes(bytes=data)) == snapshot(positional)


@pytest.mark.parametrize("name", [
    "new_or_updated_nodes", "deleted_nodes", "new_or_updated_edges",
    "deleted_edges", "num_nodes", "num_edges", "clear", "to_bytes",
])
def test_no_argument_methods_refuse_arguments(d, name):
    d.add_node(A, {})
    before = snapshot(d)
    method = getattr(d, name)
    with pytest.raises(TypeError):
        method(1)
    with pytest.raises(TypeError):
        method(x=1)
    assert snapshot(d) == before


def test_wrong_self_refused(d):
    for name in ("num_nodes", "to_bytes", "clear"):
        with pytest.raises(TypeError):
            getattr(PyGraphDiff, name)(object())
    with pytest.raises(TypeError):
        PyGraphDiff.add_node(None, A, {})
    with pytest.raises(TypeError):
        PyGraphDiff.delete_node()


class NamedKey(str):
    def __str__(self):
        return "shown-name"


class UnprintableKey(str):
    def __str__(self):
        raise ValueError("cannot show")


def test_keyword_names_of_str_subclasses(d, monkeypatch):
    d.delete_node(**{NamedKey("id"): A})
    assert d.deleted_nodes() == [text(A)]
    parse_error("PyGraphDiff.delete_node() got an unexpected keyword argument "
                "'shown-name'", d.delete_node, **{NamedKey("ident"): A})

    reported = []
    monkeypatch.setattr("sys.unraisablehook", reported.append)
    parse_error("PyGraphDiff.delete_node() got an unexpected keyword argument "
                "'<unprintable UnprintableKey object>'",
                d.delete_node, **{UnprintableKey("ident"): A})
    assert len(reported) == 1
    assert type(reported[0].exc_value) is ValueError
    assert reported[0].exc_value.args == ("cannot show",)
    assert type(reported[0].object) is UnprintableKey
