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

def test_res_pq_reads_and_writes_with_binary_strings(Parser, mtproto):
    parser = Parser(mtproto, standard=True, strings="bytes")
    value = parser.unpack(RES_PQ)
    assert value["_"] == "resPQ"
    assert value["pq"] == bytes.fromhex("256595edb7766797")
    assert len(value["server_public_key_fingerprints"]) == 3
    assert parser.pack(value) == RES_PQ


def test_text_strings_name_the_option_on_binary_data(Parser, mtproto):
    error = raises(UnicodeDecodeError, None, Parser(mtproto, standard=True).unpack, RES_PQ)
    assert any('strings="bytes"' in note for note in error.__notes__)
    if Parser is tl.TLParser:  # the reference keeps no paths
        assert "while unpacking resPQ.pq at byte 36" in error.__notes__


@pytest.mark.parametrize("standard", [False, True])
@pytest.mark.parametrize(
    "given, wire",
    [(b"\x00\xff", b"\x00\xff"), (bytearray(b"ab"), b"ab"), (memoryview(b"xyz"), b"xyz"), ("é", "é".encode()), ("", b"")],
)
def test_binary_strings_pack_from_bytes_like_and_str(Parser, standard, given, wire):
    parser = Parser(tl_schema("s#00000001 a:string b:int = S;"), standard=standard, strings="bytes")
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
def api_schema():
    return convert(schema_text("api.tl"))


@pytest.fixture
def api(Parser, api_schema):
    return Parser(api_schema, standard=True)


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


# ------------------------------------------------------------ the auth-key exchange

NONCE, SERVER_NONCE, NEW_NONCE = 0x3E0549828CCA27E966B301A48FECE2FC, -0x7D2A1E8F0A2B3C4D5E6F708192A3B4C5, 2**255 - 12345


def exchange_steps():
    """Each step of the exchange: its value and its bytes, from the public TL rules."""
    pq, p, q, blob = bytes.fromhex("17ed48941a08f981"), bytes.fromhex("494c553b"), bytes.fromhex("53911073"), bytes(range(256))
    nonces = i128(NONCE) + i128(SERVER_NONCE)
    n = {"nonce": NONCE, "server_nonce": SERVER_NONCE}
    yield {"_": "req_pq_multi", "nonce": NONCE}, u32(0xBE7E8EF1) + i128(NONCE)
    yield ({"_": "resPQ", **n, "pq": pq, "server_public_key_fingerprints": [-4344800451088585951]},
           u32(0x05162463) + nonces + tl_bytes(pq) + VECTOR + u32(1) + u64(-4344800451088585951))
    yield ({"_": "p_q_inner_data_dc", "pq": pq, "p": p, "q": q, **n, "new_nonce": NEW_NONCE, "dc": 2},
           u32(0xA9F55F95) + tl_bytes(pq) + tl_bytes(p) + tl_bytes(q) + nonces + i256(NEW_NONCE) + u32(2))
    yield ({"_": "req_DH_params", **n, "p": p, "q": q, "public_key_fingerprint": 5, "encrypted_data": blob},
           u32(0xD712E4BE) + nonces + tl_bytes(p) + tl_bytes(q) + u64(5) + tl_bytes(blob))
    yield ({"_": "server_DH_params_ok", **n, "encrypted_answer": blob[:200]},
           u32(0xD0E8075C) + nonces + tl_bytes(blob[:200]))
    yield ({"_": "server_DH_inner_data", **n, "g": 3, "dh_prime": blob, "g_a": blob[::-1], "server_time": 1700000000},
           u32(0xB5890DBA) + nonces + u32(3) + tl_bytes(blob) + tl_bytes(blob[::-1]) + u32(1700000000))
    yield ({"_": "client_DH_inner_data", **n, "retry_id": 0, "g_b": blob},
           u32(0x6643B654) + nonces + u64(0) + tl_bytes(blob))
    yield ({"_": "set_client_DH_params", **n, "encrypted_data": blob[:48]},
           u32(0xF5045F1F) + nonces + tl_bytes(blob[:48]))
    yield ({"_": "dh_gen_ok", **n, "new_nonce_hash1": -1}, u32(0x3BCBF734) + nonces + i128(-1))


@pytest.mark.parametrize("value, wire", list(exchange_steps()), ids=lambda item: item["_"] if isinstance(item, dict) else "")
def test_auth_key_exchange_steps(Parser, mtproto, value, wire):
    parser = Parser(mtproto, standard=True, strings="bytes")
    assert parser.pack(value) == wire
    assert parser.unpack(wire) == value


# ------------------------------------------------------------ the service layer

RPC_RESULT, MSG_CONTAINER, GZIP_PACKED, MSG_COPY = 0xF35C6D01, 0x73F1F8DC, 0x3072CFA1, 0xE06046B2
BOOL_TRUE = bytes.fromhex("b5757299")


def message(msg_id, seqno, body):
    return u64(msg_id) + u32(seqno, len(body)) + body


SLICE = {
    "_": "messages.messagesSlice", "flags": 0, "inexact": False, "count": 1, "next_rate": None, "offset_id_offset": None,
    "search_flood": None, "messages": [{"_": "messageEmpty", "flags": 0, "id": 4, "peer_id": None}], "topics": [], "chats": [],
    "users": [{"_": "userEmpty", "id": 3}],
}
SLICE_WIRE = (u32(0x5F206716, 0, 1) + VECTOR + u32(1, 0x90A6CA84, 0, 4) + VECTOR + u32(0) + VECTOR + u32(0)
              + VECTOR + u32(1, 0xD3BC4B7A) + u64(3))
BODIES = [
    u32(RPC_RESULT) + u64(100) + VECTOR + u32(2) + u64(5, -6),
    u32(RPC_RESULT) + u64(101) + BOOL_TRUE,
    u32(RPC_RESULT) + u64(102) + u32(GZIP_PACKED) + tl_bytes(zlib.compress(SLICE_WIRE, 9, 31)),
    u32(0x62D6B459) + VECTOR + u32(1) + u64(7),
    u32(0x9EC20908) + u64(1, 2, 3),
]
SERVER_PAYLOAD = u32(MSG_CONTAINER, 5) + b"".join(message(11 + i, 2 * i + 1, body) for i, body in enumerate(BODIES))
PENDING = {100: "photos.deletePhotos", 101: "Bool", 102: "messages.getHistory"}
RESULTS = [[5, -6], True, SLICE]
OTHER_BODIES = [{"_": "msgs_ack", "msg_ids": [7]}, {"_": "new_session_created", "first_msg_id": 1, "unique_id": 2, "server_salt": 3}]


def container(results, bytes_field):
    bodies = [{"_": "rpc_result", "req_msg_id": 100 + i, "result": result} for i, result in enumerate(results)]
    bodies += OTHER_BODIES
    return {"_": "msg_container", "messages": [
        {"_": "message", "msg_id": 11 + i, "seqno": 2 * i + 1, "bytes": bytes_field(i), "body": body}
        for i, body in enumerate(bodies)]}


@pytest.fixture
def client(Parser, both_schemas):
    return Parser(both_schemas, standard=True, strings="bytes")


def test_a_server_container_in_one_call_each_way(client):
    unpacked = client.unpack(SERVER_PAYLOAD, results=PENDING)
    assert unpacked == container(RESULTS, lambda i: len(BODIES[i]))
    # bytes is computed from each body, whatever is given; the gzip_packed
    # result is packed from its value, as the type of its request.
    given = container([[5, -6], True, {"_": "gzip_packed", "packed_data": SLICE}], lambda i: 0)
    assert client.pack(given, results=PENDING) == SERVER_PAYLOAD
    # Without the gzip layer the same value packs plainly and reads back.
    again = client.unpack(client.pack(unpacked, results=PENDING), results=PENDING)
    assert [m["body"] for m in again["messages"]] == [m["body"] for m in unpacked["messages"]]
    assert again["messages"][2]["bytes"] == 4 + 8 + len(SLICE_WIRE)


def test_results_without_an_entry(client):
    unpacked = client.unpack(SERVER_PAYLOAD)
    results = [message["body"]["result"] for message in unpacked["messages"][:3]]
    # A vector is kept as its exact bytes; boxed objects are read as such.
    assert results == [VECTOR + u32(2) + u64(5, -6), {"_": "boolTrue"}, SLICE]
    repacked = client.unpack(client.pack(unpacked))
    assert [m["body"] for m in repacked["messages"]] == [m["body"] for m in unpacked["messages"]]
    # Packing without results: bytes as they are, a bool as Bool.
    again = container([VECTOR + u32(2) + u64(5, -6), True, SLICE], lambda i: 0)
    read = client.unpack(client.pack(again), results=PENDING)
    assert [m["body"] for m in read["messages"]] == [m["body"] for m in container(RESULTS, lambda i: 0)["messages"]]


@pytest.mark.parametrize("entry", ["Vector<long>", "photos.deletePhotos"])
def test_a_top_level_result_by_type_or_method(client, entry):
    wire = u32(RPC_RESULT) + u64(-9) + VECTOR + u32(1) + u64(3)
    value = {"_": "rpc_result", "req_msg_id": -9, "result": [3]}
    assert client.unpack(wire, results={-9: entry}) == value
    assert client.pack(value, results={-9: entry}) == wire
    assert client.unpack_from(wire, results={-9: entry}) == (value, len(wire))


def test_the_service_message_never_clashes_with_the_api_message(client):
    # The API's own message constructor keeps its name.
    assert client.unpack(client.pack({"_": "messageEmpty", "id": 1}))["_"] == "messageEmpty"
    raw = client.pack({"_": "message", "id": 1, "peer_id": {"_": "peerUser", "user_id": 2}, "date": 0, "message": "x"})
    assert raw[:4] != u64(0)[:4] and client.unpack(raw)["_"] == "message"
    body = u32(0x62D6B459) + VECTOR + u32(0)
    copy = u32(MSG_COPY) + message(5, 1, body)
    assert client.unpack(copy) == {"_": "msg_copy", "orig_message": {
        "_": "message", "msg_id": 5, "seqno": 1, "bytes": len(body), "body": {"_": "msgs_ack", "msg_ids": []}}}
    assert client.pack(client.unpack(copy)) == copy
    assert client.unpack(message(5, 1, body), type="%Message")["body"] == {"_": "msgs_ack", "msg_ids": []}


def test_restored_service_lines_change_nothing(Parser):
    restored = convert(schema_text("mtproto.tl").replace("//rpc_result", "rpc_result").replace("//message ", "message ")
                       .replace("//msg_container", "msg_container").replace("//gzip_packed", "gzip_packed"))
    parser = Parser(restored, standard=True, strings="bytes")
    short = u32(MSG_CONTAINER, 2) + message(1, 1, BODIES[0]) + message(2, 3, BODIES[1])
    pending = {100: "Vector<long>", 101: "Bool"}
    assert parser.unpack(short, results=pending)["messages"][0]["body"]["result"] == [5, -6]
    assert parser.pack(parser.unpack(short, results=pending), results=pending) == short


@pytest.mark.parametrize("claimed, error", [(-4, "bytes field says -4"), (20, "does not take exactly the 20 bytes"),
                                            (12, "does not take exactly the 12 bytes"), (400, "says 400, but")])
def test_a_body_must_take_exactly_its_bytes(client, claimed, error):
    body = BODIES[4]  # 28 bytes
    wire = u32(MSG_CONTAINER, 1) + u64(77) + u32(1, claimed & 0xFFFFFFFF) + body
    failure = raises(ValueError, "^message 77: .*" + error, client.unpack, wire)
    assert not isinstance(client, tl.TLParser) or any(note.startswith("while unpacking msg_container.messages[0]") for note in failure.__notes__)


def test_bad_results(client):
    raises(TypeError, "^Expected mapping, got int$", client.unpack, SERVER_PAYLOAD, results=5)
    raises(ValueError, "^not a type of this schema: 'Vector<Nope>'$", client.unpack, SERVER_PAYLOAD,
           results={100: "Vector<Nope>"})
    raises(ValueError, "^rpc_result needs a result", client.pack, {"_": "rpc_result", "req_msg_id": 1})


def test_the_default_mode_has_no_service_layer():
    parser = tl.TLParser(tl_schema("u#00000001 a:int = U;"))
    raises(ValueError, "^Unknown constructor ID: 0xf35c6d01$", parser.unpack, BODIES[1])
    raises(ValueError, "^Unknown constructor: rpc_result$", parser.pack, {"_": "rpc_result"})


# ------------------------------------------------------------ the command line

def velta(*args, stdin=b""):
    import subprocess
    import sys
    return subprocess.run([sys.executable, "-W", "ignore", "-m", "Velta", *args], input=stdin, capture_output=True)


def test_command_line_binary_strings_and_types():
    schema = str(SCHEMAS / "mtproto.tl")
    if not Path(schema).exists():
        pytest.skip("mtproto.tl is not available")
    decoded = velta("decode", "--schema", schema, "--strings", "bytes", "--hex", "--compact", stdin=RES_PQ.hex().encode())
    assert decoded.returncode == 0, decoded.stderr
    value = __import__("json").loads(decoded.stdout)
    assert value["pq"] == "256595edb7766797"
    encoded = velta("encode", "--schema", schema, "--strings", "bytes", stdin=decoded.stdout)
    assert encoded.returncode == 0, encoded.stderr
    assert encoded.stdout == RES_PQ
    assert b"a 'string' field that holds binary data" in velta("decode", "--schema", schema, "--hex", stdin=RES_PQ.hex().encode()).stderr
    wire = velta("encode", "--schema", schema, "--type", "Vector<long>", stdin=b"[1, -2]")
    assert wire.stdout == VECTOR + u32(2) + u64(1, -2)
    back = velta("decode", "--schema", schema, "--type", "Vector<long>", "--compact", stdin=wire.stdout)
    assert back.stdout.strip() == b"[1,-2]"
    assert b'"pq": bytes' in velta("types", "--schema", schema, "--strings", "bytes").stdout
