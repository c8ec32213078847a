"""Wire-level behaviour of TLParser: exact bytes, error reporting, hostile
input. The C parser's own guarantees have files of their own:
test_reentrancy.py, test_traceback_entries.py, and test_leaks.py for
reference counts."""

import tracemalloc

import pytest

from codec_schema import ID, SCHEMA, W, msg
from wire import VECTOR_ID as VEC, u32, u64 as i64


def typed(pairs):
    return [(k, v, type(v)) for k, v in pairs]


def check_raises(exc, text, fn, *args):
    with pytest.raises(exc) as info:
        fn(*args)
    assert type(info.value) is exc
    assert text is None or str(info.value) == text


MyList, MyBytes = type("MyList", (list,), {}), type("MyBytes", (bytes,), {})


@pytest.mark.parametrize("kind, value, wire", [
    ("int", -1, b"\xff" * 4), ("int", 4294967295, b"\xff" * 4), ("int", -2**31, u32(2**31)),
    ("int", 3.9, u32(3)), ("int", True, u32(1)), ("long", 1, i64(1)),
    ("long", 2**64 - 1, b"\xff" * 8), ("double", 1.5, i64(0x3FF8 << 48)),
    ("double", 2, i64(1 << 62)), ("bytes", b"", u32(0)), ("bytes", b"abc", b"\x03abc"),
    ("bytes", b"ab", b"\x02ab\x00"),
    ("bytes", b"x" * 253, b"\xfd" + b"x" * 253 + b"\x00\x00"),
    ("bytes", b"x" * 254, b"\xfe\xfe\x00\x00" + b"x" * 254 + b"\x00\x00"),
    ("bytes", b"x" * 300, b"\xfe\x2c\x01\x00" + b"x" * 300),
    ("string", "abc", b"\x03abc"), ("string", "\xe9", b"\x02\xc3\xa9\x00"),
    ("Bool", True, u32(1)), ("Bool", False, u32(0)), ("Bool", None, u32(0)), ("Bool", "", u32(0)),
    ("Bool", 5, u32(1)), ("vint", [1, 2], u32(VEC, 2, 1, 2)), ("vint", (1, 2), u32(VEC, 2, 1, 2)),
    ("vint", lambda: (i for i in (1, 2)), u32(VEC, 2, 1, 2)), ("vint", {7}, u32(VEC, 1, 7)),
    ("vint", [], u32(VEC, 0)), ("vstr", ["a"], u32(VEC, 1) + b"\x01a\x00\x00"),
    ("vvint", [[1, 2], [3]], u32(VEC, 2, VEC, 2, 1, 2, VEC, 1, 3)),
    ("vobj", [{"_": "empty"}], u32(VEC, 1, ID["empty"])),
    ("vvobj", [[{"_": "empty"}], ()], u32(VEC, 2, VEC, 1, ID["empty"], VEC, 0)),
    ("obj", {"_": "empty"}, u32(ID["empty"])),
])
def test_field_encoding(Parser, kind, value, wire):
    value = value() if callable(value) else value
    assert Parser(SCHEMA).pack(W(kind, value)) == msg("t_" + kind, wire)


@pytest.mark.parametrize("name, payload, fields", [
    ("t_int", b"\xff" * 4, {"x": 4294967295}), ("t_int", u32(2**31), {"x": 2**31}),
    ("t_long", b"\xff" * 8, {"x": 2**64 - 1}), ("t_double", i64(0x3FF8 << 48), {"x": 1.5}),
    ("t_Bool", u32(2), {"x": True}), ("t_Bool", u32(0), {"x": False}),
    ("t_bytes", b"\xff" + b"y" * 255, {"x": b"y" * 255}),
    ("t_string", b"\x02\xc3\xa9\x00", {"x": "\xe9"}),
    ("pair", b"\xfe\x03\x00\x00abc\x00" + u32(7), {"a": b"abc", "n": 7}),
    ("t_vint", u32(VEC, 0), {"x": []}),
    ("t_vvint", u32(VEC, 2, VEC, 2, 1, 2, VEC, 1, 3), {"x": [[1, 2], [3]]}),
    ("t_vvobj", u32(VEC, 2, VEC, 1, ID["empty"], VEC, 0), {"x": [[{"_": "empty"}], []]}),
    ("opt", u32(3, 9, 0) + b"trailing", {"n": 9, "t": True, "s": ""}),
    ("wide", u32(0xFFFFFFFF), {"x": None, "t": False}), ("early", u32(7) + b"\x01x\x00\x00", {"a": None, "s": "x"}),
])
def test_decoding_and_round_trip(Parser, name, payload, fields):
    p = Parser(SCHEMA)
    got = p.unpack(msg(name, payload))
    assert typed(got.items()) == typed([("_", name), *fields.items()])
    assert p.unpack(p.pack(got)) == got


@pytest.mark.parametrize("name, fields, payload, back", [
    ("opt", {"t": True, "s": "ab"}, u32(2) + b"\x02ab\x00", {"n": None, "t": True, "s": "ab"}),
    ("opt", {"n": 0, "s": ""}, u32(1, 0, 0), {"n": 0, "t": False, "s": ""}),
    ("opt", {"n": None, "t": 1}, u32(0, 0), {"n": None, "t": False, "s": ""}),
    ("opt", {"n": 7, "t": False, "flags": 255, "junk": 1}, u32(1, 7, 0),
     {"n": 7, "t": False, "s": ""}),
    ("opt2", {"a": 1}, u32(0, 8) + i64(1), {"a": 1, "b": None}),
    ("opt2", {"b": [1], "flags2": 3}, u32(1, 0, VEC, 1) + i64(1), {"a": None, "b": [1]}),
    ("early", {"a": None, "s": "x"}, u32(0) + b"\x01x\x00\x00", {"a": None, "s": "x"}),
    # Fields that share a bit: one given sets the bit, and the others, which a
    # reader then expects, are written as their zero values.
    ("shared", {"a": 5}, u32(4, 5) + b"\x00" * 4, {"a": 5, "b": "", "c": True}),
    ("shared", {"b": "hi"}, u32(4, 0) + b"\x02hi\x00", {"a": 0, "b": "hi", "c": True}),
    ("shared", {"c": True}, u32(4, 0) + b"\x00" * 4, {"a": 0, "b": "", "c": True}),
    # A field on the same bit whose word comes after it is never read, so never written.
    ("lateword", {"y": 7}, u32(0, 1, 7), {"f": 0, "x": None, "y": 7}),
    ("wide", {"x": None, "t": 1}, u32(0), {"x": None, "t": False}),
    ("bitword", {"x": 7, "flags2": True}, u32(0, 2, 7), {"x": 7}),
    ("bitword", {}, u32(0, 0), {"x": None}),
    ("defaults", {}, u32(0) + bytes(16) + u32(0, 0, 0, VEC, 0),
     {"i": 0, "l": 0, "d": 0.0, "s": "", "b": b"", "B": False, "v": []}),
    ("empty", {}, b"", {}),
    ("node", {"next": {"_": "node"}}, u32(1, ID["node"], 0), {"next": {"_": "node", "next": None}}),
])
def test_objects_and_flags(Parser, name, fields, payload, back):
    p = Parser(SCHEMA)
    wire = p.pack({"_": name, **fields})
    assert wire == msg(name, payload)
    assert typed(p.unpack(wire).items()) == typed([("_", name), *back.items()])


@pytest.mark.parametrize("value, exc, text", [
    *[(W("int", v), OverflowError, "value too large to convert to int32_t")
      for v in (2**32, -2**31 - 1)],
    *[(W("int", v), TypeError, "an integer is required") for v in ("5", None)],
    (W("long", -1), OverflowError, "can't convert negative value to uint64_t"),
    (W("long", 2**64), OverflowError, None), (W("double", [1]), TypeError, None),
    *[(W("bytes", v), TypeError, "Expected bytes, got " + type(v).__name__)
      for v in (bytearray(1), "a", 1)],
    (W("bytes", None), TypeError, "object of type 'NoneType' has no len()"),
    (W("bytes", bytes(1 << 24)), ValueError,
     "bytes value too long for TL encoding: 16777216 bytes (at most 16777215)"),
    (W("string", 1), TypeError, "Expected str, got int"),
    (W("string", None), AttributeError, "'NoneType' object has no attribute 'encode'"),
    (W("string", "a\ud800"), UnicodeEncodeError, None),
    (W("vint", MyList([1])), TypeError, "Expected list, got MyList"),
    (W("vint", None), TypeError, None),
    (W("vint", [1, "a"]), TypeError, "an integer is required"),
    (W("vstr", ["a", b"b"]), TypeError, "Expected str, got bytes"),
    (W("vobj", [{"_": "empty"}, {"_": "nope"}]), ValueError, "Unknown constructor: nope"),
    (W("obj", 5), AttributeError, "'int' object has no attribute 'get'"),
    *[(v, ValueError, "Object must have '_' field")
      for v in ({"_": "t_obj"}, {}, {"_": ""}, {"_": None})],
    ({"_": b"opt"}, TypeError, "Expected str, got bytes"),
    ({"_": "nope"}, ValueError, "Unknown constructor: nope"),
    ({"_": "wide", "x": 5}, ValueError, "Field 'x' uses flag bit 40, outside 0..31"),
    ({"_": "wide", "t": True}, ValueError, "Field 't' uses flag bit -1, outside 0..31"),
    # Of two given conditions that cannot be written, the first in wire order
    # is the one refused, whatever the order of the keys.
    *[(v, ValueError, "Field 'a' uses flag bit 40, outside 0..31")
      for v in ({"_": "twobad", "a": 1, "b": 2}, {"b": 2, "c": 3, "a": 1, "_": "twobad"})],
    # A condition whose word is not written before the field: its bit would
    # be lost (and, with fields after it, every value after it misread).
    *[({"_": name, "a": 7, "s": "x"}, ValueError,
       "Field 'a' is conditional on a flags word that is not a field declared before it, "
       "so its presence cannot be written") for name in ("early", "noword", "otherword")],
    # A boxed object on a bit another given field set has no zero value to stand in.
    ({"_": "sharedobj", "a": 1}, ValueError,
     "Field 'o' shares its flag bit with a field that is given, so it must be given too"),
    # A name with a NUL is not a prefix of another.
    *[({"_": name}, ValueError, "Unknown constructor: " + name) for name in ("t_int\x00x", "\x00", "empty\x00")],
])
def test_pack_errors_leave_parser_usable(Parser, value, exc, text):
    p = Parser(SCHEMA)
    p.pack(W("bytes", b"q" * 3000))
    check_raises(exc, text, p.pack, value)
    assert p.pack(W("int", 1)) == msg("t_int", u32(1))


SHORT = [
    (b"", 0), (b"\x01\x02\x03", 0), (msg("t_int", b"\x01\x02"), 4), (msg("t_long", u32(1)), 4),
    (msg("pair", b"\xfe\x03\x00\x00abc\x00\x07\x00"), 12),
    (msg("pair", b"\x01a"), 8),  # padding cut off: the int after it starts past the end
    (msg("t_bytes"), 4), (msg("t_bytes", b"\x0a12345"), 5), (msg("t_bytes", b"\xfe\x10"), 5),
    (msg("t_bytes", b"\xfe\x10\x00\x00abc"), 8), (msg("t_vint", u32(VEC, 3, 1)), 16),
    (msg("t_vobj", u32(VEC, 2, ID["empty"])), 16), (msg("opt", u32(1)), 8), (msg("t_obj"), 4),
    (msg("opt", b"\x01\x00"), 4),  # flags word cut off: the string after it is not read
    (msg("t_vint"), 4), (msg("t_vint", b"\x15\xc4"), 4),  # cut off before or inside the vector id
    (msg("t_vobj", u32(VEC, 2) + b"\x01"), 12),
]


@pytest.mark.parametrize("data, exc, text", [
    *[(d, RuntimeError, f"Parse error at position {n}") for d, n in SHORT],
    (u32(5), ValueError, "Unknown constructor ID: 0x00000005"),
    (u32(0xFFFFFFFF), ValueError, "Unknown constructor ID: 0xffffffff"),
    (msg("t_obj", u32(5)), ValueError, "Unknown constructor ID: 0x00000005"),
    (msg("t_vobj", u32(VEC, 1, VEC)), ValueError, "Unknown constructor ID: 0x1cb5c415"),
    (msg("t_vint", u32(10)), ValueError, "Invalid vector ID: 0x0000000a"),
    (msg("t_vint", u32(VEC, 0xFFFFFFFF)), ValueError, "Invalid vector length: -1"),
    (msg("t_string", b"\x01\xff\x00\x00"), UnicodeDecodeError, None),
    *[(v, TypeError, "Argument 'data' has incorrect type (expected bytes, got %s)"
       % type(v).__name__) for v in (bytearray(4), MyBytes(4), memoryview(bytes(4)), "abcd")],
    (None, TypeError, "object of type 'NoneType' has no len()"),
])
def test_unpack_errors(Parser, data, exc, text):
    p = Parser(SCHEMA)
    check_raises(exc, text, p.unpack, data)
    assert p.unpack(msg("t_int", u32(3))) == {"_": "t_int", "x": 3}


@pytest.mark.parametrize("name, tail, pos", [
    ("t_vint", b"", 12), ("t_vint", b"\x01\x00", 12), ("t_vstr", b"\x01a\x00\x00\x02", 17),
    ("t_vstr", b"\x05ab", 13),  # nothing is read from inside a cut-off string
    ("t_vstr", b"\x05\xfe\x01\x02\x03", 13),
    ("t_vobj", u32(ID["empty"]) + b"\x0e", 16),
])
def test_hostile_vector_count_fails_without_allocating(Parser, name, tail, pos):
    p = Parser(SCHEMA)
    tracemalloc.start()
    try:
        check_raises(RuntimeError, f"Parse error at position {pos}",
                     p.unpack, msg(name, u32(VEC, 2**31 - 1) + tail))
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert peak < 1 << 20


def test_longest_byte_string(Parser):
    p, data = Parser(SCHEMA), bytes(range(255)) * 65793  # 16,777,215 bytes
    wire = p.pack(W("bytes", data))
    assert wire[:8] == msg("t_bytes", b"\xfe\xff\xff\xff") and wire[-1:] == b"\x00"
    assert wire[8:-1] == data and p.unpack(wire)["x"] == data


def test_nesting_depth_is_bounded(Parser):
    p = Parser(SCHEMA)
    loop = {"_": "node"}
    loop["next"] = loop
    with pytest.raises(RecursionError):
        p.pack(loop)
    with pytest.raises(RecursionError):
        p.unpack(u32(ID["node"], 1) * 100000 + u32(ID["node"], 0))
    chain = {"_": "node", "next": {"_": "node", "next": None}}
    assert p.unpack(p.pack(chain)) == chain


class Record:
    """A mapping that is not a dict: only get, membership and item lookup."""

    def __init__(self, **items):
        self.items = items

    def get(self, key, default=None):
        return self.items.get(key, default)

    def __contains__(self, key):
        return key in self.items

    def __getitem__(self, key):
        return self.items[key]


def test_non_dict_mapping(Parser):
    p = Parser(SCHEMA)
    assert p.pack(Record(_="opt", n=3, t=True, s="x")) == msg("opt", u32(3, 3) + b"\x01x\x00\x00")
    assert p.pack(W("vobj", [Record(_="empty")])) == msg("t_vobj", u32(VEC, 1, ID["empty"]))
    assert p.pack(Record(_="node", next=Record(_="node"))) == msg("node", u32(1, ID["node"], 0))


def test_buffer_reuse_and_independent_parsers(Parser):
    p, q = Parser(SCHEMA), Parser(SCHEMA)
    small = W("vint", [1])
    fresh = q.pack(small)
    big = p.pack(W("bytes", b"z" * 5000))
    assert p.pack(small) == fresh
    assert p.unpack(big)["x"] == b"z" * 5000
    # The stale 5000 bytes are still in the buffer; they must not be read.
    check_raises(RuntimeError, "Parse error at position 8",
                 p.unpack, msg("t_bytes", b"\xfe\x88\x13\x00"))
    assert q.pack(small) == p.pack(small) == fresh
    assert q.unpack(fresh) == {"_": "t_vint", "x": [1]}


def test_repeated_field_names_keep_the_last_value(Parser):
    # Each field of a name replaces the value of an earlier one, None included.
    p = Parser({"constructors": [{"predicate": "d", "id": 1, "params": [
        {"name": "x", "type": "int"}, {"name": "flags", "type": "#"}, {"name": "x", "type": "flags.0?int"}]}]})
    assert p.unpack(bytes.fromhex("01000000 05000000 00000000")) == {"_": "d", "x": None}
    assert p.unpack(bytes.fromhex("01000000 05000000 01000000 07000000")) == {"_": "d", "x": 7}


@pytest.mark.parametrize("width", [3, 47, 48, 200])
@pytest.mark.parametrize("change", ["delete", "answer None later"])
def test_pack_writes_what_decided_the_flags(Parser, width, change):
    """However many fields an object has, a conditional value is looked up
    once: code that runs later (an earlier field's __index__, a mapping that
    answers differently the second time) cannot leave a set bit without its
    value after it."""
    params = [{"name": "flags", "type": "#"}, *({"name": f"i{k}", "type": "int"} for k in range(width)),
              {"name": "opt", "type": "flags.0?int"}]
    p = Parser({"constructors": [{"predicate": "big", "id": 77, "params": params}]})

    class Fickle(dict):  # a mapping whose "opt" is there the first time only
        seen = 0

        def __contains__(self, key):
            return key in self.keys()

        def __getitem__(self, key):
            if key == "opt":
                Fickle.seen += 1
                return 5 if Fickle.seen == 1 else None
            return dict.__getitem__(self, key)

    value = {"_": "big", "opt": 5}

    class Drop:
        def __index__(self):
            value.pop("opt", None)
            return 1
    if change == "delete":
        value["i0"] = Drop()
    else:
        value = Fickle(value, i0=1)
    back = p.unpack(p.pack(value))
    assert (back["i0"], back["opt"]) == (1, 5)


def _reordered(value, order):
    """`value` with its keys in another order, or as strings that are equal
    to the schema's names but not the same objects."""
    items = list(value.items())
    if order == "reversed":
        items.reverse()
    elif order == "name last":
        items = items[1:] + items[:1]
    elif order == "fresh strings":
        items = [("".join(list(k)), v) for k, v in items]
    elif order == "with extras":
        items = [("zz", 1), *items, ("flags", 99), (("t",), 2)]
    return dict(items)


@pytest.mark.parametrize("order", ["as given", "reversed", "name last", "fresh strings", "with extras"])
@pytest.mark.parametrize("value", [
    {"_": "opt", "n": 0, "t": True, "s": "x"},
    {"_": "opt", "t": False, "s": "y"},
    {"_": "opt2", "a": 2**63, "b": [1, 2]},
    {"_": "shared", "b": "hi", "a": None},
    {"_": "t_vobj", "x": [{"_": "empty"}]},
])
def test_key_order_and_identity_do_not_change_the_bytes(Parser, value, order):
    p = Parser(SCHEMA)
    assert p.pack(_reordered(value, order)) == p.pack(value)


@pytest.mark.parametrize("name", ["plain", "naïve", "имя", "𝔵𝔶"])
def test_keys_equal_to_a_field_name_find_it_whatever_their_width(Parser, name):
    p = Parser({"constructors": [{"predicate": "w", "id": 9, "params": [
        {"name": name, "type": "int"}, {"name": name + "2", "type": "string"}]}]})
    wire = u32(9, 7) + b"\x01x\x00\x00"
    assert p.pack({"_": "w", name: 7, name + "2": "x"}) == wire
    fresh = "".join(list(name))  # equal, not the same object
    assert p.pack({"_": "w", fresh: 7, fresh + "2": "x"}) == wire
    # Same length, other text (and another width): not the field, so its default.
    other = name[:-1] + ("\U0001d537" if name[-1] != "\U0001d537" else "a")
    assert p.pack({"_": "w", other: 7, name + "2": "x"}) == u32(9, 0) + b"\x01x\x00\x00"


class SubDict(dict):
    pass


@pytest.mark.parametrize("standard", [False, True])
@pytest.mark.parametrize("value", [{"_": "", "n": 1}, {"n": 1, "_": ""}, SubDict({"_": "", "n": 1}),
                                   Record(_="", n=1)], ids=["dict", "dict, _ last", "subclass", "mapping"])
def test_empty_name_is_no_name_even_if_the_schema_has_one(Parser, standard, value):
    p = Parser({"constructors": [{"predicate": "", "id": 7, "type": "T", "params": [{"name": "n", "type": "int"}]}]},
               standard=standard)
    check_raises(ValueError, "Object must have '_' field", p.pack, value)
    assert p.unpack(u32(7, 1)) == {"_": "", "n": 1}  # still read by its id


class OwnGet(dict):
    def get(self, key, default=None):
        return "t_int" if key == "_" else dict.get(self, key, default)


class OwnItems(dict):
    def __contains__(self, key):
        return key == "x" or dict.__contains__(self, key)

    def __getitem__(self, key):
        return 9 if key == "x" else dict.__getitem__(self, key)


def test_dict_subclass_is_read_through_the_methods_it_overrides(Parser):
    p = Parser(SCHEMA)
    assert p.pack(SubDict(_="t_int", x=3)) == msg("t_int", u32(3))
    assert p.pack(OwnGet(x=4)) == msg("t_int", u32(4))
    assert p.pack(OwnItems(_="t_int", x=1)) == msg("t_int", u32(9))
    own = SubDict(x=5)
    own.get = lambda key, default=None: "t_int" if key == "_" else dict.get(own, key, default)
    assert p.pack(own) == msg("t_int", u32(5))
