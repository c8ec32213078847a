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
