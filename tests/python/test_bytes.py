"""to_bytes and from_bytes: the exact byte string, the node record text, what
the reader accepts and what it refuses."""
import math
import struct

import pytest

from quorl_api import PyGraphDiff

from conftest import (DESERIALIZE_FAILED, diff_bytes, ident, normalized,
                      one_node_bytes, python_output, snapshot, text, u64, uid)

ID_0F = bytes.fromhex("00112233445566778899aabbccddeeff")
X, Y = uid("x"), uid("y")
N = uid("n")


def record_text(update):
    """The node record text that to_bytes writes for one node."""
    d = PyGraphDiff()
    d.add_node(N, update)
    data = d.to_bytes()
    assert data[:8] == u64(1) and data[8:16] == u64(16) and data[16:32] == N
    (length,) = struct.unpack("<Q", data[32:40])
    assert len(data) == 40 + length + 24
    assert data[40 + length:] == bytes(24)
    return data[40:40 + length].decode("utf-8")


def decoded_attrs(json_text):
    return PyGraphDiff.from_bytes(one_node_bytes(json_text)).new_or_updated_nodes()[text(N)]


def refused(data):
    with pytest.raises(Exception) as info:
        PyGraphDiff.from_bytes(data)
    e = info.value
    assert type(e) is Exception
    assert e.args == (DESERIALIZE_FAILED,)
    assert e.__cause__ is None
    return e


# ------------------------------------------------------------ writing

def test_empty_diff_bytes(d):
    data = d.to_bytes()
    assert type(data) is bytes
    assert data == bytes(32)


def test_one_node_example(d):
    d.add_node(ID_0F, {"label": "A"})
    expected = bytes.fromhex(
        "0100000000000000"
        "1000000000000000"
        "00112233445566778899aabbccddeeff"
        "0d00000000000000"
        "7b226c6162656c223a2241227d"
        "0000000000000000"
        "0000000000000000"
        "0000000000000000")
    assert len(expected) == 77
    assert d.to_bytes() == expected
    assert PyGraphDiff.from_bytes(expected).new_or_updated_nodes() == {
        "00112233-4455-6677-8899-aabbccddeeff": {"label": "A"}}


def test_one_edge_example(d):
    d.add_edge(X, Y, 0.5)
    expected = (u64(0) + u64(0) + u64(1) + u64(16) + X + u64(1) + u64(16) + Y
                + bytes.fromhex("0000003f") + u64(0))
    assert len(expected) == 92
    assert d.to_bytes() == expected


def test_empty_node_record_and_empty_group(d):
    d.add_node(N, {})
    data = d.to_bytes()
    assert len(data) == 32 + 34
    assert data[32:40] == u64(2) and data[40:42] == b"{}"

    g = PyGraphDiff()
    g.add_edge(X, Y, 1.0)
    g.delete_node(Y)
    # deleted Y; source X kept with no targets; the deleted edge X -> Y
    assert g.to_bytes() == (u64(0)
                            + u64(1) + ident(Y)
                            + u64(1) + ident(X) + u64(0)
                            + u64(1) + ident(X) + u64(1) + ident(Y))


def test_weight_bits_kept(d):
    d.add_edge(X, Y, math.nan)
    d.add_edge(Y, X, -math.inf)
    back = PyGraphDiff.from_bytes(d.to_bytes())
    assert math.isnan(back.new_or_updated_edges()[text(X)][text(Y)])
    assert back.new_or_updated_edges()[text(Y)][text(X)] == -math.inf
    assert back.to_bytes() == d.to_bytes()

    quiet_nan = bytes.fromhex("0000c07f")
    payload_nan = bytes.fromhex("0100c0ff")
    data = diff_bytes(edges=[(X, [(Y, payload_nan), (N, quiet_nan)])])
    again = PyGraphDiff.from_bytes(data).to_bytes()
    assert len(again) == len(data)
    assert payload_nan in again and quiet_nan in again


@pytest.mark.parametrize("update, expected", [
    ({}, "{}"),
    ({"label": ""}, '{"label":""}'),
    ({"label": "A"}, '{"label":"A"}'),
    ({"show_label": True}, '{"showLabel":true}'),
    ({"show_label": False, "red": 0}, '{"red":0,"showLabel":false}'),
    ({"red": 0, "green": 128, "blue": 255}, '{"red":0,"green":128,"blue":255}'),
    ({"show_label": True, "blue": 3, "green": 2, "red": 1, "url": "U", "size": 2.5,
      "label": "L"},
     '{"label":"L","size":2.5,"url":"U","red":1,"green":2,"blue":3,"showLabel":true}'),
    ({"label": 'q"b\\n\nt\tr\rb\bf\x0cz\x00o\x01u\x1fd\x7f/'},
     '{"label":"q\\"b\\\\n\\nt\\tr\\rb\\bf\\fz\\u0000o\\u0001u\\u001fd\x7f/"}'),
    ({"url": "\u00e9\u4e2d\U0001f600"}, '{"url":"\u00e9\u4e2d\U0001f600"}'),
])
def test_node_record_text(update, expected):
    assert record_text(update) == expected


@pytest.mark.parametrize("size, expected", [
    (0.0, "0.0"),
    (-0.0, "-0.0"),
    (1.0, "1.0"),
    (1e12, "1000000000000.0"),
    (1e13, "1e13"),
    (2.5, "2.5"),
    (0.1, "0.1"),
    (1e-6, "0.000001"),
    (1e-7, "1e-7"),
    (1.5e13, "1.5e13"),
    (3.4028234663852886e38, "3.4028235e38"),
    (1.401298464324817e-45, "1e-45"),
    (math.nan, "null"),
    (math.inf, "null"),
])
def test_size_text(size, expected):
    assert record_text({"size": size}) == '{"size":%s}' % expected


def test_round_trip_restores_views(ids):
    d = PyGraphDiff()
    d.add_node(ids[0], {"label": "x\"y", "url": "", "size": 0.1, "red": 255,
                        "green": 0, "blue": 7, "show_label": False})
    d.add_node(ids[1], {"size": math.inf})
    d.add_node(ids[2], {"size": math.nan, "label": "n"})
    d.delete_node(ids[3])
    d.add_edge(ids[0], ids[1], 0.25)
    d.add_edge(ids[4], ids[3 + 2], -1.0)
    d.add_edge(ids[4], ids[6], 1e30)
    d.delete_edge(ids[6], ids[0])
    before = snapshot(d)

    back = PyGraphDiff.from_bytes(d.to_bytes())
    assert type(back) is PyGraphDiff
    nodes = back.new_or_updated_nodes()
    assert nodes[text(ids[0])] == d.new_or_updated_nodes()[text(ids[0])]
    assert nodes[text(ids[1])] == {}
    assert nodes[text(ids[2])] == {"label": "n"}
    assert normalized(back)[1:] == normalized(d)[1:]
    assert snapshot(d) == before

    via_instance = d.from_bytes(d.to_bytes())
    assert via_instance is not d
    assert type(via_instance) is PyGraphDiff
    assert normalized(via_instance)[1:] == normalized(d)[1:]
    assert snapshot(d) == before


def test_bytes_identical_in_every_process():
    code = (
        "import uuid\n"
        "from quorl_api import PyGraphDiff\n"
        "ns = uuid.UUID(int=7)\n"
        "u = lambda n: uuid.uuid5(ns, str(n)).bytes\n"
        "d = PyGraphDiff()\n"
        "for i in range(300):\n"
        "    d.add_node(u(i), {'label': str(i), 'red': i % 256})\n"
        "    d.add_edge(u(i % 17), u(i), float(i))\n"
        "    if i % 4 == 0: d.delete_node(u(i // 3))\n"
        "    if i % 6 == 0: d.delete_edge(u(i % 5), u(i))\n"
        "print(d.to_bytes().hex())\n"
        "print(list(d.new_or_updated_nodes()))\n"
    )
    outs = []
    for seed in ("0", "1", "12345"):
        outs.append(python_output(code, {"PYTHONHASHSEED": seed}))
    assert outs[0] == outs[1] == outs[2]


# ------------------------------------------------------------ reading

def test_reader_leniency():
    assert snapshot(PyGraphDiff.from_bytes(bytes(32))) == snapshot(PyGraphDiff())
    d = PyGraphDiff()
    d.add_node(X, {"label": "l"})
    d.add_edge(X, Y, 2.0)
    data = d.to_bytes()
    assert snapshot(PyGraphDiff.from_bytes(data + b"\xff" * 13)) == snapshot(d)
    assert snapshot(PyGraphDiff.from_bytes(bytes(32) + data)) == snapshot(PyGraphDiff())


def test_reader_takes_collections_as_they_stand():
    data = diff_bytes(nodes=[(X, b'{"red":1}')], deleted=[X, X],
                      edges=[(X, [(Y, 1.0)])], deleted_edges=[(X, [Y, Y]), (N, [])])
    d = PyGraphDiff.from_bytes(data)
    assert d.new_or_updated_nodes() == {text(X): {"red": 1}}
    assert d.deleted_nodes() == [text(X)]
    assert d.new_or_updated_edges() == {text(X): {text(Y): 1.0}}
    assert d.deleted_edges() == {text(X): [text(Y)]}
    assert d.num_nodes() == 2
    assert d.num_edges() == 3


def test_repeated_entries_later_wins():
    data = diff_bytes(nodes=[(X, b"not json"), (Y, b'{"red":1}'), (X, b'{"blue":2}')],
                      edges=[(X, [(Y, 1.0), (N, 2.0)]), (X, [(Y, 3.0), (Y, 4.0)])])
    d = PyGraphDiff.from_bytes(data)
    assert d.new_or_updated_nodes() == {text(X): {"blue": 2}, text(Y): {"red": 1}}
    assert d.new_or_updated_edges() == {text(X): {text(Y): 4.0}}


@pytest.mark.parametrize("json_text, expected", [
    ('{}', {}),
    (' {} \n\t\r', {}),
    ('{"size":null,"label":null}', {}),
    ('[null,null,null,null,null,null,null]', {}),
    ('["L",2.5,"U",1,2,3,true]',
     {"label": "L", "url": "U", "size": 2.5, "red": 1, "green": 2, "blue": 3,
      "show_label": True}),
    ('{"show_label":true}', {}),
    ('{"showLabel":true}', {"show_label": True}),
    ('{"other":{"a":[1,2,{"b":null}]},"red":4}', {"red": 4}),
    ('{"red":255,"green":0}', {"red": 255, "green": 0}),
    ('{"size":3}', {"size": 3.0}),
    ('{"size":-0.0}', {"size": -0.0}),
    ('{"size":0.1}', {"size": 0.10000000149011612}),
    ('{"size":1e39}', {"size": math.inf}),
    ('{"size":-1e39}', {"size": -math.inf}),
    ('{"size":18446744073709551616}', {"size": 1.8446744073709552e19}),
    ('{"label":"\\u00e9\\ud83d\\ude00\\n\\/"}', {"label": "\u00e9\U0001f600\n/"}),
    ('{"lab\\u0065l":"escaped key"}', {"label": "escaped key"}),
])
def test_node_record_accepted(json_text, expected):
    assert decoded_attrs(json_text) == expected


@pytest.mark.parametrize("json_text", [
    '', '{', 'null', '[]', '[null,null,null,null,null,null]',
    '[null,null,null,null,null,null,null,null]',
    '{"label":null,"label":"x"}', '{"red":256}', '{"red":-1}', '{"red":255.0}',
    '{"size":1e400}', '{"size":"1"}', '{"label":1}', '{"showLabel":1}',
    '{} x', '{"label":"a",}', '{"label":"a\x01"}', '{"label":"\\ud800"}',
    '{"size":01}', '/* c */{}',
])
def test_node_record_refused(json_text):
    refused(one_node_bytes(json_text))


def test_invalid_utf8_in_record_refused():
    refused(one_node_bytes(b'{"label":"\xff"}'))
    refused(one_node_bytes(b'{"other":"\xc3"}'))
    refused(one_node_bytes(b'{"other":"\xed\xa0\x80"}'))


@pytest.mark.parametrize("data", [
    b"",
    bytes(8),
    bytes(31),
    u64(0) + u64(0) + u64(0) + bytes(7),
    # a count beyond 32 bits, however many bytes follow
    u64(1 << 32) + bytes(64),
    bytes(8) + u64(0xFFFFFFFF00000000) + bytes(64),
    # identifiers whose length is not 16, also with enough bytes behind
    u64(0) + u64(1) + u64(15) + bytes(15) + bytes(16),
    u64(0) + u64(1) + u64(17) + bytes(17) + bytes(16),
    u64(0) + u64(1) + u64(0) + bytes(16),
    # forged counts with no entries behind them
    u64(0xFFFFFFFF) + bytes(64),
    u64(0) + u64(0xFFFFFFFF) + bytes(64),
    u64(0) + u64(0) + u64(1) + ident(X) + u64(0xFFFFFFFF) + bytes(64),
    u64(0) + u64(0) + u64(0) + u64(1) + ident(X) + u64(0xFFFFFFFF) + bytes(64),
    u64(1) + ident(N) + u64(0xFFFFFFFF) + b"{}",
    u64(0) + u64(1000000) + bytes(16),
    u64(1000000),
    # text length beyond the input
    u64(1) + ident(N) + u64(100) + b"{}" + bytes(24),
    # input ending inside a weight or a group
    u64(0) + u64(0) + u64(1) + ident(X) + u64(1) + ident(Y) + b"\x00\x00",
    u64(0) + u64(0) + u64(0) + u64(1) + ident(X) + u64(2) + ident(Y),
])
def test_container_refused(data):
    refused(data)


def test_first_failure_wins_and_nothing_partial():
    # a bad record is refused even when every section decodes
    refused(diff_bytes(nodes=[(X, b"{}"), (Y, b'{"red":300}')], deleted=[N]))
    # a bad record is refused even with good data in later sections
    refused(diff_bytes(nodes=[(X, b'[1]')], edges=[(X, [(Y, 1.0)])]))


def test_refusal_after_success_leaves_things_usable():
    for _ in range(3):
        refused(b"\x01")
        assert PyGraphDiff.from_bytes(bytes(32)).num_nodes() == 0


def test_string_record_text_round_trips():
    label = "".join(chr(c) for c in range(0x20)) + '"\\/\x7f\u00ff\u0100\uffff\U00010000'
    d = PyGraphDiff()
    d.add_node(N, {"label": label, "url": label[::-1]})
    back = PyGraphDiff.from_bytes(d.to_bytes())
    assert back.new_or_updated_nodes() == d.new_or_updated_nodes()
