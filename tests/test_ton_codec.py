"""The codec over the TON schemas and the conventions their peers need: '#'
fields that carry values, int128/int256 as their wire bytes, and bytes fields
that take any bytes-like object or the object they hold."""
import json
import random
import subprocess
import sys
import warnings
from collections.abc import Mapping
from pathlib import Path

import pytest

from Velta.schema import from_tl
from Velta.tl import TLParser
from Velta.typegen import typed_module

import tl_reference
from helpers import raises, tl_schema
from wire import u32

TON_SCHEMAS = Path(__file__).resolve().parents[2] / "shared" / "schemas" / "ton"
SCHEMA_FILES = ["lite_api.tl", "ton_api.tl", "tonlib_api.tl"]
QUERY_ID = bytes.fromhex("77c1545b96fa136b8e01cc08338bec47e8a43215492dda6d4d7e286382bb00c4")
# The liteServer.getMasterchainInfo query of the TON documentation, inside
# liteServer.query inside adnl.message.query.
KNOWN_QUERY = bytes.fromhex("7af98bb4" + QUERY_ID.hex() + "0cdf068c79" + "042ee6b589" + "000000" + "000000")


def ton_schema(name):
    if not TON_SCHEMAS.is_dir():
        pytest.skip("the public TON schemas are not on this machine")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # the few published ids of older texts
        return from_tl((TON_SCHEMAS / name).read_text(encoding="utf-8"), dialect="ton")


# ------------------------------------------------------------ random values

SCALARS = ("int", "long", "int128", "int256", "double", "string", "bytes", "Bool")
WIDTHS = {"int128": 16, "int256": 32}


class Values:
    """Seeded values of every entry of a schema, each exactly as the standard
    mode's unpack gives it back (wide ints in the form `wide_ints` names)."""

    def __init__(self, schema, seed, wide_ints):
        self.rng = random.Random(seed)
        self.wide_bytes = wide_ints == "bytes"
        self.constructors = {e["predicate"]: e for e in schema["constructors"]}
        self.by_type = {}
        for entry in schema["constructors"]:
            self.by_type.setdefault(entry["type"], []).append(entry)
        self.leaves = [e for e in schema["constructors"] if not e["params"]]

    def scalar(self, kind):
        rng = self.rng
        if kind == "int":
            return rng.choice([0, -1, 2**31 - 1, -2**31, rng.randrange(-2**31, 2**31)])
        if kind == "long":
            return rng.choice([0, -1, 2**63 - 1, -2**63, rng.randrange(-2**63, 2**63)])
        if kind in WIDTHS:
            data = rng.randbytes(WIDTHS[kind])
            return data if self.wide_bytes else int.from_bytes(data, "little", signed=True)
        if kind == "double":
            return rng.choice([0.0, -1.5, 1e300, rng.random()])
        if kind == "string":
            return rng.choice(["", "hé", "x" * 254, "😀" * 3])
        if kind == "bytes":
            return rng.randbytes(rng.choice([0, 1, 3, 32, 253, 254, 300]))
        return rng.random() < 0.5  # Bool

    def value(self, text, level):
        if text.startswith(("vector<", "Vector<")) and text.endswith(">"):
            count = self.rng.randint(0, 2) if level < 4 else 0
            return [self.value(text[7:-1], level + 1) for _ in range(count)]
        if text in SCALARS:
            return self.scalar(text)
        if text == "true":
            return True
        bare = self.constructors.get(text)
        if bare is not None and text.rsplit(".", 1)[-1][:1].islower():
            return self.entry(bare, level + 1)
        members = self.by_type.get(text.lstrip("%"))
        if not members or level > 4:  # a generic object, or deep enough: any leaf of its type
            members = [m for m in members or self.leaves if not m["params"]] or self.leaves
        return self.entry(self.rng.choice(members), level + 1)

    def entry(self, entry, level=0):
        rng = self.rng
        out = {"_": entry.get("predicate") or entry.get("method")}
        words = {}  # '#' field -> [given, used bits, set bits]
        present = {}
        for p in entry["params"]:
            name, text = p["name"], p["type"]
            if text == "#":
                out[name] = None
                words[name] = [rng.choice([0, 1, 4, 40, rng.getrandbits(32)]), 0, 0]
                continue
            if "?" in text:
                cond, kind = text.split("?", 1)
                word, bit = cond.split(".")
                words[word][1] |= 1 << int(bit)
                if cond not in present:
                    present[cond] = rng.random() < 0.6 and level < 4
                if present[cond]:
                    words[word][2] |= 1 << int(bit)
                out[name] = present[cond] if kind == "true" else self.value(kind, level) if present[cond] else None
            else:
                out[name] = self.value(text, level)
        for name, (given, used, bits) in words.items():
            out[name] = given & ~used | bits
        return out


def loosened(value, rng):
    """``value`` as a caller may also give it: bytes as a bytearray or a
    memoryview, wide ints in the other form, '#' words with their used bits
    wrong (the fields' presence decides those)."""
    if isinstance(value, list):
        return [loosened(v, rng) for v in value]
    if isinstance(value, bytes):
        return rng.choice([value, bytearray(value), memoryview(value)])
    if isinstance(value, dict):
        return {k: loosened(v, rng) for k, v in value.items()}
    return value


def wide_as_ints(value, schema_types):
    """``value`` with every wide-int field given as an int."""
    if isinstance(value, list):
        return [wide_as_ints(v, schema_types) for v in value]
    if not isinstance(value, dict):
        return value
    fields = schema_types.get(value.get("_"), {})
    out = {}
    for key, v in value.items():
        text = fields.get(key, "").split("?")[-1]
        kind = text[7:-1] if text.startswith("vector<") else text
        if kind in WIDTHS and v is not None:
            out[key] = ([int.from_bytes(x, "little", signed=True) for x in v] if isinstance(v, list)
                        else int.from_bytes(v, "little", signed=True))
        else:
            out[key] = wide_as_ints(v, schema_types)
    return out


def canon(x):
    """A form that tells bool from int and bytes from int."""
    if isinstance(x, dict):
        return ("dict", tuple((k, canon(v)) for k, v in x.items()))
    if isinstance(x, list):
        return ("list", tuple(canon(v) for v in x))
    return (type(x).__name__, x)


@pytest.mark.parametrize("wide_ints", ["int", "bytes"])
@pytest.mark.parametrize("name", SCHEMA_FILES)
def test_every_entry_round_trips_against_the_reference(name, wide_ints):
    schema = ton_schema(name)
    ours = TLParser(schema, standard=True, wide_ints=wide_ints)
    reference = tl_reference.TLParser(json.dumps(schema), standard=True, wide_ints=wide_ints)
    TLParser(schema)  # the default mode builds too
    maker = Values(schema, seed=sum(map(ord, name)), wide_ints=wide_ints)
    rng = random.Random(7)
    types = {e.get("predicate") or e.get("method"): {p["name"]: p["type"] for p in e["params"]}
             for e in schema["constructors"] + schema["methods"]}
    entries = schema["constructors"] + schema["methods"]
    words_seen = 0
    for entry in entries:
        for _ in range(2):
            value = maker.entry(entry)
            data = ours.pack(value)
            assert data == reference.pack(value), value["_"]
            back = ours.unpack(data)
            assert canon(back) == canon(value), value["_"]  # '#' values included
            assert canon(reference.unpack(data)) == canon(value), value["_"]
            assert ours.pack(loosened(value, rng)) == data, value["_"]
            if wide_ints == "bytes":
                assert ours.pack(wide_as_ints(value, types)) == data, value["_"]
            words_seen += sum(1 for p in entry["params"] if p["type"] == "#")
    assert words_seen > 0


@pytest.mark.parametrize("wide_ints", ["int", "bytes"])
def test_known_liteserver_query_in_one_pack(Parser, wide_ints):
    schema = ton_schema("lite_api.tl")
    parser = Parser(schema, standard=True, wide_ints=wide_ints)
    query_id = QUERY_ID if wide_ints == "bytes" else int.from_bytes(QUERY_ID, "little", signed=True)
    value = {"_": "adnl.message.query", "query_id": query_id,
             "query": {"_": "liteServer.query", "data": {"_": "liteServer.getMasterchainInfo"}}}
    data = parser.pack(value)
    assert data == KNOWN_QUERY and len(data) == 52
    # The id is taken in either form, whatever unpack gives.
    assert parser.pack({**value, "query_id": bytearray(QUERY_ID)}) == KNOWN_QUERY
    assert parser.pack({**value, "query_id": int.from_bytes(QUERY_ID, "little")}) == KNOWN_QUERY
    back = parser.unpack(data)
    assert back == {"_": "adnl.message.query", "query_id": query_id, "query": KNOWN_QUERY[37:49]}
    inner = parser.unpack(back["query"])
    assert inner == {"_": "liteServer.query", "data": KNOWN_QUERY[42:46]}
    assert parser.unpack(inner["data"]) == {"_": "liteServer.getMasterchainInfo"}
    # Packed back from what the unpacks gave, level by level.
    assert parser.pack({**back, "query": parser.pack({**inner, "data": inner["data"]})}) == KNOWN_QUERY


@pytest.mark.parametrize("mode, wire", [
    # Like runSmcMethod mode:4, which asks for the result: no field is
    # conditional on bit 2, so it is packed as given; y sets bit 0.
    (4, "5cc65f5c" + "05000000"),
    # The bit of x, which is not given, is cleared; the others are kept.
    (0xFFFFFFFF, "5cc65f5c" + "fdffffff"),
])
def test_a_mode_word_packs_as_given(Parser, mode, wire):
    schema = tl_schema("a#5c5fc65c mode:# x:mode.1?int y:mode.0?true = A;")
    parser = Parser(schema, standard=True)
    value = {"_": "a", "mode": mode, "y": True}
    assert parser.pack(value).hex() == wire
    back = parser.unpack(bytes.fromhex(wire))
    assert back["mode"] == int.from_bytes(bytes.fromhex(wire)[4:], "little")
    assert parser.pack(back).hex() == wire


@pytest.mark.parametrize("value, wire", [
    ({}, u32(1, 0)),                                  # missing: 0
    ({"f": None}, u32(1, 0)),                         # None: as missing
    ({"f": 1 << 9 | 1}, u32(1, 1 << 9)),              # a used bit follows presence
    ({"f": 1 << 9, "x": 5}, u32(1, 1 << 9 | 1, 5)),   # an unknown bit is kept
    ({"f": -1, "x": 5}, u32(1, 0xFFFFFFFF, 5)),       # -2**31..2**32-1, as int
])
def test_words_keep_the_bits_no_field_uses(Parser, value, wire):
    parser = Parser(tl_schema("t#00000001 f:# x:f.0?int = T;"), standard=True)
    assert parser.pack({"_": "t", **value}) == wire
    assert parser.pack(parser.unpack(wire)) == wire


@pytest.mark.parametrize("given, exc, match", [
    ("7", TypeError, None),
    (2**32, OverflowError, "int32_t"),
])
def test_word_values_are_ints(Parser, given, exc, match):
    parser = Parser(tl_schema("t#00000001 f:# x:f.0?int = T;"), standard=True)
    error = raises(exc, match, parser.pack, {"_": "t", "f": given})
    if Parser is TLParser:
        assert error.__notes__ == ["while packing t.f"]


def test_the_default_mode_keeps_its_flags_words(Parser):
    parser = Parser(tl_schema("t#00000001 flags:# x:flags.0?int = T;"))
    assert parser.pack({"_": "t", "flags": 1 << 9, "x": 5}) == u32(1, 1, 5)
    assert parser.unpack(u32(1, 1 << 9 | 1, 5)) == {"_": "t", "x": 5}


@pytest.mark.parametrize("given, match", [
    (b"\0" * 31, r"^Field 'h' is int256: it takes an int or exactly 32 bytes, got 31 bytes$"),
    (bytearray(33), r"^Field 'h' is int256: it takes an int or exactly 32 bytes, got 33 bytes$"),
    ([b"\0" * 15], r"^Field 'v' is int128: it takes an int or exactly 16 bytes, got 15 bytes$"),
])
@pytest.mark.parametrize("wide_ints", ["int", "bytes"])
def test_wide_ints_of_another_width_are_refused(Parser, given, match, wide_ints):
    parser = Parser(tl_schema("t#00000001 h:int256 v:vector<int128> = T;"), standard=True, wide_ints=wide_ints)
    field = "v" if isinstance(given, list) else "h"
    raises(ValueError, match, parser.pack, {"_": "t", field: given})
    # Nested: the innermost field is named.
    nested = Parser(tl_schema("t#00000001 h:int256 v:vector<int128> = T;\no#00000002 t:T = O;"),
                    standard=True, wide_ints=wide_ints)
    raises(ValueError, match, nested.pack, {"_": "o", "t": {"_": "t", field: given}})


@pytest.mark.parametrize("options, exc, match", [
    ({"wide_ints": "bytes"}, ValueError, r"^wide_ints='bytes' needs standard=True"),
    ({"standard": True, "wide_ints": "hex"}, ValueError, r"^wide_ints must be 'int' or 'bytes', not 'hex'$"),
    ({"standard": True, "wide_ints": b"bytes"}, TypeError, r"^Expected str, got bytes$"),
])
def test_wide_ints_option_is_checked(Parser, options, exc, match):
    raises(exc, match, Parser, tl_schema("t#00000001 h:int256 = T;"), **options)


class Query(Mapping):
    """A mapping that is not a dict."""

    def __init__(self, items):
        self.items_ = dict(items)

    def __getitem__(self, key):
        return self.items_[key]

    def __iter__(self):
        return iter(self.items_)

    def __len__(self):
        return len(self.items_)


@pytest.mark.parametrize("data, wire", [
    (bytearray(b"abc"), "03616263"),
    (memoryview(b"abcde"), "0561626364650000"),
    ({"_": "p", "x": 7}, "08" + "02000000" + "07000000" + "000000"),
    (Query({"_": "p", "x": 7}), "08" + "02000000" + "07000000" + "000000"),
    # An object's byte strings are padded from its own start.
    ({"_": "s", "s": "ab"}, "08" + "03000000" + "02616200" + "000000"),
])
def test_standard_bytes_fields_take_bytes_like_objects_and_mappings(Parser, data, wire):
    parser = Parser(tl_schema("q#00000001 data:bytes = Q;\np#00000002 x:int = P;\ns#00000003 s:string = S;"),
                    standard=True)
    packed = parser.pack({"_": "q", "data": data})
    assert packed.hex() == "01000000" + wire
    back = parser.unpack(packed)
    assert type(back["data"]) is bytes
    if isinstance(data, Mapping):
        assert parser.unpack(back["data"]) == dict(data)


def test_long_bytes_like_objects_are_copied_when_given(Parser):
    # A long buffer is not kept by reference: a change after pack has taken
    # it does not reach the message.
    parser = Parser(tl_schema("q#00000001 a:bytes b:Vector<int> = Q;"), standard=True)
    data = bytearray(b"x" * 100_000)

    class Spoiler:
        def __index__(self):
            data[:] = b"y" * 100_000
            return 1

    packed = parser.pack({"_": "q", "a": data, "b": [Spoiler()]})
    assert packed[8:8 + 100_000] == b"x" * 100_000


@pytest.mark.parametrize("data, exc, match, note", [
    ("text", TypeError, r"^Expected bytes, got str$", "while packing q.data"),
    (5, TypeError, r"^Expected bytes, got int$", "while packing q.data"),
    ({"_": "nope"}, ValueError, r"^Unknown constructor: nope$", "while packing q.data"),
    ({"_": "p", "x": "7"}, TypeError, None, "while packing q.data.x"),
])
def test_standard_bytes_fields_refuse_other_values(Parser, data, exc, match, note):
    parser = Parser(tl_schema("q#00000001 data:bytes = Q;\np#00000002 x:int = P;"), standard=True)
    error = raises(exc, match, parser.pack, {"_": "q", "data": data})
    if Parser is TLParser:
        assert error.__notes__ == [note]


@pytest.mark.parametrize("data", [bytearray(b"abc"), memoryview(b"abc"), {"_": "p", "x": 7}])
def test_default_mode_bytes_fields_take_exactly_bytes(Parser, data):
    parser = Parser(tl_schema("q#00000001 data:bytes = Q;\np#00000002 x:int = P;"))
    raises(TypeError, rf"^Expected bytes, got {type(data).__name__}$", parser.pack, {"_": "q", "data": data})


def test_a_self_holding_mapping_ends_in_recursion_error():
    parser = TLParser(tl_schema("q#00000001 data:bytes = Q;"), standard=True)
    value = {"_": "q"}
    value["data"] = value
    with pytest.raises(RecursionError):
        parser.pack(value)


# ------------------------------------------------------------ command line and typed modules

def velta(*args, stdin=b""):
    return subprocess.run([sys.executable, "-m", "Velta", *args], input=stdin, capture_output=True)


def test_cli_encodes_and_decodes_the_known_query_with_wide_ints_as_bytes():
    ton_schema("lite_api.tl")
    common = ["--schema", str(TON_SCHEMAS / "lite_api.tl"), "--dialect", "ton", "--wide-ints", "bytes"]
    value = {"_": "adnl.message.query", "query_id": QUERY_ID.hex(),
             "query": {"_": "liteServer.query", "data": {"_": "liteServer.getMasterchainInfo"}}}
    encoded = velta("encode", *common, stdin=json.dumps(value).encode())
    assert (encoded.returncode, encoded.stdout) == (0, KNOWN_QUERY), encoded.stderr
    decoded = velta("decode", *common, "--compact", stdin=KNOWN_QUERY)
    assert json.loads(decoded.stdout) == {**value, "query": KNOWN_QUERY[37:49].hex()}
    again = velta("encode", *common, stdin=decoded.stdout)
    assert again.stdout == KNOWN_QUERY, again.stderr


@pytest.mark.parametrize("command, extra, message", [
    ("decode", ["--designed"], b"--wide-ints bytes needs the standard conventions"),
    ("types", [], b"--wide-ints bytes needs --standard"),
])
def test_cli_wide_ints_bytes_needs_the_standard_conventions(tmp_path, command, extra, message):
    schema = tmp_path / "s.tl"
    schema.write_text("t#00000001 h:int256 = T;\n")
    result = velta(command, "--schema", str(schema), "--wide-ints", "bytes", *extra, stdin=u32(1) + bytes(32))
    assert result.returncode != 0 and message in result.stderr


@pytest.mark.parametrize("wide_ints, annotation", [("int", "int"), ("bytes", "bytes")])
def test_typed_modules_give_words_and_wide_ints_their_shapes(wide_ints, annotation):
    schema = tl_schema("t#00000001 mode:# h:int256 x:mode.0?int = T;")
    namespace = {}
    exec(typed_module(schema, standard=True, wide_ints=wide_ints), namespace)
    typed = namespace["T"]
    assert (typed.__required_keys__, typed.__optional_keys__) == ({"_", "h"}, {"mode", "x"})
    assert typed.__annotations__["h"] is {"int": int, "bytes": bytes}[annotation]
    with pytest.raises(ValueError):
        typed_module(schema, wide_ints="bytes")
