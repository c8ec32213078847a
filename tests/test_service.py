"""MTProto traffic end to end: binary `string` fields, values of a given
type, the service layer (rpc_result, msg_container, msg_copy, gzip_packed)
and results decoded by the type the pending request expects. Every vector
is written out from the public TL rules, with the schemas as published."""

import struct
import zlib
from pathlib import Path

import pytest

from Velta import tl

from helpers import convert, raises, tl_schema
from wire import VECTOR, tl_bytes, u32, u64

SCHEMAS = Path(__file__).resolve().parents[2] / "shared" / "schemas"


def schema_text(name):
    path = SCHEMAS / name
    if not path.exists():
        pytest.skip(f"{path} is not available")
    return path.read_text(encoding="utf-8")


@pytest.fixture(scope="module")
def mtproto():
    return convert(schema_text("mtproto.tl"))


@pytest.fixture(scope="module")
def both_schemas():
    """api.tl and mtproto.tl as published, in one schema."""
    api, service = convert(schema_text("api.tl")), convert(schema_text("mtproto.tl"))
    return {key: api[key] + service[key] for key in ("constructors", "methods")}


def i128(value):
    return (value & (2**128 - 1)).to_bytes(16, "little")


def i256(value):
    return (value & (2**256 - 1)).to_bytes(32, "little")


# The protocol documentation's answer to req_pq_multi, after its transport header.
RES_PQ = bytes.fromhex(
    "63241605 406709f612fadfbec3f0289d0aa67eef e11dbc3bc97d91a26154f932af019943"
    " 08256595edb7766797000000 15c4b51c 03000000 a5b7f709355fc30b 216be86c022bb4c3"
    " 85fd64de851d9dd0".replace(" ", "")
)


# ------------------------------------------------------------ binary strings

def test_res_pq_reads_and_writes_with_binary_strings(mtproto):
    parser = tl.TLParser(mtproto, standard=True, strings="bytes")
    value = parser.unpack(RES_PQ)
    assert value["_"] == "resPQ"
    assert value["pq"] == bytes.fromhex("256595edb7766797")
    assert len(value["server_public_key_fingerprints"]) == 3
    assert parser.pack(value) == RES_PQ


def test_text_strings_name_the_option_on_binary_data(mtproto):
    error = raises(UnicodeDecodeError, None, tl.TLParser(mtproto, standard=True).unpack, RES_PQ)
    assert any('strings="bytes"' in note for note in error.__notes__)
    assert "while unpacking resPQ.pq at byte 36" in error.__notes__


@pytest.mark.parametrize("standard", [False, True])
@pytest.mark.parametrize(
    "given, wire",
    [(b"\x00\xff", b"\x00\xff"), (bytearray(b"ab"), b"ab"), (memoryview(b"xyz"), b"xyz"), ("é", "é".encode()), ("", b"")],
)
def test_binary_strings_pack_from_bytes_like_and_str(standard, given, wire):
    parser = tl.TLParser(tl_schema("s#00000001 a:string b:int = S;"), standard=standard, strings="bytes")
    packed = parser.pack({"_": "s", "a": given, "b": 7})
    assert packed == u32(1) + tl_bytes(wire) + u32(7)
    assert parser.unpack(packed) == {"_": "s", "a": wire, "b": 7}


@pytest.mark.parametrize("strings, error", [("text", ValueError), (b"bytes", TypeError), (None, TypeError)])
def test_strings_option_takes_str_or_bytes_only(strings, error):
    with pytest.raises(error):
        tl.TLParser(tl_schema("s#00000001 a:string = S;"), strings=strings)


def test_text_strings_stay_as_they_were():
    parser = tl.TLParser(tl_schema("s#00000001 a:string = S;"), strings="str")
    assert parser.unpack(parser.pack({"_": "s", "a": "é"})) == {"_": "s", "a": "é"}
    raises(TypeError, "^Expected str, got bytes$", parser.pack, {"_": "s", "a": b"x"})
    raises(TypeError, "^Expected bytes, got int$", tl.TLParser(tl_schema("s#00000001 a:string = S;"), strings="bytes").pack,
           {"_": "s", "a": 5})


# ------------------------------------------------------------ values of a type

@pytest.fixture(scope="module")
def api():
    return tl.TLParser(convert(schema_text("api.tl")), standard=True)


@pytest.mark.parametrize(
    "text, value, wire",
    [
        ("Vector<long>", [1, -2], VECTOR + u32(2) + u64(1, -2)),
        ("Bool", True, bytes.fromhex("b5757299")),
        ("int", -5, u32(-5)),
        ("string", "hi", tl_bytes(b"hi")),
        ("vector<int>", [7], u32(1, 7)),
        ("Vector<User>", [{"_": "userEmpty", "id": 9}], VECTOR + u32(1, 0xD3BC4B7A) + u64(9)),
        ("User", {"_": "userEmpty", "id": 9}, u32(0xD3BC4B7A) + u64(9)),
        ("%Vector<Bool>", [False], u32(1) + bytes.fromhex("379779bc")),
    ],
)
def test_values_of_a_given_type(api, text, value, wire):
    assert api.pack(value, type=text) == wire
    assert api.unpack(wire, type=text) == value
    assert api.unpack_from(b"\0" * 4 + wire, 4, type=text) == (value, 4 + len(wire))


@pytest.mark.parametrize("text", ["Vector<Foo>", "", "Vector<>", "int long", "Vector<User", "%Vector<Nope>"])
def test_a_bad_type_text_is_refused_before_reading(api, text):
    # The data is too short for anything: the text is refused first.
    for call in (lambda: api.unpack(b"", type=text), lambda: api.unpack_from(b"", type=text), lambda: api.pack(1, type=text)):
        raises(ValueError, "^not a type of this schema: " + repr(text).replace("[", r"\[") + "$", call)


def test_result_types_of_methods(api):
    assert api.result_type("photos.deletePhotos") == "Vector<long>"
    assert api.result_type("messages.getHistory") == "messages.Messages"
    for name in ("user", "no.suchMethod"):
        raises(ValueError, "^Unknown method: ", api.result_type, name)
    raises(TypeError, "^Expected str, got int$", api.result_type, 5)


def test_type_texts_in_the_default_mode():
    parser = tl.TLParser(tl_schema("u#00000001 a:int = U;"))
    assert parser.unpack(parser.pack([1, 2], type="Vector<int>"), type="Vector<int>") == [1, 2]
    assert parser.pack(True, type="Bool") == u32(1)
    raises(ValueError, "^not a type of this schema", parser.pack, [1], type="vector<int>")
